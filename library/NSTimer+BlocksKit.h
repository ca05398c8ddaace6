// NSTimer(BlocksKit): timers that run a closure instead of calling a target.
//
// The timer's target is the NSTimer class itself and its action bk_executeBlockFromTimer:; the
// closure travels as the timer's user information, copied, until the timer is invalidated.
// The three operations are also class methods of NSTimer in the runtime, under their selectors.
#pragma once

#include <functional>

#include "platform/loop/foundation.h"

using BKTimerBlock = std::function<void(platform::NSTimer*)>;

// Scheduled on the current (main) run loop; autoreleased, kept alive by the run loop.
platform::NSTimer* bk_scheduledTimerWithTimeInterval_block_repeats(double inTimeInterval,
                                                                   const BKTimerBlock& block,
                                                                   bool inRepeats);
// Not scheduled; the caller adds it to a run loop.
platform::NSTimer* bk_timerWithTimeInterval_block_repeats(double inTimeInterval,
                                                          const BKTimerBlock& block,
                                                          bool inRepeats);
// The shared action: runs the timer's closure with the timer.
void bk_executeBlockFromTimer(objc::id self, objc::SEL _cmd, objc::id aTimer);
