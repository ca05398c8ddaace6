// Seams of the core that only tests use; the part's own sources define them, and no other
// production code includes this (tests/dependency_rule.sh).
#pragma once

namespace platform {

// Makes the next installSignalHandler fail with SIG_ERR.
void failNextSignalInstallation();

}  // namespace platform
