#pragma once

#include "backfill/importworker.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class ArchiveDownloader;
class DayLedger;
class GapRepair;
class OutageTracker;
class TickedMinutes;
class LiveFeed;

// The backfill: one run at a time, from the requests to the import. An intraday run asks
// for the symbols one after the other (one request URL per symbol in a queue), each archive
// downloaded and unpacked by the backfill downloader and imported before the next request;
// an end-of-day run fetches one archive for a segment. The run owns the downloader, the
// queue, the rules for a request that cannot be made (named once, at the end) and for a
// symbol that keeps failing (given up after the downloader's attempts and named at the
// end), the imports (ImportWorker) and the gap repair, whose runs go through the same
// queue, never beside a run of the user's.
//
// The window shows what the signals say and calls start and stop; the charting program is
// reached through the broker hooks the live side fills. GUI thread.
class BackfillRun : public QObject
{
    Q_OBJECT
public:
    // Where the pieces of a request come from; asked afresh for every request.
    struct Source
    {
        std::function<QString()> userId;         // as the user ID field shows it
        std::function<QString()> secureKey;      // SecureKey of the server settings record
        std::function<QString()> backfillPath;   // the one to use now (fast or slow)
        std::function<QStringList()> watchlist;  // the user's names
    };

    // The wait before a request of a run goes out.
    static constexpr int kIntradayRequestDelayMs = 50;
    static constexpr int kEodRequestDelayMs = 10;

    explicit BackfillRun(Source source, QObject *parent = nullptr);
    ~BackfillRun() override;

    void setBroker(BrokerCalls broker);
    // The one-day URL read at start-up; the end-of-day requests build on it (and turn its
    // "/1/" into "/e/" in place).
    void setOneDayUrl(const QString &url) { m_oneDayUrl = url; }
    QString oneDayUrl() const { return m_oneDayUrl; }

    // An intraday run over these symbols (the user's names, in order) for `days` days.
    // With no symbol it ends at once. Only while idle.
    void startIntraday(const QStringList &symbols, const QString &days);
    // An end-of-day run for the request name (for example CASH-1.zip), importing every file
    // of the archive or only the watchlist's. Only while idle.
    void startEod(const QString &requestName, bool watchlistOnly);
    // Ends the run under way (the user's, a gap repair's or an end-of-day one): the
    // transfer in flight and the queue go, and a repair that waited for the run is off
    // too. An import already running finishes, unannounced.
    void stop();
    // Part of the close sequence: the running import ends before its next file, and no
    // request or import starts any more.
    void stopForClose();
    bool isIdle() const { return m_kind == Kind::None; }
    // The symbols (as the requests name them) still to be fetched by the run under way,
    // the one in flight included.
    QStringList busySymbols() const;
    // The user asks for these symbols' minutes from `since` on again: a gap repair of them
    // alone (queued behind a run under way), or, with gap repair switched off, a one-day
    // backfill of them when nothing runs. False when nothing could be asked.
    bool repairMissing(const QStringList &symbols, const QDateTime &since);
    // Where today's imported bars are noted.
    void setDayLedger(std::shared_ptr<DayLedger> ledger);
    // Request URLs still to go in the run under way.
    QStringList queue() const { return m_queue; }

    // Gap repair after outages, when "autoGapFill" is on (nothing is kept otherwise):
    // reads what an earlier run left unrepaired. The live feed reports to it through
    // followFeed(); the live import notes the minutes of its ticks in tickedMinutes().
    void setUpGapRepair();
    void followFeed(LiveFeed *feed);
    // Writes the outage state now (close sequence).
    void flushOutageState();
    // Null without gap repair.
    std::shared_ptr<TickedMinutes> tickedMinutes() const { return m_ticked; }

    ArchiveDownloader *downloader() const { return m_downloader; }
    ImportWorker *imports() const { return m_imports; }
    GapRepair *gapRepair() const { return m_gapRepair; }
    OutageTracker *outageTracker() const { return m_outageTracker; }

signals:
    // A run began (true) or ended (false).
    void activeChanged(bool active);
    // An intraday run shows its first text; the bar takes the run's look.
    void intradayStarted();
    // What the progress bar shows; a negative value keeps the bar's value.
    void progress(int value, QString text);
    // A line for the status label: a skipped symbol, or an end that was not all done.
    void statusText(QString text);

private:
    enum class Kind { None, Intraday, Eod };

    QString requestUrl(const QString &symbol, const QString &days, QString *why) const;
    void queueRequest(const QString &symbol, const QString &days);
    // Takes the next request of the queue, or ends the intraday run when it is empty.
    void step();
    void finishIntraday();
    void finishEod(const QString &text);
    void setActive(bool active);
    bool repairRunning() const;
    // After the step has returned: a repair started from inside it would find the run
    // stepping and never take its first request.
    void noteIdle();
    QStringList watchlist() const;

    void onProgress(const QString &progress, const QString &speed);
    void onDownloaded();
    void onAttemptFailed();
    void onGivenUp(const QString &symbol, const QString &reason, bool forSpace);
    void onIntradayImported();
    void onEodImported();

    Source m_source;
    ArchiveDownloader *m_downloader = nullptr; // children
    ImportWorker *m_imports = nullptr;
    Kind m_kind = Kind::None;
    bool m_active = false;
    bool m_stepping = false;
    bool m_announced = false;      // the run has shown its start text
    bool m_awaitingImport = false; // the run's last download is being imported
    bool m_closing = false;
    QStringList m_queue;
    QStringList m_refused; // why requests of this run were not made
    QStringList m_skipped; // symbols given up (with the reason when refused for disk space)
    QString m_oneDayUrl;
    bool m_eodWatchlistOnly = true;

    GapRepair *m_gapRepair = nullptr; // children, with gap repair only
    OutageTracker *m_outageTracker = nullptr;
    std::shared_ptr<TickedMinutes> m_ticked;
    bool m_feedAwaitsFirstBatch = false;
};
