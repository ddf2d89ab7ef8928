#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <memory>

class ArchiveExtractor;
class QNetworkReply;
class QSaveFile;

// Fetches one file over HTTP into a fixed file under the installation root, reports
// progress and speed, retries on its own (no retry limit) and unpacks archives into the
// destination folder. Event driven and living in the GUI thread: the QThread base is never
// started.
//
// The body is streamed to a temporary file beside the output file as it arrives and
// renamed over the output file only when the transfer succeeded, so a failed or aborted
// transfer never leaves a partial file behind and memory does not grow with the size.
// The 90 s time-out counts from the last bytes received: a stalled transfer is aborted and
// tried again 10 s later, a slow one that keeps receiving completes.
class MyDownloader : public QThread
{
    Q_OBJECT
public:
    MyDownloader(QString fileName, QString url, QString destinationExtr, int method,
                 QObject *parent = nullptr);
    ~MyDownloader() override;

    // The flows restart these directly (Parts of the backfill flows rely on it).
    QTimer *requestTimer() { return &m_requestTimer; }
    QTimer *timeoutTimer() { return &m_timeoutTimer; }
    QUrl url() const { return m_url; }
    QString outputFilePath() const { return m_outputFile.fileName(); }
    int method() const { return m_method; }
    QString fileName() const { return m_fileName; }
    QString destinationExtr() const { return m_destinationExtr; }
    int retryDelay() const { return m_retryDelay; }
    ArchiveExtractor *extractor() const { return m_extractor; }

    // Product values in milliseconds.
    static constexpr int kRequestDelayMs = 1;
    static constexpr int kInitialRetryDelayMs = 1000;
    static constexpr int kMaxRetryDelayMs = 30000;
    static constexpr int kTimeoutMs = 90000;
    static constexpr int kAfterTimeoutDelayMs = 10000;

    // Tests shorten every interval the downloader starts by this factor (1 = product).
    static void setIntervalScaleForTests(double scale);
    static int scaledInterval(int ms);

    // The progress and speed texts for one progress report; elapsedMs is the time since
    // the request was sent. bytesTotal <= 0 gives "--%" and an empty speed.
    static void progressTexts(qint64 bytesReceived, qint64 bytesTotal, qint64 elapsedMs,
                              QString *progress, QString *speed);
    // The retry delay that follows a failed reply.
    static int grownRetryDelay(int delayMs);

public slots:
    void initialize(QString fileName, QString url, QString destinationExtr, int method = 0);
    void requestData();
    void downloadCompleted();
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void abort();
    void process7zipFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void process7zipError(QProcess::ProcessError error);
    void processPSFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void processPSError(QProcess::ProcessError error);

signals:
    void updateProgress(QString progress, QString speed);
    void updateProgress2(QString progress, QString speed);
    void downloadfinished();
    void responseError();

private slots:
    void onReplyReadyRead();
    void onExtractionFinished(bool ok, const QString &error);

private:
    void scheduleRequest(int delayMs);
    void dropReply(bool abortIt);
    void discardBody();
    bool storeAvailable();
    void moveIntoDestination();

    QNetworkAccessManager *m_network;
    QUrl m_url;
    QNetworkReply *m_reply = nullptr;
    QTimer m_requestTimer;
    QTimer m_timeoutTimer;
    QFile m_outputFile;
    QProcess *m_archiverProcess;
    QProcess *m_fallbackProcess;
    QString m_fileName;
    QString m_destinationExtr;
    QElapsedTimer m_speedClock;
    int m_method = 0;
    int m_retryDelay = kInitialRetryDelayMs;
    const int m_maxRetryDelay = kMaxRetryDelayMs;

    ArchiveExtractor *m_extractor;
    // The body of the transfer in flight, written beside the output file.
    std::unique_ptr<QSaveFile> m_body;
    bool m_bodyFailed = false;
};
