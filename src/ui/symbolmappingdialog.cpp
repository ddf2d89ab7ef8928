#include "ui/symbolmappingdialog.h"

#include "live/symbolmapping.h"
#include "ui/messagehelper.h"

#include <QDebug>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

namespace {

const char kButtonStyle[] =
    "QPushButton {  background-color: #edf0f5;  color: black;  font-family: Verdana;  font-size: 10pt;  "
    "border-radius: 1px;  padding: 4px 10px;  min-height: 36px;  max-height: 30px; } "
    "QPushButton:hover { background-color: #d0d0d0; } QPushButton:pressed { background-color: #b0b0b0; }";

void showBox(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text)
{
    QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
    MessageHelper::exec(box);
}

} // namespace

SymbolMappingDialog::SymbolMappingDialog(QWidget *parent) : QDialog(parent)
{
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    setWindowTitle(QStringLiteral("Symbol Mapping"));
    setMinimumSize(550, 350);
    setFont(QFont(QStringLiteral("Verdana"), 10));

    m_model = new QStandardItemModel(0, 2, this);
    m_model->setHorizontalHeaderLabels({QStringLiteral("Old Symbol"), QStringLiteral("New Symbol")});
    m_view = new QTableView(this);
    m_view->setModel(m_model);
    m_view->horizontalHeader()->setStretchLastSection(true);
    m_view->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_view->setSelectionMode(QAbstractItemView::SingleSelection);
    m_view->verticalHeader()->setVisible(false);
    m_view->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked
                            | QAbstractItemView::EditKeyPressed);

    auto makeButton = [this](const QString &text) {
        auto *button = new QPushButton(text, this);
        button->setStyleSheet(QString::fromLatin1(kButtonStyle));
        return button;
    };
    QPushButton *add = makeButton(QStringLiteral("Add"));
    QPushButton *remove = makeButton(QStringLiteral("Remove"));
    QPushButton *save = makeButton(QStringLiteral("Save"));
    QPushButton *saveClose = makeButton(QStringLiteral("Save && Close"));

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(add);
    buttons->addWidget(remove);
    buttons->addStretch();
    buttons->addWidget(save);
    buttons->addWidget(saveClose);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_view);
    layout->addLayout(buttons);

    connect(add, &QPushButton::clicked, this, &SymbolMappingDialog::addRow);
    connect(remove, &QPushButton::clicked, this, &SymbolMappingDialog::removeSelectedRows);
    connect(save, &QPushButton::clicked, this, &SymbolMappingDialog::saveClicked);
    connect(saveClose, &QPushButton::clicked, this, &SymbolMappingDialog::applyClicked);

    loadFromRegistry();
    connect(m_model, &QAbstractItemModel::rowsInserted, this, &SymbolMappingDialog::adjustOldSymbolColumnWidth);
    connect(m_model, &QAbstractItemModel::rowsRemoved, this, &SymbolMappingDialog::adjustOldSymbolColumnWidth);
}

bool SymbolMappingDialog::confirmMerges()
{
    const QStringList merging = SymbolMapping::mergingEntries(rowEntries(), m_followed);
    if (merging.isEmpty())
        return true;
    qDebug().noquote() << "Mapping would merge followed symbols:" << merging.join(QStringLiteral("; "));
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Mapping Conflict"),
                    QStringLiteral("These rows give a watchlist symbol the name of another one, so "
                                   "both symbols' data would go into one series:\n\n%1\n\n"
                                   "Save them anyway?")
                        .arg(merging.join(QLatin1Char('\n'))),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    MessageHelper::exec(box);
    return box.result() == QMessageBox::Yes;
}

void SymbolMappingDialog::saveClicked()
{
    if (!confirmMerges())
        return;
    if (saveToRegistry())
        showBox(this, QMessageBox::Information, QStringLiteral("Save mapping"), QStringLiteral("Mappings saved."));
    else
        showBox(this, QMessageBox::Warning, QStringLiteral("Save mapping"),
                QStringLiteral("Failed to save mappings."));
}

void SymbolMappingDialog::applyClicked()
{
    if (!confirmMerges())
        return; // the dialog stays open for the rows to be changed
    if (!saveToRegistry()) {
        showBox(this, QMessageBox::Warning, QStringLiteral("Apply"),
                QStringLiteral("Could not save mappings (apply aborted)."));
        return;
    }
    emit mappingsChanged();
    accept();
}

bool SymbolMappingDialog::loadFromFile(QString path)
{
    Q_UNUSED(path)
    return loadFromRegistry();
}

bool SymbolMappingDialog::saveToFile(QString path)
{
    Q_UNUSED(path)
    return saveToRegistry();
}

QString SymbolMappingDialog::cellText(int row, int column) const
{
    const QStandardItem *item = m_model->item(row, column);
    return item ? item->text().trimmed() : QString();
}

QMap<QString, QString> SymbolMappingDialog::rowMap(bool oldToNew) const
{
    QMap<QString, QString> map;
    for (int r = 0; r < m_model->rowCount(); ++r) {
        const QString oldName = cellText(r, 0), newName = cellText(r, 1);
        if (oldName.isEmpty() || newName.isEmpty())
            continue;
        if (oldToNew)
            map.insert(oldName, newName);
        else
            map.insert(newName, oldName);
    }
    return map;
}

QMap<QString, QString> SymbolMappingDialog::oldToNewMap() { return rowMap(true); }

QMap<QString, QString> SymbolMappingDialog::newToOldMap() { return rowMap(false); }

bool SymbolMappingDialog::loadFromRegistry()
{
    const QStringList entries = SymbolMapping::storedEntries();
    m_model->removeRows(0, m_model->rowCount());
    QString oldName, newName;
    for (const QString &entry : entries) {
        if (SymbolMapping::splitEntry(entry, &oldName, &newName) == 0)
            continue;
        m_model->appendRow({new QStandardItem(oldName), new QStandardItem(newName)});
    }
    adjustOldSymbolColumnWidth();
    return true;
}

QStringList SymbolMappingDialog::rowEntries() const
{
    QStringList entries;
    for (int r = 0; r < m_model->rowCount(); ++r) {
        const QString oldName = cellText(r, 0), newName = cellText(r, 1);
        if (oldName.isEmpty() && newName.isEmpty())
            continue;
        entries << SymbolMapping::makeEntry(oldName, newName);
    }
    return entries;
}

bool SymbolMappingDialog::saveToRegistry()
{
    return SymbolMapping::storeEntries(rowEntries());
}

void SymbolMappingDialog::addRow()
{
    m_model->appendRow({new QStandardItem(), new QStandardItem()});
    const QModelIndex cell = m_model->index(m_model->rowCount() - 1, 0);
    m_view->setCurrentIndex(cell);
    m_view->edit(cell);
    adjustOldSymbolColumnWidth();
}

void SymbolMappingDialog::removeSelectedRows()
{
    QModelIndexList selected = m_view->selectionModel()->selectedRows();
    if (selected.isEmpty())
        return;
    // From the bottom up, so the rows still to go keep their numbers.
    std::sort(selected.begin(), selected.end(),
              [](const QModelIndex &a, const QModelIndex &b) { return a.row() > b.row(); });
    for (const QModelIndex &index : selected)
        m_model->removeRow(index.row());
    adjustOldSymbolColumnWidth();
}

void SymbolMappingDialog::loadDefaultPath() { loadFromRegistry(); }

void SymbolMappingDialog::adjustOldSymbolColumnWidth()
{
    if (!m_view || m_model->columnCount() < 2)
        return;
    const int available = parentWidget() ? parentWidget()->width() : width();
    const int cap = std::max(100, int(available * 0.5));

    int oldWidth = std::min(cap, 150);
    if (m_model->rowCount() > 0) {
        const QFontMetrics metrics(m_view->font());
        int widest = 0;
        for (int r = 0; r < m_model->rowCount(); ++r) {
            const QStandardItem *item = m_model->item(r, 0);
            widest = std::max(widest, metrics.horizontalAdvance(item ? item->text() : QString()));
        }
        oldWidth = std::max(std::min(cap, widest + 24), std::min(cap, 150));
    }
    m_view->setColumnWidth(0, oldWidth);
    m_view->setColumnWidth(1, std::max(80, m_view->viewport()->width() - oldWidth - 2));
    m_view->horizontalHeader()->setStretchLastSection(false);
}

void SymbolMappingDialog::resizeEvent(QResizeEvent *event)
{
    QDialog::resizeEvent(event);
    // The viewport has its new size only once the layout has run.
    QMetaObject::invokeMethod(this, "adjustOldSymbolColumnWidth", Qt::QueuedConnection);
}
