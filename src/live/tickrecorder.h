#pragma once

#include "live/symbolmapping.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <QString>

// Turns tick records from the feed into eight-field text lines, stores each batch, and
// builds the file AmiBroker imports from recorded lines.
//
// Tick line: "type,symbol,ltd,ltt,price,qty,oi,vol\n", UTF-8, no quoting, no spaces.
namespace TickRecorder {

// Price text: printf "%g" with precision 6, computed on the binary value (123456.7 ->
// "123457", 1234567 -> "1.23457e+06", 0.0001234 -> "0.0001234"; 24567.35 is stored as
// 24567.3499999... and so gives "24567.3"). Independent of the process locale.
QString formatPrice(double price);
// The same text through the C library's printf, for toolchains whose library has no
// std::to_chars for double (libstdc++ before GCC 11); formatPrice uses it there.
QString formatPriceWithPrintf(double price);

// Nearest integer with halves rounded toward positive infinity (2.5 -> 3, -2.5 -> -2,
// -2.6 -> -3). NaN, infinities and values outside the signed 64-bit range give 0: they
// can only come from a broken feed and must not turn into a garbage number in AmiBroker.
qint64 roundQuantity(double value);

// One tick line with its trailing line feed. Text fields are written as given.
QByteArray formatTickLine(const QString &type, const QString &symbol, const QString &ltd,
                          const QString &ltt, double ltp, double ltq, double oi, double vol);

// The line for one record, or an empty array when the record does not qualify: symbol
// missing or blank after trimming; "type", "symbol", "ltd" or "ltt" holding a comma, a
// line break or another control character (it would forge or shift fields); or "ltp" (number or numeric string) not convertible,
// not finite, or not greater than 0. "ltq", "oi", "vol" that are neither a number nor a
// numeric string read as 0; "type", "ltd", "ltt" that are not strings read as empty.
QByteArray recordLine(const QJsonObject &record);

// The lines of every qualifying record, concatenated in record order. Elements that are
// not objects are read as empty objects (and so skipped).
QByteArray recordLines(const QJsonArray &records);
// The same, keeping only records whose trimmed symbol is one of `symbols`.
QByteArray recordLines(const QJsonArray &records, const QSet<QString> &symbols);

// Stores one non-empty batch: puts the bytes into the latest batch buffer and appends them
// to the pending batches, and has the tick file replaced with them behind the caller's
// back (a writer thread replaces it through "<path>.tmp" and a rename, with the newest
// batch, at most every kTickFileGapMs), so the feed thread never waits on a disk. An empty
// batch changes nothing. The caller emits the ready signal.
constexpr int kTickFileGapMs = 50;
void storeBatch(const QString &tickFilePath, const QByteArray &lines);
// Replaces the tick file with the newest stored batch now, in the caller's thread, when the
// writer has not yet (a feed that stops). True when the tick file holds that batch.
bool writeTickFileNow();

// The import lines built from tick text: each line trimmed; empty lines, lines containing
// "Failed" in any letter case and lines with fewer than 8 comma-separated parts are
// skipped; parts are trimmed; the symbol is replaced when it is an old name in the map
// (exact, case-sensitive); the price (part 5) must convert to a finite value > 0 and is
// rewritten in the price form; the quantity (part 6) is rounded (not convertible = 0);
// parts 7 and 8 are copied and anything after them dropped.
QByteArray importLines(const QByteArray &tickText, const SymbolMap &map);
// The same for lines read back from the disk, which are taken only in the exact form the
// recorder writes: eight fields, no control character, the symbol one of `symbols`, the
// quantity fields whole numbers. *refused counts the lines left out.
QByteArray importLines(const QByteArray &tickText, const SymbolMap &map, const QSet<QString> &symbols,
                       int *refused);

// Writes the import lines of tickText to importPath (text mode, truncated), creating its
// folder when missing; with `onlySymbols` the lines are checked as read back from the disk
// (see above, *refused counts what was left out). False when the import file cannot be
// opened or not every byte could be written. *linesBytes, when given, receives the size of
// the lines written, so a caller need not read the file back to learn whether it is empty.
bool buildImportFile(const QByteArray &tickText, const QString &importPath,
                     const SymbolMap &map, qint64 *linesBytes = nullptr,
                     const QSet<QString> *onlySymbols = nullptr, int *refused = nullptr);

// The same from the tick file on disk. False (and the import file untouched) when the
// tick file cannot be opened; false when the import file cannot be opened.
bool buildImportFile(const QString &tickFilePath, const QString &importPath,
                     const SymbolMap &map);

} // namespace TickRecorder
