// The mapping of backfill lines against a plain rendering of the rule it must follow:
// field 1 looked up, else one "\b<old>\b" pass per entry in ascending order of old names.

#include "backfill/symbolrewriter.h"
#include "testenv.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtTest>

namespace {

QString referenceLine(const QString &line, const SymbolMap &map)
{
    if (line.trimmed().isEmpty())
        return QString();
    if (line.contains(QStringLiteral("Failed"), Qt::CaseInsensitive))
        return line;
    QStringList fields = line.split(QLatin1Char(','), Qt::KeepEmptyParts);
    if (fields.size() >= 2 && map.contains(fields.at(1).trimmed())) {
        fields[1] = map.value(fields.at(1).trimmed());
        return fields.join(QLatin1Char(','));
    }
    QStringList oldNames = map.keys();
    std::sort(oldNames.begin(), oldNames.end());
    QString out = line;
    for (const QString &oldName : oldNames) {
        const QRegularExpression re(QStringLiteral("\\b%1\\b").arg(QRegularExpression::escape(oldName)));
        out.replace(re, map.value(oldName));
    }
    return out;
}

QString randomText(QRandomGenerator &rng, const QString &alphabet, int maxLength)
{
    QString s;
    const int n = int(rng.bounded(maxLength + 1));
    for (int i = 0; i < n; ++i)
        s += alphabet.at(int(rng.bounded(alphabet.size())));
    return s;
}

} // namespace

class TestSymbolRewriter : public QObject
{
    Q_OBJECT
private slots:
    void sameAsPerEntryPatterns_data();
    void sameAsPerEntryPatterns();
    void sameAsPerEntryPatternsOnRandomInput();
    void fileCopyKeepsLinesAndDropsCarriageReturns();
};

void TestSymbolRewriter::sameAsPerEntryPatterns_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("line");
    const QStringList nifty{QStringLiteral("NIFTY-I,NIFTY"), QStringLiteral("BANKNIFTY-I,BNF")};
    QTest::newRow("second field") << nifty << "FUTURE, NIFTY-I ,20261208,09:15:00,1,2,3,4,5,6";
    QTest::newRow("single field") << nifty << "NIFTY-I";
    QTest::newRow("whole word only") << nifty << "X,Y,NIFTY-II NIFTY-I_ BANKNIFTY-I";
    QTest::newRow("failed any case") << nifty << "NIFTY-I,NIFTY-I,fAiLeD";
    QTest::newRow("blank") << nifty << " \t ";
    QTest::newRow("chain in order") << QStringList{"A,B", "B,C"} << "A B C";
    QTest::newRow("chain against order") << QStringList{"B,C", "A,B"} << "A B C";
    QTest::newRow("cycle") << QStringList{"A,B", "B,A"} << "A B";
    QTest::newRow("new name makes a word") << QStringList{"A,X-B", "B,Q"} << "A,A";
    QTest::newRow("name starting with non-word") << QStringList{"-X,Q"} << "-X a-X -X";
    QTest::newRow("ampersand") << QStringList{"M&M,MM", "M,N"} << "CASH;M&M M&M-I";
    QTest::newRow("overlapping names") << QStringList{"A-A,Z"} << "A-A-A";
    QTest::newRow("non-ascii around") << QStringList{"A,B"} << QString::fromUtf8("\xc3\xa9" "A \xc2\xa0" "A\xc2\xa0");
    QTest::newRow("later entry wins") << QStringList{"A,B", " A , C "} << "A";
}

void TestSymbolRewriter::sameAsPerEntryPatterns()
{
    QFETCH(QStringList, entries);
    QFETCH(QString, line);
    const SymbolMap map = SymbolMapping::parse(entries);
    const QByteArray got = SymbolRewriter(map).rewriteLine(line.toUtf8());
    QCOMPARE(QString::fromUtf8(got), referenceLine(line, map));
}

void TestSymbolRewriter::sameAsPerEntryPatternsOnRandomInput()
{
    // Short names over a small alphabet collide, chain and overlap far more often than
    // real symbols, which is the point.
    QRandomGenerator rng(20260302);
    const QString nameChars = QString::fromUtf8("AB1_-&\xc3\xa9");
    const QString lineChars = QString::fromUtf8("AB1_-& ,\xc3\xa9\xc2\xa0");
    for (int round = 0; round < 3000; ++round) {
        SymbolMap map;
        const int entries = int(rng.bounded(6));
        for (int e = 0; e < entries; ++e) {
            const QString oldName = randomText(rng, nameChars, 4);
            const QString newName = randomText(rng, nameChars, 4);
            if (!oldName.trimmed().isEmpty() && !newName.trimmed().isEmpty())
                map.insert(oldName, newName);
        }
        const SymbolRewriter rewriter(map);
        for (int l = 0; l < 10; ++l) {
            const QString line = randomText(rng, lineChars, 24);
            const QString got = QString::fromUtf8(rewriter.rewriteLine(line.toUtf8()));
            if (got != referenceLine(line, map))
                QFAIL(qPrintable(QStringLiteral("table %1, line '%2': got '%3', expected '%4'")
                                     .arg(QStringList(map.keys()).join(' '), line, got,
                                          referenceLine(line, map))));
        }
    }
}

void TestSymbolRewriter::fileCopyKeepsLinesAndDropsCarriageReturns()
{
    TestEnv env;
    const QString source = env.root() + QStringLiteral("/in.txt");
    const QString processed = env.root() + QStringLiteral("/work/out.txt");
    QFile in(source);
    QVERIFY(in.open(QIODevice::WriteOnly));
    in.write("FUTURE,NIFTY-I,1\r\n  \r\nNIFTY-I\n\nlast,NIFTY-I");
    in.close();
    const SymbolRewriter rewriter(SymbolMapping::parse({QStringLiteral("NIFTY-I,NIFTY")}));
    QVERIFY(rewriter.applyToFile(source, processed));
    QFile out(processed);
    QVERIFY(out.open(QIODevice::ReadOnly));
    QCOMPARE(out.readAll(), QByteArray("FUTURE,NIFTY,1\n\nNIFTY\n\nlast,NIFTY\n"));
    QVERIFY(!rewriter.applyToFile(source + QStringLiteral(".missing"), processed));
    QVERIFY(!rewriter.applyToFile(source, QString()));
    // A new name that would split the bar line is not used.
    QCOMPARE(SymbolRewriter(SymbolMapping::parse({"A,B\nC"})).rewriteLine("x,A,1"), QByteArray("x,A,1"));
}

QTEST_GUILESS_MAIN(TestSymbolRewriter)
#include "tst_symbolrewriter.moc"
