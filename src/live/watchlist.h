#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QPair>
#include <QVector>

class AppSettings;

// The watchlist: the symbols the user follows, in the order added, each with the exchange
// code of the segment it came from (two index-aligned lists, persisted as
// "selectedSymbolsList" and "corrExchList"), and the account's symbol limit that every
// way of enlarging it is checked against. The feed subscribes to it and the live import
// takes spooled lines of its symbols only; changed() tells them.
class Watchlist : public QObject
{
    Q_OBJECT
public:
    struct Entries
    {
        QStringList symbols;
        QStringList exchanges;
    };

    // The usable part of two lists that come from outside (the settings store, a file):
    // entry i pairs symbol i with exchange code i; an entry is kept when both exist, the
    // code is one of `knownExchanges`, the symbol is non-empty and printable, and it is
    // the symbol's first occurrence. Every other entry is left out and described in
    // `dropped` ("SYMBOL (CODE)"), so lists of unequal length lose only their unpaired tail.
    struct Repair
    {
        Entries kept;
        QStringList dropped;
    };
    static Repair usableEntries(const QStringList &symbols, const QStringList &exchanges,
                                const QStringList &knownExchanges);

    explicit Watchlist(QObject *parent = nullptr);

    const QStringList &symbols() const { return m_symbols; }
    const QStringList &exchanges() const { return m_exchanges; }
    int size() const { return m_symbols.size(); }
    bool isEmpty() const { return m_symbols.isEmpty(); }
    bool contains(const QString &symbol) const { return m_symbols.contains(symbol); }

    // False (nothing changes) when the symbol is already followed.
    bool add(const QString &symbol, const QString &exchange);
    // False when the symbol is not followed.
    bool remove(const QString &symbol);
    // The ticks of a shown list, applied in its order as they stand: ticked symbols join
    // with `exchange`, unticked ones leave, whatever segment they came from.
    void applyTicks(const QVector<QPair<QString, bool>> &shown, const QString &exchange);
    void clear();
    // The whole list at once (a loaded wishlist); the lists are taken as they are.
    void replace(const Entries &entries);

    // The account's limit from the server record. An unreadable one is not a limit of 0:
    // the saved watchlist survives the start and the close, only additions are refused.
    void setLimit(int limit);
    void setLimitUnreadable();
    int limit() const { return m_limit; }
    bool isLimitKnown() const { return m_limitKnown; }
    // Whether a watchlist of `count` symbols is over a known limit.
    bool isOverLimit(int count) const { return m_limitKnown && m_limit < count; }
    // Whether `fresh` more symbols may join: within a known limit, or none at all.
    bool allowsAdding(int fresh) const { return m_limitKnown ? m_limit >= size() + fresh : fresh == 0; }

    // The start-up restore from the settings store: the usable entries are taken (the
    // descriptions of those left out are returned). A list over a known limit is not
    // shown; it is set aside and written back by save() while the watchlist stays empty,
    // so a lower limit from the server never costs the user the list they made.
    QStringList restore(const QStringList &knownExchanges);
    // The "Watchlist Repaired" text for what restore() left out (the first ten named).
    static QString repairedText(const QStringList &dropped);
    // Writes both keys (the list set aside at start-up while the watchlist is empty).
    void save(AppSettings &store) const;

signals:
    void changed();

private:
    QStringList m_symbols;
    QStringList m_exchanges;
    Entries m_setAside;
    int m_limit = 0;
    bool m_limitKnown = true;
};
