#include "platform/installpaths.h"

#include <QDir>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>

namespace InstallPaths {

namespace {
QMutex g_testRootMutex;
QString g_testRoot;
} // namespace

void setTestRoot(const QString &folder)
{
    QMutexLocker lock(&g_testRootMutex);
    g_testRoot = QDir::fromNativeSeparators(folder);
    while (g_testRoot.size() > 1 && g_testRoot.endsWith(QLatin1Char('/')))
        g_testRoot.chop(1);
}

QString testRoot()
{
    QMutexLocker lock(&g_testRootMutex);
    return g_testRoot;
}

#ifdef Q_OS_WIN
static const QChar kSep = QLatin1Char('\\');

QString root()
{
    const QString test = testRoot();
    return test.isEmpty() ? QStringLiteral("C:\\Kovanta") : QDir::toNativeSeparators(test);
}
QString rootSlash()
{
    const QString test = testRoot();
    return test.isEmpty() ? QStringLiteral("C:/Kovanta") : test;
}
#else
static const QChar kSep = QLatin1Char('/');

QString root()
{
    const QString test = testRoot();
    if (!test.isEmpty())
        return test;
    const QString env = qEnvironmentVariable("KOVANTA_ROOT");
    QString r = env.isEmpty() ? QDir::homePath() + QStringLiteral("/Kovanta") : env;
    while (r.size() > 1 && r.endsWith(QLatin1Char('/')))
        r.chop(1);
    return r;
}
QString rootSlash() { return root(); }
#endif

QString join(const QString &dir, const QString &name) { return dir + kSep + name; }

QString rootSlashTrailing() { return rootSlash() + QLatin1Char('/'); }

QString sqlDriversDir() { return join(root(), QStringLiteral("sqldrivers")); }
QString backfillWorkDir() { return join(sqlDriversDir(), QStringLiteral("x86")); }
QString amibrokerDir() { return join(root(), QStringLiteral("Amibroker")); }
QString databaseDir() { return join(amibrokerDir(), QStringLiteral("RTDataDatabase")); }
QString layoutFile()
{
    return join(join(databaseDir(), QStringLiteral("Layouts")), QStringLiteral("Default.awl"));
}
QString liveSpoolDir() { return join(root(), QStringLiteral("livespool")); }
QString dbFilesDir() { return join(root(), QStringLiteral("dbfiles")); }

QString backfillDir() { return rootSlash() + QStringLiteral("/Backfill"); }
QString backfillDirTrailing() { return backfillDir() + QLatin1Char('/'); }
QString backfillDirNative() { return join(root(), QStringLiteral("Backfill")); }

QString tickFileName() { return QStringLiteral("rtsocket.txt"); }
QString tickFile() { return join(root(), tickFileName()); }
QString pollFile() { return join(root(), QStringLiteral("rt.txt")); }
QString importFile() { return join(root(), QStringLiteral("rtimport.txt")); }
QString formatRealtime() { return join(root(), QStringLiteral("dataFormatRT.dll")); }
QString formatEod() { return join(root(), QStringLiteral("dataFormatEod.dll")); }
QString formatIntraday() { return join(root(), QStringLiteral("dataFormat.dll")); }
QString backfillZip() { return join(root(), QStringLiteral("backfilldata.zip")); }
QString updateZip() { return rootSlash() + QStringLiteral("/Vantrel_update.zip"); }
QString updateWorkDir() { return rootSlash() + QStringLiteral("/.vantrel-update"); }
QString updateStagingDir() { return updateWorkDir() + QStringLiteral("/new"); }
QString instanceLockFile() { return rootSlash() + QStringLiteral("/Vantrel.lock"); }
#ifdef Q_OS_WIN
QString updateLauncher() { return rootSlash() + QStringLiteral("/Vantrel.bat"); }
QString updatedExecutable() { return rootSlash() + QStringLiteral("/VantrelNew.exe"); }
#else
QString updateLauncher() { return rootSlash() + QStringLiteral("/Vantrel.sh"); }
QString updatedExecutable() { return rootSlash() + QStringLiteral("/VantrelNew"); }
#endif
QString userIdFile() { return join(root(), QStringLiteral("userid.txt")); }
QString outageStateFile() { return join(root(), QStringLiteral("outage_state.txt")); }
QString dayLedgerFile() { return join(root(), QStringLiteral("dayledger.txt")); }

QString backfillErrorLog() { return join(backfillWorkDir(), QStringLiteral("backfill_error.log")); }
QString backfillProcessedCopy(const QString &fileName)
{
    return join(backfillWorkDir(), QStringLiteral("processed_") + fileName);
}
QString backfillChunkFile(int number)
{
    return join(backfillWorkDir(), QStringLiteral("cvav_debugvminst_openglw_part%1.log")
                                       .arg(number, 3, 10, QLatin1Char('0')));
}
QString backfillFailedCopy(const QString &sourceName, int part)
{
    QString safe;
    safe.reserve(sourceName.size());
    for (const QChar c : sourceName) {
        const bool keep = (c.unicode() < 128 && c.isLetterOrNumber()) || c == QLatin1Char('.')
                          || c == QLatin1Char('-') || c == QLatin1Char('_');
        safe += keep ? c : QLatin1Char('_');
    }
    if (safe.isEmpty() || safe.startsWith(QLatin1Char('.')))
        safe.prepend(QLatin1Char('_'));
    if (part < 1) {
        if (!safe.endsWith(QLatin1String(".txt"), Qt::CaseInsensitive))
            safe += QStringLiteral(".txt");
        return join(backfillWorkDir(), QStringLiteral("failed_") + safe);
    }
    return join(backfillWorkDir(), QStringLiteral("failed_%1_part%2.txt")
                                       .arg(safe)
                                       .arg(part, 3, 10, QLatin1Char('0')));
}

QStringList seedDatabaseFiles()
{
    return {QStringLiteral("broker.master"), QStringLiteral("broker.watch"),
            QStringLiteral("broker.workspace")};
}

} // namespace InstallPaths
