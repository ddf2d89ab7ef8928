#pragma once

#include <QByteArray>
#include <QDate>
#include <QMap>
#include <QStringList>
#include <QVector>

// Deterministic history for the HTTP side: the same request always gives the same bytes,
// so tests can count what arrives.
namespace BackfillData {

// One-minute bars per weekday: the session runs 09:15 to 15:29 (bar start times).
constexpr int kBarsPerDay = 375;

// Segment code -> symbols. The built-in list is the demo catalogue of tools/dbseed/demo.sql.
using Catalogue = QMap<QString, QStringList>;
Catalogue demoCatalogue();
// A file of "SEGMENT,SYMBOL" lines (blank lines and lines starting with '#' ignored).
bool loadCatalogue(const QString &path, Catalogue *out, QString *why);
// The segment a symbol belongs to, "CASH" when the catalogue does not know it.
QString segmentOf(const Catalogue &catalogue, const QString &symbol);

// The feed names of the end-of-day request (CASH, FUTURE, COMM, SPOT) and the nine
// segment codes themselves; empty for anything else.
QString segmentOfFeed(const QString &feed);

// The newest `count` weekdays up to and including `end`, oldest first.
QVector<QDate> weekdaysBack(const QDate &end, int count);
// Period 1 "recent": the last 5 weekdays; 2 "currentYear": every weekday of this year so
// far; 3 "pastYears": every weekday of the two years before this one.
QVector<QDate> eodPeriod(int period, const QDate &today);

// "segment,symbol,YYYYMMDD,HH:MM:SS,open,high,low,close,volume,openint" lines.
QByteArray intradayBars(const QString &segment, const QString &symbol, int days, const QDate &today);
// "segment,symbol,YYYYMMDD,open,high,low,close,volume,openint" lines.
QByteArray eodBars(const QString &segment, const QString &symbol, const QVector<QDate> &days);

} // namespace BackfillData
