#include "backfill/backfillrequest.h"

#include <QDebug>
#include <QRegularExpression>
#include <QStringList>
#include <QUrl>
#include <QtMath>

namespace BackfillRequest {

namespace {

bool hasControlOrSpace(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() <= 0x20 || c.unicode() == 0x7f || c.isSpace()
            || c.category() == QChar::Other_Control) // C1 controls (U+0080..U+009F)
            return true;
    }
    return false;
}

bool hasControl(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c.category() == QChar::Other_Control
            || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            return true;
    }
    return false;
}

bool hasDotDotSegment(const QString &path)
{
    const QStringList segments = path.split(QRegularExpression(QStringLiteral("[/\\\\]")));
    return segments.contains(QStringLiteral("..")) || segments.contains(QStringLiteral("."));
}

bool anyOf(const QString &text, const char *characters)
{
    for (const char *c = characters; *c; ++c) {
        if (text.contains(QLatin1Char(*c)))
            return true;
    }
    return false;
}

// A host-and-path from the server: no scheme, user part, query, fragment or escaping
// segment ("@" is refused as in the data server's address: "a@b" would send the request
// to b).
bool safePath(const QString &path)
{
    return !path.isEmpty() && !hasControlOrSpace(path) && !anyOf(path, "?#\\@")
           && !path.contains(QStringLiteral("://")) && !hasDotDotSegment(path);
}

bool isReachableUrl(const QString &url)
{
    const QUrl parsed(url, QUrl::TolerantMode);
    return parsed.isValid() && !parsed.host().isEmpty();
}

QString refuse(const char *what, const QString &value, QString *why = nullptr)
{
    qDebug().noquote() << "Backfill request refused: unusable" << what << value;
    if (why)
        *why = QStringLiteral("unusable %1").arg(QLatin1String(what));
    return QString();
}

} // namespace

QString chooseBackfillPath(bool slow, const QString &txtBackfillPath, const QString &txtBackfillPath1Min)
{
    return slow && !txtBackfillPath1Min.isEmpty() ? txtBackfillPath1Min : txtBackfillPath;
}

QString intradayUrl(const QString &backfillPath, const QString &userId, const QString &hash,
                    const QString &days, const QString &serverSymbol, QString *why)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,4}$"));
    // Each value ends where the next "&" starts: one may not contain it, nor start a
    // fragment. The symbol is percent-encoded instead, so any printable name can be asked
    // for ("&" goes as "%26").
    if (!safePath(backfillPath))
        return refuse("backfill path", backfillPath, why);
    if (userId.isEmpty() || hasControl(userId) || anyOf(userId, "&#"))
        return refuse("user ID", userId, why);
    if (hasControl(hash) || anyOf(hash, "&#"))
        return refuse("key", hash, why);
    if (!digits.match(days).hasMatch())
        return refuse("day count", days, why);
    if (serverSymbol.trimmed().isEmpty() || hasControl(serverSymbol)
        || QString::fromUtf8(serverSymbol.toUtf8()) != serverSymbol) // a lone surrogate
        return refuse("symbol", serverSymbol, why);
    const QString symbol = QString::fromLatin1(QUrl::toPercentEncoding(serverSymbol));
    const QString url = QStringLiteral("http") + QStringLiteral("://") + backfillPath
                        + QStringLiteral("?uid=") + userId + QStringLiteral("&hash=") + hash
                        + QStringLiteral("&d=") + days + QStringLiteral("&send=") + symbol;
    // A host or port that cannot be reached at all (for example "host:11b" or
    // "host:65536") would only make the downloader retry for ever.
    if (!isReachableUrl(url))
        return refuse("backfill path", backfillPath, why);
    return url;
}

QString downloadFileName(const QString &userId)
{
    return QStringLiteral("backfill_%1.zip").arg(userId.simplified().toUpper());
}

QString symbolOfUrl(const QString &url)
{
    const int at = url.lastIndexOf(QStringLiteral("send="));
    if (at < 0)
        return QString();
    const int from = at + 5;
    const int end = url.indexOf(QLatin1Char('&'), from);
    return QUrl::fromPercentEncoding(url.mid(from, end < 0 ? -1 : end - from).toUtf8());
}

int intradayProgressValue(const QString &progress)
{
    QString text = progress.trimmed();
    if (text.endsWith(QLatin1Char('%')))
        text.chop(1);
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || qIsNaN(value))
        return 0;
    return int(qBound(0.0, std::floor(value + 0.5), 100.0));
}

QString intradayProgressText(const QString &symbol, const QString &speed)
{
    QString speedText = speed.trimmed();
    if (speedText.isEmpty())
        speedText = QStringLiteral("--");
    return symbol.isEmpty() ? speedText : QStringLiteral("(%1) %2").arg(symbol, speedText);
}

int eodProgressValue(const QString &progress)
{
    const int percent = progress.indexOf(QLatin1Char('%'));
    bool ok = false;
    const double value = (percent < 0 ? progress : progress.left(percent)).toDouble(&ok);
    if (!ok || qIsNaN(value) || value < -1e9 || value > 1e9)
        return -1;
    return qRound(value);
}

QString dataServerAddress()
{
    const QString fromEnvironment = qEnvironmentVariable("VANTREL_DATA_SERVER").trimmed();
    QString address = fromEnvironment.isEmpty() ? QString::fromUtf8(VANTREL_DATA_SERVER_DEFAULT)
                                                : fromEnvironment;
    while (address.endsWith(QLatin1Char('/')))
        address.chop(1);
    return address;
}

QString oneDayUrl(const QString &address, const QString &serverDate, const QString &oneDayPath)
{
    static const QRegularExpression dateForm(QStringLiteral("^[0-9A-Za-z_-]{1,32}$"));
    static const QRegularExpression addressForm(QStringLiteral("^https?://[^/?#\\s\\\\@]+$"));
    if (hasControlOrSpace(address) || !addressForm.match(address).hasMatch() || !isReachableUrl(address))
        return refuse("data server address", address);
    if (!dateForm.match(serverDate).hasMatch())
        return refuse("server date", serverDate);
    if (!safePath(oneDayPath))
        return refuse("one-day path", oneDayPath);
    return address + QStringLiteral("/backfillS21/1/") + serverDate + QLatin1Char('/') + oneDayPath
           + QLatin1Char('/');
}

QString eodRequestName(const QString &feed, int period)
{
    return feed + QLatin1Char('-') + QString::number(period) + QStringLiteral(".zip");
}

QString eodUrl(QString *storedOneDayUrl, const QString &requestName)
{
    storedOneDayUrl->replace(QStringLiteral("/1/"), QStringLiteral("/e/"));
    return *storedOneDayUrl + requestName;
}

} // namespace BackfillRequest
