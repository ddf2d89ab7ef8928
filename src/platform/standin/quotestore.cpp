#include "platform/standin/quotestore.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {
QAtomicInt s_connectionCounter;
}

QuoteStore::QuoteStore() = default;

QuoteStore::~QuoteStore() { close(); }

QString QuoteStore::fileName() { return QStringLiteral("quotes.sqlite"); }

QString QuoteStore::pathIn(const QString &databaseFolder)
{
    return databaseFolder + QLatin1Char('/') + fileName();
}

bool QuoteStore::open(const QString &databaseFolder)
{
    close();
    const QString path = pathIn(databaseFolder);
    if (!QFileInfo(path).isFile()) {
        m_error = QStringLiteral("no quote store at %1").arg(path);
        return false;
    }
    const QString name = QStringLiteral("vantrel-quotestore-%1").arg(s_connectionCounter.fetchAndAddRelaxed(1));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000"));
        if (!db.open()) {
            m_error = QStringLiteral("cannot open %1: %2").arg(path, db.lastError().text());
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(name);
            return false;
        }
        // A file that is not a quote store fails here rather than on the first query.
        QSqlQuery probe(db);
        if (!probe.exec(QStringLiteral("SELECT 1 FROM quotes LIMIT 1"))) {
            m_error = QStringLiteral("%1 is not a quote store: %2").arg(path, probe.lastError().text());
            probe = QSqlQuery();
            db.close();
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(name);
            return false;
        }
    }
    m_connection = name;
    m_error.clear();
    return true;
}

void QuoteStore::close()
{
    if (m_connection.isEmpty())
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
    m_connection.clear();
}

QVector<QPair<QString, qint64>> QuoteStore::symbols()
{
    QVector<QPair<QString, qint64>> out;
    if (!isOpen())
        return out;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT symbol, COUNT(*) FROM quotes GROUP BY symbol ORDER BY symbol"))) {
        m_error = q.lastError().text();
        return out;
    }
    while (q.next())
        out.append({q.value(0).toString(), q.value(1).toLongLong()});
    return out;
}

QVector<ImportedQuote> QuoteStore::quotes(const QString &symbol)
{
    QVector<ImportedQuote> out;
    if (!isOpen())
        return out;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT ts, open, high, low, close, volume, openint FROM quotes "
                             "WHERE symbol = ? ORDER BY ts"));
    q.addBindValue(symbol);
    if (!q.exec()) {
        m_error = q.lastError().text();
        return out;
    }
    while (q.next()) {
        ImportedQuote r;
        r.symbol = symbol;
        r.timestampMs = q.value(0).toLongLong();
        r.open = q.value(1).toDouble();
        r.high = q.value(2).toDouble();
        r.low = q.value(3).toDouble();
        r.close = q.value(4).toDouble();
        r.volume = q.value(5).toDouble();
        r.openInt = q.value(6).toDouble();
        out.append(r);
    }
    return out;
}

qint64 QuoteStore::count()
{
    if (!isOpen())
        return -1;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM quotes")) || !q.next()) {
        m_error = q.lastError().text();
        return -1;
    }
    return q.value(0).toLongLong();
}

bool QuoteStore::stamps(const std::function<void(const QString &, qint64, qint64)> &visit)
{
    if (!isOpen())
        return false;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT symbol, ts, stored_at FROM quotes"))) {
        m_error = q.lastError().text();
        return false;
    }
    while (q.next())
        visit(q.value(0).toString(), q.value(1).toLongLong(), q.value(2).toLongLong());
    return true;
}

QString QuoteStore::formatTimestamp(qint64 timestampMs)
{
    return QDateTime::fromMSecsSinceEpoch(timestampMs, Qt::UTC)
        .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}

QString QuoteStore::formatQuote(const ImportedQuote &quote)
{
    // 15 significant digits print a value read from decimal text of up to 15 digits back
    // as that text ('g' drops trailing zeros); prices and quantities never need more.
    auto num = [](double v) { return QString::number(v, 'g', 15); };
    return formatTimestamp(quote.timestampMs) + QLatin1Char(',') + num(quote.open) + QLatin1Char(',')
        + num(quote.high) + QLatin1Char(',') + num(quote.low) + QLatin1Char(',') + num(quote.close)
        + QLatin1Char(',') + num(quote.volume) + QLatin1Char(',') + num(quote.openInt);
}
