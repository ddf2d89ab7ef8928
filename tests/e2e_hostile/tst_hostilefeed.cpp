// The real Vantrel binary against a data server that misbehaves: text fields crafted to
// forge quotes, the link cut in the middle of a frame, and the charting program refusing
// imports for a few seconds while batches keep coming. Whatever the server does, no forged
// quote reaches the stand-in's store, the link after the cut stays up, and every tick sent
// while the imports failed is stored once the broker works again.
#include "app/settingskeys.h"
#include "platform/standin/quotestore.h"
#include "apprun.h"
#include "devserverprocess.h"
#include "testenv.h"

#include <QtTest>

namespace {

// "20261208" + "09:15:01.250" -> "2026-12-08 09:15:01.250", the store's text form.
QString storeTimestamp(const QByteArray &date, const QByteArray &time)
{
    const QString d = QString::fromLatin1(date);
    return QStringLiteral("%1-%2-%3 %4").arg(d.left(4), d.mid(4, 2), d.mid(6, 2), QString::fromLatin1(time));
}

} // namespace

class tst_HostileFeed : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestEnv> env;
    DevServerProcess devserver;
    QString sentLog;

    QString dbDir() const { return env->root() + "/Amibroker/RTDataDatabase"; }

    QByteArray control(const QByteArray &command) { return devserver.control(QString::fromUtf8(command)).toUtf8(); }
    int stat(const char *key) { return QJsonDocument::fromJson(control("stats")).object().value(key).toInt(); }

    QList<QByteArray> sentLines()
    {
        QFile f(sentLog);
        return f.open(QIODevice::ReadOnly) ? f.readAll().split('\n') : QList<QByteArray>();
    }

    QSet<QString> storedKeys()
    {
        QSet<QString> keys;
        QuoteStore store;
        if (!store.open(dbDir()))
            return keys;
        for (const auto &sym : store.symbols()) {
            for (const ImportedQuote &q : store.quotes(sym.first))
                keys.insert(sym.first + '|' + QuoteStore::formatTimestamp(q.timestampMs));
        }
        return keys;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(TestEnv::mariadbUp(), "MariaDB does not answer on 127.0.0.1:49111; start it with scripts/mariadb.sh start");
        env = std::make_unique<TestEnv>();
        QVERIFY(env->installFormats());
        QVERIFY(env->writeUserId("VANTREL-DEMO-0001"));
        sentLog = env->root() + "/sent.log";
        // The demo account's WebSocketLink names port 49120.
        QVERIFY(devserver.start({"--ws-port", "49120", "--rate", "40", "--batch", "4", "--log-sent", sentLog}, false));
    }

    void hostileServerCannotForgeCutOrLoseTicks()
    {
        TestEnv::saveWatchlist({"NIFTY-I", "EURUSD"}, {"FUTURE", "FOREX"});
        AppRun app(*env);
        QVERIFY(app.start());
        QVERIFY2(app.waitForShown(), app.output().constData());
        QuoteStore probe;
        QTRY_VERIFY_WITH_TIMEOUT(probe.open(dbDir()) && probe.quotes("NIFTY-I").size() >= 2, 20000);
        probe.close();

        // 1. Commas, line breaks and a control character in text fields.
        QCOMPARE(control("malformed forged"), QByteArray("ok"));
        app.readFor(1500);
        QuoteStore store;
        QVERIFY(store.open(dbDir()));
        QStringList symbols;
        for (const auto &sym : store.symbols())
            symbols << sym.first;
        QCOMPARE(symbols, (QStringList{"EURUSD", "NIFTY-I"}));
        for (const ImportedQuote &q : store.quotes("NIFTY-I")) {
            QVERIFY2(q.close > 100 && q.volume < 888888, qPrintable(QuoteStore::formatQuote(q)));
            QVERIFY(!QuoteStore::formatTimestamp(q.timestampMs).startsWith("2024-01-02"));
        }
        store.close();

        // 2. The link cut inside a frame: one reconnect, and the new link stays up.
        const int connections = stat("connections");
        const QByteArray cut = control("cut");
        QVERIFY2(cut.startsWith("ok ") && !cut.startsWith("ok 0 "), cut.constData());
        QTRY_COMPARE_WITH_TIMEOUT(stat("connections"), connections + 1, 15000);
        QTRY_COMPARE_WITH_TIMEOUT(stat("subscribed"), 1, 10000);
        app.readFor(7000); // longer than the 5 s a carried-over half frame waited
        QCOMPARE(stat("connections"), connections + 1);
        QCOMPARE(stat("clients"), 1);

        // 3. The charting program refuses imports for three seconds; batches keep coming.
        const int sentBefore = sentLines().size();
        const QString format = env->root() + "/dataFormatRT.dll";
        QVERIFY(QFile::rename(format, format + ".away"));
        app.readFor(3000);
        QVERIFY(sentLines().size() > sentBefore + 20);
        QVERIFY(QFile::rename(format + ".away", format));
        app.readFor(1000);
        QCOMPARE(control("pause"), QByteArray("ok")); // no new batch from here on
        const QList<QByteArray> sent = sentLines();
        QSet<QString> expected;
        for (int i = sentBefore; i < sent.size(); ++i) {
            const QList<QByteArray> f = sent.at(i).trimmed().split(',');
            if (f.size() >= 3)
                expected.insert(QString::fromUtf8(f.at(0)) + '|' + storeTimestamp(f.at(1), f.at(2)));
        }
        QVERIFY(expected.size() > 20);
        QTRY_VERIFY_WITH_TIMEOUT(storedKeys().contains(expected), 15000);
        app.readFor(200);
        QCOMPARE(app.output().count("Live import failing"), 1);
        QCOMPARE(app.output().count("Live import works again"), 1);

        QCOMPARE(control("resume"), QByteArray("ok"));
        QCOMPARE(app.close(), 0);
    }
};

QTEST_GUILESS_MAIN(tst_HostileFeed)
#include "tst_hostilefeed.moc"
