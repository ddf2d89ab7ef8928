#pragma once

#include <QByteArray>
#include <QColor>
#include <QHash>
#include <QtGlobal>
#include <QString>
#include <optional>

class QTableWidgetItem;

// What the watchlist table shows from a tick batch, without the table.
namespace TickDisplay {

struct Quote
{
    QString ltp; // last traded price, as text
    QString ltq; // last traded quantity, as text
};

// Newest price and quantity per symbol of a batch of tick lines. The text ends at the
// first zero byte; empty lines and lines mentioning "failed" (any case) are skipped; a
// line needs more than five comma-separated fields (symbol in field 1, price in 4,
// quantity in 5); a later line for the same symbol wins.
QHash<QString, Quote> parseBatch(const QByteArray &batch);

// Cell colour when a shown value changes from oldText to newText: light blue when it
// rose, pink when it fell, white when either side is not a number; no value (keep the
// colour) when both are numbers and equal.
std::optional<QColor> changeColour(const QString &oldText, const QString &newText);

QColor riseColour(); // RGB(173, 216, 230)
QColor fallColour(); // RGB(255, 192, 203)
QColor staleColour(); // RGB(200, 200, 200)

// When each watchlist symbol last had a tick, to show a symbol that has gone quiet while
// the link is up. Times are milliseconds of one monotonic clock of the caller's.
class QuoteAges
{
public:
    static constexpr qint64 kStaleMs = 60000;

    // The link is up (subscribed) from nowMs: a symbol without a tick since then ages
    // from this moment.
    void linkUp(qint64 nowMs) { m_linkUpMs = nowMs; }
    // While the link is down nothing is stale: the status line tells that story.
    void linkDown() { m_linkUpMs = -1; }
    bool isLinkUp() const { return m_linkUpMs >= 0; }
    void noteQuotes(const QHash<QString, Quote> &quotes, qint64 nowMs);
    // How long the symbol has had no tick when that is more than kStaleMs with the link
    // up; -1 otherwise.
    qint64 staleAge(const QString &symbol, qint64 nowMs) const;

private:
    QHash<QString, qint64> m_lastTickMs;
    qint64 m_linkUpMs = -1;
};

// "No tick for 75 s" (minutes from 120 s on: "No tick for 3 min").
QString staleText(qint64 ageMs);

// Greys a price cell with the age in its tooltip (ageMs >= 0), or takes a mark it set off
// again (ageMs < 0), leaving the rise and fall colours of unmarked cells alone.
void markStale(QTableWidgetItem *cell, qint64 ageMs);

} // namespace TickDisplay
