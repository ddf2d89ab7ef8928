#include "app/installlayout.h"
#include "app/userid.h"
#include "platform/installpaths.h"
#include "testenv.h"

#include <QDir>
#include <QFile>
#include <QSysInfo>
#include <QtTest>

class tst_InstallLayout : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestEnv> env;

    static void writeFile(const QString &path, const QByteArray &content)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    static QByteArray readFile(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private slots:
    void init()
    {
        env = std::make_unique<TestEnv>();
        QVERIFY(env->isValid());
    }

    void pathsComeFromTheRoot()
    {
        const QString r = env->root();
        QCOMPARE(InstallPaths::root(), r);
        QCOMPARE(InstallPaths::rootSlashTrailing(), r + "/");
        QCOMPARE(InstallPaths::backfillWorkDir(), r + "/sqldrivers/x86");
        QCOMPARE(InstallPaths::databaseDir(), r + "/Amibroker/RTDataDatabase");
        QCOMPARE(InstallPaths::layoutFile(), r + "/Amibroker/RTDataDatabase/Layouts/Default.awl");
        QCOMPARE(InstallPaths::tickFile(), r + "/rtsocket.txt");
        QCOMPARE(InstallPaths::importFile(), r + "/rtimport.txt");
        QCOMPARE(InstallPaths::formatRealtime(), r + "/dataFormatRT.dll");
        QCOMPARE(InstallPaths::formatIntraday(), r + "/dataFormat.dll");
        QCOMPARE(InstallPaths::formatEod(), r + "/dataFormatEod.dll");
        QCOMPARE(InstallPaths::backfillDirTrailing(), r + "/Backfill/");
        QCOMPARE(InstallPaths::updateZip(), r + "/Vantrel_update.zip");

        // The environment decides once the test support's explicit root is lifted.
        InstallPaths::setTestRoot(QString());
        QCOMPARE(InstallPaths::root(), r);
        // A trailing slash in the variable does not double separators.
        qputenv("KOVANTA_ROOT", (r + "/").toLocal8Bit());
        QCOMPARE(InstallPaths::tickFile(), r + "/rtsocket.txt");
        qputenv("KOVANTA_ROOT", QByteArray());
        QCOMPARE(InstallPaths::root(), QDir::homePath() + "/Kovanta");
        qputenv("KOVANTA_ROOT", r.toLocal8Bit());
        InstallPaths::setTestRoot(r);
        QVERIFY(env->isolated());
    }

    void freshInstallationIsSeeded()
    {
        const QString r = env->root();
        QDir().mkpath(r + "/sqldrivers");
        for (const QString &name : InstallPaths::seedDatabaseFiles())
            writeFile(r + "/dbfiles/" + name, "seed:" + name.toUtf8());

        InstallLayout::prepare();

        QVERIFY(QDir(r + "/sqldrivers/x86").exists());
        QVERIFY(QDir(r + "/Amibroker/RTDataDatabase").exists());
        for (const QString &name : InstallPaths::seedDatabaseFiles())
            QCOMPARE(readFile(r + "/Amibroker/RTDataDatabase/" + name), "seed:" + name.toUtf8());
    }

    void existingDatabaseIsNeverTouched()
    {
        const QString r = env->root();
        QDir().mkpath(r + "/Amibroker/RTDataDatabase");
        for (const QString &name : InstallPaths::seedDatabaseFiles())
            writeFile(r + "/dbfiles/" + name, "seed");
        writeFile(r + "/Amibroker/RTDataDatabase/broker.master", "user data");

        InstallLayout::prepare();

        QCOMPARE(readFile(r + "/Amibroker/RTDataDatabase/broker.master"), QByteArray("user data"));
        QVERIFY(!QFile::exists(r + "/Amibroker/RTDataDatabase/broker.watch"));
        QVERIFY(!QFile::exists(r + "/Amibroker/RTDataDatabase/broker.workspace"));
    }

    void missingSqldriversIsNotCreated()
    {
        const QString r = env->root();
        InstallLayout::prepare(); // no dbfiles, no sqldrivers

        QVERIFY(!QDir(r + "/sqldrivers").exists());
        QVERIFY(QDir(r + "/Amibroker/RTDataDatabase").exists());
        QVERIFY(QDir(r + "/Amibroker/RTDataDatabase").entryList(QDir::Files).isEmpty());
    }

    void missingRootIsCreatedLevelByLevel()
    {
        const QString r = env->root() + "/nested-root";
        InstallPaths::setTestRoot(r);
        InstallLayout::prepare();
        QVERIFY(QDir(r + "/Amibroker/RTDataDatabase").exists());
        InstallPaths::setTestRoot(env->root());
    }

    void userIdFromFileElseMachine()
    {
        const QString r = env->root();
        QCOMPARE(UserId::current(), QString::fromLatin1(QSysInfo::machineUniqueId()).trimmed());
        writeFile(r + "/userid.txt", "  VANTREL-DEMO-0001  \nsecond line\n");
        QCOMPARE(UserId::current(), QStringLiteral("VANTREL-DEMO-0001"));
        writeFile(r + "/userid.txt", "\n");
        QCOMPARE(UserId::current(), QString::fromLatin1(QSysInfo::machineUniqueId()).trimmed());
    }
};

QTEST_GUILESS_MAIN(tst_InstallLayout)
#include "tst_installlayout.moc"
