// The start-up controller's checks before any window: a second copy and an unreachable
// server database each end the start with their box, before the main window exists; the
// leftovers of an update are cleared only by the copy that holds the claim.
#include "app/settingskeys.h"
#include "platform/installpaths.h"
#include "platform/singleinstance.h"
#include "serverdb/serverdatabase.h"
#include "shell/splash.h"
#include "shell/startupcontroller.h"

#include "../mainwindow/windowtesthooks.h"
#include "testenv.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

class tst_StartupChecks : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestEnv> m_env;
    WindowTestHooks m_hooks;
    std::vector<std::unique_ptr<QProcess>> m_others;
    QTemporaryDir m_fakeDir;

    // Runs a copy of `sleep` under the given image name, as if that program were running.
    void launchFakeCopy(const QString &name)
    {
        const QString path = m_fakeDir.filePath(name);
        QVERIFY(QFile::exists(path) || QFile::copy(QStandardPaths::findExecutable(QStringLiteral("sleep")), path));
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        m_others.push_back(std::make_unique<QProcess>());
        m_others.back()->start(path, {QStringLiteral("120")});
        QVERIFY(m_others.back()->waitForStarted(5000));
    }

    static QString leftover() { return InstallPaths::rootSlash() + QStringLiteral("/Vantrel_update.zip"); }

private slots:
    void initTestCase()
    {
        m_env = std::make_unique<TestEnv>();
        QVERIFY(m_fakeDir.isValid());
        QApplication::setQuitOnLastWindowClosed(false);
        Splash::setDurationScale(0.05);
        m_hooks.install();
    }
    void cleanupTestCase() { m_hooks.uninstall(); }
    void init()
    {
        TestEnv::clearSettings();
        m_hooks.clear();
        QFile zip(leftover());
        QVERIFY(zip.open(QIODevice::WriteOnly));
    }
    void cleanup()
    {
        for (auto &p : m_others) {
            p->kill();
            p->waitForFinished(5000);
        }
        m_others.clear();
    }

    void secondCopyEndsBeforeAnyServerAccess()
    {
        SingleInstance::release();
        m_others.push_back(std::make_unique<QProcess>());
        QVERIFY(TestEnv::holdFileLock(m_others.back().get(), InstallPaths::instanceLockFile()));
        SingleInstance::setWaitForTests(300);
        StartupController controller;
        controller.startupSequence();
        SingleInstance::setWaitForTests(0);
        QCOMPARE(m_hooks.titles(), QStringList{QStringLiteral("Already Running")});
        QCOMPARE(m_hooks.boxes[0].icon, QMessageBox::Information);
        QCOMPARE(m_hooks.boxes[0].text,
                 QStringLiteral("An Instance of Application is already Running...\nClose it to use here. Quiting!"));
        QCOMPARE(m_hooks.boxes[0].buttons, QStringList{QStringLiteral("OK")});
        QCOMPARE(m_hooks.exits, QList<int>{0});
        QVERIFY(!controller.serverDatabase()); // the server was never contacted
        QVERIFY(!controller.mainWindow());
        QVERIFY(!AppSettings().contains(SettingsKeys::firstRun));
        QVERIFY(QFile::exists(leftover())); // the running copy's to clear
        QVERIFY(!QFileInfo::exists(InstallPaths::databaseDir())); // nor laid out
        cleanup(); // the holder is gone, and with it its lock
        QCOMPARE(SingleInstance::claim(5000), SingleInstance::Claim::Held);
    }

    // Programs named like ours do not count as copies; the database then ends the start.
    void unreachableDatabaseShowsTheErrorAndEnds_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<int>("siteOpenings");
        QTest::newRow("Contact Support") << "Contact Support" << 2;
        QTest::newRow("Ok") << "OK" << 1;
    }
    void unreachableDatabaseShowsTheErrorAndEnds()
    {
        QFETCH(QString, answer);
        QFETCH(int, siteOpenings);
        for (const char *name : {"Vantrel", "VantrelNew.exe", "vantrel-devserver"})
            launchFakeCopy(QLatin1String(name));
        qputenv("VANTREL_DB_PORT", "1"); // nothing listens there
        m_hooks.answer = answer;
        StartupController controller;
        controller.startupSequence();
        qunsetenv("VANTREL_DB_PORT");

        QCOMPARE(m_hooks.titles(), QStringList{QStringLiteral("Connection Error")});
        const RecordedBox &box = m_hooks.boxes[0];
        QCOMPARE(box.icon, QMessageBox::Critical);
        QCOMPARE(box.text, QStringLiteral("Unable to connect to Server\n\nKindly download and install latest version from the website."));
        QVERIFY(!box.informativeText.isEmpty());
        QCOMPARE(box.informativeText, controller.serverDatabase()->lastErrorText());
        QStringList buttons = box.buttons;
        buttons.sort();
        QCOMPARE(buttons, QStringList({QStringLiteral("Contact Support"), QStringLiteral("OK")}));
        const QUrl site = QUrl::fromUserInput(QStringLiteral(VANTREL_VENDOR_SITE));
        QCOMPARE(m_hooks.openedUrls, QList<QUrl>(QVector<QUrl>(siteOpenings, site).toList()));
        QCOMPARE(m_hooks.exits, QList<int>{0});
        QVERIFY(!controller.mainWindow());
        QVERIFY(!AppSettings().contains(SettingsKeys::firstRun)); // no window, no first run
        QVERIFY(!QFileInfo::exists(InstallPaths::liveSpoolDir())); // nor the charting side
        QVERIFY(!QFile::exists(leftover()));
    }
};

QTEST_MAIN(tst_StartupChecks)
#include "tst_startupchecks.moc"
