// The real Vantrel binary killed while it unpacks a backfill archive: the archiver ends
// with it, and the next start removes the staging folder it left.
#include "app/settingskeys.h"
#include "apprun.h"
#include "devserverprocess.h"
#include "testenv.h"

#include <QDir>
#include <QtTest>

namespace {

bool processAlive(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const int close = line.lastIndexOf(')');
    return close < 0 || line.mid(close + 2, 1) != "Z";
}

QStringList stagingFolders(const QString &root)
{
    return QDir(root).entryList({QStringLiteral("*staging*")},
                                QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
}

} // namespace

class tst_BackfillKill : public QObject
{
    Q_OBJECT
    DevServerProcess m_server;

    QStringList variables(const QString &path) const
    {
        return {"VANTREL_DATA_SERVER=" + m_server.httpBase(), "PATH=" + path};
    }

private slots:
    void killDuringExtraction()
    {
        QVERIFY(TestEnv::mariadbUp());
        // The demo account's paths name 49121 (HTTP) and 49120 (WebSocket).
        QVERIFY(m_server.start({"--http-port", "49121", "--ws-port", "49120"}));
        TestEnv env;
        QVERIFY(env.installFormats());
        QVERIFY(env.writeUserId("VANTREL-DEMO-0001"));
        TestEnv::saveStartupBackfill({"GOLDM-I"}, {"MCX"}, "1");
        // An archiver that hangs like one waiting for an answer, and a partial download
        // of an earlier run.
        const QString bin = env.root() + "/hangbin";
        const QString pidFile = env.root() + "/archiver.pid";
        QVERIFY(QDir().mkpath(bin));
        for (const char *tool : {"7za", "unzip"}) {
            QFile script(bin + "/" + tool);
            QVERIFY(script.open(QIODevice::WriteOnly));
            script.write("#!/bin/sh\necho $$ > '" + pidFile.toUtf8() + "'\nexec sleep 600\n");
            script.close();
            script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        }
        const QString path = qEnvironmentVariable("PATH");
        AppRun app(env, variables(bin + ":" + path));
        QVERIFY(app.start());
        QTRY_VERIFY_WITH_TIMEOUT(QFile(pidFile).size() > 0, 120000);
        QFile pf(pidFile);
        QVERIFY(pf.open(QIODevice::ReadOnly));
        const qint64 archiver = pf.readAll().trimmed().toLongLong();
        QVERIFY(processAlive(archiver));
        QCOMPARE(stagingFolders(env.root()).size(), 1);
        QVERIFY(!stagingFolders(env.root()).first().startsWith('.'));

        QVERIFY(app.kill());
        // The archiver does not go on writing on its own.
        QTRY_VERIFY_WITH_TIMEOUT(!processAlive(archiver), 20000);
        QCOMPARE(stagingFolders(env.root()).size(), 1);
        QFile partial(env.root() + "/backfilldata.zip.part");
        QVERIFY(partial.open(QIODevice::WriteOnly) && partial.write("half") == 4);
        partial.close();

        // The next start clears what the kill left.
        {
            AppSettings s;
            s.setValue(SettingsKeys::autoBackfillChecked, false);
        }
        AppRun again(env, variables(path));
        QVERIFY(again.start());
        QTRY_VERIFY_WITH_TIMEOUT(stagingFolders(env.root()).isEmpty(), 120000);
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(env.root() + "/backfilldata.zip.part"), 20000);
        again.close();
    }
};

QTEST_GUILESS_MAIN(tst_BackfillKill)
#include "tst_backfillkill.moc"
