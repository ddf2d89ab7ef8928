// The broker stand-in driven through the call texts the product uses, checked against
// what its quote store holds afterwards.

#include "platform/brokerautomation.h"
#include "platform/standin/brokerstandin.h"
#include "platform/installpaths.h"
#include "platform/standin/quotestore.h"
#include "testenv.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include <sys/stat.h>

namespace {

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString formatFile(const QString &name) { return TestEnv::buildDir() + QStringLiteral("/formats/") + name; }
QString dataFile(const QString &name) { return TestEnv::sourceDir() + QStringLiteral("/tests/data/broker/") + name; }

QByteArray importCall(const QString &file, const QString &format)
{
    return QStringLiteral("Import(%1,%2,%3)").arg(0).arg(file, format).toUtf8();
}

QStringList storedLines(const QString &folder, const QString &symbol)
{
    QuoteStore store;
    if (!store.open(folder))
        return {QStringLiteral("<no store: %1>").arg(store.errorString())};
    QStringList out;
    for (const ImportedQuote &q : store.quotes(symbol))
        out << QuoteStore::formatQuote(q);
    return out;
}

qint64 storedCount(const QString &folder)
{
    QuoteStore store;
    return store.open(folder) ? store.count() : -1;
}

QStringList goldenLines(const QString &name)
{
    return QString::fromUtf8(readFile(dataFile(name))).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

class TestBrokerStandIn : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void createGivesTheStandIn();
    void importsTickLinesIntoLoadedDatabase();
    void replacesExistingSymbolAndTimestamp();
    void storeWithoutStoredAtColumnIsExtended();
    void keepsMillisecondsDistinct();
    void importWithoutLoadDatabaseUsesDefaultFolder();
    void nullResultWhenFileOrFormatUnusable_data();
    void nullResultWhenFileOrFormatUnusable();
    void skipsAndCountsBadLines();
    void backfillFormats_data();
    void backfillFormats();
    void pathsWithSpacesCommasAndBackslashes();
    void argumentsPassedAsList();
    void skipLinesAndAutoAdd();
    void saveLayoutWritesFile();
    void exitCommandIsRecorded();
    void refreshSaveAndUnknownCalls();
    void separateStandInsUseSeparateStores();
    void largeImportInOneCall();
    void formatReadOncePerChangeAndOnlyFromAFile();

private:
    QString freshFolder(const QString &name);

    TestEnv m_env;
};

void TestBrokerStandIn::formatReadOncePerChangeAndOnlyFromAFile()
{
    const QString db = freshFolder(QStringLiteral("format-cache"));
    const QString format = db + QStringLiteral("/live.dll");
    QVERIFY(QFile::copy(formatFile(QStringLiteral("dataFormatRT.dll")), format));
    BrokerStandIn broker;
    QVERIFY(!broker.dynamicCall("LoadDatabase(QString&)", {db}).isNull());
    const QByteArray call = importCall(dataFile(QStringLiteral("ticks.txt")), format);
    for (int i = 0; i < 3; ++i)
        QVERIFY2(!broker.dynamicCall(call).isNull(), qPrintable(broker.lastError()));
    QCOMPARE(broker.counters().formatParses, 1);

    // A changed definition is read again; a broken one fails until it is mended.
    {
        QFile f(format);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("$FORMAT Nonsense\n");
    }
    QVERIFY(broker.dynamicCall(call).isNull());
    QVERIFY(broker.dynamicCall(call).isNull());
    QCOMPARE(broker.counters().formatParses, 2);
    QFile::remove(format);
    QVERIFY(broker.dynamicCall(call).isNull()); // gone: refused without a read
    QCOMPARE(broker.counters().formatParses, 2);
    QVERIFY(QFile::copy(formatFile(QStringLiteral("dataFormatRT.dll")), format));
    QVERIFY(!broker.dynamicCall(call).isNull());
    QCOMPARE(broker.counters().formatParses, 3);

    // A FIFO would block the caller in open() until someone wrote to it.
    const QString fifo = db + QStringLiteral("/fifo.dll");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QVERIFY(broker.dynamicCall(importCall(dataFile(QStringLiteral("ticks.txt")), fifo)).isNull());
    QVERIFY(broker.lastError().contains(QLatin1String("not a regular file")));
}

void TestBrokerStandIn::initTestCase()
{
    QVERIFY(m_env.isValid());
    QVERIFY2(QFileInfo::exists(formatFile(QStringLiteral("dataFormatRT.dll"))),
             "build target vantrel_formats first");
}

QString TestBrokerStandIn::freshFolder(const QString &name)
{
    const QString path = m_env.root() + QStringLiteral("/work/") + name;
    QDir(path).removeRecursively();
    QDir().mkpath(path);
    return path;
}

void TestBrokerStandIn::createGivesTheStandIn()
{
    std::unique_ptr<BrokerAutomation> automation = BrokerAutomation::create(nullptr);
    QVERIFY(automation);
    QVERIFY(qobject_cast<BrokerStandIn *>(automation.get()));
}

void TestBrokerStandIn::importsTickLinesIntoLoadedDatabase()
{
    const QString db = freshFolder(QStringLiteral("ticks-db"));
    BrokerStandIn broker;
    QSignalSpy imported(&broker, &BrokerStandIn::imported);

    QCOMPARE(broker.dynamicCall("LoadDatabase(QString&)", {db}), QVariant(true));
    QVERIFY(broker.isDatabaseLoaded());
    QCOMPARE(broker.databaseFolder(), db);

    const QVariant r = broker.dynamicCall(importCall(dataFile(QStringLiteral("ticks.txt")),
                                                     formatFile(QStringLiteral("dataFormatRT.dll"))));
    QVERIFY2(!r.isNull(), qPrintable(broker.lastError()));
    QCOMPARE(r.toInt(), 5); // five lines stored, one of them replacing another
    QCOMPARE(imported.count(), 1);
    QCOMPARE(imported.first().at(1).toInt(), 5);
    QCOMPARE(broker.counters().imports, 1);
    QCOMPARE(broker.counters().lastImportBadLines, 0);

    QVERIFY(QFileInfo(QuoteStore::pathIn(db)).isFile());
    QCOMPARE(storedLines(db, QStringLiteral("NIFTY-I")), goldenLines(QStringLiteral("ticks_NIFTY-I.expected")));
    QCOMPARE(storedLines(db, QStringLiteral("BANKNIFTY-I")),
             QStringList{QStringLiteral("2026-12-08 09:15:01.300,52101.05,52101.05,52101.05,52101.05,15,800")});
    QCOMPARE(storedCount(db), qint64(4));
}

void TestBrokerStandIn::replacesExistingSymbolAndTimestamp()
{
    const QString db = freshFolder(QStringLiteral("replace-db"));
    const QString rt = formatFile(QStringLiteral("dataFormatRT.dll"));
    const QString file = db + QStringLiteral("/batch.txt");
    BrokerStandIn broker;
    broker.dynamicCall("LoadDatabase(QString&)", {db});

    QVERIFY(writeFile(file, "T,ABC,20261208,10:00:00.000,100,1,10,1\n"
                            "T,ABC,20261208,10:00:01.000,101,2,10,3\n"));
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    QCOMPARE(broker.dynamicCall(importCall(file, rt)).toInt(), 2);
    const qint64 after = QDateTime::currentMSecsSinceEpoch();
    QTest::qWait(20);

    // The next batch repeats one timestamp with new values and adds another symbol.
    QVERIFY(writeFile(file, "T,ABC,20261208,10:00:01.000,105.5,7,11,10\n"
                            "T,XYZ,20261208,10:00:01.000,50,1,0,1\n"));
    QCOMPARE(broker.dynamicCall(importCall(file, rt)).toInt(), 2);

    QCOMPARE(storedLines(db, QStringLiteral("ABC")),
             (QStringList{QStringLiteral("2026-12-08 10:00:00.000,100,100,100,100,1,10"),
                          QStringLiteral("2026-12-08 10:00:01.000,105.5,105.5,105.5,105.5,7,11")}));
    QCOMPARE(storedCount(db), qint64(3));
    QCOMPARE(broker.counters().rowsStored, qint64(4));

    // A replaced quote keeps the moment it was first stored.
    QuoteStore store;
    QVERIFY(store.open(db));
    QHash<QString, qint64> storedAt;
    QVERIFY(store.stamps([&](const QString &symbol, qint64 ts, qint64 at) {
        storedAt.insert(symbol + QString::number(ts % 100000), at);
    }));
    QCOMPARE(storedAt.size(), 3);
    const qint64 replaced = storedAt.value(QStringLiteral("ABC1000"));
    QVERIFY2(replaced >= before && replaced <= after, qPrintable(QString::number(replaced)));
    QVERIFY(storedAt.value(QStringLiteral("XYZ1000")) > after);
}

void TestBrokerStandIn::storeWithoutStoredAtColumnIsExtended()
{
    const QString db = freshFolder(QStringLiteral("old-schema-db"));
    {
        QSqlDatabase old = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("old-schema"));
        old.setDatabaseName(QuoteStore::pathIn(db));
        QVERIFY(old.open());
        QSqlQuery q(old);
        QVERIFY(q.exec(QStringLiteral("CREATE TABLE quotes (symbol TEXT NOT NULL, ts INTEGER NOT NULL,"
                                      " open REAL NOT NULL, high REAL NOT NULL, low REAL NOT NULL,"
                                      " close REAL NOT NULL, volume REAL NOT NULL, openint REAL NOT NULL,"
                                      " PRIMARY KEY (symbol, ts)) WITHOUT ROWID")));
        QVERIFY(q.exec(QStringLiteral("INSERT INTO quotes VALUES ('OLD', 1, 1, 1, 1, 1, 1, 0)")));
        old.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("old-schema"));

    const QString file = db + QStringLiteral("/batch.txt");
    QVERIFY(writeFile(file, "T,ABC,20261208,10:00:00.000,100,1,10,1\n"));
    BrokerStandIn broker;
    broker.dynamicCall("LoadDatabase(QString&)", {db});
    QCOMPARE(broker.dynamicCall(importCall(file, formatFile(QStringLiteral("dataFormatRT.dll")))).toInt(), 1);

    QuoteStore store;
    QVERIFY(store.open(db));
    QMap<QString, qint64> storedAt;
    QVERIFY(store.stamps([&](const QString &symbol, qint64, qint64 at) { storedAt.insert(symbol, at); }));
    QCOMPARE(storedAt.keys(), (QStringList{QStringLiteral("ABC"), QStringLiteral("OLD")}));
    QCOMPARE(storedAt.value(QStringLiteral("OLD")), qint64(0));
    QVERIFY(storedAt.value(QStringLiteral("ABC")) > 0);
}

void TestBrokerStandIn::keepsMillisecondsDistinct()
{
    const QString db = freshFolder(QStringLiteral("ms-db"));
    const QString file = db + QStringLiteral("/batch.txt");
    BrokerStandIn broker;
    broker.dynamicCall("LoadDatabase(QString&)", {db});
    QVERIFY(writeFile(file, "T,ABC,20261208,09:15:01.250,1,1,0,1\n"
                            "T,ABC,20261208,09:15:01.251,2,1,0,2\n"
                            "T,ABC,20261208,09:15:01,3,1,0,3\n"
                            "T,ABC,20261208,09:15:01.999,4,1,0,4\n"));
    QCOMPARE(broker.dynamicCall(importCall(file, formatFile(QStringLiteral("dataFormatRT.dll")))).toInt(), 4);

    QuoteStore store;
    QVERIFY(store.open(db));
    const QVector<ImportedQuote> quotes = store.quotes(QStringLiteral("ABC"));
    QCOMPARE(quotes.size(), 4);
    QStringList times;
    for (const ImportedQuote &q : quotes)
        times << QuoteStore::formatTimestamp(q.timestampMs) + QLatin1Char('=') + QString::number(q.close);
    QCOMPARE(times, (QStringList{QStringLiteral("2026-12-08 09:15:01.000=3"), QStringLiteral("2026-12-08 09:15:01.250=1"),
                                 QStringLiteral("2026-12-08 09:15:01.251=2"), QStringLiteral("2026-12-08 09:15:01.999=4")}));
}

void TestBrokerStandIn::importWithoutLoadDatabaseUsesDefaultFolder()
{
    const QString defaultDb = InstallPaths::databaseDir();
    QVERIFY(defaultDb.startsWith(m_env.root()));
    QDir(defaultDb).removeRecursively();

    BrokerStandIn broker;
    QVERIFY(!broker.isDatabaseLoaded());
    QCOMPARE(broker.databaseFolder(), defaultDb);
    const QVariant r = broker.dynamicCall(importCall(dataFile(QStringLiteral("ticks.txt")),
                                                     formatFile(QStringLiteral("dataFormatRT.dll"))));
    QVERIFY2(!r.isNull(), qPrintable(broker.lastError()));
    QCOMPARE(storedCount(defaultDb), qint64(4));
}

void TestBrokerStandIn::nullResultWhenFileOrFormatUnusable_data()
{
    QTest::addColumn<QString>("dataName");   // file under the case folder, or absent
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("formatName");
    QTest::addColumn<QByteArray>("format");  // empty: use the shipped live format
    QTest::addColumn<int>("type");

    const QByteArray tick = "T,ABC,20261208,10:00:00.000,100,1,10,1\n";
    QTest::newRow("missing data file") << "absent.txt" << QByteArray() << "" << QByteArray() << 0;
    QTest::newRow("missing format file") << "batch.txt" << tick << "absent.dll" << QByteArray() << 0;
    QTest::newRow("format without $FORMAT") << "batch.txt" << tick << "bad.dll" << QByteArray("$SEPARATOR ,\n") << 0;
    QTest::newRow("format with unknown field") << "batch.txt" << tick << "bad.dll"
                                               << QByteArray("$FORMAT Skip,Ticker,Date_YMD,Time,Last\n") << 0;
    QTest::newRow("import type other than ASCII") << "batch.txt" << tick << "" << QByteArray() << 1;
}

void TestBrokerStandIn::nullResultWhenFileOrFormatUnusable()
{
    QFETCH(QString, dataName);
    QFETCH(QByteArray, data);
    QFETCH(QString, formatName);
    QFETCH(QByteArray, format);
    QFETCH(int, type);

    const QString dir = freshFolder(QStringLiteral("unusable"));
    const QString dataPath = dir + QLatin1Char('/') + dataName;
    if (!data.isEmpty())
        QVERIFY(writeFile(dataPath, data));
    QString formatPath = formatFile(QStringLiteral("dataFormatRT.dll"));
    if (!formatName.isEmpty()) {
        formatPath = dir + QLatin1Char('/') + formatName;
        if (!format.isEmpty())
            QVERIFY(writeFile(formatPath, format));
    }

    BrokerStandIn broker;
    broker.dynamicCall("LoadDatabase(QString&)", {dir + QStringLiteral("/db")});
    QSignalSpy imported(&broker, &BrokerStandIn::imported);
    const QVariant r = broker.dynamicCall(
        QStringLiteral("Import(%1,%2,%3)").arg(type).arg(dataPath, formatPath).toUtf8());
    QVERIFY(r.isNull());
    QVERIFY(!broker.lastError().isEmpty());
    QCOMPARE(broker.counters().failedImports, 1);
    QCOMPARE(broker.counters().imports, 0);
    QCOMPARE(imported.count(), 0);
    QCOMPARE(storedCount(dir + QStringLiteral("/db")), qint64(0));
}

void TestBrokerStandIn::skipsAndCountsBadLines()
{
    const QString db = freshFolder(QStringLiteral("bad-lines-db"));
    const QString file = db + QStringLiteral("/batch.txt");
    BrokerStandIn broker;
    broker.dynamicCall("LoadDatabase(QString&)", {db});
    QVERIFY(writeFile(file, "T,ABC,20261208,10:00:00.000,100,1,10,1\n"
                            "T,ABC,2026-13-08,10:00:01.000,100,1,10,1\n"  // bad date
                            "T,ABC,20261208,10:00:02.000,abc,1,10,1\n"     // bad price
                            "\n"                                            // blank: not counted
                            "Failed to fetch quotes\n"                      // not a quote
                            "T,,20261208,10:00:03.000,100,1,10,1\n"         // no symbol
                            "T,ABC,20261208,10:00:04.000,101,1,10,1"));     // no final line feed
    const QVariant r = broker.dynamicCall(importCall(file, formatFile(QStringLiteral("dataFormatRT.dll"))));
    QVERIFY(!r.isNull());
    QCOMPARE(r.toInt(), 2);
    QCOMPARE(broker.counters().lastImportBadLines, 4);
    QCOMPARE(broker.counters().badLines, qint64(4));
    QCOMPARE(storedCount(db), qint64(2));

    // A file with nothing importable is still a successful import of nothing.
    QVERIFY(writeFile(file, ""));
    const QVariant empty = broker.dynamicCall(importCall(file, formatFile(QStringLiteral("dataFormatRT.dll"))));
    QVERIFY(!empty.isNull());
    QCOMPARE(empty.toInt(), 0);
}

void TestBrokerStandIn::backfillFormats_data()
{
    QTest::addColumn<QString>("data");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("symbol");
    QTest::addColumn<QString>("expected");

    QTest::newRow("intraday, CRLF lines") << "intraday_NIFTY-I.txt" << "dataFormat.dll" << "NIFTY-I"
                                          << "intraday_NIFTY-I.expected";
    QTest::newRow("end of day") << "eod_RELIANCE.txt" << "dataFormatEod.dll" << "RELIANCE"
                                << "eod_RELIANCE.expected";
}

void TestBrokerStandIn::backfillFormats()
{
    QFETCH(QString, data);
    QFETCH(QString, format);
    QFETCH(QString, symbol);
    QFETCH(QString, expected);

    const QString db = freshFolder(QStringLiteral("backfill-db"));
    BrokerStandIn broker;
    broker.dynamicCall("LoadDatabase(QString&)", {db});
    const QVariant r = broker.dynamicCall(importCall(dataFile(data), formatFile(format)));
    QVERIFY2(!r.isNull(), qPrintable(broker.lastError()));
    QCOMPARE(broker.counters().lastImportBadLines, 0);
    QCOMPARE(storedLines(db, symbol), goldenLines(expected));
}

void TestBrokerStandIn::pathsWithSpacesCommasAndBackslashes()
{
    const QString base = freshFolder(QStringLiteral("odd paths"));
    const QString db = base + QStringLiteral("/my db, v2");
    const QString file = base + QStringLiteral("/ticks, copy 1.txt");
    const QString format = base + QStringLiteral("/formats, live/RT format.dll");
    QVERIFY(writeFile(file, "T,ABC,20261208,10:00:00.000,100,1,10,1\n"));
    QVERIFY(writeFile(format, readFile(formatFile(QStringLiteral("dataFormatRT.dll")))));

    BrokerStandIn broker;
    QCOMPARE(broker.dynamicCall("LoadDatabase(QString&)", {db}), QVariant(true));
    // Commas in both paths: the split that names two existing files is taken.
    QVariant r = broker.dynamicCall(importCall(file, format));
    QVERIFY2(!r.isNull(), qPrintable(broker.lastError()));
    QCOMPARE(r.toInt(), 1);
    QCOMPARE(storedCount(db), qint64(1));

    // Backslashes, as the end-of-day import writes its paths.
    QString backslashed = file;
    backslashed.replace(QLatin1Char('/'), QLatin1Char('\\'));
    QVERIFY(writeFile(file, "T,ABC,20261208,10:00:05.000,100,1,10,1\n"));
    r = broker.dynamicCall(importCall(backslashed, format));
    QVERIFY2(!r.isNull(), qPrintable(broker.lastError()));
    QCOMPARE(storedCount(db), qint64(2));
}

void TestBrokerStandIn::argumentsPassedAsList()
{
    const QString db = freshFolder(QStringLiteral("args-db"));
    BrokerStandIn broker;
    QCOMPARE(broker.dynamicCall("LoadDatabase(const QString&)", {db}), QVariant(true));
    const QVariant r = broker.dynamicCall("Import(int,QString,QString)",
                                          {0, dataFile(QStringLiteral("ticks.txt")),
                                           formatFile(QStringLiteral("dataFormatRT.dll"))});
    QCOMPARE(r.toInt(), 5);
    QCOMPARE(storedCount(db), qint64(4));

    // A parameter list written as types with no values is a failed call, not a path.
    QVERIFY(broker.dynamicCall("LoadDatabase(QString&)").isNull());
    QVERIFY(broker.dynamicCall("ExecuteCommand(int)").isNull());
    QVERIFY(broker.dynamicCall("Import(0,only-one-path)").isNull());
    QCOMPARE(broker.databaseFolder(), db);
}

void TestBrokerStandIn::skipLinesAndAutoAdd()
{
    const QString db = freshFolder(QStringLiteral("autoadd-db"));
    const QString format = db + QStringLiteral("/header.dll");
    const QString file = db + QStringLiteral("/data.csv");
    BrokerStandIn broker;
    broker.dynamicCall("LoadDatabase(QString&)", {db});

    QVERIFY(writeFile(format, "* semicolon file with a header line\n"
                              "$FORMAT Ticker;Date_DMY;Time;Close\n"   // wrong list separator
                              "$SEPARATOR ;\n"));
    QVERIFY(broker.dynamicCall(importCall(file, format)).isNull());

    QVERIFY(writeFile(format, "$FORMAT Ticker,Date_DMY,Time,Close\n$SEPARATOR ;\n$SKIPLINES 1\n$AUTOADD 1\n"));
    QVERIFY(writeFile(file, "Ticker;Date;Time;Close\nKNOWN;08/12/2026;0915;10\n"));
    QCOMPARE(broker.dynamicCall(importCall(file, format)).toInt(), 1);
    QCOMPARE(broker.counters().lastImportBadLines, 0); // the header was skipped, not rejected

    QVERIFY(writeFile(format, "$FORMAT Ticker,Date_DMY,Time,Close\n$SEPARATOR ;\n$SKIPLINES 1\n$AUTOADD 0\n"));
    QVERIFY(writeFile(file, "Ticker;Date;Time;Close\nKNOWN;08/12/2026;0916;11\nNEWONE;08/12/2026;0916;12\n"));
    QCOMPARE(broker.dynamicCall(importCall(file, format)).toInt(), 1);
    QCOMPARE(broker.counters().lastImportSkippedSymbols, 1);

    QuoteStore store;
    QVERIFY(store.open(db));
    const auto symbols = store.symbols();
    QCOMPARE(symbols.size(), 1);
    QCOMPARE(symbols.first().first, QStringLiteral("KNOWN"));
    QCOMPARE(symbols.first().second, qint64(2));
}

void TestBrokerStandIn::saveLayoutWritesFile()
{
    const QString db = freshFolder(QStringLiteral("layout-db"));
    BrokerStandIn broker;
    broker.dynamicCall("LoadDatabase(QString&)", {db});

    const QString layout = db + QStringLiteral("/Layouts/Default.awl");
    QVERIFY(!QFileInfo::exists(QFileInfo(layout).absolutePath()));
    const QVariant r = broker.dynamicCall(QStringLiteral("SaveLayout(%1)").arg(layout).toUtf8());
    QVERIFY2(!r.isNull(), qPrintable(broker.lastError()));
    const QByteArray content = readFile(layout);
    QVERIFY(content.startsWith("<?xml"));
    QVERIFY(content.contains(db.toUtf8()));
    QCOMPARE(broker.counters().layoutSaves, 1);
    QCOMPARE(broker.lastLayoutPath(), layout);

    // A folder that cannot be made (a file is in the way) fails the call.
    QVERIFY(writeFile(db + QStringLiteral("/blocker"), "x"));
    QVERIFY(broker.dynamicCall(QStringLiteral("SaveLayout(%1/blocker/Layouts/Default.awl)").arg(db).toUtf8()).isNull());
    QCOMPARE(broker.counters().layoutSaves, 1);
}

void TestBrokerStandIn::exitCommandIsRecorded()
{
    BrokerStandIn broker;
    QSignalSpy exitSpy(&broker, &BrokerStandIn::exitCommandReceived);

    QVERIFY(!broker.dynamicCall("ExecuteCommand(int)", {123}).isNull());
    QVERIFY(!broker.isExitRequested());
    QCOMPARE(broker.lastCommand(), 123);

    QVERIFY(!broker.dynamicCall("ExecuteCommand(int)", {BrokerStandIn::ExitCommand}).isNull());
    QVERIFY(broker.isExitRequested());
    QCOMPARE(broker.lastCommand(), 33029);
    QCOMPARE(exitSpy.count(), 1);

    BrokerStandIn inlineForm;
    QVERIFY(!inlineForm.dynamicCall("executecommand( 33029 )").isNull());
    QVERIFY(inlineForm.isExitRequested());
}

void TestBrokerStandIn::refreshSaveAndUnknownCalls()
{
    const QString db = freshFolder(QStringLiteral("misc-db"));
    BrokerStandIn broker;
    QSignalSpy refreshed(&broker, &BrokerStandIn::refreshed);
    QVERIFY(!broker.dynamicCall("RefreshAll()").isNull());
    QVERIFY(!broker.dynamicCall("RefreshAll()").isNull());
    QCOMPARE(broker.counters().refreshes, 2);
    QCOMPARE(refreshed.count(), 2);

    broker.dynamicCall("LoadDatabase(QString&)", {db});
    QVERIFY(!broker.dynamicCall(importCall(dataFile(QStringLiteral("ticks.txt")),
                                           formatFile(QStringLiteral("dataFormatRT.dll")))).isNull());
    QVERIFY(!broker.dynamicCall("SaveDatabase()").isNull());
    QCOMPARE(broker.counters().databaseSaves, 1);
    QCOMPARE(storedCount(db), qint64(4));

    QVERIFY(broker.dynamicCall("Quit()").isNull());
    QCOMPARE(broker.counters().unknownCalls, 1);

    // State-changing calls are journaled beside the store, imports and refreshes are not.
    QVERIFY(!broker.dynamicCall("ExecuteCommand(int)", {BrokerStandIn::ExitCommand}).isNull());
    QFile journal(db + QLatin1Char('/') + BrokerStandIn::journalFileName());
    QVERIFY(journal.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList lines = QString::fromUtf8(journal.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines, QStringList({QStringLiteral("LoadDatabase(QString&) ") + db,
                                 QStringLiteral("SaveDatabase()"), QStringLiteral("Quit()"),
                                 QStringLiteral("ExecuteCommand(int) 33029")}));
}

void TestBrokerStandIn::separateStandInsUseSeparateStores()
{
    const QString dbA = freshFolder(QStringLiteral("two-a"));
    const QString dbB = freshFolder(QStringLiteral("two-b"));
    const QString file = dbA + QStringLiteral("/batch.txt");
    const QString rt = formatFile(QStringLiteral("dataFormatRT.dll"));
    QVERIFY(writeFile(file, "T,ABC,20261208,10:00:00.000,100,1,10,1\n"));

    BrokerStandIn a;
    BrokerStandIn b;
    a.dynamicCall("LoadDatabase(QString&)", {dbA});
    b.dynamicCall("LoadDatabase(QString&)", {dbB});
    QCOMPARE(a.dynamicCall(importCall(file, rt)).toInt(), 1);
    QCOMPARE(b.dynamicCall(importCall(dataFile(QStringLiteral("ticks.txt")), rt)).toInt(), 5);
    QCOMPARE(storedCount(dbA), qint64(1));
    QCOMPARE(storedCount(dbB), qint64(4));

    // Switching database moves later imports along.
    a.dynamicCall("LoadDatabase(QString&)", {dbB});
    QCOMPARE(a.dynamicCall(importCall(file, rt)).toInt(), 1);
    QCOMPARE(storedCount(dbB), qint64(5));
    QCOMPARE(storedCount(dbA), qint64(1));
}

void TestBrokerStandIn::largeImportInOneCall()
{
    const QString db = freshFolder(QStringLiteral("large-db"));
    const QString file = db + QStringLiteral("/chunk.txt");
    QByteArray content;
    const int rows = 60000;
    for (int i = 0; i < rows; ++i) {
        const int s = i % 86400;
        content += QStringLiteral("FUTURE,SYM%1,%2,%3:%4:%5,1,2,0.5,1.5,%6,0\r\n")
                       .arg(i / 86400)
                       .arg(20261201 + i / 86400)
                       .arg(s / 3600, 2, 10, QLatin1Char('0'))
                       .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
                       .arg(s % 60, 2, 10, QLatin1Char('0'))
                       .arg(i)
                       .toLatin1();
    }
    QVERIFY(writeFile(file, content));

    BrokerStandIn broker;
    broker.dynamicCall("LoadDatabase(QString&)", {db});
    const QVariant r = broker.dynamicCall(importCall(file, formatFile(QStringLiteral("dataFormat.dll"))));
    QVERIFY2(!r.isNull(), qPrintable(broker.lastError()));
    QCOMPARE(r.toInt(), rows);
    QCOMPARE(storedCount(db), qint64(rows));
    const QStringList last = storedLines(db, QStringLiteral("SYM0")).mid(rows - 1);
    QCOMPARE(last, QStringList{QStringLiteral("2026-12-01 16:39:59.000,1,2,0.5,1.5,59999,0")});
}

QTEST_GUILESS_MAIN(TestBrokerStandIn)
#include "tst_brokerstandin.moc"
