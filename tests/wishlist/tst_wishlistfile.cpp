// The wishlist file format checked with openssl: what the program writes decrypts to the
// expected plaintext and padding, and what openssl makes loads.
#include "ui/wishlistfile.h"

#include "opensslcli.h"

#include <QtTest>

namespace {
const QStringList kCodes{"CASH", "FUTURE", "OPTION", "MCX", "CURRENCY", "SPOTINDEX", "NCDEX", "CMOPT", "FOREX"};

QByteArray opensslDecrypt(const QByteArray &file)
{
    return OpenSslCli::aes(false, 256, QStringLiteral("cbc"), WishlistFile::key(), WishlistFile::iv(), file);
}

QByteArray opensslEncrypt(QByteArray plain)
{
    if (plain.size() % 16)
        plain += char(0x80) + QByteArray(15 - plain.size() % 16, '\0');
    return OpenSslCli::aes(true, 256, QStringLiteral("cbc"), WishlistFile::key(), WishlistFile::iv(), plain);
}
} // namespace

class tst_WishlistFile : public QObject
{
    Q_OBJECT

private slots:
    void keyAndIvAreTheDigestsOfThePassphrases()
    {
        QCOMPARE(WishlistFile::key(), OpenSslCli::digest("sha256", "370915264801735926418"));
        QCOMPARE(WishlistFile::iv(), OpenSslCli::digest("md5", "R73518T4096w358p6047C9"));
        QCOMPARE(WishlistFile::key().size(), 32);
        QCOMPARE(WishlistFile::iv().size(), 16);
    }

    void writtenFilesDecryptWithOpenSsl_data()
    {
        QTest::addColumn<QStringList>("symbols");
        QTest::addColumn<QStringList>("exchanges");
        QTest::addColumn<QByteArray>("plain");
        QTest::addColumn<int>("fileSize");
        // The example is exactly 32 bytes: no padding block at all; one more byte needs a third block.
        QTest::newRow("example, 32 bytes") << QStringList{"NIFTY-I", "USDINR-I"} << QStringList{"FUTURE", "CURRENCY"}
                                           << QByteArray("NIFTY-I,USDINR-I#FUTURE,CURRENCY") << 32;
        QTest::newRow("33 bytes") << QStringList{"NIFTY-I", "USDINR-II"} << QStringList{"FUTURE", "CURRENCY"}
                                  << QByteArray("NIFTY-I,USDINR-II#FUTURE,CURRENCY") << 48;
        QTest::newRow("empty") << QStringList() << QStringList() << QByteArray("#") << 16;
        QTest::newRow("utf-8") << QStringList{QString::fromUtf8("Ä-I")} << QStringList{"MCX"}
                               << QByteArray("\xc3\x84-I#MCX") << 16;
    }

    void writtenFilesDecryptWithOpenSsl()
    {
        QFETCH(QStringList, symbols);
        QFETCH(QStringList, exchanges);
        QFETCH(QByteArray, plain);
        QFETCH(int, fileSize);
        QCOMPARE(WishlistFile::plaintext(symbols, exchanges), plain);
        const QByteArray file = WishlistFile::encrypt(symbols, exchanges);
        QCOMPARE(file.size(), fileSize);
        QByteArray expected = plain;
        if (plain.size() % 16)
            expected += char(0x80) + QByteArray(15 - plain.size() % 16, '\0');
        QCOMPARE(opensslDecrypt(file).toHex(), expected.toHex());

        WishlistFile::Watchlist back;
        QVERIFY(WishlistFile::read(file, kCodes, &back));
        QCOMPARE(back.symbols, symbols);
        QCOMPARE(back.exchanges, exchanges);
    }

    void filesMadeByOpenSslLoad()
    {
        WishlistFile::Watchlist list;
        QVERIFY(WishlistFile::read(opensslEncrypt("NIFTY-I,EURUSD,GOLDM-I#FUTURE,FOREX,MCX"), kCodes, &list));
        QCOMPARE(list.symbols, QStringList({"NIFTY-I", "EURUSD", "GOLDM-I"}));
        QCOMPARE(list.exchanges, QStringList({"FUTURE", "FOREX", "MCX"}));
        // A zero byte left after the padding ends the text.
        QVERIFY(WishlistFile::read(opensslEncrypt(QByteArray("ACC#CASH\0\0junk", 14)), kCodes, &list));
        QCOMPARE(list.symbols, QStringList{"ACC"});
        QCOMPARE(list.exchanges, QStringList{"CASH"});
    }

    // Files written by earlier builds (kept under tests/data/wishlist) load, and the same
    // watchlist is written to the same bytes: a full last block, one byte short of it, an
    // empty list, UTF-8 and the demo list.
    void filesOfEarlierBuildsAreReadAndRewrittenByteForByte_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("symbols");
        QTest::addColumn<QStringList>("exchanges");
        QTest::newRow("empty") << "empty.vn" << QStringList() << QStringList();
        QTest::newRow("full block") << "fullblock.vn" << QStringList{"ABCDEFGHIJK"} << QStringList{"CASH"};
        QTest::newRow("one short") << "oneshort.vn" << QStringList{"ABCDEFGHIJ"} << QStringList{"CASH"};
        QTest::newRow("utf-8") << "utf8.vn" << QStringList{QString::fromUtf8("NIFTY\u00e9-I"), "RELIANCE"}
                               << QStringList{"FUTURE", "CASH"};
        QTest::newRow("demo") << "demo15.vn"
                              << QString("BANKNIFTY-I,CRUDEOIL-I,GOLDM-I,SILVERM-I,USDINR-I,INDIAVIX,ICICIBANK,"
                                         "NIFTY-I,BTCUSD,EURUSD,XAGUSD,XAUUSD,XNGUSD,XRPUSD,ETHUSD").split(',')
                              << QString("FUTURE,MCX,MCX,MCX,CURRENCY,SPOTINDEX,CASH,FUTURE,FOREX,FOREX,FOREX,"
                                         "FOREX,FOREX,FOREX,FOREX").split(',');
    }

    void filesOfEarlierBuildsAreReadAndRewrittenByteForByte()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, symbols);
        QFETCH(QStringList, exchanges);
        QFile f(qEnvironmentVariable("VANTREL_SOURCE_DIR") + "/tests/data/wishlist/" + name);
        QVERIFY2(f.open(QIODevice::ReadOnly), qPrintable(f.fileName()));
        const QByteArray stored = f.readAll();
        WishlistFile::Watchlist list;
        QVERIFY(WishlistFile::read(stored, kCodes, &list));
        QCOMPARE(list.symbols, symbols);
        QCOMPARE(list.exchanges, exchanges);
        QCOMPARE(WishlistFile::encrypt(symbols, exchanges).toHex(), stored.toHex());
    }

    void whatCannotBeAWatchlistIsRefused_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::newRow("empty file") << QByteArray();
        QTest::newRow("17 bytes") << WishlistFile::encrypt({"ACC"}, {"CASH"}) + 'x';
        QTest::newRow("too large") << opensslEncrypt("ACC#CASH" + QByteArray(WishlistFile::kMaxFileSize, ' '));
        QTest::newRow("other key") << QByteArray::fromHex("00112233445566778899aabbccddeeff0123456789abcdef0123456789abcdef");
        QTest::newRow("unknown exchange") << opensslEncrypt("ACC#NYSE");
        QTest::newRow("counts differ") << opensslEncrypt("ACC,SBIN#CASH");
        QTest::newRow("control character") << opensslEncrypt("AC\nC#CASH");
        QTest::newRow("empty symbol") << opensslEncrypt("ACC,#CASH,CASH");
        QTest::newRow("duplicate") << opensslEncrypt("ACC,ACC#CASH,CASH");
        QTest::newRow("invalid utf-8") << opensslEncrypt("AC\xff#CASH");
    }

    void whatCannotBeAWatchlistIsRefused()
    {
        QFETCH(QByteArray, file);
        WishlistFile::Watchlist list{{"KEPT"}, {"CASH"}};
        QVERIFY(!WishlistFile::read(file, kCodes, &list));
        QCOMPARE(list.symbols, QStringList{"KEPT"});
    }
};

QTEST_GUILESS_MAIN(tst_WishlistFile)
#include "tst_wishlistfile.moc"
