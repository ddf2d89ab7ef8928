#include "app/settingskeys.h"

namespace SettingsKeys {

QString segmentCheckbox(int index) { return QStringLiteral("checkbox%1").arg(index); }

QStringList defaultSymbols()
{
    return {QStringLiteral("BANKNIFTY-I"), QStringLiteral("CRUDEOIL-I"), QStringLiteral("GOLDM-I"),
            QStringLiteral("SILVERM-I"),   QStringLiteral("USDINR-I"),   QStringLiteral("INDIAVIX"),
            QStringLiteral("ICICIBANK"),   QStringLiteral("NIFTY-I"),    QStringLiteral("BTCUSD"),
            QStringLiteral("EURUSD"),      QStringLiteral("XAGUSD"),     QStringLiteral("XAUUSD"),
            QStringLiteral("XNGUSD"),      QStringLiteral("XRPUSD"),     QStringLiteral("ETHUSD")};
}

QStringList defaultExchanges()
{
    return {QStringLiteral("FUTURE"),   QStringLiteral("MCX"),       QStringLiteral("MCX"),
            QStringLiteral("MCX"),      QStringLiteral("CURRENCY"),  QStringLiteral("SPOTINDEX"),
            QStringLiteral("CASH"),     QStringLiteral("FUTURE"),    QStringLiteral("FOREX"),
            QStringLiteral("FOREX"),    QStringLiteral("FOREX"),     QStringLiteral("FOREX"),
            QStringLiteral("FOREX"),    QStringLiteral("FOREX"),     QStringLiteral("FOREX")};
}

void writeFirstStartDefaults()
{
    AppSettings s;
    s.setValue(selectedSymbolsList, defaultSymbols());
    s.setValue(corrExchList, defaultExchanges());
    s.setValue(autoBackfillChecked, true);
    s.setValue(autoFilldays, QStringLiteral("5"));
    s.setValue(dataMode, 2);
    s.setValue(fastBackfill, true);
    s.setValue(slowBackfill, false);
    s.setValue(saveLayout, false);
    s.setValue(controlAmibroker, false);
}

} // namespace SettingsKeys
