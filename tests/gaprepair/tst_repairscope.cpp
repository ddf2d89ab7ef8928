// What a gap repair may store: the minutes live ticks reached, and the judgement of every
// line of a repair's answer against the symbols asked for, the outage and those minutes.
#include "backfill/repairscope.h"
#include "live/tickedminutes.h"

#include <QtTest>

namespace {

qint64 key(const char *date, const char *time)
{
    qint64 k = 0;
    return MinuteKey::parse(date, qint64(qstrlen(date)), time, qint64(qstrlen(time)), &k) ? k : -1;
}

QString runsText(const TickedMinutes::Runs &runs, qint64 base)
{
    QStringList parts;
    for (const TickedMinutes::Run &r : runs)
        parts << QStringLiteral("%1-%2").arg(r.first - base).arg(r.last - base);
    return parts.join(QLatin1Char(' '));
}

} // namespace

class TstRepairScope : public QObject
{
    Q_OBJECT

private slots:
    void minuteKeys_data()
    {
        QTest::addColumn<QByteArray>("date");
        QTest::addColumn<QByteArray>("time");
        QTest::addColumn<qint64>("minutesAfter2000"); // -1: refused
        QTest::newRow("seconds and milliseconds") << QByteArray("20000102") << QByteArray("09:15:59.999")
                                                  << qint64(1440 + 9 * 60 + 15);
        QTest::newRow("1970") << QByteArray("19700101") << QByteArray("09:15") << qint64(-15778080 + 555);
        QTest::newRow("leap day") << QByteArray("20240229") << QByteArray("23:59:00") << qint64(8825 * 1440 + 1439);
        QTest::newRow("no such day") << QByteArray("20260230") << QByteArray("10:00:00") << qint64(-1);
        QTest::newRow("dashes") << QByteArray("2026-03-02") << QByteArray("10:00:00") << qint64(-1);
        QTest::newRow("hour 24") << QByteArray("20260302") << QByteArray("24:00:00") << qint64(-1);
        QTest::newRow("dot, no digits") << QByteArray("20260302") << QByteArray("10:00:00.") << qint64(-1);
    }

    void minuteKeys()
    {
        QFETCH(QByteArray, date);
        QFETCH(QByteArray, time);
        QFETCH(qint64, minutesAfter2000);
        QCOMPARE(key(date.constData(), time.constData()), minutesAfter2000);
    }

    void runsOfTickedMinutes_data()
    {
        QTest::addColumn<QList<int>>("minutes");
        QTest::addColumn<QString>("runs");
        QTest::newRow("in order") << QList<int>{0, 0, 1, 2, 5, 6} << "0-2 5-6";
        QTest::newRow("a gap filled later joins two runs") << QList<int>{0, 1, 3, 4, 2} << "0-4";
        QTest::newRow("older minutes from a kept backlog") << QList<int>{10, 11, 3, 9, 5, 4} << "3-5 9-11";
        QTest::newRow("one before the first run") << QList<int>{5, 6, 4} << "4-6";
        QTest::newRow("inside a run") << QList<int>{1, 2, 3, 8, 2} << "1-3 8-8";
    }

    void runsOfTickedMinutes()
    {
        QFETCH(QList<int>, minutes);
        QFETCH(QString, runs);
        TickedMinutes::Runs r;
        for (int m : minutes)
            TickedMinutes::insert(&r, 1000 + m);
        QCOMPARE(runsText(r, 1000), runs);
    }

    void tickLinesAreNotedPerSymbol()
    {
        TickedMinutes ticked;
        ticked.note("T,NIFTY-I,20260302,09:59:58.100,1,1,0,1\n"
                    "T,GOLDM-I,20260302,10:00:01.000,1,1,0,1\r\n"
                    "T,NIFTY-I,20260302,10:00:02.500,1,1,0,1\n"
                    "T,NIFTY-I,2026-03-02,10:05:00,1,1,0,1\n" // no readable minute
                    "T,,20260302,10:06:00,1,1,0,1\n"
                    "garbage\n"
                    "T,NIFTY-I,20260302,10:07:00.000,1,1,0,1");
        const TickedMinutes::Map map = ticked.snapshot();
        const qint64 base = key("20260302", "09:59");
        QCOMPARE(map.keys().size(), 2);
        QCOMPARE(runsText(map.value("NIFTY-I"), base), QStringLiteral("0-1 8-8"));
        QCOMPARE(runsText(map.value("GOLDM-I"), base), QStringLiteral("1-1"));

        // A snapshot stays as it was while the live side goes on; the runs stay bounded.
        const QDateTime day(QDate(2026, 3, 3), QTime(0, 0));
        for (int m = 0; m < TickedMinutes::kMaxRunsPerSymbol + 5; ++m)
            ticked.note("T,NIFTY-I," + day.addSecs(120 * m).toString("yyyyMMdd,HH:mm:ss").toLatin1() + ",1,1,0,1\n");
        QCOMPARE(runsText(map.value("NIFTY-I"), base), QStringLiteral("0-1 8-8"));
        const TickedMinutes::Runs now = ticked.snapshot().value("NIFTY-I");
        QCOMPARE(now.size(), TickedMinutes::kMaxRunsPerSymbol);
        QCOMPARE(qint64(now.last().first), key("20260303", "00:00") + 2 * (TickedMinutes::kMaxRunsPerSymbol + 4));
    }

    void judgeRepairLines_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("verdict");
        const int keep = RepairScope::Keep, foreign = RepairScope::ForeignSymbol,
                  unreadable = RepairScope::UnreadableTime, outside = RepairScope::OutsideOutage,
                  ticked = RepairScope::TickedMinute;
        // The outage runs from 10:00 to 10:30; NIFTY-I ticked until 10:00 and again from 10:25.
        QTest::newRow("own bar inside") << QByteArray("FUTURE,NIFTY-I,20260302,10:10:00,1,2,1,2,96300,0") << keep;
        QTest::newRow("foreign symbol") << QByteArray("CASH,ICICIBANK,20260302,10:10:00,1,2,1,2,50,0") << foreign;
        QTest::newRow("new symbol") << QByteArray("FUTURE,INJECTED,20260302,10:10:00,1,2,1,2,50,0") << foreign;
        QTest::newRow("user's name, not the server's")
            << QByteArray("FUTURE,NIFTY,20260302,10:10:00,1,2,1,2,50,0") << foreign;
        QTest::newRow("no symbol field") << QByteArray("NIFTY-I") << foreign;
        QTest::newRow("1970-01-01") << QByteArray("FUTURE,NIFTY-I,19700101,10:10:00,1,1,1,1,100,0") << outside;
        QTest::newRow("2099-12-31") << QByteArray("FUTURE,NIFTY-I,20991231,10:10:00,1,1,1,1,100,0") << outside;
        QTest::newRow("minute of the last tick before")
            << QByteArray("FUTURE,NIFTY-I,20260302,10:00:00,1,2,1,2,96300,0") << ticked;
        QTest::newRow("minute of the first tick after")
            << QByteArray("FUTURE,NIFTY-I,20260302,10:25:00,1,2,1,2,96300,0") << ticked;
        QTest::newRow("at the first minute") << QByteArray("MCX,GOLDM-I,20260302,10:00:00,1,2,1,2,9,0") << keep;
        QTest::newRow("at the last minute") << QByteArray("MCX,GOLDM-I,20260302,10:30:00,1,2,1,2,9,0") << keep;
        QTest::newRow("a minute before") << QByteArray("MCX,GOLDM-I,20260302,09:59:00,1,2,1,2,9,0") << outside;
        QTest::newRow("a minute after") << QByteArray("MCX,GOLDM-I,20260302,10:31:00,1,2,1,2,9,0") << outside;
        QTest::newRow("padded fields") << QByteArray(" MCX ,\tGOLDM-I , 20260302 , 10:10 ,1,2,1,2,9,0") << keep;
        QTest::newRow("no time") << QByteArray("MCX,GOLDM-I,20260302") << unreadable;
        QTest::newRow("bad date") << QByteArray("MCX,GOLDM-I,2026-03-02,10:10:00,1,2,1,2,9,0") << unreadable;
    }

    void judgeRepairLines()
    {
        QFETCH(QByteArray, line);
        QFETCH(int, verdict);
        TickedMinutes ticked;
        ticked.note("T,NIFTY-I,20260302,09:58:00.100,1,1,0,1\nT,NIFTY-I,20260302,10:00:59.900,1,1,0,1\n"
                    "T,NIFTY-I,20260302,10:25:00.000,1,1,0,1\nT,NIFTY-I,20260302,10:31:10.000,1,1,0,1\n");
        const RepairScope scope({"NIFTY-I", "GOLDM-I"}, key("20260302", "10:00"), key("20260302", "10:30"),
                                ticked.snapshot(), nullptr);
        RepairScope::Cursor fresh;
        QCOMPARE(int(scope.judge(line.constData(), line.size(), &fresh)), verdict);
        // A cursor that judged another symbol before gives the same verdict.
        RepairScope::Cursor used;
        const QByteArray other("MCX,GOLDM-I,20260302,10:10:00,1,2,1,2,9,0");
        scope.judge(other.constData(), other.size(), &used);
        QCOMPARE(int(scope.judge(line.constData(), line.size(), &used)), verdict);
    }

    void minutesLeftToFill()
    {
        TickedMinutes ticked;
        ticked.note("T,NIFTY-I,20260302,10:00:00.000,1,1,0,1\nT,NIFTY-I,20260302,10:01:00.000,1,1,0,1\n"
                    "T,GOLDM-I,20260302,10:00:00.000,1,1,0,1\n");
        const qint64 ten = key("20260302", "10:00");
        // A short outage whose minutes all had ticks leaves nothing to fill.
        QVERIFY(!RepairScope({"NIFTY-I"}, ten, ten + 1, ticked.snapshot(), nullptr).hasMinuteToFill("NIFTY-I"));
        QVERIFY(RepairScope({"GOLDM-I"}, ten, ten + 1, ticked.snapshot(), nullptr).hasMinuteToFill("GOLDM-I"));
        QVERIFY(RepairScope({"EURUSD"}, ten, ten, ticked.snapshot(), nullptr).hasMinuteToFill("EURUSD"));
        // No whole minute in the outage.
        QVERIFY(!RepairScope({"EURUSD"}, ten, ten - 1, ticked.snapshot(), nullptr).hasMinuteToFill("EURUSD"));
    }
};

QTEST_GUILESS_MAIN(TstRepairScope)
#include "tst_repairscope.moc"
