#include "platform/loop/log.h"

#include <syslog.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

namespace platform {

namespace {

LogSink& sink() {
    static LogSink* s = new LogSink();
    return *s;
}

volatile sig_atomic_t signalLogFd = STDERR_FILENO;

}  // namespace

std::string FormatArg::asObject() const {
    if (auto* s = std::get_if<std::string>(&v_)) return *s;
    if (auto* o = std::get_if<objc::id>(&v_)) return objc::describe(*o);
    if (auto* i = std::get_if<int64_t>(&v_)) return std::to_string(*i);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", std::get<double>(v_));
    return buf;
}

int64_t FormatArg::asInteger() const {
    if (auto* i = std::get_if<int64_t>(&v_)) return *i;
    if (auto* d = std::get_if<double>(&v_)) return static_cast<int64_t>(*d);
    return 0;
}

double FormatArg::asReal() const {
    if (auto* d = std::get_if<double>(&v_)) return *d;
    if (auto* i = std::get_if<int64_t>(&v_)) return static_cast<double>(*i);
    return 0.0;
}

namespace {

// Steps over a conversion's flags, width, precision and length modifiers; p is just after '%'.
const char* skipModifiers(const char* p) {
    while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) ++p;
    while (*p >= '0' && *p <= '9') ++p;
    if (*p == '.') {
        ++p;
        while (*p >= '0' && *p <= '9') ++p;
    }
    // length modifiers are accepted and ignored: every integer is 64-bit here
    while (*p != '\0' && std::strchr("hlqLjzt", *p) != nullptr) ++p;
    return p;
}

// Appends one conversion; spec is its text from '%' up to the conversion character c.
void appendConversion(std::string& out, const std::string& spec, char c, const FormatArg* arg) {
    // drop any length modifier from the conversion; we supply our own
    std::string flags;
    for (char f : spec) {
        if (std::strchr("hlqLjzt", f) == nullptr) flags += f;
    }
    char buf[128];
    switch (c) {
        case '@':
        case 's':
            out += arg ? arg->asObject() : "(null)";
            break;
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X': {
            std::string f = flags + "ll" + c;
            std::snprintf(buf, sizeof buf, f.c_str(),
                          static_cast<long long>(arg ? arg->asInteger() : 0));
            out += buf;
            break;
        }
        case 'f':
        case 'g':
        case 'e': {
            std::string f = flags + c;
            std::snprintf(buf, sizeof buf, f.c_str(), arg ? arg->asReal() : 0.0);
            out += buf;
            break;
        }
        case 'c':
            out += static_cast<char>(arg ? arg->asInteger() : '?');
            break;
        default:
            out += spec;
            out += c;
    }
}

}  // namespace

std::string formatArgs(const char* fmt, const FormatArg* args, size_t count) {
    std::string out;
    size_t next = 0;
    for (const char* p = fmt; *p != '\0'; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out += '%';
            continue;
        }
        p = skipModifiers(p);
        if (*p == '\0') {
            out.append(start);
            break;
        }
        const FormatArg* arg = next < count ? &args[next++] : nullptr;
        appendConversion(out, std::string(start, static_cast<size_t>(p - start)), *p, arg);
    }
    return out;
}

void logLine(const std::string& line) {
    syslog(LOG_NOTICE, "%s", line.c_str());
    if (sink()) sink()(line);
}

void setLogSink(LogSink s) { sink() = std::move(s); }

void setSignalLogFd(int fd) { signalLogFd = fd; }

void logSignalSafe(const char* text) {
    const int fd = signalLogFd;
    size_t len = 0;
    while (text[len] != '\0') ++len;
    while (len > 0) {
        ssize_t n = ::write(fd, text, len);
        if (n <= 0) return;
        text += n;
        len -= static_cast<size_t>(n);
    }
    (void)!::write(fd, "\n", 1);
}

}  // namespace platform
