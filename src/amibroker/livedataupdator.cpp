#include "amibroker/livedataupdator.h"

#include "amibroker/liveimportcycle.h"
#include "app/settingskeys.h"
#include "live/pendingbatches.h"
#include "platform/brokerautomation.h"
#include "platform/brokerthread.h"
#include "platform/installpaths.h"

#include <QCoreApplication>
#include <QDebug>
#include <QReadWriteLock>
#include <QThread>

namespace {
// How long broker() waits for the broker thread to make the automation object.
constexpr int kBrokerReadyBoundMs = 30000;
} // namespace

// A backfill import may still run in its thread when this object goes; its calls must then
// find no broker thread instead of a destroyed one.
struct liveDataUpdator::BrokerGate
{
    QReadWriteLock lock;
    BrokerThread *broker = nullptr;
};

liveDataUpdator::liveDataUpdator(QObject *parent)
    : QObject(parent)
{
    amibrokerDatabasePath = InstallPaths::databaseDir();
    pollFilePath = InstallPaths::pollFile();
    importFilePath = InstallPaths::importFile();
    realtimeFormatPath = InstallPaths::formatRealtime();
    rootPath = InstallPaths::rootSlash();

    m_brokerThread = std::make_unique<BrokerThread>();
    m_cycle = new LiveImportCycle(m_brokerThread.get());
    m_brokerThread->start();
    m_backfillGate = std::make_shared<BrokerGate>();
    m_backfillGate->broker = m_brokerThread.get();
    // Batches kept by an earlier pass (a Restart) or left in the spool by a killed run are
    // waiting; the first cycle of this pass imports them before anything new.
    PendingBatches::recover();

    m_serverDb.connect();
}

liveDataUpdator::~liveDataUpdator()
{
    // The cycle goes with the broker thread's loop; a backfill import waiting for a call is
    // released by the shutdown, and its later calls find the gate closed.
    m_cycle->deleteLater();
    m_cycle = nullptr;
    m_brokerThread->shutdown(BrokerThread::kShutdownBoundMs);
    {
        QWriteLocker lock(&m_backfillGate->lock);
        m_backfillGate->broker = nullptr;
    }
    // What the charting program has not taken yet survives the end of the process.
    PendingBatches::persist();
}

BrokerAutomation *liveDataUpdator::broker()
{
    m_brokerThread->waitUntilReady(kBrokerReadyBoundMs);
    return m_brokerThread->automation();
}

qint64 liveDataUpdator::importCycles() const { return m_cycle ? m_cycle->cycles() : 0; }
qint64 liveDataUpdator::importedBatches() const { return m_cycle ? m_cycle->importedBatches() : 0; }
qint64 liveDataUpdator::liveImports() const { return m_cycle ? m_cycle->imports() : 0; }
qint64 liveDataUpdator::largestLiveImportBytes() const
{
    return m_cycle ? m_cycle->largestImportBytes() : 0;
}
qint64 liveDataUpdator::ownWorkNs() const { return m_cycle ? m_cycle->ownWorkNs() : 0; }
qint64 liveDataUpdator::brokerCallNs() const { return m_cycle ? m_cycle->brokerCallNs() : 0; }
bool liveDataUpdator::isImportFailing() const { return m_cycle && m_cycle->isFailing(); }
void liveDataUpdator::setTickedMinutes(std::shared_ptr<TickedMinutes> minutes)
{
    if (m_cycle)
        m_cycle->setTickedMinutes(std::move(minutes));
}

void liveDataUpdator::setImportRetryIntervalMs(int ms)
{
    if (m_cycle)
        m_cycle->setRetryIntervalMs(ms);
}

QByteArray liveDataUpdator::importCall(const QString &filePath, const QString &formatDll)
{
    return QStringLiteral("Import(%1,%2,%3)").arg(0).arg(filePath, formatDll).toUtf8();
}

QVariant liveDataUpdator::importIntoAmiBroker(QString filePath, QString formatDll)
{
    // In the broker thread the call is made at once; from any other thread it is made
    // there and waited for (never from the GUI thread in the product).
    return m_brokerThread->callAndWait(importCall(filePath, formatDll), {}, -1);
}

QSet<QString> liveDataUpdator::spooledSymbols()
{
    const QStringList &source = selectedSymbols.isEmpty() ? SettingsKeys::defaultSymbols() : selectedSymbols;
    // Comparing with the copy taken last time is one pointer test while the list is unchanged.
    if (m_spooledSymbols.isEmpty() || source != m_spooledSymbolsFrom) {
        m_spooledSymbolsFrom = source;
        m_spooledSymbols = QSet<QString>(source.cbegin(), source.cend());
    }
    return m_spooledSymbols;
}

ImportWorker::Broker liveDataUpdator::backfillBroker() const
{
    const std::shared_ptr<BrokerGate> gate = m_backfillGate;
    ImportWorker::Broker broker;
    // No bound: a backfill import waits as long as the charting program takes. The
    // shutdown at the end of the pass releases the wait (a null result).
    broker.importFile = [gate](const QString &file, const QString &format) {
        QReadLocker lock(&gate->lock);
        return gate->broker && !gate->broker->callAndWait(importCall(file, format), {}, -1).isNull();
    };
    // The charting program's rests between a chunk and its attempts are kept in the broker
    // thread, so no other call reaches it meanwhile.
    broker.pause = [gate](int ms) {
        QReadLocker lock(&gate->lock);
        if (gate->broker)
            gate->broker->runAndWait([ms](BrokerAutomation *) { QThread::msleep(ulong(ms)); }, -1);
    };
    return broker;
}

void liveDataUpdator::updateDataAmi()
{
    // The cycle runs in the broker thread; here it is only asked for.
    if (m_cycle)
        m_cycle->request({importFilePath, realtimeFormatPath, spooledSymbols()});
}
