// Loading a long wishlist into a shown main window (needs the server database): the time
// for 60,000 symbols beside four times the time for 15,000, so a ratio near 1 means the
// load grows linearly with the list.
#include "benchfigure.h"
#include "app/settingskeys.h"
#include "ui/filedialogs.h"
#include "serverdb/serverdatabase.h"
#include "ui/mainwindow.h"
#include "ui/messagehelper.h"
#include "ui/wishlistfile.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLocale>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <cstdio>

static double loadMs(QTemporaryDir &tmp, int count)
{
    QStringList symbols, codes;
    for (int i = 0; i < count; ++i) {
        symbols << QStringLiteral("S%1").arg(i);
        codes << QStringLiteral("CASH");
    }
    const QString path = tmp.path() + QStringLiteral("/list%1.vn").arg(count);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(WishlistFile::encrypt(symbols, codes)) <= 0)
        return -1;
    f.close();
    FileDialogs::setHook([path](const FileDialogs::Request &) { return path; });

    ServerDatabase database;
    database.connect();
    if (!database.isOpen())
        return -1;
    MainWindow window(&database);
    window.setSymbolLimit(count);
    window.show();
    QCoreApplication::processEvents();
    QElapsedTimer t;
    t.start();
    window.findChild<QPushButton *>(QStringLiteral("load_list_2"))->click();
    QCoreApplication::processEvents(); // the queued work of the fill belongs to the load
    return t.nsecsElapsed() / 1e6;
}

int main(int argc, char **argv)
{
    QTemporaryDir tmp;
    qputenv("KOVANTA_ROOT", (tmp.path() + "/root").toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (tmp.path() + "/config").toLocal8Bit());
    qputenv("VANTREL_NO_BROWSER", "1");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, tmp.path() + "/config");
    AppSettings().setValue(SettingsKeys::firstRun, false);
    MessageHelper::setHook([](QMessageBox &box) { box.buttons().constFirst()->click(); });

    // An argument replaces the quarter's size, for profiling smaller loads.
    const int quarterCount = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 15000;
    const double quarter = loadMs(tmp, quarterCount);
    const double whole = loadMs(tmp, 4 * quarterCount);
    if (quarter < 0 || whole < 0) {
        std::fprintf(stderr, "bench_wishlist: the server database is not reachable\n");
        return 1;
    }
    const QLocale english(QLocale::English);
    const QByteArray name = QStringLiteral("wishlist load, %1 symbols").arg(english.toString(4 * quarterCount)).toUtf8();
    const QByteArray base = QStringLiteral("ms (4 x %1 symbols)").arg(english.toString(quarterCount)).toUtf8();
    benchFigure(name.constData(), whole, "ms", 4 * quarter, base.constData());
    return 0;
}
