// The file-replacement core on this system: whole installations after success, after a
// refused check and after a failure at every step, retries, the clean-up of old files, and
// the journal: an install stopped at any point is finished or undone by recover(), and a
// journal it did not write is refused.
// (Windows file semantics are exercised by the same core under Wine: tests/wincheck/wine.)
#include "platform/filereplace_core.h"
#include "platform/installjournal_core.h"

#include <QtTest>

#include <cerrno>
#include <functional>
#include <memory>

#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {
struct Stopped // thrown from a step: the install ends there, as under a kill
{
};

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
    // quick(), with the nth rename failing with fault(n) (0: the real rename).
    static filereplace::Options faultyRenames(std::function<int(int)> fault)
    {
        filereplace::Options o = quick();
        auto calls = std::make_shared<int>(0);
        o.rename = [fault, calls](const fs::path &from, const fs::path &to) {
            const int error = fault(++*calls);
            return error ? error : filereplace::platformRename(from, to);
        };
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
        QTest::newRow("line feed") << "" << "formats/a\nr .old Vantrel";
        QTest::newRow("installer's journal") << "" << ".vantrel-install-journal";
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
        const filereplace::Result r = run(faultyRenames([failAt](int call) { return call == failAt ? EACCES : 0; }));
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
        const filereplace::Result r = run(faultyRenames([](int call) { return call <= 2 ? EBUSY : 0; }));
        QVERIFY2(r.ok, r.error.c_str());
        QCOMPARE(state(), QStringLiteral("new"));
    }

    void aFailedUndoIsReportedAsMixed()
    {
        const filereplace::Result r = run(faultyRenames([](int call) { return call >= 3 ? EACCES : 0; }));
        QVERIFY(!r.ok && r.mixed);
        QVERIFY(r.error.find("could not restore") != std::string::npos);
    }

    // A kill at any point of the install, then the next start: wholly new while every new
    // file is still staged or in place, wholly old when one was lost; no old file, journal
    // or staged file left behind either way.
    void interruptedInstallEndsWhole_data()
    {
        QTest::addColumn<int>("stopAfter");
        QTest::addColumn<bool>("loseStaged");
        QTest::addColumn<QString>("expected");
        // 8 moves (3 replaced, 1 new, 1 removal), then 4 old files removed.
        QTest::newRow("journal written, nothing moved") << 0 << false << "new";
        QTest::newRow("first file aside") << 1 << false << "new";
        QTest::newRow("half the moves") << 4 << false << "new";
        QTest::newRow("every move, before the mark") << 8 << false << "new";
        QTest::newRow("old files being removed") << 10 << false << "new";
        QTest::newRow("a staged file lost") << 3 << true << "old";
        QTest::newRow("a staged file lost, nothing moved") << 0 << true << "old";
    }
    void interruptedInstallEndsWhole()
    {
        QFETCH(int, stopAfter);
        QFETCH(bool, loseStaged);
        QFETCH(QString, expected);
        filereplace::Options o = quick();
        o.afterStep = [stopAfter](int steps) {
            if (steps == stopAfter)
                throw Stopped();
        };
        QVERIFY_EXCEPTION_THROWN(run(o), Stopped);
        QVERIFY(QFile::exists(target + "/" + filereplace::journalName()));
        if (loseStaged)
            QVERIFY(QFile::remove(source + "/formats/dataFormat.dll"));

        const filereplace::Recovery r = filereplace::recover(s(), t(), quick());
        QVERIFY2(r.ok && r.found && !r.refused, r.error.c_str());
        QCOMPARE(r.rolledForward, expected == "new");
        QCOMPARE(state(), expected);
        QCOMPARE(leftovers(), QStringList());
        QVERIFY(!QFile::exists(target + "/" + filereplace::journalName()));
        if (expected == "old") // every new file that had gone in is staged again
            QCOMPARE(readBytes(source + "/VantrelNew"), QByteArray("new VantrelNew"));
        // A second start finds nothing to do.
        const filereplace::Recovery again = filereplace::recover(s(), t(), quick());
        QVERIFY(again.ok && !again.found);
    }

    void newFoldersGoWithAnUndoneInstall()
    {
        writeBytes(source + "/addons/deep/one.dll", "new one");
        std::vector<std::string> files = kNew;
        files.push_back("addons/deep/one.dll");
        filereplace::Options o = quick();
        o.afterStep = [](int steps) {
            if (steps == 6) // addons/deep made and its file in, formats/ not yet
                throw Stopped();
        };
        QVERIFY_EXCEPTION_THROWN(filereplace::install(s(), t(), files, {"Vantrel.sh"}, o), Stopped);
        QVERIFY(QFile::exists(target + "/addons/deep/one.dll"));
        QVERIFY(QFile::remove(source + "/formats/dataFormat.dll"));
        const filereplace::Recovery r = filereplace::recover(s(), t(), quick());
        QVERIFY2(r.ok && !r.rolledForward, r.error.c_str());
        QVERIFY(!QFileInfo::exists(target + "/addons"));
        QCOMPARE(readBytes(target + "/Vantrel"), QByteArray("old Vantrel"));
    }

    void anUnfinishedInstallBlocksTheNext()
    {
        writeBytes(target + "/" + filereplace::journalName(), "vantrel-install-journal 1\nend 0\n");
        const filereplace::Result r = run();
        QVERIFY(!r.ok && !r.mixed);
        QCOMPARE(state(), QStringLiteral("old"));
        QVERIFY(QFile::exists(source + "/Vantrel"));
    }

    void journalsReadBack_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("entries"); // -1: refused
        QTest::addColumn<bool>("placed");
        const QByteArray head = "vantrel-install-journal 1\n";
        const QByteArray body = head + "d - lib\nn - lib/a b.dll\nr .old Vantrel\nx .old3 Vantrel.sh\nend 4\n";
        QTest::newRow("whole") << body << 4 << false;
        QTest::newRow("placed") << body + "placed\n" << 4 << true;
        QTest::newRow("placed torn by a kill") << body + "pla" << 4 << false;
        QTest::newRow("placed twice") << body + "placed\nplaced\n" << -1 << false;
        QTest::newRow("garbage after the end") << body + "r .old x\n" << -1 << false;
        QTest::newRow("no end") << head + "r .old Vantrel\n" << -1 << false;
        QTest::newRow("count too high") << head + "r .old Vantrel\nend 2\n" << -1 << false;
        QTest::newRow("entry cut short") << head + "r .old Vant" << -1 << false;
        QTest::newRow("other header") << QByteArray("vantrel-install-journal 2\nend 0\n") << -1 << false;
        QTest::newRow("climbs out") << head + "r .old ../outside\nend 1\n" << -1 << false;
        QTest::newRow("absolute") << head + "n - /etc/passwd\nend 1\n" << -1 << false;
        QTest::newRow("backslash") << head + "n - a\\..\\..\\b\nend 1\n" << -1 << false;
        QTest::newRow("aside suffix leads away") << head + "r .old/../../x Vantrel\nend 1\n" << -1 << false;
        QTest::newRow("aside suffix not ours") << head + "r .bak Vantrel\nend 1\n" << -1 << false;
        QTest::newRow("new file with an aside") << head + "n .old Vantrel\nend 1\n" << -1 << false;
        QTest::newRow("unknown kind") << head + "z - Vantrel\nend 1\n" << -1 << false;
        QTest::newRow("control character") << head + "n - a\rb\nend 1\n" << -1 << false;
    }
    void journalsReadBack()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, entries);
        QFETCH(bool, placed);
        filereplace::Journal j;
        std::string why;
        const bool ok = filereplace::parseJournal(text.toStdString(), &j, &why);
        QCOMPARE(ok ? int(j.entries.size()) : -1, entries);
        QCOMPARE(j.placed, placed);
        if (ok) { // what it reads is what it writes
            QCOMPARE(QByteArray::fromStdString(filereplace::formatJournal(j.entries)) + (placed ? "placed\n" : ""),
                     text.endsWith("pla") ? text.chopped(3) : text);
        }
    }

    // A journal that names the way out of the root, or is not a plain file, moves nothing.
    void hostileJournalsMoveNothing_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("entry climbs out") << "climb";
        QTest::newRow("linked folder on the way") << "linkdir";
        QTest::newRow("journal is a link") << "link";
        QTest::newRow("journal is a FIFO") << "fifo";
        QTest::newRow("names the staging folder") << "staging";
    }
    void hostileJournalsMoveNothing()
    {
        QFETCH(QString, kind);
        const QString outside = tmp->path() + "/outside";
        writeBytes(outside + "/victim", "keep me");
        const QString journal = target + "/" + filereplace::journalName();
        const QByteArray head = "vantrel-install-journal 1\n";
        if (kind == "climb") {
            writeBytes(journal, head + "r .old ../outside/victim\nend 1\n");
        } else if (kind == "linkdir") {
            QVERIFY(QFile::link(outside, target + "/plugins"));
            writeBytes(journal, head + "r .old plugins/victim\nend 1\n");
        } else if (kind == "link") {
            writeBytes(outside + "/journal", head + "r .old Vantrel\nend 1\n");
            QVERIFY(QFile::link(outside + "/journal", journal));
        } else if (kind == "fifo") {
            QCOMPARE(::mkfifo(QFile::encodeName(journal).constData(), 0600), 0);
        } else {
            writeBytes(journal, head + "r .old staged/Vantrel\nend 1\n");
        }
        const QString staging = QFileInfo(source).fileName();
        const filereplace::Recovery r =
            filereplace::recover(kind == "staging" ? t() / staging.toStdString() : s(), t(), quick());
        QVERIFY(r.found && r.refused && !r.ok);
        QVERIFY2(!r.error.empty(), qPrintable(kind));
        QVERIFY(!QFileInfo(journal).exists() && !QFileInfo(journal).isSymLink());
        QCOMPARE(readBytes(outside + "/victim"), QByteArray("keep me"));
        QVERIFY(!QFile::exists(outside + "/victim.old"));
        QCOMPARE(readBytes(target + "/Vantrel"), QByteArray("old Vantrel"));
        QCOMPARE(leftovers(), QStringList());
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
