// The soak verdict's arithmetic: what counts as a reconnect window, how memory growth is
// judged and which stall figures are read from the program's log.

#include "soakfigures.h"

#include <QtTest>

class TestSoakFigures : public QObject
{
    Q_OBJECT
private slots:
    void tickTimestamps()
    {
        QCOMPARE(Soak::tickTimestamp("20261208", "10:00:01.250"), qint64(1796724001250));
        QCOMPARE(Soak::tickTimestamp("20261208", "10:00:01"), qint64(1796724001000));
        QCOMPARE(Soak::tickTimestamp("2026128", "10:00:01"), qint64(-1));
        QCOMPARE(Soak::tickTimestamp("20261208", "25:00:01"), qint64(-1));
    }

    void outageWindowsRunPastTheDeadLinksLastSends()
    {
        // Sends go on for 30 ms into the outage, pause, and resume at 9000.
        const QVector<qint64> sends{100, 990, 1010, 1030, 9000, 9010};
        const auto w = Soak::outageWindows({1000, 9005, 20000}, sends, 200, 1000);
        QCOMPARE(w.size(), 3);
        QCOMPARE(w[0].from, qint64(800));
        QCOMPARE(w[0].to, qint64(9000));
        QCOMPARE(w[0].reconnectMs(), qint64(8000));
        QCOMPARE(w[1].to, Soak::kNever); // no pause after it: never recovered in the log
        QCOMPARE(w[2].to, Soak::kNever);
        QCOMPARE(Soak::windowOf(w, 1030), 0);
    }

    void windowsRunFromTheLeadToTheNextSend()
    {
        const QVector<qint64> sends{100, 900, 1000, 1000, 4000, 4100};
        const auto w = Soak::reconnectWindows({1000, 5000}, sends, 200);
        QCOMPARE(w.size(), 2);
        // A send at the very moment of the drop belongs to the dropped link.
        QCOMPARE(w[0].from, qint64(800));
        QCOMPARE(w[0].to, qint64(4000));
        QCOMPARE(w[0].reconnectMs(), qint64(3000));
        QCOMPARE(w[1].to, Soak::kNever);
        QCOMPARE(w[1].reconnectMs(), qint64(-1));
        QCOMPARE(Soak::windowOf(w, 799), -1);
        QCOMPARE(Soak::windowOf(w, 800), 0);
        QCOMPARE(Soak::windowOf(w, 4000), 0);
        QCOMPARE(Soak::windowOf(w, 4001), -1);
        QCOMPARE(Soak::windowOf(w, 99999), 1);
    }

    void percentiles()
    {
        QVector<qint64> v;
        for (int i = 1; i <= 100; ++i)
            v << i;
        QCOMPARE(Soak::percentile(v, 0.5), qint64(51));
        QCOMPARE(Soak::percentile(v, 0.99), qint64(100));
        QCOMPARE(Soak::percentile({}, 0.5), qint64(-1));
    }

    void memoryGrowth()
    {
        // Flat after start-up, with one backfill bump in the earlier half.
        auto v = Soak::memoryVerdict({20000, 60000, 90000, 61000, 62000, 61000, 60000});
        QVERIFY2(v.bounded, qPrintable(v.why));
        QCOMPARE(v.peakKb, qint64(90000));
        QCOMPARE(v.finalKb, qint64(60000));
        // A steady climb of 20 MB a minute.
        v = Soak::memoryVerdict({20000, 60000, 80000, 100000, 120000, 140000, 160000});
        QVERIFY(!v.bounded);
        QVERIFY(v.why.contains(QStringLiteral("160000")));
        // Two samples cannot show growth.
        QVERIFY(!Soak::memoryVerdict({20000, 60000}).bounded);
    }

    void stallsFromTheLog()
    {
        QCOMPARE(Soak::longestStall("nothing here\n"), qint64(-1));
        QCOMPARE(Soak::longestStall("Vantrel: event loop stall 180 ms (longest so far)\n"
                                    "Vantrel: event loop longest stall 40 ms in the last minute, 250 ms since start\n"
                                    "Vantrel: event loop stall 120 ms (longest so far)\n"),
                 qint64(250));
    }
};

QTEST_GUILESS_MAIN(TestSoakFigures)
#include "tst_soakfigures.moc"
