// The wishlist cipher against the published AES-256-CBC vector (SP 800-38A F.2.5) and its
// own padding rule; the file format itself is checked in tst_wishlistfile.
#include "ui/wishlistcipher.h"

#include <QtTest>

namespace {
QByteArray hex(const char *h) { return QByteArray::fromHex(h); }
} // namespace

class tst_WishlistCipher : public QObject
{
    Q_OBJECT

private slots:
    // Whole blocks take no padding, so the published ciphertext must come out exactly.
    void publishedVector()
    {
        const QByteArray key = hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
        const QByteArray iv = hex("000102030405060708090a0b0c0d0e0f");
        const QByteArray plain = hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                                     "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
        const QByteArray cipher = hex("f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
                                      "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b");
        QCOMPARE(WishlistCipher::encrypt(plain, key, iv).toHex(), cipher.toHex());
        QCOMPARE(WishlistCipher::decrypt(cipher, key, iv).toHex(), plain.toHex());
        // Bad key or IV sizes and cut input give nothing rather than a guess.
        QVERIFY(WishlistCipher::encrypt(plain, key.left(16), iv).isEmpty());
        QVERIFY(WishlistCipher::encrypt(plain, key, iv.left(8)).isEmpty());
        QVERIFY(WishlistCipher::decrypt(cipher.left(31), key, iv).isEmpty());
    }

    void paddingAndItsRemoval()
    {
        QCOMPARE(WishlistCipher::padding(31), hex("80"));
        QCOMPARE(WishlistCipher::padding(32), QByteArray());
        QCOMPARE(WishlistCipher::padding(33), hex("80") + QByteArray(14, '\0'));
        QCOMPARE(WishlistCipher::removePadding(QByteArray("ab\x80\0\0", 5)), QByteArray("ab"));
        QCOMPARE(WishlistCipher::removePadding(QByteArray("ab\x81\0", 4)), QByteArray("ab\x81\0", 4));
        QCOMPARE(WishlistCipher::removePadding(QByteArray("\0\0", 2)), QByteArray("\0\0", 2));
    }
};

QTEST_GUILESS_MAIN(tst_WishlistCipher)
#include "tst_wishlistcipher.moc"
