#include "platform/brokerautomation.h"

#include <ActiveQt/QAxWidget>
#include <QDebug>

namespace {

// The charting program's automation object. The QAxWidget is created without a parent
// (it is a widget, and the owner of this wrapper need not be one) and is owned here, so
// it goes when the wrapper goes.
class AxBrokerAutomation : public BrokerAutomation
{
public:
    explicit AxBrokerAutomation(QObject *parent)
        : BrokerAutomation(parent), m_ax(std::make_unique<QAxWidget>())
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
    std::unique_ptr<QAxWidget> m_ax;
};

} // namespace

std::unique_ptr<BrokerAutomation> BrokerAutomation::create(QObject *parent)
{
    auto automation = std::make_unique<AxBrokerAutomation>(parent);
    if (!automation->attach())
        return nullptr;
    return automation;
}
