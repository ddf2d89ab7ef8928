#include "ui/datahealthdialog.h"

#include "backfill/backfillrun.h"
#include "live/datahealthmonitor.h"
#include "platform/installpaths.h"
#include "ui/filedialogs.h"
#include "ui/messagehelper.h"
#include "ui/wishlistfile.h"

#include <QDebug>
#include <QDir>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSaveFile>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QVBoxLayout>

#include <utility>

void DataHealthModel::setRows(QList<DataHealth::Row> rows)
{
    bool same = rows.size() == m_rows.size();
    for (int i = 0; same && i < rows.size(); ++i)
        same = rows.at(i).symbol == m_rows.at(i).symbol;
    if (!same) {
        beginResetModel();
        m_rows = std::move(rows);
        endResetModel();
        return;
    }
    m_rows = std::move(rows);
    if (!m_rows.isEmpty())
        emit dataChanged(index(0, 0), index(m_rows.size() - 1, columnCount() - 1));
}

int DataHealthModel::rowCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : m_rows.size(); }

int DataHealthModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(DataHealth::Column::Count);
}

QVariant DataHealthModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const DataHealth::Row &row = m_rows.at(index.row());
    const auto column = DataHealth::Column(index.column());
    switch (role) {
    case Qt::DisplayRole:
        return DataHealth::cellText(row, column);
    case kSortRole:
        if (column == DataHealth::Column::Symbol)
            return row.symbol;
        return DataHealth::sortValue(row, column);
    case Qt::TextAlignmentRole:
        return column == DataHealth::Column::Symbol || column == DataHealth::Column::MissingMinutes
                       || column == DataHealth::Column::State
                   ? QVariant(Qt::AlignLeft | Qt::AlignVCenter)
                   : QVariant(Qt::AlignRight | Qt::AlignVCenter);
    default:
        return {};
    }
}

QVariant DataHealthModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    return DataHealth::columnTitle(DataHealth::Column(section));
}

DataHealthDialog::DataHealthDialog(QWidget *parent)
    : QDialog(parent)
    , m_model(new DataHealthModel(this))
    , m_sorted(new QSortFilterProxyModel(this))
    , m_table(new QTableView(this))
    , m_summary(new QLabel(this))
    , m_repair(new QPushButton(QStringLiteral("&Repair Missing"), this))
{
    setObjectName(QStringLiteral("dataHealthDialog"));
    setWindowTitle(QStringLiteral("Data Health"));
    resize(860, 520);
    m_sorted->setSourceModel(m_model);
    m_sorted->setSortRole(DataHealthModel::kSortRole);
    m_table->setObjectName(QStringLiteral("dataHealthTable"));
    m_table->setModel(m_sorted);
    m_table->setSortingEnabled(true);
    m_table->sortByColumn(int(DataHealth::Column::State), Qt::DescendingOrder);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->verticalHeader()->setVisible(false);
    // Fixed row heights and no content-based column sizing keep 1,000 rows quick to open.
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_table->verticalHeader()->setDefaultSectionSize(22);
    m_table->horizontalHeader()->setStretchLastSection(true);
    // Widths that show every title and state in the dialog's first size without scrolling.
    const std::pair<DataHealth::Column, int> widths[] = {
        {DataHealth::Column::Symbol, 130}, {DataHealth::Column::LastTick, 75}, {DataHealth::Column::Covered, 125},
        {DataHealth::Column::Repaired, 75}, {DataHealth::Column::Missing, 65}, {DataHealth::Column::MissingMinutes, 200}};
    for (const auto &[column, width] : widths)
        m_table->setColumnWidth(int(column), width);
    m_summary->setObjectName(QStringLiteral("dataHealthSummary"));
    m_repair->setObjectName(QStringLiteral("dataHealthRepairButton"));
    m_repair->setToolTip(QStringLiteral("Ask the server again for the missing minutes of the selected symbols (of all, when none is selected)"));
    auto *exportButton = new QPushButton(QStringLiteral("&Export CSV"), this);
    exportButton->setObjectName(QStringLiteral("dataHealthExportButton"));
    auto *close = new QPushButton(QStringLiteral("&Close"), this);
    close->setObjectName(QStringLiteral("dataHealthCloseButton"));

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_summary, 1);
    buttons->addWidget(m_repair);
    buttons->addWidget(exportButton);
    buttons->addWidget(close);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_table);
    layout->addLayout(buttons);

    connect(m_repair, &QPushButton::clicked, this, [this] {
        const QStringList symbols = selectedMissing();
        if (!symbols.isEmpty())
            emit repairRequested(symbols);
    });
    connect(exportButton, &QPushButton::clicked, this, &DataHealthDialog::exportCsv);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);

    QFont f(QStringLiteral("Verdana"));
    setFont(f);
    for (QWidget *w : findChildren<QWidget *>())
        w->setFont(f);
}

DataHealthDialog *DataHealthDialog::open(QWidget *parent, DataHealthMonitor *monitor, BackfillRun *run)
{
    auto *dialog = new DataHealthDialog(parent);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    const QPointer<DataHealthMonitor> source(monitor);
    if (monitor) {
        dialog->setRows(monitor->rows(), monitor->sessionStart());
        // Renewed with the summary line, from the same reading.
        connect(monitor, &DataHealthMonitor::refreshed, dialog,
                [dialog, monitor] { dialog->setRows(monitor->lastRows(), monitor->sessionStart()); });
    }
    const QPointer<BackfillRun> backfill(run);
    connect(dialog, &DataHealthDialog::repairRequested, dialog, [dialog, source, backfill](QStringList symbols) {
        if (!source || !backfill)
            return;
        const QDateTime since = source->missingSince(dialog->model()->rows(), symbols);
        qDebug().noquote() << "Data Health: missing minutes asked again for" << symbols.join(QStringLiteral(", "));
        // Asked: the rows read "Repairing" from the next second on.
        if (since.isValid() && !backfill->repairMissing(symbols, since))
            MessageHelper::show(dialog, QMessageBox::Information, QStringLiteral("Backfill Running"),
                                QStringLiteral("A backfill is running. Ask again once it has ended."));
    });
    dialog->show();
    return dialog;
}

void DataHealthDialog::setRows(QList<DataHealth::Row> rows, int sessionStart)
{
    m_summary->setText(DataHealth::summaryText(rows, sessionStart));
    m_model->setRows(std::move(rows));
}

QStringList DataHealthDialog::selectedMissing() const
{
    QStringList out;
    QModelIndexList picked = m_table->selectionModel()->selectedRows();
    if (picked.isEmpty()) {
        for (int r = 0; r < m_sorted->rowCount(); ++r)
            picked.append(m_sorted->index(r, 0));
    }
    for (const QModelIndex &index : picked) {
        const DataHealth::Row &row = m_model->rows().at(m_sorted->mapToSource(index).row());
        if (row.health.missing > 0 && !out.contains(row.symbol))
            out.append(row.symbol);
    }
    return out;
}

void DataHealthDialog::exportCsv()
{
    const QString path = FileDialogs::getSaveFileName(this, QStringLiteral("Export Data Health"),
                                                      QDir::homePath() + QStringLiteral("/data-health.csv"),
                                                      QStringLiteral("CSV files (*.csv)"));
    if (path.isEmpty())
        return;
    auto fail = [this, &path](const QString &why) {
        MessageHelper::show(this, QMessageBox::Warning, QStringLiteral("Export Failed"),
                            QStringLiteral("The table could not be written to %1: %2.")
                                .arg(QDir::toNativeSeparators(path), why));
    };
    // The same rules as a wishlist save: no FIFO or device, none of the installation's files.
    switch (WishlistFile::checkSaveTarget(path, InstallPaths::rootSlash())) {
    case WishlistFile::PathCheck::NotRegularFile:
        return fail(QStringLiteral("it is not a regular file"));
    case WishlistFile::PathCheck::InsideInstallation:
        return fail(QStringLiteral("it lies inside the installation folder"));
    default:
        break;
    }
    const QByteArray bytes = DataHealth::csv(m_model->rows());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return fail(file.errorString());
    qDebug().noquote() << "Data Health: table of" << m_model->rows().size() << "symbols exported to" << path;
}
