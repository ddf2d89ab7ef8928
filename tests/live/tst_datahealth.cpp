// What the Data Health table and the summary line say, and the CSV the user keeps.
#include "live/datahealth.h"

#include <QtTest>

namespace {
DataHealth::Row row(const char *symbol, int missing, bool repairing = false, bool quiet = false)
{
    DataHealth::Row r;
    r.symbol = QString::fromUtf8(symbol);
    r.health.missing = missing;
    if (missing)
        r.health.missingRanges = {{642, 642 + missing - 1}};
    r.repairing = repairing;
    r.quiet = quiet;
    return r;
}
} // namespace

class tst_DataHealth : public QObject
{
    Q_OBJECT
private slots:
    void stateAndSummary()
    {
        QCOMPARE(DataHealth::stateText(row("A", 3, true, true)), QStringLiteral("Repairing"));
        QCOMPARE(DataHealth::stateText(row("A", 3, false, true)), QStringLiteral("Missing 3 min"));
        QCOMPARE(DataHealth::stateText(row("A", 0, false, true)), QStringLiteral("Quiet"));
        QCOMPARE(DataHealth::stateText(row("A", 0)), QStringLiteral("Complete"));
        QCOMPARE(DataHealth::missingText(row("A", 3)), QString::fromUtf8("10:42–10:44"));

        QCOMPARE(DataHealth::summaryText({row("A", 0), row("B", 0, false, true)}, 555),
                 QStringLiteral("Data: 2/2 complete since 09:15"));
        QCOMPARE(DataHealth::summaryText({row("A", 2), row("B", 0), row("C", 1)}, 555),
                 QStringLiteral("Data: 2 symbols missing minutes"));
        QCOMPARE(DataHealth::summaryText({row("A", 2)}, 555), QStringLiteral("Data: 1 symbol missing minutes"));
    }

    // Worst first: repairing, then by missing minutes, then quiet, then complete.
    void stateSortsByHowBadItIs()
    {
        const auto v = [](const DataHealth::Row &r) { return DataHealth::sortValue(r, DataHealth::Column::State); };
        QVERIFY(v(row("A", 1, true)) > v(row("B", 50)));
        QVERIFY(v(row("B", 50)) > v(row("C", 2)));
        QVERIFY(v(row("C", 2)) > v(row("D", 0, false, true)));
        QVERIFY(v(row("D", 0, false, true)) > v(row("E", 0)));
    }

    // Fields that would break a CSV line are quoted, and a server symbol that starts like a
    // spreadsheet formula stays text.
    void csvKeepsHostileSymbolsInTheirField()
    {
        const QByteArray csv = DataHealth::csv({row("NIFTY-I", 3), row("=HYPERLINK(\"x\")", 0), row("A,B", 0)});
        const QList<QByteArray> lines = csv.split('\n');
        QCOMPARE(lines.size(), 5); // header, three rows, the empty rest after the last CRLF
        QVERIFY(lines[0].startsWith("Symbol,Last Tick,Minutes Covered,Repaired,Missing,Missing Minutes,State"));
        QCOMPARE(lines[1], QByteArray("NIFTY-I,,0,0,3,10:42–10:44,Missing 3 min\r"));
        QCOMPARE(lines[2], QByteArray("\"'=HYPERLINK(\"\"x\"\")\",,0,0,0,,Complete\r"));
        QCOMPARE(lines[3], QByteArray("\"A,B\",,0,0,0,,Complete\r"));
    }
};

QTEST_GUILESS_MAIN(tst_DataHealth)
#include "tst_datahealth.moc"
