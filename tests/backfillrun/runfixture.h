#pragma once

// What the backfill run suites share: a BackfillRun without a window, whose requests go
// to the devserver's HTTP side as user VANTREL-DEMO-0001 with the key "key-1", and whose
// imports reach the broker stand-in through the live side's broker thread. Every signal
// of the run is recorded.
#include "amibroker/liveimporter.h"
#include "app/settingskeys.h"
#include "backfill/backfillrun.h"
#include "platform/installpaths.h"
#include "platform/standin/quotestore.h"

#include "devserverprocess.h"
#include "testenv.h"

#include <QDir>
#include <QFile>
#include <QObject>
#include <memory>

class RunFixture
{
protected:
    std::unique_ptr<TestEnv> m_env;
    DevServerProcess m_server;
    std::unique_ptr<LiveImporter> m_live; // the broker thread with the stand-in, per test
    std::unique_ptr<BackfillRun> m_run;
    QStringList m_watchlist;
    QString m_path;        // the backfill path of the requests
    QStringList m_texts;   // every progress text, in order
    int m_value = 0;       // the bar's value
    QStringList m_status;  // every status text
    QList<bool> m_active;  // every activeChanged()
    int m_styled = 0;      // intradayStarted() count

    // For initTestCase(): false when the import formats or the devserver are not there.
    bool startServices()
    {
        m_env = std::make_unique<TestEnv>();
        return m_env->installFormats() && m_server.start({});
    }

    // For init(): an empty store, log and backfill folder, the devserver answering
    // normally, and a fresh run (and stand-in) with nothing recorded.
    void makeRun()
    {
        m_run.reset();
        m_live.reset(); // the stand-in keeps its store open
        TestEnv::clearSettings();
        AppSettings().setValue(SettingsKeys::firstRun, false);
        QDir(InstallPaths::databaseDir()).removeRecursively();
        QDir(InstallPaths::backfillDir()).removeRecursively();
        QFile::remove(InstallPaths::backfillErrorLog());
        m_server.control(QStringLiteral("http-fault normal"));
        m_server.control(QStringLiteral("http-fail-symbol none"));
        m_path = backfillPath(QStringLiteral("/backfill"));
        m_live = std::make_unique<LiveImporter>();
        m_watchlist.clear();
        m_texts.clear();
        m_status.clear();
        m_active.clear();
        m_value = 0;
        m_styled = 0;

        BackfillRun::Source source;
        source.userId = [] { return QStringLiteral("VANTREL-DEMO-0001"); };
        source.secureKey = [] { return QStringLiteral("key-1"); };
        source.backfillPath = [this] { return m_path; };
        source.watchlist = [this] { return m_watchlist; };
        m_run = std::make_unique<BackfillRun>(source);
        m_run->setBroker(m_live->brokerCalls());
        BackfillRun *run = m_run.get();
        QObject::connect(run, &BackfillRun::progress, run, [this](int value, const QString &text) {
            if (value >= 0)
                m_value = value;
            m_texts << text;
        });
        QObject::connect(run, &BackfillRun::statusText, run, [this](const QString &text) { m_status << text; });
        QObject::connect(run, &BackfillRun::activeChanged, run, [this](bool active) { m_active << active; });
        QObject::connect(run, &BackfillRun::intradayStarted, run, [this] { ++m_styled; });
    }

    QString backfillPath(const QString &path) const
    {
        return QStringLiteral("127.0.0.1:%1").arg(m_server.httpPort) + path;
    }
    QString lastText() const { return m_texts.isEmpty() ? QString() : m_texts.last(); }
    QStringList requestsSince(int before) const { return m_server.requests().mid(before); }

    static qint64 stored(const QString &symbol)
    {
        QuoteStore store;
        if (!store.open(InstallPaths::databaseDir()))
            return 0;
        for (const auto &s : store.symbols()) {
            if (s.first == symbol)
                return s.second;
        }
        return 0;
    }
    static QString readText(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
};
