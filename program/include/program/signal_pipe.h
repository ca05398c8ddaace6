// Signals as work of the main run loop. The handler only notes the signal and writes its number
// to a pipe (all a signal handler may safely do); the run loop reads the pipe and calls the
// program's function there, where anything may be done: stop the loop, end the children.
#pragma once

#include <functional>
#include <initializer_list>

namespace program {

// Handles each of `signals` from now on; `onSignal(number)` runs on the main run loop after
// each. Once per process. False when the pipe cannot be made (the signals keep their defaults).
bool handleSignals(std::initializer_list<int> signals, std::function<void(int)> onSignal);

// The last handled signal that asks the program to end (any but SIGCHLD, a child that ended),
// or 0. Set by the handler itself, so a wait that checks it ends before the loop runs.
int stopSignal();

}  // namespace program
