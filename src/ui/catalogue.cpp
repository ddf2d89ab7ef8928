#include "ui/catalogue.h"

#include "serverdb/serverdatabase.h"

namespace Catalogue {

QStringList segmentCodes()
{
    return {QStringLiteral("CASH"),      QStringLiteral("FUTURE"), QStringLiteral("OPTION"),
            QStringLiteral("MCX"),       QStringLiteral("CURRENCY"), QStringLiteral("SPOTINDEX"),
            QStringLiteral("NCDEX"),     QStringLiteral("CMOPT"),  QStringLiteral("FOREX")};
}

QStringList segmentButtonNames()
{
    return {QStringLiteral("cashBox"),  QStringLiteral("futureBox"), QStringLiteral("optionBox"),
            QStringLiteral("commBox"),  QStringLiteral("currBox"),   QStringLiteral("spotBox"),
            QStringLiteral("SXOPTBox"), QStringLiteral("SXOPTBox2"), QStringLiteral("ForexBox")};
}

QStringList segmentLabels()
{
    return {QStringLiteral("CASH"),  QStringLiteral("FUTURE"), QStringLiteral("OPTION"),
            QStringLiteral("COMM"),  QStringLiteral("CURR"),   QStringLiteral("SPOT"),
            QStringLiteral("SXOPT"), QStringLiteral("CMOPT"),  QStringLiteral("FOREX")};
}

int indexOfCode(const QString &code) { return segmentCodes().indexOf(code); }

QStringList filter(const QStringList &symbols, const QString &searchText)
{
    const QString needle = searchText.trimmed().toUpper();
    if (needle.isEmpty())
        return symbols;
    QStringList kept;
    for (const QString &symbol : symbols) {
        if (symbol.toUpper().contains(needle))
            kept.append(symbol);
    }
    return kept;
}

} // namespace Catalogue

void SymbolCatalogue::loadAll()
{
    if (m_database->isOpen())
        m_database->loadCatalogue(&m_cache);
}

QStringList SymbolCatalogue::segment(const QString &exchangeCode)
{
    auto it = m_cache.find(exchangeCode);
    if (it == m_cache.end() || it->isEmpty()) {
        const QStringList symbols = m_database->isOpen() ? m_database->segmentSymbols(exchangeCode) : QStringList();
        it = m_cache.insert(exchangeCode, symbols);
    }
    return *it;
}
