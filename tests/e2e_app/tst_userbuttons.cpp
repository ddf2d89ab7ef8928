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

#include <QProcess>
#include <QtTest>

class tst_UserButtons : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestEnv> env;
    // Beside the installation root, in the test's own folder: wishlists are not saved inside it.
    QString wishlistPath() const { return QFileInfo(env->root()).absolutePath() + "/watch list.vn"; }
    QProcess xserver;
    QString display;

    QByteArray xdotool(const QStringList &args)
    {
        QProcess x;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("DISPLAY", display);
        x.setProcessEnvironment(e);
        x.start("xdotool", args);
        x.waitForFinished(15000);
        return x.exitCode() == 0 ? x.readAllStandardOutput() : QByteArray();
    }

    // Clicks at (x, y) inside the first visible window whose title matches.
    void clickIn(const QString &title, int x, int y)
    {
        const QByteArray id = xdotool({"search", "--sync", "--onlyvisible", "--name", title}).split('\n').first();
        QVERIFY2(!id.isEmpty(), qPrintable(title));
        xdotool({"mousemove", "--window", id, QString::number(x), QString::number(y), "click", "1"});
    }

    // Starts Vantrel with the given watchlist in its store and waits for its main window.
    std::unique_ptr<AppRun> startApp(const QStringList &symbols, const QStringList &exchanges)
    {
        TestEnv::saveWatchlist(symbols, exchanges);
        // On the private X server; the file dialogs answer a path outside the installation.
        auto app = std::make_unique<AppRun>(*env, QStringList{"QT_QPA_PLATFORM=xcb", "DISPLAY=" + display,
                                                              "VANTREL_FILE_DIALOG_ANSWER=" + wishlistPath()});
        if (app->start())
            app->waitForShown();
        return app;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(TestEnv::mariadbUp(), "MariaDB does not answer on 127.0.0.1:49111");
        QVERIFY2(!QStandardPaths::findExecutable("xdotool").isEmpty(), "xdotool is missing (scripts/install-deps.sh)");
        xserver.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
        QVERIFY(xserver.waitForStarted(5000));
        QByteArray number;
        while (!number.contains('\n') && xserver.waitForReadyRead(10000))
            number += xserver.readAllStandardOutput();
        bool ok = false;
        number.trimmed().toInt(&ok);
        QVERIFY2(ok, number.constData());
        display = ":" + QString::fromLatin1(number.trimmed());
        env = std::make_unique<TestEnv>();
        QVERIFY(env->installFormats());
        QVERIFY(env->writeUserId("VANTREL-DEMO-0001"));
    }

    void cleanupTestCase()
    {
        xserver.terminate();
        xserver.waitForFinished(5000);
    }

    void savedWatchlistLoadsBackInTheNextRun()
    {
        // "Save" sits at 638,430 (70 x 38) in the main window, "Load" at 710,430.
        auto app = startApp({"NIFTY-I", "EURUSD"}, {"FUTURE", "FOREX"});
        clickIn("Vantrel 7\\.10", 673, 449);
        QVERIFY2(app->waitForOutput("Wishlist saved: 2 symbols"), app->output().constData());
        QCOMPARE(app->close(20000), 0);
        QCOMPARE(QFileInfo(wishlistPath()).size(), qint64(32));

        app = startApp({"GOLDM-I"}, {"MCX"});
        clickIn("Vantrel 7\\.10", 745, 449);
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
        clickIn("Vantrel 7\\.10", 601, 449);
        const QByteArray dialog = xdotool({"search", "--sync", "--onlyvisible", "--name", "^Symbol Mapping$"}).trimmed();
        QVERIFY(!dialog.isEmpty());
        const QByteArray geometry = xdotool({"getwindowgeometry", "--shell", dialog});
        const int width = geometry.mid(geometry.indexOf("WIDTH=") + 6).split('\n').first().toInt();
        const int height = geometry.mid(geometry.indexOf("HEIGHT=") + 7).split('\n').first().toInt();
        QVERIFY2(width >= 550 && height >= 350, geometry.constData());
        // Bottom row: "Add" leftmost, "Save && Close" rightmost.
        clickIn("^Symbol Mapping$", 30, height - 30);
        xdotool({"type", "--delay", "20", "NIFTY-I"});
        xdotool({"key", "Tab"});
        xdotool({"type", "--delay", "20", "NIFTY_E2E"});
        xdotool({"key", "Return"});
        clickIn("^Symbol Mapping$", width - 30, height - 30);
        QTRY_COMPARE_WITH_TIMEOUT(SymbolMapping::storedEntries(), QStringList{"NIFTY-I,NIFTY_E2E"}, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!store.quotes("NIFTY_E2E").isEmpty(), 15000);
        QCOMPARE(app->close(20000), 0);
    }
};

QTEST_GUILESS_MAIN(tst_UserButtons)
#include "tst_userbuttons.moc"
