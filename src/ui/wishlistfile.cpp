#include "ui/wishlistfile.h"

#include "live/watchlist.h"
#include "ui/wishlistcipher.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QTextCodec>

namespace WishlistFile {

namespace {

const char kKeyPassphrase[] = "370915264801735926418";
const char kIvPassphrase[] = "R73518T4096w358p6047C9";

bool isValidUtf8(const QByteArray &bytes)
{
    QTextCodec *codec = QTextCodec::codecForName("UTF-8");
    QTextCodec::ConverterState state;
    codec->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
}

// One side of the "#": an empty side is an empty list, anything else keeps empty parts
// so that a stray comma is seen (and refused) rather than silently dropped.
QStringList splitList(const QString &side)
{
    return side.isEmpty() ? QStringList() : side.split(QLatin1Char(','), Qt::KeepEmptyParts);
}

} // namespace

const QByteArray &key()
{
    static const QByteArray k =
        QCryptographicHash::hash(QByteArray(kKeyPassphrase), QCryptographicHash::Sha256);
    return k;
}

const QByteArray &iv()
{
    static const QByteArray v = QCryptographicHash::hash(QByteArray(kIvPassphrase), QCryptographicHash::Md5);
    return v;
}

QByteArray plaintext(const QStringList &symbols, const QStringList &exchanges)
{
    return (symbols.join(QLatin1Char(',')) + QLatin1Char('#') + exchanges.join(QLatin1Char(','))).toUtf8();
}

QByteArray encrypt(const QStringList &symbols, const QStringList &exchanges)
{
    return WishlistCipher::encrypt(plaintext(symbols, exchanges), key(), iv());
}

bool decryptText(const QByteArray &file, QByteArray *text)
{
    if (file.isEmpty() || file.size() % 16 != 0 || file.size() > kMaxFileSize)
        return false;
    QByteArray plain = WishlistCipher::decrypt(file, key(), iv());
    const int zero = plain.indexOf('\0');
    if (zero >= 0)
        plain.truncate(zero);
    *text = plain;
    return true;
}

PathCheck checkLoadSource(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return PathCheck::Missing;
    if (!info.isFile())
        return PathCheck::NotRegularFile;
    if (info.size() > kMaxFileSize)
        return PathCheck::TooLarge;
    return PathCheck::Usable;
}

PathCheck checkSaveTarget(const QString &path, const QString &installRoot)
{
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return PathCheck::NotRegularFile;
    // Where the bytes would really land: the target itself when it exists (links
    // resolved), else its folder's real path with the new name.
    QString landing = info.exists() ? info.canonicalFilePath() : QString();
    if (landing.isEmpty()) {
        const QString folder = info.absoluteDir().canonicalPath();
        landing = (folder.isEmpty() ? info.absolutePath() : folder) + QLatin1Char('/') + info.fileName();
    }
    QString root = QDir(installRoot).canonicalPath();
    if (root.isEmpty())
        root = QDir::cleanPath(QDir(installRoot).absolutePath());
#ifdef Q_OS_WIN
    const Qt::CaseSensitivity cs = Qt::CaseInsensitive;
#else
    const Qt::CaseSensitivity cs = Qt::CaseSensitive;
#endif
    landing = QDir::cleanPath(landing);
    const QString rootSlash = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
    if (!root.isEmpty() && (landing.compare(root, cs) == 0 || landing.startsWith(rootSlash, cs)))
        return PathCheck::InsideInstallation;
    return PathCheck::Usable;
}

bool read(const QByteArray &file, const QStringList &knownExchanges, Watchlist *out)
{
    QByteArray bytes;
    if (!decryptText(file, &bytes) || !isValidUtf8(bytes))
        return false;
    const QStringList parts = QString::fromUtf8(bytes).split(QLatin1Char('#'), Qt::KeepEmptyParts);
    // A file is taken whole or not at all: one unusable entry means it is no wishlist.
    ::Watchlist::Repair repair =
        ::Watchlist::usableEntries(splitList(parts.first()), splitList(parts.last()), knownExchanges);
    if (!repair.dropped.isEmpty())
        return false;
    out->symbols = std::move(repair.kept.symbols);
    out->exchanges = std::move(repair.kept.exchanges);
    return true;
}

} // namespace WishlistFile
