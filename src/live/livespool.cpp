#include "live/livespool.h"

#include "live/crc32.h"
#include "platform/statefile.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QPair>
#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace {

const char kSegmentMagic[LiveSpool::kSegmentHeaderBytes] = {'V', 'T', 'S', 'P', 'O', 'O', 'L', 2};
const char kRecordMarker[4] = {'V', 'R', 0, 2};
// Records of the build before the checksums: 'V', 'B', 0, 0 and a length, from offset 0.
const char kOldRecordMarker[4] = {'V', 'B', 0, 0};
constexpr qint64 kOldHeaderBytes = 8;
constexpr qint64 kPositionMaxBytes = 64;
// Earlier-format segments larger than this are not read to count their ticks.
constexpr qint64 kOldSegmentCountLimit = 64 * 1024 * 1024;

quint32 crcOf(const QByteArray &bytes) { return Crc32::of(bytes.constData(), std::size_t(bytes.size())); }

QByteArray recordHeader(const QByteArray &payload)
{
    char h[LiveSpool::kRecordHeaderBytes];
    std::memcpy(h, kRecordMarker, 4);
    qToLittleEndian<quint32>(quint32(payload.size()), h + 4);
    qToLittleEndian<quint32>(crcOf(payload), h + 8);
    return QByteArray(h, int(sizeof h));
}

enum class RecordState { Whole, Damaged, End };

// The record at `offset` of a segment whose whole records end by `limit`. With `payload`
// the payload is read and its checksum verified; without, only the header is looked at.
RecordState readRecord(QFile *f, qint64 offset, qint64 limit, QByteArray *payload, qint64 *length,
                       QString *why)
{
    if (offset + LiveSpool::kRecordHeaderBytes > limit) {
        *why = QStringLiteral("a record header cut short");
        return offset >= limit ? RecordState::End : RecordState::Damaged;
    }
    QByteArray h;
    if (!f->seek(offset) || (h = f->read(LiveSpool::kRecordHeaderBytes)).size() != LiveSpool::kRecordHeaderBytes) {
        *why = QStringLiteral("unreadable: %1").arg(f->errorString());
        return RecordState::Damaged;
    }
    if (std::memcmp(h.constData(), kRecordMarker, 4) != 0) {
        *why = QStringLiteral("no record marker");
        return RecordState::Damaged;
    }
    *length = qFromLittleEndian<quint32>(h.constData() + 4);
    if (*length > LiveSpool::kMaxRecordBytes || offset + LiveSpool::kRecordHeaderBytes + *length > limit) {
        *why = QStringLiteral("a length of %1 bytes that does not fit").arg(*length);
        return RecordState::Damaged;
    }
    if (!payload)
        return RecordState::Whole;
    *payload = f->read(*length);
    if (payload->size() != *length) {
        *why = QStringLiteral("unreadable: %1").arg(f->errorString());
        return RecordState::Damaged;
    }
    if (crcOf(*payload) != qFromLittleEndian<quint32>(h.constData() + 8)) {
        *why = QStringLiteral("a checksum that does not match its bytes");
        return RecordState::Damaged;
    }
    return RecordState::Whole;
}

// The next record marker after a damaged place, or -1 when there is none before `limit`.
// Tick text holds no NUL byte, so the marker cannot occur inside a payload.
qint64 findMarker(QFile *f, qint64 from, qint64 limit)
{
    constexpr qint64 kChunk = 64 * 1024;
    while (from + 4 <= limit && f->seek(from)) {
        const QByteArray chunk = f->read(qMin(kChunk, limit - from));
        if (chunk.size() < 4)
            break;
        const int at = chunk.indexOf(QByteArray::fromRawData(kRecordMarker, 4));
        if (at >= 0)
            return from + at;
        from += chunk.size() - 3;
    }
    return -1;
}

// "batches-0000000012.spool" -> 12; 0 when the name is not a segment's.
qint64 segmentNumber(const QString &name)
{
    static const QString prefix = QStringLiteral("batches-");
    static const QString suffix = QStringLiteral(".spool");
    if (!name.startsWith(prefix) || !name.endsWith(suffix))
        return 0;
    const QString digits = name.mid(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (digits.isEmpty() || digits.size() > 12)
        return 0;
    for (const QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return 0;
    }
    return digits.toLongLong();
}

// "<segment> <offset>": two non-negative numbers and nothing else.
bool parsePosition(const QByteArray &text, LiveSpool::Position *pos)
{
    const QList<QByteArray> parts = text.simplified().split(' ');
    if (parts.size() != 2)
        return false;
    bool ok1 = false, ok2 = false;
    pos->segment = parts[0].toLongLong(&ok1);
    pos->offset = parts[1].toLongLong(&ok2);
    return ok1 && ok2 && pos->segment > 0 && pos->offset >= 0;
}

// The batches and ticks of a segment in the format before the checksums.
void countOldRecords(QFile *f, LiveSpool::Dropped *dropped)
{
    if (f->size() > kOldSegmentCountLimit || !f->seek(0))
        return;
    const QByteArray all = f->readAll();
    qint64 offset = 0;
    while (offset + kOldHeaderBytes <= all.size()
           && std::memcmp(all.constData() + offset, kOldRecordMarker, 4) == 0) {
        const qint64 length = qFromLittleEndian<quint32>(all.constData() + offset + 4);
        if (offset + kOldHeaderBytes + length > all.size())
            break;
        ++dropped->batches;
        dropped->ticks += QByteArray::fromRawData(all.constData() + offset + kOldHeaderBytes, int(length)).count('\n');
        offset += kOldHeaderBytes + length;
    }
}

} // namespace

LiveSpool::~LiveSpool() { close(); }

QString LiveSpool::segmentPath(qint64 number) const
{
    return QDir(m_folder).filePath(QStringLiteral("batches-%1.spool").arg(number, 10, 10, QLatin1Char('0')));
}

QString LiveSpool::positionPath() const { return QDir(m_folder).filePath(QStringLiteral("spool.pos")); }

qint64 LiveSpool::diskBytes() const
{
    qint64 total = 0;
    for (const Segment &s : m_segments)
        total += s.size;
    return total;
}

bool LiveSpool::isEmpty() const
{
    if (m_segments.isEmpty())
        return true;
    const Segment &last = m_segments.last();
    return m_read.segment > last.number || (m_read.segment == last.number && m_read.offset >= last.size);
}

const LiveSpool::Segment *LiveSpool::segmentAt(qint64 number) const
{
    for (const Segment &s : m_segments) {
        if (s.number == number)
            return &s;
    }
    return nullptr;
}

bool LiveSpool::fail(const QString &problem)
{
    m_problem = problem;
    qDebug().noquote() << "Live spool:" << problem;
    return false;
}

void LiveSpool::close()
{
    m_writer.close();
    m_writerNumber = 0;
    m_position.close();
    m_segments.clear();
    m_read = {};
    m_unreadRecords = 0;
    m_unreadBytes = 0;
    m_bytesWritten = 0;
    m_highestNumber = 0;
    m_open = false;
}

LiveSpool::Scan LiveSpool::scanSegment(QFile *f, const QString &path, qint64 *size)
{
    Scan scan;
    const qint64 fileSize = f->size();
    qint64 offset = kSegmentHeaderBytes;
    scan.boundaries << offset;
    while (offset < fileSize) {
        qint64 length = 0;
        QString why;
        if (readRecord(f, offset, fileSize, nullptr, &length, &why) == RecordState::Whole) {
            ++scan.records;
            offset += kRecordHeaderBytes + length;
            scan.boundaries << offset;
            continue;
        }
        // Damage inside the file (reading skips it the same way), or the last write cut
        // short by a crash (nothing follows it).
        const qint64 next = findMarker(f, offset + 1, fileSize);
        if (next < 0)
            break;
        qDebug().noquote() << QStringLiteral("Live spool: %1 has %2 damaged byte(s) at offset %3 (%4); "
                                             "they are skipped")
                                  .arg(path)
                                  .arg(next - offset)
                                  .arg(offset)
                                  .arg(why);
        ++scan.records;
        offset = next;
        scan.boundaries << offset;
    }
    if (offset < fileSize) {
        qDebug().noquote() << QStringLiteral("Live spool: %1 ends in %2 byte(s) that are no whole "
                                             "batch (an interrupted write); cut off")
                                  .arg(path)
                                  .arg(fileSize - offset);
        f->resize(offset);
    }
    *size = offset;
    return scan;
}

bool LiveSpool::takeSegment(const QString &name, qint64 number, Dropped *droppedAtOpen)
{
    const QString path = QDir(m_folder).filePath(name);
    QFile f;
    QString error;
    if (!StateFile::open(&f, path, StateFile::Access::ReadWrite, &error)) {
        // Something else under a segment's name goes as a name: removing a link never
        // touches what it points to. A regular file that cannot be opened is left.
        const QString kind = StateFile::describe(path);
        const bool removed = !kind.isEmpty() && QFile::remove(path);
        qDebug().noquote() << QStringLiteral("Live spool: %1 cannot be read as a spool segment (%2); %3")
                                  .arg(path, kind.isEmpty() ? error : kind,
                                       removed ? QStringLiteral("removed") : QStringLiteral("left alone"));
        return false;
    }
    const QByteArray header = f.read(kSegmentHeaderBytes);
    if (header.isEmpty()) {
        f.close();
        QFile::remove(path); // made by a run that ended before its first write
        return false;
    }
    if (header.startsWith(QByteArray::fromRawData(kOldRecordMarker, 4))) {
        Dropped old;
        countOldRecords(&f, &old);
        f.close();
        QFile::remove(path);
        qDebug().noquote() << QStringLiteral("Live spool: %1 is of the earlier format without checksums "
                                             "(%2 batch(es), %3 tick(s)); its batches cannot be verified "
                                             "and are dropped")
                                  .arg(path)
                                  .arg(old.batches)
                                  .arg(old.ticks);
        if (droppedAtOpen) {
            droppedAtOpen->batches += old.batches;
            droppedAtOpen->ticks += old.ticks;
        }
        return false;
    }
    if (header != QByteArray::fromRawData(kSegmentMagic, int(kSegmentHeaderBytes))) {
        f.close();
        QFile::remove(path);
        qDebug().noquote() << "Live spool:" << path << "does not start like a spool segment; removed";
        return false;
    }
    Segment s;
    s.number = number;
    const Scan scan = scanSegment(&f, path, &s.size);
    s.records = scan.records;
    if (m_segments.isEmpty())
        m_oldestBoundaries = scan.boundaries;
    m_segments.append(s);
    return true;
}

void LiveSpool::countUnread()
{
    m_unreadRecords = 0;
    m_unreadBytes = 0;
    for (const Segment &s : qAsConst(m_segments)) {
        if (s.number < m_read.segment)
            continue;
        qint64 records = s.records;
        qint64 from = kSegmentHeaderBytes;
        if (s.number == m_read.segment && !m_oldestBoundaries.isEmpty() && s.number == m_segments.first().number) {
            const int at = m_oldestBoundaries.indexOf(m_read.offset);
            records = at < 0 ? s.records : qMax(0, m_oldestBoundaries.size() - 1 - at);
            from = m_read.offset;
        }
        m_unreadRecords += records;
        m_unreadBytes += qMax<qint64>(0, s.size - from - records * kRecordHeaderBytes);
    }
}

bool LiveSpool::open(const QString &folder, Dropped *droppedAtOpen)
{
    close();
    m_folder = folder;
    m_problem.clear();
    m_positionFailed = false;
    const QFileInfo info(folder);
    if ((info.exists() || info.isSymLink()) && !info.isDir())
        return fail(QStringLiteral("%1 is not a folder").arg(QDir::toNativeSeparators(folder)));
    if (!QDir().mkpath(folder))
        return fail(QStringLiteral("%1 cannot be made").arg(QDir::toNativeSeparators(folder)));

    // The position is read before anything is touched, as any outside input.
    QByteArray positionText;
    QString error;
    bool missing = false;
    const bool positionRead = StateFile::read(positionPath(), kPositionMaxBytes, &positionText, &error, &missing);
    if (!positionRead && !missing) {
        qDebug().noquote() << QStringLiteral("Live spool: %1 is %2; not used, replaced")
                                  .arg(positionPath(), error);
        QFile::remove(positionPath());
    }
    // Also the check that the folder can be written (a read-only disk fails here).
    if (!StateFile::open(&m_position, positionPath(), StateFile::Access::Create, &error))
        return fail(QStringLiteral("%1 cannot be written: %2").arg(QDir::toNativeSeparators(positionPath()), error));
    m_position.resize(0);

    QList<QPair<qint64, QString>> found;
    const QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::Hidden
                                                     | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        if (const qint64 n = segmentNumber(name)) {
            found << qMakePair(n, name);
            m_highestNumber = qMax(m_highestNumber, n);
        }
    }
    std::sort(found.begin(), found.end());
    m_oldestBoundaries.clear();
    for (const auto &f : qAsConst(found))
        takeSegment(f.second, f.first, droppedAtOpen);
    m_open = true;

    if (!m_segments.isEmpty()) {
        Position saved;
        const Segment &oldest = m_segments.first();
        const bool valid = positionRead && parsePosition(positionText, &saved)
                           && saved.segment == oldest.number && m_oldestBoundaries.contains(saved.offset);
        if (positionRead && !valid) {
            qDebug().noquote() << QStringLiteral("Live spool: %1 holds \"%2\", not a record boundary of the "
                                                 "oldest segment %3; reading from its first record, nothing removed")
                                      .arg(positionPath(), QString::fromLatin1(positionText.simplified().left(40)))
                                      .arg(oldest.number);
        }
        m_read = valid ? saved : startOf(oldest);
        countUnread();
        m_oldestBoundaries.clear();
    }
    if (isEmpty()) {
        removeSegments();
        return true;
    }
    writePosition();
    qDebug().noquote() << QStringLiteral("Live spool: %1 batch(es), %2 bytes left by an earlier run; "
                                         "they are imported first")
                              .arg(m_unreadRecords)
                              .arg(m_unreadBytes);
    return true;
}

void LiveSpool::settleRead()
{
    // A read position at the end of a segment goes on at the next one's first record.
    for (int i = 0; i + 1 < m_segments.size(); ++i) {
        const Segment &s = m_segments.at(i);
        if (s.number == m_read.segment && m_read.offset >= s.size)
            m_read = startOf(m_segments.at(i + 1));
    }
    if (!m_segments.isEmpty() && !segmentAt(m_read.segment)) {
        // Its segment was dropped: the oldest one still there.
        auto next = std::find_if(m_segments.cbegin(), m_segments.cend(),
                                 [this](const Segment &s) { return s.number > m_read.segment; });
        m_read = next == m_segments.cend() ? Position{m_segments.last().number, m_segments.last().size}
                                           : startOf(*next);
    }
    // Segments read to their end go; the last one stays while it is being written.
    while (m_segments.size() > 1 && m_segments.first().number < m_read.segment) {
        const qint64 number = m_segments.takeFirst().number;
        if (m_writerNumber == number) {
            m_writer.close();
            m_writerNumber = 0;
        }
        if (!QFile::remove(segmentPath(number)))
            qDebug().noquote() << "Live spool: cannot remove" << segmentPath(number) << "; its batches may be read again";
    }
}

void LiveSpool::writePosition()
{
    if (!m_position.isOpen())
        return;
    // Fixed width, rewritten in place: one write, never a file that is briefly empty.
    const QByteArray text = QByteArray::number(m_read.segment).rightJustified(12, '0') + ' '
                            + QByteArray::number(m_read.offset).rightJustified(12, '0') + '\n';
    const bool written = m_position.seek(0) && m_position.write(text) == text.size();
    if (!written && !m_positionFailed) {
        qDebug().noquote() << "Live spool: cannot write" << positionPath() << m_position.errorString()
                           << "; after a crash some batches may be imported twice";
    }
    m_positionFailed = !written;
}

bool LiveSpool::openWriter(qint64 number, bool fresh)
{
    if (!fresh && m_writer.isOpen() && m_writerNumber == number)
        return true;
    m_writer.close();
    m_writerNumber = 0;
    QString error;
    if (!StateFile::open(&m_writer, segmentPath(number), StateFile::Access::Create, &error)) {
        fail(QStringLiteral("%1 cannot be written: %2").arg(QDir::toNativeSeparators(segmentPath(number)), error));
        return false;
    }
    m_writerNumber = number;
    return true;
}

void LiveSpool::dropOldestSegment(Dropped *dropped)
{
    const Segment oldest = m_segments.takeFirst();
    qint64 batches = 0, ticks = 0, bytes = 0;
    if (oldest.number >= m_read.segment) {
        const qint64 from = oldest.number == m_read.segment ? m_read.offset : kSegmentHeaderBytes;
        QFile f;
        QString error;
        if (StateFile::open(&f, segmentPath(oldest.number), StateFile::Access::Read, &error)) {
            QByteArray payload;
            qint64 length = 0;
            for (qint64 offset = from;
                 readRecord(&f, offset, oldest.size, &payload, &length, &error) == RecordState::Whole;
                 offset += kRecordHeaderBytes + length) {
                ++batches;
                bytes += length;
                ticks += payload.count('\n');
            }
        }
    }
    if (m_writerNumber == oldest.number) {
        m_writer.close();
        m_writerNumber = 0;
    }
    QFile::remove(segmentPath(oldest.number));
    m_unreadRecords = qMax<qint64>(0, m_unreadRecords - batches);
    m_unreadBytes = qMax<qint64>(0, m_unreadBytes - bytes);
    dropped->batches += batches;
    dropped->ticks += ticks;
    dropped->throughSegment = oldest.number;
    if (m_segments.isEmpty()) {
        m_read = {};
        m_unreadRecords = 0;
        m_unreadBytes = 0;
    } else if (m_read.segment <= oldest.number) {
        m_read = startOf(m_segments.first());
    }
    writePosition();
}

bool LiveSpool::append(const QList<QByteArray> &batches, QVector<Placed> *placed, Dropped *dropped)
{
    placed->clear();
    if (!m_open)
        return false;
    qint64 need = 0;
    for (const QByteArray &b : batches) {
        if (kRecordHeaderBytes + b.size() > kMaxRecordBytes)
            return fail(QStringLiteral("a batch of %1 bytes is larger than a spool record may be").arg(b.size()));
        need += kRecordHeaderBytes + b.size();
    }
    // The spool's share of the disk counts what it holds already: dropping segments frees
    // as much as it takes from the spool. When even an empty spool could not take the
    // batches, nothing is dropped for them.
    const DiskBudget::Room room = DiskBudget::roomFor(m_folder, m_limits.capBytes);
    const qint64 allowed = room.known ? DiskBudget::usableOf(room.freeBytes + diskBytes(), m_limits.capBytes) : 0;
    if (need + kSegmentHeaderBytes > allowed)
        return fail(QStringLiteral("no room for the %1 batch(es) waiting: %2")
                        .arg(batches.size())
                        .arg(DiskBudget::refusal(need + kSegmentHeaderBytes, room, m_limits.capBytes)));
    while (diskBytes() + need + kSegmentHeaderBytes > allowed)
        dropOldestSegment(dropped);

    const bool wasEmpty = isEmpty();
    int i = 0;
    while (i < batches.size()) {
        const bool fresh = m_segments.isEmpty()
                           || (m_segments.last().size > kSegmentHeaderBytes
                               && m_segments.last().size + kRecordHeaderBytes + batches.at(i).size()
                                      > m_limits.segmentBytes);
        if (fresh) {
            Segment s;
            s.number = qMax(kFirstSegment, qMax(m_highestNumber, m_segments.isEmpty() ? 0 : m_segments.last().number) + 1);
            if (!openWriter(s.number, true))
                break;
            m_highestNumber = s.number;
            m_segments.append(s);
        } else if (!openWriter(m_segments.last().number, false)) {
            break;
        }
        Segment &target = m_segments.last();
        // One write for as many batches as this segment takes.
        QByteArray out;
        if (target.size == 0)
            out = QByteArray(kSegmentMagic, int(kSegmentHeaderBytes));
        const int first = i;
        qint64 payload = 0;
        do {
            const QByteArray &b = batches.at(i);
            const qint64 start = target.size + out.size();
            out += recordHeader(b);
            out += b;
            payload += b.size();
            placed->append(Placed{{target.number, start}, {target.number, target.size + out.size()}});
            ++i;
        } while (i < batches.size()
                 && target.size + out.size() + kRecordHeaderBytes + batches.at(i).size() <= m_limits.segmentBytes);
        const bool written = m_writer.seek(target.size) && m_writer.write(out) == out.size();
        if (!written) {
            fail(QStringLiteral("%1 cannot be written: %2").arg(QDir::toNativeSeparators(segmentPath(target.number)),
                                                                 m_writer.errorString()));
            m_writer.resize(target.size);
            placed->resize(first);
            if (target.size == 0) {
                m_writer.close();
                m_writerNumber = 0;
                QFile::remove(segmentPath(target.number));
                m_segments.removeLast();
            }
            break;
        }
        target.size += out.size();
        target.records += i - first;
        m_unreadRecords += i - first;
        m_unreadBytes += payload;
        m_bytesWritten += out.size();
    }
    if (placed->isEmpty())
        return false;
    if (wasEmpty)
        m_read = placed->first().start;
    settleRead();
    writePosition();
    m_problem.clear();
    return placed->size() == batches.size();
}

LiveSpool::Read LiveSpool::peek(qint64 maxBytes)
{
    Read out;
    for (;;) {
        out = Read();
        out.end = m_read;
        if (isEmpty())
            return out;
        Position at = m_read;
        bool full = false;
        for (const Segment &s : qAsConst(m_segments)) {
            if (full)
                break;
            if (s.number < at.segment)
                continue;
            if (s.number > at.segment)
                at = startOf(s);
            QFile f;
            QString error;
            if (!StateFile::open(&f, segmentPath(s.number), StateFile::Access::Read, &error)) {
                qDebug().noquote() << "Live spool: cannot read" << segmentPath(s.number) << error << "; its batches are skipped";
                ++out.records;
                at = {s.number, s.size};
                out.end = at;
                continue;
            }
            while (at.offset < s.size) {
                QByteArray payload;
                qint64 length = 0;
                QString why;
                const qint64 here = at.offset;
                if (!out.batches.isEmpty()
                    && readRecord(&f, here, s.size, nullptr, &length, &why) == RecordState::Whole
                    && out.bytes + length > maxBytes) {
                    full = true;
                    break;
                }
                if (readRecord(&f, here, s.size, &payload, &length, &why) == RecordState::Whole) {
                    out.batches.append(payload);
                    out.bytes += length;
                    ++out.records;
                    at.offset = here + kRecordHeaderBytes + length;
                    out.end = at;
                    continue;
                }
                const qint64 next = findMarker(&f, here + 1, s.size);
                qDebug().noquote() << QStringLiteral("Live spool: the batch at offset %1 of %2 has %3; "
                                                     "skipped (%4 bytes)")
                                          .arg(here)
                                          .arg(segmentPath(s.number), why)
                                          .arg((next < 0 ? s.size : next) - here);
                ++out.records;
                at.offset = next < 0 ? s.size : next;
                out.end = at;
            }
        }
        if (!out.batches.isEmpty() || out.records == 0)
            return out;
        // Only damaged records so far: they are passed over for good, and reading goes on.
        acknowledge(out);
    }
}

void LiveSpool::acknowledge(const Read &read)
{
    if (read.records == 0)
        return;
    if (m_read < read.end)
        m_read = read.end;
    m_unreadRecords = qMax<qint64>(0, m_unreadRecords - read.records);
    m_unreadBytes = qMax<qint64>(0, m_unreadBytes - read.bytes);
    settleRead();
    if (isEmpty()) {
        m_unreadRecords = 0;
        m_unreadBytes = 0;
    }
    writePosition();
}

void LiveSpool::skipTo(const Position &end, qint64 records, qint64 bytes)
{
    Read read;
    read.end = end;
    read.records = records;
    read.bytes = bytes;
    acknowledge(read);
}

void LiveSpool::removeSegments()
{
    m_writer.close();
    m_writerNumber = 0;
    for (const Segment &s : qAsConst(m_segments))
        QFile::remove(segmentPath(s.number));
    m_segments.clear();
    m_read = {};
    m_unreadRecords = 0;
    m_unreadBytes = 0;
    writePosition();
}

void LiveSpool::clear()
{
    removeSegments();
    if (m_position.isOpen()) {
        m_position.close();
        QFile::remove(positionPath());
    }
    close();
}
