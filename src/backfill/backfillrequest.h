#pragma once

#include <QString>

// Request URLs and progress texts of the backfill flows. The pieces of a URL come from
// the server (paths, date, key) and from the user's settings (symbols, mapping); every
// piece is checked first, and one that could break the URL or reach another place is
// refused: the URL is then empty and a debug line says why.
namespace BackfillRequest {

// txtBackfillPath1Min when slow is set and it is not empty, else txtBackfillPath.
QString chooseBackfillPath(bool slow, const QString &txtBackfillPath, const QString &txtBackfillPath1Min);

// "http://" + path + "?uid=" + user ID + "&hash=" + key + "&d=" + days + "&send=" + symbol,
// the server symbol percent-encoded (every "&" sent as "%26", a blank as "%20", ...).
// Empty when a piece is refused; why then names the piece ("unusable backfill path").
QString intradayUrl(const QString &backfillPath, const QString &userId, const QString &hash,
                    const QString &days, const QString &serverSymbol, QString *why = nullptr);

// "backfill_%1.zip" with the user ID's white space collapsed, trimmed and upper-cased.
QString downloadFileName(const QString &userId);

// The symbol named by the last "send=" of a request URL, percent-decoded ("%26" back to
// "&"); empty when there is none.
QString symbolOfUrl(const QString &url);

// Bar value of an intraday progress text ("45.3%"): rounded half up, clamped to 0..100,
// 0 when it is no number.
int intradayProgressValue(const QString &progress);
// "(SYMBOL) speed", or the speed alone without a symbol; an empty speed shows "--".
QString intradayProgressText(const QString &symbol, const QString &speed);

// Bar value of an end-of-day progress text: the number before the first "%", rounded;
// -1 when it is no number (the bar then keeps its value).
int eodProgressValue(const QString &progress);

// The data server's fixed address: VANTREL_DATA_SERVER when set, else the build's value.
QString dataServerAddress();

// address + "/backfillS21/1/" + date + "/" + oneDayPath + "/"; empty when a piece is refused.
QString oneDayUrl(const QString &address, const QString &serverDate, const QString &oneDayPath);

// FEED-<period>.zip, period 1 (recent), 2 (currentYear) or 3 (pastYears).
QString eodRequestName(const QString &feed, int period);

// The end-of-day URL: every "/1/" of the stored one-day URL becomes "/e/" (in the stored
// copy, so later requests find it in place), then the request name is appended.
QString eodUrl(QString *storedOneDayUrl, const QString &requestName);

} // namespace BackfillRequest
