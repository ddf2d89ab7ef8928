// vantrel-devserver: the local stand-in for the vendor's data server. Serves the live
// WebSocket feed and, with --http-port, the backfill and update archives; tests and
// benchmarks steer it through options and the control port.

#include "control.h"
#include "minutebars.h"
#include "httpserver.h"
#include "wsfeed.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QHostAddress>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTimer>

#include <cstdio>
#include <memory>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_UNIX
// SIGTERM/SIGINT may only write to a descriptor; the event loop reads the other end and
// quits, so shutdown runs as ordinary Qt code.
int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char b = 1;
    const ssize_t written = ::write(g_signalPipe[0], &b, 1);
    (void)written;
}

void installQuitOnSignals(QCoreApplication *app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(g_signalPipe[1], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [app, notifier]() {
        notifier->setEnabled(false);
        char b;
        const ssize_t got = ::read(g_signalPipe[1], &b, 1);
        (void)got;
        app->quit();
    });
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}
#else
void installQuitOnSignals(QCoreApplication *) {}
#endif

void say(const QString &line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

[[noreturn]] void fail(const QString &message, int code = 2)
{
    std::fputs(qPrintable(QStringLiteral("vantrel-devserver: ") + message + QLatin1Char('\n')),
               stderr);
    std::exit(code);
}

quint16 portValue(const QCommandLineParser &p, const QString &name, quint16 fallback)
{
    if (!p.isSet(name))
        return fallback;
    bool ok = false;
    const uint v = p.value(name).toUInt(&ok);
    if (!ok || v > 65535)
        fail(QStringLiteral("--%1 wants a port number 0-65535, not \"%2\"").arg(name, p.value(name)));
    return quint16(v);
}

qint64 countValue(const QCommandLineParser &p, const QString &name, qint64 fallback, qint64 min)
{
    if (!p.isSet(name))
        return fallback;
    bool ok = false;
    const qint64 v = p.value(name).toLongLong(&ok);
    if (!ok || v < min)
        fail(QStringLiteral("--%1 wants a whole number >= %2, not \"%3\"").arg(name).arg(min).arg(p.value(name)));
    return v;
}

double realValue(const QCommandLineParser &p, const QString &name, double fallback)
{
    if (!p.isSet(name))
        return fallback;
    bool ok = false;
    const double v = p.value(name).toDouble(&ok);
    if (!ok || v < 0)
        fail(QStringLiteral("--%1 wants a number >= 0, not \"%2\"").arg(name, p.value(name)));
    return v;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vantrel-devserver"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Local data server: WebSocket tick feed for Vantrel tests and demos."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("ws-port"), QStringLiteral("WebSocket port (0 picks a free one)."), QStringLiteral("N"), QStringLiteral("49120")},
        {QStringLiteral("host"), QStringLiteral("Address to listen on."), QStringLiteral("ADDR"), QStringLiteral("127.0.0.1")},
        {QStringLiteral("rate"), QStringLiteral("Ticks per second over all subscribed symbols."), QStringLiteral("R"), QStringLiteral("20")},
        {QStringLiteral("batch"), QStringLiteral("Records per frame at most."), QStringLiteral("B"), QStringLiteral("10")},
        {QStringLiteral("linger-ms"), QStringLiteral("Longest wait before a partly filled frame goes out."), QStringLiteral("MS"), QStringLiteral("100")},
        {QStringLiteral("seed"), QStringLiteral("Random seed for the price walks."), QStringLiteral("S")},
        {QStringLiteral("require-auth"), QStringLiteral("Ignore subscribe until the client sent auth.")},
        {QStringLiteral("control-port"), QStringLiteral("Line-based control port on 127.0.0.1 (0 picks a free one)."), QStringLiteral("N")},
        {QStringLiteral("log-sent"), QStringLiteral("Append every sent record to FILE."), QStringLiteral("FILE")},
        {QStringLiteral("stop-after-ticks"), QStringLiteral("Stop generating after N ticks."), QStringLiteral("N")},
        {QStringLiteral("drop-after-ticks"), QStringLiteral("Abort all connections once, after N ticks."), QStringLiteral("N")},
        {QStringLiteral("duration"), QStringLiteral("Exit after S seconds."), QStringLiteral("S")},
        {QStringLiteral("http-port"), QStringLiteral("Serve backfill and update archives over HTTP on this port (0 picks a free one)."), QStringLiteral("N")},
        {QStringLiteral("http-fault"), QStringLiteral("Backfill answers go wrong from the start: normal, status:<code>, nolength, slow:<seconds>, stall, corrupt, escaping[:/abs/entry], endless."), QStringLiteral("MODE")},
        {QStringLiteral("update-package"), QStringLiteral("Update package served: good, nolauncher, corrupt, silent, unsigned, tampered, otherkey, shortsig, bigsig, empty, endless, huge, bomb, large, many."), QStringLiteral("VARIANT"), QStringLiteral("good")},
        {QStringLiteral("eod-symbols"), QStringLiteral("SEGMENT,SYMBOL lines for the end-of-day archives (default: the demo catalogue)."), QStringLiteral("FILE")},
        {QStringLiteral("log-requests"), QStringLiteral("Append every HTTP request line to FILE."), QStringLiteral("FILE")},
        {QStringLiteral("market"), QStringLiteral("A market that keeps trading: symbols once subscribed keep getting ticks while no client wants them, and the intraday history of a traded symbol is the minute bars of those ticks.")},
    });
    if (!parser.parse(QCoreApplication::arguments()))
        fail(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (!parser.positionalArguments().isEmpty())
        fail(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));

    FeedOptions opt;
    opt.rate = realValue(parser, QStringLiteral("rate"), 20);
    opt.batch = int(countValue(parser, QStringLiteral("batch"), 10, 1));
    opt.lingerMs = int(countValue(parser, QStringLiteral("linger-ms"), 100, 0));
    opt.requireAuth = parser.isSet(QStringLiteral("require-auth"));
    opt.stopAfterTicks = countValue(parser, QStringLiteral("stop-after-ticks"), 0, 1);
    opt.dropAfterTicks = countValue(parser, QStringLiteral("drop-after-ticks"), 0, 1);
    opt.logSentPath = parser.value(QStringLiteral("log-sent"));
    opt.keepMarket = parser.isSet(QStringLiteral("market"));
    opt.seed = parser.isSet(QStringLiteral("seed"))
                   ? quint32(countValue(parser, QStringLiteral("seed"), 0, 0))
                   : QRandomGenerator::global()->generate();

    QString hostText = parser.value(QStringLiteral("host"));
    QHostAddress host(hostText == QLatin1String("localhost") ? QStringLiteral("127.0.0.1") : hostText);
    if (host.isNull())
        fail(QStringLiteral("--host wants an IP address, not \"%1\"").arg(hostText));
    const quint16 wsPort = portValue(parser, QStringLiteral("ws-port"), 49120);

    installQuitOnSignals(&app);

    WsFeed feed(opt);
    Control control;
    MinuteBars bars;
    if (opt.keepMarket)
        feed.setMinuteBars(&bars);

    std::unique_ptr<HttpServer> http;
    if (parser.isSet(QStringLiteral("http-port"))) {
        BackfillData::Catalogue catalogue = BackfillData::demoCatalogue();
        QString why;
        if (parser.isSet(QStringLiteral("eod-symbols"))
            && !BackfillData::loadCatalogue(parser.value(QStringLiteral("eod-symbols")), &catalogue, &why))
            fail(why);
        http = std::make_unique<HttpServer>(catalogue);
        if (parser.isSet(QStringLiteral("http-fault"))
            && !http->setFault(parser.value(QStringLiteral("http-fault")).split(QLatin1Char(':')), &why))
            fail(QStringLiteral("--http-fault: ") + why);
        if (!http->setUpdatePackage(parser.value(QStringLiteral("update-package")), &why))
            fail(QStringLiteral("--update-package: ") + why);
        http->setRequestLog(parser.value(QStringLiteral("log-requests")));
        if (opt.keepMarket) {
            http->setIntradaySource([&bars](const QString &segment, const QString &symbol, int days) {
                return bars.hasSymbol(symbol) ? bars.lines(segment, symbol, days, QDate::currentDate())
                                              : QByteArray();
            });
        }
        http->addCommands(control);
        if (!http->listen(host, portValue(parser, QStringLiteral("http-port"), 0), &why))
            fail(why, 1);
        say(QStringLiteral("vantrel-devserver: listening http on %1:%2")
                .arg(http->serverAddress().toString())
                .arg(http->serverPort()));
    }

    if (parser.isSet(QStringLiteral("control-port"))) {
        // The reply carries the moment the links were gone (ms since the epoch): every tick
        // in the sent log up to it went to a dropped link, every later one to a new link.
        control.addCommand(QStringLiteral("drop"), QStringLiteral("drop"), [&feed](const QStringList &) {
            feed.dropAll();
            return QStringLiteral("ok %1").arg(QDateTime::currentMSecsSinceEpoch());
        });
        control.addCommand(QStringLiteral("cut"), QStringLiteral("cut"), [&feed](const QStringList &) {
            return QStringLiteral("ok %1 bytes unsent").arg(feed.cutMidFrame());
        });
        control.addCommand(QStringLiteral("malformed"), QStringLiteral("malformed <kind>"),
                           [&feed](const QStringList &args) {
                               if (args.size() != 1)
                                   return QStringLiteral("error: malformed wants one of: ")
                                          + WsFeed::malformedKinds().join(QLatin1Char(' '));
                               QString why;
                               if (!feed.sendMalformed(args.first(), &why))
                                   return QStringLiteral("error: ") + why;
                               return QStringLiteral("ok");
                           });
        control.addCommand(QStringLiteral("pause"), QStringLiteral("pause"), [&feed](const QStringList &) {
            feed.pause();
            return QStringLiteral("ok");
        });
        control.addCommand(QStringLiteral("resume"), QStringLiteral("resume"), [&feed](const QStringList &) {
            feed.resume();
            return QStringLiteral("ok");
        });
        control.addCommand(QStringLiteral("rate"), QStringLiteral("rate <ticks per second>"),
                           [&feed](const QStringList &args) {
                               bool ok = false;
                               const double r = args.size() == 1 ? args.first().toDouble(&ok) : 0;
                               if (!ok || r < 0)
                                   return QStringLiteral("error: rate wants one number >= 0");
                               feed.setRate(r);
                               return QStringLiteral("ok");
                           });
        control.addCommand(QStringLiteral("mute"), QStringLiteral("mute"), [&feed](const QStringList &) {
            return QStringLiteral("ok %1 muted").arg(feed.mute());
        });
        control.addCommand(QStringLiteral("refuse"), QStringLiteral("refuse <seconds>"),
                           [&feed](const QStringList &args) {
                               bool ok = false;
                               const int seconds = args.size() == 1 ? args.first().toInt(&ok) : -1;
                               if (!ok || seconds < 0 || seconds > 24 * 3600)
                                   return QStringLiteral("error: refuse wants seconds, 0 to 86400");
                               feed.refuse(seconds);
                               return QStringLiteral("ok %1").arg(QDateTime::currentMSecsSinceEpoch());
                           });
        control.addCommand(QStringLiteral("stats"), QStringLiteral("stats"), [&feed](const QStringList &) {
            return QString::fromUtf8(QJsonDocument(feed.stats()).toJson(QJsonDocument::Compact));
        });
        control.addCommand(QStringLiteral("quit"), QStringLiteral("quit"), [&app](const QStringList &) {
            // The reply goes out before the loop ends.
            QTimer::singleShot(0, &app, &QCoreApplication::quit);
            return QStringLiteral("ok");
        });

        QString why;
        if (!control.listen(portValue(parser, QStringLiteral("control-port"), 0), &why))
            fail(why, 1);
        say(QStringLiteral("vantrel-devserver: listening control on 127.0.0.1:%1").arg(control.serverPort()));
    }

    QString why;
    if (!feed.listen(host, wsPort, &why))
        fail(why, 1);

    if (parser.isSet(QStringLiteral("duration"))) {
        const double seconds = realValue(parser, QStringLiteral("duration"), 0);
        QTimer::singleShot(qint64(seconds * 1000), &app, &QCoreApplication::quit);
    }
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &feed, &WsFeed::shutdown);

    // Scripts wait for this line: everything above is ready once it appears.
    say(QStringLiteral("vantrel-devserver: listening ws on %1:%2")
            .arg(feed.serverAddress().toString())
            .arg(feed.serverPort()));

    const int rc = app.exec();
    say(QStringLiteral("vantrel-devserver: stopped"));
    return rc;
}
