// Playing a scenario on the phone: each step becomes the hardware or settings signals that
// make it happen, and a line of the timeline. The player is also the phone's modem and audio
// system: it answers the hosts' answer and speaker requests. A user in Settings takes time:
// the picker is turned and confirmed over a second after it was opened (kPickerSteps), an
// alert is read for two seconds before its OK is tapped.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/bus/bus.h"
#include "platform/loop/runloop.h"
#include "scenario.h"
#include "senders.h"
#include "timeline.h"

namespace sim {

// The phone's own state, as the modem and the audio system see it.
struct Modem {
    int32_t status = 0;
    bool answered = false;
    // Every call that came in, in order: whether it was answered and at which wave (the
    // uncoverings made while it rang).
    struct Call {
        bool answered = false;
        int wave = 0;
    };
    std::vector<Call> calls;
    bool speakerEverOn = false;
    bool speaker = false;
    int uncovers = 0;  // in the current call
    bool headset = false;
    bool bluetooth = false;
    bool locked = false;
    std::vector<std::string> outputs() const;
};

// When the user, having opened the picker with a setup button, turns its columns (speed,
// locked, unlocked: after the panel's half-second slide) and taps Done, in seconds after the
// opening tap.
inline constexpr double kPickerSteps[] = {0.6, 0.7, 0.8, 1.0};
inline constexpr double kAlertReadingSeconds = 2;

// What the modem and the audio system did.
enum class ModemChange { Answered, SpeakerOn, SpeakerOff };

// The step in the timeline's words ("hand covers the sensor").
std::string stepWords(const Step& step);

class Player {
  public:
    // Requests from the hosts (only from them: `senders`) are answered on the loop, never while
    // a host has its turn. In real time each step is followed by a Scripted signal, so hosts can
    // tell the simulator when they fall behind.
    Player(platform::Bus& bus, platform::RunLoop& loop, Timeline& timeline, bool realtime,
           Senders& senders);
    // Plays the step that was due at phone time `at`.
    void play(const Step& step, double at);
    const Modem& modem() const { return modem_; }
    // Told of every change of the modem, after it is in the timeline.
    void setObserver(std::function<void(ModemChange)> observer) { observer_ = std::move(observer); }

  private:
    void hardware(const platform::BusSignal& signal);
    void settings(const std::string& action, const std::string& argument);
    void answer();
    void speaker(bool on);
    // A call's step on the modem; an incoming call's words say which call and whether the phone
    // was locked.
    void call(const Step& step, std::string& words);
    // The user sets the waves and speed in the pane's picker, over a second (kPickerSteps).
    void pickWaves(const Step& step);

    platform::Bus& bus_;
    platform::RunLoop& loop_;
    Timeline& timeline_;
    bool realtime_;
    Modem modem_;
    std::function<void(ModemChange)> observer_;
};

}  // namespace sim
