#pragma once

#include <QSettings>
#include <QString>
#include <QStringList>

#include <functional>

// The persisted settings: every key, its default and the first-start values.
// There is deliberately no wrapper object: each operation opens a short-lived store
// (appSettings()), reads or writes what it needs and lets it go, so a value written by
// one operation is seen by every later one.
namespace SettingsKeys {

inline const QString kOrganization = QStringLiteral("Vantrel Company");
inline const QString kApplication = QStringLiteral("Vantrel");
inline const QString kVersion = QStringLiteral("7.10");

inline const QString selectedSymbolsList = QStringLiteral("selectedSymbolsList");
inline const QString corrExchList = QStringLiteral("corrExchList");
inline const QString autoBackfillChecked = QStringLiteral("autoBackfillChecked");
inline const QString autoFilldays = QStringLiteral("autoFilldays");
inline const QString firstRun = QStringLiteral("firstRun");
inline const QString dataMode = QStringLiteral("Data Mode");
inline const QString fastBackfill = QStringLiteral("fastBackfill");
inline const QString slowBackfill = QStringLiteral("slowBackfill");
inline const QString saveLayout = QStringLiteral("saveLayout");
inline const QString controlAmibroker = QStringLiteral("controlAmibroker");
inline const QString selectedSymbolsBackfill = QStringLiteral("selectedSymbolsBackfill");
inline const QString lastFeed = QStringLiteral("lastFeed");
inline const QString symbolMappingEntries = QStringLiteral("SymbolMapping/entries");
// bool, default true: repair the charts after an interruption of the feed.
inline const QString autoGapFill = QStringLiteral("autoGapFill");

// "checkbox%1" for the segment button with the given index (0..8).
QString segmentCheckbox(int index);

// The fifteen default watchlist symbols and their exchange codes, index-aligned.
QStringList defaultSymbols();
QStringList defaultExchanges();

// Writes the first-start defaults, in their fixed order, for the keys the store does
// not hold yet; the watchlist pair only when neither list is stored.
void writeFirstStartDefaults();

} // namespace SettingsKeys

// Opens a short-lived settings store with the product's organization and application.
// Callers keep it on the stack for one operation only.
class AppSettings : public QSettings
{
public:
    AppSettings();

    // Writes through the observer (when one is installed), then to the store.
    void setValue(const QString &key, const QVariant &value);

    // Test seams, process-wide. A test scope keeps the store in a file under the user
    // path set with QSettings::setPath (IniFormat on Windows, the native INI file
    // elsewhere), so a test never touches the registry of the machine it runs on. The observer sees
    // every key written through AppSettings, in order.
    static void useTestScope(bool on);
    static bool isTestScope();
    using WriteObserver = std::function<void(const QString &key, const QVariant &value)>;
    static void setWriteObserver(WriteObserver observer);
};
