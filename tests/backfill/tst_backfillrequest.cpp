// Request URLs and progress texts of the backfill: every piece from the server or the
// settings store is checked, and one that could break the URL is refused with a reason.
#include "backfill/backfillrequest.h"

#include <QtTest>

class TestBackfillRequest : public QObject
{
    Q_OBJECT
private slots:
    void requestPiecesFromTheServerAreChecked()
    {
        using namespace BackfillRequest;
        QVERIFY(intradayUrl("127.0.0.1/b", "ID", "k", "5 ", "X").isEmpty());
        QVERIFY(oneDayUrl("http://127.0.0.1:1", "2026-01-05", "../x").isEmpty());
        QVERIFY(oneDayUrl("http://127.0.0.1:1", "2026/01", "p").isEmpty());
        QCOMPARE(symbolOfUrl("http://127.0.0.1/b?send=x&d=1&send=M%26M"), QStringLiteral("M&M"));
        QCOMPARE(intradayProgressValue(" 45.5% "), 46);
        QCOMPARE(intradayProgressValue("--%"), 0);
        QCOMPARE(intradayProgressValue("180%"), 100);
        QCOMPARE(intradayProgressText("", " "), QStringLiteral("--"));
        QString stored = "http://127.0.0.1:9/backfillS21/1/d/p/";
        QCOMPARE(eodUrl(&stored, eodRequestName("SPOT", 3)), QStringLiteral("http://127.0.0.1:9/backfillS21/e/d/p/SPOT-3.zip"));
        QCOMPARE(stored, QStringLiteral("http://127.0.0.1:9/backfillS21/e/d/p/"));
    }

    void requestValuesAreEncodedOrRefusedWithAReason_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("symbol");
        QTest::addColumn<QString>("send"); // the URL's send= value; empty when refused
        QTest::addColumn<QString>("why");
        const QString p = "127.0.0.1:1/b";
        QTest::newRow("ampersand") << p << "k" << "M&M" << "M%26M" << "";
        QTest::newRow("blank") << p << "k" << "NIFTY 50" << "NIFTY%2050" << "";
        QTest::newRow("hash") << p << "k" << "X#1" << "X%231" << "";
        QTest::newRow("question mark") << p << "k" << "Q?" << "Q%3F" << "";
        QTest::newRow("percent") << p << "k" << "5%26" << "5%2526" << "";
        QTest::newRow("escape in symbol") << p << "k" << "A\x1b" << "" << "unusable symbol";
        QTest::newRow("port 65536") << "127.0.0.1:65536/b" << "k" << "X" << "" << "unusable backfill path";
        QTest::newRow("port -1") << "127.0.0.1:-1/b" << "k" << "X" << "" << "unusable backfill path";
        QTest::newRow("dot dot") << "127.0.0.1/../b" << "k" << "X" << "" << "unusable backfill path";
        QTest::newRow("empty path") << "" << "k" << "X" << "" << "unusable backfill path";
        for (const char *path : {"127.0.0.1/b?x=1", "127.0.0.1/b#f", "127.0.0.1 b", "http://127.0.0.1/b"})
            QTest::newRow(path) << path << "k" << "X" << "" << "unusable backfill path";
        QTest::newRow("user part") << "evil@127.0.0.1/b" << "k" << "X" << "" << "unusable backfill path";
        QTest::newRow("key with ampersand") << p << "k&d=9" << "X" << "" << "unusable key";
    }
    void requestValuesAreEncodedOrRefusedWithAReason()
    {
        QFETCH(QString, path);
        QFETCH(QString, key);
        QFETCH(QString, symbol);
        QFETCH(QString, send);
        QFETCH(QString, why);
        symbol.replace("\\x1b", QChar(0x1b));
        QString reason;
        const QString url = BackfillRequest::intradayUrl(path, "ID", key, "5", symbol, &reason);
        QCOMPARE(reason, why);
        if (send.isEmpty()) {
            QVERIFY(url.isEmpty());
            return;
        }
        QCOMPARE(url, "http://" + path + "?uid=ID&hash=" + key + "&d=5&send=" + send);
        QCOMPARE(BackfillRequest::symbolOfUrl(url), symbol);
    }
};

QTEST_GUILESS_MAIN(TestBackfillRequest)
#include "tst_backfillrequest.moc"
