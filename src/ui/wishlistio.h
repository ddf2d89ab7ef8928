#pragma once

#include "ui/wishlistfile.h"

#include <QString>
#include <QStringList>

// Saving and loading a wishlist file at a path the user picked, every check on the way
// included. Each returns the text the user is shown when it did not work, empty when it did.
namespace WishlistFile {

// Written beside the target and renamed over it at the end, so a failed write never leaves
// the user with a truncated list in place of the old one. A FIFO or device node is never
// replaced, and nothing inside `installRoot` (the program's own files) is written.
QString saveTo(const QString &path, const QString &installRoot, const QStringList &symbols,
               const QStringList &exchanges);

// Checked before it is opened (opening a FIFO for reading waits for a writer for ever),
// read up to one byte past the size cap, and taken only as a whole wishlist.
QString loadFrom(const QString &path, const QStringList &knownExchanges, Watchlist *list);

} // namespace WishlistFile
