// The real Vantrel binary killed with SIGKILL in the middle of installing an update of
// 2,022 files (held at a chosen step by VANTREL_INSTALL_PAUSE_AFTER, then killed), and
// started again: the installation is wholly the old build or wholly the new one, its
// VERSION.txt says which, and no old file, journal or staged file is left.
#include "apprun.h"
#include "devserverprocess.h"
#include "testenv.h"

#include <QDir>
#include <QDirIterator>
#include <QtTest>

namespace {
const QString kDemoId = QStringLiteral("VANTREL-DEMO-0001");

// What the data server's "many" package holds, besides VERSION.txt and Vantrel.sh.
QStringList packageFiles()
{
    QStringList names;
    for (int i = 0; i < 2000; ++i)
        names << QStringLiteral("lib/part%1.txt").arg(i, 4, 10, QLatin1Char('0'));
    for (int i = 0; i < 20; ++i)
        names << QStringLiteral("plugins/extra%1.txt").arg(i, 2, 10, QLatin1Char('0'));
    return names;
}

QByteArray readBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}
} // namespace

class tst_UpdateKill : public QObject
{
    Q_OBJECT
    DevServerProcess m_http;

    // "old", "new" or "mixed: <first file that is neither>".
    static QString installationState(const QString &root)
    {
        const QByteArray version = readBytes(root + "/VERSION.txt");
        const bool isNew = version == "7.11\n";
        if (!isNew && version != "7.10\n")
            return QStringLiteral("mixed: VERSION.txt");
        if (isNew != readBytes(root + "/Vantrel.sh").contains("update-launched"))
            return QStringLiteral("mixed: Vantrel.sh");
        for (const QString &name : packageFiles()) {
            const QByteArray want = name.startsWith(QLatin1String("plugins/")) && !isNew
                                        ? QByteArray("<missing>")
                                        : (isNew ? "7.11 " : "7.10 ") + name.toUtf8() + "\n";
            if (readBytes(root + "/" + name) != want)
                return QStringLiteral("mixed: ") + name;
        }
        return isNew ? QStringLiteral("new") : QStringLiteral("old");
    }

    // Files an update made that outlived it: old copies, the journal, the work folders.
    static QStringList leftovers(const QString &root)
    {
        QStringList out;
        QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString rel = QDir(root).relativeFilePath(it.next());
            if (rel.contains(QLatin1String(".old")) || rel.startsWith(QLatin1String(".vantrel"))
                || rel.startsWith(QLatin1String("Vantrel_update.zip")))
                out << rel;
        }
        return out;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(TestEnv::mariadbUp(), "MariaDB does not answer on 127.0.0.1:49111");
        QVERIFY(m_http.start({QStringLiteral("--update-package"), QStringLiteral("many")}));
    }

    void cleanup() { QVERIFY(TestEnv::restoreAnnouncedBuild()); }

    void killedInstallEndsWhole_data()
    {
        QTest::addColumn<int>("pauseAfter");
        QTest::addColumn<bool>("loseStaged");
        QTest::addColumn<QString>("expected");
        // 2,002 files replaced (two moves each) and 20 new ones: 4,024 moves, then 2,002
        // old files removed.
        QTest::newRow("journal written, nothing moved") << 0 << false << "new";
        QTest::newRow("VERSION.txt aside") << 1 << false << "new";
        QTest::newRow("half the moves") << 2000 << false << "new";
        QTest::newRow("every move done") << 4024 << false << "new";
        QTest::newRow("old files being removed") << 5000 << false << "new";
        QTest::newRow("half the moves, a staged file lost") << 2000 << true << "old";
    }
    void killedInstallEndsWhole()
    {
        QFETCH(int, pauseAfter);
        QFETCH(bool, loseStaged);
        QFETCH(QString, expected);
        TestEnv env;
        QVERIFY(env.installFormats());
        QVERIFY(env.writeUserId(kDemoId));
        const QString root = env.root();
        // The installed build 7.10.
        QVERIFY(writeBytes(root + "/VERSION.txt", "7.10\n") && writeBytes(root + "/Vantrel.sh", "old launcher\n"));
        for (const QString &name : packageFiles().filter(QStringLiteral("lib/")))
            QVERIFY(writeBytes(root + "/" + name, "7.10 " + name.toUtf8() + "\n"));
        QCOMPARE(installationState(root), QStringLiteral("old"));

        QVERIFY(TestEnv::announceBuild(QStringLiteral("7.11"), m_http.httpBase() + "/update/Vantrel_update.zip"));
        AppRun app(env, {QStringLiteral("VANTREL_INSTALL_PAUSE_AFTER=%1").arg(pauseAfter)});
        QVERIFY(app.start());
        QVERIFY2(app.waitForOutput("Install paused after " + QByteArray::number(pauseAfter) + " steps", 120000),
                 app.tail(2000).constData());
        if (loseStaged) // plugins/ comes last: its files are still staged at this point
            QVERIFY(QFile::remove(root + "/.vantrel-update/new/plugins/extra19.txt"));
        QVERIFY(app.kill());
        QVERIFY(QFile::exists(root + "/.vantrel-install-journal"));

        // A normal start, no update announced.
        QVERIFY(TestEnv::restoreAnnouncedBuild());
        AppRun again(env);
        QVERIFY(again.start());
        QVERIFY2(again.waitForShown(60000), again.tail(2000).constData());
        QCOMPARE(installationState(root), expected);
        QCOMPARE(leftovers(root), QStringList());
        QVERIFY2(again.output().contains(expected == "new" ? "the interrupted install was finished"
                                                           : "the interrupted install was undone"),
                 again.tail(2000).constData());
        QCOMPARE(again.close(), 0);
    }
};

QTEST_GUILESS_MAIN(tst_UpdateKill)
#include "tst_updatekill.moc"
