// What only tests call, every part's at once: the one reset of the process's state between tests
// (hosts/testing.h), seams that make a platform call fail (core/testing.h, files/testing.h), and
// observations of what the platform did that a person would not see (notify/testing.h,
// ui/testing.h). For tests only: production code includes none of it (tests/dependency_rule.sh).
#pragma once

#include "platform/core/testing.h"
#include "platform/files/testing.h"
#include "platform/hosts/testing.h"
#include "platform/notify/testing.h"
#include "platform/ui/testing.h"
