#pragma once

#include "app/diskbudget.h"

#include <QString>

// Bounds an update package before it can fill the disk: its announced and received length,
// and the size its ZIP directory says it unpacks to, against the disk budget of one job
// (DiskBudget) with the package's own cap.
namespace PackageLimits {

constexpr qint64 kMaxPackageBytes = qint64(512) * 1024 * 1024;

// The cap in force (tests lower it; 0 restores the product value).
qint64 cap();
void setCapForTests(qint64 bytes);

// What a package written or unpacked below `folder` may take: the disk budget under cap().
DiskBudget::Room room(const QString &folder);

// The text for a package of `bytes` (below 0: of a size not known, that passed the room)
// that does not fit `room`, with the figures in MB and what to do.
QString tooLargeText(qint64 bytes, const DiskBudget::Room &room);
inline QString emptyText() { return QStringLiteral("Empty package"); }

// The sum of the unpacked sizes the ZIP's central directory declares. -1 when the
// directory cannot be read (the archiver then decides); a ZIP64 size marker counts as
// larger than any cap.
qint64 declaredUnpackedSize(const QString &zipPath);

// Bytes of the regular files below `folder` (links are not followed).
qint64 folderBytes(const QString &folder);

} // namespace PackageLimits
