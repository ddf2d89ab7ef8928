// End to end: vantrel-devserver at a fixed rate over many symbols into the real feed worker
// (own thread), tick recorder, live import cycle in the broker thread and broker stand-in.
// Reports ticks sent, ticks stored, lost, the latency from send to stored at p50 and p99
// and the longest stall of this (the GUI) thread.
//   bench_e2e_live [seconds=60] [rate=2000] [symbols=500] [batch=50] [importMs=0] [stallS=0]
//                  [outage-state=off|on]
// importMs: every import takes that much longer (the stand-in's VANTREL_STANDIN_IMPORT_MS).
// stallS: 5 s in, the charting program stalls for that long (the stand-in's stall file);
// the run then also reports peak resident memory, spool bytes written (kept batches are
// written ahead) and the time from the end of the stall until the backlog is imported. The run lasts at least until then.
// With the outage state on, every batch also stamps the outage bookkeeping, which writes
// its state file every 10 s, as the program does with gap repair switched on, and every
// import the charting program took is noted in the day ledger, which is saved every 5 s
// (the Data Health bookkeeping); the run then reports the ledger's work against the
// process's CPU time.
#include "benchfigure.h"

#include "amibroker/liveimporter.h"
#include "live/dayledger.h"
#include "live/outagetracker.h"
#include "live/pendingbatches.h"
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
#include <QMutex>
#include <QSet>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <sys/resource.h>
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
    const int importMs = a.value(4, QStringLiteral("0")).toInt();
    const int stallSeconds = a.value(5, QStringLiteral("0")).toInt();
    const int stallStartMs = 5000;
    if (importMs > 0)
        qputenv("VANTREL_STANDIN_IMPORT_MS", QByteArray::number(importMs));
    const bool outageState = a.value(6) == QLatin1String("on");

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

    LiveImporter updator;
    updator.setFollowedSymbols(symbols); // the watchlist: batches read back from the spool are checked against it
    auto *standIn = qobject_cast<BrokerStandIn *>(updator.broker());
    if (!standIn) {
        std::fprintf(stderr, "bench_e2e_live: the broker stand-in is not in use\n");
        return 1;
    }
    // The moment each tick became stored: every line of the import file just imported. The
    // stand-in reports in the broker thread, where the import file is written. In a stall
    // run only the end of the catch-up is watched: a map of every tick would dwarf the
    // program's own memory.
    QMutex storedMutex;
    QHash<QString, qint64> storedAt;
    QByteArray catchUpMark; // ",SYM,DATE,TIME," of the last tick sent before the stall ended
    qint64 catchUpDoneAt = 0;
    const bool trackEveryTick = stallSeconds == 0;
    QObject::connect(standIn, &BrokerStandIn::imported, standIn, [&](const QString &file, int) {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly))
            return;
        const QByteArray bytes = f.readAll();
        QMutexLocker lock(&storedMutex);
        if (!catchUpMark.isEmpty() && catchUpDoneAt == 0 && bytes.contains(catchUpMark))
            catchUpDoneAt = now;
        if (!trackEveryTick)
            return;
        for (const QByteArray &line : bytes.split('\n')) {
            const QList<QByteArray> p = line.split(',');
            if (p.size() >= 4)
                storedAt.insert(tsKey(p[1], p[2], p[3]), now);
        }
    }, Qt::DirectConnection);

    QThread feedThread;
    auto *worker = new WebSocketWorker(QUrl("ws://" + QString::fromUtf8(hostPort) + "/ws"), symbols,
                                       QStringLiteral("rtsocket.txt"), QStringLiteral("BENCH"));
    worker->moveToThread(&feedThread);
    QObject::connect(&feedThread, &QThread::started, worker, &WebSocketWorker::start);
    QObject::connect(&feedThread, &QThread::finished, worker, &QObject::deleteLater);
    QObject::connect(worker, &WebSocketWorker::rtDataDownloaded, &updator,
                     &LiveImporter::importBatches, Qt::QueuedConnection);
    OutageTracker tracker(InstallPaths::outageStateFile());
    if (outageState) {
        QObject::connect(worker, &WebSocketWorker::rtDataDownloaded, &tracker,
                         &OutageTracker::noteTicksImported, Qt::QueuedConnection);
    }
    auto ledger = std::make_shared<DayLedger>(InstallPaths::dayLedgerFile());
    std::atomic<qint64> ledgerNs{0};
    QTimer ledgerSave;
    if (outageState) {
        updator.setImportedTicksObserver([ledger, &ledgerNs](const QByteArray &ticks) {
            QElapsedTimer t;
            t.start();
            ledger->noteImported(ticks, DayLedger::Source::Live);
            ledgerNs += t.nsecsElapsed();
        });
        QObject::connect(&ledgerSave, &QTimer::timeout, [ledger, &ledgerNs] {
            QElapsedTimer t;
            t.start();
            ledger->save();
            ledgerNs += t.nsecsElapsed();
        });
        ledgerSave.start(5000);
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

    // The stall: the stand-in blocks every call while its stall file exists.
    const QString stallFile = InstallPaths::databaseDir() + "/" + BrokerStandIn::stallFileName();
    qint64 stallEndedAt = 0;
    if (stallSeconds > 0) {
        QTimer::singleShot(stallStartMs, &app, [&] {
            QDir().mkpath(InstallPaths::databaseDir());
            QFile(stallFile).open(QIODevice::WriteOnly);
        });
        QTimer::singleShot(stallStartMs + stallSeconds * 1000, &app, [&] {
            QFile::remove(stallFile);
            // The last tick sent so far marks the end of the backlog.
            QFile sent(sentLog);
            QByteArray last;
            if (sent.open(QIODevice::ReadOnly)) {
                sent.seek(std::max<qint64>(0, sent.size() - 4096));
                const QList<QByteArray> lines = sent.readAll().trimmed().split('\n');
                last = lines.isEmpty() ? QByteArray() : lines.last();
            }
            const QList<QByteArray> p = last.split(',');
            QMutexLocker lock(&storedMutex);
            stallEndedAt = QDateTime::currentMSecsSinceEpoch();
            if (p.size() >= 3)
                catchUpMark = ',' + p[0] + ',' + p[1] + ',' + p[2] + ',';
        });
    }
    const int runMsWanted = std::max(seconds * 1000, stallSeconds > 0 ? stallStartMs + stallSeconds * 1000 + 10000 : 0);
    // The feed stops once the run's time is up and, in a stall run, the backlog is in.
    QTimer ender;
    QElapsedTimer runClock;
    runClock.start();
    QObject::connect(&ender, &QTimer::timeout, &app, [&] {
        if (runClock.elapsed() < runMsWanted)
            return;
        if (stallSeconds > 0) {
            QMutexLocker lock(&storedMutex);
            if (catchUpDoneAt == 0 && runClock.elapsed() < runMsWanted + 600000)
                return;
        }
        ender.stop();
        server.terminate();
    });
    ender.start(200);
    QObject::connect(&server, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), &app, [&] {
        // Let the last queued cycles run, then stop.
        QTimer::singleShot(1500, &app, &QCoreApplication::quit);
    });
    app.exec();
    // The high-water mark of resident memory, before this benchmark's own counting below.
    qint64 peakRssKb = 0;
    {
        QFile status(QStringLiteral("/proc/self/status"));
        if (status.open(QIODevice::ReadOnly)) {
            for (const QByteArray &line : status.readAll().split('\n')) {
                if (line.startsWith("VmHWM:"))
                    peakRssKb = line.mid(6).trimmed().split(' ').first().toLongLong();
            }
        }
    }
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
    if (!trackEveryTick) {
        // Lost ticks from the store itself.
        QSet<QString> keys;
        for (const auto &sym : store.symbols()) {
            for (const ImportedQuote &q : store.quotes(sym.first)) {
                const QString ts = QuoteStore::formatTimestamp(q.timestampMs); // "2026-12-08 09:15:01.250"
                keys.insert(sym.first + '|' + ts.left(4) + ts.mid(5, 2) + ts.mid(8, 2) + '|' + ts.mid(11));
            }
        }
        log.seek(0);
        while (!log.atEnd()) {
            const QList<QByteArray> p = log.readLine().trimmed().split(',');
            if (p.size() >= 8 && keys.contains(tsKey(p[0], p[1], p[2])))
                ++found;
        }
    }
    std::sort(latency.begin(), latency.end());
    auto pct = [&](double q) {
        return latency.isEmpty() ? -1 : latency.at(std::min<int>(latency.size() - 1, int(q * latency.size())));
    };
    const double span = std::max<qint64>(1, lastSend - firstSend) / 1000.0;
    std::printf("e2e live: %d s at %d ticks/s over %d symbols, batch %d, imports +%d ms, stall %d s "
                "(import cycles %lld, batches %lld, largest import %lld bytes), outage state %s (%lld writes)\n",
                int(runClock.elapsed() / 1000), rate, symbolCount, batch, importMs, stallSeconds,
                static_cast<long long>(updator.importCycles()),
                static_cast<long long>(updator.importedBatches()),
                static_cast<long long>(updator.largestLiveImportBytes()), outageState ? "on" : "off",
                static_cast<long long>(tracker.stateWrites()));
    benchFigure("e2e live ticks stored", double(stored), "ticks", double(sent), "ticks sent");
    benchFigure("e2e live ticks lost", double(sent - found), "ticks", double(sent), "ticks sent");
    const double p99Target = importMs > 0 ? 1500 : 250;
    if (trackEveryTick) {
        benchFigure("e2e live latency send->stored p50", double(pct(0.50)), "ms", p99Target, "ms target p99");
        benchFigure("e2e live latency send->stored p99", double(pct(0.99)), "ms", p99Target, "ms target p99");
    }
    benchFigure("e2e live longest GUI-thread stall", double(longestGap), "ms", 50, "ms target");
    if (stallSeconds > 0) {
        benchFigure("e2e live peak resident memory", peakRssKb / 1024.0, "MB", 130, "MB target", 1);
        benchFigure("e2e live spool bytes written", double(PendingBatches::spoolBytesWritten()), "bytes",
                    double(PendingBatches::kWindowBytes), "bytes of spooled batches kept in memory");
        benchFigure("e2e live catch-up after the stall", double(catchUpDoneAt > 0 ? catchUpDoneAt - stallEndedAt : -1),
                    "ms", stallSeconds * 1000.0, "ms of stall");
    }
    const double runMs = span * 1000.0;
    benchFigure("e2e live broker-thread own work (queue, import file)", updator.ownWorkNs() / 1e6, "ms",
                runMs, "ms of sending", 1);
    benchFigure("e2e live broker-thread inside the broker's calls", updator.brokerCallNs() / 1e6, "ms",
                runMs, "ms of sending", 1);
    if (outageState) {
        rusage self{};
        getrusage(RUSAGE_SELF, &self);
        const double cpuMs = (self.ru_utime.tv_sec + self.ru_stime.tv_sec) * 1000.0
                             + (self.ru_utime.tv_usec + self.ru_stime.tv_usec) / 1000.0;
        benchFigure("e2e live day ledger work (note imports, saves)", ledgerNs.load() / 1e6, "ms", cpuMs,
                    "ms of the process's CPU time", 1);
    }
    benchFigure("e2e live devserver send rate", double(sent) / span, "ticks/s", rate, "ticks/s asked");
    return sent == found ? 0 : 2;
}
