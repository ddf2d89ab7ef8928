#include "app/processexit.h"

#include <QDebug>
#include <cstdlib>

namespace ProcessExit {

static Hook &hook()
{
    static Hook h;
    return h;
}

void endNow(int status)
{
    if (hook()) {
        hook()(status);
        return;
    }
    qDebug() << "Ending the process with status" << status;
    std::exit(status);
}

void setHook(Hook h) { hook() = std::move(h); }

} // namespace ProcessExit
