#include "ui/wishlistcipher.h"

#include <openssl/evp.h>

#include <memory>

namespace WishlistCipher {

namespace {

struct ContextFree
{
    void operator()(EVP_CIPHER_CTX *ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

// Whole blocks through AES-256-CBC, either way; empty on any failure.
QByteArray crypt(bool encrypting, const QByteArray &data, const QByteArray &key, const QByteArray &iv)
{
    if (key.size() != kKeyBytes || iv.size() != kBlockBytes || data.size() % kBlockBytes != 0)
        return {};
    if (data.isEmpty())
        return {};
    const std::unique_ptr<EVP_CIPHER_CTX, ContextFree> ctx(EVP_CIPHER_CTX_new());
    const auto *k = reinterpret_cast<const unsigned char *>(key.constData());
    const auto *v = reinterpret_cast<const unsigned char *>(iv.constData());
    if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, k, v, encrypting ? 1 : 0) != 1
        || EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1)
        return {};
    QByteArray out(data.size(), Qt::Uninitialized);
    auto *o = reinterpret_cast<unsigned char *>(out.data());
    int written = 0;
    int last = 0;
    if (EVP_CipherUpdate(ctx.get(), o, &written, reinterpret_cast<const unsigned char *>(data.constData()),
                         data.size()) != 1
        || EVP_CipherFinal_ex(ctx.get(), o + written, &last) != 1 || written + last != data.size())
        return {};
    return out;
}

} // namespace

QByteArray padding(int length)
{
    const int rest = length % kBlockBytes;
    if (rest == 0)
        return {};
    return char(0x80) + QByteArray(kBlockBytes - rest - 1, '\0');
}

QByteArray removePadding(const QByteArray &padded)
{
    int i = padded.size() - 1;
    while (i >= 0 && padded.at(i) == '\0')
        --i;
    if (i >= 0 && quint8(padded.at(i)) == 0x80)
        return padded.left(i);
    return padded;
}

QByteArray encrypt(const QByteArray &plain, const QByteArray &key, const QByteArray &iv)
{
    return crypt(true, plain + padding(plain.size()), key, iv);
}

QByteArray decrypt(const QByteArray &cipher, const QByteArray &key, const QByteArray &iv)
{
    return removePadding(crypt(false, cipher, key, iv));
}

} // namespace WishlistCipher
