#include "live/livespool.h"

#include <QDebug>
#include <QDir>
#include <QSaveFile>
#include <QStorageInfo>
#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace {

const char kMagic[4] = {'V', 'B', 0, 0};
// Free space is looked up again after this many bytes written (the look-up reads the
// mount table, too slow for every batch; the margin is a gigabyte).
constexpr qint64 kFreeSpaceRecheckBytes = 1024 * 1024;

QByteArray header(qint64 length)
{
    QByteArray h(kMagic, 4);
    char len[4];
    qToLittleEndian<quint32>(quint32(length), len);
    h.append(len, 4);
    return h;
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

void LiveSpool::close()
{
    m_writer.close();
    m_segments.clear();
    m_read = {};
    m_unreadRecords = 0;
    m_unreadBytes = 0;
    m_bytesWritten = 0;
    m_open = false;
    m_freeKnown = false;
}

bool LiveSpool::readRecord(QFile *file, qint64 offset, qint64 size, QByteArray *payload) const
{
    if (offset + kHeaderBytes > size || !file->seek(offset))
        return false;
    const QByteArray h = file->read(kHeaderBytes);
    if (h.size() != kHeaderBytes || std::memcmp(h.constData(), kMagic, 4) != 0)
        return false;
    const qint64 length = qFromLittleEndian<quint32>(h.constData() + 4);
    if (length > kMaxRecordBytes || offset + kHeaderBytes + length > size)
        return false;
    if (payload) {
        *payload = file->read(length);
        return payload->size() == length;
    }
    return true;
}

void LiveSpool::scanSegment(Segment *segment, qint64 readOffset, qint64 *unreadRecords,
                            qint64 *unreadBytes)
{
    QFile f(segmentPath(segment->number));
    if (!f.open(QIODevice::ReadWrite)) {
        qDebug().noquote() << "Live spool: cannot read" << f.fileName() << f.errorString();
        segment->size = 0;
        return;
    }
    const qint64 fileSize = f.size();
    qint64 offset = 0;
    while (offset < fileSize) {
        if (!readRecord(&f, offset, fileSize, nullptr))
            break;
        f.seek(offset + 4);
        const qint64 length = qFromLittleEndian<quint32>(f.read(4).constData());
        if (offset >= readOffset) {
            if (*unreadRecords == 0)
                m_read = {segment->number, offset};
            ++*unreadRecords;
            *unreadBytes += length;
        }
        ++segment->records;
        offset += kHeaderBytes + length;
    }
    if (offset < fileSize) {
        qDebug().noquote() << QStringLiteral("Live spool: %1 ends in %2 byte(s) that are no whole "
                                             "batch (an interrupted write); cut off")
                                  .arg(f.fileName())
                                  .arg(fileSize - offset);
        f.resize(offset);
    }
    segment->size = offset;
}

void LiveSpool::open(const QString &folder)
{
    close();
    m_folder = folder;
    if (!QDir().mkpath(folder)) {
        qDebug().noquote() << "Live spool: cannot create" << folder << "; batches beyond the "
                              "memory bound cannot be kept";
        return;
    }
    m_open = true;

    QList<qint64> numbers;
    const QStringList names = QDir(folder).entryList(QDir::Files);
    for (const QString &name : names) {
        if (const qint64 n = segmentNumber(name))
            numbers << n;
    }
    std::sort(numbers.begin(), numbers.end());

    // The position is our own file, but it is read as any outside input: two numbers.
    Position saved{0, 0};
    QFile pos(positionPath());
    if (pos.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> parts = pos.read(64).simplified().split(' ');
        bool ok1 = false, ok2 = false;
        if (parts.size() == 2) {
            saved.segment = parts[0].toLongLong(&ok1);
            saved.offset = parts[1].toLongLong(&ok2);
        }
        if (!ok1 || !ok2 || saved.segment < 0 || saved.offset < 0)
            saved = {0, 0};
    }

    for (qint64 n : qAsConst(numbers)) {
        if (n < saved.segment) {
            QFile::remove(segmentPath(n)); // read before the last run ended
            continue;
        }
        Segment s;
        s.number = n;
        scanSegment(&s, n == saved.segment ? saved.offset : 0, &m_unreadRecords, &m_unreadBytes);
        m_segments.append(s);
    }
    if (m_unreadRecords == 0) {
        removeAll();
        return;
    }
    qDebug().noquote() << QStringLiteral("Live spool: %1 batch(es), %2 bytes left by an earlier run; "
                                         "they are imported first")
                              .arg(m_unreadRecords)
                              .arg(m_unreadBytes);
}

qint64 LiveSpool::freeBytes()
{
    if (!m_freeKnown || m_writtenSinceFreeCheck >= kFreeSpaceRecheckBytes) {
        QStorageInfo storage(m_folder);
        m_freeBytes = storage.isValid() ? storage.bytesAvailable() : -1;
        m_freeKnown = true;
        m_writtenSinceFreeCheck = 0;
    }
    return m_freeBytes < 0 ? -1 : m_freeBytes - m_writtenSinceFreeCheck;
}

bool LiveSpool::openWriter(qint64 number)
{
    const QString path = segmentPath(number);
    if (m_writer.isOpen() && m_writer.fileName() == path)
        return true;
    m_writer.close();
    m_writer.setFileName(path);
    if (!m_writer.open(QIODevice::WriteOnly | QIODevice::Append)) {
        qDebug().noquote() << "Live spool: cannot write" << path << m_writer.errorString();
        return false;
    }
    return true;
}

void LiveSpool::dropOldestSegment(qint64 *droppedBatches, qint64 *droppedTicks)
{
    const Segment oldest = m_segments.takeFirst();
    const qint64 from = oldest.number == m_read.segment ? m_read.offset : 0;
    qint64 batches = 0, ticks = 0, bytes = 0;
    QFile f(segmentPath(oldest.number));
    if (oldest.number >= m_read.segment && f.open(QIODevice::ReadOnly)) {
        QByteArray payload;
        for (qint64 offset = from; readRecord(&f, offset, oldest.size, &payload);
             offset += kHeaderBytes + payload.size()) {
            ++batches;
            bytes += payload.size();
            ticks += payload.count('\n');
        }
    }
    f.close();
    if (m_writer.fileName() == f.fileName())
        m_writer.close();
    QFile::remove(f.fileName());
    m_unreadRecords -= batches;
    m_unreadBytes -= bytes;
    *droppedBatches += batches;
    *droppedTicks += ticks;
    m_freeKnown = false;
    ++m_generation;
    if (m_segments.isEmpty() || m_unreadRecords <= 0) {
        removeAll();
        return;
    }
    if (m_read.segment <= oldest.number)
        m_read = {m_segments.first().number, 0};
    writePosition();
}

bool LiveSpool::append(const QByteArray &batch, qint64 *droppedBatches, qint64 *droppedTicks)
{
    if (!m_open)
        return false;
    const qint64 need = kHeaderBytes + batch.size();
    if (need > kMaxRecordBytes)
        return false;
    auto fits = [&] {
        const qint64 free = freeBytes();
        return diskBytes() + need <= m_limits.capBytes && free >= 0
               && free - need >= m_limits.minFreeBytes;
    };
    while (!fits()) {
        if (m_segments.isEmpty())
            return false;
        dropOldestSegment(droppedBatches, droppedTicks);
    }

    if (m_segments.isEmpty()
        || (m_segments.last().size > 0 && m_segments.last().size + need > m_limits.segmentBytes)) {
        Segment s;
        s.number = m_segments.isEmpty() ? kFirstSegment : m_segments.last().number + 1;
        m_segments.append(s);
    }
    Segment &target = m_segments.last();
    if (!openWriter(target.number))
        return false;
    const qint64 before = target.size;
    const bool written = m_writer.write(header(batch.size())) == kHeaderBytes
                         && m_writer.write(batch) == batch.size() && m_writer.flush();
    if (!written) {
        qDebug().noquote() << "Live spool: cannot write" << m_writer.fileName() << m_writer.errorString();
        m_writer.resize(before);
        if (target.records == 0)
            m_segments.removeLast();
        return false;
    }
    if (m_unreadRecords == 0) {
        m_read = {target.number, before};
        writePosition();
    }
    target.size += need;
    ++target.records;
    ++m_unreadRecords;
    m_unreadBytes += batch.size();
    m_bytesWritten += need;
    m_writtenSinceFreeCheck += need;
    return true;
}

bool LiveSpool::prepend(const QList<QByteArray> &batches)
{
    if (!m_open || batches.isEmpty())
        return m_open;
    const qint64 number = m_segments.isEmpty() ? kFirstSegment : m_segments.first().number - 1;
    if (number < 1)
        return false;
    qint64 need = 0, payload = 0;
    for (const QByteArray &b : batches) {
        if (kHeaderBytes + b.size() > kMaxRecordBytes)
            return false;
        need += kHeaderBytes + b.size();
        payload += b.size();
    }
    m_freeKnown = false;
    const qint64 free = freeBytes();
    if (diskBytes() + need > m_limits.capBytes || free < 0 || free - need < m_limits.minFreeBytes)
        return false;
    QFile f(segmentPath(number));
    bool written = f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    for (const QByteArray &b : batches) {
        written = written && f.write(header(b.size())) == kHeaderBytes && f.write(b) == b.size();
    }
    written = written && f.flush();
    f.close();
    if (!written) {
        qDebug().noquote() << "Live spool: cannot write" << f.fileName() << f.errorString();
        QFile::remove(f.fileName());
        return false;
    }
    Segment s;
    s.number = number;
    s.size = need;
    s.records = batches.size();
    m_segments.prepend(s);
    m_read = {number, 0};
    m_unreadRecords += batches.size();
    m_unreadBytes += payload;
    m_bytesWritten += need;
    writePosition();
    return true;
}

LiveSpool::Read LiveSpool::peek(qint64 maxBytes)
{
    Read out;
    out.end = m_read;
    out.generation = m_generation;
    if (m_unreadRecords == 0)
        return out;
    Position at = m_read;
    for (const Segment &s : qAsConst(m_segments)) {
        if (s.number < at.segment)
            continue;
        if (s.number > at.segment)
            at = {s.number, 0};
        QFile f(segmentPath(s.number));
        if (!f.open(QIODevice::ReadOnly))
            break;
        QByteArray payload;
        while (at.offset < s.size) {
            if (!out.batches.isEmpty()) {
                // Look at the next length before reading the payload past the bound.
                QByteArray h;
                if (!f.seek(at.offset) || (h = f.read(kHeaderBytes)).size() != kHeaderBytes)
                    break;
                if (out.bytes + qFromLittleEndian<quint32>(h.constData() + 4) > maxBytes)
                    return out;
            }
            if (!readRecord(&f, at.offset, s.size, &payload))
                break;
            out.batches.append(payload);
            out.bytes += payload.size();
            at.offset += kHeaderBytes + payload.size();
            out.end = at;
        }
    }
    return out;
}

void LiveSpool::acknowledge(const Read &read)
{
    if (read.batches.isEmpty() || m_unreadRecords == 0)
        return;
    if (read.generation != m_generation) {
        // Segments were dropped meanwhile: what is still there is counted afresh.
        Position to = read.end;
        if (!m_segments.isEmpty() && to.segment < m_segments.first().number)
            to = {m_segments.first().number, 0};
        m_unreadRecords = 0;
        m_unreadBytes = 0;
        for (Segment &s : m_segments) {
            s.records = 0;
            scanSegment(&s, s.number < to.segment ? s.size : s.number == to.segment ? to.offset : 0,
                        &m_unreadRecords, &m_unreadBytes);
        }
        m_generation = read.generation;
        ++m_generation;
    } else {
        m_read = read.end;
        m_unreadRecords -= read.batches.size();
        m_unreadBytes -= read.bytes;
    }
    if (m_unreadRecords <= 0) {
        removeAll();
        return;
    }
    while (m_segments.size() > 1 && m_segments.first().number < m_read.segment) {
        QFile::remove(segmentPath(m_segments.first().number));
        m_segments.removeFirst();
        m_freeKnown = false;
    }
    writePosition();
}

void LiveSpool::writePosition()
{
    QSaveFile pos(positionPath());
    if (pos.open(QIODevice::WriteOnly)) {
        pos.write(QByteArray::number(m_read.segment) + ' ' + QByteArray::number(m_read.offset) + '\n');
        if (pos.commit())
            return;
    }
    qDebug().noquote() << "Live spool: cannot write" << pos.fileName() << pos.errorString()
                       << "; after a crash some batches may be imported twice";
}

void LiveSpool::removeAll()
{
    m_writer.close();
    if (!m_folder.isEmpty()) {
        QDir dir(m_folder);
        for (const QString &name : dir.entryList(QDir::Files)) {
            if (segmentNumber(name) > 0)
                dir.remove(name);
        }
        dir.remove(QStringLiteral("spool.pos"));
    }
    m_segments.clear();
    m_read = {};
    m_unreadRecords = 0;
    m_unreadBytes = 0;
    m_freeKnown = false;
}

void LiveSpool::clear() { removeAll(); }
