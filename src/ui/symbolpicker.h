#pragma once

#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

class QListWidget;

// The list of a segment's symbols beside the watchlist: each row ticked when the symbol is
// on the watchlist, whatever segment it was added from; after Add Symbol ticked rows show
// green and the others white.
class SymbolPicker
{
public:
    explicit SymbolPicker(QListWidget *list) : m_list(list) {}

    // A segment's symbols (or a search's), in the list's monospace font; `watched` ticked.
    // `quietly`: item changes are not user edits (a search refills while the user types).
    void show(const QStringList &symbols, const QStringList &watched, bool quietly = false);
    void tickAll(bool ticked);
    // Every row with whether it is ticked, in list order.
    QVector<QPair<QString, bool>> rows() const;
    // How many ticked rows are not on the watchlist yet.
    int freshTicks(const QStringList &watched) const;
    // The colours after Add Symbol.
    void markAdded();

private:
    QListWidget *m_list;
};
