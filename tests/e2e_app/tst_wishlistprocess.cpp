// The real binary on a private X server, its Save and Load buttons clicked as a user would
// (xdotool): a watchlist saved in one run loads back in the next, and the close sequence
// stores it. File dialogs are answered unattended (VANTREL_FILE_DIALOG_ANSWER).
#include "app/settingskeys.h"
#include "testenv.h"

#include <QProcess>
#include <QtTest>

#include <csignal>

class tst_WishlistProcess : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestEnv> env;
    QProcess xserver;
    QString display;

    // Output of `p` until `marker` shows (or p ends, or the time is up).
    static bool waitFor(QProcess &p, QByteArray &out, const QByteArray &marker, int timeoutMs = 30000)
    {
        QElapsedTimer t;
        t.start();
        while (!out.contains(marker) && t.elapsed() < timeoutMs && p.state() != QProcess::NotRunning) {
            p.waitForReadyRead(200);
            out += p.readAll();
        }
        return out.contains(marker);
    }

    bool xdotool(const QStringList &args, QByteArray *out = nullptr)
    {
        QProcess x;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("DISPLAY", display);
        x.setProcessEnvironment(e);
        x.start("xdotool", args);
        const bool ok = x.waitForFinished(15000) && x.exitCode() == 0;
        if (out)
            *out = x.readAllStandardOutput();
        return ok;
    }

    // Starts Vantrel with the given watchlist in its store, clicks the button at (x, y) of
    // the main window, waits for `done` in its output and closes it; returns its output.
    QByteArray runAndClick(const QStringList &symbols, const QStringList &exchanges, int x, int y,
                           const QByteArray &done)
    {
        {
            AppSettings s;
            s.setValue(SettingsKeys::firstRun, false);
            s.setValue(SettingsKeys::selectedSymbolsList, symbols);
            s.setValue(SettingsKeys::corrExchList, exchanges);
        }
        QProcess app;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("KOVANTA_ROOT", env->root());
        e.insert("XDG_CONFIG_HOME", env->configDir());
        e.insert("QT_QPA_PLATFORM", "xcb");
        e.insert("DISPLAY", display);
        e.insert("VANTREL_BOX_LOG", env->root() + "/boxes.log");
        e.insert("VANTREL_FILE_DIALOG_ANSWER", env->root() + "/watch list.vn");
        e.insert("QT_LOGGING_RULES", "*.debug=true;qt.*.debug=false");
        app.setProcessEnvironment(e);
        app.setProcessChannelMode(QProcess::MergedChannels);
        app.start(TestEnv::builtExecutable("Vantrel"), QStringList());
        QByteArray out;
        if (waitFor(app, out, "main window shown")) {
            QByteArray id;
            if (xdotool({"search", "--sync", "--onlyvisible", "--name", "Vantrel 7\\.10"}, &id))
                xdotool({"mousemove", "--window", QString::fromLatin1(id.split('\n').first()),
                         QString::number(x), QString::number(y), "click", "1"});
            waitFor(app, out, done);
            ::kill(app.processId(), SIGTERM);
        }
        if (!app.waitForFinished(20000))
            app.kill();
        return out + app.readAll();
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
        QVERIFY2(number.trimmed().toInt() > 0 || number.trimmed() == "0", number.constData());
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
        // "Save" sits at 638,430 (70 x 38) and "Load" at 710,430 in the window.
        const QByteArray saved = runAndClick({"NIFTY-I", "EURUSD"}, {"FUTURE", "FOREX"}, 673, 449,
                                             "Wishlist saved:");
        QVERIFY2(saved.contains("Wishlist saved: 2 symbols"), saved.constData());
        QCOMPARE(QFileInfo(env->root() + "/watch list.vn").size(), qint64(32));

        const QByteArray loaded = runAndClick({"GOLDM-I"}, {"MCX"}, 745, 449, "Wishlist loaded:");
        QVERIFY2(loaded.contains("Wishlist loaded: 2 symbols"), loaded.constData());
        AppSettings s; // written by the close sequence after the load
        QCOMPARE(s.value(SettingsKeys::selectedSymbolsList).toStringList(), QStringList({"NIFTY-I", "EURUSD"}));
        QCOMPARE(s.value(SettingsKeys::corrExchList).toStringList(), QStringList({"FUTURE", "FOREX"}));
    }
};

QTEST_GUILESS_MAIN(tst_WishlistProcess)
#include "tst_wishlistprocess.moc"
