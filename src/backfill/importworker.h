#pragma once

#include "amibroker/brokercalls.h"
#include "backfill/backfillimport.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>

class QThread;
class DayLedger;
class RepairScope;

// Runs the backfill imports in a thread of their own, one at a time, so the window stays
// usable during a long import: the intraday import of the backfill folder (BackfillImport)
// and the end-of-day import (EodImport). The charting program is reached only through the
// BrokerCalls, which the live importer fills with its broker thread; the import waits for each
// result, which still decides whether a chunk is kept.
//
// A request that comes while an import runs waits for it: a second intraday request makes
// the running intraday import look at the folder once more before it ends (its files are
// taken along, and one intradayImported() answers both); an end-of-day request starts once
// the running import has ended, so its files never meet another import's chunks.
class ImportWorker : public QObject
{
    Q_OBJECT
public:
    explicit ImportWorker(QObject *parent = nullptr);
    // Stops a running import before its next file and waits for it.
    ~ImportWorker() override;

    void setBroker(BrokerCalls broker) { m_broker = std::move(broker); }
    // Where today's imported bars are noted (intraday imports: a gap repair's as repaired).
    void setDayLedger(std::shared_ptr<DayLedger> ledger) { m_ledger = std::move(ledger); }

    // The backfill folder with the intraday format. scope: what a gap repair may store
    // (null: every line).
    void importIntraday(std::shared_ptr<const RepairScope> scope = nullptr);
    // The end-of-day files of the backfill folder, all of them or only the watchlist's
    // (the user's names); the folder is emptied afterwards.
    void importEod(bool watchlistOnly, const QStringList &watchlist);

    bool isRunning() const { return m_thread != nullptr; }
    // Part of the close sequence: the running import ends before its next file, and no
    // request starts one any more (nor is answered).
    void stop();

signals:
    void intradayImported();
    void eodImported();

private:
    enum class Kind { Intraday, Eod };
    void start(Kind kind);
    void onThreadFinished(QThread *thread, Kind kind);
    BackfillImport::Hooks hooks(const QString &format) const;

    BrokerCalls m_broker;
    std::shared_ptr<DayLedger> m_ledger;
    QThread *m_thread = nullptr;
    bool m_intradayPending = false;
    std::shared_ptr<const RepairScope> m_scope;
    bool m_eodPending = false;
    bool m_eodWatchlistOnly = true;
    QStringList m_eodWatchlist;
    std::atomic<bool> m_stopRequested{false};
};
