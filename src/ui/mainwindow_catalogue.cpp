// The symbol catalogue: segment buttons, the symbol cache, the search box and the list.
#include "ui/mainwindow.h"

#include "live/watchlist.h"
#include "ui/catalogue.h"

#include <QAbstractItemModel>
#include <QLineEdit>
#include <QListWidget>
#include <QSet>
#include <QRadioButton>

void verodezuvivuderaz2::loadFullCatalogue() { m_catalogue.loadAll(); }

bool verodezuvivuderaz2::segmentFlag(int index) const
{
    return index >= 0 && index < Catalogue::kSegmentCount && m_segmentFlags[index];
}

void verodezuvivuderaz2::fillSymbolList(const QStringList &symbols)
{
    QListWidget *list = ui.symbolsListWidget;
    list->clear();
    list->addItems(symbols);
    const QStringList &watchlist = m_watchlist->symbols();
    const QSet<QString> watched(watchlist.cbegin(), watchlist.cend());
    // The rows were inserted just now and the view lays them out and paints them later
    // from the model, so the per-item change notices of the loop below carry nothing it
    // needs; with a large segment they cost more than everything else together.
    QAbstractItemModel *model = list->model();
    const bool wasBlocked = model->blockSignals(true);
    for (int i = 0; i < list->count(); ++i) {
        QListWidgetItem *item = list->item(i);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        // Ticked whatever segment the symbol was added from.
        item->setCheckState(watched.contains(item->text()) ? Qt::Checked : Qt::Unchecked);
    }
    model->blockSignals(wasBlocked);
}

void verodezuvivuderaz2::segmentLoad(const QString &exchangeCode)
{
    QFont monospace(QStringLiteral("Monospace"));
    monospace.setPixelSize(12);
    ui.symbolsListWidget->setFont(monospace);
    fillSymbolList(m_catalogue.segment(exchangeCode));
}

void verodezuvivuderaz2::segmentToggled(int index, bool checked)
{
    // Both buttons of a change report; the newly checked one reports last, so the list
    // ends showing the newly chosen segment.
    m_segmentFlags[index] = checked;
    m_currentSegment = Catalogue::segmentCodes().at(index);
    ui.machineIDLabel_2->clear();
    segmentLoad(m_currentSegment);
}

void verodezuvivuderaz2::on_cashBox_toggled(bool checked) { segmentToggled(0, checked); }
void verodezuvivuderaz2::on_futureBox_toggled(bool checked) { segmentToggled(1, checked); }
void verodezuvivuderaz2::on_optionBox_toggled(bool checked) { segmentToggled(2, checked); }
void verodezuvivuderaz2::on_commBox_toggled(bool checked) { segmentToggled(3, checked); }
void verodezuvivuderaz2::on_currBox_toggled(bool checked) { segmentToggled(4, checked); }
void verodezuvivuderaz2::on_spotBox_toggled(bool checked) { segmentToggled(5, checked); }
void verodezuvivuderaz2::on_SXOPTBox_toggled(bool checked) { segmentToggled(6, checked); }
void verodezuvivuderaz2::on_SXOPTBox2_toggled(bool checked) { segmentToggled(7, checked); }
void verodezuvivuderaz2::on_ForexBox_toggled(bool checked) { segmentToggled(8, checked); }

void verodezuvivuderaz2::on_machineIDLabel_2_textChanged(QString text)
{
    const QStringList shown = Catalogue::filter(m_catalogue.segment(m_currentSegment), text);
    // Refilled quietly: item changes during a search are not user edits.
    ui.symbolsListWidget->blockSignals(true);
    fillSymbolList(shown);
    ui.symbolsListWidget->blockSignals(false);
}

void verodezuvivuderaz2::on_selectAll_clicked()
{
    for (int i = 0; i < ui.symbolsListWidget->count(); ++i)
        ui.symbolsListWidget->item(i)->setCheckState(Qt::Checked);
}

void verodezuvivuderaz2::on_selectNone_clicked()
{
    for (int i = 0; i < ui.symbolsListWidget->count(); ++i)
        ui.symbolsListWidget->item(i)->setCheckState(Qt::Unchecked);
}
