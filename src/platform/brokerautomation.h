#pragma once

#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <memory>

// The charting program's automation object, reduced to the one call the product makes:
// dynamicCall with a call text ("Import(0,<file>,<format>)", "RefreshAll()", ...) and
// optional arguments. On Windows this is a QAxWidget on "Broker.Application"; elsewhere
// it is the broker stand-in, which really imports into a per-database quote store.
class BrokerAutomation : public QObject
{
    Q_OBJECT
public:
    explicit BrokerAutomation(QObject *parent = nullptr) : QObject(parent) {}
    ~BrokerAutomation() override = default;

    // Same contract as QAxBase::dynamicCall: a null QVariant means the call failed or
    // returned nothing.
    virtual QVariant dynamicCall(const char *function, const QVariantList &args = {}) = 0;

    // Creates the platform's automation object ("Broker.Application"). May return null
    // when the charting program is not installed (Windows).
    static std::unique_ptr<BrokerAutomation> create(QObject *parent = nullptr);
};
