#include "live/pollingrequest.h"

#include <QUrlQuery>
#include <QtTest>

class TestPollingRequest : public QObject
{
    Q_OBJECT

private:
    static PollingEndpoints endpoints()
    {
        PollingEndpoints e;
        e.liveGet = QStringLiteral("127.0.0.1:49121/live/get");
        e.livePost = QStringLiteral("127.0.0.1:49121/live/post");
        e.networkGet = QStringLiteral("127.0.0.1:49121/net/get");
        e.networkPost = QStringLiteral("127.0.0.1:49121/net/post");
        e.hash = QStringLiteral("demo-secure-key-7f3a");
        return e;
    }

    // One symbol long enough that the text built by `build` gets exactly `length` chars.
    static QString symbolFor(int length, const QString &withEmptySymbol)
    {
        return QString(length - withEmptySymbol.size(), QLatin1Char('A'));
    }

private slots:
    void initialRequestUsesTheNetworkGetPathAndStarterSymbols()
    {
        const PollingRequest r = PollingRequest::initial(endpoints(), QStringLiteral("VANTREL-DEMO-0001"));
        QCOMPARE(r.text, QStringLiteral(
            "http://127.0.0.1:49121/net/get?uid=VANTREL-DEMO-0001"
            "&send=ACC-I%7CADANIENT-I%7CADANIPORTS-I%7CADANIPOWER-I%7CAMARAJABAT-I"
            "&hash=demo-secure-key-7f3a"));
        QCOMPARE(r.method, int(PollingRequest::Get));
        QVERIFY(r.url.isValid());
        QCOMPARE(QUrlQuery(r.url).queryItemValue(QStringLiteral("send"), QUrl::FullyDecoded),
                 QStringLiteral("ACC-I|ADANIENT-I|ADANIPORTS-I|ADANIPOWER-I|AMARAJABAT-I"));
    }

    void modeOneShortWatchlistIsGetOnLivePath()
    {
        const PollingRequest r = PollingRequest::forWatchlist(
            1, endpoints(), QStringLiteral("U1"), {QStringLiteral("NIFTY-I"), QStringLiteral("BANKNIFTY-I")});
        QCOMPARE(r.text, QStringLiteral("http://127.0.0.1:49121/live/get?uid=U1"
                                        "&send=NIFTY-I|BANKNIFTY-I&hash=demo-secure-key-7f3a"));
        QCOMPARE(r.method, int(PollingRequest::Get));
    }

    void modeOneSwitchesToPostWhenTheGetUrlReaches1400()
    {
        const PollingEndpoints e = endpoints();
        const QString empty = PollingRequest::forWatchlist(1, e, QStringLiteral("U1"), {QString()}).text;

        const PollingRequest below =
            PollingRequest::forWatchlist(1, e, QStringLiteral("U1"), {symbolFor(1399, empty)});
        QCOMPARE(below.text.size(), 1399);
        QCOMPARE(below.method, int(PollingRequest::Get));
        QVERIFY(below.text.startsWith(QStringLiteral("http://127.0.0.1:49121/live/get?uid=U1&send=")));

        const PollingRequest at =
            PollingRequest::forWatchlist(1, e, QStringLiteral("U1"), {symbolFor(1400, empty)});
        QCOMPARE(at.method, int(PollingRequest::Post));
        // The POST request keeps the uid pair.
        QCOMPARE(at.text, QStringLiteral("http://127.0.0.1:49121/live/post?uid=U1&send=")
                              + symbolFor(1400, empty) + QStringLiteral("&hash=demo-secure-key-7f3a"));
    }

    void otherModesTestTheLengthOnThePostPathWithoutUid()
    {
        // A long user ID makes the GET URL itself far longer than the probe: only the probe
        // (POST path, no uid) decides.
        PollingEndpoints e = endpoints();
        const QString userId(300, QLatin1Char('U'));
        const QString probeEmpty = QStringLiteral("http://") + e.networkPost
                                   + QStringLiteral("?send=&hash=") + e.hash;

        for (int mode : {2, 0, 7}) {
            const QString below = symbolFor(1399, probeEmpty);
            const PollingRequest get = PollingRequest::forWatchlist(mode, e, userId, {below});
            QVERIFY2(get.text.size() >= 1400, "the GET URL is long, yet the probe decides");
            QCOMPARE(get.method, int(PollingRequest::Get));
            QCOMPARE(get.text, QStringLiteral("http://127.0.0.1:49121/net/get?uid=") + userId
                                   + QStringLiteral("&send=") + below
                                   + QStringLiteral("&hash=demo-secure-key-7f3a"));

            const QString at = symbolFor(1400, probeEmpty);
            const PollingRequest post = PollingRequest::forWatchlist(mode, e, userId, {at});
            QCOMPARE(post.method, int(PollingRequest::Post));
            QCOMPARE(post.text, QStringLiteral("http://127.0.0.1:49121/net/post?uid=") + userId
                                    + QStringLiteral("&send=") + at
                                    + QStringLiteral("&hash=demo-secure-key-7f3a"));
        }
    }

    void ampersandIsSentEncodedAndSeparatorsAreNot()
    {
        const QStringList symbols = {QStringLiteral("M&M"), QStringLiteral("M&M-I"), QStringLiteral("NIFTY-I")};
        QCOMPARE(PollingRequest::joinSymbols(symbols), QStringLiteral("M%26M|M%26M-I|NIFTY-I"));

        const PollingRequest r = PollingRequest::forWatchlist(2, endpoints(), QStringLiteral("U1"), symbols);
        QVERIFY(r.text.contains(QStringLiteral("&send=M%26M|M%26M-I|NIFTY-I&hash=")));
        // The server reads the ampersands as part of the value, not as new pairs.
        const QUrlQuery query(r.url);
        QCOMPARE(query.queryItemValue(QStringLiteral("send"), QUrl::FullyDecoded),
                 QStringLiteral("M&M|M&M-I|NIFTY-I"));
        QCOMPARE(query.queryItemValue(QStringLiteral("hash")), QStringLiteral("demo-secure-key-7f3a"));
        QCOMPARE(query.queryItemValue(QStringLiteral("uid")), QStringLiteral("U1"));
    }

    void ampersandEncodingCountsTowardsTheLength()
    {
        const PollingEndpoints e = endpoints();
        const QString empty = PollingRequest::forWatchlist(1, e, QStringLiteral("U1"), {QString()}).text;
        // 1398 characters before encoding; the one "&" becomes three, giving exactly 1400.
        QString symbol = symbolFor(1398, empty);
        symbol[0] = QLatin1Char('&');
        const PollingRequest r = PollingRequest::forWatchlist(1, e, QStringLiteral("U1"), {symbol});
        QCOMPARE(r.method, int(PollingRequest::Post));
    }

    void emptyWatchlistSendsAnEmptyValue()
    {
        const PollingRequest r = PollingRequest::forWatchlist(1, endpoints(), QStringLiteral("U1"), {});
        QCOMPARE(r.text, QStringLiteral("http://127.0.0.1:49121/live/get?uid=U1&send=&hash=demo-secure-key-7f3a"));
        QCOMPARE(r.method, int(PollingRequest::Get));
        const PollingRequest other = PollingRequest::forWatchlist(2, endpoints(), QStringLiteral("U1"), {});
        QCOMPARE(other.text, QStringLiteral("http://127.0.0.1:49121/net/get?uid=U1&send=&hash=demo-secure-key-7f3a"));
        QVERIFY(QUrlQuery(other.url).hasQueryItem(QStringLiteral("send")));
        QVERIFY(QUrlQuery(other.url).queryItemValue(QStringLiteral("send")).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestPollingRequest)
#include "tst_pollingrequest.moc"
