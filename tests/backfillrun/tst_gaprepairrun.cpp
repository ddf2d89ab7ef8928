// Gap repair through the backfill run, without a window: what an earlier run left
// unrepaired is asked for again through the run's queue and import, against the
// devserver's HTTP side and the broker stand-in.
#include "backfill/gaprepair.h"
#include "live/outagetracker.h"

#include "runfixture.h"

#include <QtTest>

namespace {

// The start of the newest weekday session that began over two minutes ago. The server's
// history holds bars from 09:15 on weekdays, and a repair stores only bars of its gap, so a
// gap from there always has some.
QDateTime sessionStart()
{
    const QDateTime now = QDateTime::currentDateTime();
    for (QDate d = now.date();; d = d.addDays(-1)) {
        const QDateTime start(d, QTime(9, 15));
        if (d.dayOfWeek() <= 5 && start < now.addSecs(-120))
            return start;
    }
}

} // namespace

class TestGapRepairRun : public QObject, protected RunFixture
{
    Q_OBJECT

    // A run whose earlier run fed ticks until the session's start (or left nothing).
    void makeRepairRun(bool earlierRun)
    {
        QFile::remove(InstallPaths::outageStateFile());
        if (earlierRun) {
            QFile f(InstallPaths::outageStateFile());
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(OutageTracker::encode(sessionStart().toUTC(), QDateTime()));
        }
        m_run->setUpGapRepair();
        QVERIFY(m_run->gapRepair());
        QVERIFY(m_run->tickedMinutes());
        m_run->gapRepair()->setSettleMs(100);
    }

    // The request each watchlist symbol gets: the server's names, "&" as "%26".
    static QStringList repairRequests(int days)
    {
        const QString prefix = QStringLiteral("GET /backfill?uid=VANTREL-DEMO-0001&hash=key-1&d=%1&send=").arg(days);
        return {prefix + "NIFTY-I", prefix + "M%26M-I", prefix + "GOLDM-I"};
    }
    static int expectedDays() { return GapRepair::daysFor(sessionStart(), QDateTime::currentDateTime()); }

private slots:
    void initTestCase() { QVERIFY(startServices()); }
    void init()
    {
        makeRun();
        AppSettings().setValue(SettingsKeys::symbolMappingEntries, QStringList{"NIFTY-I,NIFTY"});
        m_watchlist = QStringList{"NIFTY", "M&M-I", "GOLDM-I"};
    }
    void cleanup() { m_run.reset(); }

    void startAfterAnEarlierRunRepairsEverySymbol()
    {
        const int before = m_server.requests().size();
        makeRepairRun(true);
        QTRY_COMPARE_WITH_TIMEOUT(lastText(), GapRepair::doneText(), 60000);
        QCOMPARE(requestsSince(before), repairRequests(expectedDays()));
        QVERIFY2(m_texts.contains("Repairing gaps (1/3)") && m_texts.contains("Repairing gaps (3/3)"),
                 qPrintable(m_texts.join(" | ")));
        QVERIFY(m_run->isIdle());
        QCOMPARE(m_active.last(), false);
        QVERIFY(stored("NIFTY") > 0);
        QVERIFY(stored("M&M-I") > 0);
        QVERIFY(!m_run->gapRepair()->isRunning());
        // Repaired: nothing left for the next start.
        m_run->flushOutageState();
        QVERIFY(!readText(InstallPaths::outageStateFile()).contains("unrepairedSince"));
    }

    void noEarlierRunNoRequest()
    {
        const int before = m_server.requests().size();
        makeRepairRun(false);
        QTest::qWait(1500);
        QCOMPARE(requestsSince(before), QStringList());
        QVERIFY(!m_run->gapRepair()->isPending());
        QVERIFY(m_active.isEmpty());
    }

    void switchedOffKeepsNothing()
    {
        AppSettings().setValue(SettingsKeys::autoGapFill, false);
        m_run->setUpGapRepair();
        QVERIFY(!m_run->gapRepair());
        QVERIFY(!m_run->outageTracker());
        QVERIFY(!m_run->tickedMinutes());
    }

    void serverErrorsGiveUpAfterTwoRequestsEach()
    {
        QCOMPARE(m_server.control("http-fault status 503"), QStringLiteral("ok"));
        const int before = m_server.requests().size();
        makeRepairRun(true);
        QTRY_COMPARE_WITH_TIMEOUT(lastText(), QStringLiteral("Gaps repaired except NIFTY, M&M-I, GOLDM-I"), 60000);
        QTest::qWait(500); // no retry follows
        QStringList twice;
        for (const QString &r : repairRequests(expectedDays()))
            twice << r << r;
        QCOMPARE(requestsSince(before), twice);
        const QString log = readText(InstallPaths::backfillErrorLog());
        QVERIFY2(log.contains(" - gaps not repaired (server errors): 3 symbol(s) from "), qPrintable(log));
        QVERIFY2(log.trimmed().endsWith(": NIFTY M&M-I GOLDM-I"), qPrintable(log));
        QCOMPARE(log.count('\n'), 1);
        // Still missing: the next start tries again.
        m_run->flushOutageState();
        QVERIFY(readText(InstallPaths::outageStateFile()).contains("unrepairedSince"));
    }

    void stopStopsTheRepairAndUsersBackfillGoesFirst()
    {
        QCOMPARE(m_server.control("http-fault slow 2"), QStringLiteral("ok"));
        const int before = m_server.requests().size();
        makeRepairRun(true);
        QTRY_VERIFY_WITH_TIMEOUT(m_run->gapRepair()->isRunning(), 20000);
        QTRY_COMPARE(m_server.requests().size(), before + 1);
        QTRY_VERIFY(lastText().startsWith("Repairing gaps (1/3)"));

        // Stop ends the repair, which names what is left.
        QVERIFY(!m_run->isIdle());
        m_run->stop();
        QVERIFY(!m_run->gapRepair()->isRunning());
        QVERIFY(m_run->isIdle());
        const QString log = readText(InstallPaths::backfillErrorLog());
        QVERIFY2(log.contains(" - gaps not repaired (stopped): 3 symbol(s) from "), qPrintable(log));

        // The user's own backfill; an outage meanwhile waits for it.
        m_run->startIntraday(m_watchlist, "2");
        QVERIFY(!m_run->isIdle());
        m_run->gapRepair()->outageBegan(sessionStart(), false);
        QTRY_VERIFY_WITH_TIMEOUT(m_run->gapRepair()->isRunning(), 90000);
        QTRY_COMPARE_WITH_TIMEOUT(lastText(), GapRepair::doneText(), 90000);
        const QStringList asked = requestsSince(before);
        QCOMPARE(asked.size(), 7);
        for (int i = 1; i <= 3; ++i)
            QVERIFY2(asked.at(i).contains("&d=2&send="), qPrintable(asked.at(i)));
        QCOMPARE(asked.mid(4), repairRequests(expectedDays()));
    }
};

QTEST_GUILESS_MAIN(TestGapRepairRun)
#include "tst_gaprepairrun.moc"
