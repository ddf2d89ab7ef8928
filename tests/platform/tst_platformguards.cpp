// The platform guards on this system: the single-instance lock and the hand-over of the
// old copy's process ID, system programs by full path, the executable trust rule and the
// environment a launcher gets.
#include "platform/executabletrust.h"
#include "platform/installpaths.h"
#include "platform/singleinstance.h"
#include "platform/systemprograms.h"
#include "platform/updatelauncher.h"

#include "testenv.h"

#include <QProcess>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

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

    // Another process holds the lock as a running copy does: the claim waits and gives up;
    // once that process is killed, the kernel has let go and the claim is taken.
    void lockIsExclusiveAndEndsWithItsHolder()
    {
        using SingleInstance::Claim;
        const QString path = InstallPaths::instanceLockFile();
        QCOMPARE(SingleInstance::claim(1000), Claim::Held);
        QCOMPARE(SingleInstance::claim(0), Claim::Held); // a later pass of the restart loop
        QProcess other;
        QVERIFY(!TestEnv::holdFileLock(&other, path));
        other.waitForFinished(5000);
        SingleInstance::release();
        QVERIFY(TestEnv::holdFileLock(&other, path));
        QCOMPARE(SingleInstance::claim(300), Claim::Taken);
        QVERIFY(SingleInstance::problem().isEmpty());
        other.kill();
        QVERIFY(other.waitForFinished(5000));
        QCOMPARE(SingleInstance::claim(0), Claim::Held);
    }

    // A program this process starts (an archiver, the update's launcher) must not keep the
    // lock once the process is gone.
    void lockIsNotPassedToChildren()
    {
        QCOMPARE(SingleInstance::claim(0), SingleInstance::Claim::Held);
        QProcess child;
        child.start(QStringLiteral("sleep"), {QStringLiteral("30")});
        QVERIFY(child.waitForStarted(5000));
        SingleInstance::release();
        QProcess other;
        QVERIFY(TestEnv::holdFileLock(&other, InstallPaths::instanceLockFile()));
        for (QProcess *p : {&child, &other}) {
            p->kill();
            p->waitForFinished(5000);
        }
    }

    // Nothing is opened through a link, and no FIFO can hang the start.
    void unusableLockPathsAreRefusedWithTheirReason_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("fifo") << "fifo" << "is not a regular file";
        QTest::newRow("link to a file") << "link" << "is a link";
        QTest::newRow("dangling link") << "dangling" << "is a link";
    }
    void unusableLockPathsAreRefusedWithTheirReason()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        const QString path = InstallPaths::instanceLockFile();
        const QString target = env->root() + "/elsewhere.txt";
        if (kind == "link")
            QFile(target).open(QIODevice::WriteOnly);
        if (kind == "fifo")
            QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0644) == 0);
        else
            QVERIFY(QFile::link(target, path));
        QCOMPARE(SingleInstance::claim(300), SingleInstance::Claim::Unusable);
        QVERIFY2(SingleInstance::problem().contains(path + " " + reason + "."), qPrintable(SingleInstance::problem()));
        // Nothing was created or written through the link.
        QCOMPARE(QFile::exists(target), kind == "link");
        QCOMPARE(QFileInfo(target).size(), qint64(0));
    }

    // A lock file with a second name is locked but not rewritten: the other name keeps
    // its content.
    void hardLinkedLockFileIsLockedButNotWritten()
    {
        const QString other = env->root() + "/other-name.txt";
        QFile f(other);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("user data\n");
        f.close();
        QVERIFY(::link(QFile::encodeName(other).constData(),
                       QFile::encodeName(InstallPaths::instanceLockFile()).constData()) == 0);
        QCOMPARE(SingleInstance::claim(0), SingleInstance::Claim::Held);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("user data\n"));
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
