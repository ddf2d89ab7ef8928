#include "fuzztargets.h"

#include "live/latestbatch.h"
#include "live/pendingbatches.h"
#include "live/symbolmapping.h"
#include "live/tickrecorder.h"
#include "live/websocketworker.h"
#include "platform/standin/asciiimportformat.h"

#include <QCoreApplication>
#include <QDir>
#include <QHash>
#include <QSettings>
#include <functional>
#include <memory>

namespace FuzzTargets {
namespace {

// Inputs that carry two parts put a line "--" between them; without it the whole input is
// the second part.
QPair<QByteArray, QByteArray> splitTwo(const QByteArray &input)
{
    const int at = input.indexOf("\n--\n");
    if (at < 0)
        return {QByteArray(), input};
    return {input.left(at), input.mid(at + 4)};
}

QStringList lines(const QByteArray &text)
{
    QStringList out;
    for (const QByteArray &l : text.split('\n'))
        out << QString::fromUtf8(l);
    return out;
}

// The feed's text frames through the worker's own frame handling and the tick recording,
// then the recorded lines through the import file builder. The worker is subscribed first,
// as a real link would be, so batches are recorded.
void feedFrame(const QByteArray &input)
{
    static std::unique_ptr<WebSocketWorker> worker;
    if (!worker) {
        worker = std::make_unique<WebSocketWorker>(QUrl(QStringLiteral("ws://127.0.0.1:9/ws")),
                                                   QStringList{QStringLiteral("NIFTY-I")},
                                                   QStringLiteral("rtsocket.txt"),
                                                   QStringLiteral("FUZZ"));
        worker->onTextMessageReceived(
            QStringLiteral(R"({"type":"sub_ack","action":"subscribe","symbols":["NIFTY-I"]})"));
    }
    worker->onTextMessageReceived(QString::fromUtf8(input));
    const QByteArray recorded = LatestBatch::copy();
    TickRecorder::importLines(recorded, SymbolMap{{QStringLiteral("NIFTY-I"), QStringLiteral("NIFTY")}});
    // Nothing imports here: keep the queue from growing across runs.
    PendingBatches::clear();
    LatestBatch::clear();
}

// Tick text (as a tick file could hold it) with a mapping table through the import lines.
void tickLines(const QByteArray &input)
{
    const auto parts = splitTwo(input);
    const SymbolMap map = SymbolMapping::parse(lines(parts.first));
    TickRecorder::importLines(parts.second, map);
    SymbolMapping::reverse(lines(parts.first), QStringLiteral("NIFTY"));
}

// A format definition, then data lines parsed with it (the broker stand-in's import).
void importFormat(const QByteArray &input)
{
    const auto parts = splitTwo(input);
    AsciiImportFormat format;
    if (!format.parse(parts.first.isEmpty() ? QByteArray("$FORMAT Ticker,Date_YMD,Time,Close\n")
                                            : parts.first))
        return;
    ImportedQuote quote;
    QString why;
    for (const QByteArray &line : parts.second.split('\n'))
        format.parseLine(line, QStringLiteral("FALLBACK"), &quote, &why);
}

const QHash<QString, std::function<void(const QByteArray &)>> &table()
{
    static const QHash<QString, std::function<void(const QByteArray &)>> t = {
        {QStringLiteral("feed_frame"), feedFrame},
        {QStringLiteral("tick_lines"), tickLines},
        {QStringLiteral("import_format"), importFormat},
    };
    return t;
}

} // namespace

QStringList names()
{
    QStringList n = table().keys();
    n.sort();
    return n;
}

bool run(const QString &target, const QByteArray &input)
{
    const auto it = table().constFind(target);
    if (it == table().constEnd())
        return false;
    (*it)(input);
    return true;
}

void initialize(const QString &dir)
{
    QDir().mkpath(dir + QStringLiteral("/root"));
    QDir().mkpath(dir + QStringLiteral("/config"));
    qputenv("KOVANTA_ROOT", QFile::encodeName(dir + QStringLiteral("/root")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir + QStringLiteral("/config")));
    qputenv("QT_LOGGING_RULES", "*.debug=false;*.warning=false");
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir + QStringLiteral("/config"));
    if (!QCoreApplication::instance()) {
        static int argc = 1;
        static char name[] = "vantrel-fuzz";
        static char *argv[] = {name, nullptr};
        static QCoreApplication app(argc, argv);
    }
}

} // namespace FuzzTargets
