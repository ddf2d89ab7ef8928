#pragma once

#include <QByteArray>
#include <QColor>
#include <QHash>
#include <QString>
#include <optional>

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

} // namespace TickDisplay
