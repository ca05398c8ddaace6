// signal(2) as the phone has it.
#pragma once

#include <csignal>

namespace platform {

using SignalHandler = void (*)(int);
// Installs a handler; the platform's SIG_ERR comes back when installation fails.
SignalHandler installSignalHandler(int signum, SignalHandler handler);

}  // namespace platform
