#pragma once

#include "live/pollingrequest.h"
#include "live/websocketworker.h"
#include "ui/mainwindowform.h"
#include "ui/tickdisplay.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QHash>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QThread>
#include <array>
#include <memory>

class BackfillRun;
class QCloseEvent;
class QLabel;
class QSqlDatabase;
class QSqlQuery;
class QTimer;
class ServerDatabase;
class liveDataUpdator;
class settings;

// The main window: symbol catalogue, watchlist with live quotes, the buttons of every
// flow, and the owner of the live feed, the settings dialog and the liveDataUpdator worker.
//
// Its code is split by responsibility: construction, start-up fill, close and restart in
// mainwindow.cpp; the catalogue in mainwindow_catalogue.cpp; the watchlist and its table
// in mainwindow_watchlist.cpp; the live feed and the polling request in
// mainwindow_feed.cpp; status, uptime and the simple buttons in mainwindow_actions.cpp;
// the backfill buttons and what the backfill run shows in mainwindow_backfill.cpp (the run
// itself is BackfillRun); the wishlist files in
// mainwindow_wishlist.cpp; the Mapping button in mainwindow_mapping.cpp.
class verodezuvivuderaz2 : public QDialog
{
    Q_OBJECT

public:
    explicit verodezuvivuderaz2(QWidget *parent = nullptr);
    ~verodezuvivuderaz2() override;

    // False when a start-up check (second instance, database unreachable) ended the
    // process; only observable when the process end is hooked (tests).
    bool isConstructed() const { return m_constructed; }

    // Values of the server settings record, handed over by the start-up controller.
    void setSymbolLimit(int limit)
    {
        m_symbolLimit = limit;
        m_symbolLimitKnown = true;
    }
    // The server's limit could not be read. That is not a limit of 0: the saved watchlist
    // must survive the start and the close; only additions are refused (as with 0).
    void setSymbolLimitUnreadable()
    {
        m_symbolLimit = 0;
        m_symbolLimitKnown = false;
    }
    int symbolLimit() const { return m_symbolLimit; }
    bool isSymbolLimitKnown() const { return m_symbolLimitKnown; }
    // Server texts arrive with stray blanks at times; an address with them never connects.
    void setSupportLink(const QString &link) { m_contactSupportLink = link.trimmed(); }
    QString supportLink() const { return m_contactSupportLink; }
    void setSecureKey(const QString &key) { m_endpoints.hash = key; }
    QString secureKey() const { return m_endpoints.hash; }
    void setBackfillPaths(const QString &txtBackfillPath, const QString &txtBackfillPath1Min);
    QString txtBackfillPath() const { return m_txtBackfillPath; }
    QString txtBackfillPath1Min() const { return m_txtBackfillPath1Min; }
    void setLivePaths(const QString &get, const QString &post);
    void setWebSocketLink(const QString &link) { m_webSocketLink = link.trimmed(); }
    QString webSocketLink() const { return m_webSocketLink; }
    void setNetworkPaths(const QString &get, const QString &post);
    PollingEndpoints pollingEndpoints() const { return m_endpoints; }
    // The one-day backfill URL read at start-up; the end-of-day flow builds on it.
    void setOneDayUrl(const QString &url);
    QString oneDayUrl() const;
    // The intraday and end-of-day backfill with the gap repair (null when a start-up check
    // ended the process).
    BackfillRun *backfillRun() const { return m_backfill; }

    // Symbol catalogue.
    void loadFullCatalogue();
    QStringList segmentQuery(const QString &exchangeCode);
    void segmentLoad(const QString &exchangeCode);
    QStringList segmentCodeList() const;
    QString currentSegment() const { return m_currentSegment; }
    bool segmentFlag(int index) const;
    const QHash<QString, QStringList> &symbolCache() const { return m_symbolCache; }

    // Objects the window owns (or borrows), for the start-up controller and the flows.
    liveDataUpdator *liveUpdator() const { return m_updator.get(); }
    bool isDatabaseOpen() const { return m_databaseOpen; }
    QSqlDatabase *database() const { return m_database; }
    QSqlQuery *sharedQuery() const { return m_sharedQuery; }
    settings *settingsDialog() const { return m_settingsDialog; }
    const MainWindowForm &form() const { return ui; }
    QString userIdText() const;
    QString amibrokerDatabasePath() const { return m_amibrokerDatabasePath; }
    QStringList defaultSymbolList() const { return m_defaultSymbols; }

    // The live feed (null until connected, and again after the close sequence).
    QThread *feedThread() const { return m_feedThread; }
    WebSocketWorker *feedWorker() const { return m_feedWorker; }

    // The polling request kept ready for the watchlist; valid after Connect. Nothing
    // polls with it.
    PollingRequest pollingRequest() const { return m_pollingRequest; }
    bool hasPollingRequest() const { return m_pollingPrepared; }

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
    void setupUptimeOverlay();
    bool singleInstanceCheck();
    bool databaseOpenCheck();
    void applyFirstRunValues();

    // Close and restart.
    void stopLiveFeed();
    void writeSettingsOnClose();
    void saveBrokerDatabaseAndLayout();

    // Catalogue.
    void segmentToggled(int index, bool checked);
    void fillSymbolList(const QStringList &symbols);
    QStringList cachedSegment(const QString &exchangeCode);

    // Watchlist.
    void restoreWatchlist();

    // Backfill: the run and what its buttons ask of it.
    void setupBackfillRun();
    // Symbols of the table's rows that have their "Backfill" button (and, watchlistOnly,
    // are in the watchlist), top to bottom.
    QStringList backfillRows(bool watchlistOnly) const;
    // Every backfill button stops a run under way instead of starting one.
    void backfillOrStop(const QStringList &symbols, const QString &days);
    // The 60-day "Performance Warning", once per process.
    void warnAboutLongBackfill();

    // Live feed.
    void startLiveFeed();
    void preparePollingRequest();

    // Uptime overlay.
    void updateUptimeText();
    void placeUptimeLabel();

    MainWindowForm ui;
    bool m_constructed = false;

    // Window state.
    QString m_amibrokerDatabasePath;
    QString m_currentSegment;
    QString m_urlScheme;
    std::array<bool, 9> m_segmentFlags{};
    PollingEndpoints m_endpoints;
    QString m_txtBackfillPath;
    QString m_txtBackfillPath1Min;
    QString m_webSocketLink;
    QString m_contactSupportLink;

    // The 60-day warning is shown once per process, also across restarts of the window.
    static bool s_backfillWarned;
    QStringList m_defaultSymbols;
    int m_symbolLimit = 0;
    bool m_symbolLimitKnown = true;
    // A saved watchlist longer than the account allows is not shown at start-up. It is
    // kept here and written back at close while the watchlist is still empty, so a lower
    // limit from the server never costs the user the list they made.
    QStringList m_setAsideSymbols;
    QStringList m_setAsideExchanges;
    QHash<QString, QStringList> m_symbolCache;

    // Uptime overlay and the display refresh.
    QElapsedTimer m_uptime;
    QLabel *m_uptimeLabel = nullptr;
    QTimer *m_uptimeTextTimer = nullptr;
    QTimer *m_uptimePlaceTimer = nullptr;
    QTimer *m_displayRefreshTimer = nullptr;

    // Owned objects.
    BackfillRun *m_backfill = nullptr; // child of the window
    settings *m_settingsDialog = nullptr;
    std::unique_ptr<liveDataUpdator> m_updator;
    QPointer<QThread> m_feedThread;
    QPointer<WebSocketWorker> m_feedWorker;

    // Borrowed from the liveDataUpdator once the database is known to be open.
    bool m_databaseOpen = false;
    ServerDatabase *m_serverDatabase = nullptr;
    QSqlDatabase *m_database = nullptr;
    QSqlQuery *m_sharedQuery = nullptr;

    PollingRequest m_pollingRequest;
    bool m_pollingPrepared = false;

    // Quiet symbols in the watchlist table: when each last had a tick.
    TickDisplay::QuoteAges m_quoteAges;
    QByteArray m_lastShownBatch;
};
