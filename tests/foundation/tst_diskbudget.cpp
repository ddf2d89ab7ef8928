#include "app/diskbudget.h"

#include <QTemporaryDir>
#include <QtTest>

#include <limits>

using namespace DiskBudget;

class tst_diskbudget : public QObject
{
    Q_OBJECT
private slots:
    void usableIsHalfAboveTheFloorUnderTheCap_data()
    {
        QTest::addColumn<qint64>("freeMb");
        QTest::addColumn<qint64>("capMb");
        QTest::addColumn<qint64>("usableMb");
        QTest::newRow("nearly full") << qint64(90) << qint64(2048) << qint64(0);
        QTest::newRow("at the floor") << qint64(100) << qint64(2048) << qint64(0);
        QTest::newRow("124 MB free") << qint64(124) << qint64(2048) << qint64(12);
        QTest::newRow("140 MB root") << qint64(140) << qint64(2048) << qint64(20);
        QTest::newRow("900 MB free") << qint64(900) << qint64(2048) << qint64(400);
        QTest::newRow("large disk, cap holds") << qint64(100000) << qint64(2048) << qint64(2048);
        QTest::newRow("no cap") << qint64(1000) << qint64(0) << qint64(0);
    }
    void usableIsHalfAboveTheFloorUnderTheCap()
    {
        QFETCH(qint64, freeMb);
        QFETCH(qint64, capMb);
        QFETCH(qint64, usableMb);
        QCOMPARE(usableOf(freeMb * kMB, capMb * kMB), usableMb * kMB);
    }

    void refusalGivesTheFiguresAndWhatToDo()
    {
        Room room;
        room.known = true;
        room.freeBytes = 124 * kMB;
        room.usable = usableOf(room.freeBytes, kJobCapBytes);
        room.volume = QStringLiteral("D:");
        QCOMPARE(refusal(40960094, room, kJobCapBytes),
                 QStringLiteral("needs 40 MB; 12 MB may be used: free space on D: is 124 MB; "
                                "free 55 MB more on D: and try again"));
        QVERIFY(refusal(3 * kJobCapBytes, room, kJobCapBytes).contains("at most 2048 MB"));
        // A ZIP64 marker stands for the largest size: no overflow into a negative need.
        QCOMPARE(refusal(std::numeric_limits<qint64>::max(), room, kJobCapBytes),
                 QStringLiteral("needs 8796093022208 MB; one job may use at most 2048 MB whatever the disk has free"));
        // A folder name is taken as it is, placeholders and all.
        room.volume = QStringLiteral("/mnt/a%3b");
        QCOMPARE(refusalPassed(room, kJobCapBytes),
                 QStringLiteral("needs more than 12 MB; 12 MB may be used: free space on /mnt/a%3b is 124 MB; "
                                "free more space on /mnt/a%3b and try again"));
        room.known = false;
        QVERIFY(refusal(kMB, room, kJobCapBytes).contains("cannot be read"));
    }

    // A folder not made yet is judged by the disk it will be made on.
    void roomOfAFolderNotYetMade()
    {
        QTemporaryDir dir;
        const Room room = roomFor(dir.filePath("not/yet/made"), kJobCapBytes);
        QVERIFY(room.known);
        QVERIFY(room.freeBytes > 0);
        QVERIFY(!room.volume.isEmpty());
        QCOMPARE(room.usable, usableOf(room.freeBytes, kJobCapBytes));

        setFreeBytesForTests(150 * kMB);
        QCOMPARE(roomFor(dir.path(), kJobCapBytes).usable, 25 * kMB);
        setFreeBytesForTests(-1);
    }
};

QTEST_GUILESS_MAIN(tst_diskbudget)
#include "tst_diskbudget.moc"
