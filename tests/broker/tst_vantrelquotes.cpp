// vantrel-quotes run as a process against stores the broker stand-in filled.

#include "platform/standin/brokerstandin.h"
#include "platform/installpaths.h"
#include "testenv.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

namespace {

QString dataFile(const QString &name) { return TestEnv::sourceDir() + QStringLiteral("/tests/data/broker/") + name; }
QString formatFile(const QString &name) { return TestEnv::buildDir() + QStringLiteral("/formats/") + name; }

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run runQuotes(const QStringList &args)
{
    Run r;
    QProcess p;
    p.start(TestEnv::builtExecutable(QStringLiteral("vantrel-quotes")), args);
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

bool importInto(const QString &db, const QString &data, const QString &format)
{
    BrokerStandIn broker;
    if (!db.isEmpty())
        broker.dynamicCall("LoadDatabase(QString&)", {db});
    return !broker.dynamicCall(QStringLiteral("Import(0,%1,%2)").arg(dataFile(data), formatFile(format)).toUtf8())
                .isNull();
}

} // namespace

class TestVantrelQuotes : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void printsStoredQuotes_data();
    void printsStoredQuotes();
    void listsSymbolsAndCounts();
    void defaultDatabaseFolder();
    void unknownSymbolPrintsNothing();
    void missingStoreIsAnError();
    void conflictingArgumentsAreRejected();

private:
    TestEnv m_env;
    QString m_db;
};

void TestVantrelQuotes::initTestCase()
{
    QVERIFY(m_env.isValid());
    QVERIFY2(!TestEnv::builtExecutable(QStringLiteral("vantrel-quotes")).isEmpty(), "build vantrel-quotes first");
    m_db = m_env.root() + QStringLiteral("/stores/all");
    QVERIFY(importInto(m_db, QStringLiteral("ticks.txt"), QStringLiteral("dataFormatRT.dll")));
    QVERIFY(importInto(m_db, QStringLiteral("intraday_NIFTY-I.txt"), QStringLiteral("dataFormat.dll")));
    QVERIFY(importInto(m_db, QStringLiteral("eod_RELIANCE.txt"), QStringLiteral("dataFormatEod.dll")));
}

void TestVantrelQuotes::printsStoredQuotes_data()
{
    QTest::addColumn<QString>("symbol");
    QTest::addColumn<QString>("golden");

    // NIFTY-I got both ticks and intraday bars; the bars sit on whole minutes, the ticks
    // between them, and the 09:15:00.000 bar replaced the tick with that timestamp.
    QTest::newRow("ticks and bars") << "NIFTY-I" << "";
    QTest::newRow("end of day") << "RELIANCE" << "eod_RELIANCE.expected";
}

void TestVantrelQuotes::printsStoredQuotes()
{
    QFETCH(QString, symbol);
    QFETCH(QString, golden);

    const Run r = runQuotes({QStringLiteral("--db"), m_db, symbol});
    QCOMPARE(r.exitCode, 0);
    QByteArray expected;
    if (!golden.isEmpty()) {
        expected = readFile(dataFile(golden));
    } else {
        const QList<QByteArray> ticks = readFile(dataFile(QStringLiteral("ticks_NIFTY-I.expected"))).split('\n');
        const QList<QByteArray> bars = readFile(dataFile(QStringLiteral("intraday_NIFTY-I.expected"))).split('\n');
        expected = bars.at(0) + '\n' + ticks.at(1) + '\n' + ticks.at(2) + '\n' + bars.at(1) + '\n' + bars.at(2) + '\n';
    }
    QVERIFY(!expected.isEmpty());
    QCOMPARE(r.out, expected);
}

void TestVantrelQuotes::listsSymbolsAndCounts()
{
    const QString db = m_env.root() + QStringLiteral("/stores/ticks");
    QVERIFY(importInto(db, QStringLiteral("ticks.txt"), QStringLiteral("dataFormatRT.dll")));

    Run r = runQuotes({QStringLiteral("--db"), db, QStringLiteral("--symbols")});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, readFile(dataFile(QStringLiteral("ticks_symbols.expected"))));

    r = runQuotes({QStringLiteral("--db"), db});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, readFile(dataFile(QStringLiteral("ticks_symbols.expected"))));

    r = runQuotes({QStringLiteral("--db"), db, QStringLiteral("--count")});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, QByteArray("4\n"));

    r = runQuotes({QStringLiteral("--db"), db, QStringLiteral("NIFTY-I")});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, readFile(dataFile(QStringLiteral("ticks_NIFTY-I.expected"))));
}

void TestVantrelQuotes::defaultDatabaseFolder()
{
    // The child inherits KOVANTA_ROOT from the test environment.
    QDir(InstallPaths::databaseDir()).removeRecursively();
    QVERIFY(importInto(QString(), QStringLiteral("eod_RELIANCE.txt"), QStringLiteral("dataFormatEod.dll")));
    const Run r = runQuotes({QStringLiteral("--count")});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, QByteArray("2\n"));
}

void TestVantrelQuotes::unknownSymbolPrintsNothing()
{
    const Run r = runQuotes({QStringLiteral("--db"), m_db, QStringLiteral("nifty-i")});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.isEmpty());
    QVERIFY(r.err.contains("no quotes for nifty-i"));
}

void TestVantrelQuotes::missingStoreIsAnError()
{
    const QString empty = m_env.root() + QStringLiteral("/stores/none");
    QDir().mkpath(empty);
    const Run r = runQuotes({QStringLiteral("--db"), empty, QStringLiteral("NIFTY-I")});
    QCOMPARE(r.exitCode, 1);
    QVERIFY(r.out.isEmpty());
    QVERIFY2(r.err.contains("no quote store"), r.err.constData());
    // Looking must not create the store.
    QVERIFY(!QFileInfo::exists(empty + QStringLiteral("/quotes.sqlite")));

    // A file of the right name that is not a store.
    QFile junk(empty + QStringLiteral("/quotes.sqlite"));
    QVERIFY(junk.open(QIODevice::WriteOnly));
    junk.write("this is not a database, just text that is long enough to fill a header page");
    junk.close();
    const Run j = runQuotes({QStringLiteral("--db"), empty, QStringLiteral("--count")});
    QCOMPARE(j.exitCode, 1);
    QVERIFY(!j.err.isEmpty());
}

void TestVantrelQuotes::conflictingArgumentsAreRejected()
{
    const Run r = runQuotes({QStringLiteral("--db"), m_db, QStringLiteral("--count"), QStringLiteral("NIFTY-I")});
    QCOMPARE(r.exitCode, 2);
    QVERIFY(r.out.isEmpty());
}

QTEST_GUILESS_MAIN(TestVantrelQuotes)
#include "tst_vantrelquotes.moc"
