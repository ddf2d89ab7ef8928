#pragma once

#include <QByteArray>
#include <QHash>
#include <QRandomGenerator>
#include <QString>

// One generated trade. The wire record and the sent-log line are rendered once when the
// tick is made, because one tick may go to several clients.
struct Tick
{
    QString symbol;
    QString ltd;       // YYYYMMDD, local time
    QString ltt;       // HH:MM:SS.mmm, local time
    qint64 epochMs = 0;
    double ltp = 0;
    qint64 ltq = 0;
    qint64 oi = 0;
    qint64 vol = 0;

    QByteArray json;     // {"type":"T","symbol":...,"vol":...}
    QByteArray logLine;  // symbol,ltd,ltt,ltp,ltq,oi,vol, (send time is appended when sent)
};

// Per-symbol random walk with a plausible starting level, exchange tick size, lot-sized
// quantities, cumulative volume and drifting open interest. A symbol's timestamps are
// strictly increasing: the quote store downstream keeps one quote per symbol and
// timestamp, so two ticks in the same millisecond would overwrite each other.
class TickGenerator
{
public:
    explicit TickGenerator(quint32 seed);

    Tick next(const QString &symbol, qint64 nowEpochMs);

    // Price text as it goes on the wire: shortest form that reads back to the same double.
    static QByteArray priceText(double price);
    static QByteArray jsonString(const QString &text);

    struct Profile
    {
        double level = 0;     // starting price
        qint64 divisor = 20;  // price = ticks / divisor, so tick size = 1 / divisor
        qint64 lot = 1;       // quantities are multiples of this
        int maxLots = 10;
        bool derivative = false;  // carries open interest
    };
    // What a symbol trades like, judged from its name.
    static Profile profileFor(const QString &symbol);

private:
    struct State
    {
        Profile profile;
        qint64 priceTicks = 0;
        qint64 anchorTicks = 0;
        double stepTicks = 1;
        qint64 oi = 0;
        qint64 vol = 0;
        qint64 lastMs = 0;
    };
    State &stateFor(const QString &symbol);
    double gaussian();

    QHash<QString, State> m_states;
    QRandomGenerator m_rng;
};
