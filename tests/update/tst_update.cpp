// The self-update against the data server's update packages, the real 7za and real
// launchers: versions, download failures, unpacking, countdown and hand-over.
#include "platform/updatelauncher.h"
#include "ui/messagehelper.h"
#include "update/buildversion.h"
#include "update/updatehandover.h"
#include "update/updatorworker.h"

#include "devserverprocess.h"
#include "testenv.h"

#include <QAbstractButton>
#include <QWidget>
#include <QtTest>

namespace {
QString readText(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}
bool writeText(const QString &path, const QByteArray &text)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size();
}
} // namespace

class tst_Update : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestEnv> env;
    DevServerProcess server;
    QStringList boxes;
    QWidget boxParent;
    bool pressOkAtOnce = false;

    struct Outcome
    {
        bool handedOver = false;
        bool abandoned = false;
        QString launcher;
    };

    QString file(const QString &name) const { return env->root() + QLatin1Char('/') + name; }

    Outcome runUpdate(const QString &variant, const QString &url = {})
    {
        if (!variant.isEmpty())
            server.control(QStringLiteral("update-package ") + variant);
        auto *handOver = new UpdateHandOver(&boxParent);
        Outcome o;
        connect(handOver, &UpdateHandOver::handedOver, this, [&o](const QString &l) { o.handedOver = true; o.launcher = l; });
        connect(handOver, &UpdateHandOver::abandoned, this, [&o] { o.abandoned = true; });
        handOver->start(url.isNull() ? server.httpBase() + QStringLiteral("/update/Vantrel_update.zip") : url);
        (void)QTest::qWaitFor([&o] { return o.handedOver || o.abandoned; }, 30000);
        delete handOver;
        return o;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(server.start({}));
        MessageHelper::setHook([this](QMessageBox &box) {
            boxes << box.windowTitle() + QLatin1Char('|') + box.text();
            if (box.windowTitle() == QLatin1String("Update ready")) {
                if (pressOkAtOnce) // the user does not wait for the countdown
                    QTimer::singleShot(0, &box, [&box] { box.button(QMessageBox::Ok)->click(); });
                box.exec(); // otherwise the countdown closes it
                boxes << QStringLiteral("closed|") + box.text();
                return;
            }
            box.button(QMessageBox::Ok)->click();
        });
        UpdateHandOver::setCountdownTickForTests(20);
    }
    void cleanupTestCase() { MessageHelper::setHook({}); }
    void init()
    {
        env = std::make_unique<TestEnv>();
        boxes.clear();
    }

    void versionsCompareAsNumbers_data()
    {
        QTest::addColumn<QString>("current");
        QTest::addColumn<QString>("latest");
        QTest::addColumn<bool>("newer");
        QTest::newRow("newer") << "7.10" << "7.11" << true;
        QTest::newRow("9<10") << "7.10" << "7.9" << false;
        QTest::newRow("10>9") << "7.9" << "7.10" << true;
        QTest::newRow("trailing zero") << "7.10" << "7.10.0" << false;
        QTest::newRow("empty") << "7.10" << "" << false;
        QTest::newRow("letters") << "7.10" << "7.11b" << false;
        QTest::newRow("empty part") << "7.10" << "7..11" << false;
        QTest::newRow("blanks around") << "7.10" << " 7.11\n" << true;
        QTest::newRow("leading zeros") << "7.10" << "0007.0011" << true;
        QTest::newRow("huge part") << "7.10" << "99999999999999999999999.1" << true;
        QTest::newRow("bad current") << "dev" << "7.11" << false;
    }
    void versionsCompareAsNumbers()
    {
        QFETCH(QString, current);
        QFETCH(QString, latest);
        QFETCH(bool, newer);
        QCOMPARE(BuildVersion::isNewer(current, latest), newer);
    }

    void unusableAddressesFailWithTheirText()
    {
        UpdatorWorker worker;
        QSignalSpy finished(&worker, &UpdatorWorker::downloadFinished);
        worker.startDownload(QStringLiteral("  \t"));
        worker.startDownload(QStringLiteral("file://") + file(QStringLiteral("userid.txt")));
        QCOMPARE(finished.count(), 2);
        QCOMPARE(finished[0], QVariantList({false, QStringLiteral("LatestVersionPath empty")}));
        QVERIFY(finished[1][1].toString().startsWith(QStringLiteral("Not a web address")));
        QVERIFY(!QFile::exists(file(QStringLiteral("Vantrel_update.zip"))));

        const Outcome o = runUpdate(QString(), QStringLiteral(""));
        QVERIFY(o.abandoned && !o.handedOver);
        QCOMPARE(boxes, QStringList{QStringLiteral("Update failed|Update failed: LatestVersionPath empty")});
    }

    void silentServerFailsAtTheLimit()
    {
        UpdatorWorker::setDownloadLimitForTests(1500);
        const Outcome o = runUpdate(QStringLiteral("silent"));
        UpdatorWorker::setDownloadLimitForTests(0);
        QVERIFY(o.abandoned);
        QCOMPARE(boxes, QStringList{QStringLiteral("Update failed|Update failed: Timeout or unknown network error")});
        QVERIFY(QDir(env->root()).entryList(QDir::Files | QDir::Hidden).isEmpty()); // no partial package
    }

    void goodPackageIsUnpackedAndHandedOver()
    {
        const Outcome o = runUpdate(QStringLiteral("good"));
        QVERIFY(o.handedOver && !o.abandoned);
        QCOMPARE(o.launcher, file(QStringLiteral("Vantrel.sh")));
        QCOMPARE(boxes, QStringList({QStringLiteral("Update ready|") + UpdateHandOver::readyText(5),
                                     QStringLiteral("closed|") + UpdateHandOver::readyText(0)}));
        // The launcher really ran, in the root, detached from this process.
        QTRY_VERIFY_WITH_TIMEOUT(!readText(file(QStringLiteral("update-launched.txt"))).isEmpty(), 10000);
        QCOMPARE(readText(file(QStringLiteral("VERSION.txt"))), QStringLiteral("7.11\n"));
        QVERIFY(!QFile::exists(file(QStringLiteral("Vantrel_update.zip"))));
        QStringList left = QDir(env->root()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        left.sort();
        QCOMPARE(left, QStringList({"VERSION.txt", "Vantrel.sh", "update-launched.txt"})); // no staging folder
    }

    // Ok before the countdown ends hands over at once: with a tick of a minute the
    // countdown alone would outlast the wait for the hand-over.
    void okBeforeTheCountdownEndsHandsOverAtOnce()
    {
        UpdateHandOver::setCountdownTickForTests(60000);
        pressOkAtOnce = true;
        const Outcome o = runUpdate(QStringLiteral("good"));
        pressOkAtOnce = false;
        UpdateHandOver::setCountdownTickForTests(20);
        QVERIFY(o.handedOver && !o.abandoned);
        QCOMPARE(boxes, QStringList({QStringLiteral("Update ready|") + UpdateHandOver::readyText(5),
                                     QStringLiteral("closed|") + UpdateHandOver::readyText(5)}));
        QTRY_VERIFY_WITH_TIMEOUT(!readText(file(QStringLiteral("update-launched.txt"))).isEmpty(), 10000);
    }

    void packageWithoutLauncherWarnsAndLeavesNoStaleOne()
    {
        // A launcher from an earlier update must not run for this one.
        QVERIFY(writeText(file(QStringLiteral("Vantrel.sh")), "date > stale-launched.txt\n"));
        const Outcome o = runUpdate(QStringLiteral("nolauncher"));
        QVERIFY(o.abandoned && !o.handedOver);
        QCOMPARE(boxes.last(), QStringLiteral("Updater|Vantrel.sh and VantrelNew not found in %1.").arg(env->root()));
        QCOMPARE(readText(file(QStringLiteral("VERSION.txt"))), QStringLiteral("7.11\n"));
        QVERIFY(!QFile::exists(file(QStringLiteral("Vantrel.sh"))));
        QVERIFY(!QFile::exists(file(QStringLiteral("stale-launched.txt"))));
    }

    void corruptPackageFailsAndChangesNothing()
    {
        const Outcome o = runUpdate(QStringLiteral("corrupt"));
        QVERIFY(o.abandoned && !o.handedOver);
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(boxes[0].startsWith(QStringLiteral("Update failed|Update failed: 7za could not unpack the update "
                                                     "package (archiver exit code 2")),
                 qPrintable(boxes[0]));
        QVERIFY(!QFile::exists(file(QStringLiteral("VERSION.txt"))));
        QVERIFY(QFile::exists(file(QStringLiteral("Vantrel_update.zip")))); // kept for a look
    }

    void newExecutableIsMadeRunnableAndStarted()
    {
        QVERIFY(writeText(file(QStringLiteral("VantrelNew")), "#!/bin/sh\npwd > new-launched.txt\n"));
        QFile::setPermissions(file(QStringLiteral("VantrelNew")), QFile::ReadOwner | QFile::WriteOwner);
        QString error;
        QCOMPARE(UpdateLauncher::startFirstPresent(&error), file(QStringLiteral("VantrelNew")));
        QTRY_COMPARE_WITH_TIMEOUT(readText(file(QStringLiteral("new-launched.txt"))).trimmed(),
                                  QDir(env->root()).canonicalPath(), 10000);
    }
};

QTEST_MAIN(tst_Update)
#include "tst_update.moc"
