#include "backfill/backfillrun.h"

#include "app/settingskeys.h"
#include "archive/archiveentries.h"
#include "backfill/archivedownloader.h"
#include "backfill/backfillerrorlog.h"
#include "backfill/backfillrequest.h"
#include "backfill/gaprepair.h"
#include "live/tickedminutes.h"
#include "live/outagetracker.h"
#include "live/pendingbatches.h"
#include "live/symbolmapping.h"
#include "live/livefeed.h"
#include "platform/installpaths.h"

#include <QDebug>
#include <QFile>
#include <QTimer>

namespace {

QString ask(const std::function<QString()> &f) { return f ? f() : QString(); }

} // namespace

BackfillRun::BackfillRun(Source source, QObject *parent)
    : QObject(parent)
    , m_source(std::move(source))
    // Nothing is requested before a run gives the downloader a real URL.
    , m_downloader(new ArchiveDownloader(QStringLiteral("backfilldata.zip"), QStringLiteral("http://127.0.0.1/"),
                                         InstallPaths::backfillDirTrailing(), 0, this))
    , m_imports(new ImportWorker(this))
{
    connect(m_downloader, &ArchiveDownloader::progress, this, &BackfillRun::onProgress);
    connect(m_downloader, &ArchiveDownloader::finished, this, &BackfillRun::onDownloaded);
    connect(m_downloader, &ArchiveDownloader::attemptFailed, this, &BackfillRun::onAttemptFailed);
    connect(m_downloader, &ArchiveDownloader::givenUp, this, &BackfillRun::onGivenUp);
    connect(m_imports, &ImportWorker::intradayImported, this, &BackfillRun::onIntradayImported);
    connect(m_imports, &ImportWorker::eodImported, this, &BackfillRun::onEodImported);
}

BackfillRun::~BackfillRun() = default;

void BackfillRun::setBroker(BrokerCalls broker) { m_imports->setBroker(std::move(broker)); }
void BackfillRun::setDayLedger(std::shared_ptr<DayLedger> ledger) { m_imports->setDayLedger(std::move(ledger)); }

QStringList BackfillRun::busySymbols() const
{
    QStringList symbols;
    if (m_kind != Kind::Intraday)
        return symbols;
    if (!m_downloader->isIdle() || m_awaitingImport)
        symbols.append(BackfillRequest::symbolOfUrl(m_downloader->url().toString()));
    for (const QString &url : m_queue)
        symbols.append(BackfillRequest::symbolOfUrl(url));
    return symbols;
}

bool BackfillRun::repairMissing(const QStringList &symbols, const QDateTime &since)
{
    if (symbols.isEmpty())
        return false;
    if (m_gapRepair && m_gapRepair->isEnabled()) {
        m_gapRepair->repairSymbols(symbols, since);
        return true;
    }
    if (!isIdle())
        return false;
    startIntraday(symbols, QStringLiteral("1"));
    return true;
}

QStringList BackfillRun::watchlist() const
{
    return m_source.watchlist ? m_source.watchlist() : QStringList();
}

QString BackfillRun::requestUrl(const QString &symbol, const QString &days, QString *why) const
{
    // The request names the server's symbol: the user's name is mapped back first.
    return BackfillRequest::intradayUrl(ask(m_source.backfillPath), ask(m_source.userId),
                                        ask(m_source.secureKey), days,
                                        SymbolMapping::reverseLookup(symbol), why);
}

void BackfillRun::queueRequest(const QString &symbol, const QString &days)
{
    QString why;
    const QString url = requestUrl(symbol, days, &why);
    if (!url.isEmpty()) {
        m_queue.append(url);
        return;
    }
    // A refused setting refuses every symbol alike: it is named once. The symbol comes
    // from the settings store: nothing in it may break a log line or the bar.
    const QString shown = ArchiveEntries::printable(symbol);
    const bool symbolRefused = why == QLatin1String("unusable symbol");
    const QString reason = symbolRefused ? QStringLiteral("%1 %2").arg(why, shown) : why;
    if (m_refused.contains(reason))
        return;
    m_refused.append(reason);
    BackfillErrorLog::append(QStringLiteral(" - request not made (%1) for ").arg(why), shown);
}

void BackfillRun::startIntraday(const QStringList &symbols, const QString &days)
{
    if (!isIdle() || m_closing)
        return;
    m_queue.clear();
    m_refused.clear();
    m_skipped.clear();
    for (const QString &symbol : symbols)
        queueRequest(symbol, days);
    step();
}

bool BackfillRun::repairRunning() const { return m_gapRepair && m_gapRepair->isRunning(); }

void BackfillRun::setActive(bool active)
{
    if (m_active == active)
        return;
    m_active = active;
    emit activeChanged(active);
}

void BackfillRun::step()
{
    if (m_stepping || m_closing)
        return;
    m_stepping = true;
    if (m_queue.isEmpty()) {
        finishIntraday();
        m_stepping = false;
        noteIdle();
        return;
    }
    const QString url = m_queue.takeFirst();
    if (!m_announced) {
        m_announced = true;
        emit intradayStarted();
        emit progress(0, QStringLiteral("Starting Intraday Backfill..."));
    }
    m_kind = Kind::Intraday;
    m_awaitingImport = false;
    if (repairRunning()) {
        m_gapRepair->stepStarted(url);
        emit progress(-1, m_gapRepair->currentProgressText());
    }
    m_downloader->initialize(BackfillRequest::downloadFileName(ask(m_source.userId)), url,
                             InstallPaths::backfillDirTrailing(), 0, kIntradayRequestDelayMs);
    setActive(true);
    m_stepping = false;
}

void BackfillRun::finishIntraday()
{
    const bool repair = repairRunning();
    // A run that could not ask for everything says so instead of "Backfill Done", and one
    // that had to skip symbols names them after it.
    QString endText = repair ? m_gapRepair->endText() : QStringLiteral("Backfill Done");
    if (!m_refused.isEmpty())
        endText = QStringLiteral("Backfill not requested: ") + m_refused.join(QStringLiteral("; "));
    else if (!m_skipped.isEmpty())
        endText += QStringLiteral(" (skipped: %1)").arg(m_skipped.join(QStringLiteral(", ")));
    emit progress(100, endText.left(200));
    if (!m_refused.isEmpty() || !m_skipped.isEmpty())
        emit statusText(endText);
    m_refused.clear();
    m_skipped.clear();
    qDebug().noquote() << (repair ? "Gap repair run complete:" : "Intraday backfill run complete:") << endText;
    m_kind = Kind::None;
    m_announced = false;
    setActive(false);
    if (repair)
        m_gapRepair->runCompleted();
}

void BackfillRun::startEod(const QString &requestName, bool watchlistOnly)
{
    if (!isIdle() || m_closing)
        return;
    m_eodWatchlistOnly = watchlistOnly;
    const QString url = BackfillRequest::eodUrl(&m_oneDayUrl, requestName);
    emit progress(0, QStringLiteral("Starting EOD Backfill..."));
    m_kind = Kind::Eod;
    m_awaitingImport = false;
    m_downloader->initialize(QStringLiteral("backfilldata.zip"), url, InstallPaths::backfillDirTrailing(), 0,
                             kEodRequestDelayMs);
    setActive(true);
}

void BackfillRun::finishEod(const QString &text)
{
    m_kind = Kind::None;
    emit progress(100, text);
    setActive(false);
    // Already gone when the extraction succeeded.
    QFile::remove(InstallPaths::backfillZip());
    noteIdle();
}

void BackfillRun::stop()
{
    m_queue.clear();
    m_refused.clear();
    m_skipped.clear();
    // The transfer in flight, the archiver and the timers end with the run.
    m_downloader->cancel();
    m_awaitingImport = false;
    m_kind = Kind::None;
    m_announced = false;
    setActive(false);
    if (m_gapRepair)
        m_gapRepair->runStopped();
    noteIdle();
}

void BackfillRun::stopForClose()
{
    m_closing = true;
    m_imports->stop();
    m_queue.clear();
    m_downloader->cancel();
}

void BackfillRun::noteIdle()
{
    if (m_gapRepair)
        QTimer::singleShot(0, m_gapRepair, &GapRepair::backfillIdle);
}

void BackfillRun::onProgress(const QString &progress, const QString &speed)
{
    if (m_kind == Kind::Intraday) {
        const QString symbol = BackfillRequest::symbolOfUrl(m_downloader->url().toString());
        emit this->progress(BackfillRequest::intradayProgressValue(progress),
                            repairRunning() ? m_gapRepair->currentProgressText()
                                            : BackfillRequest::intradayProgressText(symbol, speed));
    } else if (m_kind == Kind::Eod) {
        const int value = BackfillRequest::eodProgressValue(progress);
        emit this->progress(value >= 0 ? value : -1, QStringLiteral("Downloading: %1 (%2)").arg(progress, speed));
    }
}

void BackfillRun::onDownloaded()
{
    if (m_closing || m_kind == Kind::None)
        return;
    m_awaitingImport = true;
    if (m_kind == Kind::Intraday)
        m_imports->importIntraday(repairRunning() ? m_gapRepair->importScope() : nullptr);
    else
        m_imports->importEod(m_eodWatchlistOnly, watchlist());
}

void BackfillRun::onIntradayImported()
{
    if (m_closing || m_kind != Kind::Intraday || !m_awaitingImport)
        return; // the import of a run that was stopped meanwhile
    m_awaitingImport = false;
    step();
}

void BackfillRun::onEodImported()
{
    if (m_closing || m_kind != Kind::Eod || !m_awaitingImport)
        return;
    m_awaitingImport = false;
    finishEod(QStringLiteral("EOD Backfill Done"));
}

void BackfillRun::onGivenUp(const QString &symbol, const QString &reason, bool forSpace)
{
    if (m_closing)
        return;
    // The downloader has written the symbol and the reason to the error log.
    if (m_kind == Kind::Eod) {
        emit statusText(QStringLiteral("EOD Backfill skipped %1: %2").arg(symbol, reason));
        finishEod(QStringLiteral("EOD Backfill Failed"));
        return;
    }
    if (m_kind != Kind::Intraday)
        return;
    // The run goes on with the next symbol. A refusal for disk space is named with its
    // figures at the end too: it tells the user what to free.
    emit statusText(QStringLiteral("Backfill skipped %1: %2").arg(symbol, reason));
    const QString skipped = forSpace ? QStringLiteral("%1 (%2)").arg(symbol, reason) : symbol;
    if (!m_skipped.contains(skipped))
        m_skipped.append(skipped);
    emit progress(-1, QStringLiteral("(%1) skipped").arg(symbol));
    step();
}

void BackfillRun::onAttemptFailed()
{
    // A repair gives a symbol up after its second failed request: the downloader's own
    // retry (scheduled right after this signal) is replaced by the next symbol's request.
    if (m_kind != Kind::Intraday || !repairRunning() || !m_gapRepair->requestFailed())
        return;
    const int runs = m_gapRepair->runsStarted();
    const int current = m_gapRepair->current();
    QTimer::singleShot(0, this, [this, runs, current] {
        if (m_kind != Kind::Intraday || !repairRunning() || m_gapRepair->runsStarted() != runs
            || m_gapRepair->current() != current)
            return;
        step();
    });
}

void BackfillRun::setUpGapRepair()
{
    // Switched off, nothing is kept either: the live path carries no bookkeeping at all.
    if (m_gapRepair || !AppSettings().value(SettingsKeys::autoGapFill, true).toBool())
        return;

    m_outageTracker = new OutageTracker(InstallPaths::outageStateFile(), this);
    m_ticked = std::make_shared<TickedMinutes>();
    GapRepair::Hooks hooks;
    hooks.watchlist = [this] { return watchlist(); };
    hooks.url = [this](const QString &symbol, int days) { return requestUrl(symbol, QString::number(days), nullptr); };
    hooks.backfillIdle = [this] { return isIdle() && !m_stepping; };
    hooks.logFailure = [](const QString &line) { BackfillErrorLog::append(line); };
    // The answers carry the server's names, as the requests do.
    hooks.serverName = &SymbolMapping::reverseLookup;
    hooks.tickedMinutes = [ticked = m_ticked] { return ticked->snapshot(); };
    m_gapRepair = new GapRepair(std::move(hooks), this);

    connect(m_outageTracker, &OutageTracker::outageBegan, this,
            [this](OutageTracker::Cause cause, QDateTime since) {
                // Unticked in the Settings dialog since the start: no more repairs.
                m_gapRepair->setEnabled(AppSettings().value(SettingsKeys::autoGapFill, true).toBool());
                m_gapRepair->outageBegan(since, cause != OutageTracker::Cause::EarlierRun);
            });
    // A repair asks only while no run is under way (backfillIdle above).
    connect(m_gapRepair, &GapRepair::runRequested, this, [this](const QStringList &urls) {
        m_queue.append(urls);
        step();
    });
    connect(m_gapRepair, &GapRepair::repairStarted, m_outageTracker, &OutageTracker::noteRepairStarted);
    connect(m_gapRepair, &GapRepair::repairEnded, m_outageTracker,
            [tracker = m_outageTracker](QDateTime stillMissingSince, bool) {
                tracker->noteRepairEnded(stillMissingSince);
            });
    // Batches the charting program could not take and the spool could not keep either.
    connect(PendingBatches::notifier(), &PendingBatches::Notifier::batchesDropped, m_outageTracker,
            &OutageTracker::noteDroppedBatches, Qt::QueuedConnection);
    m_outageTracker->load();
}

void BackfillRun::followFeed(LiveFeed *feed)
{
    if (!m_outageTracker || !m_gapRepair)
        return;
    connect(feed, &LiveFeed::connected, this, [this] { m_feedAwaitsFirstBatch = true; });
    connect(feed, &LiveFeed::disconnected, this, [this] {
        m_feedAwaitsFirstBatch = false;
        m_gapRepair->linkLost();
        m_outageTracker->noteLinkLost();
    });
    connect(feed, &LiveFeed::batchStored, this, [this] {
        m_outageTracker->noteTicksImported();
        // Batches only come once subscribed: the link is really back.
        if (m_feedAwaitsFirstBatch) {
            m_feedAwaitsFirstBatch = false;
            m_gapRepair->linkLive();
        }
    });
}

void BackfillRun::flushOutageState()
{
    if (m_outageTracker)
        m_outageTracker->flush();
}
