#include "ui/wishlistio.h"

#include <QDebug>
#include <QFile>
#include <QSaveFile>

namespace WishlistFile {

QString saveTo(const QString &path, const QString &installRoot, const QStringList &symbols,
               const QStringList &exchanges)
{
    const QString openFailed = QStringLiteral("Failed to open file for writing");
    switch (checkSaveTarget(path, installRoot)) {
    case PathCheck::NotRegularFile:
        qDebug().noquote() << "Wishlist not saved: the target is not a regular file:" << path;
        return openFailed;
    case PathCheck::InsideInstallation:
        qDebug().noquote() << "Wishlist not saved: the target lies in the installation folder:" << path;
        return QStringLiteral("A wishlist cannot be saved inside the installation folder.\n"
                              "Please choose another folder.");
    default:
        break;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return openFailed;
    file.write(encrypt(symbols, exchanges));
    if (!file.commit())
        return QStringLiteral("Failed to write file");
    qDebug().noquote() << "Wishlist saved:" << symbols.size() << "symbols to" << path;
    return QString();
}

QString loadFrom(const QString &path, const QStringList &knownExchanges, Watchlist *list)
{
    const QString tooLarge = QStringLiteral("This file is too large to be a wishlist file.");
    const PathCheck check = checkLoadSource(path);
    if (check == PathCheck::TooLarge) {
        qDebug().noquote() << "Wishlist file refused, over" << kMaxFileSize << "bytes:" << path;
        return tooLarge;
    }
    QFile file(path);
    if (check != PathCheck::Usable || !file.open(QIODevice::ReadOnly)) {
        if (check == PathCheck::NotRegularFile)
            qDebug().noquote() << "Wishlist file refused, not a regular file:" << path;
        return QStringLiteral("Failed to open file for reading");
    }
    // One byte past the limit is enough to know the file is too large (it may have grown).
    const QByteArray bytes = file.read(kMaxFileSize + 1);
    file.close();
    if (bytes.size() > kMaxFileSize)
        return tooLarge;
    if (!read(bytes, knownExchanges, list)) {
        qDebug() << "Wishlist file refused:" << path << bytes.size() << "bytes";
        return QStringLiteral("This file is not a wishlist file.");
    }
    return QString();
}

} // namespace WishlistFile
