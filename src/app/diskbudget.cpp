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

qint64 mbUp(qint64 bytes) { return bytes <= 0 ? 0 : bytes / kMB + (bytes % kMB != 0 ? 1 : 0); }
qint64 mbDown(qint64 bytes) { return bytes <= 0 ? 0 : bytes / kMB; }

namespace {

// What follows "needs ..." in a refusal: why the room is what it is and what to do;
// `more` says how much to free ("55 MB more", or "more space" when that is not known).
QString refusalReason(const Room &room, qint64 capBytes, bool overCap, const QString &more)
{
    if (!room.known)
        return QStringLiteral("the free space on %1 cannot be read: check that the disk is connected and writable")
            .arg(room.volume);
    if (overCap)
        return QStringLiteral("one job may use at most %1 MB whatever the disk has free").arg(mbDown(capBytes));
    // One substitution for all: a volume name holding "%3" stays as it is.
    return QStringLiteral("%1 MB may be used: free space on %2 is %3 MB; free %4 on %2 and try again")
        .arg(QString::number(mbDown(room.usable)), room.volume, QString::number(mbDown(room.freeBytes)), more);
}

} // namespace

QString refusal(qint64 neededBytes, const Room &room, qint64 capBytes)
{
    // Free space at which the job would fit: the floor plus twice the need (a need over the
    // cap never fits, and could overflow here).
    const bool overCap = neededBytes > capBytes;
    const qint64 wanted = overCap ? 0 : kFloorBytes + 2 * neededBytes;
    const QString more = QStringLiteral("%1 MB more").arg(qMax<qint64>(1, mbUp(wanted - room.freeBytes)));
    return QStringLiteral("needs %1 MB; %2")
        .arg(QString::number(mbUp(neededBytes)), refusalReason(room, capBytes, overCap, more));
}

QString refusalPassed(const Room &room, qint64 capBytes)
{
    return QStringLiteral("needs more than %1 MB; %2")
        .arg(QString::number(mbDown(room.usable)),
             refusalReason(room, capBytes, room.usable >= capBytes, QStringLiteral("more space")));
}

void setFreeBytesForTests(qint64 bytes) { g_testFree.store(bytes < 0 ? -1 : bytes); }

} // namespace DiskBudget
