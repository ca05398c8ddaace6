#include "service.h"

#include <cstring>

#include "platform/core/warn.h"

namespace phoned {

void say(const std::string& text) { platform::warn("orvella-phoned", text); }

namespace {

// Services made whose owner the bus has not told yet, and what waits for there to be none.
int unknown = 0;
std::function<void()> allKnown;

void runIfAllKnown() {
    if (unknown > 0 || !allKnown) return;
    auto then = std::move(allKnown);
    allKnown = nullptr;
    then();
}

}  // namespace

void Service::whenAllKnown(std::function<void()> then) {
    allKnown = std::move(then);
    runIfAllKnown();
}

Service::~Service() {
    if (!known_) --unknown;
}

Service::Service(Connection& bus, std::string name, std::string words,
                 std::function<void(bool)> onChange)
    : bus_(bus), name_(std::move(name)), words_(std::move(words)), onChange_(std::move(onChange)) {
    ++unknown;
    watch_ = bus_.watchName(name_, [this](const std::string& owner) {
        const bool was = present();
        const bool first = !known_;
        known_ = true;
        owner_ = owner;
        if (first) {
            if (!present()) say(words_ + " is not running; waiting for it");
        } else if (was && !present()) {
            say(words_ + " went away; waiting for it to come back");
        } else if (!was && present()) {
            say(words_ + " is running now");
        }
        // A new owner is a restarted service: it knows nothing of us, so it counts as a change.
        if (present() || was) onChange_(present());
        if (first) {
            --unknown;
            runIfAllKnown();
        }
    });
}

bool Service::sent(sd_bus_message* m) const {
    const char* sender = sd_bus_message_get_sender(m);
    return present() && sender != nullptr && owner_ == sender;
}

}  // namespace phoned
