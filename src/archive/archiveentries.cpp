#include "archive/archiveentries.h"

#include <QRegularExpression>
#include <QSet>
#include <QtEndian>

namespace ArchiveEntries {

namespace {

// A central directory larger than this is not a backfill or update archive.
constexpr qint64 kMaxCentralDirectory = 64 * 1024 * 1024;
constexpr quint64 kMaxEntries = 250000;
constexpr qint64 kEndRecordSize = 22;
constexpr qint64 kMaxCommentSize = 0xFFFF;
constexpr quint32 kMax32 = 0xFFFFFFFFu;
constexpr int kMaxNamePart = 200;
// Bytes copied per turn of the event loop.
constexpr qint64 kStepBytes = 4 * 1024 * 1024;
constexpr qint64 kReadPiece = 1024 * 1024;

constexpr quint32 kUnixTypeMask = 0170000;
constexpr quint32 kUnixFile = 0100000;
constexpr quint32 kUnixDir = 0040000;
constexpr quint32 kUnixLink = 0120000;
constexpr quint32 kDosDirectory = 0x10;
constexpr quint32 kDosReparsePoint = 0x400;
constexpr int kHostUnix = 3;

quint16 le16(const char *p) { return qFromLittleEndian<quint16>(p); }
quint32 le32(const char *p) { return qFromLittleEndian<quint32>(p); }
quint64 le64(const char *p) { return qFromLittleEndian<quint64>(p); }

void put16(QByteArray &b, quint16 v)
{
    char c[2];
    qToLittleEndian(v, c);
    b.append(c, 2);
}
void put32(QByteArray &b, quint32 v)
{
    char c[4];
    qToLittleEndian(v, c);
    b.append(c, 4);
}
void put64(QByteArray &b, quint64 v)
{
    char c[8];
    qToLittleEndian(v, c);
    b.append(c, 8);
}

// The fields a local header and its central directory record share, from the version
// needed to the name's length.
void putSharedFields(QByteArray &b, const Entry &e, quint16 flags, int nameSize)
{
    put16(b, 20);
    put16(b, flags);
    put16(b, e.method);
    put16(b, e.modTime);
    put16(b, e.modDate);
    put32(b, e.crc);
    put32(b, quint32(e.compressedSize));
    put32(b, quint32(e.size));
    put16(b, quint16(nameSize));
}

bool fail(QString *error, const QString &why)
{
    *error = why;
    return false;
}

// ZIP64 extended information: the 64-bit values of the fields the header marks 0xFFFFFFFF.
void applyZip64Extra(const char *extra, int length, Entry *e, quint32 size32, quint32 comp32,
                     quint32 offset32)
{
    int pos = 0;
    while (length - pos >= 4) {
        const quint16 id = le16(extra + pos);
        const int blockLength = le16(extra + pos + 2);
        if (length - pos - 4 < blockLength)
            return;
        if (id == 0x0001) {
            const char *p = extra + pos + 4;
            int left = blockLength;
            auto take = [&](quint64 *field) {
                if (left < 8)
                    return;
                *field = le64(p);
                p += 8;
                left -= 8;
            };
            if (size32 == kMax32)
                take(&e->size);
            if (comp32 == kMax32)
                take(&e->compressedSize);
            if (offset32 == kMax32)
                take(&e->localOffset);
            return;
        }
        pos += 4 + blockLength;
    }
}

bool isReservedDeviceName(const QString &part)
{
    static const QRegularExpression device(
        QStringLiteral("^(CON|PRN|AUX|NUL|COM[1-9]|LPT[1-9])(\\..*)?$"),
        QRegularExpression::CaseInsensitiveOption);
    return device.match(part.trimmed()).hasMatch();
}

bool isControl(QChar c)
{
    const ushort u = c.unicode();
    return u < 0x20 || (u >= 0x7f && u < 0xa0) || u == 0x2028 || u == 0x2029
           || c.category() == QChar::Other_Format;
}

} // namespace

bool readDirectory(const QString &archivePath, QVector<Entry> *entries, QString *error)
{
    entries->clear();
    QFile f(archivePath);
    if (!f.open(QIODevice::ReadOnly))
        return fail(error, QStringLiteral("cannot open %1: %2").arg(archivePath, f.errorString()));
    const qint64 fileSize = f.size();
    if (fileSize < kEndRecordSize)
        return fail(error, QStringLiteral("not a ZIP archive (%1 bytes)").arg(fileSize));
    const qint64 tailSize = qMin(fileSize, kEndRecordSize + kMaxCommentSize);
    const qint64 tailStart = fileSize - tailSize;
    if (!f.seek(tailStart))
        return fail(error, QStringLiteral("cannot read %1").arg(archivePath));
    const QByteArray tail = f.read(tailSize);
    const QByteArray endSignature("PK\x05\x06", 4);
    int at = tail.lastIndexOf(endSignature);
    while (at >= 0 && tail.size() - at < kEndRecordSize)
        at = at > 0 ? tail.lastIndexOf(endSignature, at - 1) : -1;
    if (at < 0)
        return fail(error, QStringLiteral("not a ZIP archive (no end record)"));
    const char *end = tail.constData() + at;
    const qint64 endPos = tailStart + at;
    quint64 count = le16(end + 10);
    quint64 cdSize = le32(end + 12);
    quint64 cdOffset = le32(end + 16);
    if (count == 0xFFFF || cdSize == kMax32 || cdOffset == kMax32) {
        if (endPos < 20 || !f.seek(endPos - 20))
            return fail(error, QStringLiteral("damaged ZIP64 end record"));
        const QByteArray locator = f.read(20);
        if (locator.size() != 20 || le32(locator.constData()) != 0x07064b50)
            return fail(error, QStringLiteral("damaged ZIP64 end record"));
        const quint64 recordPos = le64(locator.constData() + 8);
        if (recordPos + 56 > quint64(endPos) || !f.seek(qint64(recordPos)))
            return fail(error, QStringLiteral("damaged ZIP64 end record"));
        const QByteArray record = f.read(56);
        if (record.size() != 56 || le32(record.constData()) != 0x06064b50)
            return fail(error, QStringLiteral("damaged ZIP64 end record"));
        count = le64(record.constData() + 32);
        cdSize = le64(record.constData() + 40);
        cdOffset = le64(record.constData() + 48);
    }
    if (cdSize > quint64(kMaxCentralDirectory) || count > kMaxEntries)
        return fail(error, QStringLiteral("central directory too large (%1 entries, %2 bytes)").arg(count).arg(cdSize));
    if (cdOffset + cdSize > quint64(endPos) || !f.seek(qint64(cdOffset)))
        return fail(error, QStringLiteral("central directory outside the archive"));
    const QByteArray cd = f.read(qint64(cdSize));
    if (quint64(cd.size()) != cdSize)
        return fail(error, QStringLiteral("central directory cut short"));

    entries->reserve(int(count));
    int pos = 0;
    for (quint64 i = 0; i < count; ++i) {
        if (cd.size() - pos < 46 || le32(cd.constData() + pos) != 0x02014b50)
            return fail(error, QStringLiteral("damaged central directory at entry %1").arg(i + 1));
        const char *h = cd.constData() + pos;
        Entry e;
        e.madeBy = le16(h + 4);
        e.flags = le16(h + 8);
        e.method = le16(h + 10);
        e.modTime = le16(h + 12);
        e.modDate = le16(h + 14);
        e.crc = le32(h + 16);
        const quint32 comp32 = le32(h + 20);
        const quint32 size32 = le32(h + 24);
        const int nameLength = le16(h + 28);
        const int extraLength = le16(h + 30);
        const int commentLength = le16(h + 32);
        e.externalAttributes = le32(h + 38);
        const quint32 offset32 = le32(h + 42);
        const int recordLength = 46 + nameLength + extraLength + commentLength;
        if (cd.size() - pos < recordLength)
            return fail(error, QStringLiteral("damaged central directory at entry %1").arg(i + 1));
        const QByteArray rawName(h + 46, nameLength);
        e.name = (e.flags & 0x0800) ? QString::fromUtf8(rawName) : QString::fromLatin1(rawName);
        e.compressedSize = comp32;
        e.size = size32;
        e.localOffset = offset32;
        applyZip64Extra(h + 46 + nameLength, extraLength, &e, size32, comp32, offset32);
        entries->append(e);
        pos += recordLength;
    }
    return true;
}

QString judgeName(const QString &name, bool flatten, QString *target)
{
    QString n = name;
    n.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (n.isEmpty())
        return QStringLiteral("empty name");
    for (const QChar c : qAsConst(n)) {
        if (isControl(c))
            return QStringLiteral("control character in the name; refused");
    }
    if (n.startsWith(QLatin1String("//")))
        return QStringLiteral("network name refused");
    static const QRegularExpression drive(QStringLiteral("^[A-Za-z]:"));
    if (drive.match(n).hasMatch())
        return QStringLiteral("drive name refused");
    if (n.startsWith(QLatin1Char('/')))
        return QStringLiteral("absolute name refused");
    const QStringList parts = n.split(QLatin1Char('/'));
    if (parts.contains(QStringLiteral("..")))
        return QStringLiteral("name climbs out of the folder; refused");
    if (n.endsWith(QLatin1Char('/')))
        return QStringLiteral("folder entry removed");
    QStringList kept;
    for (const QString &p : parts) {
        if (!p.isEmpty() && p != QLatin1String("."))
            kept.append(p);
    }
    if (kept.isEmpty())
        return QStringLiteral("empty name");
    static const QRegularExpression invalid(QStringLiteral("[<>:\"|?*]"));
    for (const QString &p : qAsConst(kept)) {
        if (p.startsWith(QLatin1Char('.')))
            return QStringLiteral("hidden name removed");
        if (invalid.match(p).hasMatch() || p.endsWith(QLatin1Char('.')) || p.endsWith(QLatin1Char(' ')))
            return QStringLiteral("name no Windows folder can hold; refused");
        if (isReservedDeviceName(p))
            return QStringLiteral("device name refused");
        if (p.size() > kMaxNamePart)
            return QStringLiteral("name too long; refused");
    }
    *target = flatten ? kept.last() : kept.join(QLatin1Char('/'));
    return QString();
}

Plan plan(const QVector<Entry> &entries, bool flatten)
{
    Plan result;
    QSet<QString> seen;
    for (int i = 0; i < entries.size(); ++i) {
        const Entry &e = entries[i];
        const quint32 unixType =
            (e.madeBy >> 8) == kHostUnix ? (e.externalAttributes >> 16) & kUnixTypeMask : 0;
        QString target;
        QString why;
        if (e.flags & 0x0001)
            why = QStringLiteral("protected (encrypted) entry dropped");
        else if (unixType == kUnixLink || (e.externalAttributes & kDosReparsePoint))
            why = QStringLiteral("link dropped");
        else if (unixType == kUnixDir || (e.externalAttributes & kDosDirectory))
            why = QStringLiteral("folder entry removed");
        else if (unixType != 0 && unixType != kUnixFile)
            why = QStringLiteral("no plain file; dropped");
        else
            why = judgeName(e.name, flatten, &target);
        if (why.isEmpty() && (e.size >= kMax32 || e.compressedSize >= kMax32))
            why = QStringLiteral("entry of 4 GB or more refused");
        // Windows folders do not tell A.txt from a.txt.
        if (why.isEmpty() && seen.contains(target.toLower()))
            why = QStringLiteral("same name as an earlier entry; dropped");
        if (!why.isEmpty()) {
            result.notes.append(QStringLiteral("entry \"%1\": %2").arg(printable(e.name), why));
            continue;
        }
        if (target != e.name)
            result.notes.append(QStringLiteral("entry \"%1\" unpacked as \"%2\"").arg(printable(e.name), target));
        seen.insert(target.toLower());
        result.kept.append({i, target});
        result.unpackedSize += e.size;
    }
    return result;
}

QString printable(const QString &name)
{
    QString out;
    for (const QChar c : name) {
        if (out.size() >= 200) {
            out += QStringLiteral("...");
            break;
        }
        if (isControl(c) || c == QLatin1Char('"'))
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

SafeCopy::SafeCopy(QObject *parent)
    : QObject(parent)
    , m_step(this)
{
    m_step.setInterval(0);
    connect(&m_step, &QTimer::timeout, this, &SafeCopy::step);
}

void SafeCopy::start(const QString &sourcePath, const QVector<Entry> &entries, const Plan &plan,
                     const QString &targetPath)
{
    cancel();
    m_entries = entries;
    m_plan = plan;
    m_next = 0;
    m_left = 0;
    m_central.clear();
    m_in.setFileName(sourcePath);
    m_out.setFileName(targetPath);
    if (!m_in.open(QIODevice::ReadOnly)) {
        const QString why = QStringLiteral("cannot open %1: %2").arg(sourcePath, m_in.errorString());
        QMetaObject::invokeMethod(this, [this, why]() { end(false, why); }, Qt::QueuedConnection);
        return;
    }
    if (!m_out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        const QString why = QStringLiteral("cannot write %1: %2").arg(targetPath, m_out.errorString());
        m_in.close();
        QMetaObject::invokeMethod(this, [this, why]() { end(false, why); }, Qt::QueuedConnection);
        return;
    }
    m_step.start();
}

void SafeCopy::cancel()
{
    m_step.stop();
    m_in.close();
    m_out.close();
}

void SafeCopy::step()
{
    qint64 budget = kStepBytes;
    QString error;
    while (budget > 0) {
        if (m_left == 0) {
            if (m_next >= m_plan.kept.size()) {
                const bool ok = finishArchive(&error);
                end(ok, error);
                return;
            }
            if (!beginEntry(&error)) {
                end(false, error);
                return;
            }
            budget -= 64;
            continue;
        }
        const qint64 want = qint64(qMin<quint64>(m_left, quint64(kReadPiece)));
        const QByteArray piece = m_in.read(want);
        if (piece.size() != want) {
            end(false, QStringLiteral("the archive ends inside an entry"));
            return;
        }
        if (m_out.write(piece) != piece.size()) {
            end(false, QStringLiteral("cannot write %1: %2").arg(m_out.fileName(), m_out.errorString()));
            return;
        }
        m_left -= quint64(want);
        budget -= want;
    }
}

bool SafeCopy::beginEntry(QString *error)
{
    const Kept &k = m_plan.kept[m_next++];
    const Entry &e = m_entries[k.index];
    const QString shown = printable(e.name);
    if (!m_in.seek(qint64(e.localOffset)))
        return fail(error, QStringLiteral("entry \"%1\" lies outside the archive").arg(shown));
    const QByteArray local = m_in.read(30);
    if (local.size() != 30 || le32(local.constData()) != 0x04034b50)
        return fail(error, QStringLiteral("entry \"%1\": damaged local header").arg(shown));
    const quint64 dataStart = e.localOffset + 30 + le16(local.constData() + 26) + le16(local.constData() + 28);
    if (dataStart + e.compressedSize > quint64(m_in.size()) || !m_in.seek(qint64(dataStart)))
        return fail(error, QStringLiteral("entry \"%1\" lies outside the archive").arg(shown));
    const quint64 offset = quint64(m_out.pos());
    if (offset >= kMax32)
        return fail(error, QStringLiteral("the archive is too large to unpack"));

    const QByteArray name = k.target.toUtf8();
    // Deflate's option bits stay; no data descriptor (the sizes are in the header), UTF-8 name.
    const quint16 flags = quint16((e.flags & 0x0006) | 0x0800);
    QByteArray local2;
    put32(local2, 0x04034b50);
    putSharedFields(local2, e, flags, name.size());
    put16(local2, 0);
    local2 += name;
    if (m_out.write(local2) != local2.size())
        return fail(error, QStringLiteral("cannot write %1: %2").arg(m_out.fileName(), m_out.errorString()));

    // A plain file keeps its permission bits from a Unix archive (an update's launcher
    // script), never more than rwxr-xr-x; anything else becomes a plain file.
    quint16 madeBy = 20;
    quint32 attributes = 0;
    if ((e.madeBy >> 8) == kHostUnix) {
        quint32 mode = (e.externalAttributes >> 16) & 0755;
        if (mode == 0)
            mode = 0644;
        madeBy = quint16((kHostUnix << 8) | 20);
        attributes = (kUnixFile | mode) << 16;
    }
    put32(m_central, 0x02014b50);
    put16(m_central, madeBy);
    putSharedFields(m_central, e, flags, name.size());
    put16(m_central, 0);
    put16(m_central, 0);
    put16(m_central, 0);
    put16(m_central, 0);
    put32(m_central, attributes);
    put32(m_central, quint32(offset));
    m_central += name;
    m_left = e.compressedSize;
    return true;
}

bool SafeCopy::finishArchive(QString *error)
{
    const quint64 cdOffset = quint64(m_out.pos());
    const quint64 count = quint64(m_plan.kept.size());
    QByteArray tail = m_central;
    const bool zip64 = count >= 0xFFFF || cdOffset >= kMax32;
    if (zip64) {
        const quint64 recordPos = cdOffset + quint64(m_central.size());
        put32(tail, 0x06064b50);
        put64(tail, 44);
        put16(tail, 45);
        put16(tail, 45);
        put32(tail, 0);
        put32(tail, 0);
        put64(tail, count);
        put64(tail, count);
        put64(tail, quint64(m_central.size()));
        put64(tail, cdOffset);
        put32(tail, 0x07064b50);
        put32(tail, 0);
        put64(tail, recordPos);
        put32(tail, 1);
    }
    put32(tail, 0x06054b50);
    put16(tail, 0);
    put16(tail, 0);
    put16(tail, zip64 ? 0xFFFF : quint16(count));
    put16(tail, zip64 ? 0xFFFF : quint16(count));
    put32(tail, quint32(m_central.size()));
    put32(tail, zip64 ? kMax32 : quint32(cdOffset));
    put16(tail, 0);
    if (m_out.write(tail) != tail.size() || !m_out.flush())
        return fail(error, QStringLiteral("cannot write %1: %2").arg(m_out.fileName(), m_out.errorString()));
    return true;
}

void SafeCopy::end(bool ok, const QString &error)
{
    m_step.stop();
    m_in.close();
    m_out.close();
    m_central.clear();
    emit finished(ok, error);
}

} // namespace ArchiveEntries
