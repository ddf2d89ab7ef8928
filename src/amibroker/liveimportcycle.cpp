#include "amibroker/liveimportcycle.h"

#include "live/pendingbatches.h"
#include "live/symbolmapping.h"
#include "live/tickrecorder.h"
#include "platform/brokerautomation.h"
#include "platform/brokerthread.h"

#include <QDebug>
#include <QScopeGuard>
#include <QThread>

LiveImportCycle::LiveImportCycle(BrokerThread *broker)
    : m_broker(broker), m_pauseTimer(this), m_retryTimer(this)
{
    m_retryTimer.setSingleShot(true);
    m_retryTimer.setInterval(kImportRetryMs);
    connect(&m_retryTimer, &QTimer::timeout, this, &LiveImportCycle::run);
    m_pauseTimer.setSingleShot(true);
    connect(&m_pauseTimer, &QTimer::timeout, this, &LiveImportCycle::run);
    moveToThread(broker->thread());
}

void LiveImportCycle::request(const Paths &paths)
{
    if (m_requested.exchange(true))
        return;
    m_broker->post([this, paths](BrokerAutomation *) {
        m_paths = paths;
        m_requested.store(false);
        run();
    });
}

void LiveImportCycle::setRetryIntervalMs(int ms)
{
    m_broker->post([this, ms](BrokerAutomation *) { m_retryTimer.setInterval(ms); });
}

void LiveImportCycle::setTakenTicksObserver(TakenTicks observer)
{
    m_broker->post([this, observer](BrokerAutomation *) { m_takenTicks = observer; });
}

void LiveImportCycle::setImportedTicksObserver(TakenTicks observer)
{
    m_broker->post([this, observer](BrokerAutomation *) { m_importedTicks = observer; });
}

void LiveImportCycle::run()
{
    if (m_broker->isShutDown() || m_paths.importFile.isEmpty())
        return;
    // The charting program's rest after an import: a cycle that comes during it is
    // deferred to its end; the batches wait in the queue meanwhile.
    if (m_lastImport.isValid() && m_lastImport.elapsed() < kImportPauseMs) {
        if (!m_pauseTimer.isActive())
            m_pauseTimer.start(int(kImportPauseMs - m_lastImport.elapsed()));
        return;
    }

    QElapsedTimer cycleClock;
    cycleClock.start();
    qint64 brokerNs = 0;
    const auto addTimes = qScopeGuard([&] {
        m_ownWorkNs += cycleClock.nsecsElapsed() - brokerNs;
        m_brokerCallNs += brokerNs;
    });

    const PendingBatches::Snapshot pending = PendingBatches::peek(kMaxImportBytes);
    if (pending.batches.isEmpty()) {
        m_retryTimer.stop();
        return;
    }
    ++m_cycles;

    QByteArray ticks;
    ticks.reserve(int(pending.bytes));
    for (const QByteArray &b : pending.batches)
        ticks += b;
    // Taken batches are imported now or by a later cycle: their minutes have ticks.
    if (m_takenTicks)
        m_takenTicks(ticks);

    qint64 importBytes = 0;
    int refused = 0;
    if (!TickRecorder::buildImportFile(ticks, m_paths.importFile, SymbolMapping::load(), &importBytes,
                                       pending.fromSpool ? &m_paths.symbols : nullptr, &refused)) {
        failed(QStringLiteral("the import file %1 cannot be written").arg(m_paths.importFile),
               pending.batches.size());
        return;
    }
    if (refused > 0) {
        qDebug().noquote() << QStringLiteral("Live import: %1 line(s) read back from the spool refused: not "
                                             "tick lines as recorded, or not of a watchlist symbol")
                                  .arg(refused);
    }
    auto goOn = [this] {
        // More waiting (a backlog, or batches that came during the import): the next
        // bounded import after the rest.
        if (!PendingBatches::isEmpty() && !m_pauseTimer.isActive())
            m_pauseTimer.start(int(kImportPauseMs));
    };
    // Batches without a usable line have nothing for the charting program.
    if (importBytes == 0) {
        PendingBatches::acknowledge(pending);
        goOn();
        return;
    }

    BrokerAutomation *broker = m_broker->automation();
    if (!broker) {
        failed(QStringLiteral("there is no automation object"), pending.batches.size());
        return;
    }
    const QByteArray call =
        QStringLiteral("Import(%1,%2,%3)").arg(0).arg(m_paths.importFile, m_paths.format).toUtf8();
    const qint64 importStart = cycleClock.nsecsElapsed();
    const QVariant result = broker->dynamicCall(call.constData());
    m_lastImport.start();
    brokerNs += cycleClock.nsecsElapsed() - importStart;
    if (result.isNull()) {
        failed(QStringLiteral("the charting program did not import %1 with %2")
                   .arg(m_paths.importFile, m_paths.format),
               pending.batches.size());
        return;
    }

    PendingBatches::acknowledge(pending);
    if (m_importedTicks) {
        // Spooled lines are hostile until checked: only those the import file took count.
        int notTaken = 0;
        m_importedTicks(pending.fromSpool ? TickRecorder::importLines(ticks, SymbolMap(), m_paths.symbols, &notTaken)
                                          : ticks);
    }
    m_importedBatches += pending.batches.size();
    ++m_imports;
    if (importBytes > m_largestImport.load())
        m_largestImport.store(importBytes);
    if (m_failing.exchange(false)) {
        m_retryTimer.stop();
        qDebug().noquote() << QStringLiteral("Live import works again: %1 kept batch(es) imported")
                                  .arg(pending.batches.size());
    }
    const qint64 refreshStart = cycleClock.nsecsElapsed();
    broker->dynamicCall("RefreshAll()");
    brokerNs += cycleClock.nsecsElapsed() - refreshStart;
    goOn();
}

void LiveImportCycle::failed(const QString &reason, int keptBatches)
{
    if (!m_failing.exchange(true)) {
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
