// The real Vantrel binary on small installation roots (tmpfs of 140, 600 and 1,000 MB):
// a backfill archive and a 40 MB update fit what the disk budget gives one job (half the
// free space above 100 MB), a body without end is stopped before it passes that budget
// and its symbol skipped once, and an update that does not fit says what to free.
#include "app/settingskeys.h"
#include "platform/standin/quotestore.h"
#include "apprun.h"
#include "devserverprocess.h"
#include "testenv.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QStorageInfo>
#include <QtTest>

namespace {

constexpr qint64 kMB = 1024 * 1024;
const QString kSymbol = QStringLiteral("GOLDM-I");

QString readText(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// Runs a tool to its end; its output when it failed, empty when it did its work.
QString runTool(const QString &program, const QStringList &arguments)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, arguments);
    if (!p.waitForFinished(10000))
        return program + QStringLiteral(": ") + p.errorString();
    const QString out = QString::fromLocal8Bit(p.readAll()).trimmed();
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0 ? QString()
                                                                         : program + QStringLiteral(": ") + out;
}

} // namespace

class tst_SmallDisk : public QObject
{
    Q_OBJECT
    DevServerProcess m_server;
    std::unique_ptr<TestEnv> m_env;
    bool m_mounted = false;

    QString path(const QString &name) const { return m_env->root() + QLatin1Char('/') + name; }

    std::unique_ptr<AppRun> startApp() const
    {
        auto app = std::make_unique<AppRun>(*m_env, QStringList{"VANTREL_DATA_SERVER=" + m_server.httpBase()});
        app->start();
        return app;
    }

    int wholeMinuteBars() const
    {
        QuoteStore store;
        if (!store.open(path(QStringLiteral("Amibroker/RTDataDatabase"))))
            return -1;
        int bars = 0;
        for (const ImportedQuote &q : store.quotes(kSymbol))
            bars += q.timestampMs % 60000 == 0 ? 1 : 0;
        return bars;
    }

    void backfillRun(bool endless, int sizeMb)
    {
        TestEnv::saveStartupBackfill({kSymbol}, {QStringLiteral("MCX")}, QStringLiteral("1"));
        if (endless)
            QCOMPARE(m_server.control(QStringLiteral("http-fault endless")), QStringLiteral("ok"));
        auto app = startApp();
        qint64 largestPart = 0;
        const QString part = path(QStringLiteral("backfilldata.zip.part"));
        QVERIFY2(app->waitUntil(
                     [&] {
                         largestPart = qMax(largestPart, QFileInfo(part).size());
                         return app->output().contains("Intraday backfill run complete");
                     },
                     180000, 50),
                 app->tail().constData());
        const int requests = m_server.requests().filter(QStringLiteral("send=") + kSymbol).size();
        const QString log = readText(path(QStringLiteral("sqldrivers/x86/backfill_error.log")));
        const int bars = wholeMinuteBars();
        QCOMPARE(app->close(20000), 0);
        const QByteArray out = app->output();

        QCOMPARE(requests, 1);
        QVERIFY(!QFile::exists(part));
        QVERIFY(!QFile::exists(path(QStringLiteral("backfilldata.zip"))));
        if (!endless) {
            QVERIFY2(bars >= 375, qPrintable(QString::number(bars)));
            QVERIFY2(!log.contains(kSymbol), qPrintable(log));
            return;
        }
        // One line in the log, with the figures of this disk and what to do.
        const QStringList lines = log.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 1);
        const QRegularExpression refusal(
            QStringLiteral(" - backfill skipped for %1, not enough disk space: (needs more than (\\d+) MB; \\2 MB may be "
                           "used: free space on (.+) is (\\d+) MB; free more space on \\3 and try again)$")
                .arg(kSymbol));
        const QRegularExpressionMatch m = refusal.match(lines.first());
        QVERIFY2(m.hasMatch(), qPrintable(lines.first()));
        QCOMPARE(m.captured(3), QStorageInfo(m_env->root()).rootPath());
        const int usableMb = m.captured(2).toInt();
        const int freeMb = m.captured(4).toInt();
        QVERIFY2(freeMb <= sizeMb && freeMb >= sizeMb - 8, qPrintable(lines.first()));
        QVERIFY2(qAbs(usableMb - (freeMb - 100) / 2) <= 1, qPrintable(lines.first()));
        // Stopped before the body passed the budget, less than one read short of it.
        const QRegularExpressionMatch written =
            QRegularExpression(QStringLiteral("\\((\\d+) bytes of the body written, (\\d+) allowed\\)")).match(QString::fromUtf8(out));
        QVERIFY2(written.hasMatch(), out.right(3000).constData());
        const qint64 bytes = written.captured(1).toLongLong();
        const qint64 allowed = written.captured(2).toLongLong();
        QCOMPARE(allowed / kMB, qint64(usableMb));
        qDebug().noquote() << lines.first() << written.captured(0) << "largest partial file" << largestPart;
        QVERIFY2(bytes <= allowed && bytes > allowed - 256 * 1024, qPrintable(written.captured(0)));
        QVERIFY2(largestPart <= allowed, qPrintable(QString::number(largestPart)));
        // Skipped once, named with its reason where the run ends.
        QVERIFY2(out.contains(QStringLiteral("Intraday backfill run complete: Backfill Done (skipped: %1 (%2))")
                                  .arg(kSymbol, m.captured(1))
                                  .toUtf8()),
                 out.right(3000).constData());
        QCOMPARE(out.count("backfill skipped for " + kSymbol.toUtf8()), 1);
    }

    void updateRun(bool fits)
    {
        QCOMPARE(m_server.control(QStringLiteral("update-package large")), QStringLiteral("ok"));
        QVERIFY(TestEnv::announceBuild(QStringLiteral("7.11"), m_server.httpBase() + "/update/Vantrel_update.zip"));
        TestEnv::saveWatchlist({kSymbol}, {QStringLiteral("MCX")}); // so that no box but the update's comes
        auto app = startApp();
        if (fits) {
            QCOMPARE(app->waitForExit(20000), 0);
            QVERIFY2(app->boxLog().contains("Update ready|"), app->tail().constData());
            QTRY_VERIFY_WITH_TIMEOUT(!readText(path(QStringLiteral("update-launched.txt"))).isEmpty(), 10000);
            QCOMPARE(readText(path(QStringLiteral("VERSION.txt"))), QStringLiteral("7.11\n"));
            QCOMPARE(QFileInfo(path(QStringLiteral("Vantrel.dat"))).size(), 40 * kMB);
            QVERIFY(!QFile::exists(path(QStringLiteral("Vantrel_update.zip"))));
            return;
        }
        QVERIFY2(app->waitForShown(60000), app->tail().constData());
        QCOMPARE(app->close(20000), 0);
        const QStringList boxes = app->boxes();
        QCOMPARE(boxes.size(), 2);
        const QRegularExpression refusal(
            QStringLiteral("^Update failed\\|Update failed: Package too large: needs 41 MB; (\\d+) MB may be used: free "
                           "space on %1 is (\\d+) MB; free (\\d+) MB more on %1 and try again$")
                .arg(QRegularExpression::escape(m_env->root())));
        const QRegularExpressionMatch m = refusal.match(boxes[1]);
        qDebug().noquote() << boxes[1];
        QVERIFY2(m.hasMatch(), qPrintable(boxes[1]));
        const int usableMb = m.captured(1).toInt();
        const int freeMb = m.captured(2).toInt();
        QVERIFY2(freeMb <= 140 && freeMb >= 132 && qAbs(usableMb - (freeMb - 100) / 2) <= 1, qPrintable(boxes[1]));
        // Freeing what it says makes the package fit: the floor and twice its 40 MB and a bit.
        QVERIFY2(qAbs(freeMb + m.captured(3).toInt() - 180) <= 1, qPrintable(boxes[1]));
        QVERIFY(!QFile::exists(path(QStringLiteral("VERSION.txt"))));
        QVERIFY(!QFile::exists(path(QStringLiteral("Vantrel_update.zip"))));
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(TestEnv::mariadbUp(), "MariaDB does not answer on 127.0.0.1:49111");
        // The demo account's paths name 49121 (HTTP) and 49120 (WebSocket).
        QVERIFY(m_server.start({"--http-port", "49121", "--ws-port", "49120"}));
    }

    void cleanup()
    {
        m_server.control(QStringLiteral("http-fault normal"));
        m_server.control(QStringLiteral("update-package good"));
        m_server.control(QStringLiteral("clear-requests"));
        QVERIFY(TestEnv::restoreAnnouncedBuild());
        if (m_mounted) {
            // A launcher the update started may still be leaving the folder (QTRY_ would
            // unmount once more to report).
            QString why;
            for (int attempt = 0; attempt <= 50 && !(why = runTool(QStringLiteral("umount"), {m_env->root()})).isEmpty(); ++attempt)
                QTest::qWait(200);
            QVERIFY2(why.isEmpty(), qPrintable(why));
            m_mounted = false;
        }
        m_env.reset();
    }

    void smallRoot_data()
    {
        QTest::addColumn<int>("sizeMb");
        QTest::addColumn<QString>("job");
        QTest::newRow("140 MB: a small archive is stored") << 140 << "archive";
        QTest::newRow("600 MB: a small archive is stored") << 600 << "archive";
        QTest::newRow("1000 MB: a small archive is stored") << 1000 << "archive";
        QTest::newRow("140 MB: an endless body stops within 20 MB") << 140 << "endless";
        QTest::newRow("600 MB: an endless body stops within 250 MB") << 600 << "endless";
        QTest::newRow("1000 MB: a 40 MB update installs") << 1000 << "update";
        QTest::newRow("140 MB: a 40 MB update says what to free") << 140 << "no room for the update";
    }
    void smallRoot()
    {
        QFETCH(int, sizeMb);
        QFETCH(QString, job);
        m_env = std::make_unique<TestEnv>();
        const QString refused =
            runTool("mount", {"-t", "tmpfs", "-o", QStringLiteral("size=%1m").arg(sizeMb), "tmpfs", m_env->root()});
        if (!refused.isEmpty())
            QSKIP(qPrintable(QStringLiteral("cannot mount a tmpfs here (the suite wants root in a mount namespace of its "
                                            "own, as ./test.sh gives it): ")
                             + refused));
        m_mounted = true;
        QVERIFY(m_env->installFormats());
        QVERIFY(m_env->writeUserId(QStringLiteral("VANTREL-DEMO-0001")));
        if (job == QLatin1String("update") || job == QLatin1String("no room for the update"))
            updateRun(job == QLatin1String("update"));
        else
            backfillRun(job == QLatin1String("endless"), sizeMb);
    }
};

QTEST_GUILESS_MAIN(tst_SmallDisk)
#include "tst_smalldisk.moc"
