#pragma once

#include <QtGlobal>

// Comma-separated fields of one line (tick lines, bar lines), without copying them.
namespace LineFields {

// One field: where it starts in the line and how long it is, blanks and tabs around it left
// out.
struct Field
{
    qint64 start = 0;
    qint64 length = 0;
};

// The first `count` fields of a line, in one pass; returns how many the line has (at most
// count).
int split(const char *data, qint64 size, Field *fields, int count);

} // namespace LineFields
