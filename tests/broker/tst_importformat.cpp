// The import language reader: definitions, dates, times, numbers and data lines.

#include "platform/standin/asciiimportformat.h"
#include "testenv.h"

#include <QDate>
#include <QtTest>

using Field = AsciiImportFormat::Field;
Q_DECLARE_METATYPE(AsciiImportFormat::Field)

namespace {
qint64 daysOf(const QDate &d) { return d.toJulianDay() - QDate(1970, 1, 1).toJulianDay(); }
int msOf(int h, int m, int s, int ms = 0) { return ((h * 60 + m) * 60 + s) * 1000 + ms; }
} // namespace

class TestImportFormat : public QObject
{
    Q_OBJECT
private slots:
    void dates_data();
    void dates();
    void times_data();
    void times();
    void numbers_data();
    void numbers();
    void definitions_data();
    void definitions();
    void separators_data();
    void separators();
    void commandsAndComments();
    void tickLine();
    void lineDefaultsAndRejects();
    void symbolWithoutTickerField();
    void shippedDefinitionsMatchTheirLayouts_data();
    void shippedDefinitionsMatchTheirLayouts();
    void missingDefinitionFile();

private:
    TestEnv m_env;
};

void TestImportFormat::dates_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<Field>("order");
    QTest::addColumn<QDate>("expected"); // null: rejected

    QTest::newRow("ymd compact") << "20261208" << Field::DateYMD << QDate(2026, 12, 8);
    QTest::newRow("ymd dashes") << "2026-12-08" << Field::DateYMD << QDate(2026, 12, 8);
    QTest::newRow("ymd slashes") << "2026/12/08" << Field::DateYMD << QDate(2026, 12, 8);
    QTest::newRow("ymd two-digit year") << "261208" << Field::DateYMD << QDate(2026, 12, 8);
    QTest::newRow("ymd 1999") << "991231" << Field::DateYMD << QDate(1999, 12, 31);
    QTest::newRow("ymd blanks around") << " 20261208 " << Field::DateYMD << QDate(2026, 12, 8);
    QTest::newRow("dmy dashes") << "08-12-2026" << Field::DateDMY << QDate(2026, 12, 8);
    QTest::newRow("dmy slashes") << "08/12/2026" << Field::DateDMY << QDate(2026, 12, 8);
    QTest::newRow("dmy compact") << "08122026" << Field::DateDMY << QDate(2026, 12, 8);
    QTest::newRow("dmy single digits") << "8.1.2026" << Field::DateDMY << QDate(2026, 1, 8);
    QTest::newRow("mdy slashes") << "12/08/2026" << Field::DateMDY << QDate(2026, 12, 8);
    QTest::newRow("mdy compact") << "12082026" << Field::DateMDY << QDate(2026, 12, 8);
    QTest::newRow("leap day") << "2028-02-29" << Field::DateYMD << QDate(2028, 2, 29);

    QTest::newRow("month 13") << "20261308" << Field::DateYMD << QDate();
    QTest::newRow("30 february") << "2026-02-30" << Field::DateYMD << QDate();
    QTest::newRow("dmy text read as ymd") << "08-12-2026" << Field::DateYMD << QDate();
    QTest::newRow("ymd text read as dmy") << "2026-12-08" << Field::DateDMY << QDate();
    QTest::newRow("mdy needs month first") << "13/08/2026" << Field::DateMDY << QDate();
    QTest::newRow("two parts") << "2026-12" << Field::DateYMD << QDate();
    QTest::newRow("seven digits") << "2026128" << Field::DateYMD << QDate();
    QTest::newRow("letters") << "2026-Dec-08" << Field::DateYMD << QDate();
    QTest::newRow("empty") << "" << Field::DateYMD << QDate();
}

void TestImportFormat::dates()
{
    QFETCH(QString, text);
    QFETCH(Field, order);
    QFETCH(QDate, expected);
    const QByteArray b = text.toLatin1();
    qint64 days = -1;
    const bool ok = AsciiImportFormat::parseDate(b.constData(), b.size(), order, &days);
    QCOMPARE(ok, expected.isValid());
    if (ok)
        QCOMPARE(days, daysOf(expected));
}

void TestImportFormat::times_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("expected"); // -1: rejected

    QTest::newRow("hh:mm:ss") << "09:15:01" << msOf(9, 15, 1);
    QTest::newRow("hh:mm") << "09:15" << msOf(9, 15, 0);
    QTest::newRow("hhmmss") << "091501" << msOf(9, 15, 1);
    QTest::newRow("hmmss") << "91501" << msOf(9, 15, 1);
    QTest::newRow("hhmm") << "1530" << msOf(15, 30, 0);
    QTest::newRow("milliseconds") << "09:15:01.250" << msOf(9, 15, 1, 250);
    QTest::newRow("one fraction digit") << "09:15:01.5" << msOf(9, 15, 1, 500);
    QTest::newRow("fraction cut to ms") << "09:15:01.2509" << msOf(9, 15, 1, 250);
    QTest::newRow("compact with ms") << "091501.007" << msOf(9, 15, 1, 7);
    QTest::newRow("last ms of the day") << "23:59:59.999" << msOf(23, 59, 59, 999);
    QTest::newRow("midnight") << "00:00:00.000" << 0;

    QTest::newRow("hour 24") << "24:00:00" << -1;
    QTest::newRow("minute 60") << "09:60:00" << -1;
    QTest::newRow("second 61") << "09:15:61" << -1;
    QTest::newRow("fraction after minutes") << "09:15.250" << -1;
    QTest::newRow("empty fraction") << "09:15:01." << -1;
    QTest::newRow("letter in fraction") << "09:15:01.2a" << -1;
    QTest::newRow("four parts") << "09:15:01:02" << -1;
    QTest::newRow("seven digits") << "0915011" << -1;
    QTest::newRow("empty") << "" << -1;
}

void TestImportFormat::times()
{
    QFETCH(QString, text);
    QFETCH(int, expected);
    const QByteArray b = text.toLatin1();
    int ms = -2;
    const bool ok = AsciiImportFormat::parseTime(b.constData(), b.size(), &ms);
    QCOMPARE(ok, expected >= 0);
    if (ok)
        QCOMPARE(ms, expected);
}

void TestImportFormat::numbers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<double>("expected");

    QTest::newRow("price") << "24567.4" << true << 24567.4;
    QTest::newRow("blanks") << " 75 " << true << 75.0;
    QTest::newRow("plus") << "+5" << true << 5.0;
    QTest::newRow("negative") << "-2" << true << -2.0;
    QTest::newRow("exponent") << "1.23457e+06" << true << 1234570.0;
    QTest::newRow("small") << "0.0001234" << true << 0.0001234;
    QTest::newRow("empty") << "" << false << 0.0;
    QTest::newRow("decimal comma") << "1,5" << false << 0.0;
    QTest::newRow("trailing text") << "12abc" << false << 0.0;
    QTest::newRow("nan") << "nan" << false << 0.0;
    QTest::newRow("inf") << "inf" << false << 0.0;
}

void TestImportFormat::numbers()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(double, expected);
    const QByteArray b = text.toLatin1();
    double v = -1;
    QCOMPARE(AsciiImportFormat::parseNumber(b.constData(), b.size(), &v), ok);
    if (ok)
        QCOMPARE(v, expected);
}

void TestImportFormat::definitions_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("valid");

    QTest::newRow("tick format") << QByteArray("$FORMAT Skip,Ticker,Date_YMD,Time,Close,Volume,OpenInt,Skip\n")
                                 << true;
    QTest::newRow("blanks and case") << QByteArray("$format ticker , date_dmy , TIME , close\n") << true;
    QTest::newRow("no format line") << QByteArray("$SEPARATOR ,\n$AUTOADD 1\n") << false;
    QTest::newRow("unknown field") << QByteArray("$FORMAT Ticker,Date_YMD,Price\n") << false;
    QTest::newRow("no date field") << QByteArray("$FORMAT Ticker,Time,Close\n") << false;
    QTest::newRow("no close field") << QByteArray("$FORMAT Ticker,Date_YMD,Open,High,Low\n") << false;
    QTest::newRow("two date fields") << QByteArray("$FORMAT Ticker,Date_YMD,Date_DMY,Close\n") << false;
    QTest::newRow("close twice") << QByteArray("$FORMAT Ticker,Date_YMD,Close,Close\n") << false;
    QTest::newRow("empty field name") << QByteArray("$FORMAT Ticker,,Date_YMD,Close\n") << false;
    QTest::newRow("stray text line") << QByteArray("$FORMAT Ticker,Date_YMD,Close\nhello\n") << false;
    QTest::newRow("skiplines not a number") << QByteArray("$FORMAT Ticker,Date_YMD,Close\n$SKIPLINES x\n")
                                            << false;
    QTest::newRow("negative skiplines") << QByteArray("$FORMAT Ticker,Date_YMD,Close\n$SKIPLINES -1\n") << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void TestImportFormat::definitions()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, valid);
    AsciiImportFormat f;
    QCOMPARE(f.parse(text), valid);
    QCOMPARE(f.errorString().isEmpty(), valid);
}

void TestImportFormat::separators_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<char>("expected");

    QTest::newRow("comma") << QByteArray("$SEPARATOR ,") << ',';
    QTest::newRow("semicolon") << QByteArray("$SEPARATOR ;") << ';';
    QTest::newRow("literal tab") << QByteArray("$SEPARATOR\t") << '\t';
    QTest::newRow("escaped tab") << QByteArray("$SEPARATOR \\t") << '\t';
    QTest::newRow("TAB word") << QByteArray("$SEPARATOR TAB") << '\t';
    QTest::newRow("blank") << QByteArray("$SEPARATOR  ") << ' ';
    QTest::newRow("CRLF") << QByteArray("$SEPARATOR |\r") << '|';
}

void TestImportFormat::separators()
{
    QFETCH(QByteArray, line);
    QFETCH(char, expected);
    AsciiImportFormat f;
    QVERIFY2(f.parse("$FORMAT Ticker,Date_YMD,Close\n" + line + "\n"), qPrintable(f.errorString()));
    QCOMPARE(f.separator(), expected);

    // The separator really splits the data line.
    QByteArray data = "NIFTY-I,20261208,24567.4";
    data.replace(',', expected);
    ImportedQuote q;
    QVERIFY(f.parseLine(data, QString(), &q));
    QCOMPARE(q.symbol, QStringLiteral("NIFTY-I"));
    QCOMPARE(q.close, 24567.4);

    AsciiImportFormat bad;
    QVERIFY(!bad.parse("$FORMAT Ticker,Date_YMD,Close\n$SEPARATOR ,;\n"));
    QVERIFY(!bad.parse("$FORMAT Ticker,Date_YMD,Close\n$SEPARATOR\n"));
}

void TestImportFormat::commandsAndComments()
{
    AsciiImportFormat f;
    const QByteArray text = "\xEF\xBB\xBF* written by hand\r\n"
                            "; another comment\r\n"
                            "   # indented comment\r\n"
                            "\r\n"
                            "$FORMAT Ticker,Date_YMD,Close\r\n"
                            "$SKIPLINES 2\r\n"
                            "$AUTOADD 0\r\n"
                            "$DEBUG 1\r\n"
                            "$CONT 1\r\n"
                            "$OVERWRITE 1\r\n"
                            "$GROUP 255\r\n"
                            "$SOMETHINGNEW 7\r\n"
                            "$NAME IGNORED-HERE\r\n";
    QVERIFY2(f.parse(text), qPrintable(f.errorString()));
    QCOMPARE(f.skipLines(), 2);
    QVERIFY(!f.autoAdd());
    QVERIFY(f.debug());
    QCOMPARE(f.name(), QStringLiteral("IGNORED-HERE"));
    QCOMPARE(f.fields(), (QVector<Field>{Field::Ticker, Field::DateYMD, Field::Close}));

    // Defaults when the commands are absent.
    QVERIFY(f.parse("$FORMAT Ticker,Date_YMD,Close"));
    QCOMPARE(f.skipLines(), 0);
    QVERIFY(f.autoAdd());
    QVERIFY(!f.debug());
    QCOMPARE(f.separator(), ',');

    // A later $FORMAT replaces the earlier one.
    QVERIFY(f.parse("$FORMAT Ticker,Date_YMD,Close\n$FORMAT Date_YMD,Ticker,Close\n"));
    ImportedQuote q;
    QVERIFY(f.parseLine(QByteArray("20261208,ABC,1"), QString(), &q));
    QCOMPARE(q.symbol, QStringLiteral("ABC"));
}

void TestImportFormat::tickLine()
{
    AsciiImportFormat f;
    QVERIFY(f.parse("$FORMAT Skip,Ticker,Date_YMD,Time,Close,Volume,OpenInt,Skip\n"));
    ImportedQuote q;
    QString why;
    QVERIFY2(f.parseLine(QByteArray("T,NIFTY-I,20261208,09:15:01.250,24567.4,75,1200,35000"), QString(), &q, &why),
             qPrintable(why));
    QCOMPARE(q.symbol, QStringLiteral("NIFTY-I"));
    QCOMPARE(q.timestampMs, daysOf(QDate(2026, 12, 8)) * 86400000LL + msOf(9, 15, 1, 250));
    QCOMPARE(q.open, 24567.4);
    QCOMPARE(q.high, 24567.4);
    QCOMPARE(q.low, 24567.4);
    QCOMPARE(q.close, 24567.4);
    QCOMPARE(q.volume, 75.0);
    QCOMPARE(q.openInt, 1200.0);

    // Fields beyond the format are ignored; a missing trailing Skip does not matter.
    QVERIFY(f.parseLine(QByteArray("T,NIFTY-I,20261208,09:15:01,24567.4,75,1200,35000,extra,more"), QString(), &q));
    QVERIFY(f.parseLine(QByteArray("T,NIFTY-I,20261208,09:15:01,24567.4,75,1200"), QString(), &q));
    // Non-ASCII symbols keep their characters.
    QVERIFY(f.parseLine(QByteArray("T,\xC3\x84PFEL,20261208,09:15:01,1,1,1,1"), QString(), &q));
    QCOMPARE(q.symbol, QString::fromUtf8("\xC3\x84PFEL"));
}

void TestImportFormat::lineDefaultsAndRejects()
{
    AsciiImportFormat f;
    QVERIFY(f.parse("$FORMAT Ticker,Date_YMD,Time,Open,High,Low,Close,Volume,OpenInt\n"));
    ImportedQuote q;
    QString why;

    QVERIFY(f.parseLine(QByteArray("ABC,20261208,09:15,,,,101.5,,"), QString(), &q, &why));
    QCOMPARE(q.open, 101.5);
    QCOMPARE(q.high, 101.5);
    QCOMPARE(q.low, 101.5);
    QCOMPARE(q.volume, 0.0);
    QCOMPARE(q.openInt, 0.0);

    const QList<QByteArray> rejected = {
        "ABC,20261308,09:15,1,1,1,1,1,1",  // bad date
        "ABC,20261208,9h15,1,1,1,1,1,1",   // bad time
        "ABC,20261208,09:15,1,1,1,,1,1",   // no close
        "ABC,20261208,09:15,1,1,1,x,1,1",  // close not a number
        "ABC,20261208,09:15,1,1,1,1,many,1", // volume not a number
        " ,20261208,09:15,1,1,1,1,1,1",    // blank symbol
        "ABC,20261208",                    // too short: no close
        "Failed to fetch ABC",             // a server message line
    };
    for (const QByteArray &line : rejected) {
        why.clear();
        QVERIFY2(!f.parseLine(line, QString(), &q, &why), line.constData());
        QVERIFY2(!why.isEmpty(), line.constData());
    }
}

void TestImportFormat::symbolWithoutTickerField()
{
    AsciiImportFormat f;
    QVERIFY(f.parse("$FORMAT Date_YMD,Close\n"));
    QVERIFY(!f.hasTicker());
    ImportedQuote q;
    QVERIFY(f.parseLine(QByteArray("20261208,5"), QStringLiteral("FROMFILE"), &q));
    QCOMPARE(q.symbol, QStringLiteral("FROMFILE"));
    QVERIFY(!f.parseLine(QByteArray("20261208,5"), QString(), &q));

    QVERIFY(f.parse("$FORMAT Date_YMD,Close\n$NAME FIXED\n"));
    QVERIFY(f.parseLine(QByteArray("20261208,5"), QStringLiteral("FROMFILE"), &q));
    QCOMPARE(q.symbol, QStringLiteral("FIXED"));
}

void TestImportFormat::shippedDefinitionsMatchTheirLayouts_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("symbol");
    QTest::addColumn<QDateTime>("time");
    QTest::addColumn<QVector<double>>("values"); // open, high, low, close, volume, openint

    QTest::newRow("live") << "dataFormatRT.dll"
                          << QByteArray("T,NIFTY-I,20261208,09:15:01.250,24567.4,75,1200,35000")
                          << "NIFTY-I" << QDateTime(QDate(2026, 12, 8), QTime(9, 15, 1, 250), Qt::UTC)
                          << QVector<double>{24567.4, 24567.4, 24567.4, 24567.4, 75, 1200};
    QTest::newRow("intraday") << "dataFormat.dll"
                              << QByteArray("FUTURE,NIFTY-I,20261208,09:15:00,24550,24571.5,24548.1,24567.4,182250,1200")
                              << "NIFTY-I" << QDateTime(QDate(2026, 12, 8), QTime(9, 15), Qt::UTC)
                              << QVector<double>{24550, 24571.5, 24548.1, 24567.4, 182250, 1200};
    QTest::newRow("eod") << "dataFormatEod.dll"
                         << QByteArray("CASH,RELIANCE,20261208,2931.05,2950,2918.4,2944.7,5123400,0")
                         << "RELIANCE" << QDateTime(QDate(2026, 12, 8), QTime(0, 0), Qt::UTC)
                         << QVector<double>{2931.05, 2950, 2918.4, 2944.7, 5123400, 0};
}

void TestImportFormat::shippedDefinitionsMatchTheirLayouts()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, line);
    QFETCH(QString, symbol);
    QFETCH(QDateTime, time);
    QFETCH(QVector<double>, values);

    AsciiImportFormat f;
    const QString path = TestEnv::sourceDir() + QStringLiteral("/tools/formats/") + file;
    QVERIFY2(f.load(path), qPrintable(f.errorString()));
    QCOMPARE(f.separator(), ',');
    QCOMPARE(f.skipLines(), 0); // chunks of one file are imported one by one: no header
    QVERIFY(f.autoAdd());

    ImportedQuote q;
    QString why;
    QVERIFY2(f.parseLine(line, QString(), &q, &why), qPrintable(why));
    QCOMPARE(q.symbol, symbol);
    QCOMPARE(q.timestampMs, time.toMSecsSinceEpoch());
    QCOMPARE((QVector<double>{q.open, q.high, q.low, q.close, q.volume, q.openInt}), values);
}

void TestImportFormat::missingDefinitionFile()
{
    AsciiImportFormat f;
    QVERIFY(!f.load(m_env.root() + QStringLiteral("/nothing-here.dll")));
    QVERIFY(f.errorString().contains(QStringLiteral("nothing-here.dll")));
}

QTEST_GUILESS_MAIN(TestImportFormat)
#include "tst_importformat.moc"
