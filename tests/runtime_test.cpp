// The object runtime: messaging, method tables, hooking and reference counting.
#include "platform/core/runtime.h"

#include <gtest/gtest.h>

#include <string>

using namespace objc;

namespace {

int destroyed = 0;
std::string trail;

class Widget : public NSObject {
  public:
    ~Widget() override { ++destroyed; }
    int size = 3;
};

int widget_size(id self, SEL) { return static_cast<Widget*>(self)->size; }
std::string widget_name(id, SEL) { return "widget"; }
std::string gadget_name(id, SEL) { return "gadget"; }

Class widgetClass() {
    static Class c = [] {
        Class k = registerCxxClass<Widget>("Widget", NSObject::cls());
        addMethod(k, SEL_("size"), &widget_size);
        addMethod(k, SEL_("name"), &widget_name);
        return k;
    }();
    return c;
}

Class gadgetClass() {  // a subclass that inherits size and name
    static Class c = registerCxxClass<Widget>("Gadget", widgetClass());
    return c;
}

Widget* newWidget(Class cls = widgetClass()) { return static_cast<Widget*>(allocInit(cls)); }

}  // namespace

TEST(Runtime, MessageToNilReturnsZeroAndRunsNothing) {
    id nothing = nullptr;
    EXPECT_EQ(msgSend<int>(nothing, SEL_("size")), 0);
    EXPECT_EQ(msgSend<id>(nothing, SEL_("init")), nullptr);
    EXPECT_EQ(msgSend<std::string>(nothing, SEL_("name")), "");
    EXPECT_EQ(msgSend<double>(nothing, SEL_("anything:"), 2.5), 0.0);
    msgSend(nothing, SEL_("neverDefinedAnywhere"));  // no abort for nil
    EXPECT_EQ(objc_getClass("NoSuchClass"), nullptr);
    EXPECT_EQ(msgSend<id>(NSClassFromString("NoSuchClass"), SEL_("sharedInstance")), nullptr);
}

TEST(RuntimeDeathTest, UnknownSelectorAbortsWithAClearMessage) {
    Widget* w = newWidget();
    EXPECT_DEATH(msgSend(w, SEL_("flyAway:"), 1),
                 "-\\[Widget flyAway:\\]: unrecognized selector sent to instance");
    EXPECT_DEATH(msgSend(widgetClass(), SEL_("flyAway")),
                 "\\+\\[Widget flyAway\\]: unrecognized selector sent to class");
    objc_release(w);
}

TEST(RuntimeDeathTest, MessageWithWrongArgumentTypesAbortsInsteadOfCallingThrough) {
    Widget* w = newWidget();
    EXPECT_DEATH(msgSend<double>(w, SEL_("size")), "wrong argument types");
    objc_release(w);
}

TEST(Runtime, ClassesAreFoundByNameAndSelectorsAreInterned) {
    Class w = widgetClass();
    EXPECT_EQ(objc_getClass("Widget"), w);
    EXPECT_EQ(NSClassFromString("Widget"), w);
    EXPECT_EQ(sel_registerName("size"), SEL_("size"));
    EXPECT_STREQ(sel_getName(SEL_("size")), "size");
    EXPECT_EQ(objc_registerClass("Widget", NSObject::cls(), nullptr), w)
        << "second registration returns the first";
    Widget* g = newWidget(gadgetClass());
    EXPECT_TRUE(isKindOfClass(g, w));
    EXPECT_FALSE(isKindOfClass(w, gadgetClass()));
    EXPECT_TRUE(respondsToSelector(g, SEL_("size")));
    EXPECT_FALSE(respondsToSelector(g, SEL_("fly")));
    EXPECT_EQ(describe(w), "Widget") << "a class describes itself by its name";
    EXPECT_EQ(describe(nullptr), "(null)");
    objc_release(g);
}

TEST(Runtime, AddMethodNeverReplacesAnExistingOne) {
    Class w = widgetClass();
    EXPECT_FALSE(addMethod(w, SEL_("name"), &gadget_name));
    EXPECT_EQ(class_getOwnMethod(w, SEL_("name"))->types, "{@:");
    Widget* obj = newWidget();
    EXPECT_EQ(msgSend<std::string>(obj, SEL_("name")), "widget");
    // A subclass may add its own version of an inherited method; the superclass keeps its own.
    Class sub = registerCxxClass<Widget>("AddSub", w);
    EXPECT_TRUE(addMethod(sub, SEL_("name"), &gadget_name));
    Widget* s = newWidget(sub);
    EXPECT_EQ(msgSend<std::string>(s, SEL_("name")), "gadget");
    EXPECT_EQ(msgSend<std::string>(obj, SEL_("name")), "widget");
    // The untyped entry with the "v@:" text used for notification handlers.
    EXPECT_TRUE(class_addMethod(
        w, SEL_("ping:"), +[](id, SEL, id) { trail += "ping"; }, "v@:"));
    EXPECT_EQ(class_getOwnMethod(w, SEL_("ping:"))->types, "v@:");
    objc_release(obj);
    objc_release(s);
}

namespace {
int (*saved_size)(id, SEL) = nullptr;
int hooked_size(id self, SEL cmd) { return 100 + saved_size(self, cmd); }

std::string (*saved_name)(id, SEL) = nullptr;
std::string hooked_name(id self, SEL cmd) { return "hooked " + saved_name(self, cmd); }
}  // namespace

TEST(Runtime, HookOnADefinedMethodRunsForEveryCallerAndCallsThroughItsSlot) {
    Widget* w = newWidget();
    MSHookMessageEx(widgetClass(), SEL_("size"), &hooked_size, &saved_size);
    ASSERT_EQ(saved_size, &widget_size) << "the slot holds the implementation that was there";
    EXPECT_EQ(msgSend<int>(w, SEL_("size")), 103);
    Widget* later = newWidget();
    EXPECT_EQ(msgSend<int>(later, SEL_("size")), 103) << "objects made after the hook see it too";
    objc_release(w);
    objc_release(later);
}

TEST(Runtime, HookOnAnInheritedMethodOverridesOnlyTheSubclass) {
    Widget* parent = newWidget();
    Widget* child = newWidget(gadgetClass());
    ASSERT_EQ(class_getOwnMethod(gadgetClass(), SEL_("name")), nullptr);
    MSHookMessageEx(gadgetClass(), SEL_("name"), &hooked_name, &saved_name);
    EXPECT_EQ(saved_name, &widget_name) << "the slot holds the inherited implementation";
    EXPECT_NE(class_getOwnMethod(gadgetClass(), SEL_("name")), nullptr);
    EXPECT_EQ(msgSend<std::string>(child, SEL_("name")), "hooked widget");
    EXPECT_EQ(msgSend<std::string>(parent, SEL_("name")), "widget")
        << "the superclass keeps its own";
    objc_release(parent);
    objc_release(child);
}

TEST(Runtime, HookOnAnAbsentClassDoesNothing) {
    std::string (*slot)(id, SEL) = &gadget_name;
    auto before = slot;
    MSHookMessageEx(objc_getClass("TPSuperBottomBarThatIsNotHere"), SEL_("name"), &hooked_name,
                    &slot);
    EXPECT_EQ(slot, before) << "slot left untouched";
    Widget* w = newWidget();
    EXPECT_EQ(msgSend<std::string>(w, SEL_("name")), "widget");
    objc_release(w);
}

namespace {
void (*saved_dealloc)(id, SEL) = nullptr;
void hooked_dealloc(id self, SEL cmd) {
    trail += "hook(" + std::to_string(static_cast<Widget*>(self)->size) + ")";
    // Messages to the object while it deallocates must not resurrect or re-free it.
    trail += std::to_string(msgSend<int>(self, SEL_("size")));
    saved_dealloc(self, cmd);
}
}  // namespace

TEST(Runtime, DeallocIsAMessageThatAHookSeesBeforeTheObjectGoes) {
    Class k = registerCxxClass<Widget>("HookedDeallocWidget", widgetClass());
    MSHookMessageEx(k, SEL_("dealloc"), &hooked_dealloc, &saved_dealloc);
    trail.clear();
    destroyed = 0;
    Widget* w = newWidget(k);
    w->size = 7;
    objc_retain(w);
    objc_release(w);
    EXPECT_EQ(trail, "") << "still one reference left";
    objc_release(w);
    EXPECT_EQ(trail, "hook(7)7");
    EXPECT_EQ(destroyed, 1) << "the saved dealloc freed it, exactly once";
}

TEST(Runtime, AutoreleasedObjectsLiveUntilTheirPoolDrains) {
    destroyed = 0;
    {
        AutoreleasePool outer;
        Widget* a = newWidget();
        objc_autorelease(a);
        {
            AutoreleasePool inner;
            objc_autorelease(newWidget());
            EXPECT_EQ(destroyed, 0);
        }
        EXPECT_EQ(destroyed, 1) << "the inner pool released only its own object";
        EXPECT_EQ(msgSend<int>(a, SEL_("size")) % 100, 3);
    }
    EXPECT_EQ(destroyed, 2);
    Strong<Widget> s = Strong<Widget>::adopt(newWidget());
    {
        Strong<Widget> copy = s;
        EXPECT_EQ(s->retainCount, 2);
    }
    EXPECT_EQ(s->retainCount, 1);
    s.reset();
    EXPECT_EQ(destroyed, 3);
}

namespace {
Widget* holder = nullptr;
int dropHolderThenReadSize(id self, SEL) {
    Widget* last = holder;
    holder = nullptr;
    objc_release(last);  // the last reference outside this message
    trail = destroyed == 0 ? "alive" : "freed";
    return static_cast<Widget*>(self)->size;  // still safe: msgSend holds the receiver
}
}  // namespace

TEST(Runtime, ReceiverStaysAliveWhileItsMessageRuns) {
    Class k = registerCxxClass<Widget>("SelfDroppingWidget", widgetClass());
    addMethod(k, SEL_("dropAndSize"), &dropHolderThenReadSize);
    destroyed = 0;
    holder = newWidget(k);
    EXPECT_EQ(msgSend<int>(holder, SEL_("dropAndSize")), 3);
    EXPECT_EQ(trail, "alive");
    EXPECT_EQ(destroyed, 1) << "freed as soon as the message returned";
}

TEST(Runtime, AStrongFieldStandsInForAnIdAndOwnsWhatItHolds) {
    destroyed = 0;
    Strong<Object> field = adopt<Object>(newWidget());
    Widget* raw = static_cast<Widget*>(field);  // cast down as an id is
    EXPECT_EQ(msgSend<int>(field, SEL_("size")), 3);
    EXPECT_EQ(raw->retainCount, 1);
    Strong<Widget> typed = retained(raw);
    Strong<Object> widened = typed;  // a subclass reference widens, retaining
    EXPECT_EQ(raw->retainCount, 3);
    field = nullptr;  // releases the old value
    widened = std::move(typed);
    EXPECT_EQ(raw->retainCount, 1);
    EXPECT_EQ(typed, nullptr);
    widened.reset();
    EXPECT_EQ(destroyed, 1);
}
