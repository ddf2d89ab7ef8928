#include "platform/installpaths.h"

#include <QDir>
#include <QStringList>

namespace InstallPaths {

#ifdef Q_OS_WIN
static const QChar kSep = QLatin1Char('\\');

QString root() { return QStringLiteral("C:\\Kovanta"); }
QString rootSlash() { return QStringLiteral("C:/Kovanta"); }
#else
static const QChar kSep = QLatin1Char('/');

QString root()
{
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
#ifdef Q_OS_WIN
QString updateLauncher() { return rootSlash() + QStringLiteral("/Vantrel.bat"); }
QString updatedExecutable() { return rootSlash() + QStringLiteral("/VantrelNew.exe"); }
#else
QString updateLauncher() { return rootSlash() + QStringLiteral("/Vantrel.sh"); }
QString updatedExecutable() { return rootSlash() + QStringLiteral("/VantrelNew"); }
#endif
QString userIdFile() { return join(root(), QStringLiteral("userid.txt")); }

QStringList seedDatabaseFiles()
{
    return {QStringLiteral("broker.master"), QStringLiteral("broker.watch"),
            QStringLiteral("broker.workspace")};
}

} // namespace InstallPaths
