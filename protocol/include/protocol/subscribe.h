// Typed subscriptions to the phone's bus: a handler is given the signal as its generated struct
// (interfaces.h); a signal of another shape never reaches it.
#pragma once

#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/bus/bus.h"

namespace protocol {

// Which of a signal's sendings a subscription takes: with that first argument only, from that
// sender only (a unique name), and whether it waits while the bus holds deliveries.
struct Filter {
    std::optional<std::string> arg0 = {};
    std::string sender = {};
    platform::Bus::Delivery delivery = platform::Bus::Delivery::InOrder;
};

// Calls handler(const Signal&) or handler(const Signal&, const platform::BusSignal&) (for its
// sender) with every Signal the filter takes.
template <class Signal, class Handler>
void on(platform::Bus& bus, Handler handler, Filter filter = {}) {
    bus.subscribe(
        Signal::kInterface, Signal::kMember, std::move(filter.arg0),
        [handler = std::move(handler)](const platform::BusSignal& s) {
            const std::optional<Signal> typed = Signal::of(s);
            if (!typed) return;
            if constexpr (std::is_invocable_v<Handler, const Signal&, const platform::BusSignal&>)
                handler(*typed, s);
            else
                handler(*typed);
        },
        filter.delivery, filter.sender);
}

}  // namespace protocol
