#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QtGlobal>

// The disk part of the kept live batches: an append-only spool of numbered segment files
// in one folder under the installation root. Batches beyond the memory bound go here
// while the charting program cannot take them, and are read back in the order written.
// A spool left by a run that was killed is found by open() and read first.
//
// Segment file: records of an 8-byte header ('V', 'B', 0, 0, payload length as 32-bit
// little endian) and the payload. A record cut short by a crash, or one that does not
// look like a record, ends its segment: the rest is cut off with a log line. The read
// position lives in "spool.pos" ("<segment> <offset>"), replaced atomically after every
// acknowledged read, so what a crashed run had already imported is not imported again.
//
// Bounded by a size cap and by the free space it must leave on the disk. Only past those
// are batches dropped, the oldest segment first, and counted.
//
// Not thread-safe: PendingBatches serialises every use.
class LiveSpool
{
public:
    struct Limits
    {
        qint64 segmentBytes = 8 * 1024 * 1024;
        qint64 capBytes = qint64(2) * 1024 * 1024 * 1024;
        qint64 minFreeBytes = qint64(1) * 1024 * 1024 * 1024;
    };
    static constexpr qint64 kHeaderBytes = 8;
    // Segment numbers start high, so batches older than the first segment can still be put
    // in front of it (prepend).
    static constexpr qint64 kFirstSegment = 1000000;
    // No batch is larger: the feed refuses frames past 16 MiB and a batch's lines are smaller.
    static constexpr qint64 kMaxRecordBytes = 64 * 1024 * 1024;

    struct Position
    {
        qint64 segment = 0;
        qint64 offset = 0;
    };
    struct Read
    {
        QList<QByteArray> batches;
        qint64 bytes = 0; // payload bytes
        Position end;     // where reading goes on once these are imported
        quint64 generation = 0;
    };

    LiveSpool() = default;
    ~LiveSpool();

    // Takes the folder (made when needed) and whatever an earlier run left in it.
    void open(const QString &folder);
    void close();
    bool isOpen() const { return m_open; }
    QString folder() const { return m_folder; }

    bool isEmpty() const { return m_unreadRecords == 0; }
    int count() const { return int(m_unreadRecords); }
    qint64 unreadBytes() const { return m_unreadBytes; }
    qint64 diskBytes() const;
    qint64 bytesWritten() const { return m_bytesWritten; }

    // Appends one batch. Past a cap the oldest segments are dropped first; *droppedTicks
    // and *droppedBatches add what went. False when the batch cannot be stored at all
    // (folder unusable, disk full with nothing left to drop).
    bool append(const QByteArray &batch, qint64 *droppedBatches, qint64 *droppedTicks);
    // Puts batches before everything unread (they are older: the memory part of the queue,
    // kept for the next start when the program ends). False when they do not fit.
    bool prepend(const QList<QByteArray> &batches);
    // The oldest unread batches, together at most maxBytes (at least one), left in place.
    Read peek(qint64 maxBytes);
    // The batches of `read` are imported: they are not read again, in this run or the next.
    void acknowledge(const Read &read);
    // Removes every segment and the position.
    void clear();

    void setLimits(const Limits &limits) { m_limits = limits; }
    Limits limits() const { return m_limits; }

private:
    struct Segment
    {
        qint64 number = 0;
        qint64 size = 0;    // bytes of whole records
        qint64 records = 0; // records in the file
    };

    QString segmentPath(qint64 number) const;
    QString positionPath() const;
    void scanSegment(Segment *segment, qint64 readOffset, qint64 *unreadRecords, qint64 *unreadBytes);
    void writePosition();
    bool openWriter(qint64 number);
    qint64 freeBytes();
    void dropOldestSegment(qint64 *droppedBatches, qint64 *droppedTicks);
    bool readRecord(QFile *file, qint64 offset, qint64 size, QByteArray *payload) const;
    void removeAll();

    QString m_folder;
    bool m_open = false;
    Limits m_limits;
    QList<Segment> m_segments; // ascending by number; the last one is written
    Position m_read;           // first unread record
    qint64 m_unreadRecords = 0;
    qint64 m_unreadBytes = 0; // payload bytes
    qint64 m_bytesWritten = 0;
    quint64 m_generation = 0; // counts drops, so a read taken before one is recognised
    bool m_freeKnown = false;
    qint64 m_freeBytes = -1;
    qint64 m_writtenSinceFreeCheck = 0;
    QFile m_writer;
};
