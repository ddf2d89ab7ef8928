// The main window's life against the real server database, the broker stand-in and a
// local WebSocket server: first run, start-up fill with the live feed, close sequence and
// restart (the start-up checks before the window are the start-up controller's).
#include "amibroker/liveimporter.h"
#include "app/settingskeys.h"
#include "live/latestbatch.h"
#include "live/livefeed.h"
#include "live/pendingbatches.h"
#include "live/watchlist.h"
#include "live/websocketworker.h"
#include "platform/installpaths.h"
#include "platform/standin/brokerstandin.h"
#include "ui/mainwindow.h"
#include "ui/settingsdialog.h"

#include "testenv.h"
#include "windowtesthooks.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTableWidget>
#include <QTcpServer>
#include <QTextEdit>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtTest>

#include <csignal>
#include <memory>
#include <vector>

namespace {

// A minimal data server: records what the client sends, lets the test answer.
class LocalFeedServer : public QObject
{
public:
    QWebSocketServer server{QStringLiteral("test"), QWebSocketServer::NonSecureMode};
    QPointer<QWebSocket> client;
    QList<QJsonObject> received;
    int connections = 0;

    bool listen()
    {
        connect(&server, &QWebSocketServer::newConnection, this, [this] {
            client = server.nextPendingConnection();
            ++connections;
            connect(client, &QWebSocket::textMessageReceived, this, [this](const QString &text) {
                received << QJsonDocument::fromJson(text.toUtf8()).object();
            });
        });
        return server.listen(QHostAddress::LocalHost, 0);
    }

    QString url() const { return QStringLiteral("ws://127.0.0.1:%1/ws").arg(server.serverPort()); }

    QList<QJsonObject> ofType(const QString &type) const
    {
        QList<QJsonObject> out;
        for (const QJsonObject &o : received) {
            if (o.value(QStringLiteral("type")).toString() == type)
                out << o;
        }
        return out;
    }

    void send(const QJsonObject &o)
    {
        client->sendTextMessage(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)));
    }
};

QStringList toStrings(const QJsonValue &v)
{
    QStringList out;
    for (const QJsonValue &e : v.toArray())
        out << e.toString();
    return out;
}

const QStringList kDays = {"1", "3", "5", "10", "15", "20", "30", "60", "90", "120", "180", "270", "365"};

} // namespace

class TestMainWindowLifecycle : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestEnv> m_env;
    WindowTestHooks m_hooks;

    static BrokerStandIn *standIn(MainWindow &w)
    {
        return qobject_cast<BrokerStandIn *>(w.liveImporter()->broker());
    }

    static QString brokerProcessLog()
    {
        return InstallPaths::databaseDir() + QStringLiteral("/broker-process.log");
    }

    // Detached processes started to end the charting program; they wait for this test
    // process to end before they do, so here they can only be seen waiting.
    static QList<qint64> endBrokerWatchers()
    {
        QList<qint64> pids;
        const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
        for (const QString &entry : entries) {
            QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(entry));
            if (!cmdline.open(QIODevice::ReadOnly))
                continue;
            const QByteArray args = cmdline.readAll();
            if (args.contains("vantrel-endbroker") && args.contains(brokerProcessLog().toUtf8()))
                pids << entry.toLongLong();
        }
        // The watcher's shell forks for each "sleep"; until the child execs it carries the
        // same command line. Such a child is part of its parent, not a second watcher.
        QList<qint64> watchers;
        for (qint64 pid : pids) {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
            const QByteArray text = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
            const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
            if (!pids.contains(fields.value(1).toLongLong()))
                watchers << pid;
        }
        return watchers;
    }

    static void stopEndBrokerWatchers()
    {
        for (qint64 pid : endBrokerWatchers())
            ::kill(pid_t(pid), SIGKILL);
        QTRY_VERIFY(endBrokerWatchers().isEmpty());
    }

    // Runs the event loop until the restart request ends it; returns its exit code.
    static int runUntilExit(const std::function<void()> &action)
    {
        QTimer::singleShot(0, action);
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(-99); });
        guard.start(20000);
        return QCoreApplication::exec();
    }

private slots:
    void initTestCase()
    {
        m_env = std::make_unique<TestEnv>();
        QVERIFY(m_env->isValid());
        if (!TestEnv::mariadbUp())
            QFAIL("The server database is not answering on 127.0.0.1:49111. Start it with "
                  "scripts/mariadb.sh start (demo data) and run the test again.");
        QApplication::setQuitOnLastWindowClosed(false);
        m_hooks.install();
    }

    void cleanupTestCase()
    {
        m_hooks.uninstall();
    }

    void init()
    {
        TestEnv::clearSettings();
        m_hooks.clear();
        LatestBatch::clear();
        stopEndBrokerWatchers();
        QFile::remove(brokerProcessLog());
    }

    void cleanup()
    {
        stopEndBrokerWatchers();
    }

    // ---- First run ----

    void firstRunSelectsSpotAndAutofill()
    {
        {
            OpenedDatabase db;
            MainWindow w(&db);
                const MainWindowForm &ui = w.form();
            QVERIFY(ui.spotBox->isChecked());
            QVERIFY(w.segmentFlag(5));
            QCOMPARE(w.currentSegment(), QStringLiteral("SPOTINDEX"));
            QStringList shown;
            for (int i = 0; i < ui.symbolsListWidget->count(); ++i)
                shown << ui.symbolsListWidget->item(i)->text();
            QCOMPARE(shown, db.segmentSymbols(QStringLiteral("SPOTINDEX")));
            QVERIFY(shown.contains(QStringLiteral("INDIAVIX")));
            QVERIFY(ui.autofillCheckBox->isChecked());
            QCOMPARE(ui.autoFilldaysBox->currentText(), QStringLiteral("5"));
            {
                AppSettings store;
                QCOMPARE(store.value(SettingsKeys::firstRun).toBool(), false);
                QCOMPARE(store.value(SettingsKeys::autoBackfillChecked).toBool(), true);
                QCOMPARE(store.value(SettingsKeys::autoFilldays).toString(), QStringLiteral("5"));
            }
            w.close();
        }
        {
            AppSettings store;
            QCOMPARE(store.value(SettingsKeys::firstRun, true).toBool(), false);
            for (int k = 0; k < 9; ++k)
                QCOMPARE(store.value(SettingsKeys::segmentCheckbox(k)).toBool(), k == 5);
        }

        // The next start is not a first run: no segment, an empty list.
        OpenedDatabase againDb;
        MainWindow again(&againDb);
        QVERIFY(!again.form().spotBox->isChecked());
        QVERIFY(again.currentSegment().isEmpty());
        QCOMPARE(again.form().symbolsListWidget->count(), 0);
    }

    // ---- Start-up fill and live feed ----

    void enableInterfaceRestoresTheWatchlistAndStartsTheFeed()
    {
        LocalFeedServer feed;
        QVERIFY(feed.listen());
        {
            AppSettings store;
            store.setValue(SettingsKeys::firstRun, false);
            store.setValue(SettingsKeys::selectedSymbolsList,
                           QStringList({"NIFTY-I", "FOO", "ICICIBANK", "XAUUSD"}));
            store.setValue(SettingsKeys::corrExchList, QStringList({"FUTURE", "NSEX", "CASH", "FOREX"}));
            store.setValue(SettingsKeys::segmentCheckbox(1), true);
            store.setValue(SettingsKeys::autoBackfillChecked, false);
            store.setValue(SettingsKeys::autoFilldays, QStringLiteral("10"));
        }

        OpenedDatabase db;
        MainWindow w(&db);
        const MainWindowForm &ui = w.form();
        w.setSymbolLimit(10);
        w.liveFeed()->setAddress(feed.url());
        w.setSecureKey(QStringLiteral("demo-secure-key-7f3a"));
        w.liveFeed()->setNetworkPaths(QStringLiteral("127.0.0.1:49121/net/get"), QStringLiteral("127.0.0.1:49121/net/post"));
        w.loadFullCatalogue();
        w.show();
        w.enableInterface(QStringLiteral(" VANTREL-DEMO-0001  "), kDays, QStringLiteral("Welcome to Vantrel."));

        QStringList days;
        for (int i = 0; i < ui.daysBox->count(); ++i)
            days << ui.daysBox->itemText(i);
        QCOMPARE(days, kDays);
        QCOMPARE(ui.messageBox->toPlainText(), QStringLiteral("Welcome to Vantrel."));
        QCOMPARE(ui.machineIDLabel->text(), QStringLiteral(" VANTREL-DEMO-0001  "));
        QVERIFY(ui.connectButton->isHidden());
        QVERIFY(!ui.connectButton->isEnabled());
        QVERIFY(!ui.autofillCheckBox->isChecked());
        QCOMPARE(ui.autoFilldaysBox->currentText(), QStringLiteral("10"));

        // The unknown exchange code went, with its symbol, and the user was told.
        QCOMPARE(w.watchlist()->symbols(), QStringList({"NIFTY-I", "ICICIBANK", "XAUUSD"}));
        QCOMPARE(w.watchlist()->exchanges(), QStringList({"FUTURE", "CASH", "FOREX"}));
        QVERIFY(ui.futureBox->isChecked());
        QCOMPARE(w.currentSegment(), QStringLiteral("FUTURE"));
        QCOMPARE(ui.displayTableWidget->rowCount(), 3);
        QCOMPARE(ui.SymbolsSelected->text(), QStringLiteral("S:(3)"));
        QCOMPARE(m_hooks.titles(), QStringList{QStringLiteral("Watchlist Repaired")});

        // The charting program was pointed at our database.
        BrokerStandIn *broker = standIn(w);
        QVERIFY(broker);
        QTRY_COMPARE(broker->counters().databaseLoads, 1);
        QCOMPARE(QDir(broker->databaseFolder()).absolutePath(), QDir(InstallPaths::databaseDir()).absolutePath());

        // Feed: authenticated with the simplified user ID and subscribed to the restored
        // watchlist (the feed may or may not have subscribed the default symbols before the
        // re-subscription reached it; that depends on how fast the socket connected).
        QVERIFY(w.liveFeed()->feedThread());
        QVERIFY(w.liveFeed()->feedThread()->isRunning());
        QCOMPARE(w.liveFeed()->feedThread()->parent(), w.liveFeed());
        QCOMPARE(w.liveFeed()->parent(), &w);
        QVERIFY(w.liveFeed()->worker());
        QCOMPARE(w.liveFeed()->worker()->thread(), w.liveFeed()->feedThread());
        QCOMPARE(w.liveFeed()->worker()->tickFilePath(), InstallPaths::rootSlashTrailing() + QStringLiteral("rtsocket.txt"));
        QTRY_COMPARE_WITH_TIMEOUT(ui.statusLabel->text(), QStringLiteral("Live: Connected"), 10000);
        const QStringList restored({"NIFTY-I", "ICICIBANK", "XAUUSD"});
        QTRY_VERIFY_WITH_TIMEOUT(!feed.ofType(QStringLiteral("subscribe")).isEmpty()
                                     && toStrings(feed.ofType(QStringLiteral("subscribe")).last().value(QStringLiteral("symbols")))
                                            == restored,
                                 10000);
        QCOMPARE(feed.received.first().value(QStringLiteral("type")).toString(), QStringLiteral("auth"));
        QCOMPARE(feed.received.first().value(QStringLiteral("machine_id")).toString(), QStringLiteral("VANTREL-DEMO-0001"));
        const int subscribes = feed.ofType(QStringLiteral("subscribe")).size();
        if (subscribes == 2)
            QCOMPARE(toStrings(feed.ofType(QStringLiteral("subscribe"))[0].value(QStringLiteral("symbols"))),
                     w.defaultSymbolList());
        QCOMPARE(feed.ofType(QStringLiteral("unsubscribe_all")).size(), subscribes - 1);

        // A batch reaches the table and the live import.
        feed.send({{"type", "sub_ack"}, {"action", "subscribe"}, {"symbols", QJsonArray{"NIFTY-I", "ICICIBANK", "XAUUSD"}}});
        const qint64 cyclesBefore = w.liveImporter()->importCycles();
        feed.send({{"type", "batch"},
                   {"records", QJsonArray{QJsonObject{{"type", "T"}, {"symbol", "NIFTY-I"}, {"ltd", "2024-01-05"},
                                                      {"ltt", "09:15:01"}, {"ltp", 21701.5}, {"ltq", 50},
                                                      {"oi", 0}, {"vol", 10}}}}});
        QTRY_COMPARE_WITH_TIMEOUT(ui.displayTableWidget->item(0, 1)->text(), QStringLiteral("21701.5"), 10000);
        QCOMPARE(ui.displayTableWidget->item(0, 2)->text(), QStringLiteral("50"));
        QTRY_VERIFY_WITH_TIMEOUT(w.liveImporter()->importCycles() > cyclesBefore, 10000);

        // Adding a symbol re-subscribes the feed with the whole list.
        ui.cashBox->click();
        ui.symbolsListWidget->findItems(QStringLiteral("M&M"), Qt::MatchExactly).first()->setCheckState(Qt::Checked);
        ui.addSelected->click();
        QTRY_COMPARE_WITH_TIMEOUT(feed.ofType(QStringLiteral("subscribe")).size(), subscribes + 1, 10000);
        QCOMPARE(toStrings(feed.ofType(QStringLiteral("subscribe")).last().value(QStringLiteral("symbols"))),
                 QStringList({"NIFTY-I", "ICICIBANK", "XAUUSD", "M&M"}));

        // The link drops: the status says so.
        feed.client->close();
        QTRY_COMPARE_WITH_TIMEOUT(ui.statusLabel->text(), QStringLiteral("Live: Disconnected"), 10000);

        // Close: the feed thread stops and the watchlist is stored.
        QPointer<QThread> thread = w.liveFeed()->feedThread();
        QPointer<WebSocketWorker> worker = w.liveFeed()->worker();
        w.close();
        QVERIFY(!w.liveFeed()->feedThread());
        QVERIFY(!w.liveFeed()->worker());
        QVERIFY(thread.isNull() || thread->isFinished());
        QTRY_VERIFY(worker.isNull());
        AppSettings store;
        QCOMPARE(store.value(SettingsKeys::selectedSymbolsList).toStringList(),
                 QStringList({"NIFTY-I", "ICICIBANK", "XAUUSD", "M&M"}));
        QCOMPARE(store.value(SettingsKeys::corrExchList).toStringList(),
                 QStringList({"FUTURE", "CASH", "FOREX", "CASH"}));
        for (int k = 0; k < 9; ++k)
            QCOMPARE(store.value(SettingsKeys::segmentCheckbox(k)).toBool(), k == 0);
    }

    // Unusable stored entries cost only themselves (the rules are the watchlist's, in
    // tst_watchlist): the user is told which went, the table shows the rest and the close
    // writes the repaired list, not an empty one.
    void storedWatchlistKeepsItsGoodEntries_data()
    {
        QTest::addColumn<QStringList>("symbols");
        QTest::addColumn<QStringList>("codes");
        QTest::addColumn<QStringList>("kept");
        QTest::addColumn<QString>("dropped");
        QTest::newRow("unknown codes") << QStringList{"NIFTY-I", "ACC", "SBIN", "XAUUSD"}
                                       << QStringList{"FUTURE", "NYSE", "CASH;DROP", "FOREX"}
                                       << QStringList{"NIFTY-I", "XAUUSD"} << "2 saved watchlist entries could not be "
                                          "used and were left out:\nACC (NYSE)\nSBIN (CASH;DROP)";
    }
    void storedWatchlistKeepsItsGoodEntries()
    {
        QFETCH(QStringList, symbols);
        QFETCH(QStringList, codes);
        QFETCH(QStringList, kept);
        QFETCH(QString, dropped);
        {
            AppSettings store;
            store.setValue(SettingsKeys::firstRun, false);
            store.setValue(SettingsKeys::selectedSymbolsList, symbols);
            store.setValue(SettingsKeys::corrExchList, codes);
        }
        {
            OpenedDatabase db;
            MainWindow w(&db);
            w.setSymbolLimit(50);
            w.liveFeed()->setAddress(QStringLiteral("ws://127.0.0.1:1/ws"));
            w.enableInterface(QStringLiteral("U"), kDays, QString());
            QCOMPARE(w.watchlist()->symbols(), kept);
            QCOMPARE(w.watchlist()->exchanges().size(), kept.size());
            QCOMPARE(m_hooks.titles(), QStringList{QStringLiteral("Watchlist Repaired")});
            QCOMPARE(m_hooks.boxes.first().text, dropped);
            QCOMPARE(w.form().displayTableWidget->rowCount(), kept.size());
            w.close();
        }
        QCOMPARE(AppSettings().value(SettingsKeys::selectedSymbolsList).toStringList(), kept);
    }

    // An endpoint that cannot carry a WebSocket starts no feed, and says so in the status
    // line and the debug output instead of leaving a window that never gets a tick.
    void unusableFeedAddressIsReported_data()
    {
        QTest::addColumn<QString>("link");
        QTest::newRow("empty") << "";
        QTest::newRow("NULL") << "NULL";
        QTest::newRow("file") << "file:///tmp/feed";
        QTest::newRow("http") << "http://127.0.0.1:49120/ws";
        QTest::newRow("port 0") << "ws://127.0.0.1:0/ws";
        QTest::newRow("no host") << "ws:///ws";
    }
    void unusableFeedAddressIsReported()
    {
        QFETCH(QString, link);
        AppSettings().setValue(SettingsKeys::firstRun, false);
        OpenedDatabase db;
        MainWindow w(&db);
        w.setSymbolLimit(50);
        w.liveFeed()->setAddress(link);
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^Live feed not started: the ")));
        w.enableInterface(QStringLiteral("U"), kDays, QString());
        QVERIFY(!w.liveFeed()->feedThread());
        QVERIFY2(w.form().statusLabel->text().contains(QLatin1String("No live feed: the ")),
                 qPrintable(w.form().statusLabel->text()));
    }

    // Ticks that wait for the charting program and cannot be kept on disk, and ticks
    // dropped, are shown in the status line, not only in the debug output.
    void unusableSpoolAndDroppedTicksAreShown()
    {
        PendingBatches::clear();
        QDir(InstallPaths::liveSpoolDir()).removeRecursively();
        QFile blocker(InstallPaths::liveSpoolDir());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const auto restore = qScopeGuard([] {
            PendingBatches::setMemoryLimitBytes(0);
            QFile::remove(InstallPaths::liveSpoolDir());
            PendingBatches::clear();
        });
        AppSettings().setValue(SettingsKeys::firstRun, false);
        OpenedDatabase db;
        MainWindow w(&db);
        QTRY_VERIFY2(w.form().statusLabel->text().contains(QLatin1String("cannot be kept on disk")),
                     qPrintable(w.form().statusLabel->text()));
        QVERIFY(w.form().statusLabel->text().contains(QLatin1String("is not a folder")));
        PendingBatches::setMemoryLimitBytes(1);
        PendingBatches::append("T,A,d,t,1,1,0,1\n");
        PendingBatches::append("T,A,d,t,2,1,0,1\n");
        QTRY_COMPARE(w.form().statusLabel->text(), QStringLiteral("Live: 1 tick(s) dropped: more than 1 MB waited "
                                                                  "for AmiBroker and the spool could not take them"));
    }

    // A settings store that cannot be written loses the session's changes: the close says so.
    void unwritableSettingsAreReportedAtClose_data()
    {
        QTest::addColumn<bool>("folderInPlace"); // else: a file where the store's folder belongs
        QTest::newRow("a folder in place of the store") << true;
        QTest::newRow("a file in place of its folder") << false;
    }
    void unwritableSettingsAreReportedAtClose()
    {
        QFETCH(bool, folderInPlace);
        QString storePath;
        {
            AppSettings store;
            store.setValue(SettingsKeys::firstRun, false);
            store.sync();
            storePath = store.fileName();
        }
        const QString folder = QFileInfo(storePath).absolutePath();
        {
            OpenedDatabase db;
            MainWindow w(&db);
            w.setSymbolLimit(50);
            QVERIFY(QFile::remove(storePath));
            if (folderInPlace) {
                QVERIFY(QDir().mkpath(storePath));
            } else {
                QVERIFY(QDir(folder).removeRecursively());
                QFile blocker(folder);
                QVERIFY(blocker.open(QIODevice::WriteOnly));
            }
            w.close();
            QCOMPARE(m_hooks.titles(), QStringList{QStringLiteral("Settings Not Saved")});
            QVERIFY(m_hooks.boxes.first().text.contains(QDir::toNativeSeparators(storePath)));
            QCOMPARE(m_hooks.boxes.first().icon, QMessageBox::Warning);
        }
        QFileInfo(folder).isDir() ? (void)QDir(storePath).removeRecursively() : (void)QFile::remove(folder);
        QVERIFY(QDir().mkpath(folder));
    }

    void watchlistOverTheLimitIsEmptiedAtStart()
    {
        {
            AppSettings store;
            store.setValue(SettingsKeys::firstRun, false);
            store.setValue(SettingsKeys::selectedSymbolsList, QStringList({"NIFTY-I", "ICICIBANK", "XAUUSD"}));
            store.setValue(SettingsKeys::corrExchList, QStringList({"FUTURE", "CASH", "FOREX"}));
        }
        const auto stored = [] {
            AppSettings store;
            return store.value(SettingsKeys::selectedSymbolsList).toStringList()
                   + store.value(SettingsKeys::corrExchList).toStringList();
        };
        {
            OpenedDatabase db;
            MainWindow w(&db);
            w.setSymbolLimit(2);
            w.liveFeed()->setAddress(QStringLiteral("ws://127.0.0.1:1/ws")); // nobody answers; it keeps trying
            w.enableInterface(QStringLiteral("U"), kDays, QString());
            QVERIFY(w.watchlist()->symbols().isEmpty());
            QVERIFY(w.watchlist()->exchanges().isEmpty());
            QCOMPARE(m_hooks.titles(), QStringList{QStringLiteral("Select Symbols")});
            QCOMPARE(m_hooks.boxes[0].text, QStringLiteral("No Symbol Selected.\nPlease Add Symbols for Live Data!"));
            QCOMPARE(m_hooks.boxes[0].icon, QMessageBox::Information);
            QCOMPARE(w.form().displayTableWidget->rowCount(), 0);
            QCOMPARE(w.form().SymbolsSelected->text(), QStringLiteral("S:(0)"));
            w.close();
        }
        // The lower limit cost the session its list, not the user: the saved one stays.
        const QStringList saved{"NIFTY-I", "ICICIBANK", "XAUUSD", "FUTURE", "CASH", "FOREX"};
        QCOMPARE(stored(), saved);
    }

    void unreadableLimitKeepsTheSavedWatchlist()
    {
        {
            AppSettings store;
            store.setValue(SettingsKeys::firstRun, false);
            store.setValue(SettingsKeys::selectedSymbolsList, QStringList({"NIFTY-I", "XAUUSD"}));
            store.setValue(SettingsKeys::corrExchList, QStringList({"FUTURE", "FOREX"}));
            store.setValue(SettingsKeys::segmentCheckbox(8), true);
        }
        {
            OpenedDatabase db;
            MainWindow w(&db);
            w.setSymbolLimitUnreadable();
            w.liveFeed()->setAddress(QStringLiteral("ws://127.0.0.1:1/ws"));
            w.loadFullCatalogue();
            w.enableInterface(QStringLiteral("U"), kDays, QString());
            QCOMPARE(w.watchlist()->symbols(), QStringList({"NIFTY-I", "XAUUSD"}));
            QCOMPARE(w.form().displayTableWidget->rowCount(), 2);
            QVERIFY(m_hooks.boxes.isEmpty());

            // Additions wait for a readable limit.
            w.form().symbolsListWidget->findItems(QStringLiteral("EURUSD"), Qt::MatchExactly).first()
                ->setCheckState(Qt::Checked);
            w.form().addSelected->click();
            QCOMPARE(m_hooks.titles(), QStringList{QStringLiteral("Limit Exceeded")});
            QCOMPARE(w.watchlist()->symbols(), QStringList({"NIFTY-I", "XAUUSD"}));
            w.close();
        }
        QCOMPARE(AppSettings().value(SettingsKeys::selectedSymbolsList).toStringList(),
                 QStringList({"NIFTY-I", "XAUUSD"}));
    }

    void serverTextsAreTrimmedAndOnlyWebLinksOpen()
    {
        AppSettings().setValue(SettingsKeys::firstRun, false);
        LocalFeedServer feed;
        QVERIFY(feed.listen());
        OpenedDatabase db;
        MainWindow w(&db);
        w.liveFeed()->setAddress(QStringLiteral("  ") + feed.url() + QStringLiteral(" \t"));
        w.liveFeed()->setNetworkPaths(QStringLiteral(" 127.0.0.1:49121/net/get "), QStringLiteral("\t127.0.0.1:49121/net/post\n"));
        w.liveFeed()->setLivePaths(QStringLiteral(" a "), QStringLiteral(" b "));
        w.setBackfillPaths(QStringLiteral(" 127.0.0.1:49121/backfill "), QStringLiteral(" c\n"));
        QCOMPARE(w.liveFeed()->address(), feed.url());
        QCOMPARE(w.liveFeed()->pollingEndpoints().networkGet, QStringLiteral("127.0.0.1:49121/net/get"));
        QCOMPARE(w.liveFeed()->pollingEndpoints().networkPost, QStringLiteral("127.0.0.1:49121/net/post"));
        QCOMPARE(w.liveFeed()->pollingEndpoints().liveGet + w.liveFeed()->pollingEndpoints().livePost, QStringLiteral("ab"));
        QCOMPARE(w.txtBackfillPath() + w.txtBackfillPath1Min(), QStringLiteral("127.0.0.1:49121/backfillc"));
        w.form().connectButton->click();
        QTRY_COMPARE_WITH_TIMEOUT(feed.ofType(QStringLiteral("subscribe")).size(), 1, 10000);

        const QStringList refused{QStringLiteral("file:///etc/passwd"), QStringLiteral("/usr/bin/xterm"),
                                  QStringLiteral("ftp://127.0.0.1/x"), QStringLiteral("javascript:alert(1)")};
        for (const QString &link : refused) {
            w.setSupportLink(link);
            w.on_contactSupportButton_clicked();
        }
        QVERIFY(m_hooks.openedUrls.isEmpty());
        w.setSupportLink(QStringLiteral(" https://127.0.0.1:49121/support "));
        w.on_contactSupportButton_clicked();
        w.setSupportLink(QStringLiteral("127.0.0.1:49121/help"));
        w.on_contactSupportButton_clicked();
        QCOMPARE(m_hooks.openedUrls, (QList<QUrl>{QUrl(QStringLiteral("https://127.0.0.1:49121/support")),
                                                  QUrl(QStringLiteral("http://127.0.0.1:49121/help"))}));
    }

    void pollingRequestIsKeptWithoutSending()
    {
        AppSettings().setValue(SettingsKeys::firstRun, false);
        LocalFeedServer feed;
        QVERIFY(feed.listen());
        QTcpServer pollServer; // the polling endpoints: nothing may arrive here
        QVERIFY(pollServer.listen(QHostAddress::LocalHost, 0));
        const QString at = QStringLiteral("127.0.0.1:%1").arg(pollServer.serverPort());
        OpenedDatabase db;
        MainWindow w(&db);
        w.liveFeed()->setAddress(feed.url());
        w.setSecureKey(QStringLiteral("k"));
        w.setSymbolLimit(5);
        w.liveFeed()->setLivePaths(at + "/live/get", at + "/live/post");
        w.liveFeed()->setNetworkPaths(at + "/net/get", at + "/net/post");
        QVERIFY(!w.liveFeed()->hasPollingRequest());
        w.form().connectButton->click();
        QVERIFY(w.liveFeed()->hasPollingRequest());

        // At the 1400-character edge: mode 1 measures the GET text, the other modes the
        // POST path without the uid pair.
        struct Edge { int mode; QString measured; QString get; QString post; };
        const QList<Edge> edges{{1, "http://" + at + "/live/get?uid=&send=&hash=k", "/live/get?uid=&send=", "/live/post"},
                                {2, "http://" + at + "/net/post?send=&hash=k", "/net/get?uid=&send=", "/net/post"}};
        for (const Edge &e : edges) {
            AppSettings().setValue(SettingsKeys::dataMode, e.mode);
            for (int length : {1399, 1400}) {
                const QString symbol(length - e.measured.size(), QLatin1Char('A'));
                w.watchlist()->replace({QStringList{symbol}, QStringList{QStringLiteral("CASH")}});
                w.updateUrlDataState();
                const bool get = length < 1400;
                QCOMPARE(w.liveFeed()->pollingRequest().method, get ? 0 : 1);
                QCOMPARE(w.liveFeed()->pollingRequest().url.toString(),
                         "http://" + at + (get ? e.get : e.post + "?uid=&send=") + symbol + "&hash=k");
            }
        }
        QVERIFY(!pollServer.waitForNewConnection(300)); // the request is only kept ready
        QVERIFY(!QFile::exists(m_env->root() + QStringLiteral("/rt.txt")));
    }

    void connectKeepsTheFirstPollingRequestAndReusesTheFeed()
    {
        AppSettings().setValue(SettingsKeys::firstRun, false);
        LocalFeedServer feed;
        QVERIFY(feed.listen());
        OpenedDatabase db;
        MainWindow w(&db);
        w.liveFeed()->setAddress(feed.url());
        w.setSecureKey(QStringLiteral("k"));
        w.liveFeed()->setNetworkPaths(QStringLiteral("127.0.0.1:49121/net/get"), QStringLiteral("127.0.0.1:49121/net/post"));
        QVERIFY(!w.liveFeed()->hasPollingRequest());
        w.form().connectButton->click();
        QVERIFY(w.liveFeed()->hasPollingRequest());
        QCOMPARE(w.liveFeed()->pollingRequest().text,
                 QStringLiteral("http://127.0.0.1:49121/net/get?uid=&send=ACC-I%7CADANIENT-I%7CADANIPORTS-I"
                                "%7CADANIPOWER-I%7CAMARAJABAT-I&hash=k"));
        QCOMPARE(w.liveFeed()->pollingRequest().method, int(PollingRequest::Get));
        QVERIFY(!w.form().connectButton->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(w.form().statusLabel->text(), QStringLiteral("Live: Connected"), 10000);
        // An empty watchlist subscribes the fifteen default symbols.
        QTRY_COMPARE_WITH_TIMEOUT(feed.ofType(QStringLiteral("subscribe")).size(), 1, 10000);
        QCOMPARE(feed.received.first().value(QStringLiteral("type")).toString(), QStringLiteral("auth"));
        QCOMPARE(toStrings(feed.ofType(QStringLiteral("subscribe"))[0].value(QStringLiteral("symbols"))),
                 w.defaultSymbolList());
        QCOMPARE(w.defaultSymbolList(), QStringList({"BANKNIFTY-I", "CRUDEOIL-I", "GOLDM-I", "SILVERM-I", "USDINR-I",
                                                     "INDIAVIX", "ICICIBANK", "NIFTY-I", "BTCUSD", "EURUSD",
                                                     "XAGUSD", "XAUUSD", "XNGUSD", "XRPUSD", "ETHUSD"}));

        // Connecting again while the feed runs re-subscribes instead of a second thread.
        QThread *thread = w.liveFeed()->feedThread();
        w.watchlist()->replace({QStringList{QStringLiteral("XAUUSD")}, QStringList{QStringLiteral("FOREX")}});
        w.on_connectButton_clicked();
        QCOMPARE(w.liveFeed()->feedThread(), thread);
        QTRY_COMPARE_WITH_TIMEOUT(feed.ofType(QStringLiteral("subscribe")).size(), 2, 10000);
        QCOMPARE(feed.ofType(QStringLiteral("unsubscribe_all")).size(), 1);
        QCOMPARE(toStrings(feed.ofType(QStringLiteral("subscribe")).last().value(QStringLiteral("symbols"))),
                 QStringList{QStringLiteral("XAUUSD")});
        QCOMPARE(feed.connections, 1);
        // Destroyed without its close sequence: the feed thread must still stop cleanly.
    }

    // ---- Close and restart ----

    void closeWritesTheSettingsAndSendsTheExitCommand()
    {
        AppSettings().setValue(SettingsKeys::firstRun, false);
        OpenedDatabase db;
        MainWindow w(&db);
        const MainWindowForm &ui = w.form();
        w.setSymbolLimit(50);
        ui.ForexBox->click();
        ui.symbolsListWidget->findItems(QStringLiteral("XAUUSD"), Qt::MatchExactly).first()->setCheckState(Qt::Checked);
        ui.addSelected->click();
        ui.autofillCheckBox->setChecked(false);
        ui.autoFilldaysBox->setCurrentText(QStringLiteral("20"));
        w.show();
        QStringList written;
        AppSettings::setWriteObserver([&written](const QString &key, const QVariant &) { written << key; });
        QVERIFY(w.close());
        AppSettings::setWriteObserver({});
        QVERIFY(!w.isVisible());

        // The segment flags first, then the watchlist, then the Autofill choice.
        QStringList order;
        for (int k = 0; k < 9; ++k)
            order << QStringLiteral("checkbox%1").arg(k);
        order << QStringLiteral("selectedSymbolsList") << QStringLiteral("corrExchList")
              << QStringLiteral("autoBackfillChecked") << QStringLiteral("autoFilldays");
        QCOMPARE(written, order);

        AppSettings store;
        for (int k = 0; k < 9; ++k)
            QCOMPARE(store.value(SettingsKeys::segmentCheckbox(k)).toBool(), k == 8);
        QCOMPARE(store.value(SettingsKeys::selectedSymbolsList).toStringList(), QStringList{QStringLiteral("XAUUSD")});
        QCOMPARE(store.value(SettingsKeys::corrExchList).toStringList(), QStringList{QStringLiteral("FOREX")});
        QCOMPARE(store.value(SettingsKeys::autoBackfillChecked, true).toBool(), false);
        QCOMPARE(store.value(SettingsKeys::autoFilldays).toString(), QStringLiteral("20"));

        BrokerStandIn *broker = standIn(w);
        QCOMPARE(broker->counters().commands, 1);
        QCOMPARE(broker->lastCommand(), 33029);
        QVERIFY(broker->isExitRequested());
        QCOMPARE(broker->counters().databaseSaves, 0); // control is off
        QCOMPARE(broker->counters().layoutSaves, 0);
        QVERIFY(endBrokerWatchers().isEmpty());
    }

    void escapeAlsoRunsTheCloseSequence()
    {
        AppSettings().setValue(SettingsKeys::firstRun, false);
        OpenedDatabase db;
        MainWindow w(&db);
        w.show();
        QTest::keyClick(&w, Qt::Key_Escape);
        QVERIFY(!w.isVisible());
        QCOMPARE(standIn(w)->counters().commands, 1);
        QVERIFY(AppSettings().contains(SettingsKeys::autoFilldays));
    }

    void closeWithControlOnSavesAndEndsTheChartingProgram()
    {
        {
            AppSettings store;
            store.setValue(SettingsKeys::firstRun, false);
            store.setValue(SettingsKeys::controlAmibroker, true);
            store.setValue(SettingsKeys::saveLayout, true);
        }
        OpenedDatabase db;
        MainWindow w(&db);
        QVERIFY(w.settingsDialog()->controlAmibrokerFlag);
        w.show();
        QElapsedTimer clock;
        clock.start();
        w.close();
        QVERIFY(clock.elapsed() >= 1000); // the charting program gets its second
        QVERIFY(!w.isVisible());

        BrokerStandIn *broker = standIn(w);
        QCOMPARE(broker->counters().commands, 1);
        QCOMPARE(broker->counters().databaseSaves, 1);
        QCOMPARE(broker->counters().layoutSaves, 1);
        QCOMPARE(broker->lastLayoutPath(), InstallPaths::layoutFile());
        QVERIFY(QFile::exists(InstallPaths::layoutFile()));
        // The end is under way in a process of its own that outlives the window.
        QCOMPARE(endBrokerWatchers().size(), 1);
        QVERIFY(!QFile::exists(brokerProcessLog()));
    }

    void closeWithControlOnWithoutLayout()
    {
        {
            AppSettings store;
            store.setValue(SettingsKeys::firstRun, false);
            store.setValue(SettingsKeys::controlAmibroker, true);
        }
        OpenedDatabase db;
        MainWindow w(&db);
        w.close();
        QCOMPARE(standIn(w)->counters().databaseSaves, 1);
        QCOMPARE(standIn(w)->counters().layoutSaves, 0);
        QCOMPARE(endBrokerWatchers().size(), 1);
    }

    void restartWithControlOnSavesOnceAndLeavesTheProgramRunning()
    {
        {
            AppSettings store;
            store.setValue(SettingsKeys::firstRun, false);
            store.setValue(SettingsKeys::controlAmibroker, true);
            store.setValue(SettingsKeys::saveLayout, true);
        }
        OpenedDatabase db;
        MainWindow w(&db);
        w.show();
        const int code = runUntilExit([&w] { w.form().restartButton->click(); });
        QCOMPARE(code, 4444);
        QVERIFY(!w.isVisible());

        BrokerStandIn *broker = standIn(w);
        QCOMPARE(broker->counters().databaseSaves, 1);
        QCOMPARE(broker->counters().layoutSaves, 1);
        QCOMPARE(broker->counters().commands, 1); // the close sequence still sent the exit command
        QVERIFY(!w.settingsDialog()->controlAmibrokerFlag);
        QCOMPARE(AppSettings().value(SettingsKeys::controlAmibroker, true).toBool(), false);
        QVERIFY(endBrokerWatchers().isEmpty()); // not ended
        QVERIFY(AppSettings().contains(SettingsKeys::autoFilldays)); // settings were written
    }

    void restartWithControlOffJustRestarts()
    {
        AppSettings().setValue(SettingsKeys::firstRun, false);
        OpenedDatabase db;
        MainWindow w(&db);
        w.show();
        const int code = runUntilExit([&w] { w.on_restartButton_clicked(); });
        QCOMPARE(code, 4444);
        QCOMPARE(standIn(w)->counters().databaseSaves, 0);
        QVERIFY(!AppSettings().contains(SettingsKeys::controlAmibroker));
    }
};

QTEST_MAIN(TestMainWindowLifecycle)
#include "tst_mainwindowlifecycle.moc"
