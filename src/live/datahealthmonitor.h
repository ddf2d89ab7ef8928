#pragma once

#include "live/datahealth.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>

// Keeps the day ledger of this run (read back from its file at start, saved every few
// seconds and at the end) and tells, at most once a second, what the window's summary line
// says. The rows of the "Data Health" dialog are made here on demand. GUI thread; the
// ledger itself is fed from the import threads.
class DataHealthMonitor : public QObject
{
    Q_OBJECT
public:
    static constexpr int kSummaryIntervalMs = 1000;
    static constexpr int kSaveIntervalMs = 5000;
    static constexpr qint64 kQuietMs = 60000;

    struct Hooks
    {
        std::function<QStringList()> watchlist; // the symbols to show, in order
        std::function<QStringList()> busy;      // symbols a repair or backfill is fetching
    };

    explicit DataHealthMonitor(const QString &ledgerFile, QObject *parent = nullptr);
    ~DataHealthMonitor() override;

    void setHooks(Hooks hooks) { m_hooks = std::move(hooks); }
    std::shared_ptr<DayLedger> ledger() const { return m_ledger; }

    // The link came up (subscribed) or went down.
    void noteLink(bool up);
    QList<DataHealth::Row> rows();
    // The rows of the last refresh (every second; refreshed() follows each).
    const QList<DataHealth::Row> &lastRows() const { return m_rows; }
    int sessionStart() { return m_ledger->sessionStart(); }
    QString summary() const { return m_summary; }
    // The first missing minute of these symbols today, as a local moment (invalid: none).
    QDateTime missingSince(const QList<DataHealth::Row> &rows, const QStringList &symbols) const;
    // Writes the ledger's file now when something changed.
    void save();

    // Test seam: the two intervals (the product's when 0).
    void setIntervalsForTests(int summaryMs, int saveMs);

signals:
    void refreshed();
    void summaryChanged(QString text);

private:
    void refresh();

    std::shared_ptr<DayLedger> m_ledger;
    Hooks m_hooks;
    QTimer m_summaryTimer;
    QTimer m_saveTimer;
    bool m_linkUp = false;
    QElapsedTimer m_linkUpFor;
    QString m_summary;
    QList<DataHealth::Row> m_rows;
};
