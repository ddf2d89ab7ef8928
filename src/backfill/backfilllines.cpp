#include "backfill/backfilllines.h"

#include <cstring>

namespace BackfillLines {

namespace {

constexpr qint64 kBlockBytes = 1 << 20;

// Length of the UTF-8 encoded Unicode space character starting at p (0 when none).
int spaceAt(const unsigned char *p, const unsigned char *end)
{
    const qptrdiff left = end - p;
    if (left <= 0)
        return 0;
    const unsigned char c = p[0];
    if (c == 0x20 || (c >= 0x09 && c <= 0x0d))
        return 1;
    if (c == 0xc2 && left >= 2 && (p[1] == 0x85 || p[1] == 0xa0))
        return 2;
    if (left < 3)
        return 0;
    if (c == 0xe1 && p[1] == 0x9a && p[2] == 0x80) // U+1680
        return 3;
    if (c == 0xe2 && p[1] == 0x80
        && ((p[2] >= 0x80 && p[2] <= 0x8a) || p[2] == 0xa8 || p[2] == 0xa9 || p[2] == 0xaf))
        return 3;
    if (c == 0xe2 && p[1] == 0x81 && p[2] == 0x9f) // U+205F
        return 3;
    if (c == 0xe3 && p[1] == 0x80 && p[2] == 0x80) // U+3000
        return 3;
    return 0;
}

// Length of the space character that ends just before end (0 when none).
int spaceBefore(const unsigned char *begin, const unsigned char *end)
{
    for (int n = 1; n <= 3 && end - n >= begin; ++n) {
        if (spaceAt(end - n, end) == n)
            return n;
    }
    return 0;
}

} // namespace

bool Reader::fill()
{
    if (m_eof)
        return false;
    m_buffer.remove(0, m_pos);
    m_pos = 0;
    const int kept = m_buffer.size();
    m_buffer.resize(kept + int(kBlockBytes));
    const qint64 got = m_file->read(m_buffer.data() + kept, kBlockBytes);
    if (got < 0)
        m_failed = true;
    if (got <= 0) {
        m_eof = true;
        m_buffer.resize(kept);
        return false;
    }
    m_buffer.resize(kept + int(got));
    return true;
}

bool Reader::next(const char **data, int *size)
{
    int scanned = 0; // bytes after m_pos already known to hold no line feed
    for (;;) {
        char *base = m_buffer.data();
        const int avail = m_buffer.size() - m_pos;
        const void *nl = std::memchr(base + m_pos + scanned, '\n', size_t(avail - scanned));
        if (!nl && !m_eof) {
            scanned = avail;
            fill();
            continue;
        }
        if (!nl && avail == 0)
            return false;
        char *begin = base + m_pos;
        const int len = nl ? int(static_cast<const char *>(nl) - begin) : avail;
        m_pos += nl ? len + 1 : len;
        // Carriage returns are squeezed out in place; the bytes are consumed anyway.
        char *end = begin + len;
        if (char *cr = static_cast<char *>(std::memchr(begin, '\r', size_t(len)))) {
            char *out = cr;
            for (char *p = cr; p < end; ++p) {
                if (*p != '\r')
                    *out++ = *p;
            }
            end = out;
        }
        *data = begin;
        *size = int(end - begin);
        return true;
    }
}

void Writer::writeLine(const char *data, int size)
{
    m_pending.append(data, size);
    m_pending.append('\n');
    if (m_pending.size() >= kBlockBytes)
        flush();
}

bool Writer::flush()
{
    if (!m_pending.isEmpty()) {
        if (m_file->write(m_pending) != m_pending.size())
            m_ok = false;
        m_pending.resize(0);
    }
    return m_ok;
}

void trim(const char *data, int size, int *start, int *length)
{
    const auto *b = reinterpret_cast<const unsigned char *>(data);
    const unsigned char *e = b + size;
    while (b < e) {
        const int n = spaceAt(b, e);
        if (!n)
            break;
        b += n;
    }
    while (e > b) {
        const int n = spaceBefore(b, e);
        if (!n)
            break;
        e -= n;
    }
    *start = int(b - reinterpret_cast<const unsigned char *>(data));
    *length = int(e - b);
}

bool containsFailed(const char *data, int size)
{
    static const char kWord[] = "Failed";
    for (int i = 0; i + 6 <= size; ++i) {
        const void *f = std::memchr(data + i, 'F', size_t(size - 6 - i + 1));
        if (!f)
            return false;
        i = int(static_cast<const char *>(f) - data);
        if (std::memcmp(data + i, kWord, 6) == 0)
            return true;
    }
    return false;
}

bool containsFailedAnyCase(const char *data, int size)
{
    // Bar lines are digits and symbols: most hold no 'd' in either case, so two vectorised
    // searches settle them without the byte-by-byte scan.
    if (size < 6 || (!std::memchr(data, 'd', size_t(size)) && !std::memchr(data, 'D', size_t(size))))
        return false;
    static const char kWord[] = "failed";
    for (int i = 0; i + 6 <= size; ++i) {
        if ((data[i] | 0x20) != 'f')
            continue;
        int k = 1;
        while (k < 6 && (data[i + k] | 0x20) == kWord[k])
            ++k;
        if (k == 6)
            return true;
    }
    return false;
}

} // namespace BackfillLines
