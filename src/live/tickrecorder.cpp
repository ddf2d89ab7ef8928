#include "live/tickrecorder.h"

#include "live/latestbatch.h"
#include "live/pendingbatches.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonValue>

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

QByteArray formatTickLine(const QString &type, const QString &symbol, const QString &ltd,
                          const QString &ltt, double ltp, double ltq, double oi, double vol)
{
    QByteArray line;
    line.reserve(64);
    line += type.toUtf8();
    line += ',';
    line += symbol.toUtf8();
    line += ',';
    line += ltd.toUtf8();
    line += ',';
    line += ltt.toUtf8();
    line += ',';
    line += formatPrice(ltp).toLatin1();
    line += ',';
    line += QByteArray::number(roundQuantity(ltq));
    line += ',';
    line += QByteArray::number(roundQuantity(oi));
    line += ',';
    line += QByteArray::number(roundQuantity(vol));
    line += '\n';
    return line;
}

QByteArray recordLine(const QJsonObject &record)
{
    const QString symbol = jsonText(record.value(QLatin1String("symbol"))).trimmed();
    if (symbol.isEmpty() || !fitsTickLine(symbol))
        return QByteArray();
    const QString type = jsonText(record.value(QLatin1String("type")));
    const QString ltd = jsonText(record.value(QLatin1String("ltd")));
    const QString ltt = jsonText(record.value(QLatin1String("ltt")));
    if (!fitsTickLine(type) || !fitsTickLine(ltd) || !fitsTickLine(ltt))
        return QByteArray();
    bool ok = false;
    const double ltp = jsonToDouble(record.value(QLatin1String("ltp")), &ok);
    if (!ok || !(ltp > 0))
        return QByteArray();
    const double ltq = jsonToDouble(record.value(QLatin1String("ltq")), &ok);
    const double qty = ok ? ltq : 0;
    const double oiRaw = jsonToDouble(record.value(QLatin1String("oi")), &ok);
    const double oi = ok ? oiRaw : 0;
    const double volRaw = jsonToDouble(record.value(QLatin1String("vol")), &ok);
    const double vol = ok ? volRaw : 0;
    return formatTickLine(type, symbol, ltd, ltt, ltp, qty, oi, vol);
}

QByteArray recordLines(const QJsonArray &records)
{
    QByteArray lines;
    for (const QJsonValue &v : records)
        lines += recordLine(v.toObject());
    return lines;
}

QByteArray recordLines(const QJsonArray &records, const QSet<QString> &symbols)
{
    QByteArray lines;
    for (const QJsonValue &v : records) {
        const QJsonObject record = v.toObject();
        if (symbols.contains(jsonText(record.value(QLatin1String("symbol"))).trimmed()))
            lines += recordLine(record);
    }
    return lines;
}

bool storeBatch(const QString &tickFilePath, const QByteArray &lines)
{
    if (lines.isEmpty())
        return false;

    // Replace in one step so the import cycle, which reads the tick file from another
    // thread without a lock, sees either the old batch or the new one, never no file:
    // std::filesystem::rename replaces the target (rename(2); MoveFileExW with
    // MOVEFILE_REPLACE_EXISTING on Windows). Not QSaveFile: its commit syncs to the disk,
    // too slow for a file rewritten several times a second whose batch is also queued.
    bool replaced = false;
    QFile tmp(tickFilePath + QStringLiteral(".tmp"));
    if (tmp.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        const bool written = tmp.write(lines) == lines.size();
        tmp.close();
        std::error_code ec;
        if (written)
            std::filesystem::rename(std::filesystem::u8path(tmp.fileName().toUtf8().toStdString()),
                                    std::filesystem::u8path(tickFilePath.toUtf8().toStdString()), ec);
        replaced = written && !ec;
        if (!replaced)
            tmp.remove();
    }

    LatestBatch::set(lines);
    PendingBatches::append(lines);
    return replaced;
}

QByteArray importLines(const QByteArray &tickText, const SymbolMap &map)
{
    QByteArray out;
    const QList<QByteArray> rawLines = tickText.split('\n');
    for (const QByteArray &raw : rawLines) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.contains(QLatin1String("Failed"), Qt::CaseInsensitive))
            continue;
        QStringList parts = line.split(QLatin1Char(','), Qt::KeepEmptyParts);
        if (parts.size() < 8)
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
        if (!ok || !std::isfinite(price) || !(price > 0))
            continue;
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

bool buildImportFile(const QByteArray &tickText, const QString &importPath,
                     const SymbolMap &map, qint64 *linesBytes)
{
    QDir().mkpath(QFileInfo(importPath).absolutePath());
    QFile importFile(importPath);
    if (!importFile.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return false;
    const QByteArray lines = importLines(tickText, map);
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
