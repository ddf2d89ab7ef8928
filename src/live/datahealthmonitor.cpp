#include "live/datahealthmonitor.h"

#include <QDebug>
#include <QSet>

DataHealthMonitor::DataHealthMonitor(const QString &ledgerFile, QObject *parent)
    : QObject(parent)
    , m_ledger(std::make_shared<DayLedger>(ledgerFile))
{
    // A restart or a crash keeps the day's picture.
    m_ledger->load();
    m_summaryTimer.setInterval(kSummaryIntervalMs);
    m_saveTimer.setInterval(kSaveIntervalMs);
    connect(&m_summaryTimer, &QTimer::timeout, this, &DataHealthMonitor::refresh);
    connect(&m_saveTimer, &QTimer::timeout, this, &DataHealthMonitor::save);
    m_summaryTimer.start();
    m_saveTimer.start();
}

DataHealthMonitor::~DataHealthMonitor() { save(); }

void DataHealthMonitor::setIntervalsForTests(int summaryMs, int saveMs)
{
    m_summaryTimer.setInterval(summaryMs > 0 ? summaryMs : kSummaryIntervalMs);
    m_saveTimer.setInterval(saveMs > 0 ? saveMs : kSaveIntervalMs);
}

void DataHealthMonitor::noteLink(bool up)
{
    m_ledger->noteLink(up);
    if (up && !m_linkUp)
        m_linkUpFor.start();
    m_linkUp = up;
}

QList<DataHealth::Row> DataHealthMonitor::rows()
{
    const QStringList symbols = m_hooks.watchlist ? m_hooks.watchlist() : QStringList();
    const QStringList busyList = m_hooks.busy ? m_hooks.busy() : QStringList();
    const QSet<QString> busy(busyList.cbegin(), busyList.cend());
    QList<DataHealth::Row> out;
    out.reserve(symbols.size());
    for (const QString &symbol : symbols) {
        DataHealth::Row row;
        row.symbol = symbol;
        row.health = m_ledger->health(symbol);
        row.lastTickAgeMs = row.health.lastTickAgeMs;
        row.repairing = busy.contains(symbol);
        // Quiet as the watchlist table greys it: no tick for a minute while the link is up.
        const qint64 silentMs = row.lastTickAgeMs >= 0 ? row.lastTickAgeMs : m_linkUpFor.elapsed();
        row.quiet = m_linkUp && silentMs > kQuietMs;
        out.append(row);
    }
    return out;
}

QDateTime DataHealthMonitor::missingSince(const QList<DataHealth::Row> &rows, const QStringList &symbols) const
{
    int first = -1;
    for (const DataHealth::Row &row : rows) {
        if (symbols.contains(row.symbol) && !row.health.missingRanges.isEmpty()) {
            const int minute = row.health.missingRanges.first().first;
            first = first < 0 ? minute : qMin(first, minute);
        }
    }
    if (first < 0)
        return {};
    return QDateTime(m_ledger->day(), QTime(first / 60, first % 60));
}

void DataHealthMonitor::save()
{
    if (m_ledger->isDirty())
        m_ledger->save();
}

void DataHealthMonitor::refresh()
{
    // One reading a second serves both the summary line and an open dialog, so the two
    // never disagree.
    m_rows = rows();
    emit refreshed();
    const QString text = DataHealth::summaryText(m_rows, m_ledger->sessionStart());
    if (text == m_summary)
        return;
    m_summary = text;
    qDebug().noquote() << "Data health summary:" << text;
    emit summaryChanged(text);
}
