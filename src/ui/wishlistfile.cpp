#include "ui/wishlistfile.h"

#include "ui/qaesencryption.h"

#include <QCryptographicHash>
#include <QSet>
#include <QTextCodec>

namespace WishlistFile {

namespace {

const char kKeyPassphrase[] = "370915264801735926418";
const char kIvPassphrase[] = "R73518T4096w358p6047C9";

constexpr QAESEncryption::Padding kPadding = QAESEncryption::ISO;

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

bool isUsableSymbol(const QString &symbol)
{
    if (symbol.isEmpty())
        return false;
    const QVector<uint> codePoints = symbol.toUcs4();
    for (uint c : codePoints) {
        if (!QChar::isPrint(c))
            return false;
    }
    return true;
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
    QAESEncryption aes(QAESEncryption::AES_256, QAESEncryption::CBC, kPadding);
    return aes.encode(plaintext(symbols, exchanges), key(), iv());
}

bool decryptText(const QByteArray &file, QByteArray *text)
{
    if (file.isEmpty() || file.size() % 16 != 0 || file.size() > kMaxFileSize)
        return false;
    QAESEncryption aes(QAESEncryption::AES_256, QAESEncryption::CBC, kPadding);
    QByteArray plain = QAESEncryption::removePadding(aes.decode(file, key(), iv()), kPadding);
    const int zero = plain.indexOf('\0');
    if (zero >= 0)
        plain.truncate(zero);
    *text = plain;
    return true;
}

bool read(const QByteArray &file, const QStringList &knownExchanges, Watchlist *out)
{
    QByteArray bytes;
    if (!decryptText(file, &bytes) || !isValidUtf8(bytes))
        return false;
    const QStringList parts = QString::fromUtf8(bytes).split(QLatin1Char('#'), Qt::KeepEmptyParts);
    Watchlist list{splitList(parts.first()), splitList(parts.last())};

    if (list.symbols.size() != list.exchanges.size())
        return false;
    QSet<QString> seen;
    for (int i = 0; i < list.symbols.size(); ++i) {
        const QString &symbol = list.symbols.at(i);
        if (!knownExchanges.contains(list.exchanges.at(i)) || !isUsableSymbol(symbol)
            || seen.contains(symbol))
            return false;
        seen.insert(symbol);
    }
    *out = list;
    return true;
}

} // namespace WishlistFile
