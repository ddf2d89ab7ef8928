#include "amibroker/livedataupdator.h"

#include "live/pendingbatches.h"
#include "live/symbolmapping.h"
#include "live/tickrecorder.h"
#include "platform/brokerautomation.h"
#include "platform/installpaths.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QScopeGuard>

liveDataUpdator::liveDataUpdator(QObject *parent)
    : QThread(parent)
{
    amibrokerDatabasePath = InstallPaths::databaseDir();
    pollFilePath = InstallPaths::pollFile();
    importFilePath = InstallPaths::importFile();
    realtimeFormatPath = InstallPaths::formatRealtime();
    eodFormatPath = InstallPaths::formatEod();
    rootPath = InstallPaths::rootSlash();
    backfillFolder = InstallPaths::backfillDir();

    m_broker = BrokerAutomation::create();

    m_serverDb.connect();

    connect(this, &liveDataUpdator::doeodbackfill, this, &liveDataUpdator::doEodBackfill);

    m_retryTimer.setSingleShot(true);
    m_retryTimer.setInterval(kImportRetryMs);
    connect(&m_retryTimer, &QTimer::timeout, this, &liveDataUpdator::updateDataAmi);

    m_pauseTimer.setSingleShot(true);
    connect(&m_pauseTimer, &QTimer::timeout, this, &liveDataUpdator::updateDataAmi);
}

liveDataUpdator::~liveDataUpdator()
{
    // The object is never started as a thread for long (run() only emits), but make sure
    // no run() is in flight when the members go.
    wait();
}

void liveDataUpdator::run()
{
    if (mode == 1)
        emit doeodbackfill();
}

QVariant liveDataUpdator::importIntoAmiBroker(QString filePath, QString formatDll)
{
    if (!m_broker)
        return QVariant();
    const QString call = QStringLiteral("Import(%1,%2,%3)").arg(0).arg(filePath, formatDll);
    return m_broker->dynamicCall(call.toUtf8().constData());
}

QVariant liveDataUpdator::callBroker(const char *function)
{
    if (!m_broker)
        return QVariant();
    if (QThread::currentThread() == QCoreApplication::instance()->thread())
        return m_broker->dynamicCall(function);
    QVariant result;
    const QByteArray fn(function);
    QMetaObject::invokeMethod(
        this, [this, fn] { return m_broker->dynamicCall(fn.constData()); },
        Qt::BlockingQueuedConnection, &result);
    return result;
}

void liveDataUpdator::updateDataAmi()
{
    // The charting program gets a 50 ms rest after every import. Resting by sleeping in
    // the GUI thread starved the window's timers for seconds at a time under a busy feed,
    // so a cycle that comes during the rest is deferred to its end instead; the batches
    // wait in the pending queue meanwhile and the deferred cycle imports them all.
    if (m_lastImport.isValid() && m_lastImport.elapsed() < kImportPauseMs) {
        if (!m_pauseTimer.isActive())
            m_pauseTimer.start(int(kImportPauseMs - m_lastImport.elapsed()));
        return;
    }

    // Own work and the charting program's calls are timed apart (diagnostics, benchmarks).
    QElapsedTimer cycleClock;
    cycleClock.start();
    qint64 brokerNs = 0;
    const auto addOwnWork = qScopeGuard([&] {
        m_ownWorkNs += cycleClock.nsecsElapsed() - brokerNs;
        m_brokerCallNs += brokerNs;
    });

    // Every recorded batch not yet imported, oldest first. They leave the queue only once
    // the charting program has taken them; a cycle that finds none has nothing to do.
    const PendingBatches::Snapshot pending = PendingBatches::peek();
    if (pending.batches.isEmpty()) {
        m_retryTimer.stop();
        return;
    }
    ++m_importCycles;

    QByteArray ticks;
    for (const QByteArray &b : pending.batches)
        ticks += b;

    qint64 importBytes = 0;
    if (!TickRecorder::buildImportFile(ticks, importFilePath, SymbolMapping::load(), &importBytes)) {
        importFailed(QStringLiteral("the import file %1 cannot be written").arg(importFilePath),
                     pending.batches.size());
        return;
    }
    // Batches without a usable line have nothing for the charting program.
    if (importBytes == 0) {
        PendingBatches::acknowledge(pending.lastId);
        return;
    }

    QVariant result;
    const qint64 importStart = cycleClock.nsecsElapsed();
    if (QThread::currentThread() == QCoreApplication::instance()->thread()) {
        result = importIntoAmiBroker(importFilePath, realtimeFormatPath);
    } else {
        QMetaObject::invokeMethod(this, "importIntoAmiBroker", Qt::BlockingQueuedConnection,
                                  Q_RETURN_ARG(QVariant, result),
                                  Q_ARG(QString, importFilePath),
                                  Q_ARG(QString, realtimeFormatPath));
    }
    m_lastImport.start();
    brokerNs += cycleClock.nsecsElapsed() - importStart;
    if (result.isNull()) {
        importFailed(QStringLiteral("the charting program did not import %1 with %2")
                         .arg(importFilePath, realtimeFormatPath),
                     pending.batches.size());
        return;
    }

    PendingBatches::acknowledge(pending.lastId);
    m_importedBatches += pending.batches.size();
    if (m_importFailing) {
        m_importFailing = false;
        m_retryTimer.stop();
        qDebug().noquote() << QStringLiteral("Live import works again: %1 kept batch(es) imported")
                                  .arg(pending.batches.size());
    }
    const qint64 refreshStart = cycleClock.nsecsElapsed();
    callBroker("RefreshAll()");
    brokerNs += cycleClock.nsecsElapsed() - refreshStart;
}

void liveDataUpdator::importFailed(const QString &reason, int keptBatches)
{
    if (!m_importFailing) {
        m_importFailing = true;
        qDebug().noquote() << QStringLiteral("Live import failing: %1; %2 batch(es) kept and "
                                             "retried every %3 ms")
                                  .arg(reason)
                                  .arg(keptBatches)
                                  .arg(m_retryTimer.interval());
    }
    // New batches bring their own cycles; the timer brings one when the feed is quiet.
    if (!m_retryTimer.isActive())
        m_retryTimer.start();
}

void liveDataUpdator::do5DayFastBackfill() {}
