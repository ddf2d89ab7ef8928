#pragma once

#include "app/diskbudget.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QVector>
#include <QtGlobal>

// The disk part of the kept live batches: an append-only spool of numbered segment files in
// one folder under the installation root, read back in the order written. A spool left by a
// run that ended or was killed is found by open() and read first.
//
// Segment file: an 8-byte header ("VTSPOOL" and the format version 2), then records of a
// 12-byte header ('V', 'R', 0, 2, payload length and CRC-32 of the payload, both 32-bit
// little endian) and the payload. A record that fails its check (marker, length, CRC) is
// skipped with a log line and reading goes on at the next record marker; a record cut short
// by a crash ends its segment and is cut off. Segments of the earlier format (no header, no
// checksum) cannot be verified and are dropped with a log line at open().
//
// The read position lives in "spool.pos" ("<segment> <offset>", fixed width, rewritten in
// place after every acknowledged read). It is trusted only when it names a record boundary
// of the oldest segment; anything else is logged and reading starts at the oldest segment's
// first record. A position never removes a segment: segments go only once this process has
// read past them.
//
// Every file is opened without following links and only as a regular file (StateFile):
// anything else under a segment's name is removed as a name (a link's target is never
// touched), and a FIFO at "spool.pos" cannot hang the start.
//
// Space: at most what DiskBudget allows a job under capBytes (half the free space above a
// floor); past that the oldest segments are dropped, and their batches counted.
//
// Not thread-safe: PendingBatches serialises every use.
class LiveSpool
{
public:
    struct Limits
    {
        qint64 segmentBytes = 8 * 1024 * 1024;
        qint64 capBytes = DiskBudget::kSpoolCapBytes;
    };
    static constexpr qint64 kSegmentHeaderBytes = 8;
    static constexpr qint64 kRecordHeaderBytes = 12;
    static constexpr qint64 kFirstSegment = 1000000;
    // No batch is larger: the feed refuses frames past 16 MiB and a batch's lines are smaller.
    static constexpr qint64 kMaxRecordBytes = 64 * 1024 * 1024;

    struct Position
    {
        qint64 segment = 0;
        qint64 offset = 0;
        bool operator<(const Position &o) const
        {
            return segment < o.segment || (segment == o.segment && offset < o.offset);
        }
        bool operator==(const Position &o) const { return segment == o.segment && offset == o.offset; }
    };
    struct Read
    {
        QList<QByteArray> batches;
        qint64 bytes = 0;   // payload bytes of the batches
        qint64 records = 0; // records passed, the skipped ones included
        Position end;       // where reading goes on once these are imported
    };
    // What appending had to drop for space: batches, their ticks, and the newest segment
    // number that went (0: none).
    struct Dropped
    {
        qint64 batches = 0;
        qint64 ticks = 0;
        qint64 throughSegment = 0;
    };
    // One appended record: where it starts and where the next one does.
    struct Placed
    {
        Position start;
        Position end;
    };

    LiveSpool() = default;
    ~LiveSpool();

    // Takes the folder (made when needed) and whatever an earlier run left in it. False when
    // the folder cannot hold a spool (problem() says why). *droppedAtOpen, when given, gets
    // the batches of unreadable earlier-format segments.
    bool open(const QString &folder, Dropped *droppedAtOpen = nullptr);
    void close();
    bool isOpen() const { return m_open; }
    QString folder() const { return m_folder; }
    QString problem() const { return m_problem; }

    // Nothing unread (decided by the read position, not by the counts).
    bool isEmpty() const;
    qint64 unreadRecords() const { return m_unreadRecords; }
    qint64 unreadBytes() const { return m_unreadBytes; }
    qint64 diskBytes() const;
    qint64 bytesWritten() const { return m_bytesWritten; }
    Position readPosition() const { return m_read; }

    // Appends the batches, in one write, and says where each landed. Past the space allowed
    // the oldest segments are dropped first (*dropped says what went). False, with
    // problem(), when they cannot be stored (folder unusable, disk full with nothing left to
    // drop); then nothing of them is in the spool.
    bool append(const QList<QByteArray> &batches, QVector<Placed> *placed, Dropped *dropped);
    // The oldest unread batches, together at most maxBytes (at least one), left in place.
    Read peek(qint64 maxBytes);
    // The batches of `read` are imported: they are not read again, in this run or the next.
    void acknowledge(const Read &read);
    // The unread records before `end` were imported from copies in memory.
    void skipTo(const Position &end, qint64 records, qint64 bytes);
    // Removes every segment and the position.
    void clear();

    void setLimits(const Limits &limits) { m_limits = limits; }
    Limits limits() const { return m_limits; }

private:
    struct Segment
    {
        qint64 number = 0;
        qint64 size = 0;    // bytes of the header and whole records
        qint64 records = 0; // records found by the scan
    };
    struct Scan
    {
        qint64 records = 0;
        QVector<qint64> boundaries; // record starts, and the end
    };

    QString segmentPath(qint64 number) const;
    QString positionPath() const;
    bool fail(const QString &problem);
    bool takeSegment(const QString &name, qint64 number, Dropped *droppedAtOpen);
    Scan scanSegment(QFile *file, const QString &path, qint64 *size);
    void countUnread();
    Position startOf(const Segment &s) const { return {s.number, kSegmentHeaderBytes}; }
    const Segment *segmentAt(qint64 number) const;
    void settleRead();
    void writePosition();
    bool openWriter(qint64 number, bool fresh);
    void dropOldestSegment(Dropped *dropped);
    void removeSegments();

    QString m_folder;
    QString m_problem;
    bool m_open = false;
    Limits m_limits;
    QList<Segment> m_segments; // ascending by number; the last one is written
    qint64 m_highestNumber = 0; // of every name seen, so a new segment never meets an old name
    Position m_read;            // first unread record
    qint64 m_unreadRecords = 0;
    qint64 m_unreadBytes = 0; // payload bytes
    qint64 m_bytesWritten = 0;
    QVector<qint64> m_oldestBoundaries; // while opening: the oldest segment's record starts
    QFile m_writer;
    qint64 m_writerNumber = 0;
    QFile m_position;
    bool m_positionFailed = false;
};
