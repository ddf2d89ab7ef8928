#include "update/buildversion.h"

#include <QStringList>

namespace BuildVersion {

namespace {

bool parts(const QString &text, QStringList *out)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return false;
    *out = t.split(QLatin1Char('.'));
    for (QString &p : *out) {
        if (p.isEmpty())
            return false;
        for (const QChar c : qAsConst(p)) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
        }
        // Without leading zeros, longer means larger: no part can overflow a number.
        while (p.size() > 1 && p.startsWith(QLatin1Char('0')))
            p.remove(0, 1);
    }
    return true;
}

int comparePart(const QString &a, const QString &b)
{
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    const int c = QString::compare(a, b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

} // namespace

int compare(const QString &a, const QString &b, bool *ok)
{
    QStringList pa;
    QStringList pb;
    *ok = parts(a, &pa) && parts(b, &pb);
    if (!*ok)
        return 0;
    const int n = qMax(pa.size(), pb.size());
    for (int i = 0; i < n; ++i) {
        const int c = comparePart(pa.value(i, QStringLiteral("0")), pb.value(i, QStringLiteral("0")));
        if (c != 0)
            return c;
    }
    return 0;
}

bool isNewer(const QString &current, const QString &latest)
{
    bool ok = false;
    const int c = compare(current, latest, &ok);
    if (ok)
        return c < 0;
    // Not both plain versions: the plain character-by-character order decides, so a
    // server naming "7.11b" still gets its update installed.
    return QString::compare(current, latest) < 0;
}

} // namespace BuildVersion
