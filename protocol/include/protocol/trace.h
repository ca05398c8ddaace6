// Trace events on the phone's bus (org.orvella.Trace): each event as a signal of its own named
// after it, with the process first and then the event's fields as the platform's table of trace
// events lists them (platform/core/trace_table.h); or the events of one pass together in one
// Events signal. Nothing here names an event or a field: it is all walked from the table.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/bus/bus.h"
#include "platform/bus/interface.h"
#include "platform/core/trace.h"

namespace protocol {

// A trace event of the named process as its signal, and back (nullopt: not a trace event, or
// malformed). The process is the signal's first argument; arguments after the event's fields
// are ignored.
platform::BusSignal traceSignal(const std::string& process, const platform::TraceEvent& event);
std::optional<platform::TraceEvent> traceEventOf(const platform::BusSignal& signal);
// Several trace events of one process as few signals as the bus allows, so they cross the bus
// daemon as one message, not one each: an Events signal holds the process, then each event's
// member name followed by its fields; a lone event travels as its own signal. And back: every
// event a trace signal holds, in order (none: not trace events, or any of them malformed).
std::vector<platform::BusSignal> traceSignals(const std::string& process,
                                              const std::vector<platform::TraceEvent>& events);
std::vector<platform::TraceEvent> traceEventsOf(const platform::BusSignal& signal);

// org.orvella.Trace as introspection describes it: Log and Events from its XML, then every
// kind of event from the table.
const platform::InterfaceDescription& traceInterface();
// One signal's element of introspection XML, indented for its place in an interface.
std::string introspectionXml(const platform::SignalDescription& signal);

}  // namespace protocol
