#include "recognizer_watch.h"

#include <dlfcn.h>

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "platform/core/runtime.h"
#include "platform/loop/foundation.h"

namespace sim {

namespace {

// A float as the double its shortest decimal reads: the tweak's 0.7f is 0.7, not the
// 0.699999988079071 the float holds, wherever the simulator prints it.
double shortestDecimal(float value) {
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text - 1, value);
    if (error != std::errc()) return value;
    *end = '\0';
    return std::strtod(text, nullptr);
}

// The recognizer's states a time-out leads from (a wave's covering: the first, the second, the
// one before answering) and to (waiting for the first wave); sim/core/recognizer.h names them.
constexpr int32_t kCoveredStates[] = {2, 4, 6};
constexpr int32_t kReady = 1;

// The wave between the two readings timed out: what the recognizer measured, as it logs it (the
// float it holds, to the microsecond), and the limit it held.
std::optional<platform::events::WaveTimedOut> timedOut(
    const platform::events::RecognizerChanged& before,
    const platform::events::RecognizerChanged& now) {
    bool covered = false;
    for (int32_t state : kCoveredStates) covered = covered || before.state == state;
    if (!covered || before.timedSince < 0 || now.state != kReady || now.timedSince >= 0)
        return std::nullopt;
    const double elapsed = platform::processClock().now() - before.timedSince;
    if (!std::isfinite(elapsed) || std::fabs(elapsed) > FLT_MAX) return std::nullopt;
    const auto measured = static_cast<float>(elapsed);
    char text[64];
    std::snprintf(text, sizeof text, "%f", static_cast<double>(measured));
    return platform::events::WaveTimedOut{std::strtod(text, nullptr), now.timeLimit};
}

}  // namespace

std::optional<platform::events::RecognizerChanged> RecognizerWatch::read() {
    // The tweak's process-wide variables: the call monitor and the settings' time limit. Tweaks
    // are loaded before the first pass and never unloaded, so they are looked up once.
    static auto* const monitor = static_cast<objc::id*>(::dlsym(RTLD_DEFAULT, "tel"));
    static auto* const limit =
        static_cast<const float*>(::dlsym(RTLD_DEFAULT, "Orvella_ProximityDelay"));
    if (monitor == nullptr || *monitor == nullptr) return std::nullopt;
    const objc::id tel = *monitor;
    if (!objc::respondsToSelector(tel, SEL_("flag"))) return std::nullopt;
    platform::events::RecognizerChanged r;
    r.state = objc::msgSend<int32_t>(tel, SEL_("flag"));
    r.timeLimit = limit != nullptr ? shortestDecimal(*limit) : 0;
    if (objc::respondsToSelector(tel, SEL_("proximityDelayBase"))) {
        const objc::id base = objc::msgSend<objc::id>(tel, SEL_("proximityDelayBase"));
        if (base != nullptr && objc::isKindOfClass(base, platform::NSDate::cls()))
            r.timedSince = static_cast<platform::NSDate*>(base)->timeIntervalSinceReferenceDate();
    }
    return r;
}

void RecognizerWatch::afterPass() {
    auto now = read();
    if (!now) return;
    if (last_ && last_->state == now->state && last_->timeLimit == now->timeLimit &&
        last_->timedSince == now->timedSince)
        return;
    if (last_ && platform::tracing()) {
        if (auto late = timedOut(*last_, *now)) platform::trace(*late);
    }
    last_ = now;
    if (platform::tracing()) platform::trace(*now);
}

}  // namespace sim
