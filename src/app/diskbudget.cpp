#include "app/diskbudget.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

#include <atomic>

namespace DiskBudget {

namespace {

std::atomic<qint64> g_testFree{-1};

// QStorageInfo of a folder that does not exist yet is invalid: ask its nearest parent.
QString existingAncestor(const QString &folder)
{
    QString path = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    while (!path.isEmpty() && !QFileInfo::exists(path)) {
        const QString up = QFileInfo(path).path();
        if (up == path)
            break;
        path = up;
    }
    return path;
}

QString volumeName(const QStorageInfo &info, const QString &fallback)
{
    QString root = info.isValid() ? info.rootPath() : fallback;
    // "D:/" reads "D:"; a mount point keeps its path.
    if (root.size() > 1 && (root.endsWith(QLatin1Char('/')) || root.endsWith(QLatin1Char('\\'))))
        root.chop(1);
    return QDir::toNativeSeparators(root);
}

} // namespace

qint64 usableOf(qint64 freeBytes, qint64 capBytes)
{
    if (freeBytes <= kFloorBytes || capBytes <= 0)
        return 0;
    return qMin(capBytes, (freeBytes - kFloorBytes) / 2);
}

Room roomFor(const QString &folder, qint64 capBytes)
{
    Room room;
    const QString at = existingAncestor(folder);
    const QStorageInfo info(at);
    room.volume = volumeName(info, at);
    const qint64 forced = g_testFree.load();
    if (forced >= 0) {
        room.known = true;
        room.freeBytes = forced;
    } else if (info.isValid() && info.isReady() && info.bytesAvailable() >= 0) {
        room.known = true;
        room.freeBytes = info.bytesAvailable();
    }
    room.usable = room.known ? usableOf(room.freeBytes, capBytes) : 0;
    return room;
}

qint64 mbUp(qint64 bytes) { return bytes <= 0 ? 0 : (bytes + kMB - 1) / kMB; }
qint64 mbDown(qint64 bytes) { return bytes <= 0 ? 0 : bytes / kMB; }

QString refusal(qint64 neededBytes, const Room &room, qint64 capBytes)
{
    if (!room.known)
        return QStringLiteral("needs %1 MB; the free space on %2 cannot be read: check that the disk is "
                              "connected and writable")
            .arg(mbUp(neededBytes))
            .arg(room.volume);
    if (neededBytes > capBytes)
        return QStringLiteral("needs %1 MB; one job may use at most %2 MB whatever the disk has free")
            .arg(mbUp(neededBytes))
            .arg(mbDown(capBytes));
    // Free space at which the job would fit: the floor plus twice the need.
    const qint64 wanted = kFloorBytes + 2 * neededBytes;
    return QStringLiteral("needs %1 MB; %2 MB may be used: free space on %3 is %4 MB; free %5 MB more on %3 "
                          "and try again")
        .arg(mbUp(neededBytes))
        .arg(mbDown(room.usable))
        .arg(room.volume)
        .arg(mbDown(room.freeBytes))
        .arg(qMax<qint64>(1, mbUp(wanted - room.freeBytes)));
}

void setFreeBytesForTests(qint64 bytes) { g_testFree.store(bytes < 0 ? -1 : bytes); }

} // namespace DiskBudget
