#include "platform/core/trace.h"

#include <utility>

namespace platform {

namespace {

TraceSink& lineSink() {
    static auto* s = new TraceSink();
    return *s;
}
TraceEventSink& eventSink() {
    static auto* s = new TraceEventSink();
    return *s;
}

}  // namespace

void setTraceSink(TraceSink s) { lineSink() = std::move(s); }
void setTraceEventSink(TraceEventSink s) { eventSink() = std::move(s); }
bool tracing() { return lineSink() || eventSink(); }

void trace(const TraceEvent& event) {
    if (eventSink()) eventSink()(event);
    if (lineSink()) lineSink()(describe(event));
}

}  // namespace platform
