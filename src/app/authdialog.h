#pragma once

#include <QDialog>
#include <QSqlRecord>
#include <QStringList>
#include <QTimer>
#include <memory>

#include "app/connectivitymonitor.h"

class QSqlDatabase;
class QSqlQuery;
class UpdateHandOver;
class startupAnimation;
class verodezuvivuderaz2;

// The start-up controller: plays the splash, lays out the installation, builds the main
// window, reads the user's server settings record, passes endpoints and limits on, shows
// and fills the main window and arms the connectivity monitor. Stays hidden; lives for
// one pass of the process loop and keeps the main window for that pass.
class authDialog : public QDialog
{
    Q_OBJECT
public:
    explicit authDialog(QWidget *parent = nullptr);
    ~authDialog() override;

    // The whole start-up sequence; returns with the main window shown (ordinary start).
    void startupSequence();

    verodezuvivuderaz2 *mainWindow() const { return m_mainWindow.get(); }
    QString userId() const { return m_userId; }
    QStringList daysList() const { return m_days; }
    QString oneDayUrl() const { return m_oneDayUrl; }
    bool isMonitorArmed() const { return m_monitorTimer && m_monitorTimer->isActive(); }
    // Days of the last start-up backfill request (0 before any).
    int startupBackfillDays() const { return m_startupBackfillDays; }

    // Whether the server's announced build counts as newer than the running one.
    static bool isNewerBuild(const QString &current, const QString &latest);

    // Interval of the connectivity monitor (product value 5000 ms).
    static constexpr int kMonitorIntervalMs = 5000;

signals:
    // A newer build is announced; carries the update package URL. The update hand-over
    // runs it; when it fails, the start-up goes on where the check left it.
    void updateRequested(QString packageUrl);

public slots:
    void checkIfAlreadyExists();
    void backfillAtStartup(int days);
    void checkConnection();

private:
    void continueStartup();
    void showNotRegistered();
    void applyRecord(const QSqlRecord &record);

    QStringList m_defaultSymbols;
    QStringList m_defaultExchanges;
    QStringList m_days;
    QString m_userId;
    QString m_oneDayUrl;

    std::unique_ptr<startupAnimation> m_animation;
    std::unique_ptr<verodezuvivuderaz2> m_mainWindow;
    std::unique_ptr<QTimer> m_monitorTimer;
    ConnectivityMonitor m_monitor;
    QSqlDatabase *m_db = nullptr;
    QSqlQuery *m_query = nullptr;
    int m_startupBackfillDays = 0;
    QSqlRecord m_record;
    UpdateHandOver *m_update = nullptr;
};
