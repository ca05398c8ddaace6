#include "player.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "platform/devices/hardware.h"
#include "protocol/interfaces.h"
#include "protocol/subscribe.h"

namespace sim {

using platform::BusSignal;
namespace hw = protocol::hardware;
namespace modem = protocol::modem;

std::vector<std::string> Modem::outputs() const {
    std::vector<std::string> o;
    if (headset) o.push_back(platform::AVAudioSessionPortHeadphones);
    if (bluetooth) o.push_back(platform::AVAudioSessionPortBluetoothHFP);
    return o;
}

// The step's kind in JSON: the scenario's own word for it.
static const char* stepName(Step::Kind k) {
    using K = Step::Kind;
    switch (k) {
        case K::CallIncoming:
            return "call incoming";
        case K::CallActive:
            return "call active";
        case K::CallEnded:
            return "call ended";
        case K::CallHeld:
            return "call held";
        case K::Locked:
            return "locked";
        case K::Pose:
            return "pose";
        case K::Cover:
            return "cover";
        case K::Uncover:
            return "uncover";
        case K::LockButton:
            return "lock-button";
        case K::Headset:
            return "headset";
        case K::Bluetooth:
            return "bluetooth";
        case K::SettingsSwitch:
            return "settings switch";
        case K::SettingsWaves:
            return "settings waves";
        case K::SettingsInfo:
            return "settings info";
        case K::Note:
            return "note";
    }
    return "";
}

std::string stepWords(const Step& s) {
    using K = Step::Kind;
    char buf[96];
    switch (s.kind) {
        case K::CallIncoming:
            return "incoming call";
        case K::CallActive:
            return "call becomes active";
        case K::CallEnded:
            return "call ended";
        case K::CallHeld:
            return "call held";
        case K::Locked:
            return s.on ? "phone locked" : "phone unlocked";
        case K::Pose:
            if (s.z <= -0.5) return "phone lies screen-up";
            if (s.z >= 0.5) return "phone lies screen-down";
            std::snprintf(buf, sizeof buf, "phone moved to x %.2f, y %.2f, z %.2f", s.x, s.y, s.z);
            return buf;
        case K::Cover:
            return "hand covers the sensor";
        case K::Uncover:
            return "hand uncovers the sensor";
        case K::LockButton:
            return "lock button pressed";
        case K::Headset:
            return s.on ? "headphones plugged in" : "headphones unplugged";
        case K::Bluetooth:
            return s.on ? "Bluetooth hands-free connected" : "Bluetooth hands-free disconnected";
        case K::SettingsSwitch: {
            // The switches by what they do, as the screen's labels say it.
            const std::string which = s.text == "enabled switch"     ? "the master switch"
                                      : s.text == "headset switch"   ? "speaker with headset"
                                      : s.text == "detection switch" ? "the latest detection system"
                                                                     : "\"" + s.text + "\"";
            return "user turns " + which + (s.on ? " on" : " off") + " in Settings";
        }
        case K::SettingsWaves: {
            static const char* speeds[] = {"slow", "medium", "fast"};
            std::snprintf(buf, sizeof buf,
                          "user sets %d wave(s) locked, %d unlocked, %s in Settings", s.locked,
                          s.unlocked, speeds[s.speed]);
            return buf;
        }
        case K::SettingsInfo:
            return "user taps \"" + s.text + "\" in Settings and reads the alert";
        case K::Note:
            return s.text;
    }
    return "";
}

Player::Player(platform::Bus& bus, platform::RunLoop& loop, Timeline& timeline, bool realtime,
               Senders& senders)
    : bus_(bus), loop_(loop), timeline_(timeline), realtime_(realtime) {
    platform::RunLoop* l = &loop;
    protocol::on<modem::AnswerRequest>(
        bus_, [this, l, &senders](const modem::AnswerRequest&, const BusSignal& s) {
            if (senders.fromAHost(s)) l->schedule(0, [this] { answer(); });
        });
    protocol::on<modem::SpeakerRequest>(
        bus_, [this, l, &senders](const modem::SpeakerRequest& r, const BusSignal& s) {
            if (senders.fromAHost(s)) l->schedule(0, [this, on = r.on] { speaker(on); });
        });
}

void Player::hardware(const BusSignal& signal) { bus_.emit(signal); }

void Player::settings(const std::string& action, const std::string& argument) {
    bus_.emit(protocol::settings::Operate{action, argument}.signal());
}

void Player::answer() {
    if (modem_.status != platform::kCTCallStatusIncoming) return;
    modem_.status = platform::kCTCallStatusActive;
    if (!modem_.calls.empty()) modem_.calls.back() = {true, modem_.uncovers};
    modem_.answered = true;
    timeline_.add(Record::Modem, "sim",
                  modem_.calls.size() > 1
                      ? "call " + std::to_string(modem_.calls.size()) + " answered"
                      : std::string("call answered"),
                  {{"call", modem_.calls.size()}, {"answered", true}, {"wave", modem_.uncovers}});
    hardware(hw::CallStatus{modem_.status, false}.signal());
    if (observer_) observer_(ModemChange::Answered);
}

void Player::speaker(bool on) {
    if (on == modem_.speaker) return;
    modem_.speaker = on;
    modem_.speakerEverOn = modem_.speakerEverOn || on;
    timeline_.add(Record::Modem, "sim", on ? "speaker on" : "speaker off", {{"speaker", on}});
    hardware(hw::Speaker{on}.signal());
    if (observer_) observer_(on ? ModemChange::SpeakerOn : ModemChange::SpeakerOff);
}

void Player::call(const Step& step, std::string& words) {
    using K = Step::Kind;
    if (step.kind == K::CallIncoming) {
        modem_.status = platform::kCTCallStatusIncoming;
        modem_.uncovers = 0;
        modem_.calls.push_back({});
        if (modem_.calls.size() > 1) words += " (call " + std::to_string(modem_.calls.size()) + ")";
        words += modem_.locked ? ", phone locked" : ", phone unlocked";
    } else {
        modem_.status = step.kind == K::CallActive  ? platform::kCTCallStatusActive
                        : step.kind == K::CallEnded ? platform::kCTCallStatusEnded
                                                    : platform::kCTCallStatusHeld;
        if (step.kind == K::CallEnded && modem_.speaker) {
            modem_.speaker = false;
            hardware(hw::Speaker{false}.signal());
        }
    }
    hardware(hw::CallStatus{modem_.status, false}.signal());
}

void Player::pickWaves(const Step& step) {
    // The user opens the picker with a setup button, turns the three columns, taps Done.
    settings("tap", "locked setup");
    const std::pair<const char*, std::string> later[] = {
        {"spin", "wave protocol picker:0:" + std::to_string(step.speed)},
        {"spin", "wave protocol picker:1:" + std::to_string(step.locked - 1)},
        {"spin", "wave protocol picker:2:" + std::to_string(step.unlocked - 1)},
        {"tap", "done"}};
    for (size_t i = 0; i < std::size(later); ++i) {
        loop_.schedule(kPickerSteps[i],
                       [this, action = std::string(later[i].first), argument = later[i].second] {
                           settings(action, argument);
                       });
    }
}

void Player::play(const Step& step, double at) {
    using K = Step::Kind;
    std::string words = stepWords(step);
    switch (step.kind) {
        case K::CallIncoming:
        case K::CallActive:
        case K::CallEnded:
        case K::CallHeld:
            call(step, words);
            break;
        case K::Locked:
            modem_.locked = step.on;
            hardware(hw::Locked{step.on}.signal());
            break;
        case K::Pose:
            hardware(hw::Pose{step.x, step.y, step.z}.signal());
            break;
        case K::Cover:
            hardware(hw::Proximity{true}.signal());
            break;
        case K::Uncover:
            ++modem_.uncovers;
            hardware(hw::Proximity{false}.signal());
            break;
        case K::LockButton:
            modem_.locked = true;  // the button locks the phone
            hardware(hw::LockButton{}.signal());
            break;
        case K::Headset:
            modem_.headset = step.on;
            hardware(hw::AudioOutputs{modem_.outputs()}.signal());
            break;
        case K::Bluetooth:
            modem_.bluetooth = step.on;
            hardware(hw::AudioOutputs{modem_.outputs()}.signal());
            break;
        case K::SettingsSwitch:
            settings("switch", step.text + (step.on ? "=on" : "=off"));
            break;
        case K::SettingsWaves:
            pickWaves(step);
            break;
        case K::SettingsInfo:
            settings("tap", step.text);
            loop_.schedule(kAlertReadingSeconds, [this] { settings("alert", "0"); });
            break;
        case K::Note:
            break;
    }
    if (realtime_) bus_.emit(protocol::clock::Scripted{at}.signal());
    Json details = {{"line", step.line}, {"step", stepName(step.kind)}};
    if (!modem_.calls.empty()) details["call"] = modem_.calls.size();
    timeline_.add(Record::Step, "sim", words, details);
}

}  // namespace sim
