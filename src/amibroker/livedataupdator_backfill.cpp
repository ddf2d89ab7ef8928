// The backfill imports of liveDataUpdator: intraday chunks and end-of-day files.
#include "amibroker/livedataupdator.h"

#include "backfill/backfillimport.h"
#include "backfill/eodimport.h"
#include "backfill/symbolrewriter.h"
#include "live/symbolmapping.h"
#include "platform/installpaths.h"

#include <QCoreApplication>
#include <QDebug>
#include <QThread>
#include <QTimer>

QVariant liveDataUpdator::importFromAnyThread(const QString &filePath, const QString &formatDll)
{
    if (QThread::currentThread() == QCoreApplication::instance()->thread())
        return importIntoAmiBroker(filePath, formatDll);
    QVariant result;
    if (!QMetaObject::invokeMethod(this, "importIntoAmiBroker", Qt::BlockingQueuedConnection,
                                   Q_RETURN_ARG(QVariant, result), Q_ARG(QString, filePath),
                                   Q_ARG(QString, formatDll)))
        return QVariant();
    return result;
}

bool liveDataUpdator::applySymbolMapping(QString sourcePath, QString processedPath)
{
    return SymbolRewriter(SymbolMapping::load()).applyToFile(sourcePath, processedPath);
}

namespace {

// The same road for intraday and end-of-day lines; only the format file differs.
BackfillImport::Hooks importHooks(std::function<bool(const QString &)> importChunk,
                                  const bool *stopRequested)
{
    BackfillImport::Hooks hooks;
    hooks.makeRewriter = [] { return std::make_unique<SymbolRewriter>(SymbolMapping::load()); };
    hooks.importChunk = std::move(importChunk);
    // Short fixed rests for the charting program. They block on purpose: an event loop
    // here would let other imports and folder changes run in the middle of a file.
    hooks.pause = [](int ms) { QThread::msleep(ulong(ms)); };
    // The close sequence can run in here; it sets the flag, and the import ends before
    // the next file.
    hooks.betweenFiles = [] { QCoreApplication::processEvents(); };
    hooks.stopRequested = [stopRequested] { return *stopRequested; };
    return hooks;
}

} // namespace

void liveDataUpdator::stopBackfill()
{
    if (m_backfillRunning)
        qDebug() << "Backfill import: stop requested";
    m_backfillStopRequested = true;
}

void liveDataUpdator::doBackFill()
{
    // The event loop runs between files, so a second download can finish meanwhile and
    // call again; the running import picks up its files before it ends.
    if (m_backfillRunning) {
        qDebug() << "Backfill import already running; its files are taken along";
        return;
    }
    m_backfillRunning = true;
    if (!m_backfillStopRequested) {
        const QString format = InstallPaths::formatIntraday();
        BackfillImport(importHooks([this, format](const QString &chunk) {
            return !importFromAnyThread(chunk, format).isNull();
        }, &m_backfillStopRequested)).run();
    }
    m_backfillRunning = false;
    emit backfillDone();
    emit doAutoBackfill();
}

void liveDataUpdator::doEodBackfill()
{
    if (m_backfillRunning) {
        // Its files would otherwise meet the running import's chunks.
        qDebug() << "End-of-day import waits for the running backfill import";
        QTimer::singleShot(200, this, &liveDataUpdator::doEodBackfill);
        return;
    }
    m_backfillRunning = true;
    const QString format = eodFormatPath;
    EodImport::run(eodWatchlistOnly, selectedSymbols, SymbolMapping::load(),
                   importHooks([this, format](const QString &chunk) {
                       return !importFromAnyThread(chunk, format).isNull();
                   }, &m_backfillStopRequested));
    m_backfillRunning = false;
    emit backfillDone();
    emit eodBackfillDone();
}
