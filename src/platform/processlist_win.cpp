#include "platform/processlist.h"

namespace ProcessList {

QByteArray snapshot()
{
    // 30 s for the whole run: the GUI thread waits here during start-up.
    return runWithin(QStringLiteral("tasklist"), QStringList(), 30000);
}

} // namespace ProcessList
