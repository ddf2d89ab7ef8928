#include "live/feedaddress.h"

namespace FeedAddress {

QString problem(const QString &link, QUrl *url)
{
    const QString text = link.trimmed();
    if (text.isEmpty() || text.compare(QLatin1String("NULL"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("the server gave no address for the live feed");
    const QUrl parsed(text, QUrl::TolerantMode);
    const QString scheme = parsed.scheme().toLower();
    if (!parsed.isValid())
        return QStringLiteral("the live feed address \"%1\" cannot be read").arg(text);
    if (scheme != QLatin1String("ws") && scheme != QLatin1String("wss"))
        return QStringLiteral("the live feed address \"%1\" is not a WebSocket address").arg(text);
    if (parsed.host().isEmpty())
        return QStringLiteral("the live feed address \"%1\" names no server").arg(text);
    if (parsed.port() == 0)
        return QStringLiteral("the live feed address \"%1\" names port 0").arg(text);
    if (url)
        *url = parsed;
    return QString();
}

} // namespace FeedAddress
