#include "live/dayledger.h"

#include "live/linefields.h"
#include "live/tickedminutes.h"
#include "platform/statefile.h"

#include <QDebug>
#include <QMutexLocker>

#include <cstring>

namespace {

const QByteArray kMagic = QByteArrayLiteral("VANTREL-DAYLEDGER 1");

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
    const qint64 dayBase = MinuteKey::of(QDateTime(at.date(), QTime(0, 0)));

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
        const auto *eol = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
        const char *lineEnd = eol ? eol : end;
        LineFields::Field f[4];
        qint64 key = 0;
        if (LineFields::split(p, lineEnd - p, f, 4) == 4) {
            qint64 timeSize = f[3].length;
            if (timeSize > 0 && p[f[3].start + timeSize - 1] == '\r')
                --timeSize;
            if (MinuteKey::parse(p + f[2].start, f[2].length, p + f[3].start, timeSize, &key)
                && key >= dayBase && key < dayBase + kMinutesPerDay) {
                const int minute = int(key - dayBase);
                const char *symbol = p + f[1].start;
                const int symbolSize = int(f[1].length);
                if (marks.isEmpty() || marks.last().minute != minute || marks.last().symbol.size() != symbolSize
                    || std::memcmp(marks.last().symbol.constData(), symbol, size_t(symbolSize)) != 0)
                    marks.append({QByteArray(symbol, symbolSize), minute});
            }
        }
        p = lineEnd + 1;
    }
    if (marks.isEmpty())
        return;

    QMutexLocker lock(&m_mutex);
    advanceLocked(at);
    const qint64 nowMs = at.toMSecsSinceEpoch();
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
            m->lastLiveMs = nowMs;
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
    return m_firstLive >= 0 ? m_firstLive : kSessionOpenMinute;
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
    h.lastTickAgeMs = m && m->lastLiveMs >= 0 ? qMax<qint64>(0, at.toMSecsSinceEpoch() - m->lastLiveMs) : -1;
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
    // Only a regular file of ours: a link, FIFO or device is never opened, an oversized
    // file is not read.
    QByteArray text;
    QString error;
    bool missing = false;
    if (!StateFile::read(m_filePath, kMaxFileBytes, &text, &error, &missing)) {
        if (!missing)
            qDebug().noquote() << "DayLedger: ignoring" << m_filePath << "(" << error << ")";
        return false;
    }
    const bool ok = decode(text);
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
        m_dirty = false; // changes from here on are saved next time
    }
    QString error;
    if (!StateFile::replace(m_filePath, encode(), &error)) {
        qDebug().noquote() << "DayLedger: cannot write" << m_filePath << error;
        QMutexLocker lock(&m_mutex);
        m_dirty = true;
        return false;
    }
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
