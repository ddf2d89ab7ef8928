#include "backfill/archivedownloader.h"

#include "archive/extraction.h"
#include "backfill/backfillerrorlog.h"
#include "backfill/backfillrequest.h"
#include "platform/installpaths.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <atomic>
#include <cmath>

namespace {

std::atomic<double> g_intervalScale{1.0};
std::atomic<qint64> g_bodyCap{DiskBudget::kJobCapBytes};

// Bytes read from the reply per write: bounds what one readyRead holds in memory.
constexpr qint64 kReadChunk = 256 * 1024;

} // namespace

void ArchiveDownloader::setIntervalScaleForTests(double scale)
{
    g_intervalScale.store(scale > 0 ? scale : 1.0);
}

void ArchiveDownloader::setBodyLimitForTests(qint64 bytes)
{
    g_bodyCap.store(bytes > 0 ? bytes : DiskBudget::kJobCapBytes);
}

QString ArchiveDownloader::partialPath(const QString &outputFilePath)
{
    return outputFilePath + QStringLiteral(".part");
}

int ArchiveDownloader::scaledInterval(int ms)
{
    const double v = std::round(ms * g_intervalScale.load());
    return v < 1 ? 1 : static_cast<int>(v);
}

int ArchiveDownloader::grownRetryDelay(int delayMs)
{
    const qint64 grown = static_cast<qint64>(delayMs * 1.8);
    return static_cast<int>(qMin<qint64>(kMaxRetryDelayMs, grown));
}

void ArchiveDownloader::progressTexts(qint64 bytesReceived, qint64 bytesTotal, qint64 elapsedMs,
                                 QString *progress, QString *speed)
{
    if (bytesTotal <= 0) {
        *progress = QStringLiteral("--%");
        speed->clear();
        return;
    }
    double seconds = elapsedMs / 1000.0;
    if (!(seconds > 0.001))
        seconds = 0.001;
    double rate = bytesReceived / seconds;
    QString unit = QStringLiteral("B/s");
    if (rate > 1024) {
        rate /= 1024;
        unit = QStringLiteral("KB/s");
        if (rate > 1024) {
            rate /= 1024;
            unit = QStringLiteral("MB/s");
        }
    }
    const double percent = bytesReceived * 100.0 / bytesTotal;
    *progress = QString::number(percent, 'f', 1) + QLatin1Char('%');
    *speed = QStringLiteral("%1 %2").arg(QString::number(rate, 'f', 1), unit);
}

ArchiveDownloader::ArchiveDownloader(QString fileName, QString url, QString destinationExtr, int method,
                                     QObject *parent)
    : QObject(parent)
    , m_network(new QNetworkAccessManager(this))
    , m_url(url, QUrl::TolerantMode)
    , m_requestTimer(this)
    , m_timeoutTimer(this)
    , m_outputFile(InstallPaths::rootSlashTrailing() + fileName)
    , m_fileName(std::move(fileName))
    , m_destinationExtr(std::move(destinationExtr))
    , m_method(method)
    , m_extractor(new ArchiveExtractor(this))
    , m_totalTimer(this)
{
    m_requestTimer.setSingleShot(true);
    m_timeoutTimer.setSingleShot(true);
    m_totalTimer.setSingleShot(true);
    connect(&m_totalTimer, &QTimer::timeout, this, &ArchiveDownloader::onTotalLimit);
    connect(m_extractor, &ArchiveExtractor::finished, this, &ArchiveDownloader::onExtractionFinished);
    // Backfill folders are flat: the import takes only files at their top.
    m_extractor->setFlatten(true);
    m_extractor->setStagingParent(InstallPaths::root());

    // What a killed run left behind: a partial body and staging folders.
    const QString partial = partialPath(m_outputFile.fileName());
    if (QFileInfo::exists(partial)) {
        qDebug() << "ArchiveDownloader: removing the partial download" << partial << "of an earlier run";
        QFile::remove(partial);
    }
    if (!m_destinationExtr.isEmpty())
        ArchiveExtractor::removeStaleStaging(InstallPaths::root(), m_destinationExtr);
}

ArchiveDownloader::~ArchiveDownloader()
{
    // The reply belongs to the manager; it must not call back into a half-destroyed object.
    stopWork();
}

void ArchiveDownloader::scheduleRequest(int delayMs)
{
    m_requestTimer.stop();
    m_requestTimer.setSingleShot(true);
    m_requestTimer.start(scaledInterval(delayMs));
    connect(&m_requestTimer, &QTimer::timeout, this, &ArchiveDownloader::requestData,
            Qt::UniqueConnection);
}

void ArchiveDownloader::dropReply(bool abortIt)
{
    discardBody();
    m_totalTimer.stop();
    if (!m_reply)
        return;
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    reply->disconnect(this);
    if (abortIt)
        reply->abort();
    reply->deleteLater();
}

void ArchiveDownloader::discardBody()
{
    if (m_body) {
        m_body->close();
        m_body->remove();
    }
    m_body.reset();
    m_bodyFailed = false;
    m_bodyBytes = 0;
    m_overRoom = false;
    m_bodyProblem.clear();
}

void ArchiveDownloader::stopWork()
{
    dropReply(true);
    if (m_extractor->isRunning())
        m_extractor->cancel();
    m_requestTimer.stop();
    m_timeoutTimer.stop();
    m_totalTimer.stop();
}

void ArchiveDownloader::cancel()
{
    const bool busy = m_reply || m_extractor->isRunning() || m_requestTimer.isActive();
    stopWork();
    ++m_requestNumber;
    m_failures = 0;
    if (busy)
        qDebug() << "ArchiveDownloader: request for" << m_url.toString() << "cancelled";
}

bool ArchiveDownloader::isIdle() const
{
    return !m_reply && !m_extractor->isRunning() && !m_requestTimer.isActive() && !m_timeoutTimer.isActive();
}

void ArchiveDownloader::initialize(QString fileName, QString url, QString destinationExtr, int method,
                                   int delayMs)
{
    m_fileName = std::move(fileName);
    m_destinationExtr = std::move(destinationExtr);
    m_method = method;
    // An earlier request still unpacking would write into the folder this one fills.
    stopWork();
    ++m_requestNumber;
    m_failures = 0;
    m_url = QUrl(url, QUrl::TolerantMode);
    m_retryDelay = kInitialRetryDelayMs;
    scheduleRequest(delayMs);
}

void ArchiveDownloader::requestData()
{
    m_requestTimer.stop();
    // An earlier reply still running would keep buffering a body nobody reads, and an
    // extraction still running would read an archive this transfer replaces.
    dropReply(true);
    if (m_extractor->isRunning())
        m_extractor->cancel();

    const QString text = m_url.toString();
    const int q = text.indexOf(QLatin1Char('?'));
    const QString base = q < 0 ? text : text.left(q);
    const QByteArray body = q < 0 ? QByteArray() : text.mid(q + 1).toUtf8();

    QNetworkReply *reply = nullptr;
    if (m_method != 0) {
        QNetworkRequest request{QUrl(base, QUrl::TolerantMode)};
        request.setRawHeader("Connection", "keep-alive");
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QStringLiteral("application/x-www-form-urlencoded"));
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::NoLessSafeRedirectPolicy);
        request.setMaximumRedirectsAllowed(kMaxRedirects);
        reply = m_network->post(request, body);
    } else {
        QNetworkRequest request{m_url};
        request.setRawHeader("Connection", "keep-alive");
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::NoLessSafeRedirectPolicy);
        request.setMaximumRedirectsAllowed(kMaxRedirects);
        reply = m_network->get(request);
    }
    m_reply = reply;
    m_speedClock.restart();
    // Judged once per attempt: the body itself lowers the free space as it is written.
    m_bodyCap = g_bodyCap.load();
    m_room = DiskBudget::roomFor(partialPath(m_outputFile.fileName()), m_bodyCap);
    m_bodyLimit = m_room.usable;

    connect(reply, &QNetworkReply::downloadProgress, this, &ArchiveDownloader::downloadProgress,
            Qt::UniqueConnection);
    connect(reply, &QNetworkReply::finished, this, &ArchiveDownloader::downloadCompleted,
            Qt::UniqueConnection);
    connect(reply, &QIODevice::readyRead, this, &ArchiveDownloader::onReplyReadyRead,
            Qt::UniqueConnection);
    connect(reply, &QNetworkReply::metaDataChanged, this, &ArchiveDownloader::onMetaDataChanged,
            Qt::UniqueConnection);

    m_timeoutTimer.setSingleShot(true);
    m_timeoutTimer.start(scaledInterval(kTimeoutMs));
    connect(&m_timeoutTimer, &QTimer::timeout, this, &ArchiveDownloader::abort, Qt::UniqueConnection);
    m_totalTimer.start(scaledInterval(kTotalLimitMs));
}

bool ArchiveDownloader::storeAvailable()
{
    if (!m_reply)
        return false;
    if (!m_body && !m_bodyFailed) {
        m_body = std::make_unique<QFile>(partialPath(m_outputFile.fileName()));
        if (!m_body->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            m_bodyProblem = QStringLiteral("cannot write %1: %2").arg(m_body->fileName(), m_body->errorString());
            m_body.reset();
            m_bodyFailed = true;
        }
    }
    while (m_reply->bytesAvailable() > 0) {
        const QByteArray chunk = m_reply->read(kReadChunk);
        if (chunk.isEmpty())
            break;
        // Not a byte past the budget reaches the disk.
        if (m_bodyBytes + chunk.size() > m_bodyLimit) {
            m_overRoom = true;
            return false;
        }
        m_bodyBytes += chunk.size();
        // After a failed write the rest is still drained, so the reply does not pile it up.
        if (m_body && m_body->write(chunk) != chunk.size()) {
            m_bodyProblem = QStringLiteral("cannot write %1: %2").arg(m_body->fileName(), m_body->errorString());
            discardBody();
            m_bodyFailed = true;
        }
    }
    return !m_bodyFailed;
}

void ArchiveDownloader::onMetaDataChanged()
{
    if (sender() != m_reply || !m_reply)
        return;
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > m_bodyLimit)
        refuseForSpace(DiskBudget::refusal(length.toLongLong(), m_room, m_bodyCap));
}

void ArchiveDownloader::onReplyReadyRead()
{
    if (sender() != m_reply)
        return;
    // Bytes arrived: the idle time-out counts from here.
    if (m_timeoutTimer.isActive())
        m_timeoutTimer.start(scaledInterval(kTimeoutMs));
    // An error page is stored too, and thrown away with the reply when it finishes.
    storeAvailable();
    if (m_overRoom)
        refuseForSpace(DiskBudget::refusalPassed(m_room, m_bodyCap));
}

void ArchiveDownloader::onTotalLimit()
{
    if (!m_reply)
        return;
    const QString reason = QStringLiteral("the transfer took longer than %1 ms").arg(scaledInterval(kTotalLimitMs));
    dropReply(true);
    m_timeoutTimer.stop();
    failAttempt(reason, 0, false);
}

void ArchiveDownloader::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    QString progress;
    QString speed;
    progressTexts(bytesReceived, bytesTotal, m_speedClock.isValid() ? m_speedClock.elapsed() : 0,
                  &progress, &speed);
    emit this->progress(progress, speed);
}

bool ArchiveDownloader::commitBody(QString *error, bool *forSpace)
{
    if (!storeAvailable() && m_overRoom) {
        *forSpace = true;
        *error = DiskBudget::refusalPassed(m_room, m_bodyCap);
        return false;
    }
    if (m_bodyFailed || !m_body) {
        *error = m_bodyProblem.isEmpty() ? QStringLiteral("nothing could be stored") : m_bodyProblem;
        discardBody();
        return false;
    }
    // A body shorter (or longer) than announced was cut: the link broke before its end.
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() != m_bodyBytes) {
        *error = QStringLiteral("the body has %1 of the %2 bytes announced").arg(m_bodyBytes).arg(length.toLongLong());
        discardBody();
        return false;
    }
    const bool flushed = m_body->flush();
    m_body->close();
    if (!flushed || m_body->error() != QFileDevice::NoError) {
        *error = QStringLiteral("cannot write %1: %2").arg(m_body->fileName(), m_body->errorString());
        discardBody();
        return false;
    }
    const QString part = m_body->fileName();
    m_body.reset();
    const QString target = m_outputFile.fileName();
    QFile::remove(target);
    if (!QFile::rename(part, target)) {
        *error = QStringLiteral("cannot rename %1 to %2").arg(part, target);
        QFile::remove(part);
        return false;
    }
    return true;
}

void ArchiveDownloader::downloadCompleted()
{
    if (sender() && sender() != m_reply && qobject_cast<QNetworkReply *>(sender()))
        return; // a reply of an earlier attempt
    m_timeoutTimer.stop();
    m_totalTimer.stop();
    disconnect(&m_timeoutTimer, &QTimer::timeout, this, &ArchiveDownloader::abort);

    if (!m_reply) {
        scheduleRequest(m_retryDelay);
        return;
    }
    if (m_reply->error() != QNetworkReply::NoError) {
        const QString reason = QStringLiteral("network error: %1").arg(m_reply->errorString());
        dropReply(false);
        failAttempt(reason, 0, false);
        return;
    }

    QString problem;
    bool forSpace = false;
    const bool stored = commitBody(&problem, &forSpace);
    if (forSpace) {
        refuseForSpace(problem);
        return;
    }
    dropReply(false);
    if (!stored) {
        failAttempt(problem, 0, false);
        return;
    }

    emit this->stored();

    if (QFileInfo(m_outputFile.fileName()).suffix().toLower() == QLatin1String("zip")) {
        const QString archive = QDir::fromNativeSeparators(m_outputFile.fileName());
        m_extractionRequest = m_requestNumber;
        m_extractor->setTimeLimit(scaledInterval(ArchiveExtractor::kDefaultTimeLimitMs));
        if (!m_extractor->start(archive, m_destinationExtr))
            failAttempt(QStringLiteral("an extraction is still running"), 0, false);
        return;
    }
    moveIntoDestination();
    succeed();
}

void ArchiveDownloader::moveIntoDestination()
{
    const QString dest = QDir::fromNativeSeparators(m_destinationExtr);
    if (dest.isEmpty())
        return;
    QDir().mkpath(dest);
    const QFileInfo output(m_outputFile.fileName());
    const QString target = QDir(dest).filePath(output.fileName());
    const QString targetAbs = QDir::fromNativeSeparators(QFileInfo(target).absoluteFilePath());
    const QString outputAbs = QDir::fromNativeSeparators(output.absoluteFilePath());
    if (QDir::cleanPath(targetAbs) == QDir::cleanPath(outputAbs))
        return;
    QFile::remove(target);
    if (!QFile::rename(m_outputFile.fileName(), target))
        qDebug() << "ArchiveDownloader: cannot move" << m_outputFile.fileName() << "to" << target;
}

void ArchiveDownloader::abort()
{
    if (!m_reply) {
        m_timeoutTimer.stop();
        scheduleRequest(kAfterTimeoutDelayMs);
        return;
    }
    const QString reason = QStringLiteral("no bytes for %1 ms").arg(scaledInterval(kTimeoutMs));
    dropReply(true);
    m_timeoutTimer.stop();
    failAttempt(reason, kAfterTimeoutDelayMs, true);
}

void ArchiveDownloader::failAttempt(const QString &reason, int minimumDelayMs, bool timedOut)
{
    ++m_failures;
    m_retryDelay = grownRetryDelay(m_retryDelay);
    qDebug().noquote() << "ArchiveDownloader:" << m_url.toString() << "attempt" << m_failures << "of"
                       << kMaxFailures << "failed:" << reason;
    emit attemptFailed(timedOut);
    if (m_failures >= kMaxFailures) {
        giveUp(reason);
        return;
    }
    scheduleRequest(qMax(minimumDelayMs, m_retryDelay));
}

void ArchiveDownloader::succeed()
{
    m_retryDelay = kInitialRetryDelayMs;
    m_failures = 0;
    emit finished();
}

QString ArchiveDownloader::requestLabel() const
{
    const QString symbol = BackfillRequest::symbolOfUrl(m_url.toString());
    if (!symbol.isEmpty())
        return symbol;
    const QString file = QFileInfo(m_url.path()).fileName();
    return file.isEmpty() ? m_url.toString(QUrl::RemoveQuery) : file;
}

void ArchiveDownloader::giveUp(const QString &reason)
{
    finishGivenUp(reason, false);
}

void ArchiveDownloader::refuseForSpace(const QString &reason)
{
    // How far a transfer in flight got, for the debug line.
    const QString detail = m_reply ? QStringLiteral(" (%1 bytes of the body written, %2 allowed)")
                                         .arg(m_bodyBytes)
                                         .arg(m_bodyLimit)
                                   : QString();
    // The reply goes with its partial body; the owner hears of the failed request as of
    // any other, and then that it is given up.
    dropReply(true);
    m_timeoutTimer.stop();
    emit attemptFailed(false);
    finishGivenUp(reason, true, detail);
}

void ArchiveDownloader::finishGivenUp(const QString &reason, bool forSpace, const QString &detail)
{
    stopWork();
    // The archive that could not be used is not kept: the next request writes it anew.
    if (QFileInfo(m_outputFile.fileName()).suffix().toLower() == QLatin1String("zip"))
        QFile::remove(m_outputFile.fileName());
    const QString symbol = ArchiveEntries::printable(requestLabel());
    const QString why = ArchiveEntries::printable(reason);
    const QString line = forSpace ? QStringLiteral(" - backfill skipped for %1, not enough disk space: %2").arg(symbol, why)
                                  : QStringLiteral(" - backfill given up for %1 after %2 failed attempts: %3")
                                        .arg(symbol, QString::number(kMaxFailures), why);
    BackfillErrorLog::append(line);
    qDebug().noquote() << "ArchiveDownloader:" << line + detail;
    const quint64 number = m_requestNumber;
    emit givenUp(symbol, why, forSpace);
    // The owner may have started the next request from its slot; this one stays over.
    if (number == m_requestNumber)
        ++m_requestNumber;
}

void ArchiveDownloader::onExtractionFinished(bool ok, const QString &error)
{
    if (m_extractionRequest != m_requestNumber)
        return; // an extraction of an earlier request
    if (ok) {
        succeed();
        return;
    }
    if (m_extractor->refusedForSpace()) {
        refuseForSpace(error);
        return;
    }
    failAttempt(QStringLiteral("unpacking failed: %1").arg(error), 0, true);
}
