#include "live/datahealth.h"

#include <QStringList>

#include <limits>

namespace DataHealth {

QString stateText(const Row &row)
{
    if (row.repairing)
        return QStringLiteral("Repairing");
    if (row.health.missing > 0)
        return QStringLiteral("Missing %1 min").arg(row.health.missing);
    if (row.quiet)
        return QStringLiteral("Quiet");
    return QStringLiteral("Complete");
}

QString ageText(qint64 ageMs)
{
    if (ageMs < 0)
        return QStringLiteral("-");
    const qint64 s = ageMs / 1000;
    return s < 120 ? QStringLiteral("%1 s").arg(s) : QStringLiteral("%1 min").arg(s / 60);
}

QString missingText(const Row &row)
{
    QStringList parts;
    for (const DayLedger::Range &r : row.health.missingRanges)
        parts.append(DayLedger::rangeText(r));
    return parts.join(QStringLiteral(", "));
}

QString columnTitle(Column column)
{
    switch (column) {
    case Column::Symbol: return QStringLiteral("Symbol");
    case Column::LastTick: return QStringLiteral("Last Tick");
    case Column::Covered: return QStringLiteral("Minutes Covered");
    case Column::Repaired: return QStringLiteral("Repaired");
    case Column::Missing: return QStringLiteral("Missing");
    case Column::MissingMinutes: return QStringLiteral("Missing Minutes");
    case Column::State: return QStringLiteral("State");
    case Column::Count: break;
    }
    return {};
}

QString cellText(const Row &row, Column column)
{
    switch (column) {
    case Column::Symbol: return row.symbol;
    case Column::LastTick: return ageText(row.lastTickAgeMs);
    case Column::Covered: return QString::number(row.health.covered);
    case Column::Repaired: return QString::number(row.health.repaired);
    case Column::Missing: return QString::number(row.health.missing);
    case Column::MissingMinutes: return missingText(row);
    case Column::State: return stateText(row);
    case Column::Count: break;
    }
    return {};
}

qint64 sortValue(const Row &row, Column column)
{
    switch (column) {
    case Column::LastTick: return row.lastTickAgeMs < 0 ? std::numeric_limits<qint64>::max() : row.lastTickAgeMs;
    case Column::Covered: return row.health.covered;
    case Column::Repaired: return row.health.repaired;
    case Column::Missing:
    case Column::MissingMinutes: return row.health.missing;
    // Worst first when sorted descending: repairing, missing (by count), quiet, complete.
    case Column::State: return row.repairing ? 1000000 : row.health.missing > 0 ? 1000 + row.health.missing : row.quiet ? 1 : 0;
    default: return 0;
    }
}

QString summaryText(const QList<Row> &rows, int sessionStart)
{
    if (rows.isEmpty())
        return QStringLiteral("Data: no watchlist");
    int missing = 0;
    for (const Row &r : rows) {
        if (r.health.missing > 0)
            ++missing;
    }
    if (missing == 0)
        return QStringLiteral("Data: %1/%1 complete since %2").arg(rows.size()).arg(DayLedger::minuteText(sessionStart));
    return QStringLiteral("Data: %1 %2 missing minutes").arg(missing).arg(missing == 1 ? "symbol" : "symbols");
}

namespace {
QByteArray csvField(const QString &text)
{
    QByteArray f = text.toUtf8();
    // A symbol from the server that starts like a formula stays text in a spreadsheet.
    if (!f.isEmpty() && QByteArray("=+-@\t\r").contains(f.at(0)))
        f.prepend('\'');
    if (f.contains(',') || f.contains('"') || f.contains('\n') || f.contains('\r')) {
        f.replace('"', "\"\"");
        f = '"' + f + '"';
    }
    return f;
}
} // namespace

QByteArray csv(const QList<Row> &rows)
{
    const int columns = int(Column::Count);
    QByteArray out;
    for (int c = 0; c < columns; ++c)
        out += (c ? "," : "") + csvField(columnTitle(Column(c)));
    out += "\r\n";
    for (const Row &r : rows) {
        for (int c = 0; c < columns; ++c) {
            // The age as plain seconds, so a spreadsheet can sort it.
            const QString text = Column(c) == Column::LastTick
                                     ? (r.lastTickAgeMs < 0 ? QString() : QString::number(r.lastTickAgeMs / 1000))
                                     : cellText(r, Column(c));
            out += (c ? "," : "") + csvField(text);
        }
        out += "\r\n";
    }
    return out;
}

} // namespace DataHealth
