#include "live/dayledger.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QSaveFile>

#include <cstring>

namespace {

const QByteArray kMagic = QByteArrayLiteral("VANTREL-DAYLEDGER 1");

// "HH:MM" at the start of a time field; -1 when it is not a time of day.
int minuteOfTime(const char *p, int size)
{
    if (size < 5 || p[2] != ':')
        return -1;
    for (int i : {0, 1, 3, 4}) {
        if (p[i] < '0' || p[i] > '9')
            return -1;
    }
    const int h = (p[0] - '0') * 10 + (p[1] - '0');
    const int m = (p[3] - '0') * 10 + (p[4] - '0');
    return h < 24 && m < 60 ? h * 60 + m : -1;
}

bool isSymbolText(const QByteArray &s)
{
    if (s.isEmpty() || s.size() > DayLedger::kMaxSymbolChars)
        return false;
    for (char c : s) {
        if (quint8(c) <= ' ' || c == ',' || c == 0x7f)
            return false;
    }
    return true;
}

QByteArray encodeRanges(const QBitArray &bits)
{
    QByteArray out;
    for (const DayLedger::Range &r : DayLedger::rangesOf(bits)) {
        if (!out.isEmpty())
            out += ',';
        out += QByteArray::number(r.first);
        if (r.second != r.first)
            out += '-' + QByteArray::number(r.second);
    }
    return out.isEmpty() ? QByteArrayLiteral("-") : out;
}

bool decodeRanges(const QByteArray &text, QBitArray *bits)
{
    if (text == "-")
        return true;
    const QList<QByteArray> parts = text.split(',');
    if (parts.size() > DayLedger::kMinutesPerDay)
        return false;
    for (const QByteArray &part : parts) {
        const int dash = part.indexOf('-');
        bool ok1 = false, ok2 = false;
        const int a = part.left(dash < 0 ? part.size() : dash).toInt(&ok1);
        const int b = dash < 0 ? a : part.mid(dash + 1).toInt(&ok2);
        if (!ok1 || (dash >= 0 && !ok2) || a < 0 || b < a || b >= DayLedger::kMinutesPerDay)
            return false;
        bits->fill(true, a, b + 1);
    }
    return true;
}

} // namespace

DayLedger::DayLedger(QString filePath)
    : m_filePath(std::move(filePath))
    , m_now(&QDateTime::currentDateTime)
{
}

void DayLedger::setClockForTests(std::function<QDateTime()> now)
{
    QMutexLocker lock(&m_mutex);
    m_now = now ? std::move(now) : std::function<QDateTime()>(&QDateTime::currentDateTime);
}

QDateTime DayLedger::now() const { return m_now(); }

void DayLedger::resetLocked(const QDate &day)
{
    m_day = day;
    m_marks.clear();
    m_feed.fill(false);
    m_link.fill(false);
    m_firstLive = -1;
    m_dirty = true;
    if (m_linkUp)
        m_linkUpSince = QDateTime(day, QTime(0, 0));
}

void DayLedger::advanceLocked(const QDateTime &now)
{
    if (now.date() != m_day) {
        // The link's minutes up to midnight belong to the day that ended.
        resetLocked(now.date());
    }
    if (!m_linkUp || !m_linkUpSince.isValid())
        return;
    // Whole minutes from the first boundary at or after the link came up to the current
    // minute's start.
    const QTime since = m_linkUpSince.date() == m_day ? m_linkUpSince.time() : QTime(0, 0);
    int first = since.hour() * 60 + since.minute();
    if (since.second() != 0 || since.msec() != 0)
        ++first;
    const int current = now.time().hour() * 60 + now.time().minute();
    if (first < current) {
        m_link.fill(true, first, current);
        m_dirty = true;
        m_linkUpSince = QDateTime(m_day, QTime(current / 60, current % 60));
    }
}

DayLedger::Marks *DayLedger::marksLocked(const QByteArray &symbol)
{
    auto it = m_marks.find(symbol);
    if (it != m_marks.end())
        return &it.value();
    if (m_marks.size() >= kMaxSymbols || !isSymbolText(symbol))
        return nullptr;
    return &m_marks.insert(symbol, Marks()).value();
}

void DayLedger::noteImported(const QByteArray &lines, Source source)
{
    const QDateTime at = now();
    const QByteArray today = at.date().toString(QStringLiteral("yyyyMMdd")).toLatin1();

    // Parsed outside the lock into (symbol, minute) marks; a batch holds many ticks of few
    // symbols and minutes, so repeats are folded before the merge.
    struct Mark
    {
        QByteArray symbol;
        int minute;
    };
    QList<Mark> marks;
    const char *p = lines.constData();
    const char *end = p + lines.size();
    while (p < end) {
        const char *eol = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
        const char *lineEnd = eol ? eol : end;
        const char *f[5] = {p, nullptr, nullptr, nullptr, nullptr};
        int n = 1;
        for (const char *q = p; q < lineEnd && n < 5; ++q) {
            if (*q == ',')
                f[n++] = q + 1;
        }
        if (n >= 4) {
            const char *timeEnd = n >= 5 ? f[4] - 1 : lineEnd;
            const int dateSize = int(f[3] - 1 - f[2]);
            const int minute = minuteOfTime(f[3], int(timeEnd - f[3]));
            if (minute >= 0 && dateSize == today.size() && std::memcmp(f[2], today.constData(), size_t(dateSize)) == 0) {
                const int symbolSize = int(f[2] - 1 - f[1]);
                if (marks.isEmpty() || marks.last().minute != minute || marks.last().symbol.size() != symbolSize
                    || std::memcmp(marks.last().symbol.constData(), f[1], size_t(symbolSize)) != 0)
                    marks.append({QByteArray(f[1], symbolSize), minute});
            }
        }
        p = lineEnd + 1;
    }
    if (marks.isEmpty())
        return;

    QMutexLocker lock(&m_mutex);
    advanceLocked(at);
    Marks *m = nullptr;
    const QByteArray *last = nullptr;
    for (const Mark &mark : qAsConst(marks)) {
        if (!last || *last != mark.symbol) {
            m = marksLocked(mark.symbol);
            last = &mark.symbol;
        }
        if (!m)
            continue;
        switch (source) {
        case Source::Live:
            m->live.setBit(mark.minute);
            m_feed.setBit(mark.minute);
            if (m_firstLive < 0 || mark.minute < m_firstLive)
                m_firstLive = mark.minute;
            break;
        case Source::Backfill:
            m->backfill.setBit(mark.minute);
            break;
        case Source::Repair:
            m->repair.setBit(mark.minute);
            break;
        }
    }
    m_dirty = true;
}

void DayLedger::noteLink(bool up)
{
    QMutexLocker lock(&m_mutex);
    const QDateTime at = now();
    advanceLocked(at);
    if (up == m_linkUp)
        return;
    m_linkUp = up;
    m_linkUpSince = up ? at : QDateTime();
}

int DayLedger::sessionStartLocked() const
{
    return m_firstLive >= 0 && m_firstLive < kSessionOpenMinute ? m_firstLive : kSessionOpenMinute;
}

int DayLedger::sessionStart()
{
    QMutexLocker lock(&m_mutex);
    advanceLocked(now());
    return sessionStartLocked();
}

QDate DayLedger::day()
{
    QMutexLocker lock(&m_mutex);
    advanceLocked(now());
    return m_day;
}

DayLedger::Health DayLedger::health(const QString &symbol)
{
    QMutexLocker lock(&m_mutex);
    const QDateTime at = now();
    advanceLocked(at);
    Health h;
    h.sessionStart = sessionStartLocked();
    h.sessionEnd = at.time().hour() * 60 + at.time().minute() - 1;
    const auto it = m_marks.constFind(symbol.toUtf8());
    const Marks *m = it == m_marks.constEnd() ? nullptr : &it.value();
    QBitArray missing(kMinutesPerDay);
    for (int minute = h.sessionStart; minute <= h.sessionEnd; ++minute) {
        const bool live = m && m->live.testBit(minute);
        const bool bars = m && (m->backfill.testBit(minute) || m->repair.testBit(minute));
        if (live || bars) {
            ++h.covered;
            if (!live && !m->backfill.testBit(minute))
                ++h.repaired;
        } else if (!m_feed.testBit(minute) && !m_link.testBit(minute)) {
            ++h.missing;
            missing.setBit(minute);
        }
    }
    h.missingRanges = rangesOf(missing);
    return h;
}

QStringList DayLedger::symbols() const
{
    QMutexLocker lock(&m_mutex);
    QStringList out;
    out.reserve(m_marks.size());
    for (auto it = m_marks.constBegin(); it != m_marks.constEnd(); ++it)
        out.append(QString::fromUtf8(it.key()));
    return out;
}

bool DayLedger::isDirty() const
{
    QMutexLocker lock(&m_mutex);
    return m_dirty;
}

QByteArray DayLedger::encode() const
{
    QMutexLocker lock(&m_mutex);
    QByteArray out = kMagic + ' ' + m_day.toString(QStringLiteral("yyyyMMdd")).toLatin1() + '\n';
    out += "link " + encodeRanges(m_link) + '\n';
    out += "feed " + encodeRanges(m_feed) + '\n';
    for (auto it = m_marks.constBegin(); it != m_marks.constEnd(); ++it) {
        out += "symbol " + it.key() + ' ' + encodeRanges(it->live) + ' ' + encodeRanges(it->backfill) + ' '
               + encodeRanges(it->repair) + '\n';
    }
    return out;
}

bool DayLedger::decode(const QByteArray &text)
{
    QMutexLocker lock(&m_mutex);
    const QDateTime at = now();
    advanceLocked(at);
    const QList<QByteArray> lines = text.split('\n');
    if (lines.isEmpty() || lines.first() != kMagic + ' ' + at.date().toString(QStringLiteral("yyyyMMdd")).toLatin1())
        return false;
    int dropped = 0;
    for (int i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> f = lines.at(i).split(' ');
        if (f.size() == 1 && f.first().isEmpty())
            continue;
        bool ok = false;
        if (f.size() == 2 && (f[0] == "link" || f[0] == "feed")) {
            QBitArray bits(kMinutesPerDay);
            ok = decodeRanges(f[1], &bits);
            if (ok)
                (f[0] == "link" ? m_link : m_feed) |= bits;
        } else if (f.size() == 5 && f[0] == "symbol" && isSymbolText(f[1])) {
            Marks read;
            ok = decodeRanges(f[2], &read.live) && decodeRanges(f[3], &read.backfill) && decodeRanges(f[4], &read.repair);
            Marks *m = ok ? marksLocked(f[1]) : nullptr;
            ok = ok && m;
            if (ok) {
                m->live |= read.live;
                m->backfill |= read.backfill;
                m->repair |= read.repair;
            }
        }
        if (!ok)
            ++dropped;
    }
    // The earliest live minute is part of the state it was read back from.
    m_firstLive = -1;
    for (const Marks &m : qAsConst(m_marks)) {
        for (int minute = 0; minute < kMinutesPerDay && (m_firstLive < 0 || minute < m_firstLive); ++minute) {
            if (m.live.testBit(minute)) {
                m_firstLive = minute;
                break;
            }
        }
    }
    if (dropped)
        qDebug().noquote() << "DayLedger: dropped" << dropped << "unreadable lines of" << m_filePath;
    return true;
}

bool DayLedger::load()
{
    if (m_filePath.isEmpty())
        return false;
    const QFileInfo info(m_filePath);
    if (!info.exists())
        return false;
    // Only a regular file of ours: a link, FIFO or device is never opened, an oversized
    // file is not read.
    if (info.isSymLink() || !info.isFile() || info.size() > kMaxFileBytes) {
        qDebug().noquote() << "DayLedger: ignoring" << m_filePath << "(not a regular file of a usable size)";
        return false;
    }
    QFile file(m_filePath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const bool ok = decode(file.read(kMaxFileBytes));
    QMutexLocker lock(&m_mutex);
    m_dirty = false;
    return ok;
}

bool DayLedger::save()
{
    if (m_filePath.isEmpty())
        return false;
    {
        QMutexLocker lock(&m_mutex);
        advanceLocked(now());
    }
    const QByteArray text = encode();
    QSaveFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        qDebug().noquote() << "DayLedger: cannot write" << m_filePath;
        return false;
    }
    QMutexLocker lock(&m_mutex);
    m_dirty = false;
    return true;
}

QString DayLedger::minuteText(int minute)
{
    return QStringLiteral("%1:%2").arg(minute / 60, 2, 10, QLatin1Char('0')).arg(minute % 60, 2, 10, QLatin1Char('0'));
}

QString DayLedger::rangeText(const Range &range)
{
    if (range.first == range.second)
        return minuteText(range.first);
    return minuteText(range.first) + QChar(0x2013) + minuteText(range.second);
}

QList<DayLedger::Range> DayLedger::rangesOf(const QBitArray &bits)
{
    QList<Range> out;
    int start = -1;
    for (int i = 0; i <= bits.size(); ++i) {
        const bool set = i < bits.size() && bits.testBit(i);
        if (set && start < 0)
            start = i;
        else if (!set && start >= 0) {
            out.append({start, i - 1});
            start = -1;
        }
    }
    return out;
}
