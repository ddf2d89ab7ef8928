#include "backfill/gaprepair.h"

#include <QDebug>

namespace {

// Watchlist names come from the settings store; nothing in them may break a log line.
QString printable(const QString &text)
{
    QString out = text.left(64);
    for (QChar &c : out) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || (c.unicode() >= 0x80 && c.unicode() < 0xa0))
            c = QLatin1Char('?');
    }
    return out;
}

// The earlier of two moments, an invalid one counting as unknown.
QDateTime earlier(const QDateTime &a, const QDateTime &b)
{
    if (!a.isValid() || !b.isValid())
        return a.isValid() ? a : b;
    return a < b ? a : b;
}

} // namespace

GapRepair::GapRepair(Hooks hooks, QObject *parent)
    : QObject(parent)
    , m_hooks(std::move(hooks))
{
    if (!m_hooks.now)
        m_hooks.now = [] { return QDateTime::currentDateTime(); };
    m_settle.setSingleShot(true);
    m_settle.setInterval(kSettleMs);
    connect(&m_settle, &QTimer::timeout, this, &GapRepair::tryStart);
}

int GapRepair::daysFor(const QDateTime &since, const QDateTime &now)
{
    if (!since.isValid() || !now.isValid())
        return 1;
    const qint64 back = since.toLocalTime().date().daysTo(now.toLocalTime().date());
    return int(qBound<qint64>(1, back + 1, kMaxDays));
}

QString GapRepair::progressText(int n, int total)
{
    return QStringLiteral("Repairing gaps (%1/%2)").arg(n).arg(total);
}

QString GapRepair::doneText() { return QStringLiteral("Gaps repaired"); }

QString GapRepair::endText() const
{
    const QStringList missed = unrepairedSymbols();
    if (missed.isEmpty())
        return doneText();
    QStringList names;
    for (int i = 0; i < missed.size() && i < kNamedSymbols; ++i)
        names.append(printable(missed.at(i)));
    QString text = QStringLiteral("Gaps repaired except ") + names.join(QStringLiteral(", "));
    if (missed.size() > kNamedSymbols)
        text += QStringLiteral(" and %1 more").arg(missed.size() - kNamedSymbols);
    return text;
}

std::shared_ptr<const RepairScope> GapRepair::importScope() const
{
    if (!m_running)
        return nullptr;
    QStringList serverNames;
    serverNames.reserve(m_runSymbols.size());
    for (const QString &symbol : m_runSymbols)
        serverNames.append(m_serverNameOf.value(symbol, symbol));
    // Whole minutes only: the current one is still being filled by the live ticks.
    return std::make_shared<const RepairScope>(
        serverNames, MinuteKey::of(m_runSince), MinuteKey::of(m_hooks.now()) - 1,
        m_hooks.tickedMinutes ? m_hooks.tickedMinutes() : TickedMinutes::Map(), m_tally);
}

QStringList GapRepair::unrepairedSymbols() const
{
    QStringList missed;
    const std::shared_ptr<const RepairScope> scope = importScope();
    for (const QString &symbol : m_runSymbols) {
        if (m_givenUp.contains(symbol)) {
            missed.append(symbol);
            continue;
        }
        const QByteArray server = m_serverNameOf.value(symbol, symbol).toUtf8();
        if (scope && m_tally->stored(server) == 0 && scope->hasMinuteToFill(server))
            missed.append(symbol);
    }
    return missed;
}

void GapRepair::setEnabled(bool enabled)
{
    m_enabled = enabled;
    if (enabled)
        tryStart();
}

void GapRepair::outageBegan(QDateTime since, bool waitForLink)
{
    if (!m_enabled)
        return;
    m_pendingSince = earlier(m_pendingSince, since.isValid() ? since : m_hooks.now());
    m_onlySymbols.clear(); // an outage concerns every symbol
    if (m_running) {
        // Joined: one more run after this one, once the link is back if it went.
        m_waitForLink = m_waitForLink || waitForLink;
        return;
    }
    m_waitForLink = m_waitForLink || waitForLink;
    if (!m_waitForLink || m_linkLive)
        m_settle.start();
    else
        m_settle.stop();
}

void GapRepair::repairSymbols(const QStringList &symbols, const QDateTime &since)
{
    if (!m_enabled || symbols.isEmpty() || !since.isValid())
        return;
    // Symbols of the user's may join a wait for some symbols, never narrow one for all.
    if (!isPending() || !m_onlySymbols.isEmpty()) {
        for (const QString &symbol : symbols) {
            if (!m_onlySymbols.contains(symbol))
                m_onlySymbols.append(symbol);
        }
    }
    m_pendingSince = earlier(m_pendingSince, since);
    tryStart();
}

void GapRepair::linkLost()
{
    m_linkLive = false;
    if (m_waitForLink)
        m_settle.stop();
}

void GapRepair::linkLive()
{
    m_linkLive = true;
    // Every return of the link starts the quiet period again: a link that keeps
    // flapping never gets there, one that stays up gets one run.
    if (isPending() && !m_running)
        m_settle.start();
}

void GapRepair::backfillIdle() { tryStart(); }

void GapRepair::tryStart()
{
    if (!m_enabled || m_running || !isPending() || m_settle.isActive())
        return;
    if (m_waitForLink && !m_linkLive)
        return;
    if (m_hooks.backfillIdle && !m_hooks.backfillIdle())
        return; // the owner calls backfillIdle() when its run is over

    const QDateTime now = m_hooks.now();
    const int days = daysFor(m_pendingSince, now);
    QStringList urls;
    QHash<QString, QString> symbolOfUrl;
    QStringList runSymbols;
    const QStringList watchlist = m_hooks.watchlist ? m_hooks.watchlist() : QStringList();
    QStringList symbols = watchlist;
    if (!m_onlySymbols.isEmpty()) {
        symbols.clear();
        for (const QString &symbol : qAsConst(m_onlySymbols)) {
            if (watchlist.contains(symbol))
                symbols.append(symbol);
        }
    }
    m_onlySymbols.clear();
    for (const QString &symbol : symbols) {
        const QString url = m_hooks.url ? m_hooks.url(symbol, days) : QString();
        if (url.isEmpty() || symbolOfUrl.contains(url))
            continue;
        urls.append(url);
        symbolOfUrl.insert(url, symbol);
        runSymbols.append(symbol);
    }
    const QDateTime since = m_pendingSince;
    m_pendingSince = QDateTime();
    m_waitForLink = false;
    if (urls.isEmpty()) {
        qDebug() << "Gap repair: no watchlist symbol to ask for";
        emit repairEnded(QDateTime(), true);
        return;
    }

    m_running = true;
    m_runSince = since;
    m_runStartedAt = now;
    m_urls = urls;
    m_symbolOfUrl = symbolOfUrl;
    m_runSymbols = runSymbols;
    m_serverNameOf.clear();
    for (const QString &symbol : qAsConst(m_runSymbols))
        m_serverNameOf.insert(symbol, m_hooks.serverName ? m_hooks.serverName(symbol) : symbol);
    m_tally = std::make_shared<RepairScope::Tally>();
    m_step = 0;
    m_failuresThisStep = 0;
    m_givenUp.clear();
    ++m_runsStarted;
    qDebug().noquote() << QStringLiteral("Gap repair: %1 symbol(s), d=%2, missing since %3")
                              .arg(urls.size())
                              .arg(days)
                              .arg(since.toString(Qt::ISODate));
    emit repairStarted();
    emit runRequested(urls);
}

QString GapRepair::symbolOf(const QString &url) const { return m_symbolOfUrl.value(url, url); }

void GapRepair::stepStarted(const QString &url)
{
    if (!m_running)
        return;
    Q_UNUSED(url)
    if (m_step < m_urls.size())
        ++m_step;
    m_failuresThisStep = 0;
}

bool GapRepair::requestFailed()
{
    if (!m_running || m_step < 1)
        return false;
    if (++m_failuresThisStep < kMaxRequestsPerSymbol)
        return false;
    m_givenUp.append(symbolOf(m_urls.at(m_step - 1)));
    return true;
}

void GapRepair::runCompleted()
{
    if (m_running)
        finishRun(false);
}

void GapRepair::runStopped()
{
    if (!m_running) {
        // The user stopped the run a repair was waiting for: that one is off too (what
        // it would have fetched stays recorded as missing by the tracker).
        m_pendingSince = QDateTime();
        m_waitForLink = false;
        m_settle.stop();
        return;
    }
    // The step under way was not imported; neither was anything after it.
    for (int i = qMax(0, m_step - 1); i < m_urls.size(); ++i) {
        const QString symbol = symbolOf(m_urls.at(i));
        if (!m_givenUp.contains(symbol))
            m_givenUp.append(symbol);
    }
    finishRun(true);
}

void GapRepair::finishRun(bool stoppedByUser)
{
    const QStringList missed = unrepairedSymbols();
    m_running = false;
    const bool complete = m_givenUp.isEmpty();
    const auto logUnrepaired = [this](const QString &why, const QStringList &symbols) {
        if (symbols.isEmpty() || !m_hooks.logFailure)
            return;
        QStringList names;
        names.reserve(symbols.size());
        for (const QString &s : symbols)
            names.append(printable(s));
        m_hooks.logFailure(QStringLiteral(" - gaps not repaired (%1): %2 symbol(s) from %3 to %4: %5")
                               .arg(why)
                               .arg(symbols.size())
                               .arg(m_runSince.toLocalTime().toString(Qt::ISODate),
                                    m_runStartedAt.toLocalTime().toString(Qt::ISODate), names.join(QLatin1Char(' '))));
    };
    logUnrepaired(stoppedByUser ? QStringLiteral("stopped") : QStringLiteral("server errors"), m_givenUp);
    // The server answered these, but with no bar that could be stored.
    QStringList nothingStored;
    for (const QString &s : missed) {
        if (!m_givenUp.contains(s))
            nothingStored.append(s);
    }
    logUnrepaired(QStringLiteral("nothing stored"), nothingStored);
    const QDateTime stillMissing = earlier(complete ? QDateTime() : m_runSince, m_pendingSince);
    m_urls.clear();
    m_symbolOfUrl.clear();
    m_givenUp.clear();
    m_runSymbols.clear();
    m_serverNameOf.clear();
    m_tally.reset();
    m_step = 0;
    if (stoppedByUser) {
        // Stop means stop: what is left waits for the next outage or start.
        m_pendingSince = QDateTime();
        m_waitForLink = false;
    }
    emit repairEnded(stillMissing, complete);
    tryStart();
}
