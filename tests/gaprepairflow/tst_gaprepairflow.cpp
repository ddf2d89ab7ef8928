// Gap repair in the main window: what an earlier run left unrepaired is asked for again
// through the intraday backfill's queue, progress bar and import, against the real server
// database, the devserver's HTTP side and the broker stand-in.
#include "amibroker/livedataupdator.h"
#include "app/settingskeys.h"
#include "backfill/gaprepair.h"
#include "backfill/mydownloader.h"
#include "live/outagetracker.h"
#include "platform/installpaths.h"
#include "platform/standin/quotestore.h"
#include "ui/mainwindow.h"

#include "../mainwindow/backfillwindowfixture.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

namespace {

qint64 storedCount(const QString &symbol)
{
    QuoteStore store;
    if (!store.open(InstallPaths::databaseDir()))
        return 0;
    for (const auto &s : store.symbols()) {
        if (s.first == symbol)
            return s.second;
    }
    return 0;
}

// The start of the newest weekday session that began over two minutes ago. The server's
// history holds bars from 09:15 on weekdays, and a repair stores only bars of its gap, so a
// gap from there always has some.
QDateTime sessionStart()
{
    const QDateTime now = QDateTime::currentDateTime();
    for (QDate d = now.date();; d = d.addDays(-1)) {
        const QDateTime start(d, QTime(9, 15));
        if (d.dayOfWeek() <= 5 && start < now.addSecs(-120))
            return start;
    }
}

QString readText(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

} // namespace

class TestGapRepairFlow : public QObject, protected BackfillWindowFixture
{
    Q_OBJECT
    QStringList m_barTexts;
    QTimer m_barWatch;

    QStringList requestsSince(int before) { return m_server.requests().mid(before); }

    // A window whose earlier run fed ticks until the session's start (or with nothing left
    // behind).
    void makeWindow(bool earlierRun)
    {
        QFile::remove(InstallPaths::outageStateFile());
        if (earlierRun) {
            QFile f(InstallPaths::outageStateFile());
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(OutageTracker::encode(sessionStart().toUTC(), QDateTime()));
        }
        QVERIFY(makeBackfillWindow({"1", "2"}));
        QVERIFY(m_window->gapRepair());
        m_window->gapRepair()->setSettleMs(100);
        setWatchlist({"NIFTY", "M&M-I", "GOLDM-I"}, {"FUTURE", "FUTURE", "MCX"});
        m_barTexts.clear();
    }

    // The request each watchlist symbol gets: the server's names, "&" as "%26".
    QStringList repairRequests(int days) const
    {
        const QString prefix = QStringLiteral("GET /backfill?uid=VANTREL-DEMO-0001&hash=key-1&d=%1&send=").arg(days);
        return {prefix + "NIFTY-I", prefix + "M%26M-I", prefix + "GOLDM-I"};
    }
    int expectedDays() const
    {
        return GapRepair::daysFor(sessionStart(), QDateTime::currentDateTime());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(startServices());
        // Every text the bar shows, as it changes.
        connect(&m_barWatch, &QTimer::timeout, this, [this] {
            if (m_window && (m_barTexts.isEmpty() || m_barTexts.last() != barText()))
                m_barTexts << barText();
        });
        m_barWatch.start(1);
    }
    void cleanupTestCase() { m_hooks.uninstall(); }

    void init()
    {
        TestEnv::clearSettings();
        AppSettings().setValue(SettingsKeys::firstRun, false);
        AppSettings().setValue(SettingsKeys::symbolMappingEntries, QStringList{"NIFTY-I,NIFTY"});
        QDir(InstallPaths::databaseDir()).removeRecursively();
        QFile::remove(InstallPaths::backfillErrorLog());
        m_hooks.clear();
        QCOMPARE(m_server.control(QStringLiteral("http-fault normal")), QStringLiteral("ok"));
    }
    void cleanup() { m_window.reset(); }

    void startAfterAnEarlierRunRepairsEverySymbol()
    {
        const int before = m_server.requests().size();
        makeWindow(true);
        QTRY_COMPARE_WITH_TIMEOUT(barText(), GapRepair::doneText(), 60000);
        QCOMPARE(requestsSince(before), repairRequests(expectedDays()));
        QVERIFY2(m_barTexts.contains("Repairing gaps (1/3)") && m_barTexts.contains("Repairing gaps (3/3)"),
                 qPrintable(m_barTexts.join(" | ")));
        QCOMPARE(button()->text(), QStringLiteral("Backfill"));
        QVERIFY(storedCount("NIFTY") > 0);
        QVERIFY(storedCount("M&M-I") > 0);
        QVERIFY(!m_window->gapRepair()->isRunning());
        // Repaired: nothing left for the next start.
        m_window->outageTracker()->flush();
        QVERIFY(!readText(InstallPaths::outageStateFile()).contains("unrepairedSince"));
        QVERIFY(m_hooks.boxes.isEmpty());
    }

    void noEarlierRunNoRequest()
    {
        const int before = m_server.requests().size();
        makeWindow(false);
        QTest::qWait(1500);
        QCOMPARE(requestsSince(before), QStringList());
        QVERIFY(!m_window->gapRepair()->isPending());
    }

    void serverErrorsGiveUpAfterTwoRequestsEach()
    {
        QCOMPARE(m_server.control(QStringLiteral("http-fault status 503")), QStringLiteral("ok"));
        const int before = m_server.requests().size();
        makeWindow(true);
        QTRY_COMPARE_WITH_TIMEOUT(barText(), QStringLiteral("Gaps repaired except NIFTY, M&M-I, GOLDM-I"), 60000);
        QTest::qWait(500); // no retry follows
        QStringList twice;
        for (const QString &r : repairRequests(expectedDays()))
            twice << r << r;
        QCOMPARE(requestsSince(before), twice);
        const QString log = readText(InstallPaths::backfillErrorLog());
        QVERIFY2(log.contains(" - gaps not repaired (server errors): 3 symbol(s) from "), qPrintable(log));
        QVERIFY2(log.trimmed().endsWith(": NIFTY M&M-I GOLDM-I"), qPrintable(log));
        QCOMPARE(log.count('\n'), 1);
        // Still missing: the next start tries again.
        m_window->outageTracker()->flush();
        QVERIFY(readText(InstallPaths::outageStateFile()).contains("unrepairedSince"));
    }

    void stopStopsTheRepairAndUsersBackfillGoesFirst()
    {
        QCOMPARE(m_server.control(QStringLiteral("http-fault slow 2")), QStringLiteral("ok"));
        const int before = m_server.requests().size();
        makeWindow(true);
        QTRY_VERIFY_WITH_TIMEOUT(m_window->gapRepair()->isRunning(), 20000);
        QTRY_COMPARE(m_server.requests().size(), before + 1);
        QTRY_VERIFY(barText().startsWith("Repairing gaps (1/3)"));

        // The button reads "Stop": it stops the repair, which names what is left.
        QCOMPARE(button()->text(), QStringLiteral("Stop"));
        button()->click();
        QVERIFY(!m_window->gapRepair()->isRunning());
        QCOMPARE(button()->text(), QStringLiteral("Backfill"));
        const QString log = readText(InstallPaths::backfillErrorLog());
        QVERIFY2(log.contains(" - gaps not repaired (stopped): 3 symbol(s) from "), qPrintable(log));

        // The user's own backfill; an outage meanwhile waits for it.
        child<QComboBox>("daysBox")->setCurrentText("2");
        button()->click();
        QCOMPARE(button()->text(), QStringLiteral("Stop"));
        m_window->gapRepair()->outageBegan(sessionStart(), false);
        QTRY_VERIFY_WITH_TIMEOUT(m_window->gapRepair()->isRunning(), 90000);
        QTRY_COMPARE_WITH_TIMEOUT(barText(), GapRepair::doneText(), 90000);
        const QStringList asked = requestsSince(before);
        QCOMPARE(asked.size(), 7);
        for (int i = 1; i <= 3; ++i)
            QVERIFY2(asked.at(i).contains("&d=2&send="), qPrintable(asked.at(i)));
        QCOMPARE(asked.mid(4), repairRequests(expectedDays()));
    }
};

QTEST_MAIN(TestGapRepairFlow)
#include "tst_gaprepairflow.moc"
