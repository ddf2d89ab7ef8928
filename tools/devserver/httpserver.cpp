#include "httpserver.h"

#include "control.h"
#include "updatesigner.h"
#include "zipwriter.h"

#include <QDate>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

#include <cmath>

namespace {

constexpr int kMaxHeaderBytes = 64 * 1024;
constexpr int kMaxBodyBytes = 1024 * 1024;
constexpr qint64 kPiece = 256 * 1024;
constexpr qint64 kHighWater = 1024 * 1024;
constexpr int kMaxDays = 20000;
constexpr int kLargePackageBytes = 40 * 1024 * 1024;
constexpr quint32 kLargePackageSeed = 4011;

QByteArray reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

HttpServer::Answer plain(int status, const QByteArray &text)
{
    HttpServer::Answer a;
    a.status = status;
    a.contentType = "text/plain";
    a.body = text + '\n';
    return a;
}

// Symbols travel into a line format and a file name: only the characters real symbols use.
bool isSafeSymbol(const QString &s)
{
    static const QRegularExpression ok(QStringLiteral("^[A-Za-z0-9&._-]{1,64}$"));
    return ok.match(s).hasMatch() && s != QLatin1String(".") && s != QLatin1String("..");
}

} // namespace

// One connection: reads one request, sends one answer (paced as the fault mode says) and
// closes. Lives as a child of its socket.
class HttpExchange : public QObject
{
public:
    HttpExchange(HttpServer *server, QTcpSocket *socket)
        : QObject(socket)
        , m_server(server)
        , m_socket(socket)
    {
        connect(socket, &QTcpSocket::readyRead, this, [this]() { onRead(); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this]() { feed(); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }

private:
    void onRead()
    {
        if (m_answered) {
            m_socket->readAll();
            return;
        }
        m_in += m_socket->readAll();
        const int end = m_in.indexOf("\r\n\r\n");
        if (end < 0) {
            if (m_in.size() > kMaxHeaderBytes)
                refuse();
            return;
        }
        const QList<QByteArray> lines = m_in.left(end).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        qint64 length = 0;
        for (int i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines[i].trimmed();
            const int colon = line.indexOf(':');
            if (colon > 0 && line.left(colon).trimmed().toLower() == "content-length")
                length = line.mid(colon + 1).trimmed().toLongLong();
        }
        if (requestLine.size() != 3 || length < 0 || length > kMaxBodyBytes) {
            refuse();
            return;
        }
        const QByteArray body = m_in.mid(end + 4);
        if (body.size() < length)
            return;
        m_answered = true;
        start(m_server->answer(requestLine[0], requestLine[1], body.left(int(length))));
    }

    void refuse()
    {
        m_answered = true;
        start(plain(400, "bad request"));
    }

    void start(const HttpServer::Answer &a)
    {
        if (a.silent)
            return;
        const HttpServer::Fault fault = a.useFault ? m_server->m_fault : HttpServer::Fault::None;
        QByteArray head = "HTTP/1.1 " + QByteArray::number(a.status) + ' ' + reason(a.status) + "\r\n";
        head += "Content-Type: " + a.contentType + "\r\n";
        if (a.claimedLength >= 0)
            head += "Content-Length: " + QByteArray::number(a.claimedLength) + "\r\n";
        else if (fault != HttpServer::Fault::NoLength && fault != HttpServer::Fault::Endless && !a.endless)
            head += "Content-Length: " + QByteArray::number(a.body.size()) + "\r\n";
        head += "Connection: close\r\n\r\n";
        m_socket->write(head);
        m_body = a.body;
        m_endless = a.endless || fault == HttpServer::Fault::Endless;
        if (fault == HttpServer::Fault::Stall) {
            // Half the body, then silence until the client gives up.
            m_limit = a.body.size() / 2;
        } else if (fault == HttpServer::Fault::Slow) {
            const double ticks = std::max(1.0, m_server->m_slowSeconds * 10);
            m_piece = std::max<qint64>(1, qint64(std::ceil(a.body.size() / ticks)));
            m_limit = 0;
            auto *timer = new QTimer(this);
            connect(timer, &QTimer::timeout, this, [this, timer]() {
                m_limit = qMin<qint64>(m_body.size(), m_limit + m_piece);
                feed();
                if (m_limit >= m_body.size())
                    timer->stop();
            });
            timer->start(100);
            return;
        } else {
            m_limit = a.body.size();
        }
        feed();
    }

    // Hands the socket at most a megabyte at a time, so a large body is not copied whole.
    void feed()
    {
        if (!m_answered || m_closing)
            return;
        while (m_sent < m_limit && m_socket->bytesToWrite() < kHighWater) {
            const qint64 n = qMin(kPiece, m_limit - m_sent);
            m_socket->write(m_body.constData() + m_sent, n);
            m_sent += n;
        }
        if (m_endless) {
            static const QByteArray zeros(int(kPiece), '\0');
            while (m_socket->bytesToWrite() < kHighWater)
                m_socket->write(zeros);
            return;
        }
        if (m_sent >= m_body.size() && m_limit >= m_body.size()) {
            m_closing = true;
            m_socket->disconnectFromHost();
        }
    }

    HttpServer *m_server;
    QTcpSocket *m_socket;
    QByteArray m_in;
    QByteArray m_body;
    qint64 m_sent = 0;
    qint64 m_limit = 0;
    qint64 m_piece = 0;
    bool m_answered = false;
    bool m_closing = false;
    bool m_endless = false;
};

HttpServer::HttpServer(BackfillData::Catalogue catalogue, QObject *parent)
    : QObject(parent)
    , m_catalogue(std::move(catalogue))
    , m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &HttpServer::onNewConnection);
}

bool HttpServer::listen(const QHostAddress &host, quint16 port, QString *why)
{
    if (m_server->listen(host, port))
        return true;
    *why = QStringLiteral("cannot listen for http on %1:%2: %3")
               .arg(host.toString())
               .arg(port)
               .arg(m_server->errorString());
    return false;
}

quint16 HttpServer::serverPort() const { return m_server->serverPort(); }
QHostAddress HttpServer::serverAddress() const { return m_server->serverAddress(); }

void HttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection())
        new HttpExchange(this, socket);
}

void HttpServer::logRequest(const QString &line)
{
    m_requests.append(line);
    if (m_requestLogPath.isEmpty())
        return;
    QFile f(m_requestLogPath);
    if (f.open(QIODevice::WriteOnly | QIODevice::Append))
        f.write(line.toUtf8() + '\n');
}

HttpServer::Answer HttpServer::answer(const QByteArray &method, const QByteArray &target,
                                      const QByteArray &body)
{
    const QString targetText = QString::fromLatin1(target);
    logRequest(body.isEmpty() ? QStringLiteral("%1 %2").arg(QString::fromLatin1(method), targetText)
                              : QStringLiteral("%1 %2 %3").arg(QString::fromLatin1(method), targetText,
                                                               QString::fromLatin1(body.left(1024))));
    if (method != "GET" && method != "POST")
        return plain(400, "only GET and POST");
    const QUrl url(QStringLiteral("http://127.0.0.1") + targetText, QUrl::StrictMode);
    if (!url.isValid())
        return plain(400, "bad target");
    const QString path = url.path();

    if (path.endsWith(QLatin1String("/Vantrel_update.zip")))
        return update();
    if (path.endsWith(QLatin1String("/Vantrel_update.zip.sig")))
        return updateSignature();

    static const QRegularExpression eod(
        QStringLiteral("/backfillS21/e/[^/]+/[^/]+/([A-Z]+)-([123])\\.zip$"));
    const auto m = eod.match(path);
    if (m.hasMatch())
        return endOfDay(m.captured(1), m.captured(2).toInt());

    const QString query = method == "POST" ? QString::fromUtf8(body) : url.query(QUrl::FullyEncoded);
    if (QUrlQuery(query).hasQueryItem(QStringLiteral("send")))
        return intraday(query);
    return plain(404, "no such backfill");
}

HttpServer::Answer HttpServer::intraday(const QString &query)
{
    const QUrlQuery q(query);
    const QString symbol = q.queryItemValue(QStringLiteral("send"), QUrl::FullyDecoded);
    bool ok = false;
    const int days = q.queryItemValue(QStringLiteral("d")).toInt(&ok);
    if (!isSafeSymbol(symbol))
        return plain(400, "bad symbol");
    if (!ok || days < 1 || days > kMaxDays)
        return plain(400, "bad d");
    if (q.queryItemValue(QStringLiteral("uid")).isEmpty() || q.queryItemValue(QStringLiteral("hash")).isEmpty())
        return plain(400, "uid and hash wanted");
    if (m_fault == Fault::Status)
        return faultStatus();
    if (!m_failingSymbol.isEmpty() && symbol == m_failingSymbol)
        return plain(503, "this symbol fails");

    const QString segment = BackfillData::segmentOf(m_catalogue, symbol);
    QByteArray bars = m_intradaySource ? m_intradaySource(segment, symbol, days) : QByteArray();
    if (bars.isNull())
        bars = BackfillData::intradayBars(segment, symbol, days, QDate::currentDate());
    ZipWriter zip;
    zip.addFile(symbol.toUtf8() + ".txt", withInjected(segment, symbol, bars));
    return backfillArchive(zip);
}

QByteArray HttpServer::withInjected(const QString &segment, const QString &symbol, const QByteArray &bars) const
{
    if (!m_injectForeign && !m_injectDates)
        return bars;
    QByteArray out = symbol == m_injectOnly ? QByteArray("") : bars;
    const QByteArray own = segment.toUtf8() + ',' + symbol.toUtf8() + ',';
    if (m_injectForeign) {
        // The same minutes, under names the request did not ask for.
        for (const QByteArray &line : bars.split('\n')) {
            if (!line.startsWith(own))
                continue;
            const QByteArray rest = line.mid(own.size());
            out += "CASH,ICICIBANK," + rest + '\n';
            out += segment.toUtf8() + ",INJECTED," + rest + '\n';
        }
    }
    if (m_injectDates) {
        out += own + "19700101,09:15:00,1,1,1,1,100,0\n";
        out += own + "20991231,15:29:00,1,1,1,1,100,0\n";
    }
    return out;
}

bool HttpServer::setInjection(const QStringList &words, QString *why)
{
    const QStringList kinds = words.value(0).split(QLatin1Char(','));
    const bool none = kinds == QStringList{QStringLiteral("none")} && words.size() == 1;
    const bool only = words.size() == 3 && words.at(1) == QLatin1String("only") && isSafeSymbol(words.at(2));
    bool ok = none || words.size() == 1 || only;
    bool foreign = false;
    bool dates = false;
    for (const QString &kind : kinds) {
        foreign = foreign || kind == QLatin1String("foreign");
        dates = dates || kind == QLatin1String("dates");
        ok = ok && (none || kind == QLatin1String("foreign") || kind == QLatin1String("dates"));
    }
    if (!ok) {
        *why = QStringLiteral("want none | foreign|dates|foreign,dates [only SYMBOL]");
        return false;
    }
    m_injectForeign = foreign;
    m_injectDates = dates;
    m_injectOnly = only ? words.at(2) : QString();
    return true;
}

HttpServer::Answer HttpServer::endOfDay(const QString &feed, int period)
{
    const QString segment = BackfillData::segmentOfFeed(feed);
    if (segment.isEmpty())
        return plain(404, "no such feed");
    if (m_fault == Fault::Status)
        return faultStatus();
    const QVector<QDate> days = BackfillData::eodPeriod(period, QDate::currentDate());
    ZipWriter zip;
    for (const QString &symbol : m_catalogue.value(segment)) {
        if (isSafeSymbol(symbol))
            zip.addFile(symbol.toUtf8() + ".txt", BackfillData::eodBars(segment, symbol, days));
    }
    return backfillArchive(zip);
}

HttpServer::Answer HttpServer::faultStatus() const
{
    Answer e = plain(m_faultStatus, "fault");
    e.useFault = true;
    return e;
}

QByteArray HttpServer::updatePackageBytes()
{
    if (!m_updateBytes.isNull())
        return m_updateBytes;
    ZipWriter zip;
    zip.addFile("VERSION.txt", "7.11\n");
    if (m_update != UpdatePackage::NoLauncher) {
        // Leaves a mark beside itself, so a test sees that the hand-over ran it.
        zip.addFile("Vantrel.sh",
                    "#!/bin/sh\ncd \"$(dirname \"$0\")\" && date > update-launched.txt\n", 0755);
    }
    if (m_update == UpdatePackage::Large) {
        // Random bytes: what a real program's files look like to a packer.
        QByteArray data(kLargePackageBytes, Qt::Uninitialized);
        QRandomGenerator generator(kLargePackageSeed);
        generator.fillRange(reinterpret_cast<quint32 *>(data.data()), data.size() / int(sizeof(quint32)));
        zip.addFile("Vantrel.dat", data);
    }
    if (m_update == UpdatePackage::Many) {
        for (int i = 0; i < 2000; ++i) {
            const QByteArray name = "lib/part" + QByteArray::number(i).rightJustified(4, '0') + ".txt";
            zip.addFile(name, "7.11 " + name + "\n");
        }
        for (int i = 0; i < 20; ++i) {
            const QByteArray name = "plugins/extra" + QByteArray::number(i).rightJustified(2, '0') + ".txt";
            zip.addFile(name, "7.11 " + name + "\n");
        }
    }
    QByteArray bytes = zip.finish();
    if (m_update == UpdatePackage::Corrupt)
        bytes = damage(bytes);
    if (m_update == UpdatePackage::Empty)
        bytes = QByteArray("");
    if (m_update == UpdatePackage::Bomb) {
        // Every central directory entry claims 600 MB once unpacked.
        for (int at = bytes.indexOf("PK\x01\x02"); at >= 0; at = bytes.indexOf("PK\x01\x02", at + 4)) {
            const quint32 claimed = 600u * 1024u * 1024u;
            for (int i = 0; i < 4; ++i)
                bytes[at + 24 + i] = char((claimed >> (8 * i)) & 0xff);
        }
    }
    m_updateBytes = bytes;
    return m_updateBytes;
}

HttpServer::Answer HttpServer::update()
{
    Answer a;
    if (m_update == UpdatePackage::Silent) {
        a.silent = true;
        return a;
    }
    a.body = updatePackageBytes();
    if (m_update == UpdatePackage::Tampered) {
        const int at = a.body.indexOf("7.11");
        a.body[at] = '8'; // still a good archive, but not the one that was signed
    }
    a.endless = m_update == UpdatePackage::Endless || m_update == UpdatePackage::Huge;
    if (m_update == UpdatePackage::Huge)
        a.claimedLength = qint64(10) * 1024 * 1024 * 1024;
    return a;
}

HttpServer::Answer HttpServer::updateSignature()
{
    if (m_update == UpdatePackage::Unsigned)
        return plain(404, "no signature");
    Answer a;
    a.contentType = "application/octet-stream";
    a.body = UpdateSigner::sign(updatePackageBytes(), m_update == UpdatePackage::OtherKey
                                                          ? UpdateSigner::Key::Other
                                                          : UpdateSigner::Key::Test);
    if (m_update == UpdatePackage::ShortSig)
        a.body.chop(1);
    if (m_update == UpdatePackage::BigSig)
        a.body += QByteArray(5000, ' '); // past any sane signature's size
    return a;
}

HttpServer::Answer HttpServer::backfillArchive(ZipWriter &zip) const
{
    if (m_fault == Fault::Escaping) {
        zip.addFile("../evil.txt", "escaped through ..\n");
        zip.addFile(m_escapingPath.toUtf8(), "escaped through an absolute path\n");
    }
    Answer a;
    a.body = m_fault == Fault::Corrupt ? damage(zip.finish()) : zip.finish();
    a.useFault = true;
    return a;
}

QByteArray HttpServer::damage(const QByteArray &archive) const
{
    // Cut before the central directory and scramble what is left: no extractor finds a
    // usable archive in it.
    QByteArray out = archive.left(archive.size() * 3 / 5);
    for (int i = 4; i < out.size(); i += 7)
        out[i] = char(out[i] ^ 0x5a);
    return out;
}

bool HttpServer::setFault(const QStringList &words, QString *why)
{
    const QString mode = words.value(0);
    bool ok = true;
    if (mode == QLatin1String("normal") && words.size() == 1) {
        m_fault = Fault::None;
    } else if (mode == QLatin1String("status") && words.size() == 2) {
        const int code = words[1].toInt(&ok);
        ok = ok && code >= 400 && code <= 599;
        if (ok) {
            m_fault = Fault::Status;
            m_faultStatus = code;
        }
    } else if (mode == QLatin1String("nolength") && words.size() == 1) {
        m_fault = Fault::NoLength;
    } else if (mode == QLatin1String("slow") && words.size() == 2) {
        const double s = words[1].toDouble(&ok);
        ok = ok && s > 0 && s <= 3600;
        if (ok) {
            m_fault = Fault::Slow;
            m_slowSeconds = s;
        }
    } else if (mode == QLatin1String("endless") && words.size() == 1) {
        m_fault = Fault::Endless;
    } else if (mode == QLatin1String("stall") && words.size() == 1) {
        m_fault = Fault::Stall;
    } else if (mode == QLatin1String("corrupt") && words.size() == 1) {
        m_fault = Fault::Corrupt;
    } else if (mode == QLatin1String("escaping") && words.size() <= 2) {
        m_fault = Fault::Escaping;
        if (words.size() == 2) {
            ok = words[1].startsWith(QLatin1Char('/'));
            if (ok)
                m_escapingPath = words[1];
        }
    } else {
        ok = false;
    }
    if (!ok)
        *why = QStringLiteral("want normal | status <400-599> | nolength | slow <seconds> | stall | "
                              "corrupt | escaping [/absolute/entry] | endless");
    return ok;
}

bool HttpServer::setUpdatePackage(const QString &name, QString *why)
{
    static const QMap<QString, UpdatePackage> names{
        {QStringLiteral("good"), UpdatePackage::Good},
        {QStringLiteral("nolauncher"), UpdatePackage::NoLauncher},
        {QStringLiteral("corrupt"), UpdatePackage::Corrupt},
        {QStringLiteral("silent"), UpdatePackage::Silent},
        {QStringLiteral("unsigned"), UpdatePackage::Unsigned},
        {QStringLiteral("tampered"), UpdatePackage::Tampered},
        {QStringLiteral("otherkey"), UpdatePackage::OtherKey},
        {QStringLiteral("shortsig"), UpdatePackage::ShortSig},
        {QStringLiteral("bigsig"), UpdatePackage::BigSig},
        {QStringLiteral("empty"), UpdatePackage::Empty},
        {QStringLiteral("endless"), UpdatePackage::Endless},
        {QStringLiteral("huge"), UpdatePackage::Huge},
        {QStringLiteral("bomb"), UpdatePackage::Bomb},
        {QStringLiteral("large"), UpdatePackage::Large},
        {QStringLiteral("many"), UpdatePackage::Many}};
    if (!names.contains(name)) {
        *why = QStringLiteral("want %1").arg(QStringList(names.keys()).join(QStringLiteral(" | ")));
        return false;
    }
    m_update = names.value(name);
    m_updateBytes = QByteArray();
    return true;
}

void HttpServer::addCommands(Control &control)
{
    control.addCommand(QStringLiteral("http-fault"), QStringLiteral("http-fault <mode> [arg]"),
                       [this](const QStringList &args) {
                           QString why;
                           return setFault(args, &why) ? QStringLiteral("ok") : QStringLiteral("error: ") + why;
                       });
    control.addCommand(QStringLiteral("http-inject"), QStringLiteral("http-inject none|foreign,dates [only SYMBOL]"),
                       [this](const QStringList &args) {
                           QString why;
                           return setInjection(args, &why) ? QStringLiteral("ok") : QStringLiteral("error: ") + why;
                       });
    control.addCommand(QStringLiteral("http-fail-symbol"), QStringLiteral("http-fail-symbol <SYMBOL>|none"),
                       [this](const QStringList &args) {
                           if (args.size() != 1 || !isSafeSymbol(args.first()))
                               return QStringLiteral("error: one symbol, or none");
                           m_failingSymbol = args.first() == QLatin1String("none") ? QString() : args.first();
                           return QStringLiteral("ok");
                       });
    control.addCommand(QStringLiteral("update-package"), QStringLiteral("update-package <variant>"),
                       [this](const QStringList &args) {
                           QString why;
                           return args.size() == 1 && setUpdatePackage(args.first(), &why)
                                      ? QStringLiteral("ok")
                                      : QStringLiteral("error: ") + (why.isEmpty() ? QStringLiteral("one variant") : why);
                       });
    control.addCommand(QStringLiteral("requests"), QStringLiteral("requests"), [this](const QStringList &) {
        return QString::fromUtf8(
            QJsonDocument(QJsonArray::fromStringList(m_requests)).toJson(QJsonDocument::Compact));
    });
    control.addCommand(QStringLiteral("clear-requests"), QStringLiteral("clear-requests"),
                       [this](const QStringList &) {
                           m_requests.clear();
                           return QStringLiteral("ok");
                       });
}
