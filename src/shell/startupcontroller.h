#pragma once

#include <QDialog>
#include <QSqlRecord>
#include <QStringList>
#include <QTimer>
#include <memory>

#include "app/connectivitymonitor.h"

class ServerDatabase;
class Splash;
class UpdateHandOver;
class MainWindow;

// The start-up controller, the composition root of one pass of the process loop: plays the
// splash, claims the single instance, finishes an interrupted update, lays out the
// installation, opens the server database, builds the main window on it, reads the
// user's server settings record (the update hand-over when a newer build is announced),
// passes endpoints and limits on, shows and fills the main window and arms the
// connectivity monitor. Stays hidden; keeps the database and the main window for the pass.
class StartupController : public QDialog
{
    Q_OBJECT
public:
    explicit StartupController(QWidget *parent = nullptr);
    ~StartupController() override;

    // The whole start-up sequence; returns with the main window shown (ordinary start).
    void startupSequence();

    // Null until the start-up has come that far (a start-up check ends the process first).
    MainWindow *mainWindow() const { return m_mainWindow.get(); }
    ServerDatabase *serverDatabase() const { return m_database.get(); }
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
    bool claimSingleInstance();
    bool openServerDatabase();
    void continueStartup();
    void showNotRegistered();
    void applyRecord(const QSqlRecord &record);

    QStringList m_days;
    QString m_userId;
    QString m_oneDayUrl;

    std::unique_ptr<Splash> m_splash;
    // The window borrows the database: declared first, it goes last.
    std::unique_ptr<ServerDatabase> m_database;
    std::unique_ptr<MainWindow> m_mainWindow;
    std::unique_ptr<QTimer> m_monitorTimer;
    ConnectivityMonitor m_monitor;
    int m_startupBackfillDays = 0;
    QSqlRecord m_record;
    UpdateHandOver *m_update = nullptr;
};
