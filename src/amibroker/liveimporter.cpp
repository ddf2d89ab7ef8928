#include "amibroker/liveimporter.h"

#include "amibroker/liveimportcycle.h"
#include "app/settingskeys.h"
#include "live/pendingbatches.h"
#include "platform/brokerautomation.h"
#include "platform/brokerprocess.h"
#include "platform/brokerthread.h"
#include "platform/installpaths.h"

#include <QDebug>
#include <QReadWriteLock>
#include <QThread>

namespace {

// How long broker() waits for the broker thread to make the automation object.
constexpr int kBrokerReadyBoundMs = 30000;
constexpr int kExitCommand = 33029; // the charting program's "exit" command (0x8105)

QByteArray importCall(const QString &filePath, const QString &formatDll)
{
    return QStringLiteral("Import(%1,%2,%3)").arg(0).arg(filePath, formatDll).toUtf8();
}

} // namespace

// A backfill import may still run in its thread when the broker thread ends or this object
// goes; its calls must then find no broker thread instead of a destroyed one.
struct LiveImporter::BrokerGate
{
    QReadWriteLock lock;
    BrokerThread *broker = nullptr;
};

LiveImporter::LiveImporter(QObject *parent)
    : QObject(parent)
    , m_importFile(InstallPaths::importFile())
    , m_realtimeFormat(InstallPaths::formatRealtime())
{
    setFollowedSymbols({});
    m_brokerThread = std::make_unique<BrokerThread>();
    m_cycle = new LiveImportCycle(m_brokerThread.get());
    m_brokerThread->start();
    m_gate = std::make_shared<BrokerGate>();
    m_gate->broker = m_brokerThread.get();
    // Batches kept by an earlier pass (a Restart) or left in the spool by a killed run are
    // waiting; the first cycle of this pass imports them before anything new.
    PendingBatches::recover();
}

LiveImporter::~LiveImporter() { shutdown(); }

void LiveImporter::shutdown()
{
    if (!m_cycle)
        return;
    // The cycle goes with the broker thread's loop; a backfill import waiting for a call
    // is released by the shutdown and ends.
    m_cycle->deleteLater();
    m_cycle = nullptr;
    m_brokerThread->shutdown(BrokerThread::kShutdownBoundMs);
    {
        QWriteLocker lock(&m_gate->lock);
        m_gate->broker = nullptr;
    }
    // What the charting program has not taken yet survives the end of the process.
    PendingBatches::persist();
}

BrokerAutomation *LiveImporter::broker()
{
    m_brokerThread->waitUntilReady(kBrokerReadyBoundMs);
    return m_brokerThread->automation();
}

BrokerCalls LiveImporter::brokerCalls() const
{
    const std::shared_ptr<BrokerGate> gate = m_gate;
    BrokerCalls calls;
    // No bound: a backfill import waits as long as the charting program takes. The
    // shutdown at the end of the pass releases the wait (a null result).
    calls.importAndWait = [gate](const QString &file, const QString &format) {
        QReadLocker lock(&gate->lock);
        return gate->broker && !gate->broker->callAndWait(importCall(file, format), {}, -1).isNull();
    };
    // The charting program's rests between a chunk and its attempts are kept in the broker
    // thread, so no other call reaches it meanwhile.
    calls.rest = [gate](int ms) {
        QReadLocker lock(&gate->lock);
        if (gate->broker)
            gate->broker->runAndWait([ms](BrokerAutomation *) { QThread::msleep(ulong(ms)); }, -1);
    };
    return calls;
}

void LiveImporter::setFollowedSymbols(const QStringList &symbols)
{
    const QStringList &source = symbols.isEmpty() ? SettingsKeys::defaultSymbols() : symbols;
    if (!m_followedSet.isEmpty() && source == m_followed)
        return;
    m_followed = source;
    m_followedSet = QSet<QString>(source.cbegin(), source.cend());
}

void LiveImporter::setImportedTicksObserver(std::function<void(const QByteArray &)> observer)
{
    if (m_cycle)
        m_cycle->setImportedTicksObserver(std::move(observer));
}

void LiveImporter::setTakenTicksObserver(std::function<void(const QByteArray &)> observer)
{
    if (m_cycle)
        m_cycle->setTakenTicksObserver(std::move(observer));
}

void LiveImporter::importBatches()
{
    // The cycle runs in the broker thread; here it is only asked for.
    if (m_cycle)
        m_cycle->request({m_importFile, m_realtimeFormat, m_followedSet});
}

void LiveImporter::loadDatabase(const QString &folder)
{
    // Its result is of no consequence: the import calls report their own failures.
    m_brokerThread->call("LoadDatabase(QString&)", {folder});
    importBatches();
}

QVariant LiveImporter::importIntoAmiBroker(QString filePath, QString formatDll)
{
    // In the broker thread the call is made at once; from any other thread it is made
    // there and waited for (never from the GUI thread in the product).
    return m_brokerThread->callAndWait(importCall(filePath, formatDll), {}, -1);
}

namespace {

void callOnClose(BrokerThread *broker, const QByteArray &call, const QVariantList &args = {})
{
    bool timedOut = false;
    broker->callAndWait(call, args, BrokerThread::kCloseCallBoundMs, &timedOut);
    if (timedOut) {
        qDebug().noquote() << QStringLiteral("The charting program did not answer %1 within %2 ms; "
                                             "closing goes on without it")
                                  .arg(QString::fromUtf8(call))
                                  .arg(BrokerThread::kCloseCallBoundMs);
    }
}

} // namespace

// The close sequence and Restart are the only places where the GUI thread waits for the
// charting program, and there only for a bounded time per call: a busy or hung charting
// program costs the close at most that long, after which it goes on without the answer.
bool LiveImporter::isReadyForClose()
{
    return m_brokerThread->waitUntilReady(BrokerThread::kCloseCallBoundMs) && m_brokerThread->automation();
}

void LiveImporter::saveDatabaseAndLayout()
{
    callOnClose(m_brokerThread.get(), "SaveDatabase()");
    if (AppSettings().value(SettingsKeys::saveLayout, false).toBool())
        callOnClose(m_brokerThread.get(), QStringLiteral("SaveLayout(%1)").arg(InstallPaths::layoutFile()).toLocal8Bit());
}

void LiveImporter::closeBroker(bool control, const std::function<void()> &beforeEnd)
{
    const bool ready = isReadyForClose();
    if (ready)
        callOnClose(m_brokerThread.get(), "ExecuteCommand(int)", {kExitCommand});
    if (!control)
        return;
    if (ready)
        saveDatabaseAndLayout();
    if (beforeEnd)
        beforeEnd();
    // The charting program needs a moment to finish its own shutdown before it is ended.
    QThread::msleep(1000);
    BrokerProcess::endBroker();
}

bool LiveImporter::saveForRestart()
{
    if (!isReadyForClose())
        return false;
    saveDatabaseAndLayout();
    return true;
}

qint64 LiveImporter::importCycles() const { return m_cycle ? m_cycle->cycles() : 0; }
qint64 LiveImporter::importedBatches() const { return m_cycle ? m_cycle->importedBatches() : 0; }
qint64 LiveImporter::liveImports() const { return m_cycle ? m_cycle->imports() : 0; }
qint64 LiveImporter::largestLiveImportBytes() const { return m_cycle ? m_cycle->largestImportBytes() : 0; }
qint64 LiveImporter::ownWorkNs() const { return m_cycle ? m_cycle->ownWorkNs() : 0; }
qint64 LiveImporter::brokerCallNs() const { return m_cycle ? m_cycle->brokerCallNs() : 0; }
bool LiveImporter::isImportFailing() const { return m_cycle && m_cycle->isFailing(); }

void LiveImporter::setImportRetryIntervalMs(int ms)
{
    if (m_cycle)
        m_cycle->setRetryIntervalMs(ms);
}
