// The broker thread: every call into the charting program is made there, in the order
// asked, while the calling thread goes on; waits are bounded and a shutdown releases them.
// Driven with the broker stand-in and its faults (the stall file, slow imports).
#include "platform/brokerautomation.h"
#include "platform/brokercallretry.h"
#include "platform/brokerthread.h"
#include "platform/installpaths.h"
#include "platform/standin/brokerstandin.h"
#include "testenv.h"

#include <QDir>
#include <QFile>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <numeric>

namespace {

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
}

QString stallFile() { return QDir(InstallPaths::databaseDir()).filePath(BrokerStandIn::stallFileName()); }

QStringList journalLines()
{
    QFile f(QDir(InstallPaths::databaseDir()).filePath(BrokerStandIn::journalFileName()));
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

class TestBrokerThread : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestEnv> m_env;
    QString m_tickFile;

private slots:
    void initTestCase()
    {
        m_env = std::make_unique<TestEnv>();
        QVERIFY(m_env->installFormats());
        m_tickFile = m_env->root() + QStringLiteral("/ticks.txt");
        QVERIFY(writeFile(m_tickFile, "T,THREADSYM,20261208,09:15:01,100,1,0,1\n"));
    }

    void init()
    {
        QFile::remove(stallFile());
        QFile::remove(QDir(InstallPaths::databaseDir()).filePath(BrokerStandIn::journalFileName()));
    }

    void callsRunInTheBrokerThreadInTheOrderAsked()
    {
        BrokerThread broker;
        broker.start();
        QVERIFY(broker.waitUntilReady(30000));
        QVERIFY(qobject_cast<BrokerStandIn *>(broker.automation()));
        QCOMPARE(broker.automation()->thread(), broker.thread());
        QVERIFY(broker.thread() != QThread::currentThread());

        // Calls and other work from two threads: each thread's order is kept.
        std::vector<int> seen;
        QThread *ranIn = nullptr;
        for (int n = 1; n <= 20; ++n) {
            broker.call("ExecuteCommand(int)", {n});
            broker.post([&seen, &ranIn, n](BrokerAutomation *) {
                seen.push_back(n);
                ranIn = QThread::currentThread();
            });
        }
        std::unique_ptr<QThread> other(QThread::create([&broker] {
            for (int n = 101; n <= 110; ++n)
                broker.call("ExecuteCommand(int)", {n});
        }));
        other->start();
        QVERIFY(other->wait(30000));
        bool timedOut = true;
        QCOMPARE(broker.callAndWait("SaveDatabase()", {}, 30000, &timedOut), QVariant(true));
        QVERIFY(!timedOut);

        QCOMPARE(ranIn, broker.thread());
        std::vector<int> expected(20);
        std::iota(expected.begin(), expected.end(), 1);
        QCOMPARE(seen, expected);
        QStringList mine, theirs;
        for (const QString &line : journalLines()) {
            const int n = line.section(QLatin1Char(' '), 1).toInt();
            if (line.startsWith(QLatin1String("ExecuteCommand")))
                (n > 100 ? theirs : mine) << QString::number(n);
        }
        QStringList expectMine, expectTheirs;
        for (int n = 1; n <= 20; ++n)
            expectMine << QString::number(n);
        for (int n = 101; n <= 110; ++n)
            expectTheirs << QString::number(n);
        QCOMPARE(mine, expectMine);
        QCOMPARE(theirs, expectTheirs);
        QCOMPARE(journalLines().last(), QStringLiteral("SaveDatabase()"));
    }

    void callerStaysFreeWhileAnImportBlocks()
    {
        BrokerThread broker;
        broker.start();
        QVERIFY(broker.waitUntilReady(30000));
        auto *standIn = qobject_cast<BrokerStandIn *>(broker.automation());
        QVERIFY(standIn);
        QVERIFY(writeFile(stallFile(), ""));

        std::atomic<bool> importDone{false};
        std::atomic<int> rows{-1};
        const QByteArray call = QStringLiteral("Import(0,%1,%2)")
                                    .arg(m_tickFile, InstallPaths::formatRealtime())
                                    .toUtf8();
        broker.post([&](BrokerAutomation *a) {
            rows = a->dynamicCall(call.constData()).toInt();
            importDone = true;
        });

        // This thread's event loop keeps serving its timers while the import is held.
        int beats = 0;
        QTimer beat;
        connect(&beat, &QTimer::timeout, [&] { ++beats; });
        beat.start(10);
        QTRY_VERIFY(beats >= 20);
        QVERIFY(!importDone);
        // A bounded wait gives up and says so; the call stays queued behind the import.
        bool timedOut = false;
        QVERIFY(broker.callAndWait("RefreshAll()", {}, 200, &timedOut).isNull());
        QVERIFY(timedOut);
        QVERIFY(!importDone);

        QVERIFY(QFile::remove(stallFile()));
        QTRY_VERIFY_WITH_TIMEOUT(importDone, 30000);
        QCOMPARE(rows.load(), 1);
        QTRY_COMPARE(standIn->counters().refreshes, 1);
    }

    void shutdownReleasesABlockedCallAndItsWaiters()
    {
        auto broker = std::make_unique<BrokerThread>();
        broker->start();
        QVERIFY(broker->waitUntilReady(30000));
        QVERIFY(writeFile(stallFile(), ""));
        // The broker thread is inside a stalled call...
        std::atomic<bool> entered{false};
        broker->post([&](BrokerAutomation *a) {
            entered = true;
            a->dynamicCall("SaveDatabase()");
        });
        QTRY_VERIFY(entered);
        // ...another thread waits without a bound of its own, and more work is queued.
        QVariant answer = QStringLiteral("not yet");
        std::unique_ptr<QThread> waiter(QThread::create([&] {
            answer = broker->callAndWait("SaveDatabase()", {}, -1);
        }));
        waiter->start();
        std::atomic<bool> ranAfter{false};
        broker->post([&](BrokerAutomation *) { ranAfter = true; });

        // The stalled call gives up once nobody waits any more: the thread ends within the
        // bound, the waiter gets a null answer, and queued work is dropped.
        QThread *thread = broker->thread();
        QSignalSpy finished(thread, &QThread::finished);
        broker->shutdown(60000);
        QCOMPARE(finished.count(), 1);
        QVERIFY(waiter->wait(30000));
        QVERIFY(answer.isNull());
        QVERIFY(!ranAfter);
        QVERIFY(broker->isShutDown());
        QVERIFY(broker->callAndWait("RefreshAll()", {}, 1000).isNull());
        QVERIFY(journalLines().isEmpty());
        QFile::remove(stallFile());
    }

    void slowImportsTakeTheirTime_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("delayMs");
        QTest::newRow("unset") << QByteArray() << 0;
        QTest::newRow("300") << QByteArray("300") << 300;
        QTest::newRow("blanks") << QByteArray(" 25 ") << 25;
        QTest::newRow("negative") << QByteArray("-5") << 0;
        QTest::newRow("too large") << QByteArray("600001") << 0;
        QTest::newRow("not a number") << QByteArray("3s") << 0;
    }

    void slowImportsTakeTheirTime()
    {
        QFETCH(QByteArray, value);
        QFETCH(int, delayMs);
        if (value.isNull())
            qunsetenv("VANTREL_STANDIN_IMPORT_MS");
        else
            qputenv("VANTREL_STANDIN_IMPORT_MS", value);
        QCOMPARE(BrokerStandIn::importDelayFromEnvironment(), delayMs);
        if (delayMs == 300) {
            BrokerStandIn standIn;
            QElapsedTimer t;
            t.start();
            const QByteArray call = QStringLiteral("Import(0,%1,%2)")
                                        .arg(m_tickFile, InstallPaths::formatRealtime())
                                        .toUtf8();
            QCOMPARE(standIn.dynamicCall(call.constData()).toInt(), 1);
            // A lower bound only: the import cannot have been quicker than the delay.
            QVERIFY(t.elapsed() >= 300);
        }
        qunsetenv("VANTREL_STANDIN_IMPORT_MS");
    }

    void rejectedCallsAreRetriedForFiveSeconds_data()
    {
        QTest::addColumn<quint32>("elapsedMs");
        QTest::addColumn<quint32>("rejectType");
        QTest::addColumn<quint32>("answer");
        QTest::newRow("retry later, at once") << 0u << quint32(BrokerCallRetry::RetryLater) << 100u;
        QTest::newRow("rejected, early") << 1200u << quint32(BrokerCallRetry::Rejected) << 100u;
        QTest::newRow("last attempt inside the bound") << 4900u << quint32(BrokerCallRetry::RetryLater) << 100u;
        QTest::newRow("past the bound") << 4901u << quint32(BrokerCallRetry::RetryLater) << BrokerCallRetry::kGiveUp;
        QTest::newRow("long past") << 60000u << quint32(BrokerCallRetry::Rejected) << BrokerCallRetry::kGiveUp;
        QTest::newRow("unknown reject type") << 0u << 7u << BrokerCallRetry::kGiveUp;
    }

    void rejectedCallsAreRetriedForFiveSeconds()
    {
        QFETCH(quint32, elapsedMs);
        QFETCH(quint32, rejectType);
        QFETCH(quint32, answer);
        QCOMPARE(BrokerCallRetry::answer(elapsedMs, rejectType), answer);
    }
};

QTEST_GUILESS_MAIN(TestBrokerThread)
#include "tst_brokerthread.moc"
