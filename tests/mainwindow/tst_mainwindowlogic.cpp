// The main window's logic that needs no window: catalogue search, quote display, uptime
// text and the single-instance count.
#include "platform/processlist.h"
#include "ui/catalogue.h"
#include "ui/tickdisplay.h"
#include "ui/uptimetext.h"


#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <vector>

class TestMainWindowLogic : public QObject
{
    Q_OBJECT

private slots:
    void searchTrimsUpperCasesAndKeepsOrder()
    {
        const QStringList future = {QStringLiteral("BANKNIFTY-I"), QStringLiteral("FINNIFTY-I"),
                                    QStringLiteral("M&M-I"), QStringLiteral("NIFTY-I"),
                                    QStringLiteral("NIFTY1"), QStringLiteral("Nifty-lower")};
        QCOMPARE(Catalogue::filter(future, QStringLiteral("  nif \t")),
                 QStringList({QStringLiteral("BANKNIFTY-I"), QStringLiteral("FINNIFTY-I"),
                              QStringLiteral("NIFTY-I"), QStringLiteral("NIFTY1"),
                              QStringLiteral("Nifty-lower")}));
        QCOMPARE(Catalogue::filter(future, QStringLiteral("m&m")), QStringList({QStringLiteral("M&M-I")}));
        // Blank text and no text both show the whole list again.
        QCOMPARE(Catalogue::filter(future, QStringLiteral("   ")), future);
        QCOMPARE(Catalogue::filter(future, QString()), future);
        QVERIFY(Catalogue::filter(future, QStringLiteral("XYZ")).isEmpty());
        // Inner blanks are part of the needle.
        QVERIFY(Catalogue::filter(future, QStringLiteral("NIF TY")).isEmpty());
    }

    void segmentTableHasNineCodesInIndexOrder()
    {
        QCOMPARE(Catalogue::segmentCodes(),
                 QStringList({"CASH", "FUTURE", "OPTION", "MCX", "CURRENCY", "SPOTINDEX", "NCDEX", "CMOPT", "FOREX"}));
        QCOMPARE(Catalogue::segmentButtonNames(),
                 QStringList({"cashBox", "futureBox", "optionBox", "commBox", "currBox", "spotBox",
                              "SXOPTBox", "SXOPTBox2", "ForexBox"}));
        QCOMPARE(Catalogue::segmentLabels(),
                 QStringList({"CASH", "FUTURE", "OPTION", "COMM", "CURR", "SPOT", "SXOPT", "CMOPT", "FOREX"}));
        QCOMPARE(Catalogue::indexOfCode(QStringLiteral("MCX")), 3);
        QCOMPARE(Catalogue::indexOfCode(QStringLiteral("COMM")), -1);
    }

    void batchParsingKeepsTheNewestQuotePerSymbol()
    {
        const QByteArray batch =
            "T,NIFTY-I,20240105,09:15:01,21700.5,75,1000,500\n"
            "\n"
            "T,BANKNIFTY-I,20240105,09:15:01,47000,15,0,0\n"
            "Import FAILED,NIFTY-I,20240105,09:15:02,1,1,1,1\n"   // skipped, any case
            "T,SHORT,20240105,09:15:02,1\n"                        // five fields: skipped
            "T,NIFTY-I,20240105,09:15:02,21701,50,1000,550\n"      // newer line wins
            "T,M&M,,,,,\n"                                          // empty fields kept
            "T,AFTERZERO,1,1,1,1,1,1\n";
        QByteArray withZero = batch;
        withZero.insert(withZero.indexOf("T,AFTERZERO"), '\0');

        const QHash<QString, TickDisplay::Quote> quotes = TickDisplay::parseBatch(withZero);
        QCOMPARE(quotes.size(), 3);
        QCOMPARE(quotes.value(QStringLiteral("NIFTY-I")).ltp, QStringLiteral("21701"));
        QCOMPARE(quotes.value(QStringLiteral("NIFTY-I")).ltq, QStringLiteral("50"));
        QCOMPARE(quotes.value(QStringLiteral("BANKNIFTY-I")).ltp, QStringLiteral("47000"));
        QVERIFY(quotes.contains(QStringLiteral("M&M")));
        QVERIFY(quotes.value(QStringLiteral("M&M")).ltp.isEmpty());
        QVERIFY(!quotes.contains(QStringLiteral("SHORT")));
        QVERIFY(!quotes.contains(QStringLiteral("AFTERZERO")));

        QVERIFY(TickDisplay::parseBatch(QByteArray()).isEmpty());
        QVERIFY(TickDisplay::parseBatch("failed,NIFTY-I,1,1,1,1,1,1\n").isEmpty());
    }

    void colourFollowsTheDirectionOfTheChange_data()
    {
        QTest::addColumn<QString>("oldText");
        QTest::addColumn<QString>("newText");
        QTest::addColumn<bool>("changes");
        QTest::addColumn<QColor>("colour");
        const QColor lightBlue(173, 216, 230);
        const QColor pink(255, 192, 203);
        QTest::newRow("up") << "100.5" << "101" << true << lightBlue;
        QTest::newRow("down") << "101" << "100.5" << true << pink;
        QTest::newRow("from zero") << "0" << "21700.25" << true << lightBlue;
        QTest::newRow("equal numbers, other text") << "101" << "101.0" << false << QColor();
        QTest::newRow("zero to text") << "0" << "n/a" << true << QColor(Qt::white);
        QTest::newRow("text to number") << "n/a" << "5" << true << QColor(Qt::white);
        QTest::newRow("empty to number") << "" << "5" << true << QColor(Qt::white);
    }

    void colourFollowsTheDirectionOfTheChange()
    {
        QFETCH(QString, oldText);
        QFETCH(QString, newText);
        QFETCH(bool, changes);
        QFETCH(QColor, colour);
        const std::optional<QColor> result = TickDisplay::changeColour(oldText, newText);
        QCOMPARE(result.has_value(), changes);
        if (changes)
            QCOMPARE(*result, colour);
    }

    void uptimeTextDoesNotWrapHours()
    {
        QCOMPARE(UptimeText::format(0), QStringLiteral("Running: 0:00:00"));
        QCOMPARE(UptimeText::format(999), QStringLiteral("Running: 0:00:00"));
        QCOMPARE(UptimeText::format((1 * 3600 + 2 * 60 + 3) * 1000LL), QStringLiteral("Running: 1:02:03"));
        QCOMPARE(UptimeText::format(25 * 3600 * 1000LL), QStringLiteral("Running: 25:00:00"));
        QCOMPARE(UptimeText::format((100 * 3600 + 59 * 60 + 59) * 1000LL + 999),
                 QStringLiteral("Running: 100:59:59"));
    }

    void uptimeLabelSitsTwoPixelsFromTheCorner()
    {
        QCOMPARE(UptimeText::cornerPosition(QSize(800, 578), QSize(120, 24)), QPoint(678, 552));
        QCOMPARE(UptimeText::cornerPosition(QSize(800, 578), QSize(150, 24)), QPoint(648, 552));
    }

    void instanceCountMatchesOnlyOurImageNames_data()
    {
        QTest::addColumn<QByteArray>("listing");
        QTest::addColumn<int>("count");

        const QByteArray header =
            "\r\nImage Name                     PID Session Name        Session#    Mem Usage\r\n"
            "========================= ======== ================ =========== ============\r\n"
            "System Idle Process              0 Services                   0          8 K\r\n";
        QTest::newRow("empty output") << QByteArray() << 0;
        QTest::newRow("only us") << header + "Vantrel.exe                   4242 Console                    1     85,112 K\r\n" << 1;
        QTest::newRow("two copies") << header + "Vantrel.exe  4242 Console 1 85,112 K\r\n"
                                                "Vantrel.exe  5151 Console 1 80,000 K\r\n" << 2;
        QTest::newRow("updated build beside us") << header + "Vantrel.exe 1 Console 1 1 K\r\n"
                                                             "VantrelNew.exe 2 Console 1 1 K\r\n" << 2;
        QTest::newRow("letter case") << header + "VANTREL.EXE 1 Console 1 1 K\r\nvantrel 2 x 1 1 K\r\n" << 2;
        QTest::newRow("our dev tools do not count")
            << header + "Vantrel.exe 1 Console 1 1 K\r\n"
                        "vantrel-devserver 2 Console 1 1 K\r\n"
                        "vantrel-quotes 3 Console 1 1 K\r\n"
                        "vantrel-devserver.exe 4 Console 1 1 K\r\n" << 1;
        QTest::newRow("names merely containing the word")
            << header + "MyVantrel.exe 1 x 1 1 K\r\nVantrel_old.exe 2 x 1 1 K\r\nVantrel.exe.bak 3 x 1 1 K\r\n"
                        "Vantrel.bat 4 x 1 1 K\r\n" << 0;
        QTest::newRow("stops at the first zero byte")
            << QByteArray("Vantrel.exe 1 x\r\n") + QByteArray(1, '\0') + QByteArray("Vantrel.exe 2 x\r\n") << 1;
    }

    void instanceCountMatchesOnlyOurImageNames()
    {
        QFETCH(QByteArray, listing);
        QFETCH(int, count);
        QCOMPARE(ProcessList::countInstances(listing), count);
    }

    void listingProgramGetsOneBudgetForStartAndRun()
    {
#ifdef Q_OS_WIN
        QSKIP("uses POSIX programs");
#endif
        QCOMPARE(ProcessList::runWithin(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("echo early")}, 5000),
                 QByteArray("early\n"));
        QVERIFY(ProcessList::runWithin(QStringLiteral("no-such-program-here"), {}, 5000).isEmpty());
        // Over its budget: nothing, and the wait ends long before the program would.
        QElapsedTimer clock;
        clock.start();
        QVERIFY(ProcessList::runWithin(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("sleep 20; echo late")}, 300)
                    .isEmpty());
        QVERIFY(clock.elapsed() < 10000);
    }

    void listingTextCollapsesWhiteSpace()
    {
        QCOMPARE(ProcessList::listingText(QByteArray("  Vantrel.exe\r\n\t 12  \r\n")),
                 QStringLiteral("Vantrel.exe 12"));
        // 8-bit text, not UTF-8: a stray byte never breaks the listing apart.
        QCOMPARE(ProcessList::listingText(QByteArray("caf\xe9 1")), QString::fromLatin1("caf\xe9 1"));
    }

    void snapshotOfThisMachineCountsRunningCopies()
    {
#ifdef Q_OS_WIN
        QSKIP("uses POSIX programs");
#endif
        // Real processes under telling names: copies of `sleep`.
        const QString sleepPath = QStandardPaths::findExecutable(QStringLiteral("sleep"));
        if (sleepPath.isEmpty())
            QSKIP("no sleep program to copy");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const int before = ProcessList::countInstances(ProcessList::snapshot());

        std::vector<std::unique_ptr<QProcess>> running;
        auto launch = [&](const QString &name) {
            const QString path = dir.filePath(name);
            QVERIFY(QFile::copy(sleepPath, path));
            QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
            auto p = std::make_unique<QProcess>();
            p->start(path, {QStringLiteral("60")});
            QVERIFY2(p->waitForStarted(5000), qPrintable(p->errorString()));
            running.push_back(std::move(p));
        };
        launch(QStringLiteral("vantrel-devserver"));
        launch(QStringLiteral("vantrel-quotes"));
        launch(QStringLiteral("Vantrel"));
        launch(QStringLiteral("VantrelNew.exe"));

        const QString text = ProcessList::snapshotText();
        for (const auto &p : running)
            QVERIFY2(text.contains(QString::number(p->processId())), "every process is listed by PID");
        QVERIFY(text.contains(QStringLiteral("vantrel-devserver")));
        QCOMPARE(ProcessList::countInstances(ProcessList::snapshot()), before + 2);

        for (auto &p : running) {
            p->kill();
            p->waitForFinished(5000);
        }
        QCOMPARE(ProcessList::countInstances(ProcessList::snapshot()), before);
    }
};

QTEST_GUILESS_MAIN(TestMainWindowLogic)
#include "tst_mainwindowlogic.moc"
