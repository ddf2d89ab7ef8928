#include "backfill/mydownloader.h"

#include "backfill/extraction.h"
#include "platform/installpaths.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>

#include <atomic>
#include <cmath>

namespace {

std::atomic<double> g_intervalScale{1.0};

// Bytes read from the reply per write: bounds what one readyRead holds in memory.
constexpr qint64 kReadChunk = 256 * 1024;

} // namespace

void MyDownloader::setIntervalScaleForTests(double scale)
{
    g_intervalScale.store(scale > 0 ? scale : 1.0);
}

int MyDownloader::scaledInterval(int ms)
{
    const double v = std::round(ms * g_intervalScale.load());
    return v < 1 ? 1 : static_cast<int>(v);
}

int MyDownloader::grownRetryDelay(int delayMs)
{
    const qint64 grown = static_cast<qint64>(delayMs * 1.8);
    return static_cast<int>(qMin<qint64>(kMaxRetryDelayMs, grown));
}

void MyDownloader::progressTexts(qint64 bytesReceived, qint64 bytesTotal, qint64 elapsedMs,
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

MyDownloader::MyDownloader(QString fileName, QString url, QString destinationExtr, int method,
                           QObject *parent)
    : QThread(parent)
    , m_network(new QNetworkAccessManager(this))
    , m_url(url, QUrl::TolerantMode)
    , m_requestTimer(this)
    , m_timeoutTimer(this)
    , m_outputFile(InstallPaths::rootSlashTrailing() + fileName)
    , m_archiverProcess(new QProcess(this))
    , m_fallbackProcess(new QProcess(this))
    , m_fileName(std::move(fileName))
    , m_destinationExtr(std::move(destinationExtr))
    , m_method(method)
    , m_extractor(new ArchiveExtractor(m_archiverProcess, m_fallbackProcess, this))
{
    m_requestTimer.setSingleShot(true);
    m_timeoutTimer.setSingleShot(true);
    connect(m_archiverProcess, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &MyDownloader::process7zipFinished);
    connect(m_archiverProcess, &QProcess::errorOccurred, this, &MyDownloader::process7zipError);
    connect(m_fallbackProcess, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &MyDownloader::processPSFinished);
    connect(m_fallbackProcess, &QProcess::errorOccurred, this, &MyDownloader::processPSError);
    connect(m_extractor, &ArchiveExtractor::finished, this, &MyDownloader::onExtractionFinished);
}

MyDownloader::~MyDownloader()
{
    // The reply belongs to the manager; it must not call back into a half-destroyed object.
    dropReply(true);
}

void MyDownloader::scheduleRequest(int delayMs)
{
    m_requestTimer.stop();
    m_requestTimer.setSingleShot(true);
    m_requestTimer.start(scaledInterval(delayMs));
    connect(&m_requestTimer, &QTimer::timeout, this, &MyDownloader::requestData,
            Qt::UniqueConnection);
}

void MyDownloader::dropReply(bool abortIt)
{
    discardBody();
    if (!m_reply)
        return;
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    reply->disconnect(this);
    if (abortIt)
        reply->abort();
    reply->deleteLater();
}

void MyDownloader::discardBody()
{
    if (m_body)
        m_body->cancelWriting();
    m_body.reset();
    m_bodyFailed = false;
}

void MyDownloader::initialize(QString fileName, QString url, QString destinationExtr, int method)
{
    m_fileName = std::move(fileName);
    m_destinationExtr = std::move(destinationExtr);
    m_method = method;
    dropReply(true);
    m_url = QUrl(url, QUrl::TolerantMode);
    m_retryDelay = kInitialRetryDelayMs;
    m_requestTimer.stop();
    m_timeoutTimer.stop();
    scheduleRequest(kRequestDelayMs);
}

void MyDownloader::requestData()
{
    m_requestTimer.stop();
    // An earlier reply still running would keep buffering a body nobody reads.
    dropReply(true);

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
        reply = m_network->post(request, body);
    } else {
        QNetworkRequest request{m_url};
        request.setRawHeader("Connection", "keep-alive");
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::NoLessSafeRedirectPolicy);
        reply = m_network->get(request);
    }
    m_reply = reply;
    m_speedClock.restart();

    connect(reply, &QNetworkReply::downloadProgress, this, &MyDownloader::downloadProgress,
            Qt::UniqueConnection);
    connect(reply, &QNetworkReply::finished, this, &MyDownloader::downloadCompleted,
            Qt::UniqueConnection);
    connect(reply, &QIODevice::readyRead, this, &MyDownloader::onReplyReadyRead,
            Qt::UniqueConnection);

    m_timeoutTimer.setSingleShot(true);
    m_timeoutTimer.start(scaledInterval(kTimeoutMs));
    connect(&m_timeoutTimer, &QTimer::timeout, this, &MyDownloader::abort, Qt::UniqueConnection);
}

bool MyDownloader::storeAvailable()
{
    if (!m_reply)
        return false;
    if (!m_body && !m_bodyFailed) {
        m_body = std::make_unique<QSaveFile>(m_outputFile.fileName());
        if (!m_body->open(QIODevice::WriteOnly)) {
            qDebug() << "MyDownloader: cannot write" << m_outputFile.fileName() << m_body->errorString();
            m_body.reset();
            m_bodyFailed = true;
        }
    }
    while (m_reply->bytesAvailable() > 0) {
        const QByteArray chunk = m_reply->read(kReadChunk);
        if (chunk.isEmpty())
            break;
        // After a failed write the rest is still drained, so the reply does not pile it up.
        if (m_body && m_body->write(chunk) != chunk.size()) {
            qDebug() << "MyDownloader: short write to" << m_outputFile.fileName() << m_body->errorString();
            m_body->cancelWriting();
            m_body.reset();
            m_bodyFailed = true;
        }
    }
    return !m_bodyFailed;
}

void MyDownloader::onReplyReadyRead()
{
    if (sender() != m_reply)
        return;
    // Bytes arrived: the idle time-out counts from here.
    if (m_timeoutTimer.isActive())
        m_timeoutTimer.start(scaledInterval(kTimeoutMs));
    // An error page is stored too, and thrown away with the reply when it finishes.
    storeAvailable();
}

void MyDownloader::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    QString progress;
    QString speed;
    progressTexts(bytesReceived, bytesTotal, m_speedClock.isValid() ? m_speedClock.elapsed() : 0,
                  &progress, &speed);
    emit updateProgress(progress, speed);
    emit updateProgress2(progress, speed);
}

void MyDownloader::downloadCompleted()
{
    m_timeoutTimer.stop();
    disconnect(&m_timeoutTimer, &QTimer::timeout, this, &MyDownloader::abort);

    if (!m_reply) {
        scheduleRequest(m_retryDelay);
        return;
    }
    if (m_reply->error() != QNetworkReply::NoError) {
        qDebug() << "MyDownloader:" << m_url.toString() << "failed:" << m_reply->errorString();
        dropReply(false);
        m_retryDelay = grownRetryDelay(m_retryDelay);
        emit responseError();
        scheduleRequest(m_retryDelay);
        return;
    }

    m_retryDelay = kInitialRetryDelayMs;
    const bool stored = storeAvailable() && m_body && m_body->commit();
    if (!stored)
        qDebug() << "MyDownloader: could not store" << m_url.toString() << "in" << m_outputFile.fileName();
    m_body.reset();
    dropReply(false);
    if (!stored) {
        emit responseError();
        scheduleRequest(m_retryDelay);
        return;
    }

    emit updateProgress(QStringLiteral("100%"), QString());

    if (QFileInfo(m_outputFile.fileName()).suffix().toLower() == QLatin1String("zip")) {
        const QString archive = QDir::fromNativeSeparators(m_outputFile.fileName());
        if (!m_extractor->start(archive, m_destinationExtr)) {
            emit responseError();
            scheduleRequest(m_retryDelay);
        }
        return;
    }
    moveIntoDestination();
    emit downloadfinished();
}

void MyDownloader::moveIntoDestination()
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
        qDebug() << "MyDownloader: cannot move" << m_outputFile.fileName() << "to" << target;
}

void MyDownloader::abort()
{
    if (m_reply)
        qDebug() << "MyDownloader: no bytes for" << scaledInterval(kTimeoutMs) << "ms from"
                 << m_url.toString() << "- starting over";
    dropReply(true);
    m_timeoutTimer.stop();
    scheduleRequest(kAfterTimeoutDelayMs);
}

void MyDownloader::process7zipFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    m_extractor->archiverFinished(exitCode, exitStatus);
}

void MyDownloader::process7zipError(QProcess::ProcessError error)
{
    m_extractor->archiverError(error);
}

void MyDownloader::processPSFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    m_extractor->fallbackFinished(exitCode, exitStatus);
}

void MyDownloader::processPSError(QProcess::ProcessError error)
{
    m_extractor->fallbackError(error);
}

void MyDownloader::onExtractionFinished(bool ok, const QString &error)
{
    if (ok) {
        emit downloadfinished();
        return;
    }
    qDebug().noquote() << "MyDownloader: extraction failed:" << error;
    emit responseError();
    if (m_extractor->fallbackCouldNotRun())
        scheduleRequest(qMin(m_retryDelay, m_maxRetryDelay));
}
