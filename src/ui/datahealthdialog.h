#pragma once

#include "live/datahealth.h"

#include <QAbstractTableModel>
#include <QDialog>
#include <QList>

class BackfillRun;
class DataHealthMonitor;
class QLabel;
class QPushButton;
class QSortFilterProxyModel;
class QTableView;

// The rows of the "Data Health" table; sorting goes through DataHealth::sortValue, so the
// numeric columns sort as numbers and the state column by how bad it is.
class DataHealthModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;

    // The same symbols in the same order change in place (a selection stays), others reset.
    void setRows(QList<DataHealth::Row> rows);
    const QList<DataHealth::Row> &rows() const { return m_rows; }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    static constexpr int kSortRole = Qt::UserRole + 1;

private:
    QList<DataHealth::Row> m_rows;
};

// "Data Health": one row per watchlist symbol with its last tick's age and today's covered,
// repaired and missing minutes. The user can ask for the missing minutes of the selected
// symbols again ("Repair Missing", one request per symbol through the backfill) and save
// the table as CSV. It only shows: the rows come from whoever opens it, and a repair is a
// signal.
class DataHealthDialog : public QDialog
{
    Q_OBJECT
public:
    explicit DataHealthDialog(QWidget *parent = nullptr);

    // Opens the dialog over `parent` (it deletes itself when closed), its rows from the
    // monitor and renewed with each of its refreshes (every second); "Repair Missing"
    // asks the run again for the selected symbols' missing minutes.
    static DataHealthDialog *open(QWidget *parent, DataHealthMonitor *monitor, BackfillRun *run);

    void setRows(QList<DataHealth::Row> rows, int sessionStart);
    QTableView *table() const { return m_table; }
    DataHealthModel *model() const { return m_model; }
    // The selected symbols that have missing minutes, in the order shown (with no row
    // selected, every symbol that has).
    QStringList selectedMissing() const;

signals:
    void repairRequested(QStringList symbols);

private:
    void exportCsv();

    DataHealthModel *m_model;
    QSortFilterProxyModel *m_sorted;
    QTableView *m_table;
    QLabel *m_summary;
    QPushButton *m_repair;
};
