#pragma once

#include <QtGlobal>

// When a call into a busy charting program is tried again. The charting program's COM
// server rejects calls while it is inside a modal loop or closing ("retry later", or
// rejected outright); the broker thread's message filter asks this what to do. Kept apart
// from the filter so the decision is the same, and tested, on every system.
namespace BrokerCallRetry {

// How long a rejected call is retried, counted from its first attempt.
constexpr quint32 kRetryForMs = 5000;
// Pause between attempts. COM reads 0-99 as "at once" and 100 or more as a wait in ms.
constexpr quint32 kRetryPauseMs = 100;
// The filter's answer for "give up": the caller then sees RPC_E_CALL_REJECTED.
constexpr quint32 kGiveUp = 0xFFFFFFFFu;

// The reject types COM passes (SERVERCALL_REJECTED, SERVERCALL_RETRYLATER).
enum RejectType : quint32 { Rejected = 1, RetryLater = 2 };

// The filter's answer for a call rejected `elapsedMs` after it was first made.
quint32 answer(quint32 elapsedMs, quint32 rejectType);

} // namespace BrokerCallRetry
