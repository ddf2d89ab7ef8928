// The self-update against the data server's update packages, the real 7za and real
// launchers: versions, download failures, unpacking, countdown and hand-over.
#include "platform/updatelauncher.h"
#include "ui/messagehelper.h"
#include "platform/filereplace_core.h"
#include "platform/installjournal_core.h"
#include "platform/installpaths.h"
#include "update/buildversion.h"
#include "update/packagelimits.h"
#include "update/packagesignature.h"
#include "update/updateleftovers.h"
#include "shell/updatehandover.h"
#include "update/updaterecovery.h"
#include "update/updateworker.h"

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
        QTest::newRow("letters: as strings") << "7.10" << "7.11b" << true;
        QTest::newRow("letters, older: as strings") << "7.10" << "7.09b" << false;
        QTest::newRow("dev build: as strings") << "7.10-dev" << "7.9" << true;
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
        UpdateWorker worker;
        QSignalSpy finished(&worker, &UpdateWorker::downloadFinished);
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
        UpdateWorker::setDownloadLimitForTests(1500);
        const Outcome o = runUpdate(QStringLiteral("silent"));
        UpdateWorker::setDownloadLimitForTests(0);
        QVERIFY(o.abandoned);
        QCOMPARE(boxes, QStringList{QStringLiteral("Update failed|Update failed: Timeout or unknown network error")});
        QVERIFY(QDir(env->root()).entryList(QDir::Files | QDir::Hidden).isEmpty()); // no partial package
    }

    void goodPackageIsUnpackedAndHandedOver()
    {
        server.control(QStringLiteral("update-package good"));
        // Blanks around the server record's address are no part of it.
        const Outcome o = runUpdate(QString(), "  " + server.httpBase() + QStringLiteral("/update/Vantrel_update.zip\n"));
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
        // Refused before any tool runs: its directory cannot be read.
        QVERIFY2(boxes[0].startsWith(QStringLiteral("Update failed|Update failed: 7za could not unpack the update "
                                                     "package (not a ZIP archive")),
                 qPrintable(boxes[0]));
        QVERIFY(!QFile::exists(file(QStringLiteral("VERSION.txt"))));
        QVERIFY(!QFile::exists(file(QStringLiteral("Vantrel_update.zip")))); // a failed update leaves nothing
    }

    void refusedPackagesChangeNothing_data()
    {
        QTest::addColumn<QString>("variant");
        QTest::addColumn<QString>("reason");
        const QString unsignedText = QStringLiteral("The update package is not signed by the vendor: ");
        QTest::newRow("no signature") << "unsigned" << "The update package has no signature (";
        QTest::newRow("tampered byte") << "tampered" << unsignedText + "the signature does not match the package";
        QTest::newRow("another key") << "otherkey" << unsignedText + "the signature does not match the package";
        QTest::newRow("truncated signature") << "shortsig" << unsignedText + "the signature is malformed (63 bytes, 64 expected)";
        QTest::newRow("signature over its cap") << "bigsig"
                                                << "The update package's signature is too large (5064 bytes; at most 4096)";
        QTest::newRow("empty") << "empty" << "Empty package";
        const QString overCap = QStringLiteral("; one job may use at most 8 MB whatever the disk has free");
        QTest::newRow("10 GiB announced") << "huge" << "Package too large: needs 10240 MB" + overCap;
        QTest::newRow("endless body") << "endless" << "Package too large: needs more than 8 MB" + overCap;
        QTest::newRow("unpacks to 1.2 GB") << "bomb" << "Package too large: needs 1200 MB" + overCap;
    }
    void refusedPackagesChangeNothing()
    {
        QFETCH(QString, variant);
        QFETCH(QString, reason);
        QVERIFY(writeText(file(QStringLiteral("Vantrel.sh")), "old launcher\n"));
        PackageLimits::setCapForTests(8 * 1024 * 1024); // the endless body ends at 8 MB
        const Outcome o = runUpdate(variant);
        PackageLimits::setCapForTests(0);
        QVERIFY(o.abandoned && !o.handedOver);
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(boxes[0].startsWith(QStringLiteral("Update failed|Update failed: ") + reason), qPrintable(boxes[0]));
        QStringList left = QDir(env->root()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        left.sort();
        QCOMPARE(left, QStringList({"Vantrel.sh"})); // no package, staging or new file
        QCOMPARE(readText(file(QStringLiteral("Vantrel.sh"))), QStringLiteral("old launcher\n"));
    }

    void signatureKnownAnswer()
    {
        // RFC 8032, section 7.1, test 1 (empty message).
        const QByteArray key = PackageSignature::decodeKey("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
        QByteArray sig = QByteArray::fromHex("e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb882"
                                             "1590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b");
        QString why;
        QVERIFY2(PackageSignature::verify(nullptr, 0, sig, key, &why), qPrintable(why));
        const uchar one = 'x';
        QVERIFY(!PackageSignature::verify(&one, 1, sig, key, &why));
        sig[10] = char(sig[10] ^ 1);
        QVERIFY(!PackageSignature::verify(nullptr, 0, sig, key, &why));
        QVERIFY(!PackageSignature::verify(nullptr, 0, sig, QByteArray(), &why));
        QCOMPARE(why, QStringLiteral("this build has no update key"));
        QCOMPARE(PackageSignature::trustedKey().size(), 32); // the test build trusts the devserver's key
    }

    void keysDecodeFromHexOrBase64_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("usable");
        const QByteArray raw = QByteArray::fromHex("ac6767b187296d382ced34642de93d1fa8e5e070bb0e90e301d0ad2535d99d08");
        QTest::newRow("hex") << QString::fromLatin1(raw.toHex()) << true;
        QTest::newRow("hex upper, blanks") << " " + QString::fromLatin1(raw.toHex().toUpper()) + "\n" << true;
        QTest::newRow("base64") << QString::fromLatin1(raw.toBase64()) << true;
        QTest::newRow("hex too short") << QString::fromLatin1(raw.toHex().left(62)) << false;
        QTest::newRow("base64 of 31 bytes") << QString::fromLatin1(raw.left(31).toBase64()) << false;
        QTest::newRow("not hex") << QString(64, QLatin1Char('g')) << false;
        QTest::newRow("empty") << QString() << false;
    }
    void keysDecodeFromHexOrBase64()
    {
        QFETCH(QString, text);
        QFETCH(bool, usable);
        QCOMPARE(PackageSignature::decodeKey(text).size(), usable ? 32 : 0);
    }

    void leftoversOfAKilledUpdateGoAtTheNextStart()
    {
        const QString rootName = QFileInfo(env->root()).fileName();
        for (const QString &name : {QStringLiteral("Vantrel_update.zip"), QStringLiteral("Vantrel_update.zip.a1B2c3"),
                                    QStringLiteral(".vantrel-update/new/VERSION.txt"),
                                    "." + rootName + "-staging-Xy12Zq/VERSION.txt", QStringLiteral("Vantrel.old"),
                                    QStringLiteral("Vantrel_update.zip.txt"), QStringLiteral("notes.old"),
                                    QStringLiteral("userid.txt")}) {
            QDir().mkpath(QFileInfo(file(name)).absolutePath());
            QVERIFY(writeText(file(name), "x"));
        }
        QVERIFY(writeText(file(filereplace::manifestName()), "Vantrel.old\nuserid.txt\n"));
        UpdateLeftovers::removeAll();
        QStringList left = QDir(env->root()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        left.sort();
        // Only what an update made goes; the user's files stay, even those listed or alike.
        QCOMPARE(left, QStringList({"Vantrel_update.zip.txt", "notes.old", "userid.txt"}));
    }

    // While an interrupted install's journal is there, its staged files stay and no new
    // update may unpack over them.
    void anUnfinishedInstallKeepsItsStagedFiles()
    {
        const QString staged = InstallPaths::updateStagingDir() + QStringLiteral("/VERSION.txt");
        QVERIFY(QDir().mkpath(QFileInfo(staged).absolutePath()));
        QVERIFY(writeText(staged, "7.11\n"));
        QVERIFY(writeText(file(QStringLiteral("Vantrel_update.zip")), "x"));
        QVERIFY(writeText(file(QLatin1String(filereplace::journalName())), "vantrel-install-journal 1\nend 0\n"));
        QVERIFY(UpdateRecovery::pending());
        UpdateLeftovers::removePackageAndStaging();
        QVERIFY(QFile::exists(staged));
        QVERIFY(!QFile::exists(file(QStringLiteral("Vantrel_update.zip"))));
        const int fetched = server.requests().filter(QStringLiteral("Vantrel_update.zip")).size();
        const Outcome o = runUpdate(QStringLiteral("good"));
        QVERIFY(o.abandoned);
        QVERIFY2(boxes.value(0).startsWith(QStringLiteral("Update failed|Update failed: An earlier update is not finished")),
                 qPrintable(boxes.join('\n')));
        QCOMPARE(readText(staged), QStringLiteral("7.11\n"));
        QCOMPARE(server.requests().filter(QStringLiteral("Vantrel_update.zip")).size(), fetched); // nothing fetched
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
