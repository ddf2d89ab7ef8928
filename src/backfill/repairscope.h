#pragma once

#include "live/tickedminutes.h"

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QStringList>
#include <array>
#include <memory>

// What one gap repair may store: bars of the symbols it asked for (the server's names),
// dated inside the outage, in minutes that live ticks have not reached. The answer to a
// repair request is hostile like any other: bars of other symbols, of 1970 or of 2099 are
// refused, and so are bars on top of the ticks of the minutes at the outage's edges, whose
// volume would otherwise be counted twice.
//
// Made by the gap repair for each import of a run; the import judges every line with it
// before the symbol mapping renames it, and reports what the charting program took to the
// run's tally. Immutable once made, so any thread may judge with it.
class RepairScope
{
public:
    enum Verdict { Keep, ForeignSymbol, UnreadableTime, OutsideOutage, TickedMinute, kVerdicts };
    using Counts = std::array<qint64, kVerdicts>;

    // Bars stored per symbol over a whole run. Any thread.
    class Tally
    {
    public:
        void add(const QHash<QByteArray, qint64> &stored);
        qint64 stored(const QByteArray &symbol) const;

    private:
        mutable QMutex m_mutex;
        QHash<QByteArray, qint64> m_stored;
    };

    // What a caller keeps between the lines of one file: most files hold one symbol, whose
    // look-ups are then made once.
    struct Cursor
    {
        QByteArray symbol; // of the last line judged
        bool asked = false;
        const TickedMinutes::Runs *ticked = nullptr;
    };

    // Bars from firstMinute to lastMinute (MinuteKey values, inclusive) of `symbols`.
    RepairScope(const QStringList &symbols, qint64 firstMinute, qint64 lastMinute,
                TickedMinutes::Map ticked, std::shared_ptr<Tally> tally);

    // A trimmed bar line "segment,symbol,date,time,...". When it is kept, cursor->symbol
    // is its symbol.
    Verdict judge(const char *line, qint64 size, Cursor *cursor) const;
    // Whether the symbol's outage holds a minute that live ticks have not reached.
    bool hasMinuteToFill(const QByteArray &symbol) const;

    qint64 firstMinute() const { return m_first; }
    qint64 lastMinute() const { return m_last; }
    Tally *tally() const { return m_tally.get(); }

    // "kept 3, refused 5 (2 foreign symbol, 3 outside the outage)".
    static QString countsText(const Counts &counts);

private:
    QSet<QByteArray> m_symbols;
    qint64 m_first;
    qint64 m_last;
    TickedMinutes::Map m_ticked;
    std::shared_ptr<Tally> m_tally;
};
