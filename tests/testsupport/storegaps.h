#pragma once

#include <QList>
#include <QString>

// What the broker stand-in's store under an installation root holds for a symbol, by
// minute: the minutes between its first and last quote that have no quote (minutes since
// the epoch of the store's timestamps). `error` says why there is no answer (no store, no
// quotes) and the list is empty then.
namespace StoreGaps {

QList<qint64> missingMinutes(const QString &root, const QString &symbol, QString *error);
// "HH:mm" of such a minute, as the charting program shows it.
QString clock(qint64 minute);
// "2026-12-09 10:42:00.000" of such a minute.
QString stamp(qint64 minute);

} // namespace StoreGaps
