#pragma once

#include <QFile>
#include <QString>

// The one writer of the backfill error log ("backfill_error.log" beside the chunks). Every
// line is the local date and time in ISO 8601 form, a message that begins with " - ", and
// mostly the path or the symbols it speaks of. Lines are only ever appended. A line the log
// cannot take (it cannot be opened, the disk is full) goes to the debug output instead, so
// no problem goes unrecorded.
class BackfillErrorLog
{
public:
    // Opens the log for appending, creating its folder, unless it is open already; false
    // when it cannot be opened.
    bool open();
    void close() { m_file.close(); }
    // Appends one line, opening the log first when it is not open.
    void write(const QString &message, const QString &path = QString());

    // One line, the log opened and closed for it.
    static void append(const QString &message, const QString &path = QString());

private:
    QFile m_file;
};
