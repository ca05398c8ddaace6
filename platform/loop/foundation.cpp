#include "platform/loop/foundation.h"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "platform/loop/log.h"

namespace platform {

using objc::msgSend;

// --- NSDate ------------------------------------------------------------------------------

namespace {

// Dates are made on every wave; a free list keeps that off the heap after the first few.
struct DateFreeList {
    void* head = nullptr;
};
DateFreeList& dateFreeList() {
    static DateFreeList* l = new DateFreeList();
    return *l;
}

std::string date_description(id self, SEL) {
    return Value(Date{static_cast<NSDate*>(self)->timeIntervalSinceReferenceDate()}).description();
}

}  // namespace

void* NSDate::operator new(size_t size) {
    auto& l = dateFreeList();
    if (size == sizeof(NSDate) && l.head != nullptr) {
        void* p = l.head;
        l.head = *static_cast<void**>(p);
        return p;
    }
    return ::operator new(std::max(size, sizeof(NSDate)));
}

void NSDate::operator delete(void* p) {
    if (p == nullptr) return;
    auto& l = dateFreeList();
    *static_cast<void**>(p) = l.head;
    l.head = p;
}

Class NSDate::cls() {
    static Class c = [] {
        Class k = objc::registerCxxClass<NSDate>("NSDate", objc::NSObject::cls());
        objc::addMethod(k, SEL_("description"), &date_description);
        return k;
    }();
    return c;
}

NSDate* NSDate::newNow() {
    auto* d = static_cast<NSDate*>(objc::class_createInstance(cls()));
    d->t_ = processClock().now();
    return d;
}

NSDate* NSDate::date() { return static_cast<NSDate*>(objc::objc_autorelease(newNow())); }

double NSDate::timeIntervalSinceNow() const { return t_ - processClock().now(); }

// --- NSNumber ----------------------------------------------------------------------------

namespace {
bool number_boolValue(id self, SEL) {
    return static_cast<NSNumber*>(self)->value().boolValue().value_or(false);
}
int32_t number_intValue(id self, SEL) {
    return static_cast<NSNumber*>(self)->value().intValue().value_or(0);
}
float number_floatValue(id self, SEL) {
    return static_cast<NSNumber*>(self)->value().floatValue().value_or(0.f);
}
std::string number_description(id self, SEL) {
    return static_cast<NSNumber*>(self)->value().description();
}
}  // namespace

Class NSNumber::cls() {
    static Class c = [] {
        Class k = objc::registerCxxClass<NSNumber>("NSNumber", objc::NSObject::cls());
        objc::addMethod(k, SEL_("boolValue"), &number_boolValue);
        objc::addMethod(k, SEL_("intValue"), &number_intValue);
        objc::addMethod(k, SEL_("floatValue"), &number_floatValue);
        objc::addMethod(k, SEL_("description"), &number_description);
        return k;
    }();
    return c;
}

NSNumber* NSNumber::numberWithBool(bool b) {
    auto* n = static_cast<NSNumber*>(objc::class_createInstance(cls()));
    n->v_ = Value(b);
    return static_cast<NSNumber*>(objc::objc_autorelease(n));
}

NSNumber* NSNumber::numberWithInt(int32_t i) {
    auto* n = static_cast<NSNumber*>(objc::class_createInstance(cls()));
    n->v_ = Value(i);
    return static_cast<NSNumber*>(objc::objc_autorelease(n));
}

// --- Block -------------------------------------------------------------------------------

Class Block::cls() {
    static Class c = objc::registerCxxClass<Block>("NSBlock", objc::NSObject::cls());
    return c;
}

Block* Block::create(std::function<void(id)> fn) {
    auto* b = static_cast<Block*>(objc::class_createInstance(cls()));
    b->fn_ = std::move(fn);
    return b;
}

// --- NSTimer -----------------------------------------------------------------------------

namespace {
void timer_invalidate(id self, SEL) { static_cast<NSTimer*>(self)->invalidate(); }
void timer_fire(id self, SEL) { static_cast<NSTimer*>(self)->fire(); }
id timer_userInfo(id self, SEL) { return static_cast<NSTimer*>(self)->userInfo(); }
}  // namespace

Class NSTimer::cls() {
    static Class c = [] {
        Class k = objc::registerCxxClass<NSTimer>("NSTimer", objc::NSObject::cls());
        objc::addMethod(k, SEL_("invalidate"), &timer_invalidate);
        objc::addMethod(k, SEL_("fire"), &timer_fire);
        objc::addMethod(k, SEL_("userInfo"), &timer_userInfo);
        return k;
    }();
    return c;
}

NSTimer* NSTimer::timerWithTimeInterval(double interval, id target, SEL selector, id userInfo,
                                        bool repeats) {
    auto* t = static_cast<NSTimer*>(objc::class_createInstance(cls()));
    // As on the phone, a non-positive interval is taken as 0.1 ms.
    t->interval_ = interval > 0 ? interval : 0.0001;
    t->repeats_ = repeats;
    t->target_ = objc::retained(target);
    t->selector_ = selector;
    t->userInfo_ = objc::retained(userInfo);
    return static_cast<NSTimer*>(objc::objc_autorelease(t));
}

NSTimer* NSTimer::scheduledTimerWithTimeInterval(double interval, id target, SEL selector,
                                                 id userInfo, bool repeats) {
    NSTimer* t = timerWithTimeInterval(interval, target, selector, userInfo, repeats);
    addToMainRunLoop(t);
    return t;
}

void NSTimer::addToMainRunLoop(NSTimer* timer) {
    if (timer == nullptr || !timer->valid_ || timer->runLoopHold_) return;
    timer->runLoopHold_ = objc::retained(timer);  // dropped on invalidation
    timer->arm();
}

void NSTimer::arm() {
    task_ = RunLoop::main().schedule(interval_, [this] {
        task_ = 0;
        fire();
        if (valid_ && repeats_) arm();
    });
}

void NSTimer::fire() {
    if (!valid_) return;
    objc::Strong<NSTimer> keep = objc::Strong<NSTimer>::retain(this);
    msgSend(target_, selector_, static_cast<id>(this));
    if (!repeats_) invalidate();
}

void NSTimer::invalidate() {
    if (!valid_) return;
    valid_ = false;
    if (task_ != 0) RunLoop::main().cancel(task_);
    task_ = 0;
    target_.reset();
    userInfo_.reset();
    runLoopHold_.reset();  // last: it may be the last reference to this timer
}

// --- Delayed perform ---------------------------------------------------------------------

void performSelectorAfterDelay(id target, SEL selector, id argument, double delay) {
    if (target == nullptr) return;
    RunLoop::main().schedule(
        delay, [target = objc::retained(target), selector, argument = objc::retained(argument)] {
            msgSend(target.get(), selector, argument.get());
        });
}

// --- Assertions --------------------------------------------------------------------------

NSAssertionHandler& NSAssertionHandler::currentHandler() {
    static thread_local NSAssertionHandler handler;
    return handler;
}

void NSAssertionHandler::handleFailureInMethod(SEL selector, id object, const std::string& file,
                                               int line, const std::string& description) {
    const bool isClass = object != nullptr && object->isa != nullptr && object->isa->isMeta;
    std::string method = std::string(isClass ? "+[" : "-[") +
                         objc::class_getName(objc::object_getClass(object)) + " " +
                         objc::sel_getName(selector) + "]";
    NSLog("*** Assertion failure in %@, %@:%d", method, file, line);
    throw NSException("NSInternalInconsistencyException", description, method, file, line);
}

// --- Bundle and locale -------------------------------------------------------------------

namespace {
std::string& mainIdentifier() {
    static std::string* s = new std::string();
    return *s;
}
std::vector<std::string>& languages() {
    static std::vector<std::string>* l = new std::vector<std::string>{"en"};
    return *l;
}
}  // namespace

void bundle::setMainBundleIdentifier(std::string identifier) {
    mainIdentifier() = std::move(identifier);
}
std::string bundle::mainBundleIdentifier() { return mainIdentifier(); }

void locale::setPreferredLanguages(std::vector<std::string> l) { languages() = std::move(l); }
std::vector<std::string> locale::preferredLanguages() { return languages(); }

}  // namespace platform
