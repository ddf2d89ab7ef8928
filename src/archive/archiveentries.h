#pragma once

#include <QFile>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVector>

// What a ZIP archive holds according to its central directory, which of its entries may be
// unpacked and under what name, and a copy of the archive that holds only those.
//
// Archives come from outside, so the same rules apply on every system before any tool
// sees a name: a backslash separates folders; absolute, drive ("C:\x", "c:x", "C:/x") and
// network ("\\server\share\x") names, ".." steps, control characters and names Windows
// cannot hold are refused; links, devices, folder entries, hidden names and protected
// (encrypted) entries are dropped. With flattening, a file in a sub-folder keeps only its
// own name. The tools then unpack a rewritten archive holding only the kept entries under
// their final names, as plain files, so neither tool can be led to a link, a prompt or a
// place outside its folder.
namespace ArchiveEntries {

struct Entry
{
    QString name;          // as stored, decoded (UTF-8 when flagged, else Latin-1)
    quint16 madeBy = 0;
    quint16 flags = 0;
    quint16 method = 0;
    quint16 modTime = 0;
    quint16 modDate = 0;
    quint32 crc = 0;
    quint32 externalAttributes = 0;
    quint64 compressedSize = 0;
    quint64 size = 0;
    quint64 localOffset = 0;
};

// Reads the central directory (ZIP64 included). False with a reason when it is missing,
// damaged or larger than any backfill or update archive needs.
bool readDirectory(const QString &archivePath, QVector<Entry> *entries, QString *error);

// Empty when the stored name may be unpacked; *target is then the name it gets (folders
// kept with "/" unless flatten). Otherwise the reason it is refused or dropped.
QString judgeName(const QString &name, bool flatten, QString *target);

struct Kept
{
    int index = 0;  // into the entries
    QString target; // unpacked name, "/" separated
};

struct Plan
{
    QVector<Kept> kept;
    QStringList notes;        // one line per entry dropped, refused or renamed
    quint64 unpackedSize = 0; // announced size of the kept entries
};

Plan plan(const QVector<Entry> &entries, bool flatten);

// A name for a log line: control characters and the like as \xNN, at most 200 characters.
QString printable(const QString &name);

// Writes the kept entries' compressed data, as stored, under their target names into a
// new archive. Works a few megabytes per turn of the event loop, so a large archive does
// not freeze the program and cancel() takes effect at once.
class SafeCopy : public QObject
{
    Q_OBJECT
public:
    explicit SafeCopy(QObject *parent = nullptr);

    void start(const QString &sourcePath, const QVector<Entry> &entries, const Plan &plan,
               const QString &targetPath);
    void cancel();
    bool isRunning() const { return m_step.isActive(); }

signals:
    // Once per start() that was not cancelled.
    void finished(bool ok, const QString &error);

private:
    void step();
    bool beginEntry(QString *error);
    bool finishArchive(QString *error);
    void end(bool ok, const QString &error);

    QTimer m_step;
    QFile m_in;
    QFile m_out;
    QVector<Entry> m_entries;
    Plan m_plan;
    int m_next = 0;
    quint64 m_left = 0;
    QByteArray m_central;
};

} // namespace ArchiveEntries
