#pragma once

#include <windows.h>
#include <objbase.h>

// The broker thread's COM message filter. ActiveQt registers none, so a call the charting
// program rejects because it is busy (an exploration, a modal dialog, its own shutdown)
// failed at once with RPC_E_CALL_REJECTED. This one retries such calls for a bounded time
// (BrokerCallRetry) and logs the calls that still fail. Incoming calls and pending
// messages get COM's default handling. Reference counted; created with one reference.
class BrokerMessageFilter final : public IMessageFilter
{
public:
    BrokerMessageFilter() = default;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IMessageFilter
    DWORD STDMETHODCALLTYPE HandleInComingCall(DWORD callType, HTASK caller, DWORD tickCount,
                                               LPINTERFACEINFO interfaceInfo) override;
    DWORD STDMETHODCALLTYPE RetryRejectedCall(HTASK callee, DWORD tickCount,
                                              DWORD rejectType) override;
    DWORD STDMETHODCALLTYPE MessagePending(HTASK callee, DWORD tickCount,
                                           DWORD pendingType) override;

private:
    ~BrokerMessageFilter() = default;
    LONG m_refs = 1;
};
