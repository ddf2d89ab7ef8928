#include "update/updateworker.h"

#include "app/diskbudget.h"
#include "archive/extraction.h"
#include "platform/archiver.h"
#include "platform/filereplace_core.h"
#include "platform/installpaths.h"
#include "platform/updatelauncher.h"
#include "update/packagelimits.h"
#include "update/packagesignature.h"
#include "update/updateleftovers.h"
#include "update/updaterecovery.h"

#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFileInfo>
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
// How often the unpacked bytes are summed while the archiver runs.
constexpr int kUnpackWatchMs = 200;

bool interrupted()
{
    return QThread::currentThread()->isInterruptionRequested();
}

// Test seam: VANTREL_INSTALL_PAUSE_AFTER=N holds the install after N steps (0: the journal
// is written and nothing has moved; then one step per file moved or old file removed)
// until the thread is asked to stop, so that a test can kill the program at that point.
int installPauseStep()
{
    const QByteArray value = qgetenv("VANTREL_INSTALL_PAUSE_AFTER").trimmed();
    bool ok = false;
    const int n = value.size() <= 9 ? value.toInt(&ok) : -1;
    return ok && n >= 0 ? n : -1;
}

std::filesystem::path fsPath(const QString &path)
{
    return std::filesystem::u8path(path.toUtf8().toStdString());
}

} // namespace

UpdateWorker::UpdateWorker(QObject *parent)
    : QObject(parent)
{
}

void UpdateWorker::setDownloadLimitForTests(int ms)
{
    g_downloadLimitMs.store(ms > 0 ? ms : 0);
}

int UpdateWorker::downloadLimitMs()
{
    const int ms = g_downloadLimitMs.load();
    return ms > 0 ? ms : kDownloadLimitMs;
}

void UpdateWorker::fail(const QString &text)
{
    // Nothing of a failed update may stay behind to fill the root or be taken for a
    // package on the next attempt.
    UpdateLeftovers::removePackageAndStaging();
    emit downloadFinished(false, text);
}

void UpdateWorker::startDownload(QString zipUrl)
{
    emit logMessage(QStringLiteral("UpdatorWorker: startDownload called with URL: %1").arg(zipUrl));
    // The address comes from the server record; blanks around it are no part of it.
    const QString address = zipUrl.trimmed();
    if (address.isEmpty()) {
        emit logMessage(QStringLiteral("UpdatorWorker: LatestVersionPath empty!"));
        fail(QStringLiteral("LatestVersionPath empty"));
        return;
    }
    const QUrl url(address, QUrl::TolerantMode);
    const QString scheme = url.scheme().toLower();
    // Only a web download is a package.
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        const QString text = QStringLiteral("Not a web address: %1").arg(address);
        emit logMessage(QStringLiteral("Download failed: %1").arg(text));
        fail(text);
        return;
    }

    const QString target = InstallPaths::rootSlash();
    QDir().mkpath(target);
    const QString zip = InstallPaths::updateZip();
    emit logMessage(QStringLiteral("Using fixed update path: %1").arg(zip));

    QString error;
    if (UpdateRecovery::pending()) {
        // Its staged files must stay until the next start has carried it out.
        error = QStringLiteral("An earlier update is not finished yet; start the program again to finish it");
        emit logMessage(error);
        fail(error);
        return;
    }
    QByteArray signature;
    if (!fetchSignature(url, &signature, &error) || !download(url, zip, &error)) {
        fail(error);
        return;
    }
    emit logMessage(QStringLiteral("Saved ZIP to %1").arg(zip));

    QString why;
    if (!PackageSignature::verifyFile(zip, signature, PackageSignature::trustedKey(), &why)) {
        emit logMessage(QStringLiteral("Update package refused: %1").arg(why));
        fail(QStringLiteral("The update package is not signed by the vendor: %1").arg(why));
        return;
    }
    emit logMessage(QStringLiteral("UpdatorWorker: signature verified."));

    const qint64 declared = PackageLimits::declaredUnpackedSize(zip);
    const DiskBudget::Room unpackRoom = PackageLimits::room(target);
    if (declared >= 0 && !DiskBudget::fits(declared, unpackRoom)) {
        fail(PackageLimits::tooLargeText(declared, unpackRoom));
        return;
    }

    emit logMessage(QStringLiteral("Extracting to fixed path: %1").arg(target));
    const QString staged = InstallPaths::updateStagingDir();
    if (!extract(zip, staged, &error) || !install(staged, target, &error)) {
        fail(error);
        return;
    }
    QDir(InstallPaths::updateWorkDir()).removeRecursively();
    emit logMessage(QStringLiteral("Extraction finished."));
    emit downloadFinished(true, target);
}

bool UpdateWorker::transfer(const QUrl &url, qint64 maxBytes, const DiskBudget::Room *disk, const Sink &sink,
                             QString *error, qint64 *tooLargeBytes)
{
    // A body written to disk may take what the disk budget gives it, judged once before
    // it starts (what it writes lowers the free space).
    const qint64 allowed = disk ? qMin(maxBytes, disk->usable) : maxBytes;
    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply *reply = manager.get(request);
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);

    qint64 received = 0;
    bool tooLarge = false;
    qint64 announcedTooLarge = -1; // the announced length that broke the limit
    qint64 receivedTooLarge = -1;  // or the bytes received when they did
    bool sinkFailed = false;
    auto drain = [&] {
        while (!tooLarge && !sinkFailed && reply->bytesAvailable() > 0) {
            const QByteArray chunk = reply->read(kReadChunk);
            if (chunk.isEmpty())
                break;
            // An endless or lying body ends at the limit, not after the whole time limit.
            if (received + chunk.size() > allowed) {
                tooLarge = true;
                receivedTooLarge = received + chunk.size();
                loop.quit();
                return;
            }
            received += chunk.size();
            if (!sink(chunk)) {
                sinkFailed = true;
                loop.quit();
                return;
            }
        }
    };
    connect(reply, &QNetworkReply::metaDataChanged, &loop, [&] {
        const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
        bool ok = false;
        const qint64 length = announced.toLongLong(&ok);
        if (ok && length > allowed) {
            tooLarge = true;
            announcedTooLarge = length;
            loop.quit();
        }
    });
    connect(reply, &QIODevice::readyRead, &loop, drain);
    connect(reply, &QNetworkReply::downloadProgress, this, &UpdateWorker::downloadProgress);
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    limit.start(downloadLimitMs());
    loop.exec();

    const bool done = reply->isFinished();
    if (done && !tooLarge && !sinkFailed && reply->error() == QNetworkReply::NoError)
        drain();
    QString text;
    if (interrupted()) {
        text = QStringLiteral("Update cancelled");
    } else if (tooLarge) {
        text = disk ? PackageLimits::tooLargeText(announcedTooLarge, *disk)
                    : QStringLiteral("more than %1 bytes").arg(allowed);
    } else if (sinkFailed) {
        text = QStringLiteral("Write failed");
    } else if (!done || reply->error() != QNetworkReply::NoError) {
        text = done ? reply->errorString() : QString();
        if (text.isEmpty())
            text = timeoutText();
    }
    reply->disconnect();
    if (!text.isEmpty())
        reply->abort();
    reply->deleteLater();
    if (tooLargeBytes)
        *tooLargeBytes = !tooLarge ? -1 : announcedTooLarge >= 0 ? announcedTooLarge : receivedTooLarge;
    *error = text;
    return text.isEmpty();
}

bool UpdateWorker::fetchSignature(const QUrl &packageUrl, QByteArray *signature, QString *error)
{
    QUrl url = packageUrl;
    url.setPath(packageUrl.path() + QStringLiteral(".sig"));
    QByteArray body;
    QString why;
    // Held in memory, never written: bounded by its own size alone.
    qint64 tooLarge = -1;
    if (!transfer(url, kSignatureMaxBytes, nullptr, [&body](const QByteArray &chunk) {
            body += chunk;
            return true;
        }, &why, &tooLarge)) {
        *error = tooLarge > kSignatureMaxBytes
                     ? QStringLiteral("The update package's signature is too large (%1 bytes; at most %2)")
                           .arg(tooLarge)
                           .arg(kSignatureMaxBytes)
                     : QStringLiteral("The update package has no signature (%1)").arg(why);
        emit logMessage(QStringLiteral("Download failed: %1").arg(*error));
        return false;
    }
    *signature = body;
    return true;
}

bool UpdateWorker::download(const QUrl &url, const QString &zip, QString *error)
{
    QSaveFile file(zip);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("Cannot open file for write: %1").arg(zip);
        emit logMessage(*error);
        return false;
    }
    qint64 written = 0;
    const DiskBudget::Room room = PackageLimits::room(zip);
    const bool ok = transfer(url, PackageLimits::cap(), &room, [&](const QByteArray &chunk) {
        if (file.write(chunk) != chunk.size())
            return false;
        written += chunk.size();
        return true;
    }, error);
    if (!ok) {
        file.cancelWriting();
        emit logMessage(*error == QLatin1String("Write failed") ? QStringLiteral("Write failed for %1").arg(zip)
                                                                : QStringLiteral("Download failed: %1").arg(*error));
        return false;
    }
    emit logMessage(QStringLiteral("UpdatorWorker: download finished OK."));
    if (written <= 0) {
        file.cancelWriting();
        *error = PackageLimits::emptyText();
        emit logMessage(QStringLiteral("Download failed: %1").arg(*error));
        return false;
    }
    if (!file.commit()) {
        *error = QStringLiteral("Write failed");
        emit logMessage(QStringLiteral("Write failed for %1").arg(zip));
        return false;
    }
    return true;
}

bool UpdateWorker::extract(const QString &zip, const QString &folder, QString *error)
{
    const QString program = Archiver::archiverCall(zip, folder).program;
    const QString work = InstallPaths::updateWorkDir();
    QDir(work).removeRecursively();
    if (!QDir().mkpath(work)) {
        *error = QStringLiteral("Cannot create %1").arg(work);
        return false;
    }

    ArchiveExtractor extractor;
    extractor.setFallbackEnabled(false);
    extractor.setStagingParent(work);
    QProcess *process = extractor.archiverProcess();

    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    // A ZIP's directory may lie about what it unpacks to: watch what really lands. The
    // extractor judges the declared size by the same budget.
    const DiskBudget::Room room = PackageLimits::room(work);
    extractor.setSpaceCap(PackageLimits::cap());
    QTimer watch;
    watch.setInterval(kUnpackWatchMs);
    bool started = false;
    bool finished = false;
    bool ok = false;
    bool tooLarge = false;
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
    connect(&watch, &QTimer::timeout, &loop, [&] {
        if (PackageLimits::folderBytes(work) > room.usable) {
            tooLarge = true;
            loop.quit();
        }
    });
    limit.start(kArchiverStartLimitMs);
    if (!extractor.start(zip, folder)) {
        *error = QStringLiteral("Unpacking could not start");
        return false;
    }
    watch.start();
    if (!finished)
        loop.exec();
    watch.stop();

    const bool cutShort = !finished;
    if (cutShort) {
        // Time limit, size limit or cancellation: end the archiver; its end fails the extraction.
        process->kill();
        process->waitForFinished(5000);
    }
    // An archiver faster than the watch still leaves the evidence behind.
    if (!tooLarge && ok && PackageLimits::folderBytes(work) > room.usable)
        tooLarge = true;
    if (tooLarge) {
        emit logMessage(QStringLiteral("%1 stopped: the package unpacks to more than %2 bytes.").arg(program).arg(room.usable));
        *error = PackageLimits::tooLargeText(-1, room);
        return false;
    }
    if (extractor.refusedForSpace()) {
        emit logMessage(QStringLiteral("%1 not started: %2").arg(program, why));
        *error = QStringLiteral("Package too large to unpack: ") + extractor.spaceRefusal();
        return false;
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

bool UpdateWorker::install(const QString &folder, const QString &target, QString *error)
{
    std::vector<std::string> files;
    const QDir staged(folder);
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.push_back(staged.relativeFilePath(it.next()).toUtf8().toStdString());
    if (files.empty()) {
        *error = PackageLimits::emptyText();
        return false;
    }
    // A launcher from an earlier update must not run in place of one this package lacks.
    std::vector<std::string> removals;
    for (const QString &launcher : UpdateLauncher::candidates())
        removals.push_back(QDir(target).relativeFilePath(launcher).toUtf8().toStdString());

    filereplace::Options options;
    if (const int pauseAt = installPauseStep(); pauseAt >= 0) {
        options.afterStep = [this, pauseAt](int steps) {
            if (steps != pauseAt)
                return;
            emit logMessage(QStringLiteral("Install paused after %1 steps").arg(steps));
            while (!interrupted())
                QThread::msleep(20);
        };
    }
    const filereplace::Result r = filereplace::install(fsPath(folder), fsPath(target), files, removals, options);
    if (!r.ok) {
        const QString why = QString::fromStdString(r.error);
        emit logMessage(QStringLiteral("Installing the update failed: %1").arg(why));
        *error = r.mixed ? QStringLiteral("The update could not be installed and the old files could not all be "
                                          "restored (%1); reinstall the program")
                                 .arg(why)
                         : QStringLiteral("The update could not be installed (%1); the installed program is "
                                          "unchanged")
                                 .arg(why);
        return false;
    }
    for (const std::string &kept : r.keptAside)
        emit logMessage(QStringLiteral("In use, removed at the next start: %1").arg(QString::fromStdString(kept)));
    return true;
}
