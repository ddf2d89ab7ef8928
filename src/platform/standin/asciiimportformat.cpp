#include "platform/standin/asciiimportformat.h"

#include <QDate>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QVarLengthArray>

#include <charconv>
#include <cmath>

namespace {

constexpr qint64 kJulianDayOf1970 = 2440588;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool allDigits(const char *s, int n)
{
    if (n <= 0)
        return false;
    for (int i = 0; i < n; ++i)
        if (!isDigit(s[i]))
            return false;
    return true;
}

int digitsValue(const char *s, int n)
{
    int v = 0;
    for (int i = 0; i < n; ++i)
        v = v * 10 + (s[i] - '0');
    return v;
}

void trim(const char *&s, int &n)
{
    while (n > 0 && (*s == ' ' || *s == '\t')) {
        ++s;
        --n;
    }
    while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\r'))
        --n;
}

int expandYear(int year, int digits)
{
    if (digits == 4)
        return year;
    return year < 70 ? 2000 + year : 1900 + year;
}

// Commands of the import language that are accepted without effect here (see header).
const QStringList &toleratedCommands()
{
    static const QStringList list = {
        QStringLiteral("CONT"),        QStringLiteral("OVERWRITE"),   QStringLiteral("BREAKONERR"),
        QStringLiteral("GROUP"),       QStringLiteral("MARKET"),      QStringLiteral("INDUSTRY"),
        QStringLiteral("WATCHLIST"),   QStringLiteral("TICKMODE"),    QStringLiteral("NOQUOTES"),
        QStringLiteral("HYBRID"),      QStringLiteral("ALLOW99SECONDS"), QStringLiteral("ALLOWNEG"),
        QStringLiteral("RAWCLOSE2OI"), QStringLiteral("CLEANSYMBOLS"), QStringLiteral("RECALCSPLITS"),
        QStringLiteral("APPENDNAMES"), QStringLiteral("STRICT"),      QStringLiteral("DATEFORMAT"),
    };
    return list;
}

} // namespace

bool AsciiImportFormat::fail(const QString &why)
{
    m_error = why;
    return false;
}

bool AsciiImportFormat::load(const QString &path)
{
    // A FIFO or device would block or never end; a format definition is a plain file.
    if (!QFileInfo(path).isFile())
        return fail(QStringLiteral("format file %1 is missing or not a regular file").arg(path));
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read format file %1: %2").arg(path, f.errorString()));
    if (!parse(f.readAll())) {
        m_error = QStringLiteral("%1: %2").arg(path, m_error);
        return false;
    }
    return true;
}

bool AsciiImportFormat::parse(const QByteArray &definition)
{
    *this = AsciiImportFormat();

    QByteArray text = definition;
    if (text.startsWith("\xEF\xBB\xBF"))
        text.remove(0, 3);

    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        QString raw = QString::fromUtf8(lines.at(i));
        if (raw.endsWith(QLatin1Char('\r')))
            raw.chop(1);
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('*')) || line.startsWith(QLatin1Char(';'))
            || line.startsWith(QLatin1Char('#')))
            continue;
        if (!line.startsWith(QLatin1Char('$')))
            return fail(QStringLiteral("line %1 is neither a command nor a comment: %2")
                            .arg(i + 1)
                            .arg(line));

        int end = 1;
        while (end < line.size() && !line.at(end).isSpace())
            ++end;
        const QString command = line.mid(1, end - 1).toUpper();
        // The separator may itself be a blank, so it is taken from the untrimmed remainder.
        const QString rawRest = raw.mid(raw.indexOf(QLatin1Char('$')) + end);
        const QString value = line.mid(end).trimmed();

        if (command == QLatin1String("FORMAT")) {
            if (!parseFormatList(value))
                return false;
        } else if (command == QLatin1String("SEPARATOR")) {
            QString t = rawRest;
            while (t.startsWith(QLatin1Char(' ')))
                t.remove(0, 1);
            while (t.endsWith(QLatin1Char(' ')))
                t.chop(1);
            QChar sep;
            if (t == QLatin1String("\\t") || t.compare(QLatin1String("TAB"), Qt::CaseInsensitive) == 0)
                sep = QLatin1Char('\t');
            else if (t.size() == 1)
                sep = t.at(0); // also a literal tab
            else if (t.isEmpty() && !rawRest.isEmpty())
                sep = QLatin1Char(' '); // only blanks follow: the separator is a blank
            if (sep.isNull() || sep.unicode() > 0x7f)
                return fail(QStringLiteral("line %1: separator '%2' is not a single character")
                                .arg(i + 1)
                                .arg(rawRest));
            m_separator = static_cast<char>(sep.unicode());
        } else if (command == QLatin1String("SKIPLINES")) {
            bool ok = false;
            const int n = value.toInt(&ok);
            if (!ok || n < 0)
                return fail(QStringLiteral("line %1: $SKIPLINES needs a count, got '%2'")
                                .arg(i + 1)
                                .arg(value));
            m_skipLines = n;
        } else if (command == QLatin1String("AUTOADD") || command == QLatin1String("DEBUG")) {
            bool ok = false;
            const int n = value.toInt(&ok);
            if (!ok)
                return fail(QStringLiteral("line %1: $%2 needs 0 or 1, got '%3'")
                                .arg(i + 1)
                                .arg(command, value));
            (command == QLatin1String("AUTOADD") ? m_autoAdd : m_debug) = (n != 0);
        } else if (command == QLatin1String("NAME")) {
            m_name = value;
        } else if (!toleratedCommands().contains(command)) {
            qDebug().noquote() << "Import format: ignoring unknown command" << line;
        }
    }

    if (m_fields.isEmpty())
        return fail(QStringLiteral("no $FORMAT line"));
    if (m_dateIndex < 0)
        return fail(QStringLiteral("$FORMAT has no date field (Date_YMD, Date_DMY or Date_MDY)"));
    if (m_closeIndex < 0)
        return fail(QStringLiteral("$FORMAT has no Close field"));
    m_error.clear();
    return true;
}

bool AsciiImportFormat::parseFormatList(const QString &list)
{
    m_fields.clear();
    m_tickerIndex = m_dateIndex = m_timeIndex = m_openIndex = m_highIndex = m_lowIndex = -1;
    m_closeIndex = m_volumeIndex = m_openIntIndex = -1;

    struct Name { const char *text; Field field; int AsciiImportFormat::*index; };
    static const Name names[] = {
        {"skip", Field::Skip, nullptr},
        {"ticker", Field::Ticker, &AsciiImportFormat::m_tickerIndex},
        {"date_ymd", Field::DateYMD, &AsciiImportFormat::m_dateIndex},
        {"date_dmy", Field::DateDMY, &AsciiImportFormat::m_dateIndex},
        {"date_mdy", Field::DateMDY, &AsciiImportFormat::m_dateIndex},
        {"time", Field::Time, &AsciiImportFormat::m_timeIndex},
        {"open", Field::Open, &AsciiImportFormat::m_openIndex},
        {"high", Field::High, &AsciiImportFormat::m_highIndex},
        {"low", Field::Low, &AsciiImportFormat::m_lowIndex},
        {"close", Field::Close, &AsciiImportFormat::m_closeIndex},
        {"volume", Field::Volume, &AsciiImportFormat::m_volumeIndex},
        {"openint", Field::OpenInt, &AsciiImportFormat::m_openIntIndex},
    };

    const QStringList parts = list.split(QLatin1Char(','));
    for (const QString &part : parts) {
        const QString key = part.trimmed().toLower();
        const Name *found = nullptr;
        for (const Name &n : names)
            if (key == QLatin1String(n.text))
                found = &n;
        if (!found)
            return fail(QStringLiteral("unknown field '%1' in $FORMAT").arg(part.trimmed()));
        if (found->index) {
            int &slot = this->*(found->index);
            if (slot >= 0)
                return fail(QStringLiteral("field '%1' appears twice in $FORMAT").arg(part.trimmed()));
            slot = m_fields.size();
        }
        m_fields.append(found->field);
    }
    return true;
}

bool AsciiImportFormat::parseNumber(const char *s, int n, double *value)
{
    trim(s, n);
    if (n > 0 && *s == '+') {
        ++s;
        --n;
    }
    if (n <= 0)
        return false;
    double v = 0;
    const auto r = std::from_chars(s, s + n, v, std::chars_format::general);
    if (r.ec != std::errc() || r.ptr != s + n || !std::isfinite(v))
        return false;
    *value = v;
    return true;
}

bool AsciiImportFormat::parseDate(const char *s, int n, Field order, qint64 *daysSinceEpoch)
{
    trim(s, n);
    int part[3] = {0, 0, 0};
    int len[3] = {0, 0, 0};

    bool separated = false;
    for (int i = 0; i < n; ++i)
        if (s[i] == '-' || s[i] == '/' || s[i] == '.')
            separated = true;

    if (separated) {
        int k = 0;
        int start = 0;
        for (int i = 0; i <= n; ++i) {
            if (i == n || s[i] == '-' || s[i] == '/' || s[i] == '.') {
                if (k >= 3 || !allDigits(s + start, i - start) || i - start > 4)
                    return false;
                part[k] = digitsValue(s + start, i - start);
                len[k] = i - start;
                ++k;
                start = i + 1;
            }
        }
        if (k != 3)
            return false;
    } else {
        if (!allDigits(s, n) || (n != 8 && n != 6))
            return false;
        const int yl = n - 4;
        // Digit widths in field order: the year is 4 (or 2) digits, day and month 2 each.
        const int widths[3] = {order == Field::DateYMD ? yl : 2, 2,
                               order == Field::DateYMD ? 2 : yl};
        int pos = 0;
        for (int k = 0; k < 3; ++k) {
            part[k] = digitsValue(s + pos, widths[k]);
            len[k] = widths[k];
            pos += widths[k];
        }
    }

    int y = 0, m = 0, d = 0, yl = 0;
    switch (order) {
    case Field::DateYMD: y = part[0]; yl = len[0]; m = part[1]; d = part[2];
        if (len[1] > 2 || len[2] > 2) return false;
        break;
    case Field::DateDMY: d = part[0]; m = part[1]; y = part[2]; yl = len[2];
        if (len[0] > 2 || len[1] > 2) return false;
        break;
    case Field::DateMDY: m = part[0]; d = part[1]; y = part[2]; yl = len[2];
        if (len[0] > 2 || len[1] > 2) return false;
        break;
    default:
        return false;
    }
    if (yl != 4 && yl != 2)
        return false;
    const QDate date(expandYear(y, yl), m, d);
    if (!date.isValid())
        return false;
    *daysSinceEpoch = date.toJulianDay() - kJulianDayOf1970;
    return true;
}

bool AsciiImportFormat::parseTime(const char *s, int n, int *msecsOfDay)
{
    trim(s, n);
    int msec = 0;
    bool fraction = false;
    // Fraction of a second after '.', in milliseconds.
    for (int i = 0; i < n; ++i) {
        if (s[i] == '.') {
            const char *f = s + i + 1;
            const int fn = n - i - 1;
            if (!allDigits(f, fn))
                return false;
            for (int k = 0; k < 3; ++k)
                msec = msec * 10 + (k < fn ? f[k] - '0' : 0);
            fraction = true;
            n = i;
            break;
        }
    }

    int h = 0, m = 0, sec = 0;
    bool colon = false;
    for (int i = 0; i < n; ++i)
        if (s[i] == ':')
            colon = true;

    if (colon) {
        int part[3] = {0, 0, 0};
        int k = 0;
        int start = 0;
        for (int i = 0; i <= n; ++i) {
            if (i == n || s[i] == ':') {
                const int len = i - start;
                if (k >= 3 || !allDigits(s + start, len) || len > 2)
                    return false;
                part[k++] = digitsValue(s + start, len);
                start = i + 1;
            }
        }
        if (k < 2)
            return false;
        if (k == 2 && fraction)
            return false; // "HH:MM.fff" is not a time form
        h = part[0];
        m = part[1];
        sec = part[2];
    } else {
        if (!allDigits(s, n))
            return false;
        switch (n) {
        case 6: h = digitsValue(s, 2); m = digitsValue(s + 2, 2); sec = digitsValue(s + 4, 2); break;
        case 5: h = digitsValue(s, 1); m = digitsValue(s + 1, 2); sec = digitsValue(s + 3, 2); break;
        case 4: h = digitsValue(s, 2); m = digitsValue(s + 2, 2); break;
        case 3: h = digitsValue(s, 1); m = digitsValue(s + 1, 2); break;
        default: return false;
        }
        if (n <= 4 && fraction)
            return false;
    }
    if (h > 23 || m > 59 || sec > 59)
        return false;
    *msecsOfDay = ((h * 60 + m) * 60 + sec) * 1000 + msec;
    return true;
}

bool AsciiImportFormat::parseLine(const char *data, int size, const QString &fallbackTicker,
                                  ImportedQuote *quote, QString *why) const
{
    struct Slice { const char *p; int n; };
    QVarLengthArray<Slice, 16> f;
    const int wanted = m_fields.size();
    int start = 0;
    for (int i = 0; i <= size && f.size() < wanted; ++i) {
        if (i == size || data[i] == m_separator) {
            f.append({data + start, i - start});
            start = i + 1;
        }
    }
    // Trailing fields the line does not have read as empty.
    while (f.size() < wanted)
        f.append({data + size, 0});

    auto reason = [why](const QString &text) {
        if (why)
            *why = text;
        return false;
    };

    if (m_tickerIndex >= 0) {
        const char *p = f[m_tickerIndex].p;
        int n = f[m_tickerIndex].n;
        trim(p, n);
        if (n == 0)
            return reason(QStringLiteral("empty symbol"));
        quote->symbol = QString::fromUtf8(p, n);
    } else {
        quote->symbol = m_name.isEmpty() ? fallbackTicker : m_name;
        if (quote->symbol.isEmpty())
            return reason(QStringLiteral("no symbol"));
    }

    qint64 days = 0;
    if (!parseDate(f[m_dateIndex].p, f[m_dateIndex].n, m_fields.at(m_dateIndex), &days))
        return reason(QStringLiteral("bad date '%1'")
                          .arg(QString::fromUtf8(f[m_dateIndex].p, f[m_dateIndex].n)));
    int msecs = 0;
    if (m_timeIndex >= 0 && !parseTime(f[m_timeIndex].p, f[m_timeIndex].n, &msecs))
        return reason(QStringLiteral("bad time '%1'")
                          .arg(QString::fromUtf8(f[m_timeIndex].p, f[m_timeIndex].n)));
    quote->timestampMs = days * 86400000LL + msecs;

    if (!parseNumber(f[m_closeIndex].p, f[m_closeIndex].n, &quote->close))
        return reason(QStringLiteral("bad close '%1'")
                          .arg(QString::fromUtf8(f[m_closeIndex].p, f[m_closeIndex].n)));

    // An optional column that is present but empty takes its default; present but not a
    // number makes the line bad.
    auto optional = [&](int index, double fallback, double *out, const char *what) {
        *out = fallback;
        if (index < 0)
            return true;
        const char *p = f[index].p;
        int n = f[index].n;
        trim(p, n);
        if (n == 0)
            return true;
        if (parseNumber(p, n, out))
            return true;
        return reason(QStringLiteral("bad %1 '%2'").arg(QLatin1String(what), QString::fromUtf8(p, n)));
    };
    return optional(m_openIndex, quote->close, &quote->open, "open")
        && optional(m_highIndex, quote->close, &quote->high, "high")
        && optional(m_lowIndex, quote->close, &quote->low, "low")
        && optional(m_volumeIndex, 0, &quote->volume, "volume")
        && optional(m_openIntIndex, 0, &quote->openInt, "open interest");
}
