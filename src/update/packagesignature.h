#pragma once

#include <QByteArray>
#include <QString>

// Detached Ed25519 signatures of update packages. The vendor signs the package bytes with
// its private key; the matching 32-byte public key is fixed when the program is built
// (CMake cache variable VANTREL_UPDATE_PUBKEY, hex or base64), so neither the server
// record nor anyone on the network path can name a package of their own.
namespace PackageSignature {

constexpr int kSignatureBytes = 64;
constexpr int kPublicKeyBytes = 32;

// The key this build trusts, decoded; empty when the build carries no usable key.
QByteArray trustedKey();

// Decodes 64 hex digits or the base64 form of 32 bytes (surrounding blanks allowed).
// Empty for anything else.
QByteArray decodeKey(const QString &text);

// True when `signature` is a valid Ed25519 signature of the file's whole content under
// `publicKey`. On false, *why says what was wrong in words a user can pass on.
bool verifyFile(const QString &path, const QByteArray &signature, const QByteArray &publicKey,
                QString *why);

// The same for bytes held in memory.
bool verify(const uchar *data, qint64 size, const QByteArray &signature,
            const QByteArray &publicKey, QString *why);

} // namespace PackageSignature
