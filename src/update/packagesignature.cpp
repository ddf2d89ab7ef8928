#include "update/packagesignature.h"

#include <QFile>

#include <openssl/evp.h>

#include <memory>

#ifndef VANTREL_UPDATE_PUBKEY
#define VANTREL_UPDATE_PUBKEY ""
#endif

namespace PackageSignature {

namespace {

struct PkeyFree
{
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
struct MdCtxFree
{
    void operator()(EVP_MD_CTX *c) const { EVP_MD_CTX_free(c); }
};

} // namespace

QByteArray decodeKey(const QString &text)
{
    const QByteArray t = text.trimmed().toLatin1();
    static const QByteArray hexDigits("0123456789abcdefABCDEF");
    if (t.size() == 2 * kPublicKeyBytes) {
        bool hex = true;
        for (const char c : t)
            hex = hex && hexDigits.contains(c);
        if (hex)
            return QByteArray::fromHex(t);
    }
    const auto decoded = QByteArray::fromBase64Encoding(t, QByteArray::AbortOnBase64DecodingErrors);
    if (decoded && decoded.decoded.size() == kPublicKeyBytes)
        return decoded.decoded;
    return QByteArray();
}

QByteArray trustedKey()
{
    static const QByteArray key = decodeKey(QString::fromLatin1(VANTREL_UPDATE_PUBKEY));
    return key;
}

bool verify(const uchar *data, qint64 size, const QByteArray &signature,
            const QByteArray &publicKey, QString *why)
{
    if (publicKey.size() != kPublicKeyBytes) {
        *why = QStringLiteral("this build has no update key");
        return false;
    }
    if (signature.size() != kSignatureBytes) {
        *why = QStringLiteral("the signature is malformed (%1 bytes, %2 expected)")
                   .arg(signature.size())
                   .arg(kSignatureBytes);
        return false;
    }
    std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char *>(publicKey.constData()),
        size_t(publicKey.size())));
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!key || !ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
        *why = QStringLiteral("the signature check could not be prepared");
        return false;
    }
    static const unsigned char nothing = 0;
    const int rc = EVP_DigestVerify(ctx.get(),
                                    reinterpret_cast<const unsigned char *>(signature.constData()),
                                    size_t(signature.size()), data ? data : &nothing, size_t(size));
    if (rc != 1) {
        *why = QStringLiteral("the signature does not match the package");
        return false;
    }
    return true;
}

bool verifyFile(const QString &path, const QByteArray &signature, const QByteArray &publicKey,
                QString *why)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("the package cannot be read back");
        return false;
    }
    const qint64 size = file.size();
    if (size <= 0)
        return verify(nullptr, 0, signature, publicKey, why);
    // Ed25519 signs the whole message in one pass; mapping keeps a large package out of
    // the heap.
    uchar *mapped = file.map(0, size);
    if (!mapped) {
        *why = QStringLiteral("the package cannot be read back");
        return false;
    }
    const bool ok = verify(mapped, size, signature, publicKey, why);
    file.unmap(mapped);
    return ok;
}

} // namespace PackageSignature
