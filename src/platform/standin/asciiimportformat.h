#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// One quote as the charting program stores it. The timestamp is the wall-clock date and
// time written in the file, counted in milliseconds since 1970-01-01 00:00:00.000 as if it
// were UTC (no time zone is applied anywhere), so milliseconds stay distinct.
struct ImportedQuote
{
    QString symbol;
    qint64 timestampMs = 0;
    double open = 0;
    double high = 0;
    double low = 0;
    double close = 0;
    double volume = 0;
    double openInt = 0;
};

// A format definition in the charting program's ASCII import language, as the installation
// ships it (dataFormatRT.dll, dataFormat.dll, dataFormatEod.dll):
//
//   * comment            (also lines starting with ';' or '#')
//   $FORMAT Skip,Ticker,Date_YMD,Time,Close,Volume,OpenInt,Skip
//   $SEPARATOR ,
//   $SKIPLINES 0
//   $AUTOADD 1
//   $CONT 1
//   $DEBUG 1
//
// Fields: Ticker, Date_YMD, Date_DMY, Date_MDY, Time, Open, High, Low, Close, Volume,
// OpenInt, Skip (names compared without regard to letter case). A definition needs one date
// field and a Close field; Open, High and Low default to Close, Volume and OpenInt to 0, a
// missing Time to midnight. Without a Ticker field the symbol comes from $NAME, else from
// the data file's base name (the caller passes it).
//
// $SEPARATOR takes one character ("\t" or TAB for a tab); $SKIPLINES n skips the first n
// lines of every data file; $AUTOADD 0 keeps out symbols the database does not hold yet
// (1, adding them, is the default here so that a definition without the line still
// imports); $DEBUG 1 reports every rejected line; $NAME sets the symbol.
// Other '$' commands of the language ($CONT, $OVERWRITE, $GROUP, $TICKMODE, ...) are
// accepted and have no effect here: every import replaces a stored quote with the same
// symbol and timestamp, and a bad line is always skipped rather than ending the import.
class AsciiImportFormat
{
public:
    enum class Field { Skip, Ticker, DateYMD, DateDMY, DateMDY, Time, Open, High, Low, Close,
                       Volume, OpenInt };

    // Reads a definition file. False (with errorString()) when the file cannot be read or
    // the definition is not valid.
    bool load(const QString &path);
    // Parses definition text.
    bool parse(const QByteArray &definition);

    QString errorString() const { return m_error; }

    const QVector<Field> &fields() const { return m_fields; }
    char separator() const { return m_separator; }
    int skipLines() const { return m_skipLines; }
    bool autoAdd() const { return m_autoAdd; }
    bool debug() const { return m_debug; }
    QString name() const { return m_name; }
    bool hasTicker() const { return m_tickerIndex >= 0; }

    // Parses one data line (without its line end). fallbackTicker is used when the format
    // has no Ticker field and no $NAME. False with a reason when the line is not a quote.
    bool parseLine(const char *data, int size, const QString &fallbackTicker,
                   ImportedQuote *quote, QString *why = nullptr) const;
    bool parseLine(const QByteArray &line, const QString &fallbackTicker,
                   ImportedQuote *quote, QString *why = nullptr) const
    {
        return parseLine(line.constData(), line.size(), fallbackTicker, quote, why);
    }

    // Field-level parsers, public so the rules can be checked one by one.
    // Date: the field kind gives the order; parts separated by '-', '/' or '.', or written
    // without separators (8 digits, or 6 digits with a two-digit year: 00-69 -> 20xx,
    // 70-99 -> 19xx). Result: days since 1970-01-01.
    static bool parseDate(const char *s, int n, Field order, qint64 *daysSinceEpoch);
    // Time: HH:MM, HH:MM:SS, HH:MM:SS.f (1 to 3 fraction digits are milliseconds; more are
    // cut), HHMMSS, HHMM, and HMMSS / HMM for feeds that drop the leading zero.
    static bool parseTime(const char *s, int n, int *msecsOfDay);
    static bool parseNumber(const char *s, int n, double *value);

private:
    bool fail(const QString &why);
    bool parseFormatList(const QString &list);

    QVector<Field> m_fields;
    char m_separator = ',';
    int m_skipLines = 0;
    bool m_autoAdd = true;
    bool m_debug = false;
    QString m_name;
    QString m_error;
    int m_tickerIndex = -1;
    int m_dateIndex = -1;
    int m_timeIndex = -1;
    int m_openIndex = -1;
    int m_highIndex = -1;
    int m_lowIndex = -1;
    int m_closeIndex = -1;
    int m_volumeIndex = -1;
    int m_openIntIndex = -1;
};
