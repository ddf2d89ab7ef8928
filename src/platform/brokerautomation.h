#pragma once

#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <atomic>
#include <memory>

// The charting program's automation object, reduced to the one call the product makes:
// dynamicCall with a call text ("Import(0,<file>,<format>)", "RefreshAll()", ...) and
// optional arguments. On Windows this is a QAxObject on "Broker.Application"; elsewhere
// it is the broker stand-in, which really imports into a per-database quote store.
//
// The object is made, called and destroyed in the broker thread (BrokerThread) only, after
// that thread has set up its BrokerApartment.
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

    // Set by the broker thread when it makes the object: the flag turns true once nobody
    // waits for this object's answers any more (the program is closing). A call that can
    // give up waiting (the stand-in's stall) then returns null at once. The flag is shared,
    // so it stays valid for as long as the object can look at it, from any thread.
    void setAbandonFlag(std::shared_ptr<const std::atomic<bool>> flag) { m_abandoned = std::move(flag); }
    bool isAbandoned() const { return m_abandoned && m_abandoned->load(); }

private:
    std::shared_ptr<const std::atomic<bool>> m_abandoned;
};

// What a thread must set up before it may hold the automation object, and undo, in the
// same thread, after the object is gone. On Windows: COM as a single-threaded apartment
// (CoInitializeEx, CoUninitialize) with a message filter that retries the calls a busy
// charting program rejects. Elsewhere the stand-in needs nothing of the kind.
class BrokerApartment
{
public:
    BrokerApartment();
    ~BrokerApartment();
    BrokerApartment(const BrokerApartment &) = delete;
    BrokerApartment &operator=(const BrokerApartment &) = delete;

    // False when the thread could not be set up; the automation object is then not made.
    bool isReady() const { return m_ready; }

private:
    bool m_ready = false;
    bool m_uninitialize = false;
    void *m_filter = nullptr;   // the registered message filter (Windows)
    void *m_previous = nullptr; // the filter it replaced, put back at the end
};
