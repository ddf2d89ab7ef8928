#include "live/jsonguard.h"

#include <QString>
#include <QVarLengthArray>
#include <QVector>

namespace JsonGuard {
namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads the string starting at json[i] == '"'; leaves i after the closing quote. The
// unescaped text (escapes resolved to UTF-16 code units, so "\u0061" and "a" are one key)
// goes to *out when given. False at a broken string.
bool readString(const QByteArray &json, int &i, QString *out)
{
    ++i; // opening quote
    const int n = json.size();
    int runStart = i;
    auto flushRun = [&](int runEnd) {
        if (out && runEnd > runStart)
            out->append(QString::fromUtf8(json.constData() + runStart, runEnd - runStart));
    };
    while (i < n) {
        const char c = json.at(i);
        if (c == '"') {
            flushRun(i);
            ++i;
            return true;
        }
        if (c != '\\') {
            ++i;
            continue;
        }
        flushRun(i);
        if (i + 1 >= n)
            return false;
        const char e = json.at(i + 1);
        if (e == 'u') {
            if (i + 5 >= n)
                return false;
            int code = 0;
            for (int k = 2; k < 6; ++k) {
                const int h = hexValue(json.at(i + k));
                if (h < 0)
                    return false;
                code = code * 16 + h;
            }
            if (out)
                out->append(QChar(static_cast<ushort>(code)));
            i += 6;
        } else {
            if (out) {
                switch (e) {
                case 'n': out->append(QLatin1Char('\n')); break;
                case 't': out->append(QLatin1Char('\t')); break;
                case 'r': out->append(QLatin1Char('\r')); break;
                case 'b': out->append(QLatin1Char('\b')); break;
                case 'f': out->append(QLatin1Char('\f')); break;
                default: out->append(QLatin1Char(e)); break; // \" \\ \/ (others: parser refuses)
                }
            }
            i += 2;
        }
        runStart = i;
    }
    return false;
}

} // namespace

bool hasUniqueKeys(const QByteArray &json)
{
    // Qt's parser refuses deeper nesting anyway; the cap keeps the scan's own stack small.
    constexpr int kMaxDepth = 1024;
    // One entry per open container; expectKey is true right after '{' or after ',' inside
    // an object. Keys are compared as UTF-8: the raw bytes when the key has no escape (the
    // usual case, no copy of the text), the unescaped text otherwise. Objects of a feed
    // frame have a handful of keys, so a linear search beats hashing.
    struct Level
    {
        bool isObject = false;
        QVarLengthArray<QByteArray, 12> keys;
    };
    QVector<Level> stack;
    bool expectKey = false;
    const int n = json.size();
    int i = 0;
    while (i < n) {
        const char c = json.at(i);
        switch (c) {
        case '{':
        case '[':
            if (stack.size() >= kMaxDepth)
                return false;
            stack.append(Level());
            stack.last().isObject = (c == '{');
            expectKey = (c == '{');
            ++i;
            break;
        case '}':
        case ']':
            if (stack.isEmpty())
                return false;
            stack.removeLast();
            expectKey = false;
            ++i;
            break;
        case ',':
            expectKey = !stack.isEmpty() && stack.last().isObject;
            ++i;
            break;
        case '"': {
            if (!expectKey) {
                if (!readString(json, i, nullptr))
                    return false;
                break;
            }
            const int quote = i;
            if (!readString(json, i, nullptr) || stack.isEmpty())
                return false;
            QByteArray key = json.mid(quote + 1, i - quote - 2);
            if (key.contains('\\')) {
                int again = quote;
                QString unescaped;
                readString(json, again, &unescaped);
                key = unescaped.toUtf8();
            }
            auto &keys = stack.last().keys;
            for (const QByteArray &seen : keys) {
                if (seen == key)
                    return false;
            }
            keys.append(key);
            expectKey = false;
            break;
        }
        default:
            ++i; // values, ':' and white space need no attention here
            break;
        }
    }
    return true;
}

} // namespace JsonGuard
