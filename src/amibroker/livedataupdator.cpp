#include "amibroker/livedataupdator.h"

#include "live/pendingbatches.h"
#include "live/symbolmapping.h"
#include "live/tickrecorder.h"
#include "platform/brokerautomation.h"
#include "platform/installpaths.h"

#include <QCoreApplication>
#include <QDebug>

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

    // Every recorded batch not yet imported, oldest first. A cycle that finds none has
    // nothing to do: an earlier cycle already imported its batch.
    const QList<QByteArray> pending = PendingBatches::takeAll();
    if (pending.isEmpty())
        return;
    ++m_importCycles;

    QByteArray ticks;
    for (const QByteArray &b : pending)
        ticks += b;

    // An import file without a usable line is not handed to the charting program.
    qint64 importBytes = 0;
    if (!TickRecorder::buildImportFile(ticks, importFilePath, SymbolMapping::load(), &importBytes)
        || importBytes == 0)
        return;

    if (QThread::currentThread() == QCoreApplication::instance()->thread()) {
        importIntoAmiBroker(importFilePath, realtimeFormatPath);
    } else {
        QVariant ignored;
        QMetaObject::invokeMethod(this, "importIntoAmiBroker", Qt::BlockingQueuedConnection,
                                  Q_RETURN_ARG(QVariant, ignored),
                                  Q_ARG(QString, importFilePath),
                                  Q_ARG(QString, realtimeFormatPath));
    }
    callBroker("RefreshAll()");
    m_importedBatches += pending.size();
    m_lastImport.start();
}

void liveDataUpdator::do5DayFastBackfill() {}
