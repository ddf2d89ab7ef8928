#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The wishlist file: the watchlist as "symbols#exchanges" (both lists joined with ","),
// UTF-8, encrypted with AES-256-CBC under a key and IV fixed for every installation, with
// the padding rule of WishlistCipher (0x80 and zeros, no block added to full blocks). No header, no checksum: the file is the
// ciphertext and nothing else.
namespace WishlistFile {

// Larger files are refused unread: a watchlist of any allowed size is a few kilobytes.
constexpr qint64 kMaxFileSize = 1024 * 1024;

// SHA-256 of the key passphrase and MD5 of the IV passphrase, computed once.
const QByteArray &key();
const QByteArray &iv();

// The UTF-8 text before padding.
QByteArray plaintext(const QStringList &symbols, const QStringList &exchanges);
// The file's bytes for a watchlist.
QByteArray encrypt(const QStringList &symbols, const QStringList &exchanges);

// The decrypted text of a file (padding removed, ended at the first zero byte); false when
// the bytes cannot be a wishlist file at all (empty, not whole blocks, too large).
bool decryptText(const QByteArray &file, QByteArray *text);

// What a picked path may be used for, checked before it is opened: opening a FIFO would
// block the window for good, a device node or a directory is no list file, and the
// installation's own files (user ID, format files, the charting database) are not the
// user's to overwrite.
enum class PathCheck {
    Usable,
    Missing,            // load only: nothing there
    NotRegularFile,     // a FIFO, socket, device node or folder (links are followed)
    TooLarge,           // load only: over kMaxFileSize
    InsideInstallation, // save only: the target lies in the installation root
};

// A file the user picked to load. Sizes come from the file system, so nothing is opened.
PathCheck checkLoadSource(const QString &path);
// A file the user picked to save to; `installRoot` is the installation root. A target
// that is a link counts where it points to.
PathCheck checkSaveTarget(const QString &path, const QString &installRoot);

struct Watchlist
{
    QStringList symbols;
    QStringList exchanges;
};

// Reads a file's bytes into a watchlist. The content is checked (the watchlist's entry
// rules, ::Watchlist::usableEntries) before anything is taken from it, because a file made
// with other parameters (or no wishlist at all) decrypts to arbitrary bytes: false unless
// the text is valid UTF-8, both lists have the same length, every exchange code is one of
// `knownExchanges`, and every symbol is non-empty, printable and listed once. An empty side of the "#" is an empty list, so a saved empty watchlist
// loads as an empty one.
bool read(const QByteArray &file, const QStringList &knownExchanges, Watchlist *out);

} // namespace WishlistFile
