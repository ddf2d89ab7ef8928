// The backfill imports of liveDataUpdator: intraday chunks and end-of-day files. Both run
// in a worker thread, so the window stays usable during a long import; every import call
// and every rest between attempts is made in the broker thread, behind or between the live
// imports, and the worker waits for each result, which still decides whether a chunk is
// kept.
#include "amibroker/livedataupdator.h"

#include "backfill/backfillimport.h"
#include "backfill/eodimport.h"
#include "backfill/symbolrewriter.h"
#include "live/symbolmapping.h"
#include "platform/brokerautomation.h"
#include "platform/brokerthread.h"
#include "platform/installpaths.h"

#include <QDebug>
#include <QThread>

bool liveDataUpdator::importInBrokerThread(const QString &filePath, const QString &formatDll)
{
    // No bound: a backfill import waits as long as the charting program takes. The
    // shutdown at the end of the pass releases the wait (a null result).
    return !m_brokerThread->callAndWait(importCall(filePath, formatDll), {}, -1).isNull();
}

bool liveDataUpdator::applySymbolMapping(QString sourcePath, QString processedPath)
{
    return SymbolRewriter(SymbolMapping::load()).applyToFile(sourcePath, processedPath);
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

    BackfillImport::Hooks hooks;
    hooks.makeRewriter = [] { return std::make_unique<SymbolRewriter>(SymbolMapping::load()); };
    const QString format = InstallPaths::formatIntraday();
    hooks.importChunk = [this, format](const QString &chunk) {
        return importInBrokerThread(chunk, format);
    };
    // The charting program's rests between a chunk and its attempts are kept in the broker
    // thread, so no other call reaches it meanwhile.
    BrokerThread *broker = m_brokerThread.get();
    hooks.pause = [broker](int ms) {
        broker->runAndWait([ms](BrokerAutomation *) { QThread::msleep(ulong(ms)); }, -1);
    };
    hooks.betweenFiles = [] {};
    startBackfillWorker([hooks]() mutable { BackfillImport(std::move(hooks)).run(); },
                        [this] {
                            // Files that came after the run's last look at the folder.
                            if (m_backfillAgain) {
                                m_backfillAgain = false;
                                doBackFill();
                                return;
                            }
                            emit backfillDone();
                            emit doAutoBackfill();
                        });
}

void liveDataUpdator::doEodBackfill()
{
    if (m_backfillThread) {
        qDebug() << "End-of-day import waits: a backfill import is running";
        // Once it ends, the end-of-day files are imported.
        connect(m_backfillThread, &QThread::finished, this, &liveDataUpdator::doEodBackfill,
                Qt::QueuedConnection);
        return;
    }
    const bool watchlistOnly = eodWatchlistOnly;
    const QStringList watchlist = selectedSymbols;
    const QString format = eodFormatPath;
    startBackfillWorker(
        [this, watchlistOnly, watchlist, format] {
            EodImport::run(watchlistOnly, watchlist, [this, format](const QString &path) {
                return importInBrokerThread(path, format);
            });
        },
        [this] {
            emit backfillDone();
            emit eodBackfillDone();
        });
}
