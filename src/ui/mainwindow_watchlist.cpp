// The watchlist: adding and removing symbols, the display table with live quotes, the
// count label and the start-up restore.
#include "ui/mainwindow.h"

#include "amibroker/livedataupdator.h"
#include "app/settingskeys.h"
#include "live/latestbatch.h"
#include "live/websocketworker.h"
#include "ui/catalogue.h"
#include "ui/messagehelper.h"
#include "ui/tickdisplay.h"
#include "ui/wishlistfile.h"

#include <QApplication>
#include <QDebug>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <utility>

namespace {

const QStringList &tableHeaders()
{
    static const QStringList headers = {QStringLiteral("SYMBOL"), QStringLiteral("LTP"),
                                        QStringLiteral("LTQ"), QStringLiteral("Backfill"),
                                        QStringLiteral("Del")};
    return headers;
}

constexpr int kColumnWidths[5] = {155, 75, 70, 95, 40};

// Row buttons are many siblings in one viewport, and two things Qt does for each widget
// cost a pass over all of them, which made a long watchlist fill with the square of its
// length:
// - Every new widget queues a polish request. A push button answers it with a layout
//   request to its parent, which Qt compares against every event still queued. The buttons
//   are polished as they are made, so their queued request has nothing left to do.
// - Every widget that becomes visible queues a repaint of itself. The view shows each cell
//   widget, also the thousands placed below the visible rows, and the repaint of each one
//   weighs it against every sibling before finding nothing to paint. A button outside its
//   viewport is not painted; it is painted when a scroll or a move brings it into sight.
class CellButtonEvents : public QObject
{
public:
    using QObject::QObject;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *widget = qobject_cast<QWidget *>(watched);
        if (!widget)
            return false;
        switch (event->type()) {
        case QEvent::PolishRequest:
            return widget->testAttribute(Qt::WA_WState_Polished);
        case QEvent::UpdateLater: {
            const QWidget *viewport = widget->parentWidget();
            return viewport && !widget->geometry().intersects(viewport->rect());
        }
        default:
            return false;
        }
    }
};

QPushButton *newCellButton(QTableWidget *table, const QString &text, const QSize &cell)
{
    static const char kFilterName[] = "cellButtonEvents";
    auto *filter = table->findChild<CellButtonEvents *>(QLatin1String(kFilterName), Qt::FindDirectChildrenOnly);
    if (!filter) {
        filter = new CellButtonEvents(table);
        filter->setObjectName(QLatin1String(kFilterName));
    }
    // Born in the viewport, out of sight and at its cell's size: placing it then only moves it.
    auto *button = new QPushButton(text, table->viewport());
    button->setFont(table->font()); // buttons have a font of their own otherwise
    button->ensurePolished();
    button->setGeometry(QRect(QPoint(-4 * cell.width(), -4 * cell.height()), cell));
    button->installEventFilter(filter);
    return button;
}

} // namespace

void verodezuvivuderaz2::on_addSelected_clicked()
{
    if (!ui.symbolsListWidget || !m_updator)
        return;
    QStringList &symbols = m_updator->selectedSymbols;
    QStringList &exchanges = m_updator->correspondingExchanges;
    QListWidget *list = ui.symbolsListWidget;

    int fresh = 0;
    for (int i = 0; i < list->count(); ++i) {
        const QListWidgetItem *item = list->item(i);
        if (item->checkState() == Qt::Checked && !symbols.contains(item->text()))
            ++fresh;
    }
    const int total = fresh + symbols.size();
    const bool overLimit = m_symbolLimitKnown ? m_symbolLimit < total : fresh > 0;
    if (overLimit) {
        MessageHelper::show(this, QMessageBox::Information, QStringLiteral("Limit Exceeded"),
                            QStringLiteral("Maximum symbols limit is %1\nYou are trying to add %2")
                                .arg(m_symbolLimit)
                                .arg(total));
        return;
    }

    // The ticks of the list shown are applied as they stand: ticked symbols join, unticked
    // ones leave, whatever segment they were added from.
    for (int i = 0; i < list->count(); ++i) {
        QListWidgetItem *item = list->item(i);
        const QString text = item->text();
        if (item->checkState() == Qt::Checked) {
            if (!symbols.contains(text)) {
                symbols.append(text);
                exchanges.append(m_currentSegment);
            }
            item->setBackground(QColor(QStringLiteral("#00ff00")));
        } else {
            item->setBackground(QColor(QStringLiteral("#ffffff")));
            if (!symbols.isEmpty() && symbols.contains(text)) {
                const int d = symbols.indexOf(text);
                if (d < exchanges.size()) {
                    symbols.removeAt(d);
                    exchanges.removeAt(d);
                } else {
                    symbols.removeAll(text);
                }
            }
        }
    }

    updateThreads();
    updateUrlDataState();
    updateSymbolsSelectedLabel();
}

void verodezuvivuderaz2::updateThreads()
{
    if (!m_feedWorker || !m_updator)
        return;
    QMetaObject::invokeMethod(m_feedWorker, "resubscribe", Qt::QueuedConnection,
                              Q_ARG(QStringList, m_updator->selectedSymbols));
}

void verodezuvivuderaz2::closeButtonClicked(bool clicked)
{
    Q_UNUSED(clicked)
    if (!m_updator)
        return;
    const QObject *button = sender();
    if (!button)
        return;
    // Object name "<symbol>1,<exchange>": the first part loses exactly one trailing "1".
    QString symbol = button->objectName().split(QLatin1Char(',')).first();
    symbol.remove(QRegularExpression(QStringLiteral("1$")));

    QStringList &symbols = m_updator->selectedSymbols;
    QStringList &exchanges = m_updator->correspondingExchanges;
    const int a = symbols.indexOf(symbol);
    if (a >= 0) {
        if (a < ui.displayTableWidget->rowCount())
            ui.displayTableWidget->removeRow(a);
        symbols.removeAt(a);
        if (a < exchanges.size())
            exchanges.removeAt(a);
    }
    updateThreads();
    updateSymbolsSelectedLabel();
}

void verodezuvivuderaz2::on_DeleteAll_clicked()
{
    ui.displayTableWidget->clear();
    if (m_updator) {
        m_updator->selectedSymbols.clear();
        m_updator->correspondingExchanges.clear();
    }
    // The feed keeps its subscription until the next change that re-subscribes.
    updateUrlDataState();
    updateSymbolsSelectedLabel();
}

void verodezuvivuderaz2::addDisplayTable()
{
    QTableWidget *table = ui.displayTableWidget;
    QFont monospace(QStringLiteral("Monospace"));
    monospace.setPixelSize(12);
    table->setFont(monospace);
    table->horizontalHeader()->setFont(monospace);

    const QStringList symbols = m_updator ? m_updator->selectedSymbols : QStringList();
    const QStringList exchanges = m_updator ? m_updator->correspondingExchanges : QStringList();
    if (m_symbolLimitKnown && m_symbolLimit < symbols.size()) {
        MessageHelper::show(this, QMessageBox::Information, QStringLiteral("Limit Exceeded"),
                            QStringLiteral("Maximum limit for symbols is %1.\n"
                                           "You are trying to add %2 symbols.")
                                .arg(m_symbolLimit)
                                .arg(symbols.size()));
        return;
    }

    table->setColumnCount(5);
    table->setHorizontalHeaderLabels(tableHeaders());
    for (int c = 0; c < 5; ++c)
        table->setColumnWidth(c, kColumnWidths[c]);
    table->setRowCount(symbols.size());
    // Every row's buttons get the size of their cell, so that placing them only moves them.
    QSize cells[2];
    if (!symbols.isEmpty()) {
        for (int c = 0; c < 2; ++c)
            cells[c] = table->visualRect(table->model()->index(0, 3 + c)).size();
    }

    for (int i = 0; i < symbols.size(); ++i) {
        const QString &symbol = symbols.at(i);
        const QString exchange = i < exchanges.size() ? exchanges.at(i) : QString();

        if (QTableWidgetItem *item = table->item(i, 0))
            item->setText(symbol);
        else
            table->setItem(i, 0, new QTableWidgetItem(symbol));
        for (int c = 1; c <= 2; ++c) {
            if (!table->item(i, c)) {
                auto *zero = new QTableWidgetItem(QStringLiteral("0"));
                zero->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
                table->setItem(i, c, zero);
            }
        }

        auto *backfill = qobject_cast<QPushButton *>(table->cellWidget(i, 3));
        if (!backfill) {
            backfill = newCellButton(table, QStringLiteral("Backfill"), cells[0]);
            table->setCellWidget(i, 3, backfill);
        }
        backfill->setObjectName(symbol);
        backfill->setProperty("exchName", exchange);
        disconnect(backfill, nullptr, this, nullptr);
        connect(backfill, &QPushButton::clicked, this, &verodezuvivuderaz2::backfillButtonClicked,
                Qt::UniqueConnection);

        auto *remove = qobject_cast<QPushButton *>(table->cellWidget(i, 4));
        if (!remove) {
            remove = newCellButton(table, QStringLiteral("X"), cells[1]);
            remove->setFixedWidth(30);
            table->setCellWidget(i, 4, remove);
        }
        remove->setObjectName(symbol + QStringLiteral("1,") + exchange);
        disconnect(remove, nullptr, this, nullptr);
        connect(remove, &QPushButton::clicked, this, &verodezuvivuderaz2::closeButtonClicked,
                Qt::UniqueConnection);
    }

    updateSymbolsSelectedLabel();
}

void verodezuvivuderaz2::updateDisplayTable()
{
    const QByteArray batch = LatestBatch::copy();
    if (batch.isEmpty())
        return;
    const QHash<QString, TickDisplay::Quote> quotes = TickDisplay::parseBatch(batch);
    // The timer shows the same batch again; only a new one says its symbols ticked.
    const qint64 nowMs = m_uptime.elapsed();
    if (batch != m_lastShownBatch) {
        m_quoteAges.noteQuotes(quotes, nowMs);
        m_lastShownBatch = batch;
    }

    if (!m_updator || m_updator->selectedSymbols.isEmpty())
        return;
    const QStringList &symbols = m_updator->selectedSymbols;
    QTableWidget *table = ui.displayTableWidget;

    // The quote columns must exist before their headers and cells can be set.
    if (table->columnCount() < 3)
        table->setColumnCount(3);
    for (int c = 0; c < 3; ++c) {
        QTableWidgetItem *header = table->horizontalHeaderItem(c);
        if (!header)
            table->setHorizontalHeaderItem(c, new QTableWidgetItem(tableHeaders().at(c)));
        else if (header->text() != tableHeaders().at(c))
            header->setText(tableHeaders().at(c));
    }
    if (table->rowCount() != symbols.size())
        table->setRowCount(symbols.size());

    for (int i = 0; i < symbols.size(); ++i) {
        const QString &symbol = symbols.at(i);
        QTableWidgetItem *name = table->item(i, 0);
        if (!name)
            table->setItem(i, 0, new QTableWidgetItem(symbol));
        else if (name->text() != symbol)
            name->setText(symbol);

        QTableWidgetItem *cells[2] = {table->item(i, 1), table->item(i, 2)};
        for (int c = 0; c < 2; ++c) {
            if (!cells[c]) {
                cells[c] = new QTableWidgetItem(QStringLiteral("0"));
                cells[c]->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
                table->setItem(i, c + 1, cells[c]);
            }
        }

        TickDisplay::markStale(cells[0], m_quoteAges.staleAge(symbol, nowMs));

        const auto quote = quotes.constFind(symbol);
        if (quote == quotes.constEnd())
            continue;
        const QString fresh[2] = {quote->ltp, quote->ltq};
        for (int c = 0; c < 2; ++c) {
            const QString old = cells[c]->text();
            if (old == fresh[c])
                continue; // unchanged values keep their colour
            if (const std::optional<QColor> colour = TickDisplay::changeColour(old, fresh[c]))
                cells[c]->setBackground(*colour);
            cells[c]->setText(fresh[c]);
        }
    }
}

void verodezuvivuderaz2::updateSymbolsSelectedLabel()
{
    QLabel *label = findChild<QLabel *>(QStringLiteral("SymbolsSelected"));
    if (!label) {
        const QWidgetList tops = QApplication::topLevelWidgets();
        for (QWidget *top : tops) {
            label = top->findChild<QLabel *>(QStringLiteral("SymbolsSelected"));
            if (label)
                break;
        }
    }
    if (!label)
        return;
    const int count = m_updator ? m_updator->selectedSymbols.size() : 0;
    label->setText(QStringLiteral("S:(%1)").arg(count));
    label->adjustSize();
}

void verodezuvivuderaz2::restoreWatchlist()
{
    if (!m_updator)
        return;
    QStringList &symbols = m_updator->selectedSymbols;
    QStringList &exchanges = m_updator->correspondingExchanges;
    WishlistFile::Repair stored;
    {
        AppSettings store;
        stored = WishlistFile::usableEntries(
            store.value(SettingsKeys::selectedSymbolsList, QStringList()).toStringList(),
            store.value(SettingsKeys::corrExchList, QStringList()).toStringList(),
            Catalogue::segmentCodes());
    }
    // One unusable entry (an unknown code, a lost exchange) costs that entry, not the list.
    symbols = stored.kept.symbols;
    exchanges = stored.kept.exchanges;
    if (!stored.dropped.isEmpty()) {
        qDebug().noquote() << "Saved watchlist: left out" << stored.dropped.size()
                           << "unusable entries:" << stored.dropped.join(QStringLiteral(", "));
        constexpr int kNamed = 10;
        QString names = QStringList(stored.dropped.mid(0, kNamed)).join(QLatin1Char('\n'));
        if (stored.dropped.size() > kNamed)
            names += QStringLiteral("\n... and %1 more").arg(stored.dropped.size() - kNamed);
        MessageHelper::show(this, QMessageBox::Information, QStringLiteral("Watchlist Repaired"),
                            QStringLiteral("%1 saved watchlist entries could not be used and were "
                                           "left out:\n%2")
                                .arg(stored.dropped.size())
                                .arg(names));
    }

    if (m_symbolLimitKnown && m_symbolLimit < symbols.size()) {
        qDebug().noquote() << "Saved watchlist of" << symbols.size()
                           << "symbols is over the account's limit of" << m_symbolLimit
                           << "and is not loaded; it stays saved for a later start";
        m_setAsideSymbols = std::exchange(symbols, QStringList());
        m_setAsideExchanges = std::exchange(exchanges, QStringList());
    }
}
