#pragma once

#include <QByteArray>

// AES-256-CBC of the wishlist file, through OpenSSL. The file's padding is its own: 0x80
// then zeros up to the block edge, and no extra block when the data already fills its last
// block (so the cipher runs with OpenSSL's padding off and the padding is done here).
namespace WishlistCipher {

constexpr int kBlockBytes = 16;
constexpr int kKeyBytes = 32;

// Pads and encrypts. Empty when the key is not 32 bytes or the IV not 16.
QByteArray encrypt(const QByteArray &plain, const QByteArray &key, const QByteArray &iv);
// Decrypts and removes the padding. Empty also when the input is not made of whole blocks.
QByteArray decrypt(const QByteArray &cipher, const QByteArray &key, const QByteArray &iv);

// The bytes encrypt() appends to data of the given length.
QByteArray padding(int length);
// Skips zero bytes backwards; when the byte reached is 0x80 cuts just before it, otherwise
// returns the input unchanged (a text that was never padded keeps its trailing zeros).
QByteArray removePadding(const QByteArray &padded);

} // namespace WishlistCipher
