#pragma once

#include "ui/catalogue.h"
#include "ui/mainwindowform.h"

#include <QDialog>
#include <QHash>
#include <QString>
#include <QStringList>
#include <array>
#include <memory>

class GapRepair;
class LiveFeed;
class LiveImporter;
class MyDownloader;
class OutageTracker;
class QCloseEvent;
class QPushButton;
class QTimer;
class ServerDatabase;
class UptimeOverlay;
class Watchlist;
class WatchlistTable;
class liveDataUpdator;
class settings;

// The main window: symbol catalogue, watchlist with live quotes and the buttons of every
// flow. It shows state and wires signals; the jobs are done by its components: the
// Watchlist, the LiveFeed, the LiveImporter (the charting program) and the backfill
// imports. The start-up controller builds it on the server database it opened.
//
// Its code is split by responsibility: construction, start-up fill, close and restart in
// mainwindow.cpp; the catalogue in mainwindow_catalogue.cpp; the watchlist buttons in
// mainwindow_watchlist.cpp (the table is WatchlistTable); the live feed in
// mainwindow_feed.cpp; status and the simple buttons in mainwindow_actions.cpp; the
// backfill slots in mainwindow_backfill.cpp; the wishlist files in mainwindow_wishlist.cpp;
// the Mapping button in mainwindow_mapping.cpp.
class verodezuvivuderaz2 : public QDialog
{
    Q_OBJECT

public:
    // `database`: open, and kept by the caller for the window's life.
    explicit verodezuvivuderaz2(ServerDatabase *database, QWidget *parent = nullptr);
    ~verodezuvivuderaz2() override;

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
    void setOneDayUrl(const QString &url) { m_oneDayUrl = url; }
    QString oneDayUrl() const { return m_oneDayUrl; }
    MyDownloader *backfillDownloader() const { return m_backfillDownloader; }

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
    liveDataUpdator *liveUpdator() const { return m_updator.get(); }
    ServerDatabase *serverDatabase() const { return m_database; }
    settings *settingsDialog() const { return m_settingsDialog; }
    const MainWindowForm &form() const { return ui; }
    QString userIdText() const;
    QStringList defaultSymbolList() const;

    // Gap repair after outages (mainwindow_gaprepair.cpp).
    OutageTracker *outageTracker() const { return m_outageTracker; }
    GapRepair *gapRepair() const { return m_gapRepair; }

public slots:
    void on_controlAmibrokerEnabled();
    void on_connectButton_clicked();
    void enableInterface(QString userId, QStringList daysbox, QString message);
    void updateProgress2(QString progress, QString speed);
    void doAutoBackFill();
    void showStatusMessage(QString message);
    void addDisplayTable();
    void updateDisplayTable();
    void closeButtonClicked(bool clicked);
    void backfillButtonClicked(bool clicked);
    void do5DayBackfill();
    void backfillDone();
    void updateSymbolsSelectedLabel();
    void on_machineIDLabel_2_textChanged(QString text);
    void on_backfillButton_clicked();
    void eodBackfillButton_clicked(QString symbol);
    void doEodBackfill();
    void eodBackfillDone();
    void responseError();
    void backfillGivenUp(QString symbol, QString reason, bool forSpace);
    void eodGivenUp(QString symbol, QString reason);
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

private slots:
    void eodProgress(QString progress, QString speed);

public:
    // Escape would otherwise hide the window without the close sequence.
    void reject() override;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    // Construction steps.
    void wireLiveSide();
    void applyFirstRunValues();

    // Close.
    void writeSettingsOnClose();

    // Catalogue.
    void segmentToggled(int index, bool checked);
    void fillSymbolList(const QStringList &symbols);

    // Watchlist.
    void restoreWatchlist();
    void wireRowButtons(QPushButton *backfill, QPushButton *remove);

    // Intraday backfill: the row's request URL appended to the worker's queue.
    void queueRowBackfill(const QString &symbol, const QString &days, const QString &path);
    QString chosenBackfillPath() const;
    void stopIntradayRun();
    // Part of the close sequence: ends a running backfill import and starts no request.
    void stopBackfillForClose();

    // Gap repair: made once the database is open; the feed reports to it.
    void setupGapRepair();
    void wireGapRepair();
    void startGapRepairRun(const QStringList &urls);
    bool backfillIdleForRepair() const;
    void noteBackfillIdle();
    void gapRepairRequestFailed();

    MainWindowForm ui;

    // Window state.
    QString m_currentSegment;
    std::array<bool, 9> m_segmentFlags{};
    QString m_txtBackfillPath;
    QString m_txtBackfillPath1Min;
    QString m_contactSupportLink;
    QString m_oneDayUrl;

    // Intraday backfill run state. The 60-day warning is shown once per process, also
    // across restarts of the window.
    bool m_backfillBusy = false;
    bool m_backfillStarted = false;
    bool m_backfillStyled = false;
    QStringList m_backfillRefused; // why requests of this run were not made
    QStringList m_backfillSkipped; // symbols of this run the downloader gave up (with the
                                   // reason when refused for disk space)
    static bool s_backfillWarned;

    // Components. The database is borrowed. The destructor shuts the importer down before
    // the backfill imports go: that releases an import waiting on the charting program.
    ServerDatabase *m_database;
    SymbolCatalogue m_catalogue;
    Watchlist *m_watchlist = nullptr; // children of the window
    LiveFeed *m_feed = nullptr;
    WatchlistTable *m_table = nullptr;
    UptimeOverlay *m_uptime = nullptr;
    QTimer *m_displayRefreshTimer = nullptr;
    MyDownloader *m_backfillDownloader = nullptr;
    settings *m_settingsDialog = nullptr;
    std::unique_ptr<LiveImporter> m_importer;
    std::unique_ptr<liveDataUpdator> m_updator;

    OutageTracker *m_outageTracker = nullptr; // children of the window
    GapRepair *m_gapRepair = nullptr;
    bool m_feedAwaitsFirstBatch = false;
};
