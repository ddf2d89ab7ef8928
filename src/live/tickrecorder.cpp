#include "live/tickrecorder.h"

#include "live/latestbatch.h"
#include "live/pendingbatches.h"
#include "live/writebehind.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonValue>
#include <QMutex>
#include <QMutexLocker>

#include <algorithm>

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace TickRecorder {

namespace {

// A JSON number, or a string holding one. Non-finite values count as not convertible.
double jsonToDouble(const QJsonValue &value, bool *ok)
{
    double d = 0;
    bool converted = false;
    if (value.isDouble()) {
        d = value.toDouble();
        converted = true;
    } else if (value.isString()) {
        d = value.toString().toDouble(&converted);
    }
    if (!converted || !std::isfinite(d)) {
        *ok = false;
        return 0;
    }
    *ok = true;
    return d;
}

QString jsonText(const QJsonValue &value)
{
    return value.isString() ? value.toString() : QString();
}

// A comma would shift the fields of the line and a line break would start a line of the
// server's choosing (a forged quote for another symbol), so such text cannot be written.
bool fitsTickLine(const QString &text)
{
    for (const QChar c : text) {
        if (c == QLatin1Char(',') || c.unicode() < 0x20 || c.unicode() == 0x7F)
            return false;
        if (c.unicode() < 0x80)
            continue; // the rest of ASCII is printable
        switch (c.category()) {
        case QChar::Other_Control:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            return false;
        default:
            break;
        }
    }
    return true;
}

} // namespace

QString formatPrice(double price)
{
    // std::to_chars is printf's %g in the C locale, ties to even included (1234565 ->
    // "1.23456e+06"), whatever locale the process runs in. QString::number rounds such
    // exact ties upwards and so differs from printf.
#if defined(__cpp_lib_to_chars) && !defined(VANTREL_NO_TO_CHARS)
    char buf[64];
    const auto result = std::to_chars(buf, buf + sizeof buf, price, std::chars_format::general, 6);
    return QString::fromLatin1(buf, int(result.ptr - buf));
#else
    return formatPriceWithPrintf(price);
#endif
}

QString formatPriceWithPrintf(double price)
{
    char buf[64];
    const int n = std::snprintf(buf, sizeof buf, "%.6g", price);
    QString text = QString::fromLatin1(buf, qBound(0, n, int(sizeof buf) - 1));
    // printf writes the locale's decimal point; the line format wants '.'.
    const char *point = std::localeconv()->decimal_point;
    if (point && *point && QLatin1String(point) != QLatin1String("."))
        text.replace(QString::fromLatin1(point), QStringLiteral("."));
    return text;
}

qint64 roundQuantity(double value)
{
    if (!std::isfinite(value))
        return 0;
    // floor plus a comparison of the exact fractional part: adding 0.5 first would round
    // values just below a half (0.49999999999999994) up.
    double r = std::floor(value);
    if (value - r >= 0.5)
        r += 1.0;
    // 2^63 itself is not representable as qint64; -2^63 is.
    constexpr double kLimit = 9223372036854775808.0;
    if (r >= kLimit || r < -kLimit)
        return 0;
    return static_cast<qint64>(r);
}

namespace {

// The line is built in place in the batch's buffer: the feed thread formats every record
// of every frame, so no piece of it gets an allocation of its own.
void appendText(QByteArray *out, const QString &text)
{
    const QChar *p = text.constData();
    const int n = text.size();
    for (int i = 0; i < n; ++i) {
        if (p[i].unicode() >= 0x80) {
            out->append(text.toUtf8());
            return;
        }
    }
    const int at = out->size();
    out->resize(at + n);
    char *d = out->data() + at;
    for (int i = 0; i < n; ++i)
        d[i] = char(p[i].unicode());
}

void appendNumber(QByteArray *out, qint64 value)
{
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    out->append(buf, int(r.ptr - buf));
}

void appendPrice(QByteArray *out, double price)
{
#if defined(__cpp_lib_to_chars) && !defined(VANTREL_NO_TO_CHARS)
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, price, std::chars_format::general, 6);
    out->append(buf, int(r.ptr - buf));
#else
    out->append(formatPriceWithPrintf(price).toLatin1());
#endif
}

void appendTickLine(QByteArray *line, const QString &type, const QString &symbol, const QString &ltd,
                    const QString &ltt, double ltp, double ltq, double oi, double vol)
{
    appendText(line, type);
    line->append(',');
    appendText(line, symbol);
    line->append(',');
    appendText(line, ltd);
    line->append(',');
    appendText(line, ltt);
    line->append(',');
    appendPrice(line, ltp);
    line->append(',');
    appendNumber(line, roundQuantity(ltq));
    line->append(',');
    appendNumber(line, roundQuantity(oi));
    line->append(',');
    appendNumber(line, roundQuantity(vol));
    line->append('\n');
}

// Appends the record's line; false (nothing appended) when the record does not qualify.
bool appendRecordLine(QByteArray *out, const QJsonObject &record)
{
    const QString symbol = jsonText(record.value(QLatin1String("symbol"))).trimmed();
    if (symbol.isEmpty() || !fitsTickLine(symbol))
        return false;
    const QString type = jsonText(record.value(QLatin1String("type")));
    const QString ltd = jsonText(record.value(QLatin1String("ltd")));
    const QString ltt = jsonText(record.value(QLatin1String("ltt")));
    if (!fitsTickLine(type) || !fitsTickLine(ltd) || !fitsTickLine(ltt))
        return false;
    bool ok = false;
    const double ltp = jsonToDouble(record.value(QLatin1String("ltp")), &ok);
    if (!ok || !(ltp > 0))
        return false;
    const double ltq = jsonToDouble(record.value(QLatin1String("ltq")), &ok);
    const double qty = ok ? ltq : 0;
    const double oiRaw = jsonToDouble(record.value(QLatin1String("oi")), &ok);
    const double oi = ok ? oiRaw : 0;
    const double volRaw = jsonToDouble(record.value(QLatin1String("vol")), &ok);
    const double vol = ok ? volRaw : 0;
    appendTickLine(out, type, symbol, ltd, ltt, ltp, qty, oi, vol);
    return true;
}

constexpr int kLineBytesGuess = 64;

} // namespace

QByteArray formatTickLine(const QString &type, const QString &symbol, const QString &ltd,
                          const QString &ltt, double ltp, double ltq, double oi, double vol)
{
    QByteArray line;
    line.reserve(kLineBytesGuess);
    appendTickLine(&line, type, symbol, ltd, ltt, ltp, ltq, oi, vol);
    return line;
}

QByteArray recordLine(const QJsonObject &record)
{
    QByteArray line;
    appendRecordLine(&line, record);
    return line;
}

QByteArray recordLines(const QJsonArray &records)
{
    QByteArray lines;
    lines.reserve(records.size() * kLineBytesGuess);
    for (const QJsonValue &v : records)
        appendRecordLine(&lines, v.toObject());
    return lines;
}

QByteArray recordLines(const QJsonArray &records, const QSet<QString> &symbols)
{
    QByteArray lines;
    for (const QJsonValue &v : records) {
        const QJsonObject record = v.toObject();
        if (symbols.contains(jsonText(record.value(QLatin1String("symbol"))).trimmed()))
            appendRecordLine(&lines, record);
    }
    return lines;
}

namespace {

// The newest batch for the tick file, and which of them the file holds.
struct TickFileState
{
    QMutex mutex;
    QString path;
    QByteArray bytes;
    quint64 stored = 0;
    quint64 written = 0;
    QMutex writeMutex; // one replacement at a time, the writer's or writeTickFileNow()'s
};

TickFileState &tickFileState()
{
    static TickFileState state;
    return state;
}

// Replaces in one step so that a reader sees either the old batch or the new one, never
// no file: std::filesystem::rename replaces the target (rename(2); MoveFileExW with
// MOVEFILE_REPLACE_EXISTING on Windows). Not QSaveFile: its commit syncs to the disk, too
// slow for a file rewritten several times a second whose batch is also queued.
bool replaceTickFile(const QString &tickFilePath, const QByteArray &lines)
{
    QFile tmp(tickFilePath + QStringLiteral(".tmp"));
    if (!tmp.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const bool written = tmp.write(lines) == lines.size();
    tmp.close();
    std::error_code ec;
    if (written)
        std::filesystem::rename(std::filesystem::u8path(tmp.fileName().toUtf8().toStdString()),
                                std::filesystem::u8path(tickFilePath.toUtf8().toStdString()), ec);
    const bool replaced = written && !ec;
    if (!replaced)
        tmp.remove();
    return replaced;
}

// The newest batch into the tick file, when the file does not hold it yet.
bool writePendingTickFile()
{
    TickFileState &st = tickFileState();
    QMutexLocker writing(&st.writeMutex);
    QString path;
    QByteArray bytes;
    quint64 number = 0;
    {
        QMutexLocker lock(&st.mutex);
        if (st.written == st.stored)
            return true;
        path = st.path;
        bytes = st.bytes;
        number = st.stored;
    }
    const bool replaced = replaceTickFile(path, bytes);
    QMutexLocker lock(&st.mutex);
    if (replaced)
        st.written = number;
    return replaced && st.written == st.stored;
}

WriteBehind &tickFileWriter()
{
    static WriteBehind w(
        [] {
            writePendingTickFile();
            return -1;
        },
        kTickFileGapMs);
    return w;
}

} // namespace

void storeBatch(const QString &tickFilePath, const QByteArray &lines)
{
    if (lines.isEmpty())
        return;
    {
        TickFileState &st = tickFileState();
        QMutexLocker lock(&st.mutex);
        st.path = tickFilePath;
        st.bytes = lines;
        ++st.stored;
    }
    tickFileWriter().requestWithin(0);
    LatestBatch::set(lines);
    PendingBatches::append(lines);
}

bool writeTickFileNow() { return writePendingTickFile(); }

namespace {

bool isControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

bool wholeNumber(const QString &text)
{
    bool ok = false;
    text.toLongLong(&ok);
    return ok;
}

QByteArray checkedImportLines(const QByteArray &tickText, const SymbolMap &map,
                              const QSet<QString> *symbols, int *refused)
{
    QByteArray out;
    const QList<QByteArray> rawLines = tickText.split('\n');
    for (const QByteArray &raw : rawLines) {
        if (symbols && !raw.isEmpty() && std::any_of(raw.cbegin(), raw.cend(), isControl)) {
            ++*refused;
            continue;
        }
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty())
            continue;
        QStringList parts = line.split(QLatin1Char(','), Qt::KeepEmptyParts);
        // Lines read back from the disk must be what the recorder writes.
        const bool recorderForm = !symbols
                                  || (parts.size() == 8 && symbols->contains(parts.at(1))
                                      && wholeNumber(parts.at(5)) && wholeNumber(parts.at(6))
                                      && wholeNumber(parts.at(7)));
        if (!recorderForm) {
            ++*refused;
            continue;
        }
        if (line.contains(QLatin1String("Failed"), Qt::CaseInsensitive) || parts.size() < 8)
            continue;
        for (QString &p : parts)
            p = p.trimmed();

        QString symbol = parts.at(1);
        if (!symbol.isEmpty()) {
            const auto it = map.constFind(symbol);
            if (it != map.cend())
                symbol = it.value();
        }

        bool ok = false;
        const double price = parts.at(4).toDouble(&ok);
        if (!ok || !std::isfinite(price) || !(price > 0)) {
            if (symbols)
                ++*refused;
            continue;
        }
        const double qtyRaw = parts.at(5).toDouble(&ok);
        const double qty = ok ? qtyRaw : 0;

        const QString text = QStringLiteral("%1,%2,%3,%4,%5,%6,%7,%8")
                                 .arg(parts.at(0), symbol, parts.at(2), parts.at(3),
                                      formatPrice(price),
                                      QString::number(roundQuantity(qty)), parts.at(6),
                                      parts.at(7));
        out += text.toUtf8();
        out += '\n';
    }
    return out;
}

} // namespace

QByteArray importLines(const QByteArray &tickText, const SymbolMap &map)
{
    return checkedImportLines(tickText, map, nullptr, nullptr);
}

QByteArray importLines(const QByteArray &tickText, const SymbolMap &map, const QSet<QString> &symbols,
                       int *refused)
{
    int none = 0;
    return checkedImportLines(tickText, map, &symbols, refused ? refused : &none);
}

bool buildImportFile(const QByteArray &tickText, const QString &importPath,
                     const SymbolMap &map, qint64 *linesBytes, const QSet<QString> *onlySymbols,
                     int *refused)
{
    QDir().mkpath(QFileInfo(importPath).absolutePath());
    QFile importFile(importPath);
    if (!importFile.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return false;
    const QByteArray lines =
        onlySymbols ? importLines(tickText, map, *onlySymbols, refused) : importLines(tickText, map);
    // A short write (disk full, quota) would hand the charting program half a batch and
    // count the rest as imported.
    const bool written = importFile.write(lines) == lines.size() && importFile.flush();
    importFile.close();
    if (!written) {
        qDebug().noquote() << "Import file" << importPath
                           << "could not be written:" << importFile.errorString();
        return false;
    }
    if (linesBytes)
        *linesBytes = lines.size();
    return true;
}

bool buildImportFile(const QString &tickFilePath, const QString &importPath,
                     const SymbolMap &map)
{
    QDir().mkpath(QFileInfo(importPath).absolutePath());
    QFile tickFile(tickFilePath);
    if (!tickFile.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    const QByteArray tickText = tickFile.readAll();
    tickFile.close();
    return buildImportFile(tickText, importPath, map);
}

} // namespace TickRecorder
