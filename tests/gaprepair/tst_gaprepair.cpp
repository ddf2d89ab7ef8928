#include "backfill/gaprepair.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

QDateTime at(int day, int h, int m, int s = 0)
{
    return QDateTime(QDate(2026, 3, day), QTime(h, m, s), Qt::LocalTime);
}

// The owner's side: a watchlist, URLs that name symbol and days, a user's run that may
// be under way, and the error log.
struct Owner
{
    QStringList watchlist{QStringLiteral("NIFTY-I"), QStringLiteral("M&M"), QStringLiteral("GOLDM-I")};
    bool idle = true;
    QDateTime now = at(2, 10, 0);
    QStringList logLines;

    GapRepair::Hooks hooks()
    {
        GapRepair::Hooks h;
        h.watchlist = [this] { return watchlist; };
        h.url = [](const QString &symbol, int days) {
            return symbol == QLatin1String("BAD") ? QString()
                                                  : QStringLiteral("u?d=%1&send=%2").arg(days).arg(symbol);
        };
        h.backfillIdle = [this] { return idle; };
        h.now = [this] { return now; };
        h.logFailure = [this](const QString &line) { logLines.append(line); };
        return h;
    }
};

// Plays the owner's step slot through a whole run: every request succeeds.
void completeRun(GapRepair &repair, const QStringList &urls)
{
    for (const QString &url : urls)
        repair.stepStarted(url);
    repair.runCompleted();
}

} // namespace

class TstGapRepair : public QObject
{
    Q_OBJECT

private slots:
    void daysFromTheOutageStart_data();
    void daysFromTheOutageStart();
    void oneRequestPerSymbolOnceTheLinkIsBack();
    void startUpOutageNeedsNoLink();
    void nothingPendingNoRequest();
    void outagesDuringARunGiveOneMoreRun();
    void flappingLinkGivesOneRun();
    void usersBackfillRunsFirst();
    void usersBackfillDuringARepairGoesFirst();
    void symbolGivenUpAfterTwoRequests();
    void stopEndsTheRepairAndLogsWhatIsLeft();
    void switchedOff();

private:
    static constexpr int kSettle = 30;
};

void TstGapRepair::daysFromTheOutageStart_data()
{
    QTest::addColumn<QDateTime>("since");
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<int>("days");
    QTest::newRow("same day") << at(2, 9, 15) << at(2, 15, 30) << 1;
    QTest::newRow("a minute across midnight") << at(1, 23, 59, 30) << at(2, 0, 0, 30) << 2;
    QTest::newRow("yesterday morning") << at(1, 9, 0) << at(2, 23, 59) << 2;
    QTest::newRow("four days") << at(1, 12, 0) << at(5, 12, 0) << 5;
    QTest::newRow("capped") << at(1, 12, 0) << at(20, 12, 0) << 5;
    QTest::newRow("clock went back") << at(3, 12, 0) << at(2, 12, 0) << 1;
    QTest::newRow("unknown start") << QDateTime() << at(2, 12, 0) << 1;
    QTest::newRow("UTC start, local today")
        << at(1, 23, 59, 30).toUTC() << at(2, 0, 0, 30) << 2;
}

void TstGapRepair::daysFromTheOutageStart()
{
    QFETCH(QDateTime, since);
    QFETCH(QDateTime, now);
    QFETCH(int, days);
    QCOMPARE(GapRepair::daysFor(since, now), days);
}

void TstGapRepair::oneRequestPerSymbolOnceTheLinkIsBack()
{
    Owner owner;
    owner.watchlist.append(QStringLiteral("BAD")); // its URL is refused: left out
    owner.watchlist.append(QStringLiteral("NIFTY-I")); // twice in the list, asked once
    GapRepair repair(owner.hooks());
    repair.setSettleMs(kSettle);
    QSignalSpy runs(&repair, &GapRepair::runRequested);

    repair.linkLive();
    repair.linkLost();
    repair.outageBegan(at(1, 15, 0), true);
    QTest::qWait(5 * kSettle);
    QCOMPARE(runs.count(), 0); // the link is not back

    // Subscribed and the first batch came: after the quiet period, one run.
    repair.linkLive();
    QTRY_COMPARE(runs.count(), 1);
    const QStringList urls = runs.first().first().toStringList();
    QCOMPARE(urls, (QStringList{QStringLiteral("u?d=2&send=NIFTY-I"), QStringLiteral("u?d=2&send=M&M"),
                                QStringLiteral("u?d=2&send=GOLDM-I")}));
    QVERIFY(repair.isRunning());
    QCOMPARE(repair.total(), 3);
    repair.stepStarted(urls.at(0));
    QCOMPARE(repair.currentProgressText(), QStringLiteral("Repairing gaps (1/3)"));
    repair.stepStarted(urls.at(1));
    QCOMPARE(repair.currentProgressText(), QStringLiteral("Repairing gaps (2/3)"));
    repair.stepStarted(urls.at(2));
    QCOMPARE(repair.endText(), QStringLiteral("Gaps repaired"));
    QSignalSpy ended(&repair, &GapRepair::repairEnded);
    repair.runCompleted();
    QCOMPARE(ended.count(), 1);
    QCOMPARE(ended.first().at(0).toDateTime(), QDateTime());
    QCOMPARE(ended.first().at(1).toBool(), true);
    QVERIFY(!repair.isRunning());
    QVERIFY(owner.logLines.isEmpty());
    QTest::qWait(5 * kSettle);
    QCOMPARE(runs.count(), 1);
}

void TstGapRepair::startUpOutageNeedsNoLink()
{
    Owner owner;
    GapRepair repair(owner.hooks());
    repair.setSettleMs(kSettle);
    QSignalSpy runs(&repair, &GapRepair::runRequested);
    repair.outageBegan(at(2, 9, 30), false);
    QTRY_COMPARE(runs.count(), 1);
    QCOMPARE(runs.first().first().toStringList().first(), QStringLiteral("u?d=1&send=NIFTY-I"));
}

void TstGapRepair::nothingPendingNoRequest()
{
    Owner owner;
    GapRepair repair(owner.hooks());
    repair.setSettleMs(kSettle);
    QSignalSpy runs(&repair, &GapRepair::runRequested);
    // Link comings and goings alone are no outage (the tracker found nothing missed).
    repair.linkLive();
    repair.linkLost();
    repair.linkLive();
    repair.backfillIdle();
    QTest::qWait(5 * kSettle);
    QCOMPARE(runs.count(), 0);
    QVERIFY(!repair.isPending());

    // An empty watchlist asks for nothing and leaves nothing pending.
    owner.watchlist.clear();
    QSignalSpy ended(&repair, &GapRepair::repairEnded);
    repair.outageBegan(at(2, 9, 0), false);
    QTRY_COMPARE(ended.count(), 1);
    QCOMPARE(runs.count(), 0);
    QVERIFY(!repair.isPending());
}

void TstGapRepair::outagesDuringARunGiveOneMoreRun()
{
    Owner owner;
    GapRepair repair(owner.hooks());
    repair.setSettleMs(kSettle);
    QSignalSpy runs(&repair, &GapRepair::runRequested);
    repair.outageBegan(at(2, 9, 0), false);
    QTRY_COMPARE(runs.count(), 1);

    // Two outages while the first run is under way, the link back after each.
    repair.stepStarted(runs.first().first().toStringList().at(0));
    repair.linkLost();
    repair.outageBegan(at(2, 10, 5), true);
    repair.linkLive();
    repair.linkLost();
    repair.outageBegan(at(2, 10, 7), true);
    repair.linkLive();
    QTest::qWait(5 * kSettle);
    QCOMPARE(runs.count(), 1); // never a second one in parallel
    QVERIFY(repair.isPending());

    QSignalSpy ended(&repair, &GapRepair::repairEnded);
    completeRun(repair, runs.first().first().toStringList().mid(1));
    // The first run's end names what is still missing: the joined outages.
    QCOMPARE(ended.first().at(0).toDateTime(), at(2, 10, 5));
    QTRY_COMPARE(runs.count(), 2);
    completeRun(repair, runs.at(1).first().toStringList());
    QTest::qWait(5 * kSettle);
    QCOMPARE(runs.count(), 2);
    QCOMPARE(repair.runsStarted(), 2);
}

void TstGapRepair::flappingLinkGivesOneRun()
{
    Owner owner;
    GapRepair repair(owner.hooks());
    repair.setSettleMs(20 * kSettle);
    QSignalSpy runs(&repair, &GapRepair::runRequested);
    // Up for less than the quiet period, down again, ten times.
    for (int i = 0; i < 10; ++i) {
        repair.linkLost();
        repair.outageBegan(at(2, 10, i), true);
        QTest::qWait(kSettle / 3);
        repair.linkLive();
        QTest::qWait(kSettle);
    }
    QCOMPARE(runs.count(), 0);
    QTRY_COMPARE(runs.count(), 1);
    completeRun(repair, runs.first().first().toStringList());
    QTest::qWait(20 * kSettle);
    QCOMPARE(runs.count(), 1);
}

void TstGapRepair::usersBackfillRunsFirst()
{
    Owner owner;
    owner.idle = false;
    GapRepair repair(owner.hooks());
    repair.setSettleMs(kSettle);
    QSignalSpy runs(&repair, &GapRepair::runRequested);
    repair.outageBegan(at(2, 9, 0), false);
    QTest::qWait(5 * kSettle);
    QCOMPARE(runs.count(), 0);
    QVERIFY(repair.isPending());
    owner.idle = true;
    repair.backfillIdle();
    QCOMPARE(runs.count(), 1);
}

void TstGapRepair::usersBackfillDuringARepairGoesFirst()
{
    // The button reads "Stop" during a repair: the user stops it, then starts a backfill
    // of their own; an outage meanwhile waits for that run and comes after it.
    Owner owner;
    GapRepair repair(owner.hooks());
    repair.setSettleMs(kSettle);
    QSignalSpy runs(&repair, &GapRepair::runRequested);
    repair.outageBegan(at(1, 15, 0), false);
    QTRY_COMPARE(runs.count(), 1);
    repair.stepStarted(runs.first().first().toStringList().first());
    repair.runStopped();
    owner.idle = false; // the user's run
    repair.outageBegan(at(2, 10, 0), false);
    QTest::qWait(5 * kSettle);
    QCOMPARE(runs.count(), 1);
    repair.runCompleted(); // the user's run ending is not the repair's
    owner.idle = true;
    repair.backfillIdle();
    QCOMPARE(runs.count(), 2);
    QCOMPARE(runs.at(1).first().toStringList().first(), QStringLiteral("u?d=1&send=NIFTY-I"));
    QCOMPARE(owner.logLines.size(), 1); // the stopped run's symbols
}

void TstGapRepair::symbolGivenUpAfterTwoRequests()
{
    Owner owner;
    GapRepair repair(owner.hooks());
    repair.setSettleMs(kSettle);
    QSignalSpy runs(&repair, &GapRepair::runRequested);
    QSignalSpy ended(&repair, &GapRepair::repairEnded);
    repair.outageBegan(at(2, 9, 0), false);
    QTRY_COMPARE(runs.count(), 1);
    const QStringList urls = runs.first().first().toStringList();
    owner.now = at(2, 10, 30);

    repair.stepStarted(urls.at(0));
    QVERIFY(!repair.requestFailed()); // the retry is the second request
    QVERIFY(repair.requestFailed());  // given up
    repair.stepStarted(urls.at(1));
    QVERIFY(!repair.requestFailed()); // a new symbol starts counting again
    repair.stepStarted(urls.at(2));
    QCOMPARE(repair.endText(), QStringLiteral("Gaps repaired except 1 symbol(s): see backfill_error.log"));
    repair.runCompleted();

    QCOMPARE(ended.count(), 1);
    QCOMPARE(ended.first().at(1).toBool(), false);
    // What failed is still missing from the run's start.
    QCOMPARE(ended.first().at(0).toDateTime(), at(2, 9, 0));
    QCOMPARE(owner.logLines.size(), 1);
    QCOMPARE(owner.logLines.first(),
             QStringLiteral(" - gaps not repaired (server errors): 1 symbol(s) from %1 to %2: NIFTY-I")
                 .arg(at(2, 9, 0).toString(Qt::ISODate), at(2, 10, 0).toString(Qt::ISODate)));
}

void TstGapRepair::stopEndsTheRepairAndLogsWhatIsLeft()
{
    Owner owner;
    owner.watchlist.append(QStringLiteral("EVIL\nLINE"));
    GapRepair repair(owner.hooks());
    repair.setSettleMs(kSettle);
    QSignalSpy runs(&repair, &GapRepair::runRequested);
    repair.outageBegan(at(2, 9, 0), false);
    QTRY_COMPARE(runs.count(), 1);
    const QStringList urls = runs.first().first().toStringList();
    repair.stepStarted(urls.at(0));
    repair.stepStarted(urls.at(1));
    repair.outageBegan(at(2, 10, 1), false); // joined, but the user stops
    repair.runStopped();
    QVERIFY(!repair.isRunning());
    QVERIFY(!repair.isPending());
    QCOMPARE(owner.logLines.size(), 1);
    QVERIFY2(owner.logLines.first().endsWith(QLatin1String(": M&M GOLDM-I EVIL?LINE")),
             qPrintable(owner.logLines.first()));
    QVERIFY(owner.logLines.first().contains(QLatin1String("(stopped): 3 symbol(s)")));
    QTest::qWait(5 * kSettle);
    QCOMPARE(runs.count(), 1);
}

void TstGapRepair::switchedOff()
{
    Owner owner;
    GapRepair repair(owner.hooks());
    repair.setSettleMs(kSettle);
    repair.setEnabled(false);
    QSignalSpy runs(&repair, &GapRepair::runRequested);
    repair.outageBegan(at(2, 9, 0), false);
    repair.linkLive();
    QTest::qWait(5 * kSettle);
    QCOMPARE(runs.count(), 0);
    QVERIFY(!repair.isPending());
}

QTEST_GUILESS_MAIN(TstGapRepair)
#include "tst_gaprepair.moc"
