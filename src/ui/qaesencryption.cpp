#include "ui/qaesencryption.h"

#include <cstring>

namespace {

quint8 xtime(quint8 x) { return quint8((x << 1) ^ ((x & 0x80) ? 0x1b : 0x00)); }

quint8 gmul(quint8 a, quint8 b)
{
    quint8 product = 0;
    while (b) {
        if (b & 1)
            product ^= a;
        a = xtime(a);
        b >>= 1;
    }
    return product;
}

quint8 rotl8(quint8 x, int shift) { return quint8((x << shift) | (x >> (8 - shift))); }

// The S-box, its inverse and the round constants, derived from their definitions in the
// standard (multiplicative inverse in GF(2^8) followed by the affine map) instead of
// typed-in tables, so a slip in one of 512 literals cannot hide in them.
struct Tables
{
    quint8 sbox[256];
    quint8 invSbox[256];
    quint8 rcon[11];

    Tables()
    {
        for (int a = 0; a < 256; ++a) {
            quint8 inverse = 0;
            for (int b = 1; a != 0 && b < 256; ++b) {
                if (gmul(quint8(a), quint8(b)) == 1) {
                    inverse = quint8(b);
                    break;
                }
            }
            const quint8 s = inverse ^ rotl8(inverse, 1) ^ rotl8(inverse, 2) ^ rotl8(inverse, 3)
                             ^ rotl8(inverse, 4) ^ 0x63;
            sbox[a] = s;
            invSbox[s] = quint8(a);
        }
        rcon[0] = 0x8d; // unused: round constants are numbered from 1
        rcon[1] = 0x01;
        for (int i = 2; i < 11; ++i)
            rcon[i] = xtime(rcon[i - 1]);
    }
};

const Tables &tables()
{
    static const Tables t;
    return t;
}

} // namespace

QAESEncryption::QAESEncryption(Aes level, Mode mode, Padding padding, QObject *parent)
    : QObject(parent), m_level(level), m_mode(mode), m_padding(padding)
{
    switch (level) {
    case AES_128:
        m_nk = 4;
        m_nr = 10;
        break;
    case AES_192:
        m_nk = 6;
        m_nr = 12;
        break;
    case AES_256:
    default:
        m_nk = 8;
        m_nr = 14;
        break;
    }
    m_keyLen = m_nk * 4;
    m_sbox = tables().sbox;
    m_invSbox = tables().invSbox;
    m_rcon = tables().rcon;
}

QByteArray QAESEncryption::expandKey(const QByteArray &key) const
{
    if (key.size() != m_keyLen)
        return QByteArray();
    const int words = m_nb * (m_nr + 1);
    QByteArray expanded(words * 4, '\0');
    auto *w = reinterpret_cast<quint8 *>(expanded.data());
    std::memcpy(w, key.constData(), size_t(m_keyLen));
    for (int i = m_nk; i < words; ++i) {
        quint8 temp[4];
        std::memcpy(temp, w + (i - 1) * 4, 4);
        if (i % m_nk == 0) {
            const quint8 first = temp[0];
            temp[0] = quint8(m_sbox[temp[1]] ^ m_rcon[i / m_nk]);
            temp[1] = m_sbox[temp[2]];
            temp[2] = m_sbox[temp[3]];
            temp[3] = m_sbox[first];
        } else if (m_nk > 6 && i % m_nk == 4) {
            for (quint8 &t : temp)
                t = m_sbox[t];
        }
        for (int j = 0; j < 4; ++j)
            w[i * 4 + j] = w[(i - m_nk) * 4 + j] ^ temp[j];
    }
    return expanded;
}

void QAESEncryption::addRoundKey(int round, const QByteArray &expandedKey)
{
    const auto *k = reinterpret_cast<const quint8 *>(expandedKey.constData()) + round * m_blocklen;
    for (int i = 0; i < m_blocklen; ++i)
        m_state[i] ^= k[i];
}

void QAESEncryption::subBytes()
{
    for (int i = 0; i < m_blocklen; ++i)
        m_state[i] = m_sbox[m_state[i]];
}

void QAESEncryption::invSubBytes()
{
    for (int i = 0; i < m_blocklen; ++i)
        m_state[i] = m_invSbox[m_state[i]];
}

// The state is column-major: byte r of column c is m_state[r + 4 * c].
void QAESEncryption::shiftRows()
{
    quint8 old[16];
    std::memcpy(old, m_state, 16);
    for (int r = 1; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            m_state[r + 4 * c] = old[r + 4 * ((c + r) % 4)];
}

void QAESEncryption::invShiftRows()
{
    quint8 old[16];
    std::memcpy(old, m_state, 16);
    for (int r = 1; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            m_state[r + 4 * ((c + r) % 4)] = old[r + 4 * c];
}

void QAESEncryption::mixColumns()
{
    for (int c = 0; c < 4; ++c) {
        quint8 *col = m_state + 4 * c;
        const quint8 a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
        col[0] = gmul(a0, 2) ^ gmul(a1, 3) ^ a2 ^ a3;
        col[1] = a0 ^ gmul(a1, 2) ^ gmul(a2, 3) ^ a3;
        col[2] = a0 ^ a1 ^ gmul(a2, 2) ^ gmul(a3, 3);
        col[3] = gmul(a0, 3) ^ a1 ^ a2 ^ gmul(a3, 2);
    }
}

void QAESEncryption::invMixColumns()
{
    for (int c = 0; c < 4; ++c) {
        quint8 *col = m_state + 4 * c;
        const quint8 a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
        col[0] = gmul(a0, 14) ^ gmul(a1, 11) ^ gmul(a2, 13) ^ gmul(a3, 9);
        col[1] = gmul(a0, 9) ^ gmul(a1, 14) ^ gmul(a2, 11) ^ gmul(a3, 13);
        col[2] = gmul(a0, 13) ^ gmul(a1, 9) ^ gmul(a2, 14) ^ gmul(a3, 11);
        col[3] = gmul(a0, 11) ^ gmul(a1, 13) ^ gmul(a2, 9) ^ gmul(a3, 14);
    }
}

void QAESEncryption::cipher(const QByteArray &expandedKey, quint8 *block)
{
    m_state = block;
    addRoundKey(0, expandedKey);
    for (int round = 1; round < m_nr; ++round) {
        subBytes();
        shiftRows();
        mixColumns();
        addRoundKey(round, expandedKey);
    }
    subBytes();
    shiftRows();
    addRoundKey(m_nr, expandedKey);
    m_state = nullptr;
}

void QAESEncryption::invCipher(const QByteArray &expandedKey, quint8 *block)
{
    m_state = block;
    addRoundKey(m_nr, expandedKey);
    for (int round = m_nr - 1; round > 0; --round) {
        invShiftRows();
        invSubBytes();
        addRoundKey(round, expandedKey);
        invMixColumns();
    }
    invShiftRows();
    invSubBytes();
    addRoundKey(0, expandedKey);
    m_state = nullptr;
}

bool QAESEncryption::checkInput(const QByteArray &key, const QByteArray &iv) const
{
    if (key.size() != m_keyLen)
        return false;
    return m_mode == ECB || iv.size() == m_blocklen;
}

QByteArray QAESEncryption::padding(int length, Padding padding)
{
    const int fill = (16 - length % 16) % 16;
    switch (padding) {
    case ZERO:
        return QByteArray(fill, '\0');
    case PKCS7: {
        const int count = fill == 0 ? 16 : fill;
        return QByteArray(count, char(count));
    }
    case ISO:
    default:
        if (fill == 0)
            return QByteArray();
        return QByteArray(1, char(0x80)) + QByteArray(fill - 1, '\0');
    }
}

QByteArray QAESEncryption::encode(const QByteArray &rawText, const QByteArray &key, const QByteArray &iv)
{
    if (!checkInput(key, iv))
        return QByteArray();
    return crypt(true, rawText + padding(rawText.size(), m_padding), key, iv);
}

QByteArray QAESEncryption::decode(const QByteArray &rawText, const QByteArray &key, const QByteArray &iv)
{
    if (!checkInput(key, iv) || rawText.size() % m_blocklen != 0)
        return QByteArray();
    return crypt(false, rawText, key, iv);
}

QByteArray QAESEncryption::crypt(bool encrypting, QByteArray data, const QByteArray &key, const QByteArray &iv)
{
    const QByteArray expandedKey = expandKey(key);
    auto *bytes = reinterpret_cast<quint8 *>(data.data());
    quint8 chain[16] = {};
    if (m_mode != ECB)
        std::memcpy(chain, iv.constData(), 16);
    auto xorChain = [&chain](quint8 *block) {
        for (int i = 0; i < 16; ++i)
            block[i] ^= chain[i];
    };

    for (int at = 0; at < data.size(); at += m_blocklen) {
        quint8 *block = bytes + at;
        quint8 input[16];
        std::memcpy(input, block, 16);
        switch (m_mode) {
        case ECB:
            encrypting ? cipher(expandedKey, block) : invCipher(expandedKey, block);
            break;
        case CBC:
            if (encrypting) {
                xorChain(block);
                cipher(expandedKey, block);
                std::memcpy(chain, block, 16);
            } else {
                invCipher(expandedKey, block);
                xorChain(block);
                std::memcpy(chain, input, 16);
            }
            break;
        case CFB: // the ciphertext feeds back either way
            cipher(expandedKey, chain);
            xorChain(block);
            std::memcpy(chain, encrypting ? block : input, 16);
            break;
        case OFB: // the key stream feeds back; it does not depend on the data
            cipher(expandedKey, chain);
            xorChain(block);
            break;
        }
    }
    return data;
}

QByteArray QAESEncryption::removePadding(const QByteArray &rawText, Padding padding)
{
    QByteArray out = rawText;
    switch (padding) {
    case ZERO:
        while (!out.isEmpty() && out.endsWith('\0'))
            out.chop(1);
        return out;
    case PKCS7: {
        if (out.isEmpty())
            return out;
        const int count = quint8(out.at(out.size() - 1));
        // A count of 0, above one block or beyond the data is not padding at all.
        if (count == 0 || count > 16 || count > out.size())
            return out;
        out.chop(count);
        return out;
    }
    case ISO:
    default: {
        int at = out.size() - 1;
        while (at >= 0 && out.at(at) == '\0')
            --at;
        if (at >= 0 && quint8(out.at(at)) == 0x80)
            out.truncate(at);
        return out;
    }
    }
}
