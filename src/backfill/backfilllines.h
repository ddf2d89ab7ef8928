#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// Line-level reading and writing of backfill files. The files run to hundreds of
// megabytes, so they are streamed in large blocks and handled as UTF-8 bytes: no line is
// decoded into a QString, and bytes that are not valid UTF-8 pass through untouched.
namespace BackfillLines {

// Reads a file line by line. Line feeds end lines; every carriage return is dropped, as
// a text-mode read does. The last line needs no line feed.
class Reader
{
public:
    explicit Reader(QFile *file) : m_file(file) {}
    // Next line without its terminator, valid until the following call; false at the end
    // of the file or on a read error.
    bool next(const char **data, int *size);
    bool failed() const { return m_failed; }

private:
    bool fill();
    QFile *m_file;
    QByteArray m_buffer;
    int m_pos = 0;
    bool m_eof = false;
    bool m_failed = false;
};

// Collects output and hands it to the file in large writes.
class Writer
{
public:
    // The buffer keeps its capacity between flushes (reserve marks it so).
    explicit Writer(QFile *file) : m_file(file) { m_pending.reserve((1 << 20) + 4096); }
    ~Writer() { flush(); }
    void writeLine(const char *data, int size);
    void writeLine(const QByteArray &line) { writeLine(line.constData(), line.size()); }
    // Building a line in place: append its bytes to pending(), then endLine().
    QByteArray &pending() { return m_pending; }
    void endLine()
    {
        m_pending.append('\n');
        if (m_pending.size() >= (1 << 20))
            flush();
    }
    // False once any write has failed.
    bool flush();
    bool ok() const { return m_ok; }

private:
    QFile *m_file;
    QByteArray m_pending;
    bool m_ok = true;
};

// The part of data[0, size) left after removing leading and trailing white space in the
// sense of QString::trimmed() (ASCII and the Unicode space characters, in UTF-8 form).
void trim(const char *data, int size, int *start, int *length);

// Whether the line contains "failed" in any letter case (no character outside ASCII folds
// to one of its letters, so a byte comparison is exact).
bool containsFailedAnyCase(const char *data, int size);

// Whether the line contains "Failed" exactly.
bool containsFailed(const char *data, int size);

inline bool isWordByte(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

} // namespace BackfillLines
