#pragma once

// What the backfill suites of the main window share: the real server database, the
// devserver's HTTP side and the broker stand-in around one window that sends its intraday
// requests to the devserver as user VANTREL-DEMO-0001 with the key "key-1".
#include "live/watchlist.h"
#include "ui/mainwindow.h"

#include "devserverprocess.h"
#include "testenv.h"
#include "windowtesthooks.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <memory>

class BackfillWindowFixture
{
protected:
    std::unique_ptr<TestEnv> m_env;
    std::unique_ptr<OpenedDatabase> m_database;
    std::unique_ptr<MainWindow> m_window;
    DevServerProcess m_server;
    WindowTestHooks m_hooks;

    // For initTestCase(): false when the database, the import formats or the devserver
    // are not there.
    bool startServices()
    {
        m_env = std::make_unique<TestEnv>();
        if (!TestEnv::mariadbUp() || !m_env->installFormats() || !m_server.start({}))
            return false;
        QApplication::setQuitOnLastWindowClosed(false);
        m_hooks.install();
        return true;
    }

    // A fresh window whose "days" box offers `days`; false when it could not be built.
    bool makeBackfillWindow(const QStringList &days)
    {
        m_window.reset();
        m_database = std::make_unique<OpenedDatabase>();
        if (!m_database->isOpen())
            return false;
        m_window = std::make_unique<MainWindow>(m_database.get());
        m_window->setSymbolLimit(50);
        m_window->setSecureKey(QStringLiteral("key-1"));
        const QString base = QStringLiteral("127.0.0.1:%1").arg(m_server.httpPort);
        m_window->setBackfillPaths(base + "/backfill", base + "/backfill1min");
        child<QLineEdit>("machineIDLabel")->setText(QStringLiteral("VANTREL-DEMO-0001"));
        child<QComboBox>("daysBox")->clear();
        child<QComboBox>("daysBox")->addItems(days);
        return true;
    }

    template <class T> T *child(const char *name) const
    {
        return m_window->findChild<T *>(QLatin1String(name));
    }
    QPushButton *button() const { return child<QPushButton>("backfillButton"); }
    QString barText() const { return child<QProgressBar>("progressBarRT")->format(); }

    void setWatchlist(const QStringList &symbols, const QStringList &exchanges)
    {
        m_window->watchlist()->replace({symbols, exchanges});
        m_window->addDisplayTable();
    }
};
