#pragma once

#include <QByteArray>
#include <QVector>

// Builds a ZIP archive in memory from stored (uncompressed) entries. Entry names are taken
// as given, so hostile names ("../x", "/abs/x") can be written on purpose.
class ZipWriter
{
public:
    // mode: Unix permission bits kept in the archive (0755 for a launcher script).
    void addFile(const QByteArray &name, const QByteArray &data, quint32 mode = 0644);
    QByteArray finish();

    static quint32 crc32(const QByteArray &data);

private:
    struct Entry
    {
        QByteArray name;
        quint32 crc;
        quint32 size;
        quint32 offset;
        quint32 mode;
    };
    QByteArray m_out;
    QVector<Entry> m_entries;
};
