#pragma once

#include "ui/tickdisplay.h"

#include <QByteArray>
#include <QObject>
#include <QStringList>

#include <functional>

class QPushButton;
class QTableWidget;

// The watchlist's display table: one row per symbol with its last price and quantity,
// coloured by the direction of a change and greyed while the symbol is quiet with the link
// up, and the row's "Backfill" and "X" buttons.
class WatchlistTable : public QObject
{
public:
    explicit WatchlistTable(QTableWidget *table);

    // The table's font and its header's: Monospace, 12 pixels.
    void useMonospace();

    // Fills the table for the watchlist (after useMonospace()): headers, widths, one row per symbol with zeroes
    // where no quote was shown yet, and the row buttons (object names "<symbol>" with the
    // property "exchName", and "<symbol>1,<exchange>"), each handed to `wire` once per fill.
    using WireButtons = std::function<void(QPushButton *backfill, QPushButton *remove)>;
    void fill(const QStringList &symbols, const QStringList &exchanges, const WireButtons &wire);

    // Shows the newest price and quantity of each watchlist symbol in `batch` (the rows
    // follow the watchlist); nowMs on the caller's monotonic clock.
    void showQuotes(const QStringList &symbols, const QByteArray &batch, qint64 nowMs);

    // Quiet symbols are marked only while the link is up.
    void linkUp(qint64 nowMs) { m_quoteAges.linkUp(nowMs); }
    void linkDown() { m_quoteAges.linkDown(); }

    static const QStringList &headers();

private:
    QTableWidget *m_table;
    // When each symbol last had a tick.
    TickDisplay::QuoteAges m_quoteAges;
    QByteArray m_lastShownBatch;
};
