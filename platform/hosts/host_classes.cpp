#include "platform/hosts/host_classes.h"

#include "platform/core/process_state.h"
#include "platform/core/trace.h"
#include "platform/loop/foundation.h"
#include "platform/loop/runloop.h"
#include "platform/notify/notifications.h"

namespace platform {

using objc::id;
using objc::msgSend;
using objc::SEL;

// --- TPSuperBottomBar ----------------------------------------------------------------------------

namespace {

TPSuperBottomBar* bar(id self) { return static_cast<TPSuperBottomBar*>(self); }

constexpr double kBarHeight = 96;

objc::Strong<UIButton> makeButton(const char* title, CGRect frame) {
    auto button = objc::adopt(static_cast<UIButton*>(objc::allocInit(UIButton::cls())));
    button->title = title;
    button->frame = frame;
    return button;
}

id bar_init(id self, SEL) {
    auto* b = bar(self);
    const CGSize screen = DeviceModel::shared().screenBounds().size;
    b->frame = CGRectMake(0, screen.height - kBarHeight, screen.width, kBarHeight);
    b->clipsToBounds = true;
    // The bar's own controls, set through its setters as the platform does.
    auto answer = makeButton("Answer", CGRectMake(170, 20, 130, 56));
    msgSend(self, SEL_("setMainRightButton:"), static_cast<id>(answer.get()));
    msgSend(self, SEL_("addSubview:"), static_cast<id>(answer.get()));
    auto slider = makeButton("slide to answer", CGRectMake(20, 20, 130, 56));
    msgSend(self, SEL_("setSlidingButton:"), static_cast<id>(slider.get()));
    msgSend(self, SEL_("addSubview:"), static_cast<id>(slider.get()));
    return self;
}

id bar_mainRightButton(id self, SEL) { return bar(self)->mainRightButton; }
void bar_setMainRightButton(id self, SEL, id button) {
    bar(self)->mainRightButton = objc::retained(button);
}
id bar_slidingButton(id self, SEL) { return bar(self)->slidingButton; }
void bar_setSlidingButton(id self, SEL, id button) {
    bar(self)->slidingButton = objc::retained(button);
}

void answerOnce(TPSuperBottomBar* b, const char* how) {
    if (b->answered) return;
    b->answered = true;
    if (tracing())
        trace(events::CallAnswered{std::string(how) == "slide" ? events::AnswerControl::Slide
                                                               : events::AnswerControl::Button});
    DeviceModel::shared().requestAnswer();
}

void bar_buttonPressed(id self, SEL, id button) {
    if (button != nullptr && button == bar(self)->mainRightButton) answerOnce(bar(self), "button");
}

void bar_slidingButtonDidFinishSlide(id self, SEL) {
    if (tracing()) trace(events::SlideFinished{});
    answerOnce(bar(self), "slide");
}

}  // namespace

objc::Class TPSuperBottomBar::cls() {
    static objc::Class c = [] {
        objc::Class k = objc::registerCxxClass<TPSuperBottomBar>("TPSuperBottomBar", UIView::cls());
        objc::addMethod(k, SEL_("init"), &bar_init);
        objc::addMethod(k, SEL_("mainRightButton"), &bar_mainRightButton);
        objc::addMethod(k, SEL_("setMainRightButton:"), &bar_setMainRightButton);
        objc::addMethod(k, SEL_("slidingButton"), &bar_slidingButton);
        objc::addMethod(k, SEL_("setSlidingButton:"), &bar_setSlidingButton);
        objc::addMethod(k, SEL_("buttonPressed:"), &bar_buttonPressed);
        objc::addMethod(k, SEL_("slidingButtonDidFinishSlide"), &bar_slidingButtonDidFinishSlide);
        return k;
    }();
    return c;
}

// --- InCallController ----------------------------------------------------------------------------

namespace {

InCallController* controller(id self) { return static_cast<InCallController*>(self); }

// The in-call screen's controls, by position (the speaker's is kSpeakerPosition).
constexpr const char* kSquareTitles[] = {"mute",     "keypad",   "speaker",
                                         "add call", "FaceTime", "contacts"};
constexpr double kSquare = 90, kSquareGap = 10;

objc::Strong<UIColor> whiteAt(double alpha) {
    auto c = objc::adopt(static_cast<UIColor*>(objc::class_createInstance(UIColor::cls())));
    c->white = 1;
    c->alpha = alpha;
    return c;
}

// The controls sit in the middle of the screen, under a title.
objc::Strong<UIView> makeInCallView(id controller) {
    const CGRect screen = DeviceModel::shared().screenBounds();
    auto root = objc::adopt(static_cast<UIView*>(objc::allocInit(UIView::cls())));
    root->frame = screen;
    auto title = objc::adopt(static_cast<UILabel*>(objc::allocInit(UILabel::cls())));
    title->frame = CGRectMake(0, 60, screen.size.width, 40);
    title->text = "Call in progress";
    title->textAlignment = NSTextAlignmentCenter;
    title->textColor = whiteAt(1);
    msgSend(static_cast<id>(root.get()), SEL_("addSubview:"), static_cast<id>(title.get()));
    const double gridWidth = 3 * kSquare + 2 * kSquareGap;
    const double left = (screen.size.width - gridWidth) / 2;
    const double top = (screen.size.height - (2 * kSquare + kSquareGap)) / 2;
    for (int32_t position = 0; position < 6; ++position) {
        auto square = objc::adopt(static_cast<UIButton*>(objc::allocInit(UIButton::cls())));
        square->frame = CGRectMake(left + (position % 3) * (kSquare + kSquareGap),
                                   top + (position / 3) * (kSquare + kSquareGap), kSquare, kSquare);
        square->title = kSquareTitles[position];
        square->tag = position;
        square->accessibilityIdentifier = kSquareTitles[position];
        square->backgroundColor = whiteAt(0.12);
        square->target = controller;
        square->action = SEL_("squareTapped:");
        msgSend(static_cast<id>(root.get()), SEL_("addSubview:"), static_cast<id>(square.get()));
    }
    return root;
}

id incall_init(id self, SEL) {
    controller(self)->view = makeInCallView(self);
    return self;
}

void incall_squareTapped(id self, SEL, id button) {
    if (button == nullptr || !objc::isKindOfClass(button, UIButton::cls())) return;
    msgSend(self, SEL_("sixSquareButtonClicked:"),
            static_cast<int32_t>(static_cast<UIButton*>(button)->tag));
}

int32_t incall_speakerButtonPosition(id, SEL) { return InCallController::kSpeakerPosition; }

void incall_sixSquareButtonClicked(id self, SEL, int32_t position) {
    controller(self)->clicks.push_back(position);
    if (position != InCallController::kSpeakerPosition) {
        if (tracing()) trace(events::InCallButtonTapped{position});
        return;
    }
    const bool on = !DeviceModel::shared().speakerSelected();
    if (tracing()) trace(events::SpeakerButtonTapped{on});
    DeviceModel::shared().requestSpeaker(on);
}

void incall_callStatusChanged(id self, SEL, id note) {
    controller(self)->statusNotes.push_back(msgSend<std::string>(note, SEL_("name")));
}

}  // namespace

objc::Class InCallController::cls() {
    static objc::Class c = [] {
        objc::Class k =
            objc::registerCxxClass<InCallController>("InCallController", objc::NSObject::cls());
        objc::addMethod(k, SEL_("init"), &incall_init);
        objc::addMethod(k, SEL_("squareTapped:"), &incall_squareTapped);
        objc::addMethod(k, SEL_("speakerButtonPosition"), &incall_speakerButtonPosition);
        objc::addMethod(k, SEL_("sixSquareButtonClicked:"), &incall_sixSquareButtonClicked);
        objc::addMethod(k, SEL_("_callStatusChangedNotification:"), &incall_callStatusChanged);
        return k;
    }();
    return c;
}

void InCallController::showRoute() {
    if (!view) return;
    for (UIView* square : view->subviews) {
        if (square->tag == kSpeakerPosition && objc::isKindOfClass(square, UIButton::cls()))
            square->backgroundColor = whiteAt(DeviceModel::shared().speakerSelected() ? 0.9 : 0.12);
    }
}

// --- SBLockScreenViewController
// ----------------------------------------------------------------------

namespace {

SBLockScreenViewController* lockVC(id self) {
    return static_cast<SBLockScreenViewController*>(self);
}

void lock_didRotate(id self, SEL, int64_t from) {
    lockVC(self)->lastCall = "didRotateFromInterfaceOrientation:";
    lockVC(self)->lastOrientation = from;
    lockVC(self)->lastDuration = -1;
}
void lock_willRotate(id self, SEL, int64_t to, double duration) {
    lockVC(self)->lastCall = "willRotateToInterfaceOrientation:duration:";
    lockVC(self)->lastOrientation = to;
    lockVC(self)->lastDuration = duration;
}
void lock_willAnimate(id self, SEL, int64_t to, double duration) {
    lockVC(self)->lastCall = "willAnimateRotationToInterfaceOrientation:duration:";
    lockVC(self)->lastOrientation = to;
    lockVC(self)->lastDuration = duration;
}

}  // namespace

objc::Class SBLockScreenViewController::cls() {
    static objc::Class c = [] {
        objc::Class k = objc::registerCxxClass<SBLockScreenViewController>(
            "SBLockScreenViewController", objc::NSObject::cls());
        objc::addMethod(k, SEL_("didRotateFromInterfaceOrientation:"), &lock_didRotate);
        objc::addMethod(k, SEL_("willRotateToInterfaceOrientation:duration:"), &lock_willRotate);
        objc::addMethod(k, SEL_("willAnimateRotationToInterfaceOrientation:duration:"),
                        &lock_willAnimate);
        return k;
    }();
    return c;
}

void registerHostClasses(HostRole role) {
    registerDeviceClasses();
    registerUIKitClasses();
    NSDistributedNotificationCenter::cls();
    NSNotification::cls();
    if (role == HostRole::SpringBoard) {
        registerSpringBoardServiceClasses();
        SBLockScreenViewController::cls();
    }
    if (role == HostRole::SpringBoard || role == HostRole::MobilePhone) {
        TPSuperBottomBar::cls();
        InCallController::cls();
    }
}

// --- The call screen
// -------------------------------------------------------------------------------

namespace {

void callScreenStatusCallback(CFNotificationCenterRef, void*, const std::string& name, const void*,
                              const Dictionary* userInfo) {
    if (name != "kCTCallStatusChangeNotification" &&
        name != "kCTCallAlternateStatusChangeNotification")
        return;
    int32_t status = 0;
    if (userInfo != nullptr) {
        if (auto it = userInfo->find("kCTCallStatus"); it != userInfo->end())
            status = it->second.intValue().value_or(0);
    }
    // Not under the running handler: the screen changes on the next pass.
    RunLoop::main().schedule(0, [status] {
        objc::AutoreleasePool pool;
        CallScreen::shared().onStatus(status);
    });
}

}  // namespace

CallScreen& CallScreen::shared() {
    static auto* s = new CallScreen();
    return *s;
}

void CallScreen::install(HostRole role) {
    role_ = role;
    if (!installed_) {
        CTTelephonyCenterAddObserver(CTTelephonyCenterGetDefault(), this, &callScreenStatusCallback,
                                     nullptr, nullptr,
                                     CFNotificationSuspensionBehaviorDeliverImmediately);
        installed_ = true;
    }
    if (role == HostRole::SpringBoard && !lockScreen_) {
        lockScreen_ = objc::adopt(static_cast<SBLockScreenViewController*>(
            objc::allocInit(SBLockScreenViewController::cls())));
    }
}

void CallScreen::rotateLockScreen(int64_t from, int64_t to, double duration) {
    if (!lockScreen_) return;
    id screen = lockScreen_.get();
    msgSend(screen, SEL_("willRotateToInterfaceOrientation:duration:"), to, duration);
    msgSend(screen, SEL_("willAnimateRotationToInterfaceOrientation:duration:"), to, duration);
    msgSend(screen, SEL_("didRotateFromInterfaceOrientation:"), from);
    if (tracing()) trace(events::LockScreenRotated{to});
}

void CallScreen::dropBar() {
    if (!bar_) return;
    // Out of the field before it goes: its dealloc must find the screen without it.
    objc::Strong<TPSuperBottomBar> going = std::move(bar_);
    if (tracing()) trace(events::CallScreenChanged{events::CallScreen::Incoming, false});
}

void CallScreen::dropController() {
    if (!controller_) return;
    objc::Strong<InCallController> going = std::move(controller_);
    if (tracing()) trace(events::CallScreenChanged{events::CallScreen::InCall, false});
}

void CallScreen::onStatus(int32_t status) {
    if (status == kCTCallStatusIncoming && role_ == HostRole::SpringBoard) {
        if (!bar_) {
            if (tracing()) trace(events::CallScreenChanged{events::CallScreen::Incoming, true});
            bar_ = objc::adopt(
                static_cast<TPSuperBottomBar*>(objc::allocInit(TPSuperBottomBar::cls())));
        }
    } else if (status == kCTCallStatusActive) {
        dropBar();
        if (!controller_ && role_ != HostRole::Preferences) {
            controller_ = objc::adopt(
                static_cast<InCallController*>(objc::allocInit(InCallController::cls())));
            if (tracing()) trace(events::CallScreenChanged{events::CallScreen::InCall, true});
        }
    } else if (status == kCTCallStatusEnded) {
        dropBar();
        dropController();
        DeviceModel::shared().setSpeakerSelected(false);
    }
    if (controller_) {
        auto note = objc::adopt(
            NSNotification::create("kCTCallStatusChangeNotification", nullptr,
                                   Value(Dictionary{{"kCTCallStatus", Value(status)}})));
        msgSend(static_cast<id>(controller_.get()), SEL_("_callStatusChangedNotification:"),
                static_cast<id>(note.get()));
    }
}

void CallScreen::reset() {
    dropBar();
    dropController();
    lockScreen_.reset();
    if (installed_) CFNotificationCenterRemoveEveryObserver(CTTelephonyCenterGetDefault(), this);
    installed_ = false;
    role_ = HostRole::Preferences;
}

void state::resetCallScreen() { CallScreen::shared().reset(); }

}  // namespace platform
