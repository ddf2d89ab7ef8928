#include "ui/tickdisplay.h"

#include <QStringList>
#include <QVector>

namespace TickDisplay {

QColor riseColour() { return QColor(173, 216, 230); }
QColor fallColour() { return QColor(255, 192, 203); }

QHash<QString, Quote> parseBatch(const QByteArray &batch)
{
    QHash<QString, Quote> quotes;
    const int zero = batch.indexOf('\0');
    const QString text = QString::fromUtf8(zero < 0 ? batch : batch.left(zero));
    const QVector<QStringRef> lines = text.splitRef(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QStringRef &line : lines) {
        if (line.contains(QLatin1String("failed"), Qt::CaseInsensitive))
            continue;
        const QVector<QStringRef> fields = line.split(QLatin1Char(','), Qt::KeepEmptyParts);
        if (fields.size() > 5)
            quotes.insert(fields.at(1).toString(), {fields.at(4).toString(), fields.at(5).toString()});
    }
    return quotes;
}

std::optional<QColor> changeColour(const QString &oldText, const QString &newText)
{
    bool oldOk = false;
    bool newOk = false;
    const double oldValue = oldText.toDouble(&oldOk);
    const double newValue = newText.toDouble(&newOk);
    if (!oldOk || !newOk)
        return QColor(Qt::white);
    if (oldValue < newValue)
        return riseColour();
    if (newValue < oldValue)
        return fallColour();
    return std::nullopt;
}

} // namespace TickDisplay
