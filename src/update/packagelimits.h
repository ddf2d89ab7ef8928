#pragma once

#include <QString>

// Bounds an update package before it can fill the disk: its announced and received length,
// and the size its ZIP directory says it unpacks to, against a fixed cap and the free
// space of the installation's drive.
namespace PackageLimits {

constexpr qint64 kMaxPackageBytes = qint64(512) * 1024 * 1024;

// The cap in force (tests lower it; 0 restores the product value).
qint64 cap();
void setCapForTests(qint64 bytes);

// Bytes free for this process on the drive holding `folder` (-1 when unknown).
qint64 freeBytes(const QString &folder);

// Whether `bytes` fits under the cap and into the free space of `folder`.
bool fits(qint64 bytes, const QString &folder);

// The text for a package over the cap or the free space.
QString tooLargeText(qint64 bytes, const QString &folder);
inline QString emptyText() { return QStringLiteral("Empty package"); }

// The sum of the unpacked sizes the ZIP's central directory declares. -1 when the
// directory cannot be read (the archiver then decides); a ZIP64 size marker counts as
// larger than any cap.
qint64 declaredUnpackedSize(const QString &zipPath);

// Bytes of the regular files below `folder` (links are not followed).
qint64 folderBytes(const QString &folder);

} // namespace PackageLimits
