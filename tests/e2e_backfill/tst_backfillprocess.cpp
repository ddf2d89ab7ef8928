// The automatic backfill at start-up with the real Vantrel binary: the demo account's
// backfill path names the devserver's HTTP port 49121; every served bar must reach the
// broker stand-in's store under the user's names, and the requests carry server names.
#include "app/settingskeys.h"
#include "platform/standin/quotestore.h"
#include "devserverprocess.h"
#include "testenv.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QtTest>

class tst_BackfillProcess : public QObject
{
    Q_OBJECT
    DevServerProcess m_server;

    void startApp(QProcess *app, const TestEnv &env)
    {
        QProcessEnvironment e = env.appEnvironment();
        e.insert("VANTREL_DATA_SERVER", m_server.httpBase());
        TestEnv::startApp(app, e);
    }

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
        QProcess app;
        startApp(&app, env);
        QVERIFY(app.waitForStarted(10000));

        QByteArray out;
        QElapsedTimer t;
        t.start();
        while (!out.contains("Intraday backfill run complete") && t.elapsed() < 120000
               && app.state() == QProcess::Running) {
            app.waitForReadyRead(200);
            out += app.readAll();
        }
        app.terminate();
        if (!app.waitForFinished(15000))
            app.kill();
        out += app.readAll();
        QVERIFY2(out.contains("Intraday backfill run complete"), out.right(3000).constData());

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
        QProcess app;
        startApp(&app, env);
        QVERIFY(app.waitForStarted(10000));

        QByteArray out;
        QElapsedTimer t;
        t.start();
        while (!out.contains("Backfill import:") && t.elapsed() < 120000 && app.state() == QProcess::Running) {
            app.waitForReadyRead(100);
            out += app.readAll();
        }
        QVERIFY2(out.contains("Backfill import:"), out.right(3000).constData());
        app.terminate();
        const bool ended = app.waitForFinished(60000);
        out += app.readAll();
        if (!ended)
            app.kill();
        QVERIFY2(ended, out.right(3000).constData());
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), 0);
        const int left = QDir(folder).entryList(QDir::Files).size();
        QVERIFY2(left > 0, out.right(3000).constData());
        QFile log(env.root() + "/sqldrivers/x86/backfill_error.log");
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains(" - import stopped; files not yet imported stay in "));
    }
};

QTEST_GUILESS_MAIN(tst_BackfillProcess)
#include "tst_backfillprocess.moc"
