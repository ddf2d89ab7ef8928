#pragma once

#include <QDialog>
#include <QMap>
#include <QString>
#include <QStringList>

class QResizeEvent;
class QStandardItemModel;
class QTableView;

// Edits the user's rename table (old symbol -> new symbol) kept in the settings store.
// The rows are the only state; nothing is stored until "Save" or "Save && Close".
class SymbolMappingDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SymbolMappingDialog(QWidget *parent = nullptr);

    QTableView *tableView() const { return m_view; }
    // The watchlist symbols: a save that would merge two of them into one series asks first.
    void setFollowedSymbols(const QStringList &symbols) { m_followed = symbols; }
    QStandardItemModel *model() const { return m_model; }

signals:
    void mappingsChanged();

public slots:
    void saveClicked();
    void applyClicked();
    // Kept for callers that name a file: the table lives in the settings store only.
    bool loadFromFile(QString path);
    bool saveToFile(QString path);
    QMap<QString, QString> oldToNewMap();
    QMap<QString, QString> newToOldMap();
    bool loadFromRegistry();
    bool saveToRegistry();
    void addRow();
    void removeSelectedRows();
    void loadDefaultPath();
    void adjustOldSymbolColumnWidth();

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    QString cellText(int row, int column) const;
    // The rows in stored form (blank rows left out).
    QStringList rowEntries() const;
    // True when nothing merges, or the user agrees to save rows that do.
    bool confirmMerges();
    // Both maps: rows whose names are both non-empty once trimmed; later rows win.
    QMap<QString, QString> rowMap(bool oldToNew) const;

    QStandardItemModel *m_model = nullptr;
    QTableView *m_view = nullptr;
    QStringList m_followed;
};
