// What a host's screen shows a person, kept as pictures (orvella-sim --screenshots DIR).
//
// After each pass of its run loop (in simulated time, the end of each of its turns) the host
// asks its recorder, which draws the screen only when something visible may have changed and
// keeps the picture only when the pixels did. SpringBoard shows the incoming-call screen (the
// answer bar, with whatever a tweak added to it) while a call rings and the in-call screen
// while a call is active, and nothing of its own otherwise; Settings shows the pane with its
// picker panel and the alert in front. The phone application's call screens are SpringBoard's
// on this phone, so it keeps none.
//
// A picture is written to a file of its own in DIR, named "<kPendingScreenshotPrefix><process>-
// <n>.png", and announced with a ScreenshotWritten trace event; the simulator gives it its
// final name, by phone time and process (screenshots.h).
#pragma once

#include <string>

#include "platform/hosts/host_classes.h"
#include "render/render.h"

namespace sim {

class ScreenRecorder {
  public:
    ScreenRecorder(std::string process, platform::HostRole role, std::string dir);
    // The Settings application's pane controller, whose view is the screen.
    void setPane(objc::id pane) { pane_ = pane; }
    void afterPass();

  private:
    std::string process_;
    platform::HostRole role_;
    std::string dir_;
    objc::id pane_ = nullptr;  // not retained: the host keeps it for its whole life
    render::Recorder recorder_;
    bool showing_ = false;  // something to show was there at the last pass
    int written_ = 0;
    bool warned_ = false;
};

}  // namespace sim
