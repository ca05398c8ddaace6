#include "platform/trace.h"

namespace platform {

namespace {
TraceSink& sink() {
    static auto* s = new TraceSink();
    return *s;
}
}  // namespace

void setTraceSink(TraceSink s) { sink() = std::move(s); }
bool tracing() { return static_cast<bool>(sink()); }
void trace(const std::string& line) {
    if (sink()) sink()(line);
}

}  // namespace platform
