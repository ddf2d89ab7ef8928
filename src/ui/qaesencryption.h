#pragma once

#include <QByteArray>
#include <QObject>

// AES block cipher (FIPS-197) with the four classic modes of operation. Written here
// rather than taken from a crypto library because the wishlist file needs a padding rule
// no library offers (0x80 and zeros, but no extra block when the data already fills its
// last block).
//
// All modes work on whole 16-byte blocks: encode() pads first, decode() refuses input
// whose length is not a multiple of the block length. CFB is the full-block variant
// (CFB-128).
class QAESEncryption : public QObject
{
    Q_OBJECT

public:
    enum Aes { AES_128, AES_192, AES_256 };
    enum Mode { ECB, CBC, CFB, OFB };
    enum Padding { ZERO, PKCS7, ISO };

    QAESEncryption(Aes level, Mode mode, Padding padding = ISO, QObject *parent = nullptr);

    // Pads and encrypts. Empty when the key is not exactly the key size or, in any mode but
    // ECB, the IV is not 16 bytes.
    QByteArray encode(const QByteArray &rawText, const QByteArray &key,
                      const QByteArray &iv = QByteArray());
    // Decrypts with the same checks; the padding stays attached (see removePadding). Empty
    // also when the input is not made of whole blocks.
    QByteArray decode(const QByteArray &rawText, const QByteArray &key,
                      const QByteArray &iv = QByteArray());

    // ISO: skip zero bytes backwards; when the byte reached is 0x80 cut just before it,
    // otherwise return the input unchanged. PKCS7: drop as many trailing bytes as the last
    // byte says (unchanged when that value cannot be PKCS#7 padding). ZERO: drop trailing
    // zero bytes.
    static QByteArray removePadding(const QByteArray &rawText, Padding padding);
    // The bytes encode() appends to data of the given length.
    static QByteArray padding(int length, Padding padding);

private:
    // Key expansion of FIPS-197 section 5.2; empty when the key has the wrong length.
    QByteArray expandKey(const QByteArray &key) const;
    bool checkInput(const QByteArray &key, const QByteArray &iv) const;
    // Runs whole blocks through the chosen mode, either way.
    QByteArray crypt(bool encrypting, QByteArray data, const QByteArray &key, const QByteArray &iv);
    void addRoundKey(int round, const QByteArray &expandedKey);
    void subBytes();
    void invSubBytes();
    void shiftRows();
    void invShiftRows();
    void mixColumns();
    void invMixColumns();
    // One block through the forward or inverse cipher, in place.
    void cipher(const QByteArray &expandedKey, quint8 *block);
    void invCipher(const QByteArray &expandedKey, quint8 *block);

    const int m_blocklen = 16;
    const int m_nb = 4;
    int m_nk;
    int m_keyLen;
    int m_nr;
    Aes m_level;
    Mode m_mode;
    Padding m_padding;
    const quint8 *m_sbox;
    const quint8 *m_invSbox;
    const quint8 *m_rcon;
    quint8 *m_state = nullptr; // the block being processed
};
