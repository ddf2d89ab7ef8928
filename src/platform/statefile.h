#pragma once

#include <QByteArray>
#include <QString>

class QFile;

// The program's own files that outlive a run (the live spool's segments and read position,
// the outage state) are read as outside input: a symbolic link or junction in their place is
// never followed, and only a regular file is opened. A FIFO, device, folder or link is
// refused at once, so a planted name can neither hang the start (an open that waits for a
// writer) nor make the program read, empty or overwrite a file of the user's.
namespace StateFile {

enum class Access {
    Read,      // an existing file, read only
    ReadWrite, // an existing file, read and written in place
    Create,    // read and written; made when missing
};

// Opens `path` into `file` (unbuffered: every write goes to the system at once). False,
// with the reason in *error, when the name is missing, is not a regular file or cannot be
// opened; then `file` stays closed.
bool open(QFile *file, const QString &path, Access access, QString *error);

// The whole file, when it is a regular file of at most maxBytes. *missing tells a name
// that is not there (no error then) from one that is refused.
bool read(const QString &path, qint64 maxBytes, QByteArray *bytes, QString *error,
          bool *missing = nullptr);

// Replaces `path` with `bytes` in one step: they go to a new file beside it, are flushed to
// the disk and that file is renamed over the name. Whatever stood at the name (a link, a
// FIFO) is replaced, never written through.
bool replace(const QString &path, const QByteArray &bytes, QString *error);

// What kind of thing stands at `path` when it is not a regular file ("a symbolic link",
// "a FIFO", "a folder", ...), for the log; empty for a regular file or nothing.
QString describe(const QString &path);

// The platform parts behind replace(): flush a written file to the disk, and rename one
// name over another without following a link at either.
bool syncToDisk(QFile *file);
bool renameOver(const QString &from, const QString &to, QString *error);

} // namespace StateFile
