#pragma once

#include <QByteArray>

// Qt 5.15's JSON parser loses about 140 bytes every time an object repeats a key whose
// earlier value is an object or an array ({"a":{},"a":1}); a data server sending such frames
// would grow the process without bound. The data server never repeats a key, so a frame
// that does is refused before it reaches the parser.
namespace JsonGuard {

// False when some object of the JSON text repeats a key (after unescaping), or when the
// text is so broken that it cannot be scanned or nests deeper than 1024 levels (the
// parser would refuse it anyway). The scan is linear in the size of the text.
bool hasUniqueKeys(const QByteArray &json);

} // namespace JsonGuard
