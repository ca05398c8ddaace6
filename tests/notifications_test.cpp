// The three notification centres: delivery order, timing and lifetime rules.
#include "platform/notify/notifications.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/devices/hardware.h"
#include "platform/loop/runloop.h"
#include "platform/testing.h"

using namespace platform;
using objc::id;
using objc::SEL;

namespace {

std::vector<std::string> events;

// An observer whose handlers record what reached them.
class Listener : public objc::NSObject {
  public:
    std::string label;
    bool removeSelfOnNote = false;
    bool postAgain = false;
    Listener* releaseOnNote = nullptr;
    Listener* dropOnNote = nullptr;  // removed by the name of the note
    ~Listener() override { events.push_back(label + " freed"); }

    static objc::Class cls() {
        static objc::Class c = [] {
            objc::Class k = objc::registerCxxClass<Listener>("Listener", objc::NSObject::cls());
            objc::class_addMethod(
                k, SEL_("note:"),
                +[](id self, SEL, id note) {
                    auto* l = static_cast<Listener*>(self);
                    events.push_back(l->label + " got " +
                                     static_cast<NSNotification*>(note)->name());
                    if (l->dropOnNote)
                        distributedRemoveObserver(l->dropOnNote,
                                                  static_cast<NSNotification*>(note)->name());
                    if (l->removeSelfOnNote)
                        distributedRemoveObserver(self, static_cast<NSNotification*>(note)->name());
                    if (l->postAgain) {
                        l->postAgain = false;
                        distributedPost("again");
                    }
                    if (l->releaseOnNote) {
                        Listener* other = l->releaseOnNote;
                        l->releaseOnNote = nullptr;
                        objc::objc_release(other);
                    }
                },
                "v@:");
            return k;
        }();
        return c;
    }
    static Listener* make(const std::string& label) {
        auto* l = static_cast<Listener*>(objc::allocInit(cls()));
        l->label = label;
        return l;
    }
};

class Centres : public ::testing::Test {
  protected:
    void SetUp() override {
        resetProcessState();
        useVirtualClock();
        events.clear();
    }
    void drain() { RunLoop::main().runDue(); }
};

void recordCallback(CFNotificationCenterRef, void* observer, const std::string& name, const void*,
                    const Dictionary* userInfo) {
    std::string e =
        std::string(observer ? static_cast<const char*>(observer) : "anon") + " got " + name;
    if (userInfo) {
        for (const auto& [k, v] : *userInfo) e += " " + k + "=" + v.description();
    }
    events.push_back(e);
}

}  // namespace

TEST_F(Centres, DistributedPostsArriveLaterAndInPostingOrder) {
    Listener* bar = Listener::make("bar");
    distributedAddObserver(bar, SEL_("note:"), "com.brelkin.dev.slideopen");
    distributedAddObserver(bar, SEL_("note:"), "com.brelkin.dev.removeActiveLabels");
    distributedPost("com.brelkin.dev.slideopen");
    distributedPost("com.brelkin.dev.removeActiveLabels");
    distributedPost("com.brelkin.dev.turnonspeaker");
    EXPECT_TRUE(events.empty()) << "never delivered inside the post";
    drain();
    EXPECT_EQ(events, (std::vector<std::string>{"bar got com.brelkin.dev.slideopen",
                                                "bar got com.brelkin.dev.removeActiveLabels"}));
    distributedRemoveObserver(bar, "com.brelkin.dev.slideopen");
    distributedRemoveObserver(bar, "com.brelkin.dev.slideopen");  // removing twice does nothing
    distributedRemoveObserver(bar, "com.brelkin.dev.removeActiveLabels");
    objc::objc_release(bar);
}

TEST_F(Centres, ObserverRemovedBetweenPostAndDeliveryGetsNothing) {
    Listener* a = Listener::make("a");
    Listener* b = Listener::make("b");
    distributedAddObserver(a, SEL_("note:"), "n");
    distributedAddObserver(b, SEL_("note:"), "n");
    distributedPost("n");
    distributedRemoveObserver(b, "n");
    Listener* late = Listener::make("late");
    distributedAddObserver(late, SEL_("note:"), "n");  // registered before delivery: gets it
    drain();
    EXPECT_EQ(events, (std::vector<std::string>{"a got n", "late got n"}));
    for (Listener* l : {a, b, late}) {
        distributedRemoveObserver(l, "n");
        objc::objc_release(l);
    }
}

TEST_F(Centres, HandlersMayRemoveThemselvesAndPostAgain) {
    Listener* once = Listener::make("once");
    once->removeSelfOnNote = true;
    once->postAgain = true;
    Listener* always = Listener::make("always");
    distributedAddObserver(once, SEL_("note:"), "first");
    distributedAddObserver(always, SEL_("note:"), "");
    distributedPost("first");
    drain();
    EXPECT_EQ(events,
              (std::vector<std::string>{"once got first", "always got first", "always got again"}));
    objc::objc_release(always);  // freed without removing itself: the centre forgets it
    distributedPost("third");
    drain();
    EXPECT_EQ(events.back(), "always freed");
    objc::objc_release(once);
}

TEST_F(Centres, ReceiverFreedDuringDeliveryIsNotUsedAfterwards) {
    Listener* first = Listener::make("first");
    Listener* second = Listener::make("second");
    first->releaseOnNote = second;  // drops the last reference to the next observer in line
    distributedAddObserver(first, SEL_("note:"), "n");
    distributedAddObserver(second, SEL_("note:"), "n");
    distributedPost("n");
    drain();
    EXPECT_EQ(events, (std::vector<std::string>{"first got n", "second freed"}));
    EXPECT_EQ(distributedObserverCount(), 1u);
    distributedRemoveObserver(first, "n");
    objc::objc_release(first);
}

TEST_F(Centres, ReceiverKeptAliveWhileItsOwnHandlerDropsIt) {
    Listener* self = Listener::make("self");
    self->releaseOnNote = self;  // the handler drops the only reference to its own receiver
    distributedAddObserver(self, SEL_("note:"), "n");
    distributedPost("n");
    drain();
    EXPECT_EQ(events, (std::vector<std::string>{"self got n", "self freed"}));
}

TEST_F(Centres, DarwinNotificationsCarryOnlyTheirName) {
    static char tweak[] = "tweak";
    CFNotificationCenterRef darwinCentre = CFNotificationCenterGetDarwinNotifyCenter();
    CFNotificationCenterAddObserver(darwinCentre, tweak, &recordCallback,
                                    "com.brelkin.Orvella.settingschanged", nullptr,
                                    CFNotificationSuspensionBehaviorHold);
    Dictionary info{{"ignored", Value(1)}};
    CFNotificationCenterPostNotification(darwinCentre, "com.brelkin.Orvella.settingschanged",
                                         nullptr, &info, true);
    CFNotificationCenterPostNotification(darwinCentre, "other.name", nullptr, nullptr, true);
    EXPECT_TRUE(events.empty());
    drain();
    EXPECT_EQ(events, (std::vector<std::string>{"tweak got com.brelkin.Orvella.settingschanged"}));
    CFNotificationCenterRemoveObserver(darwinCentre, tweak, "com.brelkin.Orvella.settingschanged",
                                       nullptr);
    CFNotificationCenterPostNotification(darwinCentre, "com.brelkin.Orvella.settingschanged",
                                         nullptr, nullptr, true);
    drain();
    EXPECT_EQ(events.size(), 1u);
}

TEST_F(Centres, TelephonyCallbackGetsNameAndUserInformationForEveryName) {
    CTTelephonyCenterAddObserver(CTTelephonyCenterGetDefault(), nullptr, &recordCallback, nullptr,
                                 nullptr, CFNotificationSuspensionBehaviorHold);
    DeviceModel::shared().setCallStatus(kCTCallStatusIncoming);
    DeviceModel::shared().pressLockButton();
    DeviceModel::shared().setCallStatus(kCTCallStatusActive, /*alternate=*/true);
    EXPECT_TRUE(events.empty());
    drain();
    EXPECT_EQ(events, (std::vector<std::string>{
                          "anon got kCTCallStatusChangeNotification kCTCallStatus=4",
                          "anon got SBLockButtonPressedNotification",
                          "anon got kCTCallAlternateStatusChangeNotification kCTCallStatus=1"}));
    EXPECT_TRUE(DeviceModel::shared().locked()) << "the lock button locks the phone";
}

namespace {

int tokens[60];  // observer identities: tokens[i] is observer i
std::vector<int> reached;

void countingCallback(CFNotificationCenterRef center, void* observer, const std::string&,
                      const void*, const Dictionary*) {
    const int i = static_cast<int>(static_cast<int*>(observer) - tokens);
    reached.push_back(i);
    if (i == 10) {  // mid-delivery: drop two observers still to come, and add one
        CFNotificationCenterRemoveEveryObserver(center, &tokens[11]);
        CFNotificationCenterRemoveObserver(center, &tokens[30], "n", nullptr);
        CFNotificationCenterAddObserver(center, &tokens[59], &countingCallback, "n", nullptr,
                                        CFNotificationSuspensionBehaviorHold);
    }
    if (i == 52) CFNotificationCenterRemoveObserver(center, &tokens[53], "n", nullptr);
}

}  // namespace

TEST_F(Centres, ManyObserversAreReachedInOrderWhileHandlersChangeTheList) {
    CFNotificationCenterRef centre = CFNotificationCenterGetDarwinNotifyCenter();
    reached.clear();
    for (int i = 0; i < 50; ++i) {
        CFNotificationCenterAddObserver(centre, &tokens[i], &countingCallback, "n", nullptr,
                                        CFNotificationSuspensionBehaviorHold);
        if (i % 7 == 0)  // other names in between
            CFNotificationCenterAddObserver(centre, &tokens[i], &countingCallback, "other", nullptr,
                                            CFNotificationSuspensionBehaviorHold);
    }
    CFNotificationCenterPostNotification(centre, "n", nullptr, nullptr, true);
    drain();
    std::vector<int> expected;
    for (int i = 0; i < 50; ++i)
        if (i != 11 && i != 30) expected.push_back(i);
    EXPECT_EQ(reached, expected) << "removed before their turn: nothing; added: next time";
    reached.clear();
    CFNotificationCenterPostNotification(centre, "n", nullptr, nullptr, true);
    drain();
    ASSERT_FALSE(reached.empty());
    EXPECT_EQ(reached.back(), 59) << "the observer added during the last delivery, last";
    EXPECT_EQ(std::count(reached.begin(), reached.end(), 11), 0);
}

TEST_F(Centres, EveryDistributedObserverOfOneDeliveryGetsTheSameNotification) {
    static std::vector<objc::Strong<objc::Object>> notes;
    objc::Class k = objc::registerCxxClass<objc::NSObject>("NoteKeeper", objc::NSObject::cls());
    objc::addMethod(
        k, SEL_("keep:"), +[](id, SEL, id note) { notes.push_back(objc::retained(note)); });
    id first = objc::allocInit(k);
    id second = objc::allocInit(k);
    distributedAddObserver(first, SEL_("keep:"), "n");
    distributedAddObserver(second, SEL_("keep:"), "n");
    distributedPost("n");
    drain();
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0], notes[1]);
    EXPECT_EQ(static_cast<NSNotification*>(notes[0])->name(), "n");
    notes.clear();
    objc::objc_release(first);
    objc::objc_release(second);
}

// A removal by name alone, from another observer's handler during a delivery of that name, is the
// only change to the list: the removed observer gets nothing, the next one exactly its own
// notification, and an observer of another name none, in both kinds of centre.
TEST_F(Centres, ObserverRemovedByNameDuringADeliveryOfItGetsNothing) {
    CFNotificationCenterRef centre = CFNotificationCenterGetDarwinNotifyCenter();
    reached.clear();
    for (int i : {52, 53, 54})
        CFNotificationCenterAddObserver(centre, &tokens[i], &countingCallback, "n", nullptr,
                                        CFNotificationSuspensionBehaviorHold);
    CFNotificationCenterAddObserver(centre, &tokens[55], &countingCallback, "other", nullptr,
                                    CFNotificationSuspensionBehaviorHold);
    CFNotificationCenterPostNotification(centre, "n", nullptr, nullptr, true);
    drain();
    EXPECT_EQ(reached, (std::vector<int>{52, 54}));

    std::vector<Listener*> listeners;
    for (const char* label : {"a", "b", "c", "d"}) listeners.push_back(Listener::make(label));
    listeners[0]->dropOnNote = listeners[1];
    for (int i = 0; i < 3; ++i) distributedAddObserver(listeners[i], SEL_("note:"), "n");
    distributedAddObserver(listeners[3], SEL_("note:"), "other");
    distributedPost("n");
    drain();
    EXPECT_EQ(events, (std::vector<std::string>{"a got n", "c got n"}));
    for (Listener* l : listeners) objc::objc_release(l);
}
