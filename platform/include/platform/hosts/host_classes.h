// The host processes' own classes and behaviour: the answer bar (TPSuperBottomBar), the in-call
// controller (InCallController), the lock screen's view controller
// (SBLockScreenViewController) and the call screen that creates and tears them down as the call
// goes. The injector that loads tweak libraries into a host is in injector.h (included here).
//
// Runtime messages:
//   TPSuperBottomBar     init, dealloc, mainRightButton, setMainRightButton: (id),
//                        slidingButton, setSlidingButton: (id), buttonPressed: (id),
//                        slidingButtonDidFinishSlide
//     A press of the main right button or a finished slide answers the ringing call once.
//   InCallController     init, dealloc, speakerButtonPosition -> int32_t,
//                        sixSquareButtonClicked: (int32_t), _callStatusChangedNotification: (id),
//                        squareTapped: (id, a button of its view)
//     Clicking the speaker position toggles the speaker, as a user's tap does. Its view is the
//     in-call screen: a title and the six call controls in a grid of three by two, each a
//     button tagged with its position (mute, keypad, speaker, add call, FaceTime, contacts);
//     tapping one clicks that position.
//   SBLockScreenViewController  didRotateFromInterfaceOrientation: (int64_t),
//                        willRotateToInterfaceOrientation:duration: (int64_t, double),
//                        willAnimateRotationToInterfaceOrientation:duration: (int64_t, double)
#pragma once

#include <string>
#include <vector>

#include "platform/hosts/injector.h"
#include "platform/ui/views.h"

namespace platform {

enum class HostRole { SpringBoard, MobilePhone, Preferences };

class TPSuperBottomBar : public UIView {
  public:
    static objc::Class cls();
    objc::Strong<objc::Object> mainRightButton;
    objc::Strong<objc::Object> slidingButton;
    bool answered = false;
};

class InCallController : public objc::NSObject {
  public:
    static objc::Class cls();
    static constexpr int32_t kSpeakerPosition = 2;
    std::vector<int32_t> clicks;           // every position clicked, in order
    std::vector<std::string> statusNotes;  // names of the call-status notifications received
    objc::Strong<UIView> view;             // the screen's size; built by init
    // Shows the phone's present audio route on the speaker button: lit while the speaker is
    // chosen. A screen does this before it is drawn, as a layout pass would.
    void showRoute();
};

class SBLockScreenViewController : public objc::NSObject {
  public:
    static objc::Class cls();
    // The last rotation the platform's own methods saw.
    std::string lastCall;
    int64_t lastOrientation = -1;
    double lastDuration = -1;
};

// Interface orientations.
enum : int64_t {
    UIInterfaceOrientationPortrait = 1,
    UIInterfaceOrientationPortraitUpsideDown = 2,
    UIInterfaceOrientationLandscapeRight = 3,
    UIInterfaceOrientationLandscapeLeft = 4,
};

// Registers the classes a host of that role has.
void registerHostClasses(HostRole role);

// The call screen of a host: builds the answer bar when a call rings (SpringBoard), the in-call
// controller when it becomes active, and tears them down when the call moves on. Every change
// happens on a later pass of the run loop, never inside a notification handler.
class CallScreen {
  public:
    static CallScreen& shared();
    void install(HostRole role);
    TPSuperBottomBar* bar() const { return bar_; }
    InCallController* inCallController() const { return controller_; }
    SBLockScreenViewController* lockScreen() const { return lockScreen_; }
    // Rotates the lock screen (SpringBoard), sending the three rotation messages in order.
    void rotateLockScreen(int64_t from, int64_t to, double duration);
    // Tears every screen down and forgets the installation (its observer included).
    void reset();
    // A call status as the host sees it (from its telephony observer, one pass later).
    void onStatus(int32_t status);

  private:
    void dropBar();
    void dropController();
    HostRole role_ = HostRole::Preferences;
    bool installed_ = false;
    objc::Strong<TPSuperBottomBar> bar_;
    objc::Strong<InCallController> controller_;
    objc::Strong<SBLockScreenViewController> lockScreen_;
};

}  // namespace platform
