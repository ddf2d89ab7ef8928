#include "live/symbolmapping.h"

#include "app/settingskeys.h"

namespace SymbolMapping {

// One stored entry split into its trimmed old and new names; false when the entry has
// no comma at all. Parts after the second are ignored.
static bool splitEntry(const QString &raw, QString *oldName, QString *newName)
{
    const QString entry = raw.trimmed();
    if (entry.isEmpty())
        return false;
    const QStringList parts = entry.split(QLatin1Char(','), Qt::KeepEmptyParts);
    if (parts.size() < 2)
        return false;
    *oldName = parts.at(0).trimmed();
    *newName = parts.at(1).trimmed();
    return true;
}

SymbolMap parse(const QStringList &entries)
{
    SymbolMap map;
    QString oldName, newName;
    for (const QString &raw : entries) {
        if (splitEntry(raw, &oldName, &newName) && !oldName.isEmpty() && !newName.isEmpty())
            map.insert(oldName, newName);
    }
    return map;
}

QStringList storedEntries()
{
    AppSettings settings;
    return settings.value(SettingsKeys::symbolMappingEntries, QStringList()).toStringList();
}

SymbolMap load() { return parse(storedEntries()); }

QString reverse(const QStringList &entries, const QString &newName)
{
    if (newName.isEmpty())
        return newName;
    QString oldName, mappedName;
    for (const QString &raw : entries) {
        if (splitEntry(raw, &oldName, &mappedName) && !oldName.isEmpty() && mappedName == newName)
            return oldName;
    }
    return newName;
}

QString reverseLookup(const QString &newName)
{
    if (newName.isEmpty())
        return newName;
    return reverse(storedEntries(), newName);
}

QString reverse(const SymbolMap &map, const QString &newName)
{
    if (newName.isEmpty())
        return newName;
    QString found;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        if (it.value() == newName && !it.key().isEmpty()
            && (found.isEmpty() || it.key() < found))
            found = it.key();
    }
    return found.isEmpty() ? newName : found;
}

} // namespace SymbolMapping
