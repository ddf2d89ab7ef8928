// The hand-written AES against the published vectors (FIPS-197 appendix C, SP 800-38A
// F.1-F.5) and against Debian's openssl; never against itself alone.
#include "ui/qaesencryption.h"

#include "opensslcli.h"

#include <QtTest>

using A = QAESEncryption;
Q_DECLARE_METATYPE(QAESEncryption::Aes)
Q_DECLARE_METATYPE(QAESEncryption::Mode)

namespace {
QByteArray hex(const char *h) { return QByteArray::fromHex(h); }
const char kSpPlain[] = "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                        "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";
const char kSpIv[] = "000102030405060708090a0b0c0d0e0f";
const char kK128[] = "2b7e151628aed2a6abf7158809cf4f3c";
const char kK192[] = "8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b";
const char kK256[] = "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4";
} // namespace

class tst_QAESEncryption : public QObject
{
    Q_OBJECT

private slots:
    void publishedVectors_data()
    {
        QTest::addColumn<A::Aes>("level");
        QTest::addColumn<A::Mode>("mode");
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("iv");
        QTest::addColumn<QByteArray>("plain");
        QTest::addColumn<QByteArray>("cipher");
        const QByteArray block = hex("00112233445566778899aabbccddeeff");
        QTest::newRow("FIPS-197 C.1") << A::AES_128 << A::ECB << hex("000102030405060708090a0b0c0d0e0f")
                                      << QByteArray() << block << hex("69c4e0d86a7b0430d8cdb78070b4c55a");
        QTest::newRow("FIPS-197 C.2") << A::AES_192 << A::ECB
                                      << hex("000102030405060708090a0b0c0d0e0f1011121314151617")
                                      << QByteArray() << block << hex("dda97ca4864cdfe06eaf70a0ec0d7191");
        QTest::newRow("FIPS-197 C.3")
            << A::AES_256 << A::ECB
            << hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f") << QByteArray()
            << block << hex("8ea2b7ca516745bfeafc49904b496089");
        struct Sp { const char *name; A::Aes level; A::Mode mode; const char *key; const char *cipher; };
        const Sp sp[] = {
            {"ECB-AES128", A::AES_128, A::ECB, kK128, "3ad77bb40d7a3660a89ecaf32466ef97f5d3d58503b9699de785895a96fdbaaf43b1cd7f598ece23881b00e3ed0306887b0c785e27e8ad3f8223207104725dd4"},
            {"CBC-AES128", A::AES_128, A::CBC, kK128, "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b273bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
            {"CFB128-AES128", A::AES_128, A::CFB, kK128, "3b3fd92eb72dad20333449f8e83cfb4ac8a64537a0b3a93fcde3cdad9f1ce58b26751f67a3cbb140b1808cf187a4f4dfc04b05357c5d1c0eeac4c66f9ff7f2e6"},
            {"OFB-AES128", A::AES_128, A::OFB, kK128, "3b3fd92eb72dad20333449f8e83cfb4a7789508d16918f03f53c52dac54ed8259740051e9c5fecf64344f7a82260edcc304c6528f659c77866a510d9c1d6ae5e"},
            {"ECB-AES192", A::AES_192, A::ECB, kK192, "bd334f1d6e45f25ff712a214571fa5cc974104846d0ad3ad7734ecb3ecee4eefef7afd2270e2e60adce0ba2face6444e9a4b41ba738d6c72fb16691603c18e0e"},
            {"CBC-AES192", A::AES_192, A::CBC, kK192, "4f021db243bc633d7178183a9fa071e8b4d9ada9ad7dedf4e5e738763f69145a571b242012fb7ae07fa9baac3df102e008b0e27988598881d920a9e64f5615cd"},
            {"CFB128-AES192", A::AES_192, A::CFB, kK192, "cdc80d6fddf18cab34c25909c99a417467ce7f7f81173621961a2b70171d3d7a2e1e8a1dd59b88b1c8e60fed1efac4c9c05f9f9ca9834fa042ae8fba584b09ff"},
            {"OFB-AES192", A::AES_192, A::OFB, kK192, "cdc80d6fddf18cab34c25909c99a4174fcc28b8d4c63837c09e81700c11004018d9a9aeac0f6596f559c6d4daf59a5f26d9f200857ca6c3e9cac524bd9acc92a"},
            {"ECB-AES256", A::AES_256, A::ECB, kK256, "f3eed1bdb5d2a03c064b5a7e3db181f8591ccb10d410ed26dc5ba74a31362870b6ed21b99ca6f4f9f153e7b1beafed1d23304b7a39f9f3ff067d8d8f9e24ecc7"},
            {"CBC-AES256", A::AES_256, A::CBC, kK256, "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b"},
            {"CFB128-AES256", A::AES_256, A::CFB, kK256, "dc7e84bfda79164b7ecd8486985d386039ffed143b28b1c832113c6331e5407bdf10132415e54b92a13ed0a8267ae2f975a385741ab9cef82031623d55b1e471"},
            {"OFB-AES256", A::AES_256, A::OFB, kK256, "dc7e84bfda79164b7ecd8486985d38604febdc6740d20b3ac88f6ad82a4fb08d71ab47a086e86eedf39d1c5bba97c4080126141d67f37be8538f5a8be740e484"},
        };
        for (const Sp &v : sp)
            QTest::newRow(v.name) << v.level << v.mode << hex(v.key) << hex(kSpIv) << hex(kSpPlain)
                                  << hex(v.cipher);
    }

    // Whole blocks: ISO padding adds nothing, so the output is the standard's ciphertext.
    void publishedVectors()
    {
        QFETCH(A::Aes, level);
        QFETCH(A::Mode, mode);
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, iv);
        QFETCH(QByteArray, plain);
        QFETCH(QByteArray, cipher);
        A aes(level, mode, A::ISO);
        QCOMPARE(aes.encode(plain, key, iv).toHex(), cipher.toHex());
        QCOMPARE(aes.decode(cipher, key, iv).toHex(), plain.toHex());
    }

    void wrongKeyOrIvGivesNothing()
    {
        A cbc(A::AES_256, A::CBC);
        const QByteArray key(32, 'k'), iv(16, 'i');
        QVERIFY(cbc.encode("data", key.left(31), iv).isEmpty());
        QVERIFY(cbc.encode("data", key, iv.left(15)).isEmpty());
        QVERIFY(cbc.decode(QByteArray(16, 'c'), key, QByteArray()).isEmpty());
        QVERIFY(cbc.decode(QByteArray(17, 'c'), key, iv).isEmpty()); // not whole blocks
        A ecb(A::AES_256, A::ECB);
        QCOMPARE(ecb.encode("data", key, QByteArray()).size(), 16); // ECB needs no IV
    }

    void paddingAndItsRemoval()
    {
        QCOMPARE(A::padding(31, A::ISO), hex("80"));
        QCOMPARE(A::padding(32, A::ISO), QByteArray());
        QCOMPARE(A::padding(33, A::ISO), hex("80") + QByteArray(14, '\0'));
        QCOMPARE(A::padding(16, A::PKCS7), QByteArray(16, char(16)));
        QCOMPARE(A::padding(13, A::ZERO), QByteArray(3, '\0'));
        QCOMPARE(A::removePadding(QByteArray("ab\x80\0\0", 5), A::ISO), QByteArray("ab"));
        QCOMPARE(A::removePadding(QByteArray("ab\x81\0", 4), A::ISO), QByteArray("ab\x81\0", 4));
        QCOMPARE(A::removePadding(QByteArray("abc\x03\x03\x03"), A::PKCS7), QByteArray("abc"));
        QCOMPARE(A::removePadding(QByteArray("abc\x20"), A::PKCS7), QByteArray("abc\x20"));
        QCOMPARE(A::removePadding(QByteArray("abc\x09"), A::PKCS7), QByteArray("abc\x09"));
        QCOMPARE(A::removePadding(QByteArray("ab\0\0", 4), A::ZERO), QByteArray("ab"));
    }

    // Every key size and mode, lengths around the block edges, both ways through openssl;
    // PKCS#7 against openssl's own padding.
    void agreesWithOpenSsl()
    {
        const struct { A::Aes level; int bits; } levels[] = {{A::AES_128, 128}, {A::AES_192, 192}, {A::AES_256, 256}};
        const struct { A::Mode mode; const char *name; } modes[] = {{A::ECB, "ecb"}, {A::CBC, "cbc"}, {A::CFB, "cfb"}, {A::OFB, "ofb"}};
        const QByteArray iv = hex("f0e1d2c3b4a5968778695a4b3c2d1e0f");
        for (const auto &l : levels) {
            const QByteArray key = QCryptographicHash::hash(QByteArray::number(l.bits), QCryptographicHash::Sha256)
                                       .left(l.bits / 8);
            for (const auto &m : modes) {
                for (int length : {1, 15, 16, 17, 32, 33, 100}) {
                    QByteArray plain(length, '\0');
                    for (int i = 0; i < length; ++i)
                        plain[i] = char(i * 37 + l.bits + length);
                    const QString what = QStringLiteral("%1 %2 %3").arg(l.bits).arg(m.name).arg(length);
                    A iso(l.level, m.mode, A::ISO);
                    const QByteArray ours = iso.encode(plain, key, iv);
                    // ISO padding built independently of the code under test.
                    QByteArray padded = plain;
                    if (length % 16)
                        padded += char(0x80) + QByteArray(15 - length % 16, '\0');
                    QVERIFY2(ours == OpenSslCli::aes(true, l.bits, m.name, key, iv, padded), qPrintable(what));
                    QVERIFY2(OpenSslCli::aes(false, l.bits, m.name, key, iv, ours) == padded, qPrintable(what));
                    if (m.mode == A::ECB || m.mode == A::CBC) {
                        A pkcs(l.level, m.mode, A::PKCS7);
                        const QByteArray theirs = OpenSslCli::aes(true, l.bits, m.name, key, iv, plain, true);
                        QVERIFY2(pkcs.encode(plain, key, iv) == theirs, qPrintable(what));
                        QVERIFY2(A::removePadding(pkcs.decode(theirs, key, iv), A::PKCS7) == plain, qPrintable(what));
                    }
                }
            }
        }
    }
};

QTEST_GUILESS_MAIN(tst_QAESEncryption)
#include "tst_qaesencryption.moc"
