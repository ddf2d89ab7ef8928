#include "platform/executabletrust.h"

namespace ExecutableTrust {

bool mayRun(const QString &path, const QString &publisher, QString *why)
{
    if (publisher.isEmpty())
        return true;
    *why = QStringLiteral("%1: no Authenticode signature can be checked on this system").arg(path);
    return false;
}

} // namespace ExecutableTrust
