#include "live/linefields.h"

#include <cstring>

namespace LineFields {

int split(const char *data, qint64 size, Field *fields, int count)
{
    const char *end = data + size;
    const char *b = data;
    int found = 0;
    while (found < count) {
        const auto *comma = static_cast<const char *>(std::memchr(b, ',', size_t(end - b)));
        const char *e = comma ? comma : end;
        const char *fieldEnd = e;
        // Only blanks and tabs count as padding here: any other space character is part
        // of the field (a symbol's is judged where it is stored).
        while (b < e && (*b == ' ' || *b == '\t'))
            ++b;
        while (e > b && (e[-1] == ' ' || e[-1] == '\t'))
            --e;
        fields[found++] = Field{b - data, e - b};
        if (!comma)
            break;
        b = fieldEnd + 1;
    }
    return found;
}

} // namespace LineFields
