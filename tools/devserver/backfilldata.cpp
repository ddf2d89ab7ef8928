#include "backfilldata.h"

#include <QFile>
#include <QRegularExpression>

#include <cmath>
#include <cstdio>

namespace BackfillData {

namespace {

quint32 fnv(const QString &s)
{
    quint32 h = 2166136261u;
    for (const QChar c : s) {
        h ^= c.unicode();
        h *= 16777619u;
    }
    return h;
}

// A smooth deterministic walk around a symbol's own base price.
double priceAt(double base, quint32 seed, qint64 step)
{
    const double phase = (seed % 1000) / 159.0;
    return base * (1.0 + 0.03 * std::sin(step / 97.0 + phase) + 0.01 * std::sin(step / 7.0 + phase * 3));
}

void appendNumber(QByteArray &out, double v)
{
    char buf[32];
    const int n = std::snprintf(buf, sizeof buf, "%.2f", v);
    out.append(buf, n);
}

// ",open,high,low,close,volume" with high and low `spread` beyond the body of the bar.
void appendBar(QByteArray &out, double open, double close, double spread, qint64 volume)
{
    const double values[] = {open, qMax(open, close) * (1 + spread), qMin(open, close) * (1 - spread), close};
    for (double v : values) {
        out.append(',');
        appendNumber(out, v);
    }
    out.append(',').append(QByteArray::number(volume));
}

} // namespace

Catalogue demoCatalogue()
{
    Catalogue out;
    QFile f(QStringLiteral(":/demo.sql"));
    if (!f.open(QIODevice::ReadOnly))
        return out;
    const QString text = QString::fromUtf8(f.readAll());
    static const QRegularExpression pair(QStringLiteral("\\('([^']+)',\\s*'([A-Z]+)'\\)"));
    auto it = pair.globalMatch(text);
    while (it.hasNext()) {
        const auto m = it.next();
        out[m.captured(2)].append(m.captured(1));
    }
    return out;
}

bool loadCatalogue(const QString &path, Catalogue *out, QString *why)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *why = QStringLiteral("cannot read %1: %2").arg(path, f.errorString());
        return false;
    }
    Catalogue c;
    int lineNo = 0;
    while (!f.atEnd()) {
        ++lineNo;
        const QString line = QString::fromUtf8(f.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const QStringList parts = line.split(QLatin1Char(','));
        if (parts.size() != 2 || parts[0].trimmed().isEmpty() || parts[1].trimmed().isEmpty()) {
            *why = QStringLiteral("%1:%2: want SEGMENT,SYMBOL").arg(path).arg(lineNo);
            return false;
        }
        c[parts[0].trimmed()].append(parts[1].trimmed());
    }
    *out = c;
    return true;
}

QString segmentOf(const Catalogue &catalogue, const QString &symbol)
{
    for (auto it = catalogue.constBegin(); it != catalogue.constEnd(); ++it) {
        if (it.value().contains(symbol))
            return it.key();
    }
    return QStringLiteral("CASH");
}

QString segmentOfFeed(const QString &feed)
{
    static const QMap<QString, QString> names{
        {QStringLiteral("COMM"), QStringLiteral("MCX")},
        {QStringLiteral("SPOT"), QStringLiteral("SPOTINDEX")},
    };
    static const QStringList codes{
        QStringLiteral("CASH"), QStringLiteral("FUTURE"), QStringLiteral("OPTION"),
        QStringLiteral("MCX"), QStringLiteral("CURRENCY"), QStringLiteral("SPOTINDEX"),
        QStringLiteral("NCDEX"), QStringLiteral("CMOPT"), QStringLiteral("FOREX")};
    if (names.contains(feed))
        return names.value(feed);
    return codes.contains(feed) ? feed : QString();
}

QVector<QDate> weekdaysBack(const QDate &end, int count)
{
    QVector<QDate> days;
    QDate d = end;
    while (days.size() < count) {
        if (d.dayOfWeek() <= 5)
            days.prepend(d);
        d = d.addDays(-1);
    }
    return days;
}

QVector<QDate> eodPeriod(int period, const QDate &today)
{
    QDate from;
    QDate to = today;
    if (period == 1)
        return weekdaysBack(today, 5);
    if (period == 2) {
        from = QDate(today.year(), 1, 1);
    } else {
        from = QDate(today.year() - 2, 1, 1);
        to = QDate(today.year() - 1, 12, 31);
    }
    QVector<QDate> days;
    for (QDate d = from; d <= to; d = d.addDays(1)) {
        if (d.dayOfWeek() <= 5)
            days.append(d);
    }
    return days;
}

QByteArray intradayBars(const QString &segment, const QString &symbol, int days, const QDate &today)
{
    const quint32 seed = fnv(symbol);
    const double base = 100 + seed % 5000;
    const QByteArray prefix = segment.toUtf8() + ',' + symbol.toUtf8() + ',';
    QByteArray out;
    out.reserve(qint64(days) * kBarsPerDay * 72);
    const QVector<QDate> dates = weekdaysBack(today, days);
    qint64 step = 0;
    for (const QDate &date : dates) {
        const QByteArray day = date.toString(QStringLiteral("yyyyMMdd")).toLatin1();
        for (int i = 0; i < kBarsPerDay; ++i, ++step) {
            const int minute = 9 * 60 + 15 + i;
            char time[16];
            std::snprintf(time, sizeof time, "%02d:%02d:00", minute / 60, minute % 60);
            const double open = priceAt(base, seed, step);
            const double close = priceAt(base, seed, step + 1);
            out.append(prefix).append(day).append(',').append(time);
            appendBar(out, open, close, 0.001, 1000 + (seed + step) % 9000);
            out.append(',').append(QByteArray::number(seed % 100000)).append('\n');
        }
    }
    return out;
}

QByteArray eodBars(const QString &segment, const QString &symbol, const QVector<QDate> &days)
{
    const quint32 seed = fnv(symbol);
    const double base = 100 + seed % 5000;
    const QByteArray prefix = segment.toUtf8() + ',' + symbol.toUtf8() + ',';
    QByteArray out;
    for (const QDate &date : days) {
        const qint64 step = date.toJulianDay();
        const double open = priceAt(base, seed, step * 3);
        const double close = priceAt(base, seed, step * 3 + 2);
        out.append(prefix).append(date.toString(QStringLiteral("yyyyMMdd")).toLatin1());
        appendBar(out, open, close, 0.01, 100000 + (seed + step) % 900000);
        out.append(",0\n");
    }
    return out;
}

} // namespace BackfillData
