// The whole start-up in process, against the local MariaDB and the data server: the
// controller reads the demo account's record, fills and shows the main window, the live
// feed connects and moves the prices in the watchlist table, and the connectivity
// monitor reports both ways without blocking.
#include "app/connectivitymonitor.h"
#include "app/processexit.h"
#include "app/settingskeys.h"
#include "live/livefeed.h"
#include "serverdb/serverdatabase.h"
#include "shell/splash.h"
#include "shell/startupcontroller.h"
#include "ui/mainwindow.h"
#include "ui/mainwindowform.h"
#include "ui/messagehelper.h"
#include "devserverprocess.h"
#include "testenv.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QTableWidget>
#include <QTcpServer>
#include <QTextEdit>
#include <QtTest>

class tst_StartupSequence : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestEnv> env;
    std::unique_ptr<QProcess> devserver;
    QStringList boxes;
    QList<int> exits;

private slots:
    void initTestCase()
    {
        QVERIFY2(TestEnv::mariadbUp(), "MariaDB does not answer on 127.0.0.1:49111; start it with scripts/mariadb.sh start");
        // The identity the process entry gives every pass (the update check reads it).
        QCoreApplication::setOrganizationName(SettingsKeys::kOrganization);
        QCoreApplication::setApplicationName(SettingsKeys::kApplication);
        QCoreApplication::setApplicationVersion(SettingsKeys::kVersion);
        env = std::make_unique<TestEnv>();
        QVERIFY(env->installFormats());
        QVERIFY(env->writeUserId(QStringLiteral("VANTREL-DEMO-0001")));

        devserver = std::make_unique<QProcess>();
        devserver->setProcessChannelMode(QProcess::MergedChannels);
        devserver->start(TestEnv::builtExecutable("vantrel-devserver"),
                         {"--ws-port", "49120", "--rate", "80", "--batch", "4", "--linger-ms", "50"});
        QByteArray out;
        while (!out.contains("listening ws") && devserver->waitForReadyRead(10000))
            out += devserver->readAll();
        QVERIFY(out.contains("listening ws"));

        MessageHelper::setHook([this](QMessageBox &box) {
            boxes << box.windowTitle() + QLatin1Char('|') + box.text();
            box.button(QMessageBox::Ok) ? box.button(QMessageBox::Ok)->click() : box.buttons().first()->click();
        });
        ProcessExit::setHook([this](int status) { exits << status; });
        Splash::setDurationScale(0.05);
    }

    void cleanupTestCase()
    {
        MessageHelper::setHook({});
        ProcessExit::setHook({});
        devserver->terminate();
        devserver->waitForFinished(5000);
    }

    void updateHandOffComparesNumbers_data()
    {
        QTest::addColumn<QString>("latest");
        QTest::addColumn<bool>("newer");
        QTest::newRow("same") << "7.10" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("text-later") << "7.9" << false; // sorts after "7.10" as text, yet older
        QTest::newRow("newer") << "7.11" << true;
        QTest::newRow("older") << "7.1" << false;
    }
    void updateHandOffComparesNumbers()
    {
        QFETCH(QString, latest);
        QFETCH(bool, newer);
        QCOMPARE(StartupController::isNewerBuild(QStringLiteral("7.10"), latest), newer);
    }

    void init()
    {
        boxes.clear();
        exits.clear();
        QCoreApplication::setApplicationVersion(SettingsKeys::kVersion);
        AppSettings s;
        s.clear();
        s.setValue(SettingsKeys::firstRun, false);
        s.setValue(SettingsKeys::selectedSymbolsList, QStringList{"NIFTY-I"});
        s.setValue(SettingsKeys::corrExchList, QStringList{"FUTURE"});
    }

    // The server announces "7.10"; the running build's version decides, part by part.
    void updateHandOffLeavesTheWindowHidden_data()
    {
        QTest::addColumn<QString>("running");
        QTest::addColumn<bool>("update");
        QTest::newRow("same build") << "7.10" << false;
        QTest::newRow("older, earlier as text") << "7.1" << true;
        QTest::newRow("older, later as text") << "7.2" << true;
        QTest::newRow("newer, earlier as text") << "10.0" << false;
    }
    void updateHandOffLeavesTheWindowHidden()
    {
        QFETCH(QString, running);
        QFETCH(bool, update);
        QCoreApplication::setApplicationVersion(running);
        StartupController dlg;
        QSignalSpy requested(&dlg, &StartupController::updateRequested);
        dlg.startupSequence();
        QVERIFY(dlg.mainWindow());
        if (update) {
            QCOMPARE(boxes, QStringList{"New Update|A Latest Update is Available\n Application Will Restart after Update."});
            QCOMPARE(requested.count(), 1);
            QCOMPARE(requested.first().first().toString(),
                     QStringLiteral("http://127.0.0.1:49121/update/Vantrel_update.zip"));
            QVERIFY(!dlg.mainWindow()->isVisible());
            QVERIFY(!dlg.isMonitorArmed());
            QCOMPARE(dlg.startupBackfillDays(), 0);
        } else {
            QVERIFY(boxes.isEmpty());
            QCOMPARE(requested.count(), 0);
            QVERIFY(dlg.mainWindow()->isVisible());
            dlg.mainWindow()->close();
        }
        QVERIFY(exits.isEmpty());
    }

    void startupBackfillFollowsTheSetting_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<int>("days");
        QTest::newRow("on") << QVariant(true) << 5;
        QTest::newRow("off") << QVariant(false) << 1;
        QTest::newRow("missing") << QVariant() << 1;
    }
    void startupBackfillFollowsTheSetting()
    {
        QFETCH(QVariant, stored);
        QFETCH(int, days);
        if (stored.isValid())
            AppSettings().setValue(SettingsKeys::autoBackfillChecked, stored);
        StartupController dlg;
        dlg.startupSequence();
        QVERIFY(dlg.mainWindow() && dlg.mainWindow()->isVisible());
        // The fill reads the setting before the backfill choice and must not write it.
        QCOMPARE(AppSettings().contains(SettingsKeys::autoBackfillChecked), stored.isValid());
        QCOMPARE(dlg.startupBackfillDays(), days);
        dlg.mainWindow()->close();
    }

    void unverifiableUserEndsTheProcess()
    {
        StartupController dlg;
        dlg.startupSequence();
        QVERIFY(dlg.mainWindow() && dlg.mainWindow()->isVisible());
        dlg.mainWindow()->close();
        boxes.clear();
        // The server settings statement cannot run any more: the check ends the process.
        dlg.serverDatabase()->database()->close();
        dlg.checkIfAlreadyExists();
        QCOMPARE(boxes, QStringList{"Cannot Verify User|Please Check Network Connection"});
        QCOMPARE(exits, QList<int>{0});
    }

    void cleanup()
    {
        boxes.clear();
        QVERIFY(TestEnv::restoreAnnouncedBuild());
    }

    void failedUpdateGoesOnWithTheStart_data()
    {
        QTest::addColumn<QString>("variant");
        QTest::addColumn<QString>("failureBox");
        QTest::addColumn<int>("boxCount");
        QTest::newRow("corrupt") << "corrupt" << "Update failed|Update failed: 7za could not unpack" << 2;
        // Unpacked, counted down, and then no launcher to hand over to.
        QTest::newRow("no launcher") << "nolauncher" << "Updater|Vantrel.sh and VantrelNew not found in" << 3;
        QTest::newRow("empty path") << "" << "Update failed|Update failed: LatestVersionPath empty" << 2;
    }
    void failedUpdateGoesOnWithTheStart()
    {
        QFETCH(QString, variant);
        QFETCH(QString, failureBox);
        QFETCH(int, boxCount);
        DevServerProcess http;
        QVERIFY(http.start({QStringLiteral("--update-package"), variant.isEmpty() ? QStringLiteral("good") : variant}));
        const QString url = variant.isEmpty() ? QStringLiteral("") : http.httpBase() + QStringLiteral("/u/Vantrel_update.zip");
        QVERIFY(TestEnv::announceBuild(QStringLiteral("7.11"), url));
        {
            AppSettings s;
            s.setValue(SettingsKeys::firstRun, false);
            s.setValue(SettingsKeys::selectedSymbolsList, QStringList{"NIFTY-I"});
            s.setValue(SettingsKeys::corrExchList, QStringList{"FUTURE"});
        }

        StartupController dlg;
        dlg.startupSequence();
        MainWindow *mw = dlg.mainWindow();
        QVERIFY(mw);
        // Announced: the start-up stops at the update...
        QCOMPARE(boxes.value(0), QStringLiteral("New Update|A Latest Update is Available\n Application Will Restart after Update."));
        QVERIFY(!mw->isVisible());
        // ...and after its failure goes on as if none had been announced.
        QTRY_VERIFY_WITH_TIMEOUT(mw->isVisible(), 30000);
        QVERIFY2(boxes.size() == boxCount && boxes.last().startsWith(failureBox), qPrintable(boxes.join(QLatin1Char('\n'))));
        QVERIFY(dlg.isMonitorArmed());
        QCOMPARE(mw->symbolLimit(), 50);
        QCOMPARE(mw->form().machineIDLabel->text(), QStringLiteral("VANTREL-DEMO-0001"));
        mw->close();
    }

    void startReachesAFilledWindowWithMovingPrices()
    {
        {
            AppSettings s;
            s.setValue(SettingsKeys::firstRun, false);
            s.setValue(SettingsKeys::selectedSymbolsList, QStringList{"NIFTY-I", "EURUSD", "XAUUSD"});
            s.setValue(SettingsKeys::corrExchList, QStringList{"FUTURE", "FOREX", "FOREX"});
            s.setValue(SettingsKeys::segmentCheckbox(8), true);
        }
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        qputenv("VANTREL_PROBE_HOST", QByteArray("127.0.0.1:") + QByteArray::number(probe.serverPort()));

        StartupController dlg;
        dlg.startupSequence();
        MainWindow *mw = dlg.mainWindow();
        QVERIFY(mw);
        QVERIFY(mw->isVisible());
        QVERIFY(!dlg.isVisible());
        QVERIFY(dlg.isMonitorArmed());
        QVERIFY(boxes.isEmpty());
        const MainWindowForm &ui = mw->form();

        // Filled from the server record, the broadcast message and the stored watchlist.
        QCOMPARE(ui.machineIDLabel->text(), QStringLiteral("VANTREL-DEMO-0001"));
        QCOMPARE(ui.messageBox->toPlainText(), QStringLiteral("Welcome to Vantrel. Markets open 09:15 IST."));
        QCOMPARE(mw->symbolLimit(), 50);
        QCOMPARE(mw->liveFeed()->address(), QStringLiteral("ws://127.0.0.1:49120/ws"));
        QCOMPARE(ui.daysBox->count(), 13);
        QCOMPARE(ui.daysBox->itemText(12), QStringLiteral("365"));
        QCOMPARE(ui.displayTableWidget->rowCount(), 3);
        QCOMPARE(ui.displayTableWidget->item(0, 0)->text(), QStringLiteral("NIFTY-I"));
        QCOMPARE(ui.displayTableWidget->item(2, 0)->text(), QStringLiteral("XAUUSD"));
        QCOMPARE(ui.SymbolsSelected->text(), QStringLiteral("S:(3)"));
        QCOMPARE(mw->currentSegment(), QStringLiteral("FOREX"));
        QVERIFY(mw->symbolCache().value("FUTURE").contains("BANKNIFTY-I"));

        // The live feed connects and the prices move in the table.
        QTRY_VERIFY_WITH_TIMEOUT(ui.displayTableWidget->item(0, 1)
                                     && ui.displayTableWidget->item(0, 1)->text() != "0", 15000);
        const QString first = ui.displayTableWidget->item(0, 1)->text();
        QTRY_VERIFY_WITH_TIMEOUT(ui.displayTableWidget->item(0, 1)->text() != first, 15000);
        QVERIFY(ui.displayTableWidget->item(1, 1)->text() != "0");

        // Connectivity monitor: a reachable probe shows "Connected", then a closed one
        // "Disconnected"; the event loop keeps running meanwhile.
        dlg.checkConnection();
        QTRY_COMPARE(ui.statusLabel->text(), ConnectivityMonitor::connectedText());
        probe.close();
        dlg.checkConnection();
        QTRY_COMPARE(ui.statusLabel->text(), ConnectivityMonitor::disconnectedText());

        mw->close();
        QVERIFY(!mw->liveFeed()->feedThread());
        QCOMPARE(AppSettings().value(SettingsKeys::segmentCheckbox(8)).toBool(), true);
    }
};

QTEST_MAIN(tst_StartupSequence)
#include "tst_startupsequence.moc"
