#include "platform/processlist.h"

#include "platform/systemprograms.h"

namespace ProcessList {

QByteArray snapshot()
{
    // 30 s for the whole run: the GUI thread waits here during start-up.
    return runWithin(SystemPrograms::path(QStringLiteral("tasklist.exe")), QStringList(), 30000);
}

} // namespace ProcessList
