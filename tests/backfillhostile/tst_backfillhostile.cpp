// The intraday run in the main window against a data server that keeps failing one
// symbol or is stopped mid-transfer: every symbol ends in bars or in a logged give-up,
// and Stop ends the transfer in flight.
#include "amibroker/livedataupdator.h"
#include "app/settingskeys.h"
#include "backfill/mydownloader.h"
#include "platform/installpaths.h"
#include "platform/standin/quotestore.h"
#include "ui/mainwindow.h"

#include "../mainwindow/backfillwindowfixture.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

class TestBackfillHostile : public QObject, protected BackfillWindowFixture
{
    Q_OBJECT
    QStringList requestsFor(const QString &symbol, int from)
    {
        return m_server.requests().mid(from).filter(QStringLiteral("&send=") + symbol);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(startServices());
        // Retry delays and time limits a hundred times shorter.
        MyDownloader::setIntervalScaleForTests(0.01);
    }
    void cleanupTestCase() { m_hooks.uninstall(); }

    void init()
    {
        TestEnv::clearSettings();
        AppSettings().setValue(SettingsKeys::firstRun, false);
        m_hooks.clear();
        QVERIFY(makeBackfillWindow({"1"}));
        QCOMPARE(m_server.control(QStringLiteral("http-fault normal")), QStringLiteral("ok"));
        QCOMPARE(m_server.control(QStringLiteral("http-fail-symbol none")), QStringLiteral("ok"));
    }
    void cleanup() { m_window.reset(); }

    void failingSymbolIsGivenUpAndTheRunGoesOn()
    {
        QCOMPARE(m_server.control(QStringLiteral("http-fail-symbol NIFTY-I")), QStringLiteral("ok"));
        QFile::remove(InstallPaths::backfillErrorLog());
        setWatchlist({"NIFTY-I", "GOLDM-I"}, {"FUTURE", "MCX"});
        const int before = m_server.requests().size();
        button()->click();
        // The end of the run names the symbol it had to give up.
        QTRY_COMPARE_WITH_TIMEOUT(barText(), QStringLiteral("Backfill Done (skipped: NIFTY-I)"), 90000);
        QCOMPARE(button()->text(), QStringLiteral("Backfill"));
        QCOMPARE(requestsFor(QStringLiteral("NIFTY-I"), before).size(), MyDownloader::kMaxFailures);
        QCOMPARE(requestsFor(QStringLiteral("GOLDM-I"), before).size(), 1);

        QuoteStore store;
        QVERIFY(store.open(InstallPaths::databaseDir()));
        QCOMPARE(store.quotes(QStringLiteral("GOLDM-I")).size(), 375);
        QCOMPARE(store.quotes(QStringLiteral("NIFTY-I")).size(), 0);
        QFile log(InstallPaths::backfillErrorLog());
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray lines = log.readAll();
        QVERIFY2(lines.contains(" - backfill given up for NIFTY-I after 5 failed attempts: network error"), lines.constData());
        QCOMPARE(child<QLabel>("statusLabel")->text(), barText());
    }

    void stopEndsTheTransferInFlight()
    {
        // Ten seconds per body, far longer than the wait below.
        QCOMPARE(m_server.control(QStringLiteral("http-fault slow 10")), QStringLiteral("ok"));
        QDir(InstallPaths::backfillDir()).removeRecursively();
        setWatchlist({"NIFTY-I"}, {"FUTURE"});
        const int before = m_server.requests().size();
        button()->click();
        QTRY_COMPARE(m_server.requests().size(), before + 1);
        QTRY_VERIFY(barText().startsWith("(NIFTY-I) "));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(MyDownloader::partialPath(m_window->backfillDownloader()->outputFilePath())), 20000);
        button()->click(); // reads "Stop"
        QCOMPARE(button()->text(), QStringLiteral("Backfill"));
        MyDownloader *d = m_window->backfillDownloader();
        QVERIFY(!d->requestTimer()->isActive());
        QVERIFY(!d->timeoutTimer()->isActive());
        QVERIFY(!QFileInfo::exists(MyDownloader::partialPath(d->outputFilePath())));
        // Had the transfer gone on, it would have ended and unpacked within this time.
        QTest::qWait(12000);
        QCOMPARE(m_server.requests().size(), before + 1);
        QVERIFY(QDir(InstallPaths::backfillDir()).entryList(QDir::Files).isEmpty());
        QVERIFY(!QFileInfo::exists(d->outputFilePath()));
    }
};

QTEST_MAIN(TestBackfillHostile)
#include "tst_backfillhostile.moc"
