#pragma once

#include "amibroker/brokercalls.h"

#include <QString>
#include <QStringList>
#include <QThread>
#include <atomic>
#include <functional>
#include <memory>

class RepairScope;

// The backfill imports: intraday chunks and end-of-day files, run in a worker thread of
// their own whose chunk imports (and the rests between them) are broker calls made through
// the live importer's BrokerCalls. Despite deriving from QThread it is never moved: its
// slots live in the GUI thread. It holds the intraday backfill queue.
class liveDataUpdator : public QThread
{
    Q_OBJECT
public:
    explicit liveDataUpdator(BrokerCalls broker, QObject *parent = nullptr);
    ~liveDataUpdator() override;

    QString eodFormatPath;

    int mode = 0;                // set by the main window before start() (1 = EOD backfill)
    bool eodWatchlistOnly = true; // copied from the end-of-day dialog for each request
    QStringList backfillQueue;   // intraday backfill request URLs

    // The watchlist's symbols, asked when an end-of-day import starts.
    std::function<QStringList()> watchlistSymbols;

    // Whether a backfill or end-of-day import is running in its worker thread.
    bool isBackfillImportRunning() const { return m_backfillThread != nullptr; }

    // Writes the processed copy of one backfill file with the user's symbol names; false
    // when it was not made (the file is then imported as it is).
    bool applySymbolMapping(QString sourcePath, QString processedPath);
    // Part of the close sequence: a running backfill import ends before its next file.
    void stopBackfill();

    // Asked when an intraday import starts: what a gap repair under way may store, or
    // null for a backfill of the user's (everything is imported).
    std::function<std::shared_ptr<const RepairScope>()> repairScopeForImport;

signals:
    void backfillDone();
    void doAutoBackfill();
    void doeodbackfill();
    void eodBackfillDone();

public slots:
    void doEodBackfill();
    void doBackFill();

protected:
    void run() override;

private:
    // Runs work in the backfill worker thread; then done() in this thread.
    void startBackfillWorker(std::function<void()> work, std::function<void()> done);

    BrokerCalls m_broker;
    QThread *m_backfillThread = nullptr;
    bool m_backfillAgain = false; // doBackFill() came while an import ran
    // Set by the close sequence; the running import ends before its next file.
    std::atomic<bool> m_backfillStopRequested{false};
};
