#include "NSTimer+BlocksKit.h"
#include "platform/loop/log.h"

using objc::id;
using objc::SEL;
using platform::Block;
using platform::NSTimer;

namespace {

constexpr const char* kFile = "classes/NSTimer+BlocksKit";

id bk_scheduledTimer_imp(id self, SEL _cmd, double interval, id block, bool repeats);
id bk_timer_imp(id self, SEL _cmd, double interval, id block, bool repeats);

// The category's methods join NSTimer the first time any of them is used.
objc::Class timerClass() {
    static objc::Class cls = [] {
        objc::Class k = NSTimer::cls();
        objc::addClassMethod(k, SEL_("bk_executeBlockFromTimer:"), &bk_executeBlockFromTimer);
        objc::addClassMethod(k, SEL_("bk_scheduledTimerWithTimeInterval:block:repeats:"),
                             &bk_scheduledTimer_imp);
        objc::addClassMethod(k, SEL_("bk_timerWithTimeInterval:block:repeats:"), &bk_timer_imp);
        return k;
    }();
    return cls;
}

void assertBlock(bool present, SEL cmd, int line) {
    if (!present) {
        platform::NSAssertionHandler::currentHandler().handleFailureInMethod(
            cmd, timerClass(), kFile, line,
            platform::format("Invalid parameter not satisfying: %s", "block != nil"));
    }
}

// The timer keeps its own reference to the block's copy.
NSTimer* makeTimer(double interval, const objc::Strong<Block>& blockCopy, bool repeats,
                   bool scheduled) {
    id target = timerClass();
    SEL action = SEL_("bk_executeBlockFromTimer:");
    return scheduled ? NSTimer::scheduledTimerWithTimeInterval(interval, target, action, blockCopy,
                                                               repeats)
                     : NSTimer::timerWithTimeInterval(interval, target, action, blockCopy, repeats);
}

id bk_scheduledTimer_imp(id, SEL _cmd, double interval, id block, bool repeats) {
    auto* b = static_cast<Block*>(block);
    assertBlock(b != nullptr && b->function(), _cmd, 18);
    return makeTimer(interval, objc::adopt(Block::create(b->function())), repeats, true);
}

id bk_timer_imp(id, SEL _cmd, double interval, id block, bool repeats) {
    auto* b = static_cast<Block*>(block);
    assertBlock(b != nullptr && b->function(), _cmd, 24);
    return makeTimer(interval, objc::adopt(Block::create(b->function())), repeats, false);
}

id wrap(const BKTimerBlock& block) {
    if (!block) return nullptr;
    BKTimerBlock copy = block;
    return objc::objc_autorelease(
        Block::create([copy](id timer) { copy(static_cast<NSTimer*>(timer)); }));
}

}  // namespace

NSTimer* bk_scheduledTimerWithTimeInterval_block_repeats(double inTimeInterval,
                                                         const BKTimerBlock& block,
                                                         bool inRepeats) {
    return static_cast<NSTimer*>(
        objc::msgSend<id>(timerClass(), SEL_("bk_scheduledTimerWithTimeInterval:block:repeats:"),
                          inTimeInterval, wrap(block), inRepeats));
}

NSTimer* bk_timerWithTimeInterval_block_repeats(double inTimeInterval, const BKTimerBlock& block,
                                                bool inRepeats) {
    return static_cast<NSTimer*>(objc::msgSend<id>(timerClass(),
                                                   SEL_("bk_timerWithTimeInterval:block:repeats:"),
                                                   inTimeInterval, wrap(block), inRepeats));
}

void bk_executeBlockFromTimer(id, SEL, id aTimer) {
    auto* timer = static_cast<NSTimer*>(aTimer);
    auto* block = timer ? static_cast<Block*>(timer->userInfo()) : nullptr;
    if (block != nullptr && block->function()) block->function()(aTimer);
}
