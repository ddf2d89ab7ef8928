// The platform guards on this system: the single-instance lock and the hand-over of the
// old copy's process ID, system programs by full path, the executable trust rule and the
// environment a launcher gets.
#include "platform/executabletrust.h"
#include "platform/installpaths.h"
#include "platform/singleinstance.h"
#include "platform/systemprograms.h"
#include "platform/updatelauncher.h"

#include "testenv.h"

#include <QLockFile>
#include <QProcess>
#include <QtTest>

class tst_PlatformGuards : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestEnv> env;

private slots:
    void init() { env = std::make_unique<TestEnv>(); }
    void cleanup() { SingleInstance::release(); }

    void handOverPidIsTakenOnceAndOnlyWhenUsable_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<qint64>("pid");
        QTest::newRow("plain") << QByteArray("4242") << qint64(4242);
        QTest::newRow("blanks") << QByteArray(" 17\n") << qint64(17);
        QTest::newRow("own pid") << QByteArray::number(QCoreApplication::applicationPid()) << qint64(0);
        QTest::newRow("negative") << QByteArray("-5") << qint64(0);
        QTest::newRow("zero") << QByteArray("0") << qint64(0);
        QTest::newRow("letters") << QByteArray("12ab") << qint64(0);
        QTest::newRow("too long") << QByteArray("1234567890123") << qint64(0);
        QTest::newRow("empty") << QByteArray() << qint64(0);
    }
    void handOverPidIsTakenOnceAndOnlyWhenUsable()
    {
        QFETCH(QByteArray, value);
        QFETCH(qint64, pid);
        qputenv("VANTREL_HANDOVER_PID", value);
        QCOMPARE(SingleInstance::takeHandOverPid(), pid);
        QVERIFY(!qEnvironmentVariableIsSet("VANTREL_HANDOVER_PID")); // not passed on to children
        QCOMPARE(SingleInstance::takeHandOverPid(), qint64(0));
    }

    void waitsForTheHandedOverProcessToEnd()
    {
        QProcess old;
        old.start(QStringLiteral("sleep"), {QStringLiteral("30")});
        QVERIFY(old.waitForStarted(5000));
        const qint64 pid = old.processId();
        QVERIFY(!SingleInstance::waitForProcessEnd(pid, 300));
        old.kill();
        QVERIFY(old.waitForFinished(5000)); // reaped, so the ID is really gone
        QVERIFY(SingleInstance::waitForProcessEnd(pid, 5000));
    }

    void lockIsExclusiveAndSurvivesNoDeadOwner()
    {
        QVERIFY(SingleInstance::claim(1000));
        QVERIFY(SingleInstance::claim(0)); // a later pass of the restart loop
        QLockFile other(InstallPaths::instanceLockFile());
        QVERIFY(!other.tryLock(0));
        SingleInstance::release();
        QVERIFY(other.tryLock(0));
        QVERIFY(!SingleInstance::claim(300)); // someone else holds it
        other.unlock();

        // A copy that died leaves a lock naming a gone process: the next one takes it over.
        QProcess dead;
        dead.start(QStringLiteral("true"), QStringList());
        QVERIFY(dead.waitForStarted(5000));
        const qint64 deadPid = dead.processId();
        QVERIFY(dead.waitForFinished(5000));
        QFile lock(InstallPaths::instanceLockFile());
        QVERIFY(lock.open(QIODevice::WriteOnly | QIODevice::Truncate));
        lock.write(QByteArray::number(deadPid) + "\nVantrel\n" + QSysInfo::machineHostName().toUtf8() + '\n');
        lock.close();
        QVERIFY(SingleInstance::claim(2000));
    }

    void systemProgramsAreFoundOnlyInSystemFolders_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("found");
        QTest::newRow("sh") << "sh" << true;
        QTest::newRow("with a folder") << "../bin/sh" << false;
        QTest::newRow("dot dot") << ".." << false;
        QTest::newRow("absent") << "no-such-program-vantrel" << false;
        QTest::newRow("empty") << "" << false;
    }
    void systemProgramsAreFoundOnlyInSystemFolders()
    {
        QFETCH(QString, name);
        QFETCH(bool, found);
        // A program of that name in the working directory never counts.
        QDir::setCurrent(env->root());
        QFile planted(env->root() + "/sh");
        QVERIFY(planted.open(QIODevice::WriteOnly));
        planted.setPermissions(planted.permissions() | QFile::ExeOwner);
        planted.close();
        const QString path = SystemPrograms::path(name);
        QCOMPARE(!path.isEmpty(), found);
        if (found) {
            QVERIFY(path.startsWith(QLatin1String("/usr/")) || path.startsWith(QLatin1String("/bin/")));
            QVERIFY(QFileInfo(path).isExecutable());
        }
    }

    void executablesNeedTheirPublisherOnlyWhenOneIsNamed()
    {
        QString why;
        QVERIFY(ExecutableTrust::mayRun(QStringLiteral("/bin/sh"), QString(), &why));
        QVERIFY(!ExecutableTrust::mayRun(QStringLiteral("/bin/sh"), QStringLiteral("Vantrel Company"), &why));
        QVERIFY(why.contains(QLatin1String("Authenticode")));
        QCOMPARE(ExecutableTrust::requiredPublisher(), QString()); // this build names none
    }

    void launcherGetsThisProcessAsTheOneToWaitFor()
    {
        const QString script = env->root() + "/VantrelNew";
        QFile f(script);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("#!/bin/sh\necho \"$VANTREL_HANDOVER_PID\" > handed.txt\n");
        f.close();
        QString error;
        QCOMPARE(UpdateLauncher::startFirstPresent(&error), InstallPaths::updatedExecutable());
        QFile handed(env->root() + "/handed.txt");
        QTRY_VERIFY_WITH_TIMEOUT(handed.size() > 0, 10000);
        QVERIFY(handed.open(QIODevice::ReadOnly));
        QCOMPARE(handed.readAll().trimmed().toLongLong(), QCoreApplication::applicationPid());
    }
};

QTEST_GUILESS_MAIN(tst_PlatformGuards)
#include "tst_platformguards.moc"
