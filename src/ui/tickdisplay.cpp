#include "ui/tickdisplay.h"

#include <QStringList>
#include <QTableWidgetItem>
#include <QVector>

namespace TickDisplay {

QColor riseColour() { return QColor(173, 216, 230); }
QColor fallColour() { return QColor(255, 192, 203); }
QColor staleColour() { return QColor(200, 200, 200); }

void QuoteAges::noteQuotes(const QHash<QString, Quote> &quotes, qint64 nowMs)
{
    for (auto it = quotes.constBegin(); it != quotes.constEnd(); ++it)
        m_lastTickMs.insert(it.key(), nowMs);
}

qint64 QuoteAges::staleAge(const QString &symbol, qint64 nowMs) const
{
    if (m_linkUpMs < 0)
        return -1;
    const qint64 since = qMax(m_linkUpMs, m_lastTickMs.value(symbol, m_linkUpMs));
    const qint64 age = nowMs - since;
    return age > kStaleMs ? age : -1;
}

QString staleText(qint64 ageMs)
{
    const qint64 seconds = ageMs / 1000;
    if (seconds < 120)
        return QStringLiteral("No tick for %1 s").arg(seconds);
    return QStringLiteral("No tick for %1 min").arg(seconds / 60);
}

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

void markStale(QTableWidgetItem *cell, qint64 ageMs)
{
    // A role of our own says the grey is ours, whatever colour the cell had before.
    constexpr int kMarkedRole = Qt::UserRole + 16;
    if (!cell)
        return;
    if (ageMs >= 0) {
        const QString text = staleText(ageMs);
        if (!cell->data(kMarkedRole).toBool()) {
            cell->setBackground(staleColour());
            cell->setData(kMarkedRole, true);
        }
        if (cell->toolTip() != text)
            cell->setToolTip(text);
        return;
    }
    if (cell->data(kMarkedRole).toBool()) {
        cell->setBackground(QColor(Qt::white));
        cell->setToolTip(QString());
        cell->setData(kMarkedRole, false);
    }
}

} // namespace TickDisplay
