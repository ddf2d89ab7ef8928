#include "testenv.h"

#include "app/settingskeys.h"
#include "platform/installpaths.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpSocket>

TestEnv::TestEnv()
{
    QDir().mkpath(m_dir.path() + QStringLiteral("/root"));
    QDir().mkpath(m_dir.path() + QStringLiteral("/config"));
    // Redirected explicitly, not through the environment alone: on Windows the root is
    // fixed and the native store is the registry, so a suite would otherwise write into
    // the user's own installation and settings. Child processes (the real binary) get
    // the environment variables.
    qputenv("KOVANTA_ROOT", root().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", configDir().toLocal8Bit());
    InstallPaths::setTestRoot(root());
    AppSettings::useTestScope(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, configDir());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, configDir());
    if (!isolated())
        qFatal("TestEnv: the installation root (%s) or the settings store (%s) is not inside "
               "this test's temporary folder; refusing to run",
               qPrintable(InstallPaths::root()), qPrintable(AppSettings().fileName()));
    // Nothing in tests may reach past this machine.
    if (qEnvironmentVariableIsEmpty("VANTREL_PROBE_HOST"))
        qputenv("VANTREL_PROBE_HOST", "127.0.0.1:9");
}

TestEnv::~TestEnv()
{
    InstallPaths::setTestRoot(QString());
}

bool TestEnv::isolated() const
{
    const QString base = QDir::fromNativeSeparators(m_dir.path()) + QLatin1Char('/');
    return m_dir.isValid()
           && QDir::fromNativeSeparators(InstallPaths::root()).startsWith(base)
           && QDir::fromNativeSeparators(AppSettings().fileName()).startsWith(base);
}

QString TestEnv::root() const { return m_dir.path() + QStringLiteral("/root"); }
QString TestEnv::configDir() const { return m_dir.path() + QStringLiteral("/config"); }

bool TestEnv::installFormats() const
{
    for (const char *f : {"dataFormatRT.dll", "dataFormat.dll", "dataFormatEod.dll"}) {
        const QString target = root() + QLatin1Char('/') + QLatin1String(f);
        QFile::remove(target);
        if (!QFile::copy(buildDir() + QStringLiteral("/formats/") + QLatin1String(f), target))
            return false;
    }
    return true;
}

bool TestEnv::writeUserId(const QString &userId) const
{
    QFile f(root() + QStringLiteral("/userid.txt"));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(userId.toUtf8() + '\n') > 0;
}

void TestEnv::clearSettings()
{
    AppSettings s;
    s.clear();
    s.sync();
}

QString TestEnv::sourceDir() { return qEnvironmentVariable("VANTREL_SOURCE_DIR"); }
QString TestEnv::buildDir() { return qEnvironmentVariable("VANTREL_BUILD_DIR"); }

QString TestEnv::builtExecutable(const QString &name)
{
    QDirIterator it(buildDir(), {name}, QDir::Files | QDir::Executable,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString p = it.next();
        if (QFileInfo(p).fileName() == name)
            return p;
    }
    return QString();
}

bool TestEnv::mariadbUp()
{
    QTcpSocket s;
    s.connectToHost(QStringLiteral("127.0.0.1"), 49111);
    return s.waitForConnected(2000);
}

bool TestEnv::announceBuild(const QString &version, const QString &packageUrl)
{
    const QString name = QStringLiteral("tests-admin");
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::contains(name) ? QSqlDatabase::database(name)
                                                       : QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), name);
        db.setHostName(QStringLiteral("127.0.0.1"));
        db.setPort(49111);
        db.setUserName(QStringLiteral("root"));
        db.setDatabaseName(QStringLiteral(VANTREL_DB_NAME));
        if (db.isOpen() || db.open()) {
            QSqlQuery q(db);
            q.prepare(QStringLiteral("UPDATE versionautoupdator_zip_2026 SET LatestVersionRT=?, LatestVersionPath=?"));
            q.addBindValue(version);
            q.addBindValue(packageUrl);
            ok = q.exec();
        }
    }
    return ok;
}

bool TestEnv::restoreAnnouncedBuild()
{
    return announceBuild(QStringLiteral("7.10"), QStringLiteral("http://127.0.0.1:49121/update/Vantrel_update.zip"));
}

QProcessEnvironment TestEnv::appEnvironment() const
{
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert(QStringLiteral("KOVANTA_ROOT"), root());
    e.insert(QStringLiteral("XDG_CONFIG_HOME"), configDir());
    e.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    e.insert(QStringLiteral("VANTREL_BOX_LOG"), root() + QStringLiteral("/boxes.log"));
    e.insert(QStringLiteral("VANTREL_NO_BROWSER"), QStringLiteral("1"));
    e.insert(QStringLiteral("VANTREL_PROBE_HOST"), QStringLiteral("127.0.0.1:49111"));
    e.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=true;qt.*.debug=false"));
    return e;
}

void TestEnv::startApp(QProcess *app, const QProcessEnvironment &e, const QStringList &wrapper)
{
    app->setProcessEnvironment(e);
    app->setProcessChannelMode(QProcess::MergedChannels);
    const QString exe = builtExecutable(QStringLiteral("Vantrel"));
    if (wrapper.isEmpty())
        app->start(exe, QStringList());
    else
        app->start(wrapper.first(), wrapper.mid(1) << exe);
}

bool TestEnv::holdFileLock(QProcess *holder, const QString &path, int seconds)
{
    holder->setProcessChannelMode(QProcess::MergedChannels);
    holder->start(QStringLiteral("/bin/sh"),
                  {QStringLiteral("-c"),
                   QStringLiteral("exec 9>>\"$1\" && flock -n 9 && echo locked && exec sleep \"$2\""),
                   QStringLiteral("sh"), path, QString::number(seconds)});
    if (!holder->waitForStarted(5000))
        return false;
    QByteArray out;
    while (!out.contains("locked\n") && holder->waitForReadyRead(10000))
        out += holder->readAll();
    return out.contains("locked\n");
}

void TestEnv::saveWatchlist(const QStringList &symbols, const QStringList &exchanges)
{
    AppSettings s;
    s.setValue(SettingsKeys::firstRun, false);
    s.setValue(SettingsKeys::selectedSymbolsList, symbols);
    s.setValue(SettingsKeys::corrExchList, exchanges);
}

void TestEnv::saveStartupBackfill(const QStringList &symbols, const QStringList &exchanges,
                                  const QString &days)
{
    saveWatchlist(symbols, exchanges);
    AppSettings s;
    s.setValue(SettingsKeys::autoBackfillChecked, true);
    s.setValue(SettingsKeys::autoFilldays, days);
}
