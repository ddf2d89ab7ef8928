#include "live/watchlist.h"

#include "app/settingskeys.h"

#include <QDebug>
#include <QSet>
#include <QVector>
#include <utility>

namespace {

bool isUsableSymbol(const QString &symbol)
{
    if (symbol.isEmpty())
        return false;
    const QVector<uint> codePoints = symbol.toUcs4();
    for (uint c : codePoints) {
        if (!QChar::isPrint(c))
            return false;
    }
    return true;
}

} // namespace

Watchlist::Repair Watchlist::usableEntries(const QStringList &symbols, const QStringList &exchanges,
                                           const QStringList &knownExchanges)
{
    Repair repair;
    const int count = qMax(symbols.size(), exchanges.size());
    repair.kept.symbols.reserve(count);
    repair.kept.exchanges.reserve(count);
    const QSet<QString> known(knownExchanges.cbegin(), knownExchanges.cend());
    QSet<QString> seen;
    seen.reserve(count);
    for (int i = 0; i < count; ++i) {
        const QString symbol = symbols.value(i);
        const QString exchange = exchanges.value(i);
        const bool paired = i < symbols.size() && i < exchanges.size();
        if (paired && known.contains(exchange) && isUsableSymbol(symbol) && !seen.contains(symbol)) {
            seen.insert(symbol);
            repair.kept.symbols.append(symbol);
            repair.kept.exchanges.append(exchange);
            continue;
        }
        repair.dropped.append(QStringLiteral("%1 (%2)").arg(
            i >= symbols.size() ? QStringLiteral("no symbol")
                                : symbol.isEmpty() ? QStringLiteral("empty symbol") : symbol,
            i < exchanges.size() ? exchange : QStringLiteral("no exchange")));
    }
    return repair;
}

Watchlist::Watchlist(QObject *parent) : QObject(parent) {}

bool Watchlist::add(const QString &symbol, const QString &exchange)
{
    if (m_symbols.contains(symbol))
        return false;
    m_symbols.append(symbol);
    m_exchanges.append(exchange);
    emit changed();
    return true;
}

bool Watchlist::remove(const QString &symbol)
{
    const int at = m_symbols.indexOf(symbol);
    if (at < 0)
        return false;
    m_symbols.removeAt(at);
    if (at < m_exchanges.size())
        m_exchanges.removeAt(at);
    emit changed();
    return true;
}

void Watchlist::applyTicks(const QVector<QPair<QString, bool>> &shown, const QString &exchange)
{
    for (const auto &item : shown) {
        const int at = m_symbols.indexOf(item.first);
        if (item.second && at < 0) {
            m_symbols.append(item.first);
            m_exchanges.append(exchange);
        } else if (!item.second && at >= 0) {
            m_symbols.removeAt(at);
            if (at < m_exchanges.size())
                m_exchanges.removeAt(at);
        }
    }
    emit changed();
}

void Watchlist::clear() { replace({}); }

void Watchlist::replace(const Entries &entries)
{
    m_symbols = entries.symbols;
    m_exchanges = entries.exchanges;
    emit changed();
}

void Watchlist::setLimit(int limit)
{
    m_limit = limit;
    m_limitKnown = true;
}

void Watchlist::setLimitUnreadable()
{
    m_limit = 0;
    m_limitKnown = false;
}

QStringList Watchlist::restore(const QStringList &knownExchanges)
{
    Repair stored;
    {
        AppSettings store;
        stored = usableEntries(store.value(SettingsKeys::selectedSymbolsList, QStringList()).toStringList(),
                               store.value(SettingsKeys::corrExchList, QStringList()).toStringList(),
                               knownExchanges);
    }
    if (!stored.dropped.isEmpty()) {
        qDebug().noquote() << "Saved watchlist: left out" << stored.dropped.size()
                           << "unusable entries:" << stored.dropped.join(QStringLiteral(", "));
    }
    if (isOverLimit(stored.kept.symbols.size())) {
        qDebug().noquote() << "Saved watchlist of" << stored.kept.symbols.size()
                           << "symbols is over the account's limit of" << m_limit
                           << "and is not loaded; it stays saved for a later start";
        m_setAside = std::exchange(stored.kept, Entries());
    }
    replace(stored.kept);
    return stored.dropped;
}

void Watchlist::save(AppSettings &store) const
{
    const bool setAside = m_symbols.isEmpty() && !m_setAside.symbols.isEmpty();
    store.setValue(SettingsKeys::selectedSymbolsList, setAside ? m_setAside.symbols : m_symbols);
    store.setValue(SettingsKeys::corrExchList, setAside ? m_setAside.exchanges : m_exchanges);
}

QString Watchlist::repairedText(const QStringList &dropped)
{
    constexpr int kNamed = 10;
    QString names = QStringList(dropped.mid(0, kNamed)).join(QLatin1Char('\n'));
    if (dropped.size() > kNamed)
        names += QStringLiteral("\n... and %1 more").arg(dropped.size() - kNamed);
    return QStringLiteral("%1 saved watchlist entries could not be used and were left out:\n%2")
        .arg(dropped.size())
        .arg(names);
}
