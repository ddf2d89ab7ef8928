#pragma once

#include <QString>

// Build versions are dotted decimal numbers ("7.10", "7.10.1"). They are compared part by
// part as numbers, missing parts counting as 0, so "7.10" is newer than "7.9" and equal
// to "7.10.0".
namespace BuildVersion {

// When both texts are dotted numbers: true when latest is the greater one. Otherwise the
// texts are compared as plain strings, character by character: true when current sorts
// before latest ("7.10" before "7.11b"; an empty latest never).
bool isNewer(const QString &current, const QString &latest);

// -1, 0 or 1; false in *ok when either text is not a dotted number.
int compare(const QString &a, const QString &b, bool *ok);

} // namespace BuildVersion
