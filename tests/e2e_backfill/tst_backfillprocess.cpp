// The automatic backfill at start-up with the real Vantrel binary: the demo account's
// backfill path names the devserver's HTTP port 49121; every served bar must reach the
// broker stand-in's store under the user's names, and the requests carry server names.
#include "app/settingskeys.h"
#include "platform/standin/quotestore.h"
#include "apprun.h"
#include "devserverprocess.h"
#include "testenv.h"

#include <QDir>
#include <QtTest>

class tst_BackfillProcess : public QObject
{
    Q_OBJECT
    DevServerProcess m_server;

    QStringList serverVariable() const { return {"VANTREL_DATA_SERVER=" + m_server.httpBase()}; }

private slots:
    void startupBackfillStoresEveryServedBar()
    {
        QVERIFY(TestEnv::mariadbUp());
        // The demo account's paths name 49121 (HTTP) and 49120 (WebSocket).
        QVERIFY(m_server.start({"--http-port", "49121", "--ws-port", "49120"}));
        TestEnv env;
        QVERIFY(env.installFormats());
        QVERIFY(env.writeUserId("VANTREL-DEMO-0001"));
        TestEnv::saveStartupBackfill({"NIFTY", "M&M-I", "GOLDM-I"}, {"FUTURE", "FUTURE", "MCX"}, "3");
        AppSettings().setValue(SettingsKeys::symbolMappingEntries, QStringList{"NIFTY-I,NIFTY"});
        AppRun app(env, serverVariable());
        QVERIFY(app.start());
        app.waitForOutput("Intraday backfill run complete", 120000);
        app.close();
        QVERIFY2(app.output().contains("Intraday backfill run complete"), app.tail().constData());

        const QStringList requests = m_server.requests().filter("/backfill?");
        const QString prefix = "GET /backfill?uid=VANTREL-DEMO-0001&hash=demo-secure-key-7f3a&d=3&send=";
        QCOMPARE(requests, (QStringList{prefix + "NIFTY-I", prefix + "M%26M-I", prefix + "GOLDM-I"}));
        QuoteStore store;
        QVERIFY(store.open(env.root() + "/Amibroker/RTDataDatabase"));
        // Ticks of the live feed land in the same store; backfill bars sit on whole
        // minutes, so count those.
        for (const QString symbol : {"NIFTY", "M&M-I", "GOLDM-I"}) {
            int bars = 0;
            for (const ImportedQuote &q : store.quotes(symbol))
                bars += q.timestampMs % 60000 == 0 ? 1 : 0;
            QVERIFY2(bars >= 3 * 375, qPrintable(symbol + ": " + QString::number(bars)));
        }
        QCOMPARE(store.quotes("NIFTY-I").size(), 0);
    }

    // A close request (SIGTERM goes the way of the user's close) while the import works
    // through an archive of many small entries ends the program before the import is
    // through; what was not imported stays for the next start.
    void closeDuringAnImportOfManyFilesEndsTheProgram()
    {
        QVERIFY(TestEnv::mariadbUp());
        if (m_server.httpPort == 0)
            QVERIFY(m_server.start({"--http-port", "49121", "--ws-port", "49120"}));
        TestEnv env;
        QVERIFY(env.installFormats());
        QVERIFY(env.writeUserId("VANTREL-DEMO-0001"));
        TestEnv::saveStartupBackfill({"GOLDM-I"}, {"MCX"}, "1");
        const QString folder = env.root() + "/Backfill";
        QVERIFY(QDir().mkpath(folder));
        const int files = 30000;
        for (int i = 0; i < files; ++i) {
            QFile f(folder + QStringLiteral("/e%1.txt").arg(i, 5, 10, QLatin1Char('0')));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("MCX,E" + QByteArray::number(i) + ",20261208,09:15:00,1,2,0.5,1.5,10,0\n");
        }
        AppRun app(env, serverVariable());
        QVERIFY(app.start());
        QVERIFY2(app.waitForOutput("Backfill import:", 120000), app.tail().constData());
        const int exitCode = app.close(60000);
        QVERIFY2(exitCode != -1, app.tail().constData()); // it ended in time
        QCOMPARE(exitCode, 0);
        const int left = QDir(folder).entryList(QDir::Files).size();
        QVERIFY2(left > 0, app.tail().constData());
        QFile log(env.root() + "/sqldrivers/x86/backfill_error.log");
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains(" - import stopped; files not yet imported stay in "));
    }
};

QTEST_GUILESS_MAIN(tst_BackfillProcess)
#include "tst_backfillprocess.moc"
