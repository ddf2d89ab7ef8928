#include "platform/brokercallretry.h"

namespace BrokerCallRetry {

quint32 answer(quint32 elapsedMs, quint32 rejectType)
{
    if (rejectType != Rejected && rejectType != RetryLater)
        return kGiveUp;
    // The last attempt must still start inside the bound.
    if (elapsedMs + kRetryPauseMs > kRetryForMs)
        return kGiveUp;
    return kRetryPauseMs;
}

} // namespace BrokerCallRetry
