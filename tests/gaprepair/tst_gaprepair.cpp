#include "backfill/gaprepair.h"
#include "live/tickedminutes.h"

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
    TickedMinutes ticked;
    QHash<QString, QString> serverNames;

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
        h.serverName = [this](const QString &symbol) { return serverNames.value(symbol, symbol); };
        h.tickedMinutes = [this] { return ticked.snapshot(); };
        return h;
    }
};

// What the import of a step reports: bars of these (server) symbols were stored.
void storeBars(GapRepair &repair, const QStringList &symbols)
{
    QHash<QByteArray, qint64> stored;
    for (const QString &s : symbols)
        stored.insert(s.toUtf8(), 1);
    repair.importScope()->tally()->add(stored);
}

// Plays the owner's step slot through a whole run: every request succeeds and stores.
void completeRun(GapRepair &repair, const QStringList &urls)
{
    for (const QString &url : urls) {
        repair.stepStarted(url);
        storeBars(repair, {url.mid(url.indexOf(QLatin1String("send=")) + 5)});
    }
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
    void symbolsThatStoredNothingAreNamed();
    void manySymbolsNamedInShort();

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
    QCOMPARE(repair.endText(), QStringLiteral("Gaps repaired except NIFTY-I, M&M, GOLDM-I"));
    storeBars(repair, {QStringLiteral("NIFTY-I"), QStringLiteral("M&M"), QStringLiteral("GOLDM-I")});
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
    storeBars(repair, {QStringLiteral("NIFTY-I")});
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
    storeBars(repair, {QStringLiteral("M&M"), QStringLiteral("GOLDM-I")});
    QCOMPARE(repair.endText(), QStringLiteral("Gaps repaired except NIFTY-I"));
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
    storeBars(repair, {QStringLiteral("NIFTY-I")});
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

void TstGapRepair::symbolsThatStoredNothingAreNamed()
{
    Owner owner;
    owner.watchlist.append(QStringLiteral("EURUSD"));
    owner.serverNames.insert(QStringLiteral("M&M"), QStringLiteral("M&M-EQ"));
    // GOLDM-I ticked in every minute of the outage: nothing of it was missed.
    for (int m = 50; m < 60; ++m)
        owner.ticked.note(QStringLiteral("T,GOLDM-I,20260302,09:%1:30.000,1,1,0,1\n").arg(m).toLatin1());
    GapRepair repair(owner.hooks());
    repair.setSettleMs(kSettle);
    QSignalSpy runs(&repair, &GapRepair::runRequested);
    QSignalSpy ended(&repair, &GapRepair::repairEnded);
    QVERIFY(!repair.importScope());
    repair.outageBegan(at(2, 9, 50, 20), false);
    QTRY_COMPARE(runs.count(), 1);

    // From the outage's first minute to the last whole one.
    const std::shared_ptr<const RepairScope> scope = repair.importScope();
    QCOMPARE(scope->firstMinute(), MinuteKey::of(at(2, 9, 50)));
    QCOMPARE(scope->lastMinute(), MinuteKey::of(at(2, 9, 59)));
    for (const QString &url : runs.first().first().toStringList())
        repair.stepStarted(url);
    // The tally counts the server's names: M&M's bars under the user's name are not it.
    storeBars(repair, {QStringLiteral("NIFTY-I"), QStringLiteral("M&M")});
    QCOMPARE(repair.endText(), QStringLiteral("Gaps repaired except M&M, EURUSD"));
    repair.runCompleted();

    QCOMPARE(owner.logLines,
             QStringList{QStringLiteral(" - gaps not repaired (nothing stored): 2 symbol(s) from %1 to %2: M&M EURUSD")
                             .arg(at(2, 9, 50, 20).toString(Qt::ISODate), at(2, 10, 0).toString(Qt::ISODate))});
    // The server answered every request: the next start does not ask again.
    QCOMPARE(ended.first().at(1).toBool(), true);
    QVERIFY(!repair.importScope());
}

void TstGapRepair::manySymbolsNamedInShort()
{
    Owner owner;
    owner.watchlist = QStringList{QStringLiteral("BAD\tNAME")};
    for (int i = 1; i < GapRepair::kNamedSymbols + 3; ++i)
        owner.watchlist.append(QStringLiteral("S%1").arg(i));
    GapRepair repair(owner.hooks());
    repair.setSettleMs(kSettle);
    QSignalSpy runs(&repair, &GapRepair::runRequested);
    repair.outageBegan(at(2, 9, 0), false);
    QTRY_COMPARE(runs.count(), 1);
    QCOMPARE(repair.endText(), QStringLiteral("Gaps repaired except BAD?NAME, S1, S2, S3, S4, S5, S6, S7, S8, S9 and 3 more"));
}

QTEST_GUILESS_MAIN(TstGapRepair)
#include "tst_gaprepair.moc"
