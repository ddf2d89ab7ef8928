// Gap repair wiring of the main window: the outage bookkeeping hears from the feed, the
// repair runs through the intraday backfill's queue and step slot.
#include "ui/mainwindow.h"

#include "amibroker/livedataupdator.h"
#include "amibroker/liveimporter.h"
#include "app/settingskeys.h"
#include "backfill/backfillimport.h"
#include "backfill/backfillrequest.h"
#include "backfill/gaprepair.h"
#include "backfill/mydownloader.h"
#include "backfill/tickedminutes.h"
#include "live/outagetracker.h"
#include "live/pendingbatches.h"
#include "live/livefeed.h"
#include "live/symbolmapping.h"
#include "live/watchlist.h"
#include "platform/installpaths.h"
#include "ui/uptimeoverlay.h"
#include "ui/watchlisttable.h"

#include <QDir>
#include <QFile>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

namespace {

void appendToErrorLog(const QString &line)
{
    QDir().mkpath(InstallPaths::backfillWorkDir());
    QFile log(InstallPaths::backfillErrorLog());
    const bool open = log.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text);
    BackfillImport::logLine(open ? &log : nullptr, line, QString());
}

} // namespace

void verodezuvivuderaz2::setupGapRepair()
{
    // Switched off, nothing is kept either: the live path carries no bookkeeping at all.
    if (!AppSettings().value(SettingsKeys::autoGapFill, true).toBool())
        return;

    m_outageTracker = new OutageTracker(InstallPaths::outageStateFile(), this);
    GapRepair::Hooks hooks;
    hooks.watchlist = [this] { return m_watchlist->symbols(); };
    hooks.url = [this](const QString &symbol, int days) {
        return BackfillRequest::intradayUrl(chosenBackfillPath(), userIdText(), secureKey(),
                                            QString::number(days),
                                            SymbolMapping::reverseLookup(symbol));
    };
    hooks.backfillIdle = [this] { return backfillIdleForRepair(); };
    hooks.logFailure = &appendToErrorLog;
    // The answers carry the server's names, as the requests do.
    hooks.serverName = &SymbolMapping::reverseLookup;
    auto ticked = std::make_shared<TickedMinutes>();
    hooks.tickedMinutes = [ticked] { return ticked->snapshot(); };
    m_gapRepair = new GapRepair(std::move(hooks), this);
    m_importer->setTakenTicksObserver([ticked](const QByteArray &ticks) { ticked->note(ticks); });
    if (m_updator) {
        m_updator->repairScopeForImport = [repair = QPointer<GapRepair>(m_gapRepair)] {
            return repair && repair->isRunning() ? repair->importScope() : nullptr;
        };
    }

    connect(m_outageTracker, &OutageTracker::outageBegan, this,
            [this](OutageTracker::Cause cause, QDateTime since) {
                // Unticked in the Settings dialog since the start: no more repairs.
                m_gapRepair->setEnabled(AppSettings().value(SettingsKeys::autoGapFill, true).toBool());
                m_gapRepair->outageBegan(since, cause != OutageTracker::Cause::EarlierRun);
            });
    connect(m_gapRepair, &GapRepair::runRequested, this, &verodezuvivuderaz2::startGapRepairRun);
    connect(m_gapRepair, &GapRepair::repairStarted, m_outageTracker,
            &OutageTracker::noteRepairStarted);
    connect(m_gapRepair, &GapRepair::repairEnded, m_outageTracker,
            [tracker = m_outageTracker](QDateTime stillMissingSince, bool) {
                tracker->noteRepairEnded(stillMissingSince);
            });
    if (m_backfillDownloader) {
        // A request that got no bytes for the time-out counts as failed, like an error.
        connect(m_backfillDownloader->timeoutTimer(), &QTimer::timeout, this,
                &verodezuvivuderaz2::gapRepairRequestFailed);
    }
    // Batches the charting program could not take and the spool could not keep either.
    connect(PendingBatches::notifier(), &PendingBatches::Notifier::batchesDropped, m_outageTracker,
            &OutageTracker::noteDroppedBatches, Qt::QueuedConnection);
    m_outageTracker->load();
}

void verodezuvivuderaz2::wireGapRepair()
{
    // The watchlist table marks quiet symbols only while the link is up.
    connect(m_feed, &LiveFeed::connected, this, [this] { m_table->linkUp(m_uptime->elapsedMs()); });
    connect(m_feed, &LiveFeed::disconnected, this, [this] { m_table->linkDown(); });
    if (!m_outageTracker || !m_gapRepair)
        return;
    connect(m_feed, &LiveFeed::connected, this, [this] { m_feedAwaitsFirstBatch = true; });
    connect(m_feed, &LiveFeed::disconnected, this,
            [this] {
                m_feedAwaitsFirstBatch = false;
                m_gapRepair->linkLost();
                m_outageTracker->noteLinkLost();
            });
    connect(m_feed, &LiveFeed::batchStored, this,
            [this] {
                m_outageTracker->noteTicksImported();
                // Batches only come once subscribed: the link is really back.
                if (m_feedAwaitsFirstBatch) {
                    m_feedAwaitsFirstBatch = false;
                    m_gapRepair->linkLive();
                }
            });
}

bool verodezuvivuderaz2::backfillIdleForRepair() const
{
    return m_updator && !m_backfillBusy && m_updator->backfillQueue.isEmpty()
           && ui.backfillButton->text() != QLatin1String("Stop");
}

void verodezuvivuderaz2::noteBackfillIdle()
{
    // After the step slot has returned: a repair started from inside it would find the
    // slot busy and never take its first request.
    if (m_gapRepair)
        QTimer::singleShot(0, m_gapRepair, &GapRepair::backfillIdle);
}

void verodezuvivuderaz2::startGapRepairRun(const QStringList &urls)
{
    if (!m_updator)
        return;
    m_updator->backfillQueue.append(urls);
    doAutoBackFill();
}

void verodezuvivuderaz2::gapRepairRequestFailed()
{
    if (!m_gapRepair || !m_gapRepair->isRunning() || !m_gapRepair->requestFailed())
        return;
    // Given up after its second request: the downloader's own retry (scheduled right
    // after this signal) is replaced by the next symbol's request.
    const int runs = m_gapRepair->runsStarted();
    const int step = m_gapRepair->current();
    QTimer::singleShot(0, this, [this, runs, step] {
        if (!m_gapRepair->isRunning() || m_gapRepair->runsStarted() != runs
            || m_gapRepair->current() != step)
            return;
        backfillDone();
        doAutoBackFill();
    });
}
