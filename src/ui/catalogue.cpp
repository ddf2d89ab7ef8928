#include "ui/catalogue.h"

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
