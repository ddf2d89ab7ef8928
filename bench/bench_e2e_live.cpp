// End to end: vantrel-devserver at a fixed rate over many symbols into the real feed worker
// (own thread), tick recorder, live import cycle and broker stand-in. Reports ticks sent,
// ticks stored, lost, and the latency from send to stored at p50 and p99.
//   bench_e2e_live [seconds=60] [rate=2000] [symbols=500] [batch=50] [outage-state=off|on]
// With the outage state on, every batch also stamps the outage bookkeeping, which writes
// its state file every 10 s, as the program does with gap repair switched on.
#include "benchfigure.h"

#include "amibroker/livedataupdator.h"
#include "live/outagetracker.h"
#include "live/websocketworker.h"
#include "platform/standin/brokerstandin.h"
#include "platform/installpaths.h"
#include "platform/standin/quotestore.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstdio>

static QString tsKey(const QByteArray &symbol, const QByteArray &date, const QByteArray &time)
{
    return QString::fromUtf8(symbol + '|' + date + '|' + time);
}

int main(int argc, char **argv)
{
    const QStringList a = [&] {
        QStringList l;
        for (int i = 1; i < argc; ++i)
            l << QString::fromLocal8Bit(argv[i]);
        return l;
    }();
    const int seconds = a.value(0, QStringLiteral("60")).toInt();
    const int rate = a.value(1, QStringLiteral("2000")).toInt();
    const int symbolCount = a.value(2, QStringLiteral("500")).toInt();
    const int batch = a.value(3, QStringLiteral("50")).toInt();
    const bool outageState = a.value(4) == QLatin1String("on");

    QTemporaryDir tmp;
    qputenv("KOVANTA_ROOT", (tmp.path() + "/root").toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (tmp.path() + "/config").toLocal8Bit());
    qputenv("VANTREL_DB_PORT", "1"); // the bench needs no catalogue; fail the connect fast
    QDir().mkpath(tmp.path() + "/root");
    QCoreApplication app(argc, argv);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, tmp.path() + "/config");
    for (const char *f : {"dataFormatRT.dll", "dataFormat.dll", "dataFormatEod.dll"})
        QFile::copy(QStringLiteral(VANTREL_BUILD_DIR "/formats/") + f, tmp.path() + "/root/" + f);

    QStringList symbols;
    for (int i = 0; i < symbolCount; ++i)
        symbols << QStringLiteral("STK%1").arg(i, 3, 10, QLatin1Char('0'));

    const QString sentLog = tmp.path() + "/sent.log";
    QProcess server;
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.start(QStringLiteral(VANTREL_BUILD_DIR "/tools/devserver/vantrel-devserver"),
                 {"--ws-port", "0", "--rate", QString::number(rate), "--batch",
                  QString::number(batch), "--linger-ms", "20", "--log-sent", sentLog,
                  "--seed", "7"});
    QByteArray banner;
    while (!banner.contains("listening ws") && server.waitForReadyRead(5000))
        banner += server.readAll();
    const int at = banner.indexOf("listening ws on ");
    if (at < 0) {
        std::fprintf(stderr, "bench_e2e_live: devserver did not start\n");
        return 1;
    }
    const QByteArray hostPort = banner.mid(at + 16).split('\n').first().trimmed();

    liveDataUpdator updator;
    auto *standIn = qobject_cast<BrokerStandIn *>(updator.broker());
    if (!standIn) {
        std::fprintf(stderr, "bench_e2e_live: the broker stand-in is not in use\n");
        return 1;
    }
    // The moment each tick became stored: every line of the import file just imported.
    QHash<QString, qint64> storedAt;
    QObject::connect(standIn, &BrokerStandIn::imported, [&](const QString &file, int) {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly))
            return;
        for (const QByteArray &line : f.readAll().split('\n')) {
            const QList<QByteArray> p = line.split(',');
            if (p.size() >= 4)
                storedAt.insert(tsKey(p[1], p[2], p[3]), now);
        }
    });

    QThread feedThread;
    auto *worker = new WebSocketWorker(QUrl("ws://" + QString::fromUtf8(hostPort) + "/ws"), symbols,
                                       QStringLiteral("rtsocket.txt"), QStringLiteral("BENCH"));
    worker->moveToThread(&feedThread);
    QObject::connect(&feedThread, &QThread::started, worker, &WebSocketWorker::start);
    QObject::connect(&feedThread, &QThread::finished, worker, &QObject::deleteLater);
    QObject::connect(worker, &WebSocketWorker::rtDataDownloaded, &updator,
                     &liveDataUpdator::updateDataAmi, Qt::QueuedConnection);
    OutageTracker tracker(InstallPaths::outageStateFile());
    if (outageState) {
        QObject::connect(worker, &WebSocketWorker::rtDataDownloaded, &tracker,
                         &OutageTracker::noteTicksImported, Qt::QueuedConnection);
    }
    feedThread.start();

    // How long the GUI thread goes without serving its timers while the feed runs: the
    // longest gap between the beats of a 10 ms timer (the window's refresh rides on the
    // same loop).
    QElapsedTimer beat;
    qint64 longestGap = 0;
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        if (beat.isValid())
            longestGap = std::max(longestGap, beat.elapsed());
        beat.start();
    });
    heartbeat.start(10);

    QTimer::singleShot(seconds * 1000, &server, [&] {
        server.terminate();
    });
    QObject::connect(&server, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), &app, [&] {
        // Let the last queued cycles run, then stop.
        QTimer::singleShot(1500, &app, &QCoreApplication::quit);
    });
    app.exec();
    QMetaObject::invokeMethod(worker, "stop", Qt::QueuedConnection);
    feedThread.quit();
    feedThread.wait(3000);

    QFile log(sentLog);
    log.open(QIODevice::ReadOnly);
    qint64 sent = 0, found = 0, firstSend = 0, lastSend = 0;
    QVector<qint64> latency;
    while (!log.atEnd()) {
        const QList<QByteArray> p = log.readLine().trimmed().split(',');
        if (p.size() < 8)
            continue;
        ++sent;
        const qint64 sentAt = p[7].toLongLong();
        if (firstSend == 0 || sentAt < firstSend)
            firstSend = sentAt;
        lastSend = std::max(lastSend, sentAt);
        const auto it = storedAt.constFind(tsKey(p[0], p[1], p[2]));
        if (it != storedAt.constEnd()) {
            ++found;
            latency.append(*it - p[7].toLongLong());
        }
    }
    QuoteStore store;
    store.open(InstallPaths::databaseDir());
    const qint64 stored = store.count();
    std::sort(latency.begin(), latency.end());
    auto pct = [&](double q) {
        return latency.isEmpty() ? -1 : latency.at(std::min<int>(latency.size() - 1, int(q * latency.size())));
    };
    const double span = std::max<qint64>(1, lastSend - firstSend) / 1000.0;
    std::printf("e2e live: %d s at %d ticks/s over %d symbols, batch %d (import cycles %lld, batches %lld),"
                " outage state %s (%lld writes)\n",
                seconds, rate, symbolCount, batch, static_cast<long long>(updator.importCycles()),
                static_cast<long long>(updator.importedBatches()), outageState ? "on" : "off",
                static_cast<long long>(tracker.stateWrites()));
    benchFigure("e2e live ticks stored", double(stored), "ticks", double(sent), "ticks sent");
    benchFigure("e2e live ticks lost", double(sent - found), "ticks", double(sent), "ticks sent");
    benchFigure("e2e live latency send->stored p50", double(pct(0.50)), "ms", 250, "ms target p99");
    benchFigure("e2e live latency send->stored p99", double(pct(0.99)), "ms", 250, "ms target p99");
    benchFigure("e2e live longest GUI-thread stall", double(longestGap), "ms", 10, "ms timer interval");
    const double runMs = span * 1000.0;
    benchFigure("e2e live GUI-thread own work (queue, import file)", updator.ownWorkNs() / 1e6, "ms",
                runMs, "ms of sending", 1);
    benchFigure("e2e live GUI-thread inside the broker's calls", updator.brokerCallNs() / 1e6, "ms",
                runMs, "ms of sending", 1);
    benchFigure("e2e live devserver send rate", double(sent) / span, "ticks/s", rate, "ticks/s asked");
    return sent == found ? 0 : 2;
}
