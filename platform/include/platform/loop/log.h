// The system log, NSLog-style.
//
// The formatter understands the conversions the deliverables use: "%@" (a string, an object's
// description, a property-list value's description, "(null)" for nothing), "%d", "%f" with an
// optional precision such as "%.02f", "%lld", "%s" and "%%". Arguments are type-checked C++
// values, not varargs, so a mismatch cannot read past the argument list: a conversion that does
// not fit its argument prints the argument as best it can.
//
// Lines go to syslog and to an optional capture sink (tests, the simulator). A signal handler
// must use logSignalSafe, which only calls write(2).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <variant>

#include "platform/core/runtime.h"
#include "platform/values/value.h"

namespace platform {

class FormatArg {
  public:
    FormatArg(int v) : v_(int64_t{v}) {}
    FormatArg(unsigned v) : v_(int64_t{v}) {}
    FormatArg(long v) : v_(int64_t{v}) {}
    FormatArg(long long v) : v_(static_cast<int64_t>(v)) {}
    FormatArg(bool v) : v_(int64_t{v ? 1 : 0}) {}
    FormatArg(double v) : v_(v) {}
    FormatArg(float v) : v_(double{v}) {}
    FormatArg(const char* s) : v_(std::string(s ? s : "(null)")) {}
    FormatArg(std::string s) : v_(std::move(s)) {}
    FormatArg(objc::id obj) : v_(obj) {}
    FormatArg(const Value& v) : v_(v.description()) {}
    FormatArg(std::nullptr_t) : v_(objc::id{nullptr}) {}

    std::string asObject() const;  // for %@ and %s
    int64_t asInteger() const;
    double asReal() const;

  private:
    std::variant<int64_t, double, std::string, objc::id> v_;
};

std::string formatArgs(const char* format, const FormatArg* args, size_t count);

template <class... A>
std::string format(const char* fmt, const A&... args) {
    const FormatArg list[] = {FormatArg(args)..., FormatArg(0)};
    return formatArgs(fmt, list, sizeof...(A));
}

// Writes one line to the system log (and the capture sink, when one is set).
void logLine(const std::string& line);

template <class... A>
void NSLog(const char* fmt, const A&... args) {
    logLine(format(fmt, args...));
}

using LogSink = std::function<void(const std::string&)>;
// Receives every logged line in addition to syslog; an empty sink removes it.
void setLogSink(LogSink sink);

// Async-signal-safe: writes the text and a newline with write(2) to the signal log descriptor
// (standard error unless set otherwise). Nothing else is touched.
void logSignalSafe(const char* text);
void setSignalLogFd(int fd);

}  // namespace platform
