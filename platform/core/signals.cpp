#include "platform/core/signals.h"

#include "platform/core/process_state.h"
#include "platform/core/testing.h"

namespace platform {

namespace {
bool failNext = false;
}  // namespace

SignalHandler installSignalHandler(int signum, SignalHandler handler) {
    if (failNext) {
        failNext = false;
        return SIG_ERR;
    }
    return ::signal(signum, handler);
}

void failNextSignalInstallation() { failNext = true; }

void state::resetSignals() { failNext = false; }

}  // namespace platform
