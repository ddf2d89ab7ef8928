// The real Vantrel binary through the interruptions users meet: a refused reconnect for
// a while, a link that goes silent without closing, and a kill with downtime. After each
// one every watchlist symbol is asked for again, and in the end the broker stand-in's
// store holds a quote in every minute of every watchlist symbol. The data server is a
// market that keeps trading while Vantrel is away.
#include "app/settingskeys.h"
#include "apprun.h"
#include "devserverprocess.h"
#include "storegaps.h"
#include "testenv.h"

#include <QtTest>

namespace {

const QString kDemoId = QStringLiteral("VANTREL-DEMO-0001");
const QStringList kSymbols{QStringLiteral("NIFTY-I"), QStringLiteral("GOLDM-I"), QStringLiteral("EURUSD")};
const QStringList kExchanges{QStringLiteral("FUTURE"), QStringLiteral("MCX"), QStringLiteral("FOREX")};

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TstGapRepairE2E : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void everyInterruptionIsRepaired();

private:
    std::unique_ptr<AppRun> startApp();
    bool control(const QString &command, const char *reply = "ok")
    {
        return m_server.control(command).startsWith(QLatin1String(reply));
    }
    // Intraday requests the data server has seen per watchlist symbol.
    QHash<QString, int> repairRequests() const;
    bool everySymbolAskedMoreThan(const QHash<QString, int> &before) const;
    // Minutes (of the stand-in's timestamps) between the symbol's first and last quote
    // without any quote.
    QStringList missingMinutes(const QString &symbol);

    std::unique_ptr<TestEnv> m_env;
    DevServerProcess m_server;
    QString m_requestLog;
};

void TstGapRepairE2E::initTestCase()
{
    QVERIFY2(TestEnv::mariadbUp(), "MariaDB does not answer on 127.0.0.1:49111");
    m_env = std::make_unique<TestEnv>();
    QVERIFY(m_env->installFormats());
    QVERIFY(m_env->writeUserId(kDemoId));
    m_requestLog = m_env->root() + QStringLiteral("/requests.log");
    // The demo account names 127.0.0.1:49120 for the feed and :49121 for backfill.
    QVERIFY(m_server.start({"--ws-port", "49120", "--http-port", "49121", "--market", "--rate", "30", "--batch",
                            "3", "--log-requests", m_requestLog}));

    TestEnv::saveWatchlist(kSymbols, kExchanges);
    AppSettings().setValue(SettingsKeys::autoBackfillChecked, false);
}

void TstGapRepairE2E::cleanupTestCase() { m_server.stop(); }

std::unique_ptr<AppRun> TstGapRepairE2E::startApp()
{
    auto app = std::make_unique<AppRun>(*m_env);
    app->start();
    return app;
}

QHash<QString, int> TstGapRepairE2E::repairRequests() const
{
    QHash<QString, int> n;
    const QList<QByteArray> lines = readFile(m_requestLog).split('\n');
    for (const QByteArray &line : lines) {
        const int at = line.lastIndexOf("send=");
        if (at < 0)
            continue;
        n[QString::fromUtf8(line.mid(at + 5).split(' ').first().split('&').first())]++;
    }
    return n;
}

bool TstGapRepairE2E::everySymbolAskedMoreThan(const QHash<QString, int> &before) const
{
    const QHash<QString, int> now = repairRequests();
    for (const QString &s : kSymbols) {
        if (now.value(s) <= before.value(s))
            return false;
    }
    return true;
}

QStringList TstGapRepairE2E::missingMinutes(const QString &symbol)
{
    QString error;
    QStringList missing;
    for (qint64 m : StoreGaps::missingMinutes(m_env->root(), symbol, &error))
        missing.append(StoreGaps::stamp(m));
    return error.isEmpty() ? missing : QStringList{QStringLiteral("<%1>").arg(error)};
}

void TstGapRepairE2E::everyInterruptionIsRepaired()
{
    auto app = startApp();
    QTRY_VERIFY_WITH_TIMEOUT(app->output().contains("Feed link") || app->output().contains(AppRun::kShown), 60000);
    // Ticks of every symbol reach the store; no earlier run, so nothing is repaired.
    QTRY_VERIFY_WITH_TIMEOUT(missingMinutes(kSymbols.last()).isEmpty(), 60000);
    QCOMPARE(repairRequests().size(), 0);

    // 1. The link is dropped and reconnects are refused for a while.
    QHash<QString, int> before = repairRequests();
    QVERIFY(control(QStringLiteral("refuse 10")));
    QVERIFY(control(QStringLiteral("drop")));
    QTRY_VERIFY_WITH_TIMEOUT(everySymbolAskedMoreThan(before), 120000);
    QTRY_VERIFY_WITH_TIMEOUT(app->output().count("Gap repair run complete") >= 1, 60000);

    // 2. The link stays open but goes silent: no frames, no pongs.
    before = repairRequests();
    QVERIFY(control(QStringLiteral("mute"), "ok 1"));
    QTRY_VERIFY_WITH_TIMEOUT(app->output().contains("Feed link stalled"), 90000);
    QTRY_VERIFY_WITH_TIMEOUT(everySymbolAskedMoreThan(before), 120000);
    QTRY_VERIFY_WITH_TIMEOUT(app->output().count("Gap repair run complete") >= 2, 60000);

    // 3. Killed with no close, a while later started again.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_env->root() + QStringLiteral("/outage_state.txt")), 30000);
    QTest::qWait(11000); // the state is written every 10 s, not at a kill
    before = repairRequests();
    QVERIFY(app->kill());
    QTest::qWait(70000); // more than a minute away
    app = startApp();
    QTRY_VERIFY_WITH_TIMEOUT(everySymbolAskedMoreThan(before), 120000);
    QTRY_VERIFY_WITH_TIMEOUT(app->output().count("Gap repair run complete") >= 1, 120000);

    // Each interruption cost one request per symbol (two at most when one failed).
    const QHash<QString, int> asked = repairRequests();
    for (const QString &s : kSymbols) {
        QVERIFY2(asked.value(s) >= 3 && asked.value(s) <= 6, qPrintable(QStringLiteral("%1: %2").arg(s).arg(asked.value(s))));
        const QStringList missing = missingMinutes(s);
        QVERIFY2(missing.isEmpty(), qPrintable(s + QStringLiteral(" misses ") + missing.join(QLatin1Char(' '))));
    }

    QCOMPARE(app->close(30000), 0);
}

QTEST_GUILESS_MAIN(TstGapRepairE2E)
#include "tst_gaprepaire2e.moc"
