#include "live/outagetracker.h"

#include "platform/statefile.h"

#include <QDebug>
#include <QFile>

namespace {

const QByteArray kLastImportKey("lastImport");
const QByteArray kUnrepairedKey("unrepairedSince");
// Nothing this program wrote is older; such a value is damage, not history.
const QDateTime kEarliest(QDate(2000, 1, 1), QTime(0, 0), Qt::UTC);

QDateTime parseMoment(const QByteArray &value, const QDateTime &now)
{
    if (value.isEmpty() || value.size() > 40)
        return {};
    QDateTime t = QDateTime::fromString(QString::fromLatin1(value), Qt::ISODateWithMs);
    if (!t.isValid() || t < kEarliest)
        return {};
    t = t.toUTC();
    return t > now ? now : t;
}

} // namespace

QDateTime OutageTracker::earlier(const QDateTime &a, const QDateTime &b)
{
    if (!a.isValid())
        return b;
    if (!b.isValid())
        return a;
    return a < b ? a : b;
}

OutageTracker::OutageTracker(QString stateFile, QObject *parent)
    : QObject(parent)
    , m_stateFile(std::move(stateFile))
{
    qRegisterMetaType<OutageTracker::Cause>("OutageTracker::Cause");
    m_writeTimer.setInterval(kWriteIntervalMs);
    connect(&m_writeTimer, &QTimer::timeout, this, &OutageTracker::flush);
    m_writeTimer.start();
}

OutageTracker::~OutageTracker() { flush(); }

QDateTime OutageTracker::lastImport() const
{
    return m_lastImportMs == 0 ? QDateTime() : QDateTime::fromMSecsSinceEpoch(m_lastImportMs, Qt::UTC);
}

QByteArray OutageTracker::encode(const QDateTime &lastImport, const QDateTime &unrepairedSince)
{
    QByteArray text;
    if (lastImport.isValid())
        text += kLastImportKey + '=' + lastImport.toUTC().toString(Qt::ISODateWithMs).toLatin1() + '\n';
    if (unrepairedSince.isValid())
        text += kUnrepairedKey + '=' + unrepairedSince.toUTC().toString(Qt::ISODateWithMs).toLatin1() + '\n';
    return text;
}

bool OutageTracker::decode(const QByteArray &text, const QDateTime &now, QDateTime *lastImport,
                           QDateTime *unrepairedSince)
{
    *lastImport = QDateTime();
    *unrepairedSince = QDateTime();
    if (text.size() > kMaxStateBytes)
        return false;
    for (const QByteArray &rawLine : text.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        const int eq = line.indexOf('=');
        if (eq <= 0)
            continue;
        const QByteArray key = line.left(eq);
        const QDateTime moment = parseMoment(line.mid(eq + 1), now);
        if (key == kLastImportKey)
            *lastImport = moment;
        else if (key == kUnrepairedKey)
            *unrepairedSince = moment;
    }
    return lastImport->isValid() || unrepairedSince->isValid();
}

void OutageTracker::load()
{
    // Read as outside input: a link, FIFO or device in its place is refused at once (never
    // followed, never waited on) and the name is removed.
    QByteArray text;
    QString error;
    bool missing = false;
    const bool read = StateFile::read(m_stateFile, kMaxStateBytes, &text, &error, &missing);
    if (missing)
        return;
    QDateTime last;
    QDateTime unrepaired;
    const bool usable = read && decode(text, m_now(), &last, &unrepaired);
    if (!usable) {
        qDebug().noquote() << QStringLiteral("Outage state %1 is not usable%2; removed")
                                  .arg(m_stateFile, error.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(error));
        QFile::remove(m_stateFile);
        return;
    }
    if (last.isValid())
        m_lastImportMs = last.toMSecsSinceEpoch();
    // The earlier run fed ticks until `last`, and whatever it had not repaired is older.
    const QDateTime since = earlier(unrepaired, last);
    m_unrepairedSince = since;
    markDirty();
    qDebug().noquote() << QStringLiteral("Outage state: ticks last imported %1, missing since %2")
                              .arg(last.toString(Qt::ISODateWithMs), since.toString(Qt::ISODateWithMs));
    QMetaObject::invokeMethod(
        this, [this, since] { emit outageBegan(Cause::EarlierRun, since); }, Qt::QueuedConnection);
}

void OutageTracker::noteTicksImported()
{
    m_lastImportMs = m_now().toMSecsSinceEpoch();
    m_dirty = true;
}

void OutageTracker::noteLinkLost()
{
    beginOutage(Cause::LinkLost, lastImport());
}

void OutageTracker::noteDroppedBatches(int ticks)
{
    qDebug() << "Outage:" << ticks << "tick(s) dropped before the charting program took them";
    beginOutage(Cause::DroppedBatches, lastImport());
}

void OutageTracker::noteRepairStarted() { m_repairStartedAt = m_now(); }

void OutageTracker::noteRepairEnded(QDateTime stillMissingSince)
{
    m_unrepairedSince = stillMissingSince.isValid() ? stillMissingSince.toUTC() : QDateTime();
    markDirty();
}

bool OutageTracker::anythingToMiss() const
{
    if (m_unrepairedSince.isValid())
        return true;
    if (m_lastImportMs == 0)
        return false;
    // Ticks imported before the last repair started were part of what it fetched again.
    return !m_repairStartedAt.isValid() || lastImport() > m_repairStartedAt;
}

void OutageTracker::beginOutage(Cause cause, const QDateTime &since)
{
    if (!anythingToMiss()) {
        qDebug() << "Outage" << cause << "with no ticks since the last repair: nothing missed";
        return;
    }
    const QDateTime start = since.isValid() ? since : m_now();
    m_unrepairedSince = earlier(m_unrepairedSince, start);
    markDirty();
    emit outageBegan(cause, start);
}

void OutageTracker::markDirty() { m_dirty = true; }

void OutageTracker::flush()
{
    if (!m_dirty)
        return;
    // One rename over the name: whatever stands there (a link included) is replaced, never
    // written through.
    QString error;
    if (!StateFile::replace(m_stateFile, encode(lastImport(), m_unrepairedSince), &error)) {
        qDebug() << "Outage state cannot be written to" << m_stateFile << error;
        return;
    }
    m_dirty = false;
    ++m_writes;
}
