// The real Vantrel binary against the local MariaDB, the data server and the broker
// stand-in: normal start, second copy, unreachable database, unknown account, Restart and
// close. Boxes are answered unattended and logged (VANTREL_BOX_LOG); the session's close
// and restart requests arrive as SIGTERM and SIGHUP.
#include "app/settingskeys.h"
#include "live/livespool.h"
#include "platform/standin/brokerstandin.h"
#include "platform/standin/quotestore.h"
#include "apprun.h"
#include "devserverprocess.h"
#include "testenv.h"

#include <QDir>
#include <QProcess>
#include <QSet>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <sys/stat.h>

#include <csignal>

namespace {
const QString kDemoId = QStringLiteral("VANTREL-DEMO-0001");

QString readText(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly | QIODevice::Text) ? QString::fromUtf8(f.readAll()) : QString();
}

// A tick's key in the store's form, "symbol|2026-12-09 10:42:00.000", from its date as
// yyyyMMdd and its time.
QString tickKey(const QByteArray &symbol, const QByteArray &date, const QByteArray &time)
{
    return QStringLiteral("%1|%2-%3-%4 %5")
        .arg(QString::fromUtf8(symbol), QString::fromUtf8(date.left(4)), QString::fromUtf8(date.mid(4, 2)),
             QString::fromUtf8(date.mid(6, 2)), QString::fromUtf8(time));
}
} // namespace

class tst_AppProcess : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestEnv> env;
    DevServerProcess devserver;
    QTemporaryDir serverDir;
    QString sentLog() const { return serverDir.path() + "/sent.log"; }
    QString stallFile() const { return dbDir() + "/" + BrokerStandIn::stallFileName(); }

    // The ticks the data server sent (whole lines only): their keys and the moment each was
    // sent.
    QVector<QPair<QString, qint64>> sentTicks() const
    {
        QVector<QPair<QString, qint64>> out;
        QFile f(sentLog());
        if (!f.open(QIODevice::ReadOnly))
            return out;
        for (const QByteArray &line : f.readAll().split('\n')) {
            const QList<QByteArray> p = line.trimmed().split(',');
            if (p.size() >= 8 && p[1].size() == 8)
                out << qMakePair(tickKey(p[0], p[1], p[2]), p.last().toLongLong());
        }
        return out;
    }
    QStringList sentKeys() const
    {
        QStringList keys;
        for (const auto &t : sentTicks())
            keys << t.first;
        return keys;
    }

    QSet<QString> storedKeys() const
    {
        QSet<QString> stored;
        QuoteStore store;
        if (!store.open(dbDir()))
            return stored;
        for (const auto &sym : store.symbols()) {
            for (const ImportedQuote &q : store.quotes(sym.first))
                stored.insert(sym.first + '|' + QuoteStore::formatTimestamp(q.timestampMs));
        }
        return stored;
    }

    // The tick keys of every unread batch in a copy of the spool, as a next start would read them.
    QStringList spooledKeys() const
    {
        QStringList keys;
        const QString copy = env->root() + "/spool-copy";
        QDir(copy).removeRecursively();
        QDir().mkpath(copy);
        const QString spoolDir = env->root() + "/livespool";
        for (const QString &name : QDir(spoolDir).entryList(QDir::Files))
            QFile::copy(spoolDir + "/" + name, copy + "/" + name);
        LiveSpool spool;
        if (!spool.open(copy))
            return keys;
        for (LiveSpool::Read r = spool.peek(1 << 24); !r.batches.isEmpty(); r = spool.peek(1 << 24)) {
            for (const QByteArray &b : qAsConst(r.batches)) {
                for (const QByteArray &line : b.split('\n')) {
                    const QList<QByteArray> p = line.split(',');
                    if (p.size() == 8 && p[2].size() == 8)
                        keys << tickKey(p[1], p[2], p[3]);
                }
            }
            spool.acknowledge(r);
        }
        return keys;
    }

    // How many of keys the stand-in's store does not hold.
    int missingFromStore(const QStringList &keys) const
    {
        const QSet<QString> stored = storedKeys();
        int missing = 0;
        for (const QString &k : keys)
            missing += !stored.contains(k);
        return missing;
    }

    // The real program feeding NIFTY-I and EURUSD, then the charting program stalled until
    // `sentDuringStall` more ticks have been sent; *stalled says whether every step worked.
    std::unique_ptr<AppRun> startAppAndStall(int sentDuringStall, bool *stalled)
    {
        *stalled = false;
        TestEnv::saveWatchlist({"NIFTY-I", "EURUSD"}, {"FUTURE", "FOREX"});
        auto app = startApp();
        QuoteStore store;
        bool fed = false;
        if (app->waitForShown(30000)) {
            QElapsedTimer t;
            t.start();
            while (!(fed = store.open(dbDir()) && store.quotes("NIFTY-I").size() >= 2) && t.elapsed() < 20000)
                QTest::qWait(100);
        }
        store.close();
        if (!fed)
            return app;
        QFile(stallFile()).open(QIODevice::WriteOnly);
        if (!app->waitForOutput("stalled while", 30000))
            return app;
        const int atStall = sentKeys().size();
        QElapsedTimer t;
        t.start();
        while (sentKeys().size() < atStall + sentDuringStall && t.elapsed() < 30000)
            QTest::qWait(100);
        *stalled = true;
        return app;
    }

    QString dbDir() const { return env->root() + "/Amibroker/RTDataDatabase"; }
    QString journal() const { return readText(dbDir() + "/" + BrokerStandIn::journalFileName()); }

    std::unique_ptr<AppRun> startApp(const QStringList &extraEnv = {}, const QStringList &wrapper = {})
    {
        auto app = std::make_unique<AppRun>(*env, extraEnv);
        app->start(wrapper);
        return app;
    }

    // Whether `unshare` with these options may run here (it needs root, and a sandbox may
    // refuse new namespaces).
    static bool unshareWorks(const QStringList &options)
    {
        QProcess p;
        p.start(QStringLiteral("unshare"), options + QStringList{QStringLiteral("true")});
        return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }

    // The Vantrel that `unshare -f` started: its process ID outside and inside its
    // namespace (the last field of NSpid).
    static QPair<qint64, qint64> namespacedApp(const QProcess &unshare)
    {
        const QString pid = QString::number(unshare.processId());
        const qint64 outer = readText("/proc/" + pid + "/task/" + pid + "/children").trimmed().toLongLong();
        qint64 inner = 0;
        for (const QString &line : readText("/proc/" + QString::number(outer) + "/status").split('\n')) {
            if (line.startsWith("NSpid:"))
                inner = line.split('\t', Qt::SkipEmptyParts).last().toLongLong();
        }
        return {outer, inner};
    }

    // One figure of the data server's "stats" ("connections", "clients").
    int devserverStat(const char *name) const
    {
        return QJsonDocument::fromJson(devserver.control("stats").toUtf8()).object().value(name).toInt();
    }
    QString lockPath() const { return env->root() + "/Vantrel.lock"; }
    static void controlTheBroker(bool saveLayout)
    {
        AppSettings s;
        s.setValue(SettingsKeys::controlAmibroker, true);
        s.setValue(SettingsKeys::saveLayout, saveLayout);
    }
    // A data server on free ports offering `package`, announced as build 7.11.
    static bool announceUpdate(DevServerProcess &http, const QString &package)
    {
        return http.start({QStringLiteral("--update-package"), package})
            && TestEnv::announceBuild(QStringLiteral("7.11"), http.httpBase() + "/update/Vantrel_update.zip");
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(TestEnv::mariadbUp(), "MariaDB does not answer on 127.0.0.1:49111; start it with scripts/mariadb.sh start");
        QVERIFY(!TestEnv::builtExecutable("Vantrel").isEmpty());
        // The demo account's WebSocketLink names port 49120.
        QVERIFY(devserver.start({"--ws-port", "49120", "--rate", "60", "--batch", "5", "--log-sent", sentLog()},
                                false));
    }

    void init()
    {
        env = std::make_unique<TestEnv>();
        QVERIFY(env->installFormats());
        QVERIFY(env->writeUserId(kDemoId));
    }

    void cleanup() { QVERIFY(TestEnv::restoreAnnouncedBuild()); }

    void announcedUpdateIsInstalledAndHandedOver()
    {
        DevServerProcess http;
        QVERIFY(announceUpdate(http, QStringLiteral("good")));
        auto app = startApp();
        QCOMPARE(app->waitForExit(60000), 0);
        const QString boxes = app->boxLog();
        QVERIFY2(boxes.startsWith("New Update|A Latest Update is Available\\n Application Will Restart after Update.\n"
                                  "Update ready|Update downloaded and extracted.\\nRestarting in (5) seconds."),
                 qPrintable(boxes));
        QVERIFY2(!app->output().contains(AppRun::kShown), app->output().constData());
        QTRY_VERIFY_WITH_TIMEOUT(!readText(env->root() + "/update-launched.txt").isEmpty(), 10000);
        QCOMPARE(readText(env->root() + "/VERSION.txt"), QStringLiteral("7.11\n"));
        QVERIFY(!QFile::exists(env->root() + "/Vantrel_update.zip"));
    }

    // A package 7za cannot unpack, or one without the vendor's signature, is never run: the
    // box says why, nothing of it stays, and the normal start-up follows.
    void refusedUpdateIsReportedAndTheMainWindowFollows_data()
    {
        QTest::addColumn<QString>("package");
        QTest::addColumn<QString>("box");
        QTest::newRow("corruptUpdateIsReportedAndTheMainWindowFollows")
            << "corrupt" << "Update failed|Update failed: 7za could not unpack";
        QTest::newRow("unsignedUpdateIsRefusedAndTheMainWindowFollows")
            << "otherkey" << "Update failed|Update failed: The update package is not signed by the vendor";
    }
    void refusedUpdateIsReportedAndTheMainWindowFollows()
    {
        QFETCH(QString, package);
        QFETCH(QString, box);
        DevServerProcess http;
        QVERIFY(announceUpdate(http, package));
        TestEnv::saveWatchlist({"NIFTY-I"}, {"FUTURE"}); // so that no box but the update's comes
        auto app = startApp();
        QVERIFY2(app->waitForShown(60000), app->output().constData());
        const QStringList boxes = app->boxes();
        QCOMPARE(boxes.size(), 2);
        QVERIFY2(boxes[1].startsWith(box), qPrintable(boxes[1]));
        for (const char *name : {"VERSION.txt", "Vantrel.sh", "Vantrel_update.zip"})
            QVERIFY2(!QFile::exists(env->root() + "/" + name), name);
        QCOMPARE(app->close(), 0);
    }

    // What a killed update left (package, partial download, work and staging folders, an
    // old executable moved aside) is gone once the next start holds the single-instance lock;
    // the user's files stay.
    void leftoversOfAKilledUpdateGoAtTheNextStart()
    {
        const QString root = env->root();
        const QStringList leftovers{"Vantrel_update.zip", "Vantrel_update.zip.Ab12Cd", ".vantrel-update/new/Vantrel",
                                    "." + QFileInfo(root).fileName() + "-staging-Qw12Er/VERSION.txt", "Vantrel.old"};
        for (const QString &name : leftovers + QStringList{"notes.old"}) {
            QDir().mkpath(QFileInfo(root + "/" + name).absolutePath());
            QFile f(root + "/" + name);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("left\n");
        }
        QFile manifest(root + "/.vantrel-old-files");
        QVERIFY(manifest.open(QIODevice::WriteOnly));
        manifest.write("Vantrel.old\nuserid.txt\n");
        manifest.close();
        auto app = startApp();
        QVERIFY2(app->waitForShown(60000), app->output().constData());
        for (const QString &name : leftovers)
            QVERIFY2(!QFile::exists(root + "/" + name.section('/', 0, 0)), qPrintable(name));
        QVERIFY(!QFile::exists(root + "/.vantrel-old-files"));
        QVERIFY(QFile::exists(root + "/notes.old"));
        QCOMPARE(readText(root + "/userid.txt").trimmed(), kDemoId);
        QCOMPARE(app->close(), 0);
    }

    void normalStartFeedsTheBrokerAndCloses()
    {
        TestEnv::saveWatchlist({"NIFTY-I", "EURUSD", "BOGUS"}, {"FUTURE", "FOREX", "NOSUCH"});
        AppSettings().setValue(SettingsKeys::segmentCheckbox(1), true);
        auto app = startApp();
        QVERIFY2(app->waitForShown(30000), app->output().constData());

        // The feed runs for the restored watchlist: quotes reach the stand-in's store.
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(QuoteStore::pathIn(dbDir())), 15000);
        QuoteStore store;
        QTRY_VERIFY_WITH_TIMEOUT(store.open(dbDir()) && store.quotes("NIFTY-I").size() >= 2
                                     && store.quotes("EURUSD").size() >= 2, 20000);
        QVERIFY(store.quotes("BOGUS").isEmpty()); // dropped at start-up with its unknown code
        QVERIFY(journal().contains("LoadDatabase(QString&) " + dbDir()));
        QVERIFY(!app->boxLog().contains("Select Symbols"));

        QCOMPARE(app->close(), 0);
        QVERIFY(journal().contains("ExecuteCommand(int) 33029"));
        QVERIFY(!journal().contains("SaveDatabase()")); // control is off
        AppSettings s;
        QCOMPARE(s.value(SettingsKeys::selectedSymbolsList).toStringList(), QStringList({"NIFTY-I", "EURUSD"}));
        QCOMPARE(s.value(SettingsKeys::corrExchList).toStringList(), QStringList({"FUTURE", "FOREX"}));
        QCOMPARE(s.value(SettingsKeys::segmentCheckbox(1)).toBool(), true);
        QCOMPARE(s.value(SettingsKeys::segmentCheckbox(5)).toBool(), false);
    }

    void firstStartWithEmptyStore()
    {
        auto app = startApp();
        QVERIFY2(app->waitForShown(30000), app->output().constData());
        // Empty watchlist: the box asks for symbols. The feed still connects (it starts on
        // the default list and is then subscribed to the empty watchlist).
        QTRY_VERIFY_WITH_TIMEOUT(app->boxLog().contains("Select Symbols|No Symbol Selected."), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(app->output().contains("Live: Connected") || devserverStat("clients") >= 1, 10000);
        QCOMPARE(app->close(), 0);
        AppSettings s;
        QCOMPARE(s.value(SettingsKeys::firstRun).toBool(), false);
        QCOMPARE(s.value(SettingsKeys::segmentCheckbox(5)).toBool(), true);
        QCOMPARE(s.value(SettingsKeys::autoBackfillChecked).toBool(), true);
        QCOMPARE(s.value(SettingsKeys::autoFilldays).toString(), QStringLiteral("5"));
    }

    void secondCopyEndsBeforeServerAccess()
    {
        auto first = startApp();
        QVERIFY2(first->waitForShown(30000), first->output().constData());

        auto second = startApp();
        QCOMPARE(second->waitForExit(30000), 0);
        QVERIFY(second->boxLog().contains("Already Running|An Instance of Application is already Running..."));
        QVERIFY2(!second->output().contains("Database connection"), second->output().constData());
        QVERIFY(!second->output().contains(AppRun::kShown));

        QVERIFY(first->running()); // the first copy is untouched
        QCOMPARE(first->close(), 0);
    }

    // The update's launcher starts the new build while the old copy is still ending: the
    // new one waits for it instead of counting two copies and quitting.
    void startWhileTheFirstEndsLeavesOneRunning()
    {
        // Its close sequence then lasts over a second (charting program handling).
        AppSettings().setValue(SettingsKeys::controlAmibroker, true);
        auto first = startApp();
        QVERIFY2(first->waitForShown(30000), first->output().constData());
        first->requestClose();
        auto second = startApp({QStringLiteral("VANTREL_HANDOVER_PID=%1").arg(first->pid())});
        QCOMPARE(first->waitForExit(), 0);
        QVERIFY2(second->waitForShown(40000), second->output().constData());
        QVERIFY(!second->boxLog().contains("Already Running"));
        QVERIFY(second->running());
        QCOMPARE(second->close(), 0);
    }

    // The same, with an old copy that takes 8 s to end and holds the lock meanwhile, as a
    // slow close does: the new build waits for it instead of quitting.
    void startWhileASlowCopyEndsWaitsForIt()
    {
        QProcess old;
        QVERIFY(TestEnv::holdFileLock(&old, lockPath(), 8));
        auto app = startApp({QStringLiteral("VANTREL_HANDOVER_PID=%1").arg(old.processId())});
        QVERIFY2(app->waitForShown(60000), app->output().constData());
        // It was waited for, not run beside (its end is only noticed by asking).
        QVERIFY(old.waitForFinished(100) || old.state() == QProcess::NotRunning);
        QVERIFY(!app->boxLog().contains("Already Running"));
        QCOMPARE(app->close(), 0);
    }

    // Two starts at once (a double click) or 50 ms apart: exactly one copy runs.
    void twoStartsCloseTogetherLeaveExactlyOne_data()
    {
        QTest::addColumn<int>("apartMs");
        QTest::newRow("at once") << 0;
        QTest::newRow("50 ms apart") << 50;
    }
    void twoStartsCloseTogetherLeaveExactlyOne()
    {
        QFETCH(int, apartMs);
        auto a = startApp();
        if (apartMs > 0)
            QTest::qWait(apartMs);
        auto b = startApp();
        QElapsedTimer t;
        t.start();
        // The loser waits for the lock (10 s), then says so and ends.
        while (a->running() && b->running() && t.elapsed() < 60000) {
            a->process().waitForFinished(100);
            b->process().waitForFinished(100);
        }
        AppRun &loser = a->running() ? *b : *a;
        AppRun &winner = a->running() ? *a : *b;
        QVERIFY2(!loser.running(), "both copies still run after 60 s");
        QCOMPARE(loser.waitForExit(), 0);
        QVERIFY2(!loser.output().contains(AppRun::kShown), loser.output().constData());
        QVERIFY(loser.boxLog().contains("Already Running|An Instance of Application is already Running..."));
        QVERIFY2(winner.waitForShown(30000), winner.output().constData());
        QCOMPARE(winner.close(), 0);
    }

    // A copy killed with SIGKILL, then a new start in a fresh PID namespace where it gets
    // the killed copy's process ID (1 in each): the new copy runs.
    void killedCopyIsFollowedEvenWithItsProcessId()
    {
        const QStringList pidNamespace{"-p", "-f", "--mount-proc"};
        if (!unshareWorks(pidNamespace))
            QSKIP("unshare -p -f --mount-proc is refused here");
        const QStringList wrapper = QStringList{"unshare"} + pidNamespace;
        auto first = startApp({}, wrapper);
        QVERIFY2(first->waitForShown(30000), first->output().constData());
        const auto killed = namespacedApp(first->process());
        QVERIFY(killed.first > 0);
        QVERIFY(::kill(pid_t(killed.first), SIGKILL) == 0);
        QVERIFY(first->waitForExit(15000) != -1);

        auto second = startApp({}, wrapper);
        QVERIFY2(second->waitForShown(30000), second->output().constData());
        const auto next = namespacedApp(second->process());
        QCOMPARE(next.second, killed.second); // the same process ID as the killed copy
        QVERIFY(!second->boxLog().contains("Already Running"));
        ::kill(pid_t(next.first), SIGTERM);
        QCOMPARE(second->waitForExit(), 0);
    }

    // Whatever a power cut, a copied folder or a killed copy left in the lock file: the
    // start goes ahead, and the file then names the new copy (for people only).
    void leftLockContentNeverStopsAStart_data()
    {
        QTest::addColumn<QByteArray>("content");
        const QByteArray host = QSysInfo::machineHostName().toUtf8();
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("all zeros") << QByteArray(4096, '\0');
        QByteArray garbage;
        for (int i = 0; i < 1024; ++i)
            garbage += char((i * 37 + 11) & 0xff);
        QTest::newRow("garbage") << garbage;
        QTest::newRow("another host") << QByteArray("4242\nVantrel\nsome-other-host\n" + QSysInfo::machineUniqueId() + '\n');
        // A live process under the name it runs as, as a reused process ID gives.
        QTest::newRow("a live process") << QByteArray::number(QCoreApplication::applicationPid()) + '\n'
                                               + QFileInfo(QCoreApplication::applicationFilePath()).fileName().toUtf8()
                                               + '\n' + host + '\n' + QSysInfo::machineUniqueId() + '\n';
    }
    void leftLockContentNeverStopsAStart()
    {
        QFETCH(QByteArray, content);
        QFile lock(lockPath());
        QVERIFY(lock.open(QIODevice::WriteOnly));
        QCOMPARE(lock.write(content), qint64(content.size()));
        lock.close();
        auto app = startApp();
        QVERIFY2(app->waitForShown(30000), app->output().constData());
        QVERIFY(!app->boxLog().contains("Already Running"));
        QVERIFY(lock.open(QIODevice::ReadOnly));
        QCOMPARE(lock.readAll(), QByteArray::number(app->pid()) + "\nVantrel\n"
                                     + QSysInfo::machineHostName().toUtf8() + '\n');
        QCOMPARE(app->close(), 0);
    }

    // A folder where the lock file belongs: both of two starts say so, naming it, and
    // neither runs.
    void folderAtTheLockPathRefusesEveryStart()
    {
        QVERIFY(QDir().mkpath(lockPath()));
        auto a = startApp();
        QTest::qWait(50);
        auto b = startApp();
        QCOMPARE(a->waitForExit(30000), 0);
        QCOMPARE(b->waitForExit(30000), 0);
        QVERIFY2(!a->output().contains(AppRun::kShown) && !b->output().contains(AppRun::kShown),
                 (a->output() + b->output()).constData());
        const QString refusal = "Cannot Start|Vantrel cannot make sure that it runs only once.\\n\\nThe lock file "
                                + lockPath() + " is a folder.\\nRemove it, or make its folder writable, then start Vantrel again.";
        QCOMPARE(a->boxLog(), refusal + '\n' + refusal + '\n');
    }

    // An installation root on a read-only disk (a read-only bind mount in a namespace of
    // the copy's own): a lock file already there is still locked, so one copy runs and a
    // second is refused; without the file no copy runs, and the box says why.
    void readOnlyRootNeverRunsTwoCopies_data()
    {
        QTest::addColumn<bool>("lockFileExists");
        QTest::newRow("lock file present") << true;
        QTest::newRow("lock file absent") << false;
    }
    void readOnlyRootNeverRunsTwoCopies()
    {
        QFETCH(bool, lockFileExists);
        const QStringList mountNamespace{"-m", "--propagation", "private"};
        if (!unshareWorks(mountNamespace))
            QSKIP("unshare -m is refused here");
        if (lockFileExists)
            QVERIFY(QFile(lockPath()).open(QIODevice::WriteOnly));
        const QString boxes = env->root() + "/../boxes-readonly.log"; // outside the root
        QFile::remove(boxes);
        const QStringList wrapper = QStringList{"unshare"} + mountNamespace
            + QStringList{"sh", "-c", "mount --bind \"$0\" \"$0\" && mount -o remount,bind,ro \"$0\" \"$0\" && exec \"$@\"",
                          env->root()};
        auto a = startApp({"VANTREL_BOX_LOG=" + boxes}, wrapper);
        if (!lockFileExists) {
            QCOMPARE(a->waitForExit(30000), 0);
            QVERIFY2(!a->output().contains(AppRun::kShown), a->output().constData());
            QVERIFY2(a->boxLog().startsWith("Cannot Start|") && a->boxLog().contains(
                         lockPath() + " cannot be created because its folder cannot be written."),
                     qPrintable(a->boxLog()));
            return;
        }
        QVERIFY2(a->waitForShown(30000), a->output().constData());
        auto b = startApp({"VANTREL_BOX_LOG=" + boxes}, wrapper);
        QCOMPARE(b->waitForExit(60000), 0);
        QVERIFY2(!b->output().contains(AppRun::kShown), b->output().constData());
        QVERIFY2(b->boxLog().contains("Already Running|"), qPrintable(b->boxLog()));
        QVERIFY(a->running());
        QCOMPARE(a->close(), 0); // the shell became Vantrel (exec)
    }

    void unreachableDatabaseEndsWithConnectionError()
    {
        auto app = startApp({"VANTREL_DB_PORT=9"});
        QCOMPARE(app->waitForExit(60000), 0);
        QVERIFY2(app->boxLog().contains("Connection Error|Unable to connect to Server"),
                 qPrintable(app->boxLog()));
        QVERIFY(!app->output().contains(AppRun::kShown));
    }

    void unknownAccountIsToldAndEnds()
    {
        QVERIFY(env->writeUserId("NOT-A-REGISTERED-ID-42"));
        auto app = startApp();
        QCOMPARE(app->waitForExit(30000), 0);
        const QString boxes = app->boxLog();
        QVERIFY2(boxes.contains("Account Not Registered|") && boxes.contains("NOT-A-REGISTERED-ID-42"),
                 qPrintable(boxes));
        QVERIFY(!app->output().contains(AppRun::kShown));
        AppSettings s; // the first-start defaults were written
        QCOMPARE(s.value(SettingsKeys::selectedSymbolsList).toStringList().size(), 15);
        QCOMPARE(s.value(SettingsKeys::dataMode).toInt(), 2);
    }

    void restartBuildsASecondPassAndLeavesTheBrokerRunning()
    {
        TestEnv::saveWatchlist({"GOLDM-I"}, {"MCX"});
        controlTheBroker(true);
        const int connectionsBefore = devserverStat("connections");
        auto app = startApp();
        QVERIFY2(app->waitForShown(30000), app->output().constData());
        QTRY_VERIFY_WITH_TIMEOUT(devserverStat("connections") >= connectionsBefore + 1, 10000);

        ::kill(app->pid(), SIGHUP);
        QVERIFY2(app->waitForOutput(AppRun::kShown, 30000, 2), app->output().constData());
        QTRY_VERIFY_WITH_TIMEOUT(devserverStat("connections") >= connectionsBefore + 2, 15000);
        QVERIFY(app->running());
        QCOMPARE(journal().count("SaveDatabase()"), 1);
        QCOMPARE(journal().count("SaveLayout("), 1);
        QVERIFY(QFile::exists(dbDir() + "/Layouts/Default.awl"));
        QVERIFY(!QFile::exists(dbDir() + "/broker-process.log")); // the broker was not ended
        QCOMPARE(AppSettings().value(SettingsKeys::controlAmibroker).toBool(), false);

        QCOMPARE(app->close(), 0);
        QCOMPARE(journal().count("SaveDatabase()"), 1); // control was left off by Restart
    }

    void closeWithBrokerControlSavesAndEndsTheBroker()
    {
        TestEnv::saveWatchlist({"XAUUSD"}, {"FOREX"});
        controlTheBroker(false);
        auto app = startApp();
        QVERIFY2(app->waitForShown(30000), app->output().constData());
        QCOMPARE(app->close(), 0);
        const QString j = journal();
        QVERIFY(j.indexOf("ExecuteCommand(int) 33029") >= 0);
        QVERIFY(j.indexOf("SaveDatabase()") > j.indexOf("ExecuteCommand(int) 33029"));
        QVERIFY(!j.contains("SaveLayout("));
        // The end runs in a process of its own that outlives Vantrel; a process the window
        // owned would have been killed with it and the line would never come.
        QTRY_COMPARE_WITH_TIMEOUT(readText(dbDir() + "/broker-process.log"), QStringLiteral("EndBroker\n"), 10000);
    }

    void closeWithAStalledBrokerEndsWithinItsBoundAndExitsZero()
    {
        TestEnv::saveWatchlist({"XAUUSD"}, {"FOREX"});
        controlTheBroker(true);
        auto app = startApp();
        QVERIFY2(app->waitForShown(30000), app->output().constData());
        // The charting program is busy for good: every call blocks.
        QVERIFY(QDir().mkpath(dbDir()));
        QFile(stallFile()).open(QIODevice::WriteOnly);
        QVERIFY2(app->waitForOutput("stalled while", 30000), app->output().constData());

        // Three calls of at most 10 s, the 1 s rest and the broker thread's end: within the
        // bound given here, with the ordinary exit status.
        QCOMPARE(app->close(90000), 0);
        for (const char *call : {"ExecuteCommand(int)", "SaveDatabase()", "SaveLayout("})
            QVERIFY2(app->output().contains(QByteArray("did not answer ") + call), call);
        QVERIFY(!journal().contains("ExecuteCommand(int) 33029")); // it never got through
        // The charting program is still ended afterwards.
        QTRY_COMPARE_WITH_TIMEOUT(readText(dbDir() + "/broker-process.log"), QStringLiteral("EndBroker\n"), 10000);
        QFile::remove(stallFile());
    }

    void ticksOfAStallSurviveARestartAndAreAllStored()
    {
        TestEnv::saveWatchlist({"NIFTY-I", "EURUSD"}, {"FUTURE", "FOREX"});
        const int sentBefore = sentKeys().size();
        // A stall: the ticks received meanwhile wait in the kept batches.
        bool stalled = false;
        auto app = startAppAndStall(100, &stalled);
        QVERIFY2(stalled, app->output().constData());

        // Restart while the charting program is still busy: the close gives up on it after
        // its bound and the next pass takes over what is kept.
        ::kill(app->pid(), SIGHUP);
        QVERIFY2(app->waitForOutput(AppRun::kShown, 60000, 2), app->output().constData());
        QVERIFY(app->output().contains("did not answer ExecuteCommand(int)"));
        const int atSecondPass = sentKeys().size();
        QTRY_VERIFY_WITH_TIMEOUT(sentKeys().size() >= atSecondPass + 50, 30000);

        // The stall ends: every tick sent is stored, but for the few a closing link drops
        // in flight (before, every tick received during the stall was lost at Restart).
        QVERIFY(QFile::remove(stallFile()));
        const QStringList sent = sentKeys().mid(sentBefore);
        QVERIFY(sent.size() >= 150);
        QTRY_VERIFY_WITH_TIMEOUT(missingFromStore(sent) <= 20, 60000);
        QCOMPARE(app->close(), 0);
    }

    // Kept batches are on disk a moment after they came: a kill while the charting program is
    // busy, also one that cuts a close short, loses at most the last second of ticks, and the
    // next start imports what was kept, each batch once.
    void aKillWhileTheBrokerIsBusyLosesAtMostTheLastSecond_data()
    {
        QTest::addColumn<bool>("closeFirst");
        QTest::newRow("killed during the stall") << false;
        QTest::newRow("killed 0.2 s after a close request") << true;
    }

    void aKillWhileTheBrokerIsBusyLosesAtMostTheLastSecond()
    {
        QFETCH(bool, closeFirst);
        const int sentBefore = sentKeys().size();
        bool stalled = false;
        auto app = startAppAndStall(240, &stalled);
        QVERIFY2(stalled, app->output().constData());
        if (closeFirst) {
            app->requestClose();
            QThread::msleep(200);
        }
        const qint64 killedAt = QDateTime::currentMSecsSinceEpoch();
        QVERIFY(app->kill());

        // What the spool holds: nothing twice, nothing the charting program had taken.
        const QSet<QString> storedAtKill = storedKeys();
        const QStringList spooled = spooledKeys();
        QVERIFY(!spooled.isEmpty());
        QCOMPARE(QSet<QString>(spooled.cbegin(), spooled.cend()).size(), spooled.size());
        for (const QString &k : spooled)
            QVERIFY2(!storedAtKill.contains(k), qPrintable(k));

        // The next start, the charting program free again: every tick sent up to a second
        // before the kill is stored.
        QVERIFY(QFile::remove(stallFile()));
        QStringList mustArrive, inLastSecond;
        const QVector<QPair<QString, qint64>> sent = sentTicks().mid(sentBefore);
        for (const auto &t : sent) {
            if (t.second <= killedAt - 1000)
                mustArrive << t.first;
            else if (t.second <= killedAt)
                inLastSecond << t.first;
        }
        QVERIFY2(mustArrive.size() >= 150, qPrintable(QStringLiteral("%1 of %2 sent up to a second before the kill at %3; first sent at %4, last at %5")
                                                          .arg(mustArrive.size()).arg(sent.size()).arg(killedAt)
                                                          .arg(sent.isEmpty() ? 0 : sent.first().second)
                                                          .arg(sent.isEmpty() ? 0 : sent.last().second)));
        app = startApp();
        QVERIFY2(app->waitForShown(30000), app->output().constData());
        QTRY_VERIFY_WITH_TIMEOUT(missingFromStore(mustArrive) == 0, 60000);
        qInfo("kill -9 during a stall: %d ticks sent before the last second, all stored; %d of the %d "
              "sent in the last second not stored", int(mustArrive.size()), missingFromStore(inLastSecond), int(inLastSecond.size()));
        QCOMPARE(app->close(), 0);
        // Imported, the spool holds nothing a further start would import again.
        QCOMPARE(spooledKeys(), QStringList());
    }

    // State files of an earlier run that are not regular files: the start neither waits on
    // them nor touches what a link points to.
    void hostileStateFilesNeitherHangTheStartNorReachAUsersFile()
    {
        TestEnv::saveWatchlist({"NIFTY-I"}, {"FUTURE"});
        const QString spoolDir = env->root() + "/livespool";
        QVERIFY(QDir().mkpath(spoolDir));
        const QString users = env->root() + "/users-own.txt";
        {
            QFile f(users);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("VTSPOOL\x02hello", 13);
        }
        QVERIFY(QFile::link(users, spoolDir + "/batches-0001000000.spool"));
        QCOMPARE(::mkfifo(QFile::encodeName(spoolDir + "/spool.pos").constData(), 0644), 0);
        QCOMPARE(::mkfifo(QFile::encodeName(env->root() + "/outage_state.txt").constData(), 0644), 0);
        auto app = startApp();
        QVERIFY2(app->waitForShown(30000), app->output().constData());
        QVERIFY(app->output().contains("cannot be read as a spool segment (a symbolic link); removed"));
        // Ticks come, so the outage state has something to write at the close.
        QuoteStore store;
        QTRY_VERIFY_WITH_TIMEOUT(store.open(dbDir()) && store.quotes("NIFTY-I").size() >= 1, 20000);
        QCOMPARE(app->close(), 0);
        QFile usersFile(users);
        QVERIFY(usersFile.open(QIODevice::ReadOnly));
        QCOMPARE(usersFile.readAll(), QByteArray("VTSPOOL\x02hello", 13));
        QVERIFY(!QFileInfo(spoolDir + "/batches-0001000000.spool").isSymLink());
        QVERIFY(QFileInfo(env->root() + "/outage_state.txt").isFile());
    }
};

QTEST_GUILESS_MAIN(tst_AppProcess)
#include "tst_appprocess.moc"
