// Notification centres: the Darwin notify centre (name only, across processes), the
// distributed notification centre (observer + selector, across processes) and the telephony
// centre (callback with name and user information, within the process).
//
// Delivery is always asynchronous, on the receiving process's main run loop, in posting order,
// to every observer registered at the moment of delivery: an observer removed before its turn
// gets nothing, one added during a delivery waits for the next. A distributed observer is kept
// alive while its handler runs, and an object that is freed drops its registrations (so a
// forgotten removal can never call a freed object).
//
// Suspension behaviours are accepted and stored; the hosts here are never suspended, so every
// behaviour delivers at once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/core/runtime.h"
#include "platform/values/value.h"

namespace platform {

// --- Transport between processes ------------------------------------------------------------

enum class Channel : uint8_t { Darwin = 0, Distributed = 1 };

struct Envelope {
    Channel channel = Channel::Darwin;
    std::string name;
    Value userInfo;  // none, or a dictionary
};

// Carries Darwin and distributed notifications to every process (this one included). A
// transport hands each envelope that arrives to the receiver, on the main run loop, in order.
class Transport {
  public:
    virtual ~Transport() = default;
    virtual void send(const Envelope& envelope) = 0;
    // This process wants envelopes with that name (a bus transport adds a match rule).
    virtual void watch(Channel, const std::string& /*name*/) {}
    void setReceiver(std::function<void(const Envelope&)> receiver) {
        receiver_ = std::move(receiver);
    }

  protected:
    void receive(const Envelope& envelope) const {
        if (receiver_) receiver_(envelope);
    }
    const std::function<void(const Envelope&)>& receiver() const { return receiver_; }

  private:
    std::function<void(const Envelope&)> receiver_;
};

// Delivers back into this process only (tests; a lone process).
class InProcessTransport : public Transport {
  public:
    void send(const Envelope& envelope) override;
};

Transport& transport();
// Installs the process's transport; the centres start using it at once.
void setTransport(std::unique_ptr<Transport> t);

// --- CoreFoundation-style centres ----------------------------------------------------------

struct NotificationCenterImpl;
using CFNotificationCenterRef = NotificationCenterImpl*;

using CFNotificationCallback = void (*)(CFNotificationCenterRef center, void* observer,
                                        const std::string& name, const void* object,
                                        const Dictionary* userInfo);

enum CFNotificationSuspensionBehavior : int32_t {
    CFNotificationSuspensionBehaviorDrop = 1,
    CFNotificationSuspensionBehaviorCoalesce = 2,
    CFNotificationSuspensionBehaviorHold = 3,
    CFNotificationSuspensionBehaviorDeliverImmediately = 4,
};

CFNotificationCenterRef CFNotificationCenterGetDarwinNotifyCenter();

// name nullptr: every notification the centre delivers. object nullptr: from any sender.
void CFNotificationCenterAddObserver(CFNotificationCenterRef center, const void* observer,
                                     CFNotificationCallback callback, const char* name,
                                     const void* object, int32_t suspensionBehavior);
// name nullptr: every registration of the observer.
void CFNotificationCenterRemoveObserver(CFNotificationCenterRef center, const void* observer,
                                        const char* name, const void* object);
void CFNotificationCenterRemoveEveryObserver(CFNotificationCenterRef center, const void* observer);
// On the Darwin centre the object and user information are not carried (as on the phone).
void CFNotificationCenterPostNotification(CFNotificationCenterRef center, const char* name,
                                          const void* object, const Dictionary* userInfo,
                                          bool deliverImmediately);

// The telephony centre: same registration interface, fed by the device model of this process.
CFNotificationCenterRef CTTelephonyCenterGetDefault();
void CTTelephonyCenterAddObserver(CFNotificationCenterRef center, const void* observer,
                                  CFNotificationCallback callback, const char* name,
                                  const void* object, int32_t suspensionBehavior);

// --- NSNotification and the distributed centre ---------------------------------------------

class NSNotification : public objc::NSObject {
  public:
    static objc::Class cls();
    static NSNotification* create(std::string name, objc::id object, Value userInfo);  // +1
    const std::string& name() const { return name_; }
    objc::id object() const { return object_; }
    const Value& userInfo() const { return userInfo_; }

  private:
    std::string name_;
    objc::Strong<objc::Object> object_;
    Value userInfo_;
};

// NSDistributedNotificationCenter. Its operations are runtime messages:
//   +defaultCenter
//   -addObserver:selector:name:object:            (id, SEL, std::string, id)
//   -removeObserver:name:object:                  (id, std::string, id)
//   -postNotificationName:object:userInfo:deliverImmediately:  (std::string, id, Value, bool)
// Observers are not retained. The handler receives an NSNotification, the same one for every
// observer of one delivery.
class NSDistributedNotificationCenter : public objc::NSObject {
  public:
    static objc::Class cls();
    static NSDistributedNotificationCenter* defaultCenter();
};

// C++ conveniences that send the messages above.
void distributedAddObserver(objc::id observer, objc::SEL selector, const std::string& name);
void distributedRemoveObserver(objc::id observer, const std::string& name);
void distributedPost(const std::string& name);

}  // namespace platform
