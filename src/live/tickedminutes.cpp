#include "live/tickedminutes.h"

#include "live/linefields.h"

#include <QMutexLocker>

#include <algorithm>
#include <cstring>
#include <limits>

namespace MinuteKey {

namespace {

const qint64 kJulian2000 = QDate(2000, 1, 1).toJulianDay();

bool digits(const char *p, int n, int *value)
{
    int v = 0;
    for (int i = 0; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9')
            return false;
        v = v * 10 + (p[i] - '0');
    }
    *value = v;
    return true;
}

qint64 keyOf(const QDate &date, int hour, int minute)
{
    return (date.toJulianDay() - kJulian2000) * 1440 + hour * 60 + minute;
}

} // namespace

bool parse(const char *date, qint64 dateSize, const char *time, qint64 timeSize, qint64 *key)
{
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (dateSize != 8 || !digits(date, 4, &y) || !digits(date + 4, 2, &mo) || !digits(date + 6, 2, &d)
        || !QDate::isValid(y, mo, d))
        return false;
    if (timeSize < 5 || time[2] != ':' || !digits(time, 2, &h) || !digits(time + 3, 2, &mi))
        return false;
    if (timeSize > 5) {
        if (timeSize < 8 || time[5] != ':' || !digits(time + 6, 2, &s))
            return false;
        if (timeSize > 8) {
            int fraction = 0;
            if (time[8] != '.' || timeSize == 9 || timeSize > 18
                || !digits(time + 9, int(timeSize - 9), &fraction))
                return false;
        }
    }
    if (h > 23 || mi > 59 || s > 59)
        return false;
    *key = keyOf(QDate(y, mo, d), h, mi);
    return true;
}

qint64 of(const QDateTime &moment)
{
    const QDateTime local = moment.toLocalTime();
    return keyOf(local.date(), local.time().hour(), local.time().minute());
}

} // namespace MinuteKey

void TickedMinutes::insert(Runs *runs, qint64 minute)
{
    if (minute < std::numeric_limits<qint32>::min() || minute > std::numeric_limits<qint32>::max())
        return;
    const auto m = qint32(minute);
    // Ticks come in time order: almost every one falls into or right after the last run.
    if (!runs->isEmpty()) {
        Run &back = runs->last();
        if (m >= back.first && m <= back.last)
            return;
        if (m == back.last + 1) {
            back.last = m;
            return;
        }
    }
    if (runs->isEmpty() || m > runs->last().last + 1) {
        runs->append(Run{m, m});
    } else {
        // The first run that ends at most one minute before m.
        auto it = std::lower_bound(runs->begin(), runs->end(), m,
                                   [](const Run &r, qint32 v) { return qint64(r.last) + 1 < v; });
        if (it->first > m + 1) {
            runs->insert(it, Run{m, m});
        } else if (it->first == m + 1) {
            it->first = m;
        } else if (it->last + 1 == m) {
            it->last = m;
            const auto next = it + 1;
            if (next != runs->end() && next->first == m + 1) {
                it->last = next->last;
                runs->erase(next);
            }
        } // else: inside the run already
    }
    if (runs->size() > kMaxRunsPerSymbol)
        runs->remove(0, runs->size() - kMaxRunsPerSymbol);
}

bool TickedMinutes::contains(const Runs &runs, qint64 minute)
{
    return coversAll(runs, minute, minute);
}

bool TickedMinutes::coversAll(const Runs &runs, qint64 first, qint64 last)
{
    // Runs never touch, so a covered stretch lies inside one run.
    const auto it = std::lower_bound(runs.cbegin(), runs.cend(), first,
                                     [](const Run &r, qint64 v) { return r.last < v; });
    return it != runs.cend() && it->first <= first && it->last >= last;
}

void TickedMinutes::note(const QByteArray &tickLines)
{
    const char *p = tickLines.constData();
    const char *end = p + tickLines.size();
    QMutexLocker lock(&m_mutex);
    QByteArray lastSymbol;
    Runs *runs = nullptr;
    while (p < end) {
        const auto *nl = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
        const char *lineEnd = nl ? nl : end;
        LineFields::Field f[4];
        if (LineFields::split(p, lineEnd - p, f, 4) == 4) {
            qint64 time = f[3].length;
            // The recorder's lines end in a line feed; a carriage return may come before it.
            if (time > 0 && p[f[3].start + time - 1] == '\r')
                --time;
            qint64 minute = 0;
            if (f[1].length > 0
                && MinuteKey::parse(p + f[2].start, f[2].length, p + f[3].start, time, &minute)) {
                const char *symbol = p + f[1].start;
                if (!runs || lastSymbol.size() != f[1].length
                    || std::memcmp(lastSymbol.constData(), symbol, size_t(f[1].length)) != 0) {
                    lastSymbol = QByteArray(symbol, int(f[1].length));
                    auto found = m_map.find(lastSymbol);
                    if (found == m_map.end() && m_map.size() < kMaxSymbols)
                        found = m_map.insert(lastSymbol, Runs());
                    runs = found == m_map.end() ? nullptr : &found.value();
                }
                if (runs)
                    insert(runs, minute);
            }
        }
        p = lineEnd + 1;
    }
}

TickedMinutes::Map TickedMinutes::snapshot() const
{
    QMutexLocker lock(&m_mutex);
    return m_map;
}
