#include "zipwriter.h"

#include "live/crc32.h"

#include <QtEndian>

namespace {

void put16(QByteArray &out, quint16 v)
{
    char b[2];
    qToLittleEndian<quint16>(v, b);
    out.append(b, 2);
}

void put32(QByteArray &out, quint32 v)
{
    char b[4];
    qToLittleEndian<quint32>(v, b);
    out.append(b, 4);
}

// 2026-01-01 00:00:00 in DOS form; the archives are generated, their file times mean nothing.
constexpr quint16 kDosTime = 0;
constexpr quint16 kDosDate = ((2026 - 1980) << 9) | (1 << 5) | 1;

bool isAscii(const QByteArray &s)
{
    for (char c : s) {
        if (static_cast<unsigned char>(c) > 0x7f)
            return false;
    }
    return true;
}

} // namespace

quint32 ZipWriter::crc32(const QByteArray &data)
{
    return Crc32::of(data.constData(), std::size_t(data.size()));
}

void ZipWriter::addFile(const QByteArray &name, const QByteArray &data, quint32 mode)
{
    Entry e{name, crc32(data), quint32(data.size()), quint32(m_out.size()), mode};
    put32(m_out, 0x04034b50);
    put16(m_out, 10);                          // version needed: stored
    put16(m_out, isAscii(name) ? 0 : 0x0800);  // UTF-8 names flagged
    put16(m_out, 0);                           // stored
    put16(m_out, kDosTime);
    put16(m_out, kDosDate);
    put32(m_out, e.crc);
    put32(m_out, e.size);
    put32(m_out, e.size);
    put16(m_out, quint16(name.size()));
    put16(m_out, 0);
    m_out.append(name);
    m_out.append(data);
    m_entries.append(e);
}

QByteArray ZipWriter::finish()
{
    const quint32 cdOffset = quint32(m_out.size());
    for (const Entry &e : qAsConst(m_entries)) {
        put32(m_out, 0x02014b50);
        put16(m_out, (3 << 8) | 20);           // made by Unix, so the mode bits count
        put16(m_out, 10);
        put16(m_out, isAscii(e.name) ? 0 : 0x0800);
        put16(m_out, 0);
        put16(m_out, kDosTime);
        put16(m_out, kDosDate);
        put32(m_out, e.crc);
        put32(m_out, e.size);
        put32(m_out, e.size);
        put16(m_out, quint16(e.name.size()));
        put16(m_out, 0);
        put16(m_out, 0);
        put16(m_out, 0);
        put16(m_out, 0);
        put32(m_out, (0100000u | e.mode) << 16);
        put32(m_out, e.offset);
        m_out.append(e.name);
    }
    const quint32 cdSize = quint32(m_out.size()) - cdOffset;
    put32(m_out, 0x06054b50);
    put16(m_out, 0);
    put16(m_out, 0);
    put16(m_out, quint16(m_entries.size()));
    put16(m_out, quint16(m_entries.size()));
    put32(m_out, cdSize);
    put32(m_out, cdOffset);
    put16(m_out, 0);
    QByteArray out;
    out.swap(m_out);
    m_entries.clear();
    return out;
}
