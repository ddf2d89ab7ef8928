// The backfill imports of liveDataUpdator: intraday chunks and end-of-day files. Both run
// in a worker thread, so the window stays usable during a long import; every import call
// and every rest between attempts is made in the broker thread, behind or between the live
// imports, and the worker waits for each result, which still decides whether a chunk is
// kept.
#include "amibroker/livedataupdator.h"

#include "backfill/backfillimport.h"
#include "backfill/eodimport.h"
#include "backfill/repairscope.h"
#include "backfill/symbolrewriter.h"
#include "live/symbolmapping.h"
#include "platform/installpaths.h"

#include <QDebug>
#include <QThread>

bool liveDataUpdator::applySymbolMapping(QString sourcePath, QString processedPath)
{
    return SymbolRewriter(SymbolMapping::load()).applyToFile(sourcePath, processedPath);
}

namespace {

// The same road for intraday and end-of-day lines; only the format file differs.
BackfillImport::Hooks importHooks(std::function<bool(const QString &)> importChunk,
                                  const BrokerCalls &broker, const std::atomic<bool> *stopRequested)
{
    BackfillImport::Hooks hooks;
    hooks.makeRewriter = [] { return std::make_unique<SymbolRewriter>(SymbolMapping::load()); };
    hooks.importChunk = std::move(importChunk);
    // The charting program's rests between a chunk and its attempts are kept in the broker
    // thread, so no other call reaches it meanwhile.
    hooks.pause = broker.rest;
    hooks.betweenFiles = [] {};
    // The close sequence sets the flag; the import ends before the next file.
    hooks.stopRequested = [stopRequested] { return stopRequested->load(); };
    return hooks;
}

} // namespace

void liveDataUpdator::stopBackfill()
{
    if (m_backfillThread)
        qDebug() << "Backfill import: stop requested";
    m_backfillStopRequested = true;
}

void liveDataUpdator::startBackfillWorker(std::function<void()> work, std::function<void()> done)
{
    m_backfillThread = QThread::create(std::move(work));
    m_backfillThread->setObjectName(QStringLiteral("backfill import"));
    QThread *thread = m_backfillThread;
    connect(thread, &QThread::finished, this, [this, thread, done = std::move(done)] {
        if (m_backfillThread == thread)
            m_backfillThread = nullptr;
        thread->deleteLater();
        done();
    });
    thread->start();
}

void liveDataUpdator::doBackFill()
{
    // A second download can finish while an import runs; the running import picks up its
    // files before it ends.
    if (m_backfillThread) {
        qDebug() << "Backfill import already running; its files are taken along";
        m_backfillAgain = true;
        return;
    }
    if (m_backfillStopRequested) {
        emit backfillDone();
        return;
    }

    const QString format = InstallPaths::formatIntraday();
    BackfillImport::Hooks hooks = importHooks(
        [broker = m_broker, format](const QString &chunk) { return broker.importAndWait(chunk, format); },
        m_broker, &m_backfillStopRequested);
    if (repairScopeForImport)
        hooks.repairScope = repairScopeForImport();
    startBackfillWorker([hooks]() mutable { BackfillImport(std::move(hooks)).run(); },
                        [this] {
                            // Files that came after the run's last look at the folder.
                            if (m_backfillAgain && !m_backfillStopRequested) {
                                m_backfillAgain = false;
                                doBackFill();
                                return;
                            }
                            m_backfillAgain = false;
                            emit backfillDone();
                            emit doAutoBackfill();
                        });
}

void liveDataUpdator::doEodBackfill()
{
    if (m_backfillThread) {
        // Its files would otherwise meet the running import's chunks; once that import
        // ends, the end-of-day files are imported.
        qDebug() << "End-of-day import waits: a backfill import is running";
        connect(m_backfillThread, &QThread::finished, this, &liveDataUpdator::doEodBackfill,
                static_cast<Qt::ConnectionType>(Qt::QueuedConnection | Qt::UniqueConnection));
        return;
    }
    if (m_backfillStopRequested) {
        emit backfillDone();
        return;
    }
    const bool watchlistOnly = eodWatchlistOnly;
    const QStringList watchlist = watchlistSymbols ? watchlistSymbols() : QStringList();
    const SymbolMap mapping = SymbolMapping::load();
    const QString format = eodFormatPath;
    BackfillImport::Hooks hooks = importHooks(
        [broker = m_broker, format](const QString &chunk) { return broker.importAndWait(chunk, format); },
        m_broker, &m_backfillStopRequested);
    startBackfillWorker(
        [watchlistOnly, watchlist, mapping, hooks]() mutable {
            EodImport::run(watchlistOnly, watchlist, mapping, std::move(hooks));
        },
        [this] {
            emit backfillDone();
            emit eodBackfillDone();
        });
}
