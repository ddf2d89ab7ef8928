#include "live/pollingrequest.h"

namespace {

QString build(const PollingEndpoints &e, const QString &path, const QString &userId,
              const QString &send)
{
    return e.scheme + QStringLiteral("://") + path + QStringLiteral("?uid=") + userId
           + QStringLiteral("&send=") + send + QStringLiteral("&hash=") + e.hash;
}

PollingRequest make(const QString &text, int method)
{
    PollingRequest r;
    r.text = text;
    r.url = QUrl(text, QUrl::TolerantMode);
    r.method = method;
    return r;
}

} // namespace

QString PollingRequest::joinSymbols(const QStringList &symbols)
{
    QString joined = symbols.join(QLatin1Char('|'));
    joined.replace(QLatin1Char('&'), QLatin1String("%26"));
    return joined;
}

PollingRequest PollingRequest::initial(const PollingEndpoints &endpoints, const QString &userId)
{
    // A fixed starter set: the server answers something useful before the watchlist exists.
    static const QString starter = QStringLiteral(
        "ACC-I%7CADANIENT-I%7CADANIPORTS-I%7CADANIPOWER-I%7CAMARAJABAT-I");
    return make(build(endpoints, endpoints.networkGet, userId, starter), Get);
}

PollingRequest PollingRequest::forWatchlist(int dataMode, const PollingEndpoints &endpoints,
                                            const QString &userId, const QStringList &symbols)
{
    const QString send = joinSymbols(symbols);
    if (dataMode == 1) {
        const QString get = build(endpoints, endpoints.liveGet, userId, send);
        if (get.size() < kMaxGetLength)
            return make(get, Get);
        return make(build(endpoints, endpoints.livePost, userId, send), Post);
    }
    // The length test for the other modes is made on the POST path without the uid pair.
    const QString probe = endpoints.scheme + QStringLiteral("://") + endpoints.networkPost
                          + QStringLiteral("?send=") + send + QStringLiteral("&hash=")
                          + endpoints.hash;
    if (probe.size() < kMaxGetLength)
        return make(build(endpoints, endpoints.networkGet, userId, send), Get);
    return make(build(endpoints, endpoints.networkPost, userId, send), Post);
}
