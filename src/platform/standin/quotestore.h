#pragma once

#include "platform/standin/asciiimportformat.h"

#include <QPair>
#include <QString>
#include <QVector>
#include <functional>

// Read side of the quote store that the broker stand-in keeps inside a database folder
// ("<folder>/quotes.sqlite", table quotes(symbol, ts, open, high, low, close, volume,
// openint, stored_at) keyed by symbol and ts). Opens the file read-only, so it can look at a store
// that a running program is writing into.
class QuoteStore
{
public:
    QuoteStore();
    ~QuoteStore();
    QuoteStore(const QuoteStore &) = delete;
    QuoteStore &operator=(const QuoteStore &) = delete;

    static QString fileName(); // "quotes.sqlite"
    static QString pathIn(const QString &databaseFolder);

    // False (with errorString()) when the folder holds no store or it cannot be opened.
    bool open(const QString &databaseFolder);
    void close();
    bool isOpen() const { return !m_connection.isEmpty(); }
    QString errorString() const { return m_error; }

    // Every symbol with its number of quotes, ordered by symbol.
    QVector<QPair<QString, qint64>> symbols();
    // The quotes of one symbol, oldest first.
    QVector<ImportedQuote> quotes(const QString &symbol);
    // Number of quotes of all symbols; -1 on failure.
    qint64 count();
    // Calls visit(symbol, ts, storedAtMs) for every quote, in no set order; storedAtMs is the
    // moment the quote was first stored (0 for quotes of stores older than that column).
    // False (with errorString()) when the store cannot be read.
    bool stamps(const std::function<void(const QString &, qint64, qint64)> &visit);

    // "YYYY-MM-DD HH:MM:SS.mmm" of a stored timestamp.
    static QString formatTimestamp(qint64 timestampMs);
    // "YYYY-MM-DD HH:MM:SS.mmm,open,high,low,close,volume,openint", numbers with up to
    // 15 significant digits and no trailing zeros (24567.4, 75).
    static QString formatQuote(const ImportedQuote &quote);

private:
    QString m_connection;
    QString m_error;
};
