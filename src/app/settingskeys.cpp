#include "app/settingskeys.h"

#include <atomic>

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
    // Only what is missing: an account the server does not know (or a server that answers
    // wrongly) must not replace a watchlist or a choice the user already made.
    auto fill = [&s](const QString &key, const QVariant &value) {
        if (!s.contains(key))
            s.setValue(key, value);
    };
    if (!s.contains(selectedSymbolsList) && !s.contains(corrExchList)) {
        s.setValue(selectedSymbolsList, defaultSymbols());
        s.setValue(corrExchList, defaultExchanges());
    }
    fill(autoBackfillChecked, true);
    fill(autoFilldays, QStringLiteral("5"));
    fill(dataMode, 2);
    fill(fastBackfill, true);
    fill(slowBackfill, false);
    fill(saveLayout, false);
    fill(controlAmibroker, false);
}

} // namespace SettingsKeys

namespace {
std::atomic<bool> g_testScope{false};
AppSettings::WriteObserver &writeObserver()
{
    static AppSettings::WriteObserver observer;
    return observer;
}
} // namespace

// Off Windows the native store already is an INI file under the redirectable user path,
// and the real binary started by end-to-end tests must read the same file; on Windows the
// native store is the registry, which no path redirects.
static QSettings::Format storeFormat()
{
#ifdef Q_OS_WIN
    return g_testScope.load() ? QSettings::IniFormat : QSettings::NativeFormat;
#else
    return QSettings::NativeFormat;
#endif
}

AppSettings::AppSettings()
    : QSettings(storeFormat(), QSettings::UserScope, SettingsKeys::kOrganization,
                SettingsKeys::kApplication)
{
}

void AppSettings::setValue(const QString &key, const QVariant &value)
{
    if (const WriteObserver &observer = writeObserver())
        observer(key, value);
    QSettings::setValue(key, value);
}

void AppSettings::useTestScope(bool on) { g_testScope.store(on); }
bool AppSettings::isTestScope() { return g_testScope.load(); }
void AppSettings::setWriteObserver(WriteObserver observer) { writeObserver() = std::move(observer); }
