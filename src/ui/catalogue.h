#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

class ServerDatabase;

// The symbol catalogue's fixed segment table and its search filter: the parts of the
// catalogue that need no window.
namespace Catalogue {

constexpr int kSegmentCount = 9;

// Exchange codes in segment index order: CASH, FUTURE, OPTION, MCX, CURRENCY, SPOTINDEX,
// NCDEX, CMOPT, FOREX.
QStringList segmentCodes();
// Object names of the segment buttons, same order (cashBox ... ForexBox).
QStringList segmentButtonNames();
// Labels the buttons show, same order (four differ from the codes).
QStringList segmentLabels();

// Index of an exchange code, or -1.
int indexOfCode(const QString &code);

// The symbols a search shows: the needle is the text trimmed and upper-cased; an empty
// needle keeps everything, otherwise each symbol whose upper-cased form contains it is
// kept. The catalogue order is kept.
QStringList filter(const QStringList &symbols, const QString &searchText);

} // namespace Catalogue

// The symbol catalogue read from the server database: every segment's symbols, loaded whole
// at start-up. A segment found empty is asked for again each time it is wanted: the server
// may have had nothing then.
class SymbolCatalogue
{
public:
    explicit SymbolCatalogue(ServerDatabase *database) : m_database(database) {}

    // On failure the cache keeps what it had (and the connection is reopened inside).
    void loadAll();
    QStringList segment(const QString &exchangeCode);
    const QHash<QString, QStringList> &cache() const { return m_cache; }

private:
    ServerDatabase *m_database;
    QHash<QString, QStringList> m_cache;
};
