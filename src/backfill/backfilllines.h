#pragma once

#include "live/linefields.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <memory>

class QTextDecoder;

// Line-level reading and writing of backfill files. The files run to hundreds of
// megabytes, so they are streamed in large blocks and handled as UTF-8 bytes: no line is
// decoded into a QString, and bytes that are not valid UTF-8 pass through untouched.
// Every size on this path is 64-bit: a file from the server may hold a single line of
// gigabytes, which must be counted and skipped, never held.
namespace BackfillLines {

// Longest line kept; a longer one is skipped whole and counted.
constexpr qint64 kMaxLineBytes = 65536;

// Reads a file line by line. A line ends at a line feed, a carriage return followed by a
// line feed, or a carriage return alone (files written on old systems). The last line
// needs no terminator. A file starting with a UTF-16 byte-order mark is converted to
// UTF-8 on the fly; a UTF-8 byte-order mark is dropped.
class Reader
{
public:
    explicit Reader(QIODevice *file);
    ~Reader();
    // Next line without its terminator, valid until the following call; false at the end
    // of the file or on a read error.
    bool next(const char **data, qint64 *size);
    bool failed() const { return m_failed; }
    // Lines longer than kMaxLineBytes that were read past.
    qint64 skippedLines() const { return m_skipped; }
    // "UTF-16LE" or "UTF-16BE" when the file was converted; empty otherwise.
    QByteArray convertedFrom() const { return m_convertedFrom; }

private:
    bool fill();
    void detectEncoding(QByteArray *raw);
    // Drops the buffer up to and including the next line end, reading on as needed.
    void skipLine();
    QIODevice *m_file;
    QByteArray m_buffer;
    qint64 m_pos = 0;
    bool m_eof = false;
    bool m_failed = false;
    bool m_started = false;
    bool m_afterCr = false; // the last line ended in a carriage return: a line feed may follow
    qint64 m_skipped = 0;
    QByteArray m_convertedFrom;
    std::unique_ptr<QTextDecoder> m_decoder;
};

// Collects output and hands it to the file in large writes. Every write and flush is
// checked: once one fails, ok() stays false and nothing more is written.
class Writer
{
public:
    // The buffer keeps its capacity between flushes (reserve marks it so).
    explicit Writer(QFileDevice *file) : m_file(file) { m_pending.reserve((1 << 20) + 4096); }
    ~Writer() { flush(); }
    void writeLine(const char *data, qint64 size);
    void writeLine(const QByteArray &line) { writeLine(line.constData(), line.size()); }
    // Building a line in place: append its bytes to pending(), then endLine().
    QByteArray &pending() { return m_pending; }
    void endLine()
    {
        m_pending.append('\n');
        if (m_pending.size() >= (1 << 20))
            flush();
    }
    // Hands everything to the operating system; false once any write has failed.
    bool flush();
    // flush(), then closes the file; false when anything written was not accepted.
    bool close();
    bool ok() const { return m_ok; }

    // Test seam, process-wide: every writer fails once this many more bytes have been
    // written in all (a full disk where no small file system can be mounted). Negative
    // switches it off.
    static void setTestByteBudget(qint64 bytes);

private:
    QFileDevice *m_file;
    QByteArray m_pending;
    bool m_ok = true;
};

// The part of data[0, size) left after removing leading and trailing white space in the
// sense of QString::trimmed() (ASCII and the Unicode space characters, in UTF-8 form).
void trim(const char *data, qint64 size, qint64 *start, qint64 *length);

// Whether the line contains "failed" in any letter case (no character outside ASCII folds
// to one of its letters, so a byte comparison is exact).
bool containsFailedAnyCase(const char *data, qint64 size);

// Whether the line contains "Failed" exactly.
bool containsFailed(const char *data, qint64 size);

// The second comma-separated field of a line, trimmed; false when the line has no comma.
bool symbolField(const char *data, qint64 size, qint64 *start, qint64 *length);

// One comma-separated field, and the first `count` fields of a line (see LineFields).
using Field = LineFields::Field;
inline int splitFields(const char *data, qint64 size, Field *fields, int count)
{
    return LineFields::split(data, size, fields, count);
}

// Whether a symbol can be stored as it stands: no control, format or separator character
// (a blank inside is allowed), valid UTF-8, and unchanged by compatibility normalisation
// (so a full-width "ＮＩＦＴＹ" is refused instead of being stored beside "NIFTY").
bool isAcceptableSymbol(const char *data, qint64 size);

inline bool isWordByte(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

} // namespace BackfillLines
