#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

// The HTTP polling request the main window keeps ready for the watchlist. Pure URL
// building: which endpoint, GET or POST, and the query with uid, send and hash.
struct PollingEndpoints
{
    QString scheme = QStringLiteral("http");
    QString liveGet;     // LiveDataPathGet, data mode 1
    QString livePost;    // LiveDataPathPost, data mode 1
    QString networkGet;  // NetworkDataPathGet, other modes and the first request
    QString networkPost; // NetworkDataPathPost, other modes
    QString hash;        // SecureKey, sent unchanged
};

struct PollingRequest
{
    enum Method { Get = 0, Post = 1 }; // the backfill downloader's method numbers

    QString text;        // the request exactly as built
    QUrl url;            // the same text, parsed tolerantly
    int method = Get;

    // Requests at or beyond this length go to the POST endpoint.
    static constexpr int kMaxGetLength = 1400;

    // The first request, made on connect before the watchlist is known.
    static PollingRequest initial(const PollingEndpoints &endpoints, const QString &userId);

    // The request for the watchlist under the given "Data Mode".
    static PollingRequest forWatchlist(int dataMode, const PollingEndpoints &endpoints,
                                       const QString &userId, const QStringList &symbols);

    // Symbols joined with "|", every "&" sent as "%26" (the separators stay as they are).
    static QString joinSymbols(const QStringList &symbols);
};
