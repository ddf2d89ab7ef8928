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

void liveDataUpdator::doBackFill()
{
    // The event loop runs between files, so a second download can finish meanwhile and
    // call again; the running import picks up its files before it ends.
    if (m_backfillRunning) {
        qDebug() << "Backfill import already running; its files are taken along";
        return;
    }
    m_backfillRunning = true;

    BackfillImport::Hooks hooks;
    hooks.makeRewriter = [] { return std::make_unique<SymbolRewriter>(SymbolMapping::load()); };
    const QString format = InstallPaths::formatIntraday();
    hooks.importChunk = [this, format](const QString &chunk) {
        return !importFromAnyThread(chunk, format).isNull();
    };
    // Short fixed rests for the charting program. They block on purpose: an event loop
    // here would let other imports and folder changes run in the middle of a file.
    hooks.pause = [](int ms) { QThread::msleep(ulong(ms)); };
    hooks.betweenFiles = [] { QCoreApplication::processEvents(); };
    BackfillImport(std::move(hooks)).run();

    m_backfillRunning = false;
    emit backfillDone();
    emit doAutoBackfill();
}

void liveDataUpdator::doEodBackfill()
{
    EodImport::run(eodWatchlistOnly, selectedSymbols, [this](const QString &path) {
        return !importFromAnyThread(path, eodFormatPath).isNull();
    });
    emit backfillDone();
    emit eodBackfillDone();
}
