// The real binary on a private X server, read as a user reads it: the "Data Health"
// dialog's table, saved with "Export CSV", after a drop of the feed that the repair server
// first refuses to fill, then after "Repair Missing" with the server answering again, and
// after a kill and a restart. The data server is a market that keeps trading while the
// link is down, so the store's own holes are the minutes the dialog must list.
#include "app/settingskeys.h"
#include "apprun.h"
#include "devserverprocess.h"
#include "storegaps.h"
#include "testenv.h"
#include "xsession.h"

#include <QtTest>

namespace {

const QStringList kSymbols{QStringLiteral("NIFTY-I"), QStringLiteral("GOLDM-I"), QStringLiteral("EURUSD")};
const QStringList kExchanges{QStringLiteral("FUTURE"), QStringLiteral("MCX"), QStringLiteral("FOREX")};
const QString kMainWindow = QStringLiteral("Vantrel 7\\.10");
const QString kDialog = QStringLiteral("^Data Health$");
const QByteArray kSummary = "Data health summary: ";

// One exported row: the columns after "Symbol", by title.
using Row = QHash<QString, QString>;

// The fields of an exported line: plain or quoted (the missing ranges hold ", ").
QStringList csvFields(const QByteArray &line)
{
    QStringList out{QString()};
    bool quoted = false;
    for (const QChar c : QString::fromUtf8(line)) {
        if (c == QLatin1Char('"'))
            quoted = !quoted;
        else if (c == QLatin1Char(',') && !quoted)
            out.append(QString());
        else
            out.last() += c;
    }
    return out;
}

// "10:42–10:44, 11:02" as the minutes it names.
QStringList expandRanges(const QString &ranges)
{
    QStringList out;
    for (const QString &part : ranges.split(QStringLiteral(", "), Qt::SkipEmptyParts)) {
        const QStringList ends = part.split(QChar(0x2013));
        const QTime first = QTime::fromString(ends.first(), QStringLiteral("HH:mm"));
        const QTime last = QTime::fromString(ends.last(), QStringLiteral("HH:mm"));
        if (ends.size() > 2 || !first.isValid() || !last.isValid() || last < first)
            return {QStringLiteral("<bad range %1>").arg(part)};
        for (int m = first.msecsSinceStartOfDay() / 60000; m <= last.msecsSinceStartOfDay() / 60000; ++m)
            out.append(QTime(m / 60, m % 60).toString(QStringLiteral("HH:mm")));
    }
    return out;
}

} // namespace

class TstDataHealthE2E : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { m_server.stop(); }
    void missingMinutesAreListedRepairedAndKept();

private:
    std::unique_ptr<AppRun> startApp();
    bool control(const QString &command) { return m_server.control(command).startsWith(QLatin1String("ok")); }
    // The last summary line the program logged.
    QString lastSummary(AppRun &app);
    // Opens the dialog when it is not open, saves the table and reads it back by symbol.
    QHash<QString, Row> exportTable(AppRun &app);
    QStringList storeGaps(const QString &symbol);

    XSession m_x;
    std::unique_ptr<TestEnv> m_env;
    DevServerProcess m_server;
    QString m_csvPath;
};

void TstDataHealthE2E::initTestCase()
{
    QVERIFY2(TestEnv::mariadbUp(), "MariaDB does not answer on 127.0.0.1:49111");
    QVERIFY2(m_x.start(), qPrintable(m_x.error()));
    m_env = std::make_unique<TestEnv>();
    QVERIFY(m_env->installFormats());
    QVERIFY(m_env->writeUserId(QStringLiteral("VANTREL-DEMO-0001")));
    // Outside the installation root, where the user keeps their records.
    m_csvPath = QFileInfo(m_env->root()).absolutePath() + QStringLiteral("/data health.csv");
    // The demo account names 127.0.0.1:49120 for the feed and :49121 for backfill.
    QVERIFY(m_server.start({"--ws-port", "49120", "--http-port", "49121", "--market", "--rate", "30", "--batch", "3"}));
    TestEnv::saveWatchlist(kSymbols, kExchanges);
    AppSettings().setValue(SettingsKeys::autoBackfillChecked, false);
}

std::unique_ptr<AppRun> TstDataHealthE2E::startApp()
{
    auto app = std::make_unique<AppRun>(*m_env, m_x.variables()
                                                    << QStringLiteral("VANTREL_FILE_DIALOG_ANSWER=") + m_csvPath);
    if (app->start())
        app->waitForShown(60000);
    return app;
}

QString TstDataHealthE2E::lastSummary(AppRun &app)
{
    const QByteArray &out = app.output();
    const int at = out.lastIndexOf(kSummary);
    return at < 0 ? QString() : QString::fromUtf8(out.mid(at + kSummary.size()).split('\n').first().trimmed());
}

QHash<QString, Row> TstDataHealthE2E::exportTable(AppRun &app)
{
    if (m_x.findWindow(kDialog, 0).isEmpty()) {
        // "Data Health" sits at 466,474 (130 x 31) in the main window.
        if (!m_x.clickIn(kMainWindow, 531, 489) || m_x.findWindow(kDialog).isEmpty())
            return {};
    }
    QFile::remove(m_csvPath);
    // On the summary at the bottom left: the keyboard goes to the dialog, no row changes.
    m_x.clickIn(kDialog, 30, m_x.windowSize(kDialog).height() - 25);
    m_x.key(QStringLiteral("alt+e"));
    QHash<QString, Row> rows;
    if (!app.waitUntil([this] { return QFileInfo(m_csvPath).size() > 0; }, 15000))
        return rows;
    QFile f(m_csvPath);
    if (!f.open(QIODevice::ReadOnly))
        return rows;
    const QList<QByteArray> lines = f.readAll().split('\n');
    const QStringList titles = csvFields(lines.value(0).trimmed());
    for (int i = 1; i < lines.size(); ++i) {
        const QStringList fields = csvFields(lines.at(i).trimmed());
        if (fields.size() != titles.size())
            continue;
        Row row;
        for (int c = 1; c < titles.size(); ++c)
            row.insert(titles.at(c), fields.at(c));
        rows.insert(fields.first(), row);
    }
    return rows;
}

QStringList TstDataHealthE2E::storeGaps(const QString &symbol)
{
    QString error;
    QStringList out;
    for (qint64 m : StoreGaps::missingMinutes(m_env->root(), symbol, &error))
        out.append(StoreGaps::clock(m));
    return error.isEmpty() ? out : QStringList{QStringLiteral("<%1>").arg(error)};
}

void TstDataHealthE2E::missingMinutesAreListedRepairedAndKept()
{
    auto app = startApp();
    QVERIFY2(app->running(), app->tail().constData());
    for (const QString &s : kSymbols)
        QTRY_VERIFY_WITH_TIMEOUT(storeGaps(s).isEmpty(), 60000);

    // 1. The link drops a few seconds before a minute ends and is refused for 130 s: the two
    // whole minutes after it have no tick. The repair server refuses too.
    QTRY_VERIFY_WITH_TIMEOUT(QTime::currentTime().second() >= 52 && QTime::currentTime().second() <= 56, 61000);
    QVERIFY(control(QStringLiteral("http-fault status 500")));
    QVERIFY(control(QStringLiteral("refuse 130")));
    QVERIFY(control(QStringLiteral("drop")));
    QTRY_VERIFY_WITH_TIMEOUT(app->output().contains("Gap repair run complete"), 400000);
    QTRY_COMPARE_WITH_TIMEOUT(lastSummary(*app), QStringLiteral("Data: 3 symbols missing minutes"), 30000);

    QHash<QString, Row> table = exportTable(*app);
    QCOMPARE(table.keys().size(), kSymbols.size());
    for (const QString &s : kSymbols) {
        const Row row = table.value(s);
        const QStringList gaps = storeGaps(s);
        const QString seen = QStringLiteral("%1: %2 / %3 / store misses %4")
                                 .arg(s, row.value(QStringLiteral("State")), row.value(QStringLiteral("Missing Minutes")),
                                      gaps.join(QLatin1Char(' ')));
        QVERIFY2(row.value(QStringLiteral("Missing")).toInt() >= 2, qPrintable(seen));
        QVERIFY2(row.value(QStringLiteral("State")) == QStringLiteral("Missing %1 min").arg(row.value(QStringLiteral("Missing"))),
                 qPrintable(seen));
        // Exactly the minutes the charting program has no quote in.
        QVERIFY2(expandRanges(row.value(QStringLiteral("Missing Minutes"))) == gaps, qPrintable(seen));
    }

    // 2. The server answers again; every row selected, "Repair Missing".
    QVERIFY(control(QStringLiteral("http-fault normal")));
    QVERIFY(m_x.clickIn(kDialog, 80, 50));
    m_x.key(QStringLiteral("ctrl+a"));
    m_x.key(QStringLiteral("alt+r"));
    QTRY_VERIFY_WITH_TIMEOUT(lastSummary(*app).startsWith(QStringLiteral("Data: 3/3 complete since ")), 180000);
    table = exportTable(*app);
    QCOMPARE(table.keys().size(), kSymbols.size());
    QHash<QString, int> coveredBefore;
    for (const QString &s : kSymbols) {
        const Row row = table.value(s);
        QVERIFY2(row.value(QStringLiteral("State")) == QStringLiteral("Complete") && row.value(QStringLiteral("Missing")) == QStringLiteral("0")
                     && row.value(QStringLiteral("Repaired")).toInt() >= 2,
                 qPrintable(s + QLatin1Char(' ') + QStringList(row.values()).join(QLatin1Char('|'))));
        QVERIFY2(storeGaps(s).isEmpty(), qPrintable(s + QStringLiteral(" misses ") + storeGaps(s).join(QLatin1Char(' '))));
        coveredBefore.insert(s, row.value(QStringLiteral("Minutes Covered")).toInt());
    }

    // 3. Killed once the ledger's file has been rewritten, then started again with the
    // repair server refusing: what was covered before the kill is still covered.
    const QString ledger = m_env->root() + QStringLiteral("/dayledger.txt");
    QTest::qWait(6000); // the file is rewritten every 5 s
    QVERIFY(app->kill());
    QVERIFY(control(QStringLiteral("http-fault status 500")));
    const QFileInfo file(ledger);
    QVERIFY(file.isFile() && !file.isSymLink());
    QCOMPARE(file.lastModified().date(), QDate::currentDate());
    app = startApp();
    QVERIFY2(app->running(), app->tail().constData());
    QTRY_VERIFY_WITH_TIMEOUT(!lastSummary(*app).isEmpty(), 30000);
    table = exportTable(*app);
    for (const QString &s : kSymbols) {
        const int covered = table.value(s).value(QStringLiteral("Minutes Covered")).toInt();
        QVERIFY2(covered >= coveredBefore.value(s),
                 qPrintable(QStringLiteral("%1: %2 covered, %3 before the kill").arg(s).arg(covered).arg(coveredBefore.value(s))));
    }
    QCOMPARE(app->close(30000), 0);
}

QTEST_GUILESS_MAIN(TstDataHealthE2E)
#include "tst_datahealthe2e.moc"
