#include "platform/brokerautomation.h"

#include "platform/brokermessagefilter_win.h"

#include <ActiveQt/QAxObject>
#include <QDebug>

#include <objbase.h>
#include <windows.h>

namespace {

// The charting program's automation object. A QAxObject, not a widget: it lives in the
// broker thread, where no widget may be made. Owned here, so it goes when the wrapper goes
// (in that same thread, before the apartment is torn down).
class AxBrokerAutomation : public BrokerAutomation
{
public:
    explicit AxBrokerAutomation(QObject *parent)
        : BrokerAutomation(parent), m_ax(std::make_unique<QAxObject>())
    {
    }

    bool attach()
    {
        if (!m_ax->setControl(QStringLiteral("Broker.Application")) || m_ax->isNull()) {
            qDebug() << "Broker.Application is not available";
            return false;
        }
        return true;
    }

    QVariant dynamicCall(const char *function, const QVariantList &args) override
    {
        // QAxBase takes the list by non-const reference (out parameters are written back).
        QVariantList vars = args;
        return m_ax->dynamicCall(function, vars);
    }

private:
    std::unique_ptr<QAxObject> m_ax;
};

} // namespace

std::unique_ptr<BrokerAutomation> BrokerAutomation::create(QObject *parent)
{
    auto automation = std::make_unique<AxBrokerAutomation>(parent);
    if (!automation->attach())
        return nullptr;
    return automation;
}

BrokerApartment::BrokerApartment()
{
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    // S_FALSE: already a single-threaded apartment; it still needs its CoUninitialize.
    if (hr == S_OK || hr == S_FALSE) {
        m_uninitialize = true;
    } else {
        // RPC_E_CHANGED_MODE: the thread is multithreaded already; calls would then reach
        // the charting program from a thread it cannot serve, so the object is not made.
        qDebug().noquote() << QStringLiteral("Broker thread: CoInitializeEx failed (0x%1)")
                                  .arg(quint32(hr), 8, 16, QLatin1Char('0'));
        return;
    }
    auto *filter = new BrokerMessageFilter;
    LPMESSAGEFILTER previous = nullptr;
    if (SUCCEEDED(CoRegisterMessageFilter(filter, &previous))) {
        m_filter = filter; // COM holds its own reference; ours is released at the end
        m_previous = previous;
    } else {
        qDebug() << "Broker thread: the COM message filter could not be registered; rejected "
                    "calls fail at once";
        filter->Release();
    }
    m_ready = true;
}

BrokerApartment::~BrokerApartment()
{
    if (m_filter) {
        LPMESSAGEFILTER ours = nullptr;
        CoRegisterMessageFilter(static_cast<LPMESSAGEFILTER>(m_previous), &ours);
        if (ours)
            ours->Release(); // the reference COM held
        if (m_previous)
            static_cast<LPMESSAGEFILTER>(m_previous)->Release(); // handed to us by the first call
        static_cast<BrokerMessageFilter *>(m_filter)->Release();
    }
    if (m_uninitialize)
        CoUninitialize();
}
