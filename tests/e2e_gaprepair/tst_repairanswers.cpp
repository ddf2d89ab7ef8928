// The real Vantrel binary repairing an outage against a data server whose answers are
// hostile: they add bars of other symbols (one of them new), bars of 1970 and 2099, and the
// bars of the minutes the live ticks already covered; one symbol's answer holds nothing of
// its own. The broker stand-in's store must end up with none of the foreign bars, no minute
// with both a bar and ticks, and the run's end must name the symbol that got nothing.
#include "app/settingskeys.h"
#include "platform/standin/quotestore.h"
#include "apprun.h"
#include "devserverprocess.h"
#include "testenv.h"

#include <QSet>
#include <QtTest>

#include <algorithm>

namespace {

const QStringList kSymbols{QStringLiteral("NIFTY-I"), QStringLiteral("BANKNIFTY-I"), QStringLiteral("CRUDEOIL-I")};

// Stored timestamps are the wall-clock date and time read as UTC.
qint64 wallClockMs(const QByteArray &date, const QByteArray &time)
{
    const QDateTime t(QDate::fromString(QString::fromLatin1(date), QStringLiteral("yyyyMMdd")),
                      QTime::fromString(QString::fromLatin1(time), QStringLiteral("HH:mm:ss.zzz")), Qt::UTC);
    return t.isValid() ? t.toMSecsSinceEpoch() : -1;
}

} // namespace

class TstRepairAnswers : public QObject
{
    Q_OBJECT
    DevServerProcess m_server;
    std::unique_ptr<TestEnv> m_env;
    QString m_sentLog;

    // Timestamps of the ticks the data server sent, per symbol.
    QHash<QString, QSet<qint64>> sentTicks() const
    {
        QHash<QString, QSet<qint64>> ticks;
        QFile f(m_sentLog);
        if (!f.open(QIODevice::ReadOnly))
            return ticks;
        for (const QByteArray &line : f.readAll().split('\n')) {
            const QList<QByteArray> p = line.split(',');
            if (p.size() >= 3)
                ticks[QString::fromUtf8(p[0])].insert(wallClockMs(p[1], p[2]));
        }
        return ticks;
    }
    QVector<ImportedQuote> quotes(const QString &symbol) const
    {
        QuoteStore store;
        return store.open(m_env->root() + QStringLiteral("/Amibroker/RTDataDatabase")) ? store.quotes(symbol)
                                                                                       : QVector<ImportedQuote>();
    }

private slots:
    void hostileRepairAnswersStoreOnlyTheGap()
    {
        QVERIFY2(TestEnv::mariadbUp(), "MariaDB does not answer on 127.0.0.1:49111");
        m_env = std::make_unique<TestEnv>();
        QVERIFY(m_env->installFormats());
        QVERIFY(m_env->writeUserId(QStringLiteral("VANTREL-DEMO-0001")));
        m_sentLog = m_env->root() + QStringLiteral("/sent.log");
        // The demo account names 127.0.0.1:49120 for the feed and :49121 for backfill.
        QVERIFY(m_server.start({"--ws-port", "49120", "--http-port", "49121", "--market", "--rate", "30",
                                "--batch", "3", "--log-sent", m_sentLog}));
        TestEnv::saveStartupBackfill(kSymbols, {"FUTURE", "FUTURE", "MCX"}, "1");
        AppSettings().setValue(SettingsKeys::autoBackfillChecked, false);

        AppRun app(*m_env);
        QVERIFY(app.start());
        QTRY_VERIFY_WITH_TIMEOUT(!quotes(kSymbols.last()).isEmpty(), 60000);

        // Every answer from now on is hostile; CRUDEOIL-I's has none of its own bars.
        QCOMPARE(m_server.control("http-inject foreign,dates only CRUDEOIL-I"), QStringLiteral("ok"));
        // Two minutes away: one whole minute at least has no ticks, wherever the drop falls.
        QVERIFY(m_server.control("refuse 120").startsWith("ok"));
        QVERIFY(m_server.control("drop").startsWith("ok"));
        QTRY_VERIFY_WITH_TIMEOUT(app.output().contains("Gap repair run complete"), 240000);
        const QByteArray &out = app.output();
        const QString end = QString::fromUtf8(out.mid(out.indexOf("Gap repair run complete")).split('\n').first());
        QVERIFY2(end.trimmed() == QStringLiteral("Gap repair run complete: Gaps repaired except CRUDEOIL-I"),
                 app.tail(4000).constData());
        QVERIFY(app.output().contains("CRUDEOIL-I.txt: kept 0, refused "));
        QCOMPARE(m_server.requests().filter("send=").size(), 3);

        QCOMPARE(app.close(30000), 0);

        QuoteStore store;
        QVERIFY(store.open(m_env->root() + QStringLiteral("/Amibroker/RTDataDatabase")));
        QStringList stored;
        for (const auto &s : store.symbols())
            stored << s.first;
        QCOMPARE(stored, (QStringList{"BANKNIFTY-I", "CRUDEOIL-I", "NIFTY-I"}));

        const QHash<QString, QSet<qint64>> sent = sentTicks();
        const qint64 earliest = QDateTime::currentDateTime().addDays(-1).toMSecsSinceEpoch();
        const qint64 latest = QDateTime::currentDateTime().addDays(1).toMSecsSinceEpoch();
        for (const QString &symbol : kSymbols) {
            QHash<qint64, int> ticksPerMinute;
            QList<qint64> barMinutes;
            for (const ImportedQuote &q : quotes(symbol)) {
                QVERIFY2(q.timestampMs > earliest && q.timestampMs < latest,
                         qPrintable(symbol + " " + QuoteStore::formatTimestamp(q.timestampMs)));
                if (sent.value(symbol).contains(q.timestampMs)) {
                    ++ticksPerMinute[q.timestampMs / 60000];
                } else {
                    QCOMPARE(q.timestampMs % 60000, qint64(0)); // a bar, at its minute's start
                    barMinutes << q.timestampMs / 60000;
                }
            }
            QVERIFY2(!ticksPerMinute.isEmpty(), qPrintable(symbol));
            // The repair filled the gap of the two symbols that got their own bars, and no
            // minute holds a bar on top of ticks (whose volume would count twice).
            QCOMPARE(barMinutes.isEmpty(), symbol == QLatin1String("CRUDEOIL-I"));
            for (qint64 m : qAsConst(barMinutes))
                QVERIFY2(!ticksPerMinute.contains(m),
                         qPrintable(symbol + " has a bar and ticks at " + QuoteStore::formatTimestamp(m * 60000)));
            if (symbol == QLatin1String("CRUDEOIL-I"))
                continue;
            const auto [first, last] = std::minmax_element(ticksPerMinute.keyBegin(), ticksPerMinute.keyEnd());
            for (qint64 m = *first; m <= *last; ++m)
                QVERIFY2(ticksPerMinute.contains(m) || barMinutes.contains(m),
                         qPrintable(symbol + " misses " + QuoteStore::formatTimestamp(m * 60000)));
        }
    }
};

QTEST_GUILESS_MAIN(TstRepairAnswers)
#include "tst_repairanswers.moc"
