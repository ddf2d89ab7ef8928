#pragma once

#include "live/dayledger.h"

#include <QByteArray>
#include <QList>
#include <QString>

// What the "Data Health" dialog and the window's summary line say about each watchlist
// symbol, from the day ledger and the feed's state, without any widget.
namespace DataHealth {

struct Row
{
    QString symbol;           // as on the watchlist (the server's name)
    qint64 lastTickAgeMs = -1; // -1: no tick since the program started
    DayLedger::Health health;
    bool repairing = false;   // a repair or backfill request for it is queued or running
    bool quiet = false;       // no tick for over a minute while the link is up
};

enum class Column { Symbol, LastTick, Covered, Repaired, Missing, MissingMinutes, State, Count };

// "Repairing", "Missing 3 min", "Quiet" or "Complete", in that order of precedence.
QString stateText(const Row &row);
// "12 s", "4 min", "-" for no tick.
QString ageText(qint64 ageMs);
// "10:42–10:44, 11:02".
QString missingText(const Row &row);
// The text of one cell, and the value it sorts by.
QString cellText(const Row &row, Column column);
qint64 sortValue(const Row &row, Column column);
QString columnTitle(Column column);

// "Data: 15/15 complete since 09:15", "Data: 2 symbols missing minutes" (or "1 symbol"),
// "Data: no watchlist".
QString summaryText(const QList<Row> &rows, int sessionStart);

// The table as CSV (a header line, then one line per row; fields with a comma or quote are
// quoted), for the user's records.
QByteArray csv(const QList<Row> &rows);

} // namespace DataHealth
