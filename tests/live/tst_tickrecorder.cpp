#include "testenv.h"

#include "app/settingskeys.h"
#include "live/latestbatch.h"
#include "live/pendingbatches.h"
#include "live/symbolmapping.h"
#include "live/tickrecorder.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <limits>

namespace {

QByteArray readAll(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable>");
    return f.readAll();
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(bytes) == bytes.size();
}

QString dataDir() { return TestEnv::sourceDir() + QStringLiteral("/tests/data/live"); }

QString printfG6(double v)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return QString::fromLatin1(buf);
}

} // namespace

class TstTickRecorder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void priceForm_data();
    void priceForm();
    void priceFormMatchesPrintf();
    void quantityRounding_data();
    void quantityRounding();

    void tickLinesGolden_data();
    void tickLinesGolden();

    void importGolden_data();
    void importGolden();
    void importKeepsTickFileServerNames();
    void importHandlesCrLfAndUnopenableFiles();

    void storeBatchReplacesContent();
    void storeBatchWithUnopenableTmpStillPublishes();
    void storeBatchIgnoresEmptyBatch();
    void spooledLinesMustBeRecorderLines_data();
    void spooledLinesMustBeRecorderLines();

    void mappingParse();
    void mappingReverse();

private:
    TestEnv m_env;
};

void TstTickRecorder::initTestCase()
{
    QVERIFY(m_env.isValid());
    QVERIFY2(QFileInfo::exists(dataDir()), qPrintable(dataDir()));
    // QCoreApplication adopts the environment's locale; the comparison with printf needs
    // the C number format.
    std::setlocale(LC_NUMERIC, "C");
}

void TstTickRecorder::init()
{
    LatestBatch::clear();
    PendingBatches::clear();
    TestEnv::clearSettings();
}

void TstTickRecorder::priceForm_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("expected");
    QTest::newRow("rounds to 6 digits") << 24567.36 << "24567.4";
    // The double nearest 24567.35 lies just below it, so %g rounds down.
    QTest::newRow("binary value decides") << 24567.35 << "24567.3";
    QTest::newRow("exact tie to even, down") << 1234565.0 << "1.23456e+06";
    QTest::newRow("exact tie to even, up") << 1234575.0 << "1.23458e+06";
    QTest::newRow("six integer digits") << 123456.7 << "123457";
    QTest::newRow("exponent form") << 1234567.0 << "1.23457e+06";
    QTest::newRow("exact three decimals") << 100.125 << "100.125";
    QTest::newRow("four decimals cut") << 1234.5678 << "1234.57";
    QTest::newRow("small value") << 0.0001234 << "0.0001234";
    QTest::newRow("smaller value uses exponent") << 0.00001234 << "1.234e-05";
    QTest::newRow("integer") << 100.0 << "100";
    QTest::newRow("trailing zeros dropped") << 2.5000 << "2.5";
    QTest::newRow("rounding carries") << 999999.5 << "1e+06";
}

void TstTickRecorder::priceForm()
{
    QFETCH(double, value);
    QFETCH(QString, expected);
    QCOMPARE(TickRecorder::formatPrice(value), expected);
    QCOMPARE(printfG6(value), expected);
    QCOMPARE(TickRecorder::formatPriceWithPrintf(value), expected); // the older toolchains' path
}

void TstTickRecorder::priceFormMatchesPrintf()
{
    // Sweep many magnitudes and digit patterns, including halfway cases, against the C
    // library's %g.
    int checked = 0;
    for (int exp = -12; exp <= 18; ++exp) {
        const double scale = std::pow(10.0, exp);
        for (double mantissa : {1.0, 1.5, 1.234565, 1.2345650001, 2.5, 3.14159265, 9.9999949,
                                9.9999951, 9.999995, 4.0000005, 7.77777777}) {
            for (double sign : {1.0, -1.0}) {
                const double v = sign * mantissa * scale;
                QCOMPARE(TickRecorder::formatPrice(v), printfG6(v));
                QCOMPARE(TickRecorder::formatPriceWithPrintf(v), printfG6(v));
                ++checked;
            }
        }
    }
    for (int i = 0; i < 20000; ++i) {
        const double v = i * 0.05 + i / 7.0;
        QCOMPARE(TickRecorder::formatPrice(v), printfG6(v));
        ++checked;
    }
    QVERIFY(checked > 20000);
}

void TstTickRecorder::quantityRounding_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<qint64>("expected");
    QTest::newRow("half up") << 2.5 << qint64(3);
    QTest::newRow("negative half toward +inf") << -2.5 << qint64(-2);
    QTest::newRow("negative below half") << -2.6 << qint64(-3);
    QTest::newRow("minus half") << -0.5 << qint64(0);
    QTest::newRow("just below half") << 0.49999999999999994 << qint64(0);
    QTest::newRow("plain") << 75.0 << qint64(75);
    QTest::newRow("large exact") << 9007199254740992.0 << qint64(9007199254740992LL);
    QTest::newRow("largest double below 2^63") << 9223372036854774784.0
                                                << qint64(9223372036854774784LL);
    QTest::newRow("2^63 out of range") << 9223372036854775808.0 << qint64(0);
    QTest::newRow("-2^63 in range") << -9223372036854775808.0
                                    << std::numeric_limits<qint64>::min();
    QTest::newRow("huge") << 1e30 << qint64(0);
    QTest::newRow("huge negative") << -1e30 << qint64(0);
    QTest::newRow("nan") << std::numeric_limits<double>::quiet_NaN() << qint64(0);
    QTest::newRow("inf") << std::numeric_limits<double>::infinity() << qint64(0);
    QTest::newRow("-inf") << -std::numeric_limits<double>::infinity() << qint64(0);
}

void TstTickRecorder::quantityRounding()
{
    QFETCH(double, value);
    QFETCH(qint64, expected);
    QCOMPARE(TickRecorder::roundQuantity(value), expected);
}

void TstTickRecorder::tickLinesGolden_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    const QDir dir(dataDir() + QStringLiteral("/ticklines"));
    const QStringList inputs = dir.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name);
    QVERIFY(inputs.size() >= 4);
    for (const QString &name : inputs) {
        const QString base = dir.filePath(QFileInfo(name).completeBaseName());
        QTest::newRow(qPrintable(name)) << base + QStringLiteral(".json")
                                        << base + QStringLiteral(".txt");
    }
}

void TstTickRecorder::tickLinesGolden()
{
    QFETCH(QString, input);
    QFETCH(QString, expected);
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(readAll(input), &err);
    QCOMPARE(err.error, QJsonParseError::NoError);
    QVERIFY(doc.isArray());
    QCOMPARE(TickRecorder::recordLines(doc.array()), readAll(expected));
}

void TstTickRecorder::importGolden_data()
{
    QTest::addColumn<QString>("base");
    const QDir dir(dataDir() + QStringLiteral("/import"));
    const QStringList inputs = dir.entryList({QStringLiteral("*.ticks")}, QDir::Files, QDir::Name);
    QVERIFY(inputs.size() >= 2);
    for (const QString &name : inputs)
        QTest::newRow(qPrintable(name)) << dir.filePath(QFileInfo(name).completeBaseName());
}

void TstTickRecorder::importGolden()
{
    QFETCH(QString, base);
    // The mapping goes through the settings store exactly as the dialog leaves it.
    const QStringList entries = QString::fromUtf8(readAll(base + QStringLiteral(".mapping")))
                                    .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    {
        AppSettings s;
        s.setValue(SettingsKeys::symbolMappingEntries, entries);
    }
    const SymbolMap map = SymbolMapping::load();
    const QByteArray ticks = readAll(base + QStringLiteral(".ticks"));
    const QByteArray expected = readAll(base + QStringLiteral(".expected"));

    // From the recorded bytes (what the import cycle passes) ...
    const QString importPath = m_env.root() + QStringLiteral("/sub/folder/rtimport.txt");
    QFile::remove(importPath);
    QVERIFY(TickRecorder::buildImportFile(ticks, importPath, map));
    QCOMPARE(readAll(importPath), expected);

    // ... and from the tick file on disk, over a longer previous import file.
    const QString tickPath = m_env.root() + QStringLiteral("/rtsocket.txt");
    QVERIFY(writeAll(tickPath, ticks));
    QVERIFY(writeAll(importPath, QByteArray(4096, 'x')));
    QVERIFY(TickRecorder::buildImportFile(tickPath, importPath, map));
    QCOMPARE(readAll(importPath), expected);
}

void TstTickRecorder::importKeepsTickFileServerNames()
{
    {
        AppSettings s;
        s.setValue(SettingsKeys::symbolMappingEntries, QStringList{QStringLiteral("ABC-I, XYZ")});
    }
    const QString tickPath = m_env.root() + QStringLiteral("/rtsocket.txt");
    const QByteArray batch = TickRecorder::recordLines(QJsonDocument::fromJson(
        R"([{"type":"T","symbol":"ABC-I","ltd":"d","ltt":"t","ltp":12.5,"ltq":3},
            {"type":"T","symbol":"ABC-II","ltd":"d","ltt":"t","ltp":13,"ltq":4}])").array());
    QCOMPARE(batch, QByteArray("T,ABC-I,d,t,12.5,3,0,0\nT,ABC-II,d,t,13,4,0,0\n"));
    TickRecorder::storeBatch(tickPath, batch);
    QVERIFY(TickRecorder::writeTickFileNow());

    const QString importPath = m_env.root() + QStringLiteral("/rtimport.txt");
    QVERIFY(TickRecorder::buildImportFile(tickPath, importPath, SymbolMapping::load()));
    QCOMPARE(readAll(importPath), QByteArray("T,XYZ,d,t,12.5,3,0,0\nT,ABC-II,d,t,13,4,0,0\n"));
    QCOMPARE(readAll(tickPath), batch);
    QCOMPARE(LatestBatch::copy(), batch);

    // The table is read afresh: once the entry is gone the server name goes through.
    TestEnv::clearSettings();
    QVERIFY(TickRecorder::buildImportFile(tickPath, importPath, SymbolMapping::load()));
    QCOMPARE(readAll(importPath), batch);
}

void TstTickRecorder::importHandlesCrLfAndUnopenableFiles()
{
    const SymbolMap map{{QStringLiteral("A"), QStringLiteral("B")}};
    QCOMPARE(TickRecorder::importLines("T,A,d,t,1.5,2,3,4\r\nT,C,d,t,2,1,1,1\r\n", map),
             QByteArray("T,B,d,t,1.5,2,3,4\nT,C,d,t,2,1,1,1\n"));

    // Missing tick file: nothing built, the previous import file left as it was.
    const QString importPath = m_env.root() + QStringLiteral("/rtimport.txt");
    QVERIFY(writeAll(importPath, "previous\n"));
    QVERIFY(!TickRecorder::buildImportFile(m_env.root() + QStringLiteral("/nope.txt"),
                                           importPath, map));
    QCOMPARE(readAll(importPath), QByteArray("previous\n"));

    // Import file whose folder cannot exist (its parent is a regular file).
    const QString blocker = m_env.root() + QStringLiteral("/blocker");
    QVERIFY(writeAll(blocker, "file"));
    QVERIFY(!TickRecorder::buildImportFile(QByteArray("T,A,d,t,1,1,1,1\n"),
                                           blocker + QStringLiteral("/rtimport.txt"), map));

    // An empty batch still gives an (empty) import file.
    QVERIFY(TickRecorder::buildImportFile(QByteArray(), importPath, map));
    QCOMPARE(readAll(importPath), QByteArray());
}

void TstTickRecorder::storeBatchReplacesContent()
{
    const QString tickPath = m_env.root() + QStringLiteral("/rtsocket.txt");
    QVERIFY(writeAll(tickPath, QByteArray(10000, 'o')));

    const QByteArray first("T,A,d,t,1,1,1,1\nT,B,d,t,2,2,2,2\n");
    const QByteArray second("T,C,d,t,3,3,3,3\n");
    TickRecorder::storeBatch(tickPath, first);
    QVERIFY(TickRecorder::writeTickFileNow());
    QCOMPARE(readAll(tickPath), first);
    // The writer thread replaces it on its own with the newest batch.
    TickRecorder::storeBatch(tickPath, second);
    QTRY_COMPARE(readAll(tickPath), second);
    QVERIFY(!QFile::exists(tickPath + QStringLiteral(".tmp")));

    QCOMPARE(LatestBatch::copy(), second);
    // Both batches wait for the import, oldest first; none is lost to the second.
    QCOMPARE(PendingBatches::takeAll(), (QList<QByteArray>{first, second}));
}

void TstTickRecorder::storeBatchWithUnopenableTmpStillPublishes()
{
    // A folder that is a regular file cannot hold the ".tmp" file, even for root.
    const QString blocker = m_env.root() + QStringLiteral("/notafolder");
    QVERIFY(writeAll(blocker, "x"));
    const QString tickPath = blocker + QStringLiteral("/rtsocket.txt");
    const QByteArray batch("T,A,d,t,1,1,1,1\n");
    TickRecorder::storeBatch(tickPath, batch);
    QVERIFY(!TickRecorder::writeTickFileNow());
    QCOMPARE(LatestBatch::copy(), batch);
    QCOMPARE(PendingBatches::takeAll(), QList<QByteArray>{batch});
    QCOMPARE(readAll(blocker), QByteArray("x"));
}

void TstTickRecorder::storeBatchIgnoresEmptyBatch()
{
    const QString tickPath = m_env.root() + QStringLiteral("/rtsocket.txt");
    QVERIFY(writeAll(tickPath, "old\n"));
    LatestBatch::set("kept\n");
    TickRecorder::storeBatch(tickPath, QByteArray());
    TickRecorder::writeTickFileNow();
    QCOMPARE(readAll(tickPath), QByteArray("old\n"));
    QCOMPARE(LatestBatch::copy(), QByteArray("kept\n"));
    QCOMPARE(PendingBatches::count(), 0);
}

void TstTickRecorder::spooledLinesMustBeRecorderLines_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("kept");
    QTest::newRow("as recorded") << QByteArray("T,ABC-I,d,t,12.5,3,0,7") << true;
    QTest::newRow("a symbol not on the watchlist") << QByteArray("T,INTRUDER,d,t,12.5,3,0,7") << false;
    QTest::newRow("a carriage return inside") << QByteArray("T,ABC-I,d,t,12.5,3,0\r,7") << false;
    QTest::newRow("a ninth field") << QByteArray("T,ABC-I,d,t,12.5,3,0,7,9") << false;
    QTest::newRow("a fractional quantity") << QByteArray("T,ABC-I,d,t,12.5,3.5,0,7") << false;
    QTest::newRow("a volume that is no number") << QByteArray("T,ABC-I,d,t,12.5,3,0,lots") << false;
    QTest::newRow("no price") << QByteArray("T,ABC-I,d,t,,3,0,7") << false;
}

void TstTickRecorder::spooledLinesMustBeRecorderLines()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, kept);
    const SymbolMap map{{QStringLiteral("ABC-I"), QStringLiteral("XYZ")}};
    const QSet<QString> watchlist{QStringLiteral("ABC-I")};
    int refused = 0;
    const QByteArray out = TickRecorder::importLines(line + "\nT,ABC-I,d,t,1,1,1,1\n", map, watchlist, &refused);
    QCOMPARE(out, QByteArray(kept ? "T,XYZ,d,t,12.5,3,0,7\n" : "") + "T,XYZ,d,t,1,1,1,1\n");
    QCOMPARE(refused, kept ? 0 : 1);
}

void TstTickRecorder::mappingParse()
{
    const SymbolMap map = SymbolMapping::parse({
        QStringLiteral("ABC-I, XYZ"),
        QStringLiteral("  NIFTY-I , NIFTY_FUT , extra "),
        QStringLiteral(",NOOLD"),
        QStringLiteral("NONEW,"),
        QStringLiteral("NOCOMMA"),
        QStringLiteral("  "),
        QStringLiteral(" , "),
        QStringLiteral("DUP,FIRST"),
        QStringLiteral("DUP,SECOND"),
    });
    const SymbolMap expected{{QStringLiteral("ABC-I"), QStringLiteral("XYZ")},
                             {QStringLiteral("NIFTY-I"), QStringLiteral("NIFTY_FUT")},
                             {QStringLiteral("DUP"), QStringLiteral("SECOND")}};
    QCOMPARE(map, expected);

    // Absent key: empty table; stored list read through the settings store.
    QVERIFY(SymbolMapping::load().isEmpty());
    {
        AppSettings s;
        s.setValue(SettingsKeys::symbolMappingEntries,
                   QStringList{QStringLiteral("A,B"), QStringLiteral("C,D")});
    }
    QCOMPARE(SymbolMapping::load(),
             (SymbolMap{{QStringLiteral("A"), QStringLiteral("B")},
                        {QStringLiteral("C"), QStringLiteral("D")}}));
}

void TstTickRecorder::mappingReverse()
{
    const QStringList entries{QStringLiteral("ONLYOLD,"), QStringLiteral("FIRST,SAME"),
                              QStringLiteral(" SECOND , SAME "), QStringLiteral(",ORPHAN"),
                              QStringLiteral("X,Y,Z")};
    QCOMPARE(SymbolMapping::reverse(entries, QStringLiteral("SAME")), QStringLiteral("FIRST"));
    QCOMPARE(SymbolMapping::reverse(entries, QStringLiteral("Y")), QStringLiteral("X"));
    QCOMPARE(SymbolMapping::reverse(entries, QStringLiteral("same")), QStringLiteral("same"));
    QCOMPARE(SymbolMapping::reverse(entries, QStringLiteral("ORPHAN")), QStringLiteral("ORPHAN"));
    QCOMPARE(SymbolMapping::reverse(entries, QStringLiteral("UNMAPPED")),
             QStringLiteral("UNMAPPED"));
    QCOMPARE(SymbolMapping::reverse(entries, QString()), QString());
    // An entry with an empty new name never matches an empty look-up either.
    QCOMPARE(SymbolMapping::reverse(QStringList{QStringLiteral("OLD,")}, QString()), QString());

    {
        AppSettings s;
        s.setValue(SettingsKeys::symbolMappingEntries, entries);
    }
    QCOMPARE(SymbolMapping::reverseLookup(QStringLiteral("SAME")), QStringLiteral("FIRST"));
    QCOMPARE(SymbolMapping::reverseLookup(QStringLiteral("NOPE")), QStringLiteral("NOPE"));

    // The forward table of the same entries holds both old names of "SAME".
    const SymbolMap map = SymbolMapping::parse(entries);
    QCOMPARE(map.value(QStringLiteral("FIRST")), QStringLiteral("SAME"));
    QCOMPARE(map.value(QStringLiteral("SECOND")), QStringLiteral("SAME"));
    QCOMPARE(map.value(QStringLiteral("X")), QStringLiteral("Y"));
    QVERIFY(!map.contains(QStringLiteral("ONLYOLD")));
}

QTEST_GUILESS_MAIN(TstTickRecorder)
#include "tst_tickrecorder.moc"
