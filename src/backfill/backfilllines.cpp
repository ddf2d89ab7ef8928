#include "backfill/backfilllines.h"

#include <QTextCodec>
#include <QTextDecoder>

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

Reader::Reader(QIODevice *file) : m_file(file) {}

Reader::~Reader() = default;

void Reader::detectEncoding(QByteArray *raw)
{
    m_started = true;
    const auto startsWith = [raw](const char *bom, int n) {
        return raw->size() >= n && std::memcmp(raw->constData(), bom, size_t(n)) == 0;
    };
    const char *codec = nullptr;
    if (startsWith("\xef\xbb\xbf", 3)) {
        raw->remove(0, 3);
    } else if (startsWith("\xff\xfe", 2)) {
        codec = "UTF-16LE";
    } else if (startsWith("\xfe\xff", 2)) {
        codec = "UTF-16BE";
    }
    if (!codec)
        return;
    raw->remove(0, 2);
    if (QTextCodec *c = QTextCodec::codecForName(codec)) {
        m_decoder.reset(c->makeDecoder(QTextCodec::IgnoreHeader));
        m_convertedFrom = codec;
    }
}

bool Reader::fill()
{
    if (m_eof)
        return false;
    if (m_pos > 0) {
        m_buffer.remove(0, int(m_pos));
        m_pos = 0;
    }
    const qint64 kept = m_buffer.size();
    if (m_started && !m_decoder) {
        // The usual case: read straight behind what is kept.
        m_buffer.resize(int(kept + kBlockBytes));
        const qint64 got = m_file->read(m_buffer.data() + kept, kBlockBytes);
        m_buffer.resize(int(kept + qMax<qint64>(got, 0)));
        if (got < 0)
            m_failed = true;
        if (got <= 0)
            m_eof = true;
        return got > 0;
    }
    QByteArray raw(int(kBlockBytes), Qt::Uninitialized);
    const qint64 got = m_file->read(raw.data(), kBlockBytes);
    if (got <= 0) {
        m_failed = got < 0;
        m_eof = true;
        return false;
    }
    raw.resize(int(got));
    if (!m_started)
        detectEncoding(&raw);
    if (m_decoder)
        m_buffer.append(m_decoder->toUnicode(raw).toUtf8());
    else
        m_buffer.append(raw);
    return true;
}

namespace {

// The first line end (line feed or carriage return) in [from, to), or null.
const char *findLineEnd(const char *from, const char *to)
{
    if (from >= to)
        return nullptr;
    const auto *nl = static_cast<const char *>(std::memchr(from, '\n', size_t(to - from)));
    const char *crTo = nl ? nl : to;
    const auto *cr = static_cast<const char *>(std::memchr(from, '\r', size_t(crTo - from)));
    return cr ? cr : nl;
}

} // namespace

void Reader::skipLine()
{
    for (;;) {
        const char *begin = m_buffer.constData() + m_pos;
        const char *end = findLineEnd(begin, m_buffer.constData() + m_buffer.size());
        if (end) {
            m_afterCr = *end == '\r';
            m_pos += (end - begin) + 1;
            return;
        }
        m_pos = m_buffer.size(); // nothing of the line is kept
        if (!fill())
            return;
    }
}

bool Reader::next(const char **data, qint64 *size)
{
    qint64 scanned = 0; // bytes after m_pos already known to hold no line end
    for (;;) {
        const qint64 avail = m_buffer.size() - m_pos;
        if (m_afterCr) {
            // A carriage return and a line feed are one line end.
            if (avail == 0 && fill())
                continue;
            if (avail > 0 && m_buffer.at(int(m_pos)) == '\n')
                ++m_pos;
            m_afterCr = false;
            continue;
        }
        char *begin = m_buffer.data() + m_pos;
        const qint64 window = qMin(avail, kMaxLineBytes + 1);
        if (const char *end = findLineEnd(begin + scanned, begin + window)) {
            const qint64 length = end - begin;
            m_afterCr = *end == '\r';
            m_pos += length + 1;
            *data = begin;
            *size = length;
            return true;
        }
        if (avail > kMaxLineBytes) {
            ++m_skipped;
            skipLine();
            scanned = 0;
            continue;
        }
        if (m_eof) {
            if (avail == 0)
                return false;
            m_pos += avail;
            *data = begin;
            *size = avail;
            return true;
        }
        scanned = window;
        fill();
    }
}

namespace {
qint64 s_testByteBudget = -1;
} // namespace

void Writer::setTestByteBudget(qint64 bytes) { s_testByteBudget = bytes; }

void Writer::writeLine(const char *data, qint64 size)
{
    m_pending.append(data, int(size));
    m_pending.append('\n');
    if (m_pending.size() >= kBlockBytes)
        flush();
}

bool Writer::flush()
{
    if (!m_pending.isEmpty()) {
        const qint64 want = m_pending.size();
        qint64 allowed = want;
        if (s_testByteBudget >= 0) {
            allowed = qMin(want, s_testByteBudget);
            s_testByteBudget -= allowed;
        }
        if (m_ok && (m_file->write(m_pending.constData(), allowed) != want))
            m_ok = false;
        m_pending.resize(0);
    }
    if (m_ok && m_file->isOpen() && !m_file->flush())
        m_ok = false;
    return m_ok;
}

bool Writer::close()
{
    flush();
    m_file->close();
    if (m_file->error() != QFileDevice::NoError)
        m_ok = false;
    return m_ok;
}

void trim(const char *data, qint64 size, qint64 *start, qint64 *length)
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
    *start = b - reinterpret_cast<const unsigned char *>(data);
    *length = e - b;
}

bool containsFailed(const char *data, qint64 size)
{
    static const char kWord[] = "Failed";
    for (qint64 i = 0; i + 6 <= size; ++i) {
        const void *f = std::memchr(data + i, 'F', size_t(size - 6 - i + 1));
        if (!f)
            return false;
        i = static_cast<const char *>(f) - data;
        if (std::memcmp(data + i, kWord, 6) == 0)
            return true;
    }
    return false;
}

bool containsFailedAnyCase(const char *data, qint64 size)
{
    // Bar lines are digits and symbols: most hold no 'd' in either case, so two vectorised
    // searches settle them without the byte-by-byte scan.
    if (size < 6 || (!std::memchr(data, 'd', size_t(size)) && !std::memchr(data, 'D', size_t(size))))
        return false;
    static const char kWord[] = "failed";
    for (qint64 i = 0; i + 6 <= size; ++i) {
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

bool symbolField(const char *data, qint64 size, qint64 *start, qint64 *length)
{
    Field fields[2];
    if (splitFields(data, size, fields, 2) < 2)
        return false;
    *start = fields[1].start;
    *length = fields[1].length;
    return true;
}

bool isAcceptableSymbol(const char *data, qint64 size)
{
    bool ascii = true;
    for (qint64 i = 0; i < size; ++i) {
        const auto c = uchar(data[i]);
        if (c < 0x20 || c == 0x7f)
            return false;
        if (c >= 0x80)
            ascii = false;
    }
    if (ascii)
        return true;
    if (size > kMaxLineBytes)
        return false;
    QTextCodec::ConverterState state;
    const QString symbol = QTextCodec::codecForMib(106)->toUnicode(data, int(size), &state);
    if (state.invalidChars > 0 || state.remainingChars > 0)
        return false;
    for (const QChar c : symbol) {
        switch (c.category()) {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            return false;
        case QChar::Separator_Space:
            if (c != QLatin1Char(' '))
                return false;
            break;
        default:
            break;
        }
    }
    return symbol.normalized(QString::NormalizationForm_KC) == symbol;
}

} // namespace BackfillLines
