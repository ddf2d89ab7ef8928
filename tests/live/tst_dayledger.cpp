// The day ledger: which minutes count as covered, no trades or missing, and what survives
// a restart of the program through its state file.
#include "live/dayledger.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {
const QDate kDay(2026, 12, 9);

// Live ticks (or bars) of `symbol` for each minute in [from, to].
QByteArray lines(const char *symbol, int from, int to, const char *date = "20261209")
{
    QByteArray out;
    for (int m = from; m <= to; ++m)
        out += QByteArray("T,") + symbol + ',' + date + ',' + DayLedger::minuteText(m).toLatin1() + ":07.125,100,1,0,0\n";
    return out;
}
int at(int h, int m) { return h * 60 + m; }
} // namespace

class tst_DayLedger : public QObject
{
    Q_OBJECT

    QDateTime m_now;
    QTemporaryDir m_dir;

    void setNow(int minute, int second = 0) { m_now = QDateTime(kDay, QTime(minute / 60, minute % 60, second)); }
    void clockOf(DayLedger &ledger)
    {
        ledger.setClockForTests([this] { return m_now; });
    }

    // Two symbols tick from the open; ICICIBANK is quiet 09:20-09:25 while NIFTY-I ticks;
    // the link is lost at 09:40:30 and back at 09:45:10.
    void feedMorning(DayLedger &ledger)
    {
        setNow(at(9, 15));
        ledger.noteLink(true);
        ledger.noteImported(lines("NIFTY-I", at(9, 15), at(9, 40)), DayLedger::Source::Live);
        ledger.noteImported(lines("ICICIBANK", at(9, 15), at(9, 19)) + lines("ICICIBANK", at(9, 26), at(9, 40)),
                            DayLedger::Source::Live);
        setNow(at(9, 40), 30);
        ledger.noteLink(false);
        setNow(at(9, 45), 10);
        ledger.noteLink(true);
        ledger.noteImported(lines("NIFTY-I", at(9, 45), at(9, 59)) + lines("ICICIBANK", at(9, 45), at(9, 59)),
                            DayLedger::Source::Live);
        setNow(at(10, 0), 20);
    }

private slots:
    void minutesOfADropAreMissingUntilRepaired()
    {
        DayLedger ledger;
        clockOf(ledger);
        feedMorning(ledger);
        // Lines of another day or without a time are not today's minutes.
        ledger.noteImported(lines("NIFTY-I", at(9, 41), at(9, 44), "20261208") + "T,NIFTY-I,20261209,junk\n",
                            DayLedger::Source::Live);

        DayLedger::Health icici = ledger.health("ICICIBANK");
        QCOMPARE(icici.sessionStart, at(9, 15));
        QCOMPARE(icici.sessionEnd, at(9, 59));
        QCOMPARE(icici.missing, 4); // 09:40 had ticks of both; 09:41-09:44 nothing, link down
        QCOMPARE(icici.missingRanges, QList<DayLedger::Range>({{at(9, 41), at(9, 44)}}));
        QCOMPARE(DayLedger::rangeText(icici.missingRanges.first()), QString::fromUtf8("09:41–09:44"));
        QCOMPARE(icici.covered, 45 - 4 - 6); // the six quiet minutes are no trades, not missing

        ledger.noteImported(lines("ICICIBANK", at(9, 41), at(9, 44)), DayLedger::Source::Repair);
        icici = ledger.health("ICICIBANK");
        QCOMPARE(icici.missing, 0);
        QCOMPARE(icici.repaired, 4);
        QCOMPARE(ledger.health("NIFTY-I").missing, 4);

        // A symbol with nothing at all misses exactly the minutes the feed was not working.
        QCOMPARE(ledger.health("GOLDM-I").missing, 4);
    }

    // With the link up and nothing ticking (a closed market) no minute is missing; minutes
    // before the open count only when ticks came that early.
    void quietMarketAndSessionStart()
    {
        DayLedger ledger;
        clockOf(ledger);
        setNow(at(8, 0), 30);
        ledger.noteLink(true);
        setNow(at(9, 30));
        QCOMPARE(ledger.health("NIFTY-I").missing, 0);
        QCOMPARE(ledger.sessionStart(), DayLedger::kSessionOpenMinute);

        ledger.noteImported(lines("EURUSD", at(8, 5), at(8, 5)), DayLedger::Source::Live);
        QCOMPARE(ledger.sessionStart(), at(8, 5));
        ledger.noteLink(false);
        setNow(at(9, 35));
        const DayLedger::Health h = ledger.health("EURUSD");
        QCOMPARE(h.missing, 5); // 09:30-09:34, with the link down
        QCOMPARE(h.covered, 1);
    }

    void stateSurvivesARestartAndRefusesWhatIsNotOurs()
    {
        const QString path = m_dir.filePath("dayledger.txt");
        {
            DayLedger ledger(path);
            clockOf(ledger);
            feedMorning(ledger);
            ledger.noteImported(lines("ICICIBANK", at(9, 41), at(9, 42)), DayLedger::Source::Repair);
            QVERIFY(ledger.save());
            QVERIFY(!ledger.isDirty());
        }
        // A later start (the program was killed at 10:00 and is back at 10:03).
        setNow(at(10, 3), 5);
        DayLedger again(path);
        clockOf(again);
        QVERIFY(again.load());
        const DayLedger::Health h = again.health("ICICIBANK");
        QCOMPARE(h.missingRanges, QList<DayLedger::Range>({{at(9, 43), at(9, 44)}, {at(10, 0), at(10, 2)}}));
        QCOMPARE(h.repaired, 2);

        // Hostile lines are dropped one by one, the good ones kept; a file of another day is
        // not read at all.
        QFile f(path);
        QVERIFY(f.open(QIODevice::Append));
        f.write("symbol BAD,NAME 1-2 - -\nsymbol X 5-3 - -\nsymbol Y 1-99999 - -\nlink 7,\nsymbol GOOD 600 - -\n");
        f.close();
        DayLedger hostile(path);
        clockOf(hostile);
        QVERIFY(hostile.load());
        QCOMPARE(hostile.symbols().size(), 3); // NIFTY-I, ICICIBANK, GOOD
        QVERIFY(hostile.symbols().contains("GOOD"));

        m_now = QDateTime(kDay.addDays(1), QTime(10, 3));
        DayLedger tomorrow(path);
        clockOf(tomorrow);
        QVERIFY(!tomorrow.load());
        QVERIFY(tomorrow.symbols().isEmpty());
    }
};

QTEST_GUILESS_MAIN(tst_DayLedger)
#include "tst_dayledger.moc"
