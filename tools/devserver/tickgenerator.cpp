#include "tickgenerator.h"

#include <QDateTime>
#include <QLocale>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace {

struct Known
{
    const char *base;
    double level;
    qint64 divisor;
    qint64 lot;
    int maxLots;
    bool contract;  // only ever traded as an exchange contract, so always has open interest
};

// Rough levels of the instruments a demo watchlist holds. Indian prices move in 0.05
// (currency and VIX in 0.0025, MCX bullion and crude in whole rupees); FX majors in 0.0001.
const Known kKnown[] = {
    // Indian indices and index futures
    {"NIFTY", 24500, 20, 25, 20, false},
    {"BANKNIFTY", 48000, 20, 15, 20, false},
    {"FINNIFTY", 22000, 20, 40, 20, false},
    {"MIDCPNIFTY", 21000, 20, 75, 20, false},
    {"NIFTYNXT", 45000, 20, 10, 20, false},
    {"SENSEX", 49000, 20, 10, 20, false},
    {"BANKEX", 42000, 20, 15, 20, false},
    {"INDIAVIX", 14, 400, 1, 1, false},
    // MCX
    {"CRUDEOIL", 6500, 1, 1, 10, true},
    {"CRUDEOILM", 6500, 1, 1, 10, true},
    {"GOLD", 72000, 1, 1, 5, true},
    {"GOLDM", 72000, 1, 1, 10, true},
    {"GOLDGUINEA", 58000, 1, 1, 10, true},
    {"GOLDPETAL", 7200, 1, 1, 20, true},
    {"SILVER", 88000, 1, 1, 5, true},
    {"SILVERM", 88000, 1, 1, 10, true},
    {"SILVERMIC", 88000, 1, 1, 20, true},
    {"NATURALGAS", 230, 10, 1, 10, true},
    {"NATGASMINI", 230, 10, 1, 20, true},
    {"COPPER", 830, 20, 1, 10, true},
    {"ZINC", 260, 20, 1, 10, true},
    {"ALUMINIUM", 230, 20, 1, 10, true},
    {"LEAD", 185, 20, 1, 10, true},
    {"NICKEL", 1600, 10, 1, 10, true},
    // Indian currency derivatives
    {"USDINR", 83.5, 400, 1, 50, true},
    {"EURINR", 90.2, 400, 1, 50, true},
    {"GBPINR", 105.6, 400, 1, 50, true},
    {"JPYINR", 55.1, 400, 1, 50, true},
    // FOREX, metals, energy and crypto against the dollar
    {"EURUSD", 1.08, 10000, 1, 10, false},
    {"GBPUSD", 1.27, 10000, 1, 10, false},
    {"AUDUSD", 0.66, 10000, 1, 10, false},
    {"NZDUSD", 0.60, 10000, 1, 10, false},
    {"USDCHF", 0.90, 10000, 1, 10, false},
    {"USDCAD", 1.36, 10000, 1, 10, false},
    {"USDJPY", 155, 1000, 1, 10, false},
    {"XAUUSD", 2000, 100, 1, 10, false},
    {"XAGUSD", 24, 1000, 1, 10, false},
    {"XPTUSD", 950, 100, 1, 10, false},
    {"XNGUSD", 2.5, 1000, 1, 10, false},
    {"USOIL", 78, 100, 1, 10, false},
    {"UKOIL", 82, 100, 1, 10, false},
    {"BTCUSD", 60000, 100, 1, 5, false},
    {"ETHUSD", 3000, 100, 1, 10, false},
    {"XRPUSD", 0.5, 10000, 1, 50, false},
    {"LTCUSD", 80, 100, 1, 20, false},
};

quint32 fnv1a(const QByteArray &bytes)
{
    quint32 h = 2166136261u;
    for (char c : bytes) {
        h ^= static_cast<quint8>(c);
        h *= 16777619u;
    }
    return h;
}

// Fraction in [0, 1) that depends only on the name, so a stock starts at the same level
// whatever the seed.
double nameFraction(const QString &name)
{
    return fnv1a(name.toUtf8()) / 4294967296.0;
}

} // namespace

TickGenerator::TickGenerator(quint32 seed)
    : m_rng(seed)
{
}

TickGenerator::Profile TickGenerator::profileFor(const QString &symbol)
{
    static const QRegularExpression continuation(QStringLiteral("-I{1,3}$"));
    static const QRegularExpression option(QStringLiteral("\\d.*(CE|PE)$"));
    static const QRegularExpression leadingName(QStringLiteral("^[A-Z&]+"));

    const QString name = symbol.trimmed().toUpper();
    QString stem = name;
    stem.remove(continuation);
    const bool isFuture = stem.size() != name.size() || name.endsWith(QLatin1String("FUT"));
    const bool isOption = option.match(name).hasMatch();
    const QString base = leadingName.match(stem).captured(0);

    Profile p;
    if (isOption) {
        // An option premium, not the underlying's level.
        p.level = 20 + 580 * nameFraction(name);
        p.divisor = 20;
        p.lot = 25;
        p.maxLots = 20;
        p.derivative = true;
        return p;
    }

    for (const Known &k : kKnown) {
        if (base == QLatin1String(k.base)) {
            p.level = k.level;
            p.divisor = k.divisor;
            p.lot = k.lot;
            p.maxLots = k.maxLots;
            // Contracts carry open interest; spot FX and index values do not.
            p.derivative = isFuture || k.contract;
            return p;
        }
    }

    if (base.size() == 6 && base.endsWith(QLatin1String("USD"))) {
        p.level = 0.5 + 1.5 * nameFraction(base);
        p.divisor = 10000;
        p.lot = 1;
        p.maxLots = 10;
        return p;
    }

    // Anything else trades like an Indian stock between 100 and 3000 (log-uniform).
    p.level = 100.0 * std::pow(30.0, nameFraction(base.isEmpty() ? name : base));
    p.divisor = 20;
    if (isFuture) {
        p.lot = 250;
        p.maxLots = 10;
        p.derivative = true;
    } else {
        p.lot = 1;
        p.maxLots = 500;
    }
    return p;
}

TickGenerator::State &TickGenerator::stateFor(const QString &symbol)
{
    auto it = m_states.find(symbol);
    if (it != m_states.end())
        return *it;

    State s;
    s.profile = profileFor(symbol);
    // Start within half a percent of the reference level, so two runs with different
    // seeds do not print identical opening prices.
    const double start = s.profile.level * (1.0 + 0.005 * (2.0 * m_rng.generateDouble() - 1.0));
    s.anchorTicks = std::max<qint64>(1, std::llround(s.profile.level * s.profile.divisor));
    s.priceTicks = std::max<qint64>(1, std::llround(start * s.profile.divisor));
    // About 0.8 basis points per trade, never less than one tick.
    s.stepTicks = std::max(1.0, s.anchorTicks * 0.00008);
    s.vol = s.profile.lot * m_rng.bounded(100, 5000);
    s.oi = s.profile.derivative ? s.profile.lot * m_rng.bounded(1000, 100000) : 0;
    return *m_states.insert(symbol, s);
}

double TickGenerator::gaussian()
{
    // Box-Muller; 1 - u keeps the logarithm's argument away from zero.
    const double u = 1.0 - m_rng.generateDouble();
    const double v = m_rng.generateDouble();
    return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * M_PI * v);
}

Tick TickGenerator::next(const QString &symbol, qint64 nowEpochMs)
{
    State &s = stateFor(symbol);

    // Random walk with a weak pull back to the reference level, so a long run stays plausible.
    const double pull = (s.anchorTicks - s.priceTicks) * 0.002;
    s.priceTicks += std::llround(gaussian() * s.stepTicks + pull);
    s.priceTicks = std::max<qint64>(1, s.priceTicks);

    const qint64 qty = s.profile.lot * (1 + m_rng.bounded(s.profile.maxLots));
    s.vol += qty;
    if (s.profile.derivative) {
        const qint64 change = s.profile.lot * (m_rng.bounded(7) - 3);
        s.oi = std::max(s.profile.lot, s.oi + change);
    }

    s.lastMs = std::max(nowEpochMs, s.lastMs + 1);

    Tick t;
    t.symbol = symbol;
    const QDateTime when = QDateTime::fromMSecsSinceEpoch(s.lastMs);
    t.ltd = when.date().toString(QStringLiteral("yyyyMMdd"));
    t.ltt = when.time().toString(QStringLiteral("HH:mm:ss.zzz"));
    t.epochMs = s.lastMs;
    // Integer ticks divided by the divisor give the double nearest the decimal price, so the
    // wire text is the exact decimal (24567.35, not 24567.350000000002).
    t.ltp = double(s.priceTicks) / double(s.profile.divisor);
    t.ltq = qty;
    t.oi = s.oi;
    t.vol = s.vol;

    const QByteArray price = priceText(t.ltp);
    const QByteArray ltq = QByteArray::number(t.ltq);
    const QByteArray oi = QByteArray::number(t.oi);
    const QByteArray vol = QByteArray::number(t.vol);
    const QByteArray ltd = t.ltd.toLatin1();
    const QByteArray ltt = t.ltt.toLatin1();

    t.json.reserve(160);
    t.json += "{\"type\":\"T\",\"symbol\":";
    t.json += jsonString(symbol);
    t.json += ",\"ltd\":\"" + ltd + "\",\"ltt\":\"" + ltt + "\",\"ltp\":" + price + ",\"ltq\":" + ltq
              + ",\"oi\":" + oi + ",\"vol\":" + vol + '}';

    t.logLine = symbol.toUtf8() + ',' + ltd + ',' + ltt + ',' + price + ',' + ltq + ',' + oi + ','
                + vol + ',';
    return t;
}

QByteArray TickGenerator::priceText(double price)
{
    return QByteArray::number(price, 'g', QLocale::FloatingPointShortest);
}

QByteArray TickGenerator::jsonString(const QString &text)
{
    QByteArray out;
    out.reserve(text.size() + 2);
    out += '"';
    for (const char c : text.toUtf8()) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<quint8>(c) < 0x20) {
                char buf[8];
                qsnprintf(buf, sizeof buf, "\\u%04x", static_cast<quint8>(c));
                out += buf;
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}
