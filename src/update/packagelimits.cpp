#include "update/packagelimits.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <atomic>
#include <limits>

namespace PackageLimits {

namespace {

std::atomic<qint64> g_testCap{0};

constexpr qint64 kEndRecord = 22;
constexpr qint64 kMaxComment = 0xFFFF;
constexpr quint32 kCentralHeader = 0x02014b50;
constexpr quint32 kZip64Marker = 0xFFFFFFFFu;

} // namespace

qint64 cap()
{
    const qint64 c = g_testCap.load();
    return c > 0 ? c : kMaxPackageBytes;
}

void setCapForTests(qint64 bytes) { g_testCap.store(bytes > 0 ? bytes : 0); }

DiskBudget::Room room(const QString &folder) { return DiskBudget::roomFor(folder, cap()); }

QString tooLargeText(qint64 bytes, const DiskBudget::Room &room)
{
    return QStringLiteral("Package too large: ")
           + (bytes < 0 ? DiskBudget::refusalPassed(room, cap()) : DiskBudget::refusal(bytes, room, cap()));
}

qint64 declaredUnpackedSize(const QString &zipPath)
{
    QFile f(zipPath);
    if (!f.open(QIODevice::ReadOnly) || f.size() < kEndRecord)
        return -1;
    const qint64 tailSize = qMin(f.size(), kEndRecord + kMaxComment);
    if (!f.seek(f.size() - tailSize))
        return -1;
    const QByteArray tail = f.read(tailSize);
    const int at = tail.lastIndexOf(QByteArray("PK\x05\x06", 4));
    if (at < 0 || tail.size() - at < kEndRecord)
        return -1;
    const char *end = tail.constData() + at;
    const quint16 count = qFromLittleEndian<quint16>(end + 10);
    const quint32 dirSize = qFromLittleEndian<quint32>(end + 12);
    const quint32 dirOffset = qFromLittleEndian<quint32>(end + 16);
    if (count == 0xFFFF || dirSize == kZip64Marker || dirOffset == kZip64Marker)
        return std::numeric_limits<qint64>::max();
    if (qint64(dirOffset) + dirSize > f.size() || !f.seek(dirOffset))
        return -1;
    const QByteArray dir = f.read(dirSize);
    qint64 total = 0;
    int pos = 0;
    for (int i = 0; i < count; ++i) {
        if (dir.size() - pos < 46 || qFromLittleEndian<quint32>(dir.constData() + pos) != kCentralHeader)
            return -1;
        const char *h = dir.constData() + pos;
        const quint32 unpacked = qFromLittleEndian<quint32>(h + 24);
        if (unpacked == kZip64Marker)
            return std::numeric_limits<qint64>::max();
        total += unpacked;
        pos += 46 + qFromLittleEndian<quint16>(h + 28) + qFromLittleEndian<quint16>(h + 30)
               + qFromLittleEndian<quint16>(h + 32);
    }
    return total;
}

qint64 folderBytes(const QString &folder)
{
    qint64 total = 0;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        total += it.fileInfo().size();
    }
    return total;
}

} // namespace PackageLimits
