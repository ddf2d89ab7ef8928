#pragma once

#include <QString>

// Build versions are dotted decimal numbers ("7.10", "7.10.1"). They are compared part by
// part as numbers, missing parts counting as 0, so "7.10" is newer than "7.9" and equal
// to "7.10.0".
namespace BuildVersion {

// True only when both texts are dotted numbers and latest is the greater one. Anything
// else (equal, older, empty or not a version at all) means no update.
bool isNewer(const QString &current, const QString &latest);

// -1, 0 or 1; false in *ok when either text is not a dotted number.
int compare(const QString &a, const QString &b, bool *ok);

} // namespace BuildVersion
