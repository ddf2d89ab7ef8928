#pragma once

#include "ui/catalogue.h"
#include "ui/mainwindowform.h"

#include <QDialog>
#include <QHash>
#include <QString>
#include <QStringList>
#include <array>
#include <memory>

class BackfillRun;
class DataHealthMonitor;
class LiveFeed;
class LiveImporter;
class QCloseEvent;
class QPushButton;
class QTimer;
class ServerDatabase;
class UptimeOverlay;
class Watchlist;
class WatchlistTable;
class settings;
class SymbolPicker;

// The main window: symbol catalogue, watchlist with live quotes and the buttons of every
// flow. It shows state and wires signals; the jobs are done by its components (Watchlist,
// LiveFeed, LiveImporter, BackfillRun). The start-up controller builds it on the server
// database it opened. Construction, start-up fill, close and restart are in mainwindow.cpp,
// each group of buttons in mainwindow_<group>.cpp.
class MainWindow : public QDialog
{
    Q_OBJECT

public:
    // `database`: open, and kept by the caller for the window's life.
    explicit MainWindow(ServerDatabase *database, QWidget *parent = nullptr);
    ~MainWindow() override;

    // Values of the server settings record, handed over by the start-up controller.
    void setSymbolLimit(int limit);
    // The server's limit could not be read. That is not a limit of 0: the saved watchlist
    // must survive the start and the close; only additions are refused (as with 0).
    void setSymbolLimitUnreadable();
    int symbolLimit() const;
    // Server texts arrive with stray blanks at times; an address with them never connects.
    void setSupportLink(const QString &link) { m_contactSupportLink = link.trimmed(); }
    QString supportLink() const { return m_contactSupportLink; }
    void setSecureKey(const QString &key);
    QString secureKey() const;
    void setBackfillPaths(const QString &txtBackfillPath, const QString &txtBackfillPath1Min);
    QString txtBackfillPath() const { return m_txtBackfillPath; }
    QString txtBackfillPath1Min() const { return m_txtBackfillPath1Min; }
    // The one-day backfill URL read at start-up; the end-of-day flow builds on it.
    void setOneDayUrl(const QString &url);
    QString oneDayUrl() const;
    // The intraday and end-of-day backfill with the gap repair.
    BackfillRun *backfillRun() const { return m_backfill; }
    DataHealthMonitor *dataHealth() const { return m_health; }

    // Symbol catalogue.
    void loadFullCatalogue();
    void segmentLoad(const QString &exchangeCode);
    QString currentSegment() const { return m_currentSegment; }
    bool segmentFlag(int index) const;
    const QHash<QString, QStringList> &symbolCache() const { return m_catalogue.cache(); }

    // The window's components (the database is borrowed).
    Watchlist *watchlist() const { return m_watchlist; }
    LiveFeed *liveFeed() const { return m_feed; }
    LiveImporter *liveImporter() const { return m_importer.get(); }
    ServerDatabase *serverDatabase() const { return m_database; }
    settings *settingsDialog() const { return m_settingsDialog; }
    const MainWindowForm &form() const { return ui; }
    QString userIdText() const;
    QStringList defaultSymbolList() const;

public slots:
    void on_controlAmibrokerEnabled();
    void on_connectButton_clicked();
    void enableInterface(QString userId, QStringList daysbox, QString message);
    void showStatusMessage(QString message);
    void addDisplayTable();
    void updateDisplayTable();
    void closeButtonClicked(bool clicked);
    void backfillButtonClicked(bool clicked);
    void do5DayBackfill();
    void updateSymbolsSelectedLabel();
    void on_machineIDLabel_2_textChanged(QString text);
    void on_backfillButton_clicked();
    void eodBackfillButton_clicked(QString symbol);
    void on_cashBox_toggled(bool checked);
    void on_futureBox_toggled(bool checked);
    void on_optionBox_toggled(bool checked);
    void on_commBox_toggled(bool checked);
    void on_currBox_toggled(bool checked);
    void on_spotBox_toggled(bool checked);
    void on_SXOPTBox_toggled(bool checked);
    void on_SXOPTBox2_toggled(bool checked);
    void on_ForexBox_toggled(bool checked);
    void on_copyIDButton_clicked();
    void on_restartButton_clicked();
    void on_contactSupportButton_clicked();
    void on_pushButton_clicked();
    void on_MappingButton_clicked();
    void on_selectAll_clicked();
    void on_selectNone_clicked();
    void on_addSelected_clicked();
    void updateThreads();
    void updateUrlDataState();
    void on_DeleteAll_clicked();
    void on_amibrokerPathButton_clicked();
    void on_save_list_clicked();
    void on_load_list_2_clicked();
    void on_dataHealthButton_clicked();

private slots:
    // What the backfill run shows: the button reads "Stop" while a run is under way.
    void showBackfillActive(bool active);
    void showBackfillProgress(int value, QString text);

public:
    // Escape would otherwise hide the window without the close sequence.
    void reject() override;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    // Construction steps.
    void wireLiveSide();
    void applyFirstRunValues();

    // Catalogue.
    void segmentToggled(int index, bool checked);

    // Watchlist.
    void restoreWatchlist();
    void wireRowButtons(QPushButton *backfill, QPushButton *remove);

    // Backfill: the run and what its buttons ask of it.
    void setupBackfillRun();
    // Symbols of the table's rows that have their "Backfill" button (and, watchlistOnly,
    // are in the watchlist), top to bottom.
    QStringList backfillRows(bool watchlistOnly) const;
    // Every backfill button stops a run under way instead of starting one.
    void backfillOrStop(const QStringList &symbols, const QString &days);
    // The 60-day "Performance Warning", once per process.
    void warnAboutLongBackfill();

    MainWindowForm ui;

    // Window state.
    QString m_currentSegment;
    std::array<bool, 9> m_segmentFlags{};
    QString m_txtBackfillPath;
    QString m_txtBackfillPath1Min;
    QString m_contactSupportLink;

    // The 60-day warning is shown once per process, also across restarts of the window.
    static bool s_backfillWarned;

    // Components. The database is borrowed. The destructor shuts the importer down before
    // the backfill imports go: that releases an import waiting on the charting program.
    ServerDatabase *m_database;
    SymbolCatalogue m_catalogue;
    Watchlist *m_watchlist = nullptr; // children of the window
    LiveFeed *m_feed = nullptr;
    WatchlistTable *m_table = nullptr;
    std::unique_ptr<SymbolPicker> m_picker;
    UptimeOverlay *m_uptime = nullptr;
    QTimer *m_displayRefreshTimer = nullptr;
    BackfillRun *m_backfill = nullptr;
    DataHealthMonitor *m_health = nullptr;
    settings *m_settingsDialog = nullptr;
    std::unique_ptr<LiveImporter> m_importer;
};
