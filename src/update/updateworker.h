#pragma once

#include <QObject>
#include <QString>

#include <functional>

class QUrl;
namespace DiskBudget {
struct Room;
}

// Downloads the update package into the installation root and unpacks it there with the
// platform's archiver. Lives in its own thread (created without parent and moved there);
// every result is reported once through downloadFinished. The network objects, the
// local event loops and the archiver are made and destroyed inside startDownload.
//
// The package is streamed to disk as it arrives (memory does not grow with its size) and
// appears under its name only once it is complete. It is installed only when its detached
// Ed25519 signature (the package address + ".sig") verifies against the key this build
// trusts, and only when neither its length nor its declared or actual unpacked size
// exceeds what the disk budget gives one job under the package's own cap. It is unpacked
// into a work folder and then moved over the installation all or nothing (files in use
// are moved aside first). A non-zero archiver exit is a failed update; every failed
// update removes what it left behind.
class UpdateWorker : public QObject
{
    Q_OBJECT
public:
    explicit UpdateWorker(QObject *parent = nullptr);

    // Product limits in milliseconds.
    static constexpr int kDownloadLimitMs = 120000;
    static constexpr int kArchiverStartLimitMs = 10000;
    static constexpr int kArchiverLimitMs = 120000;
    static constexpr int kSignatureMaxBytes = 4096;

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
    // Receives the body piece by piece; false stops the transfer (the sink failed).
    using Sink = std::function<bool(const QByteArray &)>;
    // `disk`: the budget of a body written to disk (none for one held in memory).
    // tooLargeBytes, when given, receives the size that broke a limit (-1 when none did).
    bool transfer(const QUrl &url, qint64 maxBytes, const DiskBudget::Room *disk, const Sink &sink,
                  QString *error, qint64 *tooLargeBytes = nullptr);
    bool download(const QUrl &url, const QString &zip, QString *error);
    bool fetchSignature(const QUrl &packageUrl, QByteArray *signature, QString *error);
    bool extract(const QString &zip, const QString &folder, QString *error);
    bool install(const QString &folder, const QString &target, QString *error);
    void fail(const QString &text);
};
