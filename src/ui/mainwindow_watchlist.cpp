// The watchlist's buttons: Add Symbol, the rows' X, Delete All, and the start-up restore;
// the table itself is WatchlistTable.
#include "ui/mainwindow.h"

#include "live/livefeed.h"
#include "live/latestbatch.h"
#include "live/watchlist.h"
#include "ui/catalogue.h"
#include "ui/messagehelper.h"
#include "ui/symbolpicker.h"
#include "ui/uptimeoverlay.h"
#include "ui/watchlisttable.h"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>

void MainWindow::on_addSelected_clicked()
{
    const int fresh = m_picker->freshTicks(m_watchlist->symbols());
    if (!m_watchlist->allowsAdding(fresh)) {
        MessageHelper::show(this, QMessageBox::Information, QStringLiteral("Limit Exceeded"),
                            QStringLiteral("Maximum symbols limit is %1\nYou are trying to add %2")
                                .arg(m_watchlist->limit())
                                .arg(fresh + m_watchlist->size()));
        return;
    }
    // The ticks of the list shown are applied as they stand: ticked symbols join, unticked
    // ones leave, whatever segment they were added from.
    m_watchlist->applyTicks(m_picker->rows(), m_currentSegment);
    m_picker->markAdded();
    updateThreads();
    updateUrlDataState();
    updateSymbolsSelectedLabel();
}

void MainWindow::updateThreads() { m_feed->resubscribe(m_watchlist->symbols()); }

void MainWindow::closeButtonClicked(bool clicked)
{
    Q_UNUSED(clicked)
    const QObject *button = sender();
    if (!button)
        return;
    // Object name "<symbol>1,<exchange>": the first part loses exactly one trailing "1".
    QString symbol = button->objectName().split(QLatin1Char(',')).first();
    symbol.remove(QRegularExpression(QStringLiteral("1$")));

    const int row = m_watchlist->symbols().indexOf(symbol);
    if (row >= 0 && row < ui.displayTableWidget->rowCount())
        ui.displayTableWidget->removeRow(row);
    m_watchlist->remove(symbol);
    updateThreads();
    updateSymbolsSelectedLabel();
}

void MainWindow::on_DeleteAll_clicked()
{
    ui.displayTableWidget->clear();
    m_watchlist->clear();
    // The feed keeps its subscription until the next change that re-subscribes.
    updateUrlDataState();
    updateSymbolsSelectedLabel();
}

void MainWindow::addDisplayTable()
{
    m_table->useMonospace();
    if (m_watchlist->isOverLimit(m_watchlist->size())) {
        MessageHelper::show(this, QMessageBox::Information, QStringLiteral("Limit Exceeded"),
                            QStringLiteral("Maximum limit for symbols is %1.\n"
                                           "You are trying to add %2 symbols.")
                                .arg(m_watchlist->limit())
                                .arg(m_watchlist->size()));
        return;
    }
    m_table->fill(m_watchlist->symbols(), m_watchlist->exchanges(),
                  [this](QPushButton *backfill, QPushButton *remove) { wireRowButtons(backfill, remove); });
    updateSymbolsSelectedLabel();
}

void MainWindow::wireRowButtons(QPushButton *backfill, QPushButton *remove)
{
    disconnect(backfill, nullptr, this, nullptr);
    connect(backfill, &QPushButton::clicked, this, &MainWindow::backfillButtonClicked, Qt::UniqueConnection);
    disconnect(remove, nullptr, this, nullptr);
    connect(remove, &QPushButton::clicked, this, &MainWindow::closeButtonClicked, Qt::UniqueConnection);
}

void MainWindow::updateDisplayTable()
{
    m_table->showQuotes(m_watchlist->symbols(), LatestBatch::copy(), m_uptime->elapsedMs());
}

void MainWindow::updateSymbolsSelectedLabel()
{
    ui.SymbolsSelected->setText(QStringLiteral("S:(%1)").arg(m_watchlist->size()));
    ui.SymbolsSelected->adjustSize();
}

void MainWindow::restoreWatchlist()
{
    // One unusable entry (an unknown code, a lost exchange) costs that entry, not the list.
    const QStringList dropped = m_watchlist->restore(Catalogue::segmentCodes());
    if (!dropped.isEmpty())
        MessageHelper::show(this, QMessageBox::Information, QStringLiteral("Watchlist Repaired"),
                            Watchlist::repairedText(dropped));
}
