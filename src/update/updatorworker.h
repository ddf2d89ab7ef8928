#pragma once

#include <QObject>
#include <QString>

// Downloads the update package into the installation root and unpacks it there with the
// platform's archiver. Lives in its own thread (created without parent and moved there);
// every result is reported once through downloadFinished. The network objects, the
// local event loops and the archiver are made and destroyed inside startDownload.
//
// The package is streamed to disk as it arrives (memory does not grow with its size) and
// appears under its name only once it is complete. Unpacking goes through a staging
// folder: an archive the archiver rejects changes nothing, and no entry lands outside the
// root. A non-zero archiver exit is a failed update.
class UpdatorWorker : public QObject
{
    Q_OBJECT
public:
    explicit UpdatorWorker(QObject *parent = nullptr);

    // Product limits in milliseconds.
    static constexpr int kDownloadLimitMs = 120000;
    static constexpr int kArchiverStartLimitMs = 10000;
    static constexpr int kArchiverLimitMs = 120000;

    // Tests shorten the download limit; 0 restores the product value.
    static void setDownloadLimitForTests(int ms);
    static int downloadLimitMs();

    static QString timeoutText() { return QStringLiteral("Timeout or unknown network error"); }

public slots:
    void startDownload(QString zipUrl);

signals:
    void downloadProgress(qint64 received, qint64 total);
    void downloadFinished(bool ok, QString localZipPathOrError);
    void logMessage(QString msg);

private:
    bool download(const QString &zipUrl, const QString &zip, QString *error);
    bool extract(const QString &zip, const QString &target, QString *error);
    void fail(const QString &text);
};
