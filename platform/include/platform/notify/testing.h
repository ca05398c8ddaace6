// What tests observe of the notification centres; the part's own sources define it, and no
// other production code includes this (tests/dependency_rule.sh).
#pragma once

#include <cstddef>

namespace platform {

struct NotificationCenterImpl;  // notifications.h
using CFNotificationCenterRef = NotificationCenterImpl*;

// Registrations in a CF-style centre, and in the distributed centre.
size_t CFNotificationCenterObserverCount(CFNotificationCenterRef center);
size_t distributedObserverCount();

}  // namespace platform
