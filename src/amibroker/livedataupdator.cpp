#include "amibroker/livedataupdator.h"

#include "platform/installpaths.h"

liveDataUpdator::liveDataUpdator(BrokerCalls broker, QObject *parent)
    : QThread(parent)
    , eodFormatPath(InstallPaths::formatEod())
    , m_broker(std::move(broker))
{
    connect(this, &liveDataUpdator::doeodbackfill, this, &liveDataUpdator::doEodBackfill);
}

liveDataUpdator::~liveDataUpdator()
{
    // The object is never started as a thread for long (run() only emits), but make sure
    // no run() is in flight when the members go.
    wait();
    // A backfill worker waiting for a broker call is released by the broker thread's
    // shutdown, which comes first, and ends.
    if (m_backfillThread) {
        m_backfillThread->wait();
        delete m_backfillThread;
        m_backfillThread = nullptr;
    }
}

void liveDataUpdator::run()
{
    if (mode == 1)
        emit doeodbackfill();
}
