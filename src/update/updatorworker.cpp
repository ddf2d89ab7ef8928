#include "update/updatorworker.h"

#include "backfill/extraction.h"
#include "platform/archiver.h"
#include "platform/installpaths.h"
#include "platform/updatelauncher.h"

#include <QDir>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QThread>
#include <QTimer>

#include <atomic>

namespace {

std::atomic<int> g_downloadLimitMs{0};

// Bytes taken from the reply per write.
constexpr qint64 kReadChunk = 256 * 1024;

bool interrupted()
{
    return QThread::currentThread()->isInterruptionRequested();
}

} // namespace

UpdatorWorker::UpdatorWorker(QObject *parent)
    : QObject(parent)
{
}

void UpdatorWorker::setDownloadLimitForTests(int ms)
{
    g_downloadLimitMs.store(ms > 0 ? ms : 0);
}

int UpdatorWorker::downloadLimitMs()
{
    const int ms = g_downloadLimitMs.load();
    return ms > 0 ? ms : kDownloadLimitMs;
}

void UpdatorWorker::fail(const QString &text)
{
    emit downloadFinished(false, text);
}

void UpdatorWorker::startDownload(QString zipUrl)
{
    emit logMessage(QStringLiteral("UpdatorWorker: startDownload called with URL: %1").arg(zipUrl));
    if (zipUrl.trimmed().isEmpty()) {
        emit logMessage(QStringLiteral("UpdatorWorker: LatestVersionPath empty!"));
        fail(QStringLiteral("LatestVersionPath empty"));
        return;
    }

    const QString target = InstallPaths::rootSlash();
    QDir().mkpath(target);
    const QString zip = InstallPaths::updateZip();
    emit logMessage(QStringLiteral("Using fixed update path: %1").arg(zip));

    QString error;
    if (!download(zipUrl, zip, &error)) {
        fail(error);
        return;
    }
    emit logMessage(QStringLiteral("Saved ZIP to %1").arg(zip));

    emit logMessage(QStringLiteral("Extracting to fixed path: %1").arg(target));
    if (!extract(zip, target, &error)) {
        fail(error);
        return;
    }
    emit logMessage(QStringLiteral("Extraction finished."));
    emit downloadFinished(true, target);
}

bool UpdatorWorker::download(const QString &zipUrl, const QString &zip, QString *error)
{
    const QUrl url(zipUrl, QUrl::TolerantMode);
    const QString scheme = url.scheme().toLower();
    // The address comes from the server record: only a web download is a package.
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        *error = QStringLiteral("Not a web address: %1").arg(zipUrl);
        emit logMessage(QStringLiteral("Download failed: %1").arg(*error));
        return false;
    }

    QSaveFile file(zip);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("Cannot open file for write: %1").arg(zip);
        emit logMessage(*error);
        return false;
    }

    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply *reply = manager.get(request);
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);

    qint64 written = 0;
    bool writeFailed = false;
    auto drain = [&] {
        while (reply->bytesAvailable() > 0) {
            const QByteArray chunk = reply->read(kReadChunk);
            if (chunk.isEmpty())
                break;
            if (writeFailed)
                continue; // still read, so the reply does not pile it up
            if (file.write(chunk) != chunk.size())
                writeFailed = true;
            else
                written += chunk.size();
        }
    };
    connect(reply, &QIODevice::readyRead, &loop, drain);
    connect(reply, &QNetworkReply::downloadProgress, this, &UpdatorWorker::downloadProgress);
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    limit.start(downloadLimitMs());
    loop.exec();

    const bool done = reply->isFinished();
    QString text;
    if (interrupted()) {
        text = QStringLiteral("Update cancelled");
    } else if (!done || reply->error() != QNetworkReply::NoError) {
        text = done ? reply->errorString() : QString();
        if (text.isEmpty())
            text = timeoutText();
    }
    if (!text.isEmpty()) {
        reply->disconnect();
        reply->abort();
        reply->deleteLater();
        file.cancelWriting();
        *error = text;
        emit logMessage(QStringLiteral("Download failed: %1").arg(text));
        return false;
    }

    emit logMessage(QStringLiteral("UpdatorWorker: download finished OK."));
    drain();
    reply->deleteLater();
    if (writeFailed || written <= 0 || !file.commit()) {
        file.cancelWriting();
        *error = QStringLiteral("Write failed");
        emit logMessage(QStringLiteral("Write failed for %1").arg(zip));
        return false;
    }
    return true;
}

bool UpdatorWorker::extract(const QString &zip, const QString &target, QString *error)
{
    const QString program = Archiver::archiverCall(zip, target).program;
    // A launcher from an earlier update must not run in place of one this package lacks.
    UpdateLauncher::removeStale();

    ArchiveExtractor extractor;
    extractor.setFallbackEnabled(false);
    extractor.setStagingParent(target);
    QProcess *process = extractor.archiverProcess();

    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    bool started = false;
    bool finished = false;
    bool ok = false;
    QString why;
    connect(process, &QProcess::started, &loop, [&] {
        started = true;
        limit.start(kArchiverLimitMs);
    });
    connect(&extractor, &ArchiveExtractor::finished, &loop, [&](bool success, const QString &e) {
        finished = true;
        ok = success;
        why = e;
        loop.quit();
    });
    connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    limit.start(kArchiverStartLimitMs);
    if (!extractor.start(zip, target)) {
        *error = QStringLiteral("Unpacking could not start");
        return false;
    }
    if (!finished)
        loop.exec();

    const bool cutShort = !finished;
    if (cutShort) {
        // Time limit or cancellation: end the archiver; its end fails the extraction.
        process->kill();
        process->waitForFinished(5000);
    }
    if (ok)
        return true;
    // A package the extractor refuses before any tool runs (no readable directory) is
    // reported with its reason, not as a missing archiver.
    if (!started && !(finished && !why.startsWith(QLatin1String("archiver error")))) {
        emit logMessage(QStringLiteral("Failed to start %1.").arg(program));
        *error = QStringLiteral("%1 not found or failed to start").arg(program);
    } else if (cutShort) {
        emit logMessage(QStringLiteral("%1 timeout/failed.").arg(program));
        *error = interrupted() ? QStringLiteral("Update cancelled") : QStringLiteral("Unzip timed out or failed");
    } else {
        emit logMessage(QStringLiteral("%1 failed: %2").arg(program, why));
        *error = QStringLiteral("%1 could not unpack the update package (%2)").arg(program, why);
    }
    return false;
}
