#include "platform/brokerautomation.h"
#include "platform/standin/brokerstandin.h"

// Without the charting program the stand-in does its work, so the rest of the product
// runs unchanged.
std::unique_ptr<BrokerAutomation> BrokerAutomation::create(QObject *parent)
{
    return std::make_unique<BrokerStandIn>(parent);
}

// The stand-in is a plain object of the thread that makes it.
BrokerApartment::BrokerApartment() : m_ready(true) {}

BrokerApartment::~BrokerApartment() = default;
