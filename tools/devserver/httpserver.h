#pragma once

#include "backfilldata.h"

#include <QHostAddress>
#include <QObject>
#include <QStringList>

#include <functional>

class Control;
class QTcpServer;
class ZipWriter;
class QTcpSocket;

// The HTTP side of the local data server: intraday backfill archives, end-of-day archives
// and the update package, with fault modes for tests. Every answer closes its connection.
//
//   GET <any path>?uid=..&hash=..&d=DAYS&send=SYMBOL      intraday archive: SYMBOL.txt with
//        DAYS weekdays of one-minute bars (POST with the query as body works the same)
//   GET .../backfillS21/e/<date>/<path>/<FEED>-<1|2|3>.zip end-of-day archive: one
//        SYMBOL.txt per symbol of the feed's segment
//   GET .../Vantrel_update.zip                             update package
class HttpServer : public QObject
{
    Q_OBJECT
public:
    // How backfill answers (intraday and end-of-day) go wrong, until changed again.
    enum class Fault { None, Status, NoLength, Slow, Stall, Corrupt, Escaping, Endless };
    enum class UpdatePackage { Good, NoLauncher, Corrupt, Silent,
                               // signature faults: none, a changed byte, another key, cut short
                               Unsigned, Tampered, OtherKey, ShortSig, BigSig,
                               // size faults: no bytes, an endless body with or without a
                               // 10 GiB length, an archive that claims 600 MB unpacked
                               Empty, Endless, Huge, Bomb,
                               // a good package of 40 MB (a data file beside the launcher)
                               Large,
                               // 2,000 files in lib/, 20 in a new folder plugins/, each
                               // "7.11 <name>\n", besides VERSION.txt and Vantrel.sh
                               Many };

    explicit HttpServer(BackfillData::Catalogue catalogue, QObject *parent = nullptr);

    bool listen(const QHostAddress &host, quint16 port, QString *why);
    quint16 serverPort() const;
    QHostAddress serverAddress() const;

    // "normal" | "status <code>" | "nolength" | "slow <seconds>" | "stall" | "corrupt" |
    // "escaping [absolute entry path]" | "endless" (the archive, then zero bytes for ever,
    // without a length)
    bool setFault(const QStringList &words, QString *why);
    // "good" | "nolauncher" | "corrupt" | "silent" | "unsigned" | "tampered" | "otherkey" |
    // "shortsig" | "empty" | "endless" | "huge" | "bomb" | "large". Every package is served with its
    // detached signature at the package path + ".sig".
    bool setUpdatePackage(const QString &name, QString *why);
    // Lines a hostile server adds to every intraday answer: "foreign" repeats the answer's
    // bars as ICICIBANK and as INJECTED, "dates" adds two bars of the symbol dated
    // 1970-01-01 and 2099-12-31; "only SYMBOL" leaves that symbol's own bars out of its
    // answer. "none" ends it. For example "foreign,dates only GOLDM-I".
    bool setInjection(const QStringList &words, QString *why);
    void setRequestLog(const QString &path) { m_requestLogPath = path; }
    // Where intraday bars come from when not from the built-in history: the bars for
    // (segment, symbol, days), or a null array to use the built-in history after all.
    using IntradaySource = std::function<QByteArray(const QString &, const QString &, int)>;
    void setIntradaySource(IntradaySource source) { m_intradaySource = std::move(source); }

    QStringList requests() const { return m_requests; }
    void addCommands(Control &control);

    struct Answer
    {
        int status = 200;
        QByteArray contentType = "application/zip";
        QByteArray body;
        bool silent = false;      // never answer
        bool useFault = false;    // the transport fault applies
        bool endless = false;     // after the body, zero bytes for ever
        qint64 claimedLength = -1; // Content-Length to announce instead of the body's
    };

private slots:
    void onNewConnection();

private:
    friend class HttpExchange;
    Answer answer(const QByteArray &method, const QByteArray &target, const QByteArray &body);
    Answer intraday(const QString &query);
    Answer endOfDay(const QString &feed, int period);
    Answer update();
    Answer updateSignature();
    QByteArray updatePackageBytes();
    Answer faultStatus() const;
    // The backfill archive as the fault mode shapes it (escaping entries, damage).
    Answer backfillArchive(ZipWriter &zip) const;
    QByteArray withInjected(const QString &segment, const QString &symbol, const QByteArray &bars) const;
    QByteArray damage(const QByteArray &archive) const;
    void logRequest(const QString &line);

    BackfillData::Catalogue m_catalogue;
    QTcpServer *m_server;
    Fault m_fault = Fault::None;
    int m_faultStatus = 503;
    double m_slowSeconds = 5;
    // Intraday requests for this symbol answer 503 whatever the fault mode.
    QString m_failingSymbol;
    QString m_escapingPath = QStringLiteral("/tmp/vantrel-devserver-escaped.txt");
    UpdatePackage m_update = UpdatePackage::Good;
    QByteArray m_updateBytes; // built once per variant, so package and signature agree
    QStringList m_requests;
    QString m_requestLogPath;
    IntradaySource m_intradaySource;
    bool m_injectForeign = false;
    bool m_injectDates = false;
    QString m_injectOnly; // this symbol's answer holds only the added lines
};
