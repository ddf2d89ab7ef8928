#include "platform/brokermessagefilter_win.h"

#include "platform/brokercallretry.h"

#include <QDebug>

HRESULT STDMETHODCALLTYPE BrokerMessageFilter::QueryInterface(REFIID riid, void **object)
{
    if (!object)
        return E_POINTER;
    if (IsEqualIID(riid, __uuidof(IUnknown)) || IsEqualIID(riid, __uuidof(IMessageFilter))) {
        *object = static_cast<IMessageFilter *>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE BrokerMessageFilter::AddRef()
{
    return ULONG(InterlockedIncrement(&m_refs));
}

ULONG STDMETHODCALLTYPE BrokerMessageFilter::Release()
{
    const LONG left = InterlockedDecrement(&m_refs);
    if (left == 0)
        delete this;
    return ULONG(left);
}

DWORD STDMETHODCALLTYPE BrokerMessageFilter::HandleInComingCall(DWORD, HTASK, DWORD,
                                                                LPINTERFACEINFO)
{
    // The broker thread serves no objects of its own; whatever calls in is let through.
    return SERVERCALL_ISHANDLED;
}

DWORD STDMETHODCALLTYPE BrokerMessageFilter::RetryRejectedCall(HTASK, DWORD tickCount,
                                                               DWORD rejectType)
{
    static_assert(quint32(BrokerCallRetry::Rejected) == quint32(SERVERCALL_REJECTED), "COM's reject type values");
    static_assert(quint32(BrokerCallRetry::RetryLater) == quint32(SERVERCALL_RETRYLATER), "COM's reject type values");
    const quint32 answer = BrokerCallRetry::answer(quint32(tickCount), quint32(rejectType));
    if (answer == BrokerCallRetry::kGiveUp) {
        qDebug().noquote() << QStringLiteral("Charting program: a call rejected for %1 ms (reject "
                                             "type %2) is given up; it fails with "
                                             "RPC_E_CALL_REJECTED")
                                  .arg(tickCount)
                                  .arg(rejectType);
    }
    return DWORD(answer);
}

DWORD STDMETHODCALLTYPE BrokerMessageFilter::MessagePending(HTASK, DWORD, DWORD)
{
    // Let the thread's own messages (its event loop, COM's) be dispatched while the call
    // is out; the broker thread has no window the user could click meanwhile.
    return PENDINGMSG_WAITDEFPROCESS;
}
