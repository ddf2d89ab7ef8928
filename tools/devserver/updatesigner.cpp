#include "updatesigner.h"

#include <openssl/evp.h>

#include <memory>

namespace UpdateSigner {

namespace {

// Private seeds (RFC 8032 form). Public halves: ac6767b1...9d08 and c5a6a6d8...4726.
const char kTestSeed[] = "e7d35a415348bc7d2e97747086e606bde79be7d84242403dadc0d5e438ac71d0";
const char kOtherSeed[] = "5637422a3092767b83f9c3ea94f7c6d5def02b758cbc78897692f258278fe9cf";

} // namespace

QByteArray sign(const QByteArray &message, Key key)
{
    const QByteArray seed = QByteArray::fromHex(key == Key::Test ? kTestSeed : kOtherSeed);
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(
        EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr,
                                     reinterpret_cast<const unsigned char *>(seed.constData()),
                                     size_t(seed.size())),
        &EVP_PKEY_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!pkey || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) != 1)
        return QByteArray();
    QByteArray sig(64, '\0');
    size_t len = size_t(sig.size());
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char *>(sig.data()), &len,
                       reinterpret_cast<const unsigned char *>(message.constData()),
                       size_t(message.size()))
        != 1)
        return QByteArray();
    sig.resize(int(len));
    return sig;
}

} // namespace UpdateSigner
