// Seams of the files part that only tests use; the part's own sources define them, and no other
// production code includes this (tests/dependency_rule.sh).
#pragma once

namespace platform {

// Files beneath the device root resolved by openat2 (true, the default where the kernel has it)
// or component by component (false), so both ways can be tried on one machine.
void resolveBeneathRootWithOpenat2(bool use);

}  // namespace platform
