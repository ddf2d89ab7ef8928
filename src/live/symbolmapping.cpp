#include "live/symbolmapping.h"

#include "app/settingskeys.h"

#include <QSet>

namespace SymbolMapping {

int splitEntry(const QString &raw, QString *oldName, QString *newName)
{
    const QString entry = raw.trimmed();
    if (entry.isEmpty())
        return 0;
    const QStringList parts = entry.split(QLatin1Char(','), Qt::KeepEmptyParts);
    *oldName = parts.at(0).trimmed();
    *newName = parts.size() > 1 ? parts.at(1).trimmed() : QString();
    return int(parts.size());
}

// A stored name ends up inside an import line: a line break or other control character
// in it would split or corrupt that line, so such an entry is never applied.
static bool hasControlCharacter(const QString &name)
{
    for (const QChar c : name) {
        if (c.category() == QChar::Other_Control)
            return true;
    }
    return false;
}

// A usable pair for the look-ups: a comma was there, the old name is not empty and
// neither name holds a control character.
static bool splitPair(const QString &raw, QString *oldName, QString *newName)
{
    return splitEntry(raw, oldName, newName) >= 2 && !oldName->isEmpty()
           && !hasControlCharacter(*oldName) && !hasControlCharacter(*newName);
}

QString makeEntry(const QString &oldName, const QString &newName)
{
    QString o = oldName.trimmed(), n = newName.trimmed();
    o.replace(QLatin1Char(','), QLatin1Char(' '));
    n.replace(QLatin1Char(','), QLatin1Char(' '));
    return o + QLatin1Char(',') + n;
}

bool storeEntries(const QStringList &entries)
{
    AppSettings settings;
    settings.setValue(SettingsKeys::symbolMappingEntries, entries);
    settings.sync();
    return settings.status() == QSettings::NoError;
}

SymbolMap parse(const QStringList &entries)
{
    SymbolMap map;
    QString oldName, newName;
    for (const QString &raw : entries) {
        if (splitPair(raw, &oldName, &newName) && !newName.isEmpty())
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
        if (splitPair(raw, &oldName, &mappedName) && mappedName == newName)
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

QStringList mergingEntries(const QStringList &entries, const QStringList &followed)
{
    const SymbolMap map = parse(entries);
    const QSet<QString> watched(followed.cbegin(), followed.cend());
    // The name each followed symbol is given in the charting program.
    QHash<QString, QStringList> byTarget;
    for (const QString &symbol : followed)
        byTarget[map.value(symbol, symbol)].append(symbol);

    QStringList found;
    QSet<QString> reported;
    QString oldName, newName;
    for (const QString &raw : entries) {
        if (!splitPair(raw, &oldName, &newName) || newName.isEmpty() || newName == oldName
            || map.value(oldName) != newName || !watched.contains(oldName) || reported.contains(oldName))
            continue;
        QStringList others = byTarget.value(newName);
        if (watched.contains(newName) && !others.contains(newName))
            others.append(newName);
        others.removeAll(oldName);
        if (others.isEmpty())
            continue;
        reported.insert(oldName);
        found.append(QStringLiteral("%1 -> %2 (%3 also in the watchlist)")
                         .arg(oldName, newName, others.join(QStringLiteral(", "))));
    }
    return found;
}

} // namespace SymbolMapping
