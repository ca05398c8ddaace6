#include "program/signal_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

#include "platform/loop/runloop.h"

namespace program {

namespace {

volatile sig_atomic_t lastStop = 0;
int wakePipe[2] = {-1, -1};

void onSignal(int sig) {
    if (sig != SIGCHLD) lastStop = sig;
    const unsigned char b = static_cast<unsigned char>(sig);
    (void)!::write(wakePipe[1], &b, 1);  // a full pipe already wakes the loop
}

}  // namespace

bool handleSignals(std::initializer_list<int> signals, std::function<void(int)> handler) {
    if (wakePipe[0] >= 0 || ::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    platform::RunLoop::main().addSource(wakePipe[0], [handler = std::move(handler)] {
        unsigned char got[64];
        ssize_t n;
        while ((n = ::read(wakePipe[0], got, sizeof got)) > 0)
            for (ssize_t i = 0; i < n; ++i) handler(got[i]);
    });
    struct sigaction sa {};
    sa.sa_handler = &onSignal;
    sa.sa_flags = SA_RESTART;
    for (int sig : signals) ::sigaction(sig, &sa, nullptr);
    return true;
}

int stopSignal() { return lastStop; }

}  // namespace program
