#include "ui/symbolpicker.h"

#include <QAbstractItemModel>
#include <QColor>
#include <QListWidget>
#include <QSet>

void SymbolPicker::show(const QStringList &symbols, const QStringList &watched, bool quietly)
{
    QFont monospace(QStringLiteral("Monospace"));
    monospace.setPixelSize(12);
    m_list->setFont(monospace);
    const bool listBlocked = quietly && m_list->blockSignals(true);
    m_list->clear();
    m_list->addItems(symbols);
    const QSet<QString> ticked(watched.cbegin(), watched.cend());
    // The rows were inserted just now and the view lays them out and paints them later
    // from the model, so the per-item change notices of the loop below carry nothing it
    // needs; with a large segment they cost more than everything else together.
    QAbstractItemModel *model = m_list->model();
    const bool wasBlocked = model->blockSignals(true);
    for (int i = 0; i < m_list->count(); ++i) {
        QListWidgetItem *item = m_list->item(i);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(ticked.contains(item->text()) ? Qt::Checked : Qt::Unchecked);
    }
    model->blockSignals(wasBlocked);
    if (quietly)
        m_list->blockSignals(listBlocked);
}

void SymbolPicker::tickAll(bool ticked)
{
    for (int i = 0; i < m_list->count(); ++i)
        m_list->item(i)->setCheckState(ticked ? Qt::Checked : Qt::Unchecked);
}

QVector<QPair<QString, bool>> SymbolPicker::rows() const
{
    QVector<QPair<QString, bool>> out;
    out.reserve(m_list->count());
    for (int i = 0; i < m_list->count(); ++i)
        out.append({m_list->item(i)->text(), m_list->item(i)->checkState() == Qt::Checked});
    return out;
}

int SymbolPicker::freshTicks(const QStringList &watched) const
{
    const QSet<QString> known(watched.cbegin(), watched.cend());
    int fresh = 0;
    for (int i = 0; i < m_list->count(); ++i) {
        const QListWidgetItem *item = m_list->item(i);
        fresh += item->checkState() == Qt::Checked && !known.contains(item->text()) ? 1 : 0;
    }
    return fresh;
}

void SymbolPicker::markAdded()
{
    for (int i = 0; i < m_list->count(); ++i) {
        QListWidgetItem *item = m_list->item(i);
        item->setBackground(QColor(item->checkState() == Qt::Checked ? QStringLiteral("#00ff00")
                                                                     : QStringLiteral("#ffffff")));
    }
}
