#include <unistd.h>

#include <memory>

#include "platform/core/process_state.h"
#include "platform/core/trace.h"
#include "platform/files/device_root.h"
#include "platform/hosts/testing.h"
#include "platform/loop/foundation.h"
#include "platform/loop/log.h"
#include "platform/loop/runloop.h"

namespace platform {

void resetProcessState() {
    objc::AutoreleasePool pool;  // what a reset releases may autorelease in turn
    // Screens and alerts first: their deallocs remove registrations and may schedule work,
    // which the steps after them clear.
    state::resetCallScreen();
    state::resetControls();
    state::resetApplication();
    state::resetNotifications();
    state::resetDevices();
    state::resetSignals();
    state::resetFiles();
    RunLoop::main().reset();
    setClock(std::make_unique<RealClock>());
    setTraceSink({});
    setTraceEventSink({});
    setLogSink({});
    setSignalLogFd(STDERR_FILENO);
    bundle::setMainBundleIdentifier("");
    locale::setPreferredLanguages({"en"});
    device::setWorkingDirectory("/");
}

}  // namespace platform
