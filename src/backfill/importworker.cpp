#include "backfill/importworker.h"

#include "backfill/eodimport.h"
#include "backfill/repairscope.h"
#include "backfill/symbolrewriter.h"
#include "live/dayledger.h"
#include "live/symbolmapping.h"
#include "platform/installpaths.h"

#include <QDebug>
#include <QThread>

ImportWorker::ImportWorker(QObject *parent) : QObject(parent) {}

ImportWorker::~ImportWorker()
{
    m_stopRequested = true;
    if (m_thread) {
        m_thread->wait();
        delete m_thread;
        m_thread = nullptr;
    }
}

void ImportWorker::stop()
{
    if (m_thread)
        qDebug() << "Backfill import: stop requested";
    m_stopRequested = true;
    m_intradayPending = false;
    m_eodPending = false;
}

BackfillImport::Hooks ImportWorker::hooks(const QString &format) const
{
    BackfillImport::Hooks hooks;
    // Made afresh for each file: a mapping saved during a run applies from the next file on.
    hooks.makeRewriter = [] { return std::make_unique<SymbolRewriter>(SymbolMapping::load()); };
    const BrokerCalls broker = m_broker;
    hooks.importChunk = [broker, format](const QString &chunk) {
        return broker.importAndWait && broker.importAndWait(chunk, format);
    };
    hooks.pause = [broker](int ms) {
        if (broker.rest)
            broker.rest(ms);
    };
    hooks.betweenFiles = [] {};
    const std::atomic<bool> *stopRequested = &m_stopRequested; // the destructor waits for the thread
    hooks.stopRequested = [stopRequested] { return stopRequested->load(); };
    return hooks;
}

void ImportWorker::importIntraday(std::shared_ptr<const RepairScope> scope)
{
    if (m_stopRequested)
        return;
    m_scope = std::move(scope);
    if (m_thread) {
        qDebug() << "Backfill import already running; its files are taken along";
        m_intradayPending = true;
        return;
    }
    start(Kind::Intraday);
}

void ImportWorker::importEod(bool watchlistOnly, const QStringList &watchlist)
{
    if (m_stopRequested)
        return;
    m_eodWatchlistOnly = watchlistOnly;
    m_eodWatchlist = watchlist;
    if (m_thread) {
        qDebug() << "End-of-day import waits: a backfill import is running";
        m_eodPending = true;
        return;
    }
    start(Kind::Eod);
}

void ImportWorker::start(Kind kind)
{
    std::function<void()> work;
    if (kind == Kind::Intraday) {
        BackfillImport::Hooks h = hooks(InstallPaths::formatIntraday());
        h.repairScope = m_scope;
        if (const std::shared_ptr<DayLedger> ledger = m_ledger) {
            const DayLedger::Source source = m_scope ? DayLedger::Source::Repair : DayLedger::Source::Backfill;
            h.importedToday = [ledger, source](const QByteArray &lines) { ledger->noteImported(lines, source); };
        }
        work = [h]() mutable { BackfillImport(std::move(h)).run(); };
    } else {
        const SymbolMap mapping = SymbolMapping::load();
        work = [watchlistOnly = m_eodWatchlistOnly, watchlist = m_eodWatchlist, mapping,
                h = hooks(InstallPaths::formatEod())]() mutable {
            EodImport::run(watchlistOnly, watchlist, mapping, std::move(h));
        };
    }
    QThread *thread = QThread::create(std::move(work));
    thread->setObjectName(QStringLiteral("backfill import"));
    m_thread = thread;
    connect(thread, &QThread::finished, this, [this, thread, kind] { onThreadFinished(thread, kind); });
    thread->start();
}

void ImportWorker::onThreadFinished(QThread *thread, Kind kind)
{
    if (m_thread != thread)
        return;
    m_thread = nullptr;
    thread->deleteLater();
    // Files that came after the run's last look at the folder: one more look answers both.
    if (kind == Kind::Intraday && m_intradayPending && !m_stopRequested) {
        m_intradayPending = false;
        start(Kind::Intraday);
        return;
    }
    if (kind == Kind::Intraday)
        emit intradayImported();
    else
        emit eodImported();
    if (m_thread || m_stopRequested)
        return; // a slot started the next import already, or the program is closing
    if (m_intradayPending) {
        m_intradayPending = false;
        start(Kind::Intraday);
    } else if (m_eodPending) {
        m_eodPending = false;
        start(Kind::Eod);
    }
}
