// The symbol catalogue: segment buttons, the symbol cache, the search box and the list.
#include "ui/mainwindow.h"

#include "live/watchlist.h"
#include "ui/catalogue.h"
#include "ui/symbolpicker.h"

#include <QLineEdit>

void MainWindow::loadFullCatalogue() { m_catalogue.loadAll(); }

bool MainWindow::segmentFlag(int index) const
{
    return index >= 0 && index < Catalogue::kSegmentCount && m_segmentFlags[index];
}

void MainWindow::segmentLoad(const QString &exchangeCode)
{
    m_picker->show(m_catalogue.segment(exchangeCode), m_watchlist->symbols());
}

void MainWindow::segmentToggled(int index, bool checked)
{
    // Both buttons of a change report; the newly checked one reports last, so the list
    // ends showing the newly chosen segment.
    m_segmentFlags[index] = checked;
    m_currentSegment = Catalogue::segmentCodes().at(index);
    ui.machineIDLabel_2->clear();
    segmentLoad(m_currentSegment);
}

void MainWindow::on_cashBox_toggled(bool checked) { segmentToggled(0, checked); }
void MainWindow::on_futureBox_toggled(bool checked) { segmentToggled(1, checked); }
void MainWindow::on_optionBox_toggled(bool checked) { segmentToggled(2, checked); }
void MainWindow::on_commBox_toggled(bool checked) { segmentToggled(3, checked); }
void MainWindow::on_currBox_toggled(bool checked) { segmentToggled(4, checked); }
void MainWindow::on_spotBox_toggled(bool checked) { segmentToggled(5, checked); }
void MainWindow::on_SXOPTBox_toggled(bool checked) { segmentToggled(6, checked); }
void MainWindow::on_SXOPTBox2_toggled(bool checked) { segmentToggled(7, checked); }
void MainWindow::on_ForexBox_toggled(bool checked) { segmentToggled(8, checked); }

void MainWindow::on_machineIDLabel_2_textChanged(QString text)
{
    // Refilled quietly: item changes during a search are not user edits.
    m_picker->show(Catalogue::filter(m_catalogue.segment(m_currentSegment), text), m_watchlist->symbols(), true);
}

void MainWindow::on_selectAll_clicked() { m_picker->tickAll(true); }
void MainWindow::on_selectNone_clicked() { m_picker->tickAll(false); }
