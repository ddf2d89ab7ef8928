#include "ui/watchlisttable.h"

#include <QEvent>
#include <QFont>
#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>

namespace {

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

WatchlistTable::WatchlistTable(QTableWidget *table) : QObject(table), m_table(table) {}

const QStringList &WatchlistTable::headers()
{
    static const QStringList headers = {QStringLiteral("SYMBOL"), QStringLiteral("LTP"),
                                        QStringLiteral("LTQ"), QStringLiteral("Backfill"),
                                        QStringLiteral("Del")};
    return headers;
}

void WatchlistTable::useMonospace()
{
    QFont monospace(QStringLiteral("Monospace"));
    monospace.setPixelSize(12);
    m_table->setFont(monospace);
    m_table->horizontalHeader()->setFont(monospace);
}

void WatchlistTable::fill(const QStringList &symbols, const QStringList &exchanges, const WireButtons &wire)
{
    QTableWidget *table = m_table;
    table->setColumnCount(5);
    table->setHorizontalHeaderLabels(headers());
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

        auto *remove = qobject_cast<QPushButton *>(table->cellWidget(i, 4));
        if (!remove) {
            remove = newCellButton(table, QStringLiteral("X"), cells[1]);
            remove->setFixedWidth(30);
            table->setCellWidget(i, 4, remove);
        }
        remove->setObjectName(symbol + QStringLiteral("1,") + exchange);
        if (wire)
            wire(backfill, remove);
    }
}

void WatchlistTable::showQuotes(const QStringList &symbols, const QByteArray &batch, qint64 nowMs)
{
    if (batch.isEmpty())
        return;
    const QHash<QString, TickDisplay::Quote> quotes = TickDisplay::parseBatch(batch);
    // The timer shows the same batch again; only a new one says its symbols ticked.
    if (batch != m_lastShownBatch) {
        m_quoteAges.noteQuotes(quotes, nowMs);
        m_lastShownBatch = batch;
    }

    if (symbols.isEmpty())
        return;
    QTableWidget *table = m_table;

    // The quote columns must exist before their headers and cells can be set.
    if (table->columnCount() < 3)
        table->setColumnCount(3);
    for (int c = 0; c < 3; ++c) {
        QTableWidgetItem *header = table->horizontalHeaderItem(c);
        if (!header)
            table->setHorizontalHeaderItem(c, new QTableWidgetItem(headers().at(c)));
        else if (header->text() != headers().at(c))
            header->setText(headers().at(c));
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

