#pragma once

#include <QByteArray>

// Signs update packages the way the vendor does: a detached Ed25519 signature of the
// package bytes. The keys here are TEST keys, public in this repository: the test build
// trusts the first one's public half (VANTREL_TEST_UPDATE_PUBKEY in CMakeLists.txt); the
// second stands for "somebody else's key".
namespace UpdateSigner {

enum class Key { Test, Other };

// 64 signature bytes, or empty when OpenSSL refuses.
QByteArray sign(const QByteArray &message, Key key = Key::Test);

} // namespace UpdateSigner
