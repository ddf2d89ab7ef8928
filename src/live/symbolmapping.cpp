#include "live/symbolmapping.h"

#include "app/settingskeys.h"

namespace SymbolMapping {

SymbolMap parse(const QStringList &entries)
{
    SymbolMap map;
    for (const QString &raw : entries) {
        const QString entry = raw.trimmed();
        if (entry.isEmpty())
            continue;
        const QStringList parts = entry.split(QLatin1Char(','), Qt::KeepEmptyParts);
        if (parts.size() < 2)
            continue;
        const QString oldName = parts.at(0).trimmed();
        const QString newName = parts.at(1).trimmed();
        if (oldName.isEmpty() || newName.isEmpty())
            continue;
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
    for (const QString &raw : entries) {
        const QString entry = raw.trimmed();
        if (entry.isEmpty())
            continue;
        const QStringList parts = entry.split(QLatin1Char(','), Qt::KeepEmptyParts);
        if (parts.size() < 2)
            continue;
        const QString oldName = parts.at(0).trimmed();
        if (!oldName.isEmpty() && parts.at(1).trimmed() == newName)
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
