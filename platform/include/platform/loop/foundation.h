// Foundation-like classes the deliverables use: dates, boxed numbers, closures as objects,
// timers, delayed performs, the assertion handler, the main bundle and preferred languages.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/core/runtime.h"
#include "platform/loop/runloop.h"
#include "platform/values/value.h"

namespace platform {

using objc::Class;
using objc::id;
using objc::SEL;

// NSDate: an immutable point in time read from the process clock.
class NSDate : public objc::NSObject {
  public:
    static Class cls();
    // +date: now, autoreleased.
    static NSDate* date();
    // A new date (+1) at now.
    static NSDate* newNow();
    double timeIntervalSinceReferenceDate() const { return t_; }
    // Seconds from this date until now (negative for a past date, as on the phone).
    double timeIntervalSinceNow() const;

    static void* operator new(size_t size);
    static void operator delete(void* p);

  private:
    double t_ = 0;
};

// NSNumber: a boxed boolean or number.
class NSNumber : public objc::NSObject {
  public:
    static Class cls();
    static NSNumber* numberWithBool(bool b);  // autoreleased
    static NSNumber* numberWithInt(int32_t i);
    const Value& value() const { return v_; }

  private:
    Value v_;
};

// A closure held as an object, so it can travel as a timer's user information.
class Block : public objc::NSObject {
  public:
    static Class cls();
    static Block* create(std::function<void(id)> fn);  // +1
    const std::function<void(id)>& function() const { return fn_; }

  private:
    std::function<void(id)> fn_;
};

// NSTimer: fires target/selector with itself as the argument, once or every interval.
class NSTimer : public objc::NSObject {
  public:
    static Class cls();
    // Autoreleased, not yet on a run loop.
    static NSTimer* timerWithTimeInterval(double interval, id target, SEL selector, id userInfo,
                                          bool repeats);
    // Autoreleased and already scheduled on the main run loop.
    static NSTimer* scheduledTimerWithTimeInterval(double interval, id target, SEL selector,
                                                   id userInfo, bool repeats);
    // Adds the timer to the main run loop, which keeps it until it is invalidated.
    static void addToMainRunLoop(NSTimer* timer);

    void invalidate();
    void fire();
    bool isValid() const { return valid_; }
    double timeInterval() const { return interval_; }
    bool repeats() const { return repeats_; }
    id userInfo() const { return userInfo_; }
    id target() const { return target_; }

  private:
    void arm();
    double interval_ = 0;
    bool repeats_ = false;
    bool valid_ = true;
    objc::Strong<NSTimer> runLoopHold_;  // the run loop's reference while it is scheduled
    objc::Strong<objc::Object> target_;  // kept until invalidation
    SEL selector_ = nullptr;
    objc::Strong<objc::Object> userInfo_;  // kept until invalidation
    RunLoop::TaskId task_ = 0;
};

// -performSelector:withObject:afterDelay: on the main run loop. Target and argument are
// retained until the perform has run. Never cancelled.
void performSelectorAfterDelay(id target, SEL selector, id argument, double delay);

// What the platform's assertion handler raises.
class NSException : public std::runtime_error {
  public:
    NSException(std::string name, std::string reason, std::string method, std::string file,
                int line)
        : std::runtime_error(reason),
          name(std::move(name)),
          reason(std::move(reason)),
          method(std::move(method)),
          file(std::move(file)),
          line(line) {}
    std::string name;
    std::string reason;
    std::string method;
    std::string file;
    int line;
};

class NSAssertionHandler {
  public:
    static NSAssertionHandler& currentHandler();
    // Logs "*** Assertion failure in <method>, <file>:<line>" and raises
    // NSInternalInconsistencyException with the description as its reason.
    [[noreturn]] void handleFailureInMethod(SEL selector, id object, const std::string& file,
                                            int line, const std::string& description);
};

// NSBundle: the main bundle's identifier, and bundles found by path.
namespace bundle {
void setMainBundleIdentifier(std::string identifier);
std::string mainBundleIdentifier();
}  // namespace bundle

// NSLocale: the user's preferred languages, most preferred first.
namespace locale {
void setPreferredLanguages(std::vector<std::string> languages);
std::vector<std::string> preferredLanguages();
}  // namespace locale

}  // namespace platform
