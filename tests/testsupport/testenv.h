#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class QProcess;

// Isolates one test executable: a temporary installation root (set explicitly, and as
// KOVANTA_ROOT for child processes), a private settings store (a test-only INI scope in
// a temporary folder, and XDG_CONFIG_HOME for child processes), nothing shared with the
// developer's own installation or registry. Construct it first thing in initTestCase().
class TestEnv
{
public:
    TestEnv();
    ~TestEnv();

    QString root() const;        // the installation root of this test
    QString configDir() const;   // the settings folder of this test
    bool isValid() const { return m_dir.isValid(); }
    // Whether the installation root and the settings store both lie in this test's
    // temporary folder (the constructor refuses to go on otherwise).
    bool isolated() const;

    // Lays the installation's three import format definitions (from the build) into the
    // root, as the installer does. False when one cannot be copied.
    bool installFormats() const;
    // Writes the user ID file of the root.
    bool writeUserId(const QString &userId) const;
    // Saves a watchlist, past the first start.
    static void saveWatchlist(const QStringList &symbols, const QStringList &exchanges);
    // The same, with the start-up backfill of `days` on.
    static void saveStartupBackfill(const QStringList &symbols, const QStringList &exchanges,
                                    const QString &days);

    // What the real binary runs with in this test: this root and settings folder, no
    // screen, boxes answered unattended into root()/boxes.log, no browser, the local
    // database as the connectivity probe, and the debug log on (Qt's own off).
    QProcessEnvironment appEnvironment() const;
    // Starts the built Vantrel in `e`, its output and errors merged; through `wrapper`
    // (a program and its arguments, the executable's path added last) when one is given.
    // Suites run it through AppRun, which also waits, closes and collects the output.
    static void startApp(QProcess *app, const QProcessEnvironment &e, const QStringList &wrapper = {});

    // Holds an flock() on `path` in a process of its own (a shell that then becomes a
    // sleep), as a running copy holds the instance lock. True once it is held; false when
    // another process holds it already. The holder ends after `seconds`; kill it to let go
    // sooner.
    static bool holdFileLock(QProcess *holder, const QString &path, int seconds = 300);

    // Empties the settings store (every key of the product's store).
    static void clearSettings();

    // Source and build folders (set by the test registration).
    static QString sourceDir();
    static QString buildDir();
    // Path of an executable built by this project (for example "vantrel-devserver").
    static QString builtExecutable(const QString &name);

    // True when the local MariaDB answers on 127.0.0.1:49111.
    static bool mariadbUp();

    // Sets the one published-build row of the local MariaDB (as its administrator; the
    // program's own account only reads). Tests put "7.10" and the demo path back.
    static bool announceBuild(const QString &version, const QString &packageUrl);
    static bool restoreAnnouncedBuild();

private:
    QTemporaryDir m_dir;
};
