// vantrel-soak analyze: the verdict of a soak run (tests/soak/run.sh) from what the run left
// behind: the data server's log of sent ticks, the broker stand-in's quote store, the run's
// event log and the program's own log. Prints every figure and exits 1 when any check
// fails, 2 on a bad command line or unreadable input.
//
//   vantrel-soak analyze --sent FILE --db FOLDER --events FILE --app-log FILE
//                        --watchlist FILE [--lead-ms 1000] [--max-reconnect-ms 15000]
//                        [--max-stall-ms 2000] [--backfill-bars 375] [--requests FILE]
//
// Events are lines "<epoch ms> <name> [value]": start <pid>, drop, rss <kB>, db-stop,
// db-up, backfill-click, backfill-done, alive <0|1>, close-sent, exit <code>, and the
// outages that need a repair: outage <refuse|mute|kill>, restart <pid>.

#include "platform/standin/quotestore.h"
#include "soakfigures.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QMap>
#include <QSet>

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

namespace {

void say(const QString &line) { std::printf("%s\n", qPrintable(line)); }

QByteArray readAll(const QString &path, bool *ok)
{
    QFile f(path);
    *ok = f.open(QIODevice::ReadOnly);
    return *ok ? f.readAll() : QByteArray();
}

struct Sent
{
    quint64 key; // symbol index << 42 | tick timestamp
    qint64 sentAt;
};

quint64 keyOf(int symbol, qint64 ts) { return (quint64(symbol) << 42) | quint64(ts); }

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.addPositionalArgument(QStringLiteral("command"), QStringLiteral("analyze"));
    const QList<QCommandLineOption> options{
        {QStringLiteral("sent"), QStringLiteral("Sent-tick log of the data server."), QStringLiteral("FILE")},
        {QStringLiteral("db"), QStringLiteral("Database folder of the quote store."), QStringLiteral("FOLDER")},
        {QStringLiteral("events"), QStringLiteral("Event log of the run."), QStringLiteral("FILE")},
        {QStringLiteral("app-log"), QStringLiteral("Debug output of the program."), QStringLiteral("FILE")},
        {QStringLiteral("watchlist"), QStringLiteral("Watchlist symbols, one per line."), QStringLiteral("FILE")},
        {QStringLiteral("lead-ms"), QStringLiteral("Part of a reconnect window before the drop."), QStringLiteral("MS"), QStringLiteral("1000")},
        {QStringLiteral("max-reconnect-ms"), QStringLiteral("Longest acceptable time to reconnect."), QStringLiteral("MS"), QStringLiteral("15000")},
        {QStringLiteral("max-stall-ms"), QStringLiteral("Longest acceptable event-loop stall."), QStringLiteral("MS"), QStringLiteral("2000")},
        {QStringLiteral("requests"), QStringLiteral("The data server's HTTP request log (repair requests per symbol)."), QStringLiteral("FILE")},
        {QStringLiteral("backfill-bars"), QStringLiteral("Intraday bars per symbol the backfill brings."), QStringLiteral("N"), QStringLiteral("375")},
    };
    p.addOptions(options);
    p.process(app);
    if (p.positionalArguments() != QStringList{QStringLiteral("analyze")}) {
        std::fprintf(stderr, "usage: vantrel-soak analyze --sent FILE --db FOLDER --events FILE --app-log FILE --watchlist FILE\n");
        return 2;
    }
    for (const char *required : {"sent", "db", "events", "app-log", "watchlist"}) {
        if (!p.isSet(QString::fromLatin1(required))) {
            std::fprintf(stderr, "vantrel-soak: --%s is required\n", required);
            return 2;
        }
    }
    const qint64 leadMs = p.value(QStringLiteral("lead-ms")).toLongLong();
    const qint64 maxReconnectMs = p.value(QStringLiteral("max-reconnect-ms")).toLongLong();
    const qint64 maxStallMs = p.value(QStringLiteral("max-stall-ms")).toLongLong();
    const qint64 barsPerSymbol = p.value(QStringLiteral("backfill-bars")).toLongLong();

    bool ok = false;
    QStringList failures;
    auto check = [&](bool good, const QString &what) {
        if (!good)
            failures << what;
    };

    // The watchlist names the symbols; anything else the server sent is counted apart.
    QHash<QString, int> symbolIndex;
    QStringList symbols;
    for (const QByteArray &line : readAll(p.value(QStringLiteral("watchlist")), &ok).split('\n')) {
        const QString s = QString::fromUtf8(line.trimmed());
        if (!s.isEmpty() && !symbolIndex.contains(s)) {
            symbolIndex.insert(s, symbols.size());
            symbols << s;
        }
    }
    if (!ok || symbols.isEmpty()) {
        std::fprintf(stderr, "vantrel-soak: no watchlist symbols\n");
        return 2;
    }

    // Events.
    QVector<qint64> drops;
    QVector<qint64> outages;
    QStringList outageKinds;
    QVector<qint64> rss;
    QMap<QString, qint64> firstEvent;
    QMap<QString, QString> lastValue;
    for (const QByteArray &line : readAll(p.value(QStringLiteral("events")), &ok).split('\n')) {
        const QList<QByteArray> w = line.trimmed().split(' ');
        if (w.size() < 2)
            continue;
        const qint64 at = w[0].toLongLong();
        const QString name = QString::fromLatin1(w[1]);
        const QString value = w.size() > 2 ? QString::fromLatin1(w[2]) : QString();
        if (!firstEvent.contains(name))
            firstEvent.insert(name, at);
        lastValue.insert(name, value);
        if (name == QLatin1String("drop"))
            drops << at;
        else if (name == QLatin1String("outage")) {
            outages << at;
            outageKinds << value;
        }
        else if (name == QLatin1String("rss"))
            rss << value.toLongLong();
    }
    if (!ok) {
        std::fprintf(stderr, "vantrel-soak: cannot read the event log\n");
        return 2;
    }

    // Sent ticks.
    QFile sentFile(p.value(QStringLiteral("sent")));
    if (!sentFile.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "vantrel-soak: cannot read the sent log\n");
        return 2;
    }
    std::vector<Sent> sent;
    sent.reserve(size_t(sentFile.size() / 48));
    QVector<qint64> sendTimes;
    qint64 outsideWatchlist = 0;
    qint64 malformed = 0;
    while (!sentFile.atEnd()) {
        const QList<QByteArray> f = sentFile.readLine().trimmed().split(',');
        if (f.size() < 8) {
            ++malformed;
            continue;
        }
        const qint64 ts = Soak::tickTimestamp(f[1], f[2]);
        const qint64 sentAt = f[7].toLongLong();
        if (ts < 0 || sentAt <= 0) {
            ++malformed;
            continue;
        }
        sendTimes << sentAt;
        const auto it = symbolIndex.constFind(QString::fromUtf8(f[0]));
        if (it == symbolIndex.constEnd()) {
            ++outsideWatchlist;
            continue;
        }
        sent.push_back({keyOf(*it, ts), sentAt});
    }
    std::sort(sendTimes.begin(), sendTimes.end());

    // Stored quotes: when each was first stored, and the backfill's minute bars.
    QuoteStore store;
    if (!store.open(p.value(QStringLiteral("db")))) {
        std::fprintf(stderr, "vantrel-soak: %s\n", qPrintable(store.errorString()));
        return 2;
    }
    std::vector<std::pair<quint64, qint64>> stored;
    QVector<qint64> barsOf(symbols.size(), 0);
    QVector<QSet<qint64>> minutesOf(symbols.size());
    qint64 storedRows = 0;
    if (!store.stamps([&](const QString &symbol, qint64 ts, qint64 at) {
            ++storedRows;
            const auto it = symbolIndex.constFind(symbol);
            if (it == symbolIndex.constEnd())
                return;
            stored.emplace_back(keyOf(*it, ts), at);
            minutesOf[*it].insert(ts / 60000);
            // Minute bars: the built-in history's session, or the market's own minutes.
            if (ts % 60000 == 0)
                ++barsOf[*it];
        })) {
        std::fprintf(stderr, "vantrel-soak: %s\n", qPrintable(store.errorString()));
        return 2;
    }
    std::sort(stored.begin(), stored.end());

    const QVector<Soak::Window> windows = Soak::reconnectWindows(drops, sendTimes, leadMs);
    const QVector<Soak::Window> outageWindows = Soak::outageWindows(outages, sendTimes, leadMs, 1000);
    QVector<qint64> lostInOutage(outageWindows.size(), 0);
    QVector<qint64> lostIn(windows.size(), 0);
    QVector<qint64> earliestLossBeforeDrop(windows.size(), 0);
    QVector<qint64> latency;
    latency.reserve(int(sent.size()));
    qint64 found = 0, lostOutside = 0, firstLostOutside = 0, afterClose = 0;
    const qint64 closeAt = firstEvent.value(QStringLiteral("close-sent"), Soak::kNever);
    for (const Sent &s : sent) {
        if (s.sentAt > closeAt) {
            ++afterClose; // the program was already asked to end
            continue;
        }
        const auto it = std::lower_bound(stored.begin(), stored.end(), std::make_pair(s.key, qint64(0)),
                                         [](const auto &a, const auto &b) { return a.first < b.first; });
        const int w = Soak::windowOf(windows, s.sentAt);
        if (it != stored.end() && it->first == s.key) {
            ++found;
            if (w < 0 && Soak::windowOf(outageWindows, s.sentAt) < 0 && it->second > 0)
                latency << it->second - s.sentAt;
            continue;
        }
        const int o = w < 0 ? Soak::windowOf(outageWindows, s.sentAt) : -1;
        if (o >= 0) {
            ++lostInOutage[o];
        } else if (w >= 0) {
            ++lostIn[w];
            earliestLossBeforeDrop[w] = std::max(earliestLossBeforeDrop[w], windows[w].drop - s.sentAt);
        } else {
            if (lostOutside == 0)
                firstLostOutside = s.sentAt;
            ++lostOutside;
        }
    }
    std::sort(latency.begin(), latency.end());

    const qint64 started = firstEvent.value(QStringLiteral("start"));
    const qint64 ended = firstEvent.value(QStringLiteral("close-sent"), sendTimes.isEmpty() ? started : sendTimes.last());
    say(QStringLiteral("soak: %1 s, %2 watchlist symbols").arg((ended - started) / 1000).arg(symbols.size()));
    say(QStringLiteral("ticks sent: %1 (%2 ticks/s, %3 outside the watchlist, %4 unreadable log lines)")
            .arg(sent.size() + size_t(outsideWatchlist))
            .arg(sendTimes.size() > 1 ? double(sendTimes.size()) * 1000.0 / double(std::max<qint64>(1, sendTimes.last() - sendTimes.first())) : 0.0, 0, 'f', 0)
            .arg(outsideWatchlist).arg(malformed));
    say(QStringLiteral("ticks stored: %1 of %2 sent to watchlist symbols before the close request"
                       " (%3 sent after it, %4 quotes in the store)")
            .arg(found).arg(qint64(sent.size()) - afterClose).arg(afterClose).arg(storedRows));
    qint64 lostInWindows = 0;
    for (qint64 n : lostIn)
        lostInWindows += n;
    say(QStringLiteral("ticks lost inside reconnect windows: %1").arg(lostInWindows));
    say(QStringLiteral("ticks lost outside reconnect windows: %1%2")
            .arg(lostOutside)
            .arg(lostOutside ? QStringLiteral(" (first sent at %1)").arg(firstLostOutside) : QString()));
    check(lostOutside == 0, QStringLiteral("%1 ticks lost outside reconnect windows").arg(lostOutside));
    check(!sent.empty(), QStringLiteral("no ticks were sent"));

    qint64 longestReconnect = 0;
    for (int i = 0; i < windows.size(); ++i) {
        const Soak::Window &w = windows[i];
        say(QStringLiteral("  drop %1 at +%2 s: reconnected after %3 ms, %4 ticks lost (earliest sent %5 ms before the drop)")
                .arg(i + 1).arg((w.drop - started) / 1000)
                .arg(w.reconnectMs() < 0 ? QStringLiteral("never") : QString::number(w.reconnectMs()))
                .arg(lostIn[i]).arg(earliestLossBeforeDrop[i]));
        if (w.reconnectMs() < 0 || w.reconnectMs() > longestReconnect)
            longestReconnect = w.reconnectMs() < 0 ? Soak::kNever : w.reconnectMs();
    }
    say(QStringLiteral("reconnects: %1, longest time to reconnect: %2 ms")
            .arg(windows.size())
            .arg(longestReconnect == Soak::kNever ? QStringLiteral("never") : QString::number(longestReconnect)));
    check(longestReconnect <= maxReconnectMs,
          QStringLiteral("a reconnect took longer than %1 ms").arg(maxReconnectMs));
    check(!windows.isEmpty(), QStringLiteral("no link was dropped"));

    for (int i = 0; i < outageWindows.size(); ++i) {
        const Soak::Window &w = outageWindows[i];
        say(QStringLiteral("  outage %1 (%2) at +%3 s: ticks again after %4 ms, %5 ticks lost")
                .arg(i + 1).arg(outageKinds.value(i)).arg((w.drop - started) / 1000)
                .arg(w.reconnectMs() < 0 ? QStringLiteral("never") : QString::number(w.reconnectMs()))
                .arg(lostInOutage[i]));
        check(w.reconnectMs() >= 0, QStringLiteral("no ticks after the %1 outage").arg(outageKinds.value(i)));
    }

    // Every minute of the run, from the first full minute after the start to the last one
    // before the close, must hold a quote of every watchlist symbol: ticks or repaired bars.
    // The store keeps local time read as UTC.
    const auto storeMinute = [](qint64 epochMs) {
        return (epochMs + qint64(QDateTime::fromMSecsSinceEpoch(epochMs).offsetFromUtc()) * 1000) / 60000;
    };
    const qint64 firstMinute = storeMinute(started) + 2;
    const qint64 lastMinute = storeMinute(ended) - 1;
    qint64 missingMinutes = 0;
    QStringList missingExamples;
    for (int i = 0; i < symbols.size(); ++i) {
        for (qint64 m = firstMinute; m <= lastMinute; ++m) {
            if (minutesOf[i].contains(m))
                continue;
            ++missingMinutes;
            if (missingExamples.size() < 8)
                missingExamples << symbols[i] + QLatin1Char('@') + QuoteStore::formatTimestamp(m * 60000).left(16);
        }
    }
    say(QStringLiteral("missing minutes: %1 (of %2 minutes x %3 symbols)%4")
            .arg(missingMinutes).arg(std::max<qint64>(0, lastMinute - firstMinute + 1)).arg(symbols.size())
            .arg(missingExamples.isEmpty() ? QString() : QStringLiteral(", e.g. ") + missingExamples.join(QLatin1Char(' '))));
    check(missingMinutes == 0, QStringLiteral("%1 minutes without a quote").arg(missingMinutes));

    if (p.isSet(QStringLiteral("requests"))) {
        QVector<int> asked(symbols.size(), 0);
        for (const QByteArray &line : readAll(p.value(QStringLiteral("requests")), &ok).split('\n')) {
            const int at = line.lastIndexOf("send=");
            if (at < 0)
                continue;
            QByteArray name = line.mid(at + 5);
            name = name.left(std::min(name.indexOf('&') < 0 ? name.size() : name.indexOf('&'),
                                      name.indexOf(' ') < 0 ? name.size() : name.indexOf(' ')));
            const auto it = symbolIndex.constFind(QString::fromUtf8(name.replace("%26", "&")));
            if (it != symbolIndex.constEnd())
                ++asked[*it];
        }
        QMap<int, int> spread;
        for (int n : asked)
            ++spread[n];
        QStringList parts;
        for (auto it = spread.constBegin(); it != spread.constEnd(); ++it)
            parts << QStringLiteral("%1 symbol(s) %2x").arg(it.value()).arg(it.key());
        say(QStringLiteral("intraday requests per symbol (repairs and the one backfill): %1; repair runs started %2, completed %3")
                .arg(parts.join(QStringLiteral(", ")))
                .arg(readAll(p.value(QStringLiteral("app-log")), &ok).count("symbol(s), d="))
                .arg(readAll(p.value(QStringLiteral("app-log")), &ok).count("Gap repair run complete")));
    }

    say(QStringLiteral("latency send->stored: p50 %1 ms, p99 %2 ms, max %3 ms (%4 ticks outside reconnect windows)")
            .arg(Soak::percentile(latency, 0.50)).arg(Soak::percentile(latency, 0.99))
            .arg(latency.isEmpty() ? -1 : latency.last()).arg(latency.size()));

    QStringList perMinute;
    for (qint64 kb : rss)
        perMinute << QString::number(kb / 1024);
    const Soak::MemoryVerdict memory = Soak::memoryVerdict(rss);
    say(QStringLiteral("resident memory per minute (MB): %1").arg(perMinute.join(QLatin1Char(' '))));
    say(QStringLiteral("resident memory: peak %1 MB, final %2 MB, %3")
            .arg(memory.peakKb / 1024).arg(memory.finalKb / 1024)
            .arg(memory.bounded ? QStringLiteral("bounded") : memory.why));
    check(memory.bounded, QStringLiteral("memory: ") + memory.why);

    const QByteArray appLog = readAll(p.value(QStringLiteral("app-log")), &ok);
    const qint64 stall = Soak::longestStall(appLog);
    say(QStringLiteral("longest event-loop stall: %1 ms").arg(stall));
    check(stall >= 0, QStringLiteral("the program reported no stall figures (VANTREL_STALL_WATCH)"));
    check(stall <= maxStallMs, QStringLiteral("an event-loop stall over %1 ms").arg(maxStallMs));

    qint64 fewestBars = std::numeric_limits<qint64>::max();
    qint64 allBars = 0;
    for (qint64 n : barsOf) {
        fewestBars = std::min(fewestBars, n);
        allBars += n;
    }
    const bool backfillDone = firstEvent.contains(QStringLiteral("backfill-done"));
    say(QStringLiteral("backfill: %1, %2 minute bars stored, fewest for one symbol %3 (expected %4)%5")
            .arg(backfillDone ? QStringLiteral("done") : QStringLiteral("not reported done"))
            .arg(allBars).arg(fewestBars).arg(barsPerSymbol)
            .arg(backfillDone && firstEvent.contains(QStringLiteral("backfill-click"))
                     ? QStringLiteral(", took %1 s").arg((firstEvent.value(QStringLiteral("backfill-done"))
                                                         - firstEvent.value(QStringLiteral("backfill-click"))) / 1000)
                     : QString()));
    check(backfillDone, QStringLiteral("the backfill did not finish"));
    check(fewestBars >= barsPerSymbol, QStringLiteral("a symbol's backfill bars are missing"));

    const bool dbRestarted = firstEvent.contains(QStringLiteral("db-up"));
    say(QStringLiteral("database restarted: %1").arg(dbRestarted ? QStringLiteral("yes") : QStringLiteral("no")));
    check(dbRestarted, QStringLiteral("the database was not restarted"));

    const bool alive = lastValue.value(QStringLiteral("alive")) == QLatin1String("1");
    const QString exitCode = lastValue.value(QStringLiteral("exit"), QStringLiteral("none"));
    say(QStringLiteral("running at the end: %1; answered the close with exit code %2")
            .arg(alive ? QStringLiteral("yes") : QStringLiteral("no"), exitCode));
    check(alive, QStringLiteral("the program was not running at the end"));
    check(exitCode == QLatin1String("0"), QStringLiteral("the close was not answered with exit code 0"));

    if (failures.isEmpty()) {
        say(QStringLiteral("soak: PASS"));
        return 0;
    }
    for (const QString &f : qAsConst(failures))
        say(QStringLiteral("soak: FAIL: ") + f);
    return 1;
}
