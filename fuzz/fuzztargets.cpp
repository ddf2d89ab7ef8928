#include "fuzztargets.h"

#include "archive/extraction.h"
#include "backfill/archivedownloader.h"
#include "backfill/backfillimport.h"
#include "backfill/backfillrequest.h"
#include "backfill/symbolrewriter.h"
#include "live/latestbatch.h"
#include "live/pendingbatches.h"
#include "live/symbolmapping.h"
#include "live/tickrecorder.h"
#include "live/websocketworker.h"
#include "platform/installpaths.h"
#include "platform/standin/asciiimportformat.h"
#include "serverdb/serverdatabase.h"
#include "ui/wishlistfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QHash>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QTimer>
#include <cstdlib>
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

// A property every input must keep; a broken one is a finding (the fuzzer sees the abort,
// the regression suite a crashed test).
void check(bool holds)
{
    if (!holds)
        std::abort();
}

bool hasControlOrBlank(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() <= 0x20 || c.unicode() == 0x7f || c.category() == QChar::Other_Control
            || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            return true;
    }
    return false;
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

// A wishlist file as the user could pick it: decryption, padding removal, splitting and
// the checks. Whatever is accepted must be a watchlist the program can hold.
void wishlistFile(const QByteArray &input)
{
    static const QStringList codes = {"CASH", "FUTURE", "OPTION", "MCX", "CURRENCY",
                                      "SPOTINDEX", "NCDEX", "CMOPT", "FOREX"};
    QByteArray text;
    WishlistFile::decryptText(input, &text);
    WishlistFile::Watchlist list;
    if (!WishlistFile::read(input, codes, &list))
        return;
    check(list.symbols.size() == list.exchanges.size());
    for (int i = 0; i < list.symbols.size(); ++i) {
        check(!list.symbols.at(i).isEmpty() && !list.symbols.at(i).contains(QLatin1Char(',')));
        check(codes.contains(list.exchanges.at(i)));
    }
    // What was read is written back the same.
    WishlistFile::Watchlist again;
    check(WishlistFile::read(WishlistFile::encrypt(list.symbols, list.exchanges), codes, &again));
    check(again.symbols == list.symbols && again.exchanges == list.exchanges);
}

// Values of the server settings record and of the backfill settings row as the server
// database could hold them: the symbol limit, and every request URL built from them. A
// URL the program builds never carries a control character or a fragment, and the paths
// from the server never a blank.
void serverRecord(const QByteArray &input)
{
    const QStringList v = QString::fromUtf8(input).split(QLatin1Char('\n'));
    const auto at = [&](int i) { return v.value(i); };
    int limit = -1;
    if (ServerDatabase::parseSymbolLimit(QVariant(at(0)), &limit))
        check(limit >= 0);
    const QString path = BackfillRequest::chooseBackfillPath(at(1).size() % 2, at(1), at(2));
    const QString intraday = BackfillRequest::intradayUrl(path, at(3), at(4), at(5), at(6));
    if (!intraday.isEmpty()) {
        // The user ID and key go out as written (QUrl encodes blanks in the query); no piece
        // may end the query early, start a fragment or carry a control character.
        for (const QChar c : intraday)
            check(c.unicode() >= 0x20 && c.unicode() != 0x7f);
        check(!intraday.contains(QLatin1Char('#')) && QUrl(intraday, QUrl::TolerantMode).isValid());
        check(BackfillRequest::symbolOfUrl(intraday) == at(6));
    }
    QString oneDay = BackfillRequest::oneDayUrl(at(7), at(8), at(9));
    if (!oneDay.isEmpty()) {
        check(!hasControlOrBlank(oneDay) && !oneDay.contains(QLatin1Char('?')));
        // The feed comes from the dialog's fixed items, the period from its position.
        static const QStringList feeds = {"CASH", "FUTURE", "COMM", "SPOT"};
        const QString eod = BackfillRequest::eodUrl(
            &oneDay, BackfillRequest::eodRequestName(feeds.at(at(10).size() % 4), 1 + at(10).size() % 3));
        check(!hasControlOrBlank(eod));
    }
    const int value = BackfillRequest::intradayProgressValue(at(11));
    check(value >= 0 && value <= 100);
    BackfillRequest::eodProgressValue(at(11));
    BackfillRequest::downloadFileName(at(3));
}

// A downloaded archive's central directory, and where its entry names would land: no form
// the extraction keeps may climb out of the destination or be absolute.
void zipArchive(const QByteArray &input)
{
    static QTemporaryFile file(QDir::tempPath() + QStringLiteral("/vantrel-fuzz-XXXXXX.zip"));
    if (!file.isOpen() && !file.open())
        return;
    file.resize(0);
    file.seek(0);
    file.write(input);
    file.flush();
    bool readable = false;
    const QStringList names = ArchiveExtractor::zipEntryNames(file.fileName(), &readable);
    for (const QString &name : names) {
        if (!ArchiveExtractor::isEscapingEntryName(name))
            continue;
        for (const QString &kept : ArchiveExtractor::keptInsideForms(name)) {
            check(!kept.startsWith(QLatin1Char('/')) && !kept.startsWith(QLatin1Char('\\')));
            const QString clean = QDir::cleanPath(QStringLiteral("/dest/") + kept);
            check(clean.startsWith(QStringLiteral("/dest/")) && !clean.split(QLatin1Char('/')).contains(QStringLiteral("..")));
        }
    }
}

QByteArray readWhole(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A backfill file with a mapping table through the renaming and the chunking, twice: each
// line renamed in memory on its way into the chunk (what the program does) and through a
// processed copy written first. Both must hand the same bytes to the import, in chunks of
// at most 16 MiB.
void backfillFile(const QByteArray &input)
{
    const auto parts = splitTwo(input);
    const SymbolMap map = SymbolMapping::parse(lines(parts.first));
    const auto importAll = [&](bool inMemory) {
        QDir().mkpath(InstallPaths::backfillDir());
        QFile file(InstallPaths::backfillDir() + QStringLiteral("/FUZZ.txt"));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return QByteArray("(not written)");
        file.write(parts.second);
        file.close();
        QByteArray imported;
        BackfillImport::Hooks hooks;
        if (inMemory)
            hooks.makeRewriter = [&] { return std::make_unique<SymbolRewriter>(map); };
        else
            hooks.mapFile = [&](const QString &source, const QString &processed) {
                return SymbolRewriter(map).applyToFile(source, processed);
            };
        hooks.importChunk = [&](const QString &chunk) {
            const QByteArray bytes = readWhole(chunk);
            check(bytes.size() <= BackfillImport::kChunkBytes);
            imported += bytes;
            return true;
        };
        hooks.pause = [](int) {};
        hooks.betweenFiles = [] {};
        BackfillImport(std::move(hooks)).run();
        check(BackfillImport::pendingFiles().isEmpty());
        return imported;
    };
    check(importAll(true) == importAll(false));
}

// Raw HTTP answers through the downloader's store step: a local server answers the request
// with the input as it stands. Whatever the answer, the downloader reports once (done or
// error), and a failed transfer leaves the file already in the destination as it was.
void httpReply(const QByteArray &input)
{
    static QByteArray answer;
    static QTcpServer *server = nullptr;
    static ArchiveDownloader *downloader = nullptr;
    if (!server) {
        ArchiveDownloader::setIntervalScaleForTests(0.001);
        server = new QTcpServer(QCoreApplication::instance());
        if (!server->listen(QHostAddress::LocalHost, 0))
            std::abort();
        QObject::connect(server, &QTcpServer::newConnection, server, [] {
            while (QTcpSocket *socket = server->nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                    // Answer once the request head is in, then close.
                    if (socket->property("answered").toBool() || !socket->readAll().contains("\r\n\r\n"))
                        return;
                    socket->setProperty("answered", true);
                    socket->write(answer);
                    socket->disconnectFromHost();
                });
            }
        });
        downloader = new ArchiveDownloader(QStringLiteral("fuzz.txt"), QString(), QString(), 0,
                                           QCoreApplication::instance());
    }
    answer = input;
    const QString dest = InstallPaths::root() + QStringLiteral("/fuzzdest/");
    QDir().mkpath(dest);
    const QByteArray before("earlier file\n");
    {
        QFile kept(dest + QStringLiteral("fuzz.txt"));
        if (!kept.open(QIODevice::WriteOnly | QIODevice::Truncate) || kept.write(before) != before.size())
            return;
    }

    QEventLoop loop;
    int done = 0, failed = 0;
    const auto a = QObject::connect(downloader, &ArchiveDownloader::finished, &loop, [&] { ++done; loop.quit(); });
    const auto b = QObject::connect(downloader, &ArchiveDownloader::attemptFailed, &loop, [&] { ++failed; loop.quit(); });
    QTimer::singleShot(3000, &loop, &QEventLoop::quit);
    downloader->initialize(QStringLiteral("fuzz.txt"),
                           QStringLiteral("http://127.0.0.1:%1/backfill?send=X").arg(server->serverPort()), dest);
    loop.exec();
    QObject::disconnect(a);
    QObject::disconnect(b);
    // Stops the retry a failure scheduled.
    downloader->cancel();
    check(done + failed <= 1);
    if (failed)
        check(readWhole(dest + QStringLiteral("fuzz.txt")) == before);
}

const QHash<QString, std::function<void(const QByteArray &)>> &table()
{
    static const QHash<QString, std::function<void(const QByteArray &)>> t = {
        {QStringLiteral("feed_frame"), feedFrame},
        {QStringLiteral("tick_lines"), tickLines},
        {QStringLiteral("import_format"), importFormat},
        {QStringLiteral("wishlist_file"), wishlistFile},
        {QStringLiteral("server_record"), serverRecord},
        {QStringLiteral("zip_archive"), zipArchive},
        {QStringLiteral("backfill_file"), backfillFile},
        {QStringLiteral("http_reply"), httpReply},
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
