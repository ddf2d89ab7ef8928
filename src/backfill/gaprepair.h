#pragma once

#include "backfill/repairscope.h"

#include <QDate>
#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>

// Fills the holes an outage left in the charts: after ticks may have been missed, one
// intraday backfill request per watchlist symbol, through the same queue and step slot
// as a backfill the user starts. This class decides when a repair runs and what it asks
// for; the owner (the main window) queues the requests and reports each step back.
//
// Bounds: a repair waits until the link has brought ticks again and stayed up for
// settleMs() (a flapping link gives one repair once it is stable); it never runs beside
// a backfill of the user's (it waits for backfillIdle()); an outage during a run is
// joined into ONE more run after it; each symbol gets at most kMaxRequestsPerSymbol
// requests per run, after which it is given up and named in the error log.
//
// GUI thread.
class GapRepair : public QObject
{
    Q_OBJECT
public:
    static constexpr int kSettleMs = 10000;
    static constexpr int kMaxDays = 5;
    static constexpr int kMaxRequestsPerSymbol = 2;
    // Symbols named in the end text; the rest are counted.
    static constexpr int kNamedSymbols = 10;

    struct Hooks
    {
        std::function<QStringList()> watchlist;                       // the user's names
        std::function<QString(const QString &symbol, int days)> url;  // empty: refused
        std::function<bool()> backfillIdle;                           // no other run active
        std::function<QDateTime()> now;                               // local clock
        std::function<void(const QString &line)> logFailure;          // one error-log line
        std::function<QString(const QString &symbol)> serverName;     // unset: the same
        std::function<TickedMinutes::Map()> tickedMinutes;            // unset: none known
    };

    explicit GapRepair(Hooks hooks, QObject *parent = nullptr);

    // Days of history that cover an outage that began at `since`: 1 within today, one
    // more per date back, at most kMaxDays. Dates are local dates.
    static int daysFor(const QDateTime &since, const QDateTime &now);

    static QString progressText(int n, int total); // "Repairing gaps (n/N)"
    static QString doneText();                     // "Gaps repaired"
    // What the bar says when the current run's queue has run empty: doneText(), or
    // "Gaps repaired except A, B" naming the symbols it did not repair.
    QString endText() const;
    // The symbols of the current run (the user's names, in watchlist order) given up, or
    // for which nothing was stored although their outage held minutes without ticks.
    QStringList unrepairedSymbols() const;
    // What an import of the current run may store (null when no run is under way): the
    // run's symbols, from the outage's first minute to the last whole minute before now.
    std::shared_ptr<const RepairScope> importScope() const;

    bool isEnabled() const { return m_enabled; }
    void setEnabled(bool enabled);
    bool isRunning() const { return m_running; }
    bool isPending() const { return m_pendingSince.isValid(); }
    QDateTime pendingSince() const { return m_pendingSince; }
    int total() const { return m_urls.size(); }
    int current() const { return m_step; }
    QString currentProgressText() const { return progressText(m_step, m_urls.size()); }
    int runsStarted() const { return m_runsStarted; }

    void setSettleMs(int ms) { m_settle.setInterval(ms); }
    int settleMs() const { return m_settle.interval(); }

public slots:
    // Ticks may be missing from `since` on. A link loss also waits for the link.
    void outageBegan(QDateTime since, bool waitForLink);
    void linkLost();
    // The first batch after a (re)subscription.
    void linkLive();
    // A run of the owner's ended: a repair that was held back may start now.
    void backfillIdle();
    // The user asks for these symbols' minutes from `since` on again (Data Health): a run
    // of them alone, at once when nothing else runs (an outage that waits for every symbol
    // takes them along).
    void repairSymbols(const QStringList &symbols, const QDateTime &since);

    // Steps of a repair run, reported by the owner's step slot.
    void stepStarted(const QString &url);
    // A request of the current step failed. True when the symbol is given up now: the
    // owner stops its retry and goes on to the next step.
    bool requestFailed();
    void runCompleted(); // the queue ran empty
    void runStopped();   // the user stopped it, or the run it waited for

signals:
    // Queue these requests and run them like a backfill of the user's.
    void runRequested(QStringList urls);
    void repairStarted();
    // A run ended; ticks are still missing from `stillMissingSince` on (invalid: none).
    void repairEnded(QDateTime stillMissingSince, bool complete);

private:
    void tryStart();
    void finishRun(bool stoppedByUser);
    QString symbolOf(const QString &url) const;

    Hooks m_hooks;
    bool m_enabled = true;
    bool m_linkLive = false;
    bool m_waitForLink = false;
    QTimer m_settle;

    QDateTime m_pendingSince; // the next run's period starts here
    QStringList m_onlySymbols; // the next run asks for these alone (empty: the watchlist)
    bool m_running = false;
    QDateTime m_runSince;
    QDateTime m_runStartedAt;
    QStringList m_urls;
    QHash<QString, QString> m_symbolOfUrl;
    int m_step = 0;
    int m_failuresThisStep = 0;
    QStringList m_givenUp;
    QStringList m_runSymbols;               // the user's names, in request order
    QHash<QString, QString> m_serverNameOf; // user's name -> the server's
    std::shared_ptr<RepairScope::Tally> m_tally;
    int m_runsStarted = 0;
};
