#include "platform/notify/notifications.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "platform/core/process_state.h"
#include "platform/core/trace.h"
#include "platform/loop/runloop.h"
#include "platform/notify/testing.h"

namespace platform {

using objc::id;
using objc::SEL;

struct NotificationCenterImpl {
    enum class Kind { Darwin, Telephony, Distributed };

    struct Registration {
        uint64_t serial;
        const void* observer;
        CFNotificationCallback callback;  // CF-style registrations
        SEL selector;                     // distributed registrations (observer is an id)
        std::optional<std::string> name;  // none: every name
        const void* object;
        int32_t suspensionBehavior;

        bool wants(const std::string& n, const void* sender) const {
            return (!name || *name == n) && (object == nullptr || object == sender);
        }
    };

    explicit NotificationCenterImpl(Kind k) : kind(k) {}

    // Registrations stay in serial order: added at the end, removed in place.
    void add(Registration r) {
        r.serial = nextSerial++;
        registrations.push_back(std::move(r));
        ++changes;
    }

    void remove(const void* observer, const char* name, const void* object) {
        changes += std::erase_if(registrations, [&](const Registration& r) {
            return r.observer == observer && (name == nullptr || (r.name && *r.name == name)) &&
                   (object == nullptr || r.object == object);
        });
    }

    void removeEvery(const void* observer) {
        changes += std::erase_if(registrations,
                                 [&](const Registration& r) { return r.observer == observer; });
    }

    void reset() {
        registrations.clear();
        ++changes;
    }

    // Hands one notification to the observers registered now. Each one's registration is
    // checked again just before its turn, since earlier handlers may remove later observers
    // (or free them). While no handler has changed the registrations, each due one is still
    // where it was found; after a change it is looked up by its serial (the list stays in
    // serial order), and one no longer there is skipped.
    void deliver(const std::string& name, const void* object, const Value& userInfo) {
        std::vector<Due> due;
        due.swap(spareDue);  // reuses the last delivery's buffer (a nested one makes its own)
        due.clear();
        for (size_t i = 0; i < registrations.size(); ++i)
            if (registrations[i].wants(name, object)) due.push_back({registrations[i].serial, i});
        const uint64_t before = changes;
        objc::Strong<NSNotification> note;  // one for every distributed observer, as on the phone
        for (const Due& d : due) {
            size_t at = d.index;
            if (changes != before) {
                at = static_cast<size_t>(
                    std::lower_bound(
                        registrations.begin(), registrations.end(), d.serial,
                        [](const Registration& r, uint64_t s) { return r.serial < s; }) -
                    registrations.begin());
                if (at == registrations.size() || registrations[at].serial != d.serial) continue;
            }
            // The handler may change the list: take what the call needs first.
            const Registration& r = registrations[at];
            void* observer = const_cast<void*>(r.observer);
            if (kind == Kind::Distributed) {
                const SEL selector = r.selector;
                if (!note) note = objc::adopt(NSNotification::create(name, nullptr, userInfo));
                objc::msgSend(static_cast<id>(observer), selector, static_cast<id>(note.get()));
            } else if (CFNotificationCallback callback = r.callback) {
                callback(this, observer, name, object, userInfo.dictionary());
            }
        }
        if (due.capacity() > spareDue.capacity()) spareDue.swap(due);
    }

    Kind kind;
    std::vector<Registration> registrations;
    uint64_t nextSerial = 1;
    uint64_t changes = 0;  // bumped by every addition and removal
    struct Due {
        uint64_t serial;
        size_t index;  // where it was when the delivery began
    };
    std::vector<Due> spareDue;
};

namespace {

NotificationCenterImpl& darwin() {
    static auto* c = new NotificationCenterImpl(NotificationCenterImpl::Kind::Darwin);
    return *c;
}
NotificationCenterImpl& telephony() {
    static auto* c = new NotificationCenterImpl(NotificationCenterImpl::Kind::Telephony);
    return *c;
}
NotificationCenterImpl& distributed() {
    static auto* c = new NotificationCenterImpl(NotificationCenterImpl::Kind::Distributed);
    return *c;
}

void forgetFreedObject(id obj) { distributed().removeEvery(obj); }

void receiveEnvelope(const Envelope& e) {
    if (e.channel == Channel::Darwin)
        darwin().deliver(e.name, nullptr, Value());
    else
        distributed().deliver(e.name, nullptr, e.userInfo);
}

std::unique_ptr<Transport>& transportSlot() {
    static auto* t = [] {
        auto* slot = new std::unique_ptr<Transport>(std::make_unique<InProcessTransport>());
        (*slot)->setReceiver(&receiveEnvelope);
        return slot;
    }();
    return *t;
}

}  // namespace

void InProcessTransport::send(const Envelope& envelope) {
    // The delivery holds its own copy of the receiver: it may run after this transport has
    // been replaced.
    auto deliver = receiver();
    RunLoop::main().schedule(0, [deliver, envelope] {
        if (deliver) deliver(envelope);
    });
}

Transport& transport() { return *transportSlot(); }

void setTransport(std::unique_ptr<Transport> t) {
    t->setReceiver(&receiveEnvelope);
    transportSlot() = std::move(t);
    // Interest registered before the switch carries over.
    for (const auto& r : darwin().registrations)
        transport().watch(Channel::Darwin, r.name.value_or(""));
    for (const auto& r : distributed().registrations)
        transport().watch(Channel::Distributed, r.name.value_or(""));
}

CFNotificationCenterRef CFNotificationCenterGetDarwinNotifyCenter() { return &darwin(); }
CFNotificationCenterRef CTTelephonyCenterGetDefault() { return &telephony(); }

void CFNotificationCenterAddObserver(CFNotificationCenterRef center, const void* observer,
                                     CFNotificationCallback callback, const char* name,
                                     const void* object, int32_t suspensionBehavior) {
    if (center == nullptr || callback == nullptr) return;
    std::optional<std::string> n;
    if (name != nullptr) n = name;
    center->add({0, observer, callback, nullptr, n, object, suspensionBehavior});
    if (tracing()) {
        trace(events::Bookkeeping{std::string("observer added: ") +
                                  (center == &darwin() ? "darwin " : "telephony ") +
                                  n.value_or("*")});
    }
    if (center == &darwin()) transport().watch(Channel::Darwin, n.value_or(""));
}

void CTTelephonyCenterAddObserver(CFNotificationCenterRef center, const void* observer,
                                  CFNotificationCallback callback, const char* name,
                                  const void* object, int32_t suspensionBehavior) {
    CFNotificationCenterAddObserver(center, observer, callback, name, object, suspensionBehavior);
}

void CFNotificationCenterRemoveObserver(CFNotificationCenterRef center, const void* observer,
                                        const char* name, const void* object) {
    if (center != nullptr) center->remove(observer, name, object);
}

void CFNotificationCenterRemoveEveryObserver(CFNotificationCenterRef center, const void* observer) {
    if (center != nullptr) center->removeEvery(observer);
}

void CFNotificationCenterPostNotification(CFNotificationCenterRef center, const char* name,
                                          const void* object, const Dictionary* userInfo,
                                          bool /*deliverImmediately*/) {
    if (center == nullptr || name == nullptr) return;
    if (center == &darwin()) {
        transport().send(Envelope{Channel::Darwin, name, Value()});
        return;
    }
    Value info = userInfo ? Value(*userInfo) : Value();
    std::string n = name;
    RunLoop::main().schedule(0, [center, n, object, info] { center->deliver(n, object, info); });
}

size_t CFNotificationCenterObserverCount(CFNotificationCenterRef center) {
    return center ? center->registrations.size() : 0;
}

size_t distributedObserverCount() { return distributed().registrations.size(); }

void state::resetNotifications() {
    darwin().reset();
    telephony().reset();
    distributed().reset();
    setTransport(std::make_unique<InProcessTransport>());
}

// --- NSNotification ------------------------------------------------------------------------

namespace {
std::string notification_name(id self, SEL) { return static_cast<NSNotification*>(self)->name(); }
id notification_object(id self, SEL) { return static_cast<NSNotification*>(self)->object(); }
std::string notification_description(id self, SEL) {
    auto* n = static_cast<NSNotification*>(self);
    std::string out = "NSConcreteNotification " + objc::addressText(self) + " {name = " + n->name();
    if (n->object() != nullptr) out += "; object = " + objc::describe(n->object());
    if (!n->userInfo().isNone()) out += "; userInfo = " + n->userInfo().description();
    return out + "}";
}
}  // namespace

objc::Class NSNotification::cls() {
    static objc::Class c = [] {
        objc::Class k =
            objc::registerCxxClass<NSNotification>("NSNotification", objc::NSObject::cls());
        objc::addMethod(k, SEL_("name"), &notification_name);
        objc::addMethod(k, SEL_("object"), &notification_object);
        objc::addMethod(k, SEL_("description"), &notification_description);
        return k;
    }();
    return c;
}

NSNotification* NSNotification::create(std::string name, id object, Value userInfo) {
    auto* n = static_cast<NSNotification*>(objc::class_createInstance(cls()));
    n->name_ = std::move(name);
    n->object_ = objc::retained(object);
    n->userInfo_ = std::move(userInfo);
    return n;
}

// --- NSDistributedNotificationCenter -------------------------------------------------------

namespace {

id center_defaultCenter(id, SEL) { return NSDistributedNotificationCenter::defaultCenter(); }

void center_addObserver(id, SEL, id observer, SEL selector, std::string name, id object) {
    if (observer == nullptr || selector == nullptr) return;
    std::optional<std::string> n;
    if (!name.empty()) n = name;
    distributed().add(
        {0, observer, nullptr, selector, n, object, CFNotificationSuspensionBehaviorCoalesce});
    transport().watch(Channel::Distributed, name);
}

void center_removeObserver(id, SEL, id observer, std::string name, id object) {
    distributed().remove(observer, name.empty() ? nullptr : name.c_str(), object);
}

void center_post(id, SEL, std::string name, id /*object*/, Value userInfo, bool /*immediately*/) {
    transport().send(Envelope{Channel::Distributed, std::move(name), std::move(userInfo)});
}

}  // namespace

objc::Class NSDistributedNotificationCenter::cls() {
    static objc::Class c = [] {
        objc::Class k = objc::registerCxxClass<NSDistributedNotificationCenter>(
            "NSDistributedNotificationCenter", objc::NSObject::cls());
        objc::addClassMethod(k, SEL_("defaultCenter"), &center_defaultCenter);
        objc::addMethod(k, SEL_("addObserver:selector:name:object:"), &center_addObserver);
        objc::addMethod(k, SEL_("removeObserver:name:object:"), &center_removeObserver);
        objc::addMethod(k, SEL_("postNotificationName:object:userInfo:deliverImmediately:"),
                        &center_post);
        objc::addDeallocListener(&forgetFreedObject);
        return k;
    }();
    return c;
}

NSDistributedNotificationCenter* NSDistributedNotificationCenter::defaultCenter() {
    static NSDistributedNotificationCenter* center = [] {
        auto* c = static_cast<NSDistributedNotificationCenter*>(objc::class_createInstance(cls()));
        c->immortal = true;
        return c;
    }();
    return center;
}

void distributedAddObserver(id observer, SEL selector, const std::string& name) {
    objc::msgSend(NSDistributedNotificationCenter::defaultCenter(),
                  SEL_("addObserver:selector:name:object:"), observer, selector, name, id{nullptr});
}

void distributedRemoveObserver(id observer, const std::string& name) {
    objc::msgSend(NSDistributedNotificationCenter::defaultCenter(),
                  SEL_("removeObserver:name:object:"), observer, name, id{nullptr});
}

void distributedPost(const std::string& name) {
    objc::msgSend(NSDistributedNotificationCenter::defaultCenter(),
                  SEL_("postNotificationName:object:userInfo:deliverImmediately:"), name,
                  id{nullptr}, Value(), true);
}

}  // namespace platform
