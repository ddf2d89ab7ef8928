// The real binary on a private X server with its buttons clicked as a user would
// (xdotool): a watchlist saved in one run loads back in the next, and a mapping typed into
// the mapping dialog renames the next live ticks in the broker stand-in's store. File
// dialogs are answered unattended (VANTREL_FILE_DIALOG_ANSWER), boxes too (VANTREL_BOX_LOG).
#include "app/settingskeys.h"
#include "live/symbolmapping.h"
#include "platform/standin/quotestore.h"
#include "apprun.h"
#include "devserverprocess.h"
#include "testenv.h"
#include "xsession.h"

#include <QProcess>
#include <QtTest>

class tst_UserButtons : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestEnv> env;
    // Beside the installation root, in the test's own folder: wishlists are not saved inside it.
    QString wishlistPath() const { return QFileInfo(env->root()).absolutePath() + "/watch list.vn"; }
    XSession x;

    // Starts Vantrel with the given watchlist in its store and waits for its main window.
    std::unique_ptr<AppRun> startApp(const QStringList &symbols, const QStringList &exchanges)
    {
        TestEnv::saveWatchlist(symbols, exchanges);
        // On the private X server; the file dialogs answer a path outside the installation.
        auto app = std::make_unique<AppRun>(*env, x.variables() << "VANTREL_FILE_DIALOG_ANSWER=" + wishlistPath());
        if (app->start())
            app->waitForShown();
        return app;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(TestEnv::mariadbUp(), "MariaDB does not answer on 127.0.0.1:49111");
        QVERIFY2(x.start(), qPrintable(x.error()));
        env = std::make_unique<TestEnv>();
        QVERIFY(env->installFormats());
        QVERIFY(env->writeUserId("VANTREL-DEMO-0001"));
    }

    void savedWatchlistLoadsBackInTheNextRun()
    {
        // "Save" sits at 638,430 (70 x 38) in the main window, "Load" at 710,430.
        auto app = startApp({"NIFTY-I", "EURUSD"}, {"FUTURE", "FOREX"});
        QVERIFY(x.clickIn("Vantrel 7\\.10", 673, 449));
        QVERIFY2(app->waitForOutput("Wishlist saved: 2 symbols"), app->output().constData());
        QCOMPARE(app->close(20000), 0);
        QCOMPARE(QFileInfo(wishlistPath()).size(), qint64(32));

        app = startApp({"GOLDM-I"}, {"MCX"});
        QVERIFY(x.clickIn("Vantrel 7\\.10", 745, 449));
        QVERIFY2(app->waitForOutput("Wishlist loaded: 2 symbols"), app->output().constData());
        QCOMPARE(app->close(20000), 0);
        AppSettings s; // written by the close sequence after the load
        QCOMPARE(s.value(SettingsKeys::selectedSymbolsList).toStringList(), QStringList({"NIFTY-I", "EURUSD"}));
        QCOMPARE(s.value(SettingsKeys::corrExchList).toStringList(), QStringList({"FUTURE", "FOREX"}));
    }

    void mappingTypedInTheDialogRenamesTheNextLiveTicks()
    {
        DevServerProcess devserver; // the demo account's WebSocketLink names port 49120
        QVERIFY(devserver.start({"--ws-port", "49120", "--rate", "40", "--batch", "2"}, false));
        auto app = startApp({"NIFTY-I"}, {"FUTURE"});
        const QString dbDir = env->root() + "/Amibroker/RTDataDatabase";
        QuoteStore store;
        QTRY_VERIFY_WITH_TIMEOUT(store.open(dbDir) && !store.quotes("NIFTY-I").isEmpty(), 20000);
        QVERIFY(store.quotes("NIFTY_E2E").isEmpty());

        // "Mapping" at 566,430 (70 x 38); "Add" opens the new row's first cell for typing.
        QVERIFY(x.clickIn("Vantrel 7\\.10", 601, 449));
        const QSize size = x.windowSize("^Symbol Mapping$");
        const int width = size.width();
        const int height = size.height();
        QVERIFY2(width >= 550 && height >= 350, qPrintable(QStringLiteral("%1x%2").arg(width).arg(height)));
        // Bottom row: "Add" leftmost, "Save && Close" rightmost.
        QVERIFY(x.clickIn("^Symbol Mapping$", 30, height - 30));
        x.type("NIFTY-I");
        x.key("Tab");
        x.type("NIFTY_E2E");
        x.key("Return");
        QVERIFY(x.clickIn("^Symbol Mapping$", width - 30, height - 30));
        QTRY_COMPARE_WITH_TIMEOUT(SymbolMapping::storedEntries(), QStringList{"NIFTY-I,NIFTY_E2E"}, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!store.quotes("NIFTY_E2E").isEmpty(), 15000);
        QCOMPARE(app->close(20000), 0);
    }
};

QTEST_GUILESS_MAIN(tst_UserButtons)
#include "tst_userbuttons.moc"
