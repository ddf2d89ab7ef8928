#include "storegaps.h"

#include "platform/standin/quotestore.h"

#include <QSet>

namespace StoreGaps {

QList<qint64> missingMinutes(const QString &root, const QString &symbol, QString *error)
{
    QuoteStore store;
    if (!store.open(root + QStringLiteral("/Amibroker/RTDataDatabase"))) {
        *error = QStringLiteral("no store: ") + store.errorString();
        return {};
    }
    QSet<qint64> minutes;
    qint64 first = 0;
    qint64 last = 0;
    for (const ImportedQuote &q : store.quotes(symbol)) {
        const qint64 m = q.timestampMs / 60000;
        minutes.insert(m);
        first = first ? qMin(first, m) : m;
        last = qMax(last, m);
    }
    error->clear();
    if (minutes.isEmpty()) {
        *error = QStringLiteral("no quotes of ") + symbol;
        return {};
    }
    QList<qint64> missing;
    for (qint64 m = first; m <= last; ++m) {
        if (!minutes.contains(m))
            missing.append(m);
    }
    return missing;
}

QString stamp(qint64 minute) { return QuoteStore::formatTimestamp(minute * 60000); }

QString clock(qint64 minute) { return stamp(minute).mid(11, 5); }

} // namespace StoreGaps
