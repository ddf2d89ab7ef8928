// The file-replacement core on this system: whole installations after success, after a
// refused check and after a failure at every step, retries, and the clean-up of old files.
// (Windows file semantics are exercised by the same core under Wine: tests/wincheck/wine.)
#include "platform/filereplace_core.h"

#include <QtTest>

#include <cerrno>

namespace fs = std::filesystem;

namespace {
const std::vector<std::string> kNew{"Vantrel", "Qt5Core.so", "formats/dataFormat.dll", "VantrelNew"};

QByteArray readBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}
void writeBytes(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}
} // namespace

class tst_FileReplace : public QObject
{
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> tmp;
    QString target, source;

    fs::path t() const { return fs::u8path(target.toStdString()); }
    fs::path s() const { return fs::u8path(source.toStdString()); }

    // "new", "old" or "mixed", over every file either side has.
    QString state() const
    {
        bool allNew = true, allOld = true;
        for (const std::string &n : kNew) {
            const QByteArray now = readBytes(target + "/" + QString::fromStdString(n));
            allNew = allNew && now == "new " + QByteArray::fromStdString(n);
            const QByteArray old = n == "VantrelNew" ? QByteArray("<missing>") : "old " + QByteArray::fromStdString(n);
            allOld = allOld && now == old;
        }
        allOld = allOld && readBytes(target + "/Vantrel.sh") == "old launcher";
        allNew = allNew && !QFile::exists(target + "/Vantrel.sh");
        return allNew ? "new" : allOld ? "old" : "mixed";
    }
    QStringList leftovers() const
    {
        QStringList out;
        QDirIterator it(target, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString p = it.next();
            if (p.contains(".old"))
                out << QDir(target).relativeFilePath(p);
        }
        return out;
    }
    filereplace::Result run(const filereplace::Options &o = quick())
    {
        return filereplace::install(s(), t(), kNew, {"Vantrel.sh"}, o);
    }
    static filereplace::Options quick()
    {
        filereplace::Options o;
        o.attempts = 3;
        o.retryDelayMs = 1;
        return o;
    }

private slots:
    void init()
    {
        tmp = std::make_unique<QTemporaryDir>();
        target = tmp->path() + "/Kovanta";
        source = tmp->path() + "/staged";
        for (const std::string &n : kNew) {
            const QString name = QString::fromStdString(n);
            if (n != "VantrelNew")
                writeBytes(target + "/" + name, "old " + name.toUtf8());
            writeBytes(source + "/" + name, "new " + name.toUtf8());
        }
        writeBytes(target + "/Vantrel.sh", "old launcher");
        writeBytes(target + "/userid.txt", "mine");
    }

    void installsWholeAndCleansAside()
    {
        const filereplace::Result r = run();
        QVERIFY2(r.ok, r.error.c_str());
        QCOMPARE(state(), QStringLiteral("new"));
        QCOMPARE(leftovers(), QStringList()); // nothing is in use here, so nothing waits
        QCOMPARE(readBytes(target + "/userid.txt"), QByteArray("mine"));
        QVERIFY(!QFile::exists(target + "/" + filereplace::manifestName()));
    }

    void refusedChecksMoveNothing_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("unsafe");
        QTest::newRow("folder where a file goes") << "dir:formats/dataFormat.dll" << "";
        QTest::newRow("file where a folder goes") << "file:formats" << "";
        QTest::newRow("link in the package") << "link:Qt5Core.so" << "";
        QTest::newRow("climbs out") << "" << "../outside";
        QTest::newRow("absolute") << "" << "/etc/x";
        QTest::newRow("backslash") << "" << "a\\b";
        QTest::newRow("drive") << "" << "C:x";
        QTest::newRow("dot step") << "" << "formats/./x";
    }
    void refusedChecksMoveNothing()
    {
        QFETCH(QString, setup);
        QFETCH(QString, unsafe);
        const QString what = setup.section(':', 1);
        if (setup.startsWith("dir:")) {
            QFile::remove(target + "/" + what);
            QVERIFY(QDir().mkpath(target + "/" + what + "/inner"));
        } else if (setup.startsWith("file:")) {
            QDir(target + "/" + what).removeRecursively();
            writeBytes(target + "/" + what, "a file");
        } else if (setup.startsWith("link:")) {
            QFile::remove(source + "/" + what);
            QVERIFY(QFile::link(target + "/userid.txt", source + "/" + what));
        }
        std::vector<std::string> files = kNew;
        if (!unsafe.isEmpty())
            files.push_back(unsafe.toStdString());
        const filereplace::Result r = filereplace::install(s(), t(), files, {"Vantrel.sh"}, quick());
        QVERIFY(!r.ok && !r.mixed && !r.error.empty());
        QCOMPARE(leftovers(), QStringList());
        QCOMPARE(readBytes(target + "/Vantrel"), QByteArray("old Vantrel"));
        QCOMPARE(readBytes(target + "/Vantrel.sh"), QByteArray("old launcher"));
        QVERIFY(QFile::exists(source + "/VantrelNew"));
    }

    void failureAtAnyStepLeavesTheOldInstallation_data()
    {
        QTest::addColumn<int>("failAt");
        // 4 files (3 replaced, 1 new) and one removal: 3 + 4 + 1 renames.
        for (int i = 1; i <= 8; ++i)
            QTest::newRow(qPrintable(QStringLiteral("rename %1").arg(i))) << i;
    }
    void failureAtAnyStepLeavesTheOldInstallation()
    {
        QFETCH(int, failAt);
        int calls = 0;
        filereplace::Options o = quick();
        o.rename = [&](const fs::path &from, const fs::path &to) {
            return ++calls == failAt ? EACCES : filereplace::platformRename(from, to);
        };
        const filereplace::Result r = run(o);
        QVERIFY(!r.ok);
        QVERIFY2(!r.mixed, r.error.c_str());
        QCOMPARE(state(), QStringLiteral("old"));
        QCOMPARE(leftovers(), QStringList());
        QVERIFY(!QFile::exists(target + "/formats/dataFormat.dll.old"));
        for (const std::string &n : kNew) // staged again, so the update can be tried once more
            QCOMPARE(readBytes(source + "/" + QString::fromStdString(n)), "new " + QByteArray::fromStdString(n));
    }

    void briefLocksAreWaitedFor()
    {
        int busy = 0;
        filereplace::Options o = quick();
        o.rename = [&](const fs::path &from, const fs::path &to) {
            return busy++ < 2 ? EBUSY : filereplace::platformRename(from, to);
        };
        const filereplace::Result r = run(o);
        QVERIFY2(r.ok, r.error.c_str());
        QCOMPARE(state(), QStringLiteral("new"));
    }

    void aFailedUndoIsReportedAsMixed()
    {
        int calls = 0;
        filereplace::Options o = quick();
        o.rename = [&](const fs::path &from, const fs::path &to) {
            return ++calls >= 3 ? EACCES : filereplace::platformRename(from, to);
        };
        const filereplace::Result r = run(o);
        QVERIFY(!r.ok && r.mixed);
        QVERIFY(r.error.find("could not restore") != std::string::npos);
    }

    void oldFilesInUseWaitForTheNextStart()
    {
        // An aside name that cannot be freed (a folder with content) makes the next name.
        QVERIFY(QDir().mkpath(target + "/Vantrel.old/held"));
        writeBytes(target + "/" + filereplace::manifestName(),
                   "Vantrel.old1\nuserid.txt\n../escape.old\nQt5Core.so.old\n");
        writeBytes(target + "/Qt5Core.so.old", "older");
        QVERIFY(run().ok);
        QCOMPARE(state(), QStringLiteral("new"));
        QVERIFY(!QFile::exists(target + "/Vantrel.old1")); // used and removed at once here
        QCOMPARE(filereplace::removeAsideFiles(t()), 0);
        QVERIFY(!QFile::exists(target + "/Qt5Core.so.old"));
        QCOMPARE(readBytes(target + "/userid.txt"), QByteArray("mine")); // listed, but no aside name
        QVERIFY(QFileInfo(target + "/Vantrel.old").isDir());
        QVERIFY(!QFile::exists(target + "/" + filereplace::manifestName()));
    }
};

QTEST_GUILESS_MAIN(tst_FileReplace)
#include "tst_filereplace.moc"
