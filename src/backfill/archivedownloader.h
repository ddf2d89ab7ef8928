#pragma once

#include "app/diskbudget.h"

#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <memory>

class ArchiveExtractor;
class QNetworkReply;

// Fetches one file over HTTP into a fixed file under the installation root, reports
// progress and speed, retries on its own and unpacks archives into the destination
// folder. Event driven, in the thread it lives in (the GUI thread).
//
// Every request (each initialize()) ends in exactly one finished() or one givenUp() with a
// line in the backfill error log that names the symbol and the reason; cancel() ends it
// with neither. Each attempt that fails (network error, time-out, a body shorter than
// announced, an archive that cannot be unpacked) is reported by attemptFailed() and grows
// the retry delay, and the request is given up after kMaxFailures of them. A request
// refused for disk space (a body or an unpacked archive larger than the disk budget allows)
// is given up at once: asking again a second later would meet the same disk. Results of an
// earlier request are ignored.
//
// The body is streamed to "<output file>.part" as it arrives and renamed over the output
// file only when the transfer succeeded, so a failed or aborted transfer never leaves a
// partial file behind and memory does not grow with the size. Time and size per attempt
// are bounded: 90 s without bytes (tried again 10 s later), 15 minutes in all, and the
// body at most what the disk budget gives one job (DiskBudget: half the free space above
// the floor, never more than 2 GB); a body without length stops as it would pass that.
class ArchiveDownloader : public QObject
{
    Q_OBJECT
public:
    ArchiveDownloader(QString fileName, QString url, QString destinationExtr, int method,
                      QObject *parent = nullptr);
    ~ArchiveDownloader() override;

    // Nothing under way: no request scheduled, no transfer, no extraction.
    bool isIdle() const;
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
    static constexpr int kTotalLimitMs = 15 * 60 * 1000;
    static constexpr int kMaxFailures = 5;
    static constexpr int kMaxRedirects = 5;

    // Tests shorten every interval the downloader starts by this factor (1 = product).
    static void setIntervalScaleForTests(double scale);
    static int scaledInterval(int ms);
    // Tests lower the 2 GB cap of one body (0 or less restores it).
    static void setBodyLimitForTests(qint64 bytes);
    // The partial body of a transfer in flight, beside the output file.
    static QString partialPath(const QString &outputFilePath);

    // The progress and speed texts for one progress report; elapsedMs is the time since
    // the request was sent. bytesTotal <= 0 gives "--%" and an empty speed.
    static void progressTexts(qint64 bytesReceived, qint64 bytesTotal, qint64 elapsedMs,
                              QString *progress, QString *speed);
    // The retry delay that follows a failed reply.
    static int grownRetryDelay(int delayMs);

    // Number of the current request; initialize() and cancel() start a new one.
    quint64 requestNumber() const { return m_requestNumber; }
    int failures() const { return m_failures; }

public slots:
    // Ends the current request: the reply is aborted, a running extraction killed with
    // its staging folder, and every timer stopped. Nothing is reported for it afterwards.
    void cancel();
    // Re-targets the downloader; the request goes out after delayMs.
    void initialize(QString fileName, QString url, QString destinationExtr, int method = 0,
                    int delayMs = kRequestDelayMs);

signals:
    // During the transfer.
    void progress(QString progress, QString speed);
    // The body is stored in the output file; an archive is unpacked next.
    void stored();
    // The file is in place: unpacked into the destination (the archive deleted), or moved.
    void finished();
    // One attempt failed (timedOut: no bytes for the time-out); a retry follows unless the
    // request is given up.
    void attemptFailed(bool timedOut);
    // The request is dropped, after kMaxFailures failed attempts or at once when refused
    // for disk space (forSpace; the reason then gives the figures and what to do); the
    // error log has its line.
    void givenUp(QString symbol, QString reason, bool forSpace);

private slots:
    void requestData();
    void downloadCompleted();
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void abort();
    void onReplyReadyRead();
    void onMetaDataChanged();
    void onTotalLimit();
    void onExtractionFinished(bool ok, const QString &error);

private:
    void scheduleRequest(int delayMs);
    void dropReply(bool abortIt);
    void discardBody();
    void stopWork();
    bool storeAvailable();
    bool commitBody(QString *error, bool *forSpace);
    void moveIntoDestination();
    // One failed attempt: the delay grows; after kMaxFailures the request is given up.
    void failAttempt(const QString &reason, int minimumDelayMs, bool timedOut);
    void succeed();
    void giveUp(const QString &reason);
    // The request does not fit the disk budget: dropped at once, with its partial body.
    void refuseForSpace(const QString &reason);
    // Logs the request as given up and ends it; `detail` goes to the debug line only.
    void finishGivenUp(const QString &reason, bool forSpace, const QString &detail = QString());
    QString requestLabel() const;

    QNetworkAccessManager *m_network;
    QUrl m_url;
    QNetworkReply *m_reply = nullptr;
    QTimer m_requestTimer;
    QTimer m_timeoutTimer;
    QFile m_outputFile;
    QString m_fileName;
    QString m_destinationExtr;
    QElapsedTimer m_speedClock;
    int m_method = 0;
    int m_retryDelay = kInitialRetryDelayMs;
    const int m_maxRetryDelay = kMaxRetryDelayMs;

    ArchiveExtractor *m_extractor;
    QTimer m_totalTimer;
    // The body of the transfer in flight, written beside the output file.
    std::unique_ptr<QFile> m_body;
    bool m_bodyFailed = false;
    qint64 m_bodyBytes = 0;
    qint64 m_bodyLimit = 0; // what the disk budget gives this attempt's body
    qint64 m_bodyCap = 0;
    DiskBudget::Room m_room;
    bool m_overRoom = false; // the body would pass m_bodyLimit: nothing more is written
    QString m_bodyProblem;
    quint64 m_requestNumber = 0;
    quint64 m_extractionRequest = 0;
    int m_failures = 0;
};
