#pragma once

#include <QBitArray>
#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QPair>
#include <QString>
#include <QStringList>

#include <functional>

// Which minutes of today each symbol has in the charting program, and where they came
// from. It is fed with what the charting program accepted (the lines of an import that
// went through: live ticks, intraday backfill bars, gap-repair bars), never with what was
// merely received, so it answers "is today's chart whole?" and not "did the feed send
// something?".
//
// A minute of a symbol is
//   covered   when an accepted line of that symbol falls in it;
//   no trades when it is not covered but the feed was working in that minute: some other
//             symbol's ticks were imported in it, or the link was up for the whole minute
//             (a quiet or closed market sends nothing, and that is not a hole);
//   missing   otherwise: the link was down or the program was not running, and nothing
//             filled the minute since.
// Only minutes of the session count: from the first imported live tick of the day (09:15
// while there is none), up to the current minute, which is still running and never
// counted. The summary says since when ("complete since 09:15"), so a start late in the
// day is not shown as a morning of holes, and a feed that never came shows its minutes.
//
// Times are the lines' own date and time fields (the exchange's clock, as the charts show
// them); the link's minutes and "now" are the local wall clock.
//
// Thread-safe: the import cycles call noteImported() from the broker and backfill threads,
// the window reads from the GUI thread. The state lives in memory and in a small text file
// (one day, bounded), written by save(), which the owner calls at most every few seconds.
class DayLedger
{
public:
    enum class Source { Live, Backfill, Repair };

    static constexpr int kMinutesPerDay = 24 * 60;
    static constexpr int kSessionOpenMinute = 9 * 60 + 15;
    // Bounds of the state file and of what it may name; anything beyond is not ours.
    static constexpr qint64 kMaxFileBytes = 8 * 1024 * 1024;
    static constexpr int kMaxSymbols = 100000;
    static constexpr int kMaxSymbolChars = 64;

    // An inclusive run of minutes of the day (0 = 00:00).
    using Range = QPair<int, int>;

    struct Health
    {
        int covered = 0;         // session minutes with data in the charting program
        int repaired = 0;        // of those, minutes only bars of a gap repair filled
        int missing = 0;         // session minutes without data while the feed was not working
        QList<Range> missingRanges;
        int sessionStart = kSessionOpenMinute;
        int sessionEnd = -1;     // last counted minute (the one before now); -1 before the open
        qint64 lastTickAgeMs = -1; // since live ticks of the symbol were last imported; -1: none in this run
    };

    explicit DayLedger(QString filePath = QString());

    // Test seam: the wall clock (local time).
    void setClockForTests(std::function<QDateTime()> now);
    QString filePath() const { return m_filePath; }

    // Lines accepted by the charting program, as imported ("x,SYMBOL,YYYYMMDD,HH:MM..."):
    // each line of today marks its symbol's minute. Lines of other days, and lines whose
    // fields are not a symbol, a date and a time, are passed over.
    void noteImported(const QByteArray &lines, Source source);
    // The feed's link came up (subscribed) or went down.
    void noteLink(bool up);

    // A symbol's minutes, as of now (the link's whole minutes are brought up to date).
    Health health(const QString &symbol);
    // The first counted minute today (for "complete since 09:15").
    int sessionStart();
    QDate day();
    // Symbols with anything recorded today.
    QStringList symbols() const;
    // Whether something changed since the last save() (or load()).
    bool isDirty() const;

    // Reads the file of an earlier run of today (another day's file is ignored). Anything
    // in it that is not a well-formed record is dropped with a debug line. False when
    // nothing usable was read.
    bool load();
    // Replaces the file atomically with today's state; false when it cannot be written.
    bool save();

    // The file's text of the state, and the state of a text (tests and the two above).
    QByteArray encode() const;
    bool decode(const QByteArray &text);

    // "10:42" and "10:42–10:44" for a range.
    static QString minuteText(int minute);
    static QString rangeText(const Range &range);
    // Runs of set bits, and the bits of runs.
    static QList<Range> rangesOf(const QBitArray &bits);

private:
    struct Marks
    {
        QBitArray live{kMinutesPerDay};
        QBitArray backfill{kMinutesPerDay};
        QBitArray repair{kMinutesPerDay};
        qint64 lastLiveMs = -1; // wall clock of the last live import (not kept in the file)
    };

    QDateTime now() const;
    void resetLocked(const QDate &day);
    // Starts a new day when the date changed; marks the whole minutes the link has been up.
    void advanceLocked(const QDateTime &now);
    Marks *marksLocked(const QByteArray &symbol);
    int sessionStartLocked() const;

    QString m_filePath;
    std::function<QDateTime()> m_now;

    mutable QMutex m_mutex;
    QDate m_day;
    QHash<QByteArray, Marks> m_marks;
    QBitArray m_feed{kMinutesPerDay}; // some symbol's live ticks were imported
    QBitArray m_link{kMinutesPerDay}; // the link was up the whole minute
    bool m_linkUp = false;
    QDateTime m_linkUpSince;          // start of the minutes not yet marked
    int m_firstLive = -1;
    bool m_dirty = false;
};
