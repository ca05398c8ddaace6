#include "modem.h"

#include <algorithm>

#include "platform/devices/hardware.h"
#include "platform/loop/runloop.h"

namespace phoned {

namespace {

constexpr const char* kService = "org.freedesktop.ModemManager1";
constexpr const char* kRoot = "/org/freedesktop/ModemManager1";
constexpr const char* kVoice = "org.freedesktop.ModemManager1.Modem.Voice";
constexpr const char* kCall = "org.freedesktop.ModemManager1.Call";

// ModemManager's call directions and states.
constexpr int64_t kIncoming = 1;
constexpr int64_t kRingingIn = 3;
constexpr int64_t kActive = 4;
constexpr int64_t kTerminated = 7;

}  // namespace

Modem::Modem(Connection& system, std::function<void(int32_t)> onStatus,
             std::function<void(std::function<void()>)> afterNotifications)
    : bus_(system),
      onStatus_(std::move(onStatus)),
      afterNotifications_(std::move(afterNotifications)) {
    matches_.push_back(bus_.match({.path = kRoot,
                                   .interface = "org.freedesktop.DBus.ObjectManager",
                                   .member = "InterfacesAdded"},
                                  [this](sd_bus_message* m) {
                                      if (!service_->sent(m)) return;
                                      auto added = readInterfacesAdded(m);
                                      if (!added) return;
                                      if (auto voice = added->interfaces.find(kVoice);
                                          voice != added->interfaces.end())
                                          addModem(added->path, voice->second);
                                  }));
    matches_.push_back(bus_.match({.path = kRoot,
                                   .interface = "org.freedesktop.DBus.ObjectManager",
                                   .member = "InterfacesRemoved"},
                                  [this](sd_bus_message* m) {
                                      if (!service_->sent(m)) return;
                                      auto removed = readInterfacesRemoved(m);
                                      if (removed && std::count(removed->interfaces.begin(),
                                                                removed->interfaces.end(), kVoice))
                                          removeModem(removed->path);
                                  }));
    matches_.push_back(bus_.match(
        {.path = kRoot, .pathNamespace = true, .interface = kVoice, .member = "CallAdded"},
        [this](sd_bus_message* m) {
            const char* call = nullptr;
            const char* modem = sd_bus_message_get_path(m);
            if (!service_->sent(m) || modem == nullptr) return;
            if (sd_bus_message_read_basic(m, 'o', &call) >= 0 && call != nullptr)
                track(modem, call);
        }));
    matches_.push_back(bus_.match(
        {.path = kRoot, .pathNamespace = true, .interface = kVoice, .member = "CallDeleted"},
        [this](sd_bus_message* m) {
            const char* call = nullptr;
            if (!service_->sent(m)) return;
            if (sd_bus_message_read_basic(m, 'o', &call) >= 0 && call != nullptr) forget(call);
        }));
    matches_.push_back(bus_.match(
        {.path = kRoot, .pathNamespace = true, .interface = kCall, .member = "StateChanged"},
        [this](sd_bus_message* m) {
            int32_t before = 0, after = 0;
            const char* path = sd_bus_message_get_path(m);
            if (!service_->sent(m) || path == nullptr) return;
            if (sd_bus_message_read(m, "ii", &before, &after) < 0) return;
            changed(path, Props{{"State", Variant{int64_t{after}}}});
        }));
    matches_.push_back(bus_.match(
        {.path = kRoot,
         .pathNamespace = true,
         .interface = "org.freedesktop.DBus.Properties",
         .member = "PropertiesChanged"},
        [this](sd_bus_message* m) {
            const char* interface = nullptr;
            const char* path = sd_bus_message_get_path(m);
            if (!service_->sent(m) || path == nullptr) return;
            if (sd_bus_message_read_basic(m, 's', &interface) < 0 || interface == nullptr) return;
            auto props = readProps(m);
            if (!props) return;
            if (std::string(interface) == kCall) {
                changed(path, *props);
            } else if (std::string(interface) == kVoice) {
                // The list of calls is the modem's own word on which calls exist; signals
                // missed while it changed are caught up here.
                const Variant* calls = find(*props, "Calls");
                if (calls == nullptr) return;
                const auto now = asStrings(*calls);
                std::vector<std::string> gone;
                for (const auto& [call, c] : calls_)
                    if (c.modem == path && std::find(now.begin(), now.end(), call) == now.end())
                        gone.push_back(call);
                for (const auto& call : gone) forget(call);
                for (const auto& call : now) track(path, call);
            }
        }));
    service_ = std::make_unique<Service>(bus_, kService, "the modem service (ModemManager)",
                                         [this](bool present) {
                                             vanished();
                                             if (present) appeared();
                                         });
}

Modem::~Modem() { platform::RunLoop::main().cancel(rewatch_); }

void Modem::appeared() {
    const unsigned generation = generation_;
    bus_.call(kService, kRoot, "org.freedesktop.DBus.ObjectManager", "GetManagedObjects", {},
              [this, generation](const Reply& reply) {
                  if (generation != generation_) return;
                  if (!reply.ok()) {
                      say("cannot list the modems of ModemManager: " + reply.error);
                      return;
                  }
                  auto objects = readManagedObjects(reply.message);
                  if (!objects) {
                      say("cannot list the modems of ModemManager: " + objects.error());
                      return;
                  }
                  size_t voice = 0;
                  for (const auto& [path, interfaces] : *objects) {
                      if (auto it = interfaces.find(kVoice); it != interfaces.end()) {
                          addModem(path, it->second);
                          ++voice;
                      }
                  }
                  if (voice == 0)
                      say("ModemManager has no modem with voice calls yet; waiting for one");
              });
}

void Modem::vanished() {
    ++generation_;
    forgetCalls([](const std::string&, const Call&) { return true; });
    modems_.clear();
}

void Modem::addModem(const std::string& path, const Props& voice) {
    if (std::find(modems_.begin(), modems_.end(), path) == modems_.end()) modems_.push_back(path);
    if (const Variant* calls = find(voice, "Calls"))
        for (const auto& call : asStrings(*calls)) track(path, call);
}

void Modem::removeModem(const std::string& path) {
    forgetCalls([&path](const std::string&, const Call& c) { return c.modem == path; });
    std::erase(modems_, path);
}

void Modem::track(const std::string& modem, const std::string& call) {
    if (calls_.count(call) != 0) return;
    calls_[call].modem = modem;
    calls_[call].order = ++seen_;
    const unsigned generation = generation_;
    getAll(bus_, kService, call, kCall, [this, call, generation](platform::Result<Props> props) {
        auto it = calls_.find(call);
        if (generation != generation_ || it == calls_.end()) return;
        if (!props) {
            say("cannot read the call " + call + " of ModemManager: " + props.error());
            return;
        }
        it->second.known = true;
        changed(call, *props);
    });
}

void Modem::forget(const std::string& call) {
    forgetCalls([&call](const std::string& path, const Call&) { return path == call; });
}

void Modem::forgetCalls(const std::function<bool(const std::string&, const Call&)>& drop) {
    bool unfinished = false, watched = false;
    for (auto it = calls_.begin(); it != calls_.end();) {
        if (!drop(it->first, it->second)) {
            ++it;
            continue;
        }
        unfinished = unfinished || (it->second.reportedRinging && !it->second.reportedEnded);
        watched = watched || ringing_ == it->first;
        it = calls_.erase(it);
    }
    if (watched) ringing_.clear();
    // A call that vanishes without saying goodbye has ended all the same.
    if (unfinished) ended(watched);
}

// A call followed since it rang has ended; watched: it was the watched one.
void Modem::ended(bool watched) {
    // Another call still rings and is watched: its watch goes on undisturbed.
    if (!watched && !ringing_.empty()) return;
    report(platform::kCTCallStatusEnded);
    // The tweak takes the end in on the next pass and removes the answer bar's hint through a
    // notification; only once that is delivered does another call ring afresh, or the hint of
    // the call screen built for it would go with the old one's.
    platform::RunLoop::main().cancel(rewatch_);
    rewatch_ = platform::RunLoop::main().schedule(0, [this, generation = generation_] {
        rewatch_ = 0;
        if (generation != generation_ || !ringing_.empty()) return;
        afterNotifications_([this, alive = std::weak_ptr<bool>(alive_), generation] {
            if (alive.lock() && generation == generation_ && ringing_.empty()) rewatch();
        });
    });
}

// The newest incoming call that still rings becomes the watched one.
void Modem::rewatch() {
    const Call* next = nullptr;
    std::string path;
    for (const auto& [p, c] : calls_) {
        if (c.known && c.reportedRinging && !c.reportedEnded && !c.reportedActive &&
            c.state == kRingingIn && c.direction == kIncoming && (!next || c.order > next->order)) {
            next = &c;
            path = p;
        }
    }
    if (next == nullptr) return;
    ringing_ = path;
    report(platform::kCTCallStatusIncoming);
}

void Modem::changed(const std::string& path, const Props& props) {
    auto it = calls_.find(path);
    if (it == calls_.end()) return;
    if (const Variant* d = find(props, "Direction")) it->second.direction = asInt(*d);
    if (const Variant* s = find(props, "State")) it->second.state = asInt(*s);
    evaluate(path);
}

void Modem::evaluate(const std::string& path) {
    Call& c = calls_[path];
    if (!c.known) return;
    if (!c.reportedRinging) {
        if (c.state == kRingingIn && c.direction == kIncoming) {
            c.reportedRinging = true;
            ringing_ = path;
            report(platform::kCTCallStatusIncoming);
        }
        return;
    }
    const bool watched = ringing_ == path;
    if (c.state != kRingingIn && watched) ringing_.clear();
    if (c.state == kActive && !c.reportedActive && !c.reportedEnded) {
        c.reportedActive = true;
        report(platform::kCTCallStatusActive);
    } else if (c.state == kTerminated && !c.reportedEnded) {
        c.reportedEnded = true;
        ended(watched);
    }
}

void Modem::report(int32_t status) {
    platform::DeviceModel::shared().setCallStatus(status);
    if (onStatus_) onStatus_(status);
}

void Modem::answer() {
    auto it = ringing_.empty() ? calls_.end() : calls_.find(ringing_);
    if (it == calls_.end()) {
        say("not answering: no call is ringing on the modem");
        return;
    }
    Call& c = it->second;
    if (c.acceptSent) {
        say("not answering: the ringing call has been answered once already");
        return;
    }
    if (c.state != kRingingIn || c.direction != kIncoming) {
        say("not answering: the call is no longer ringing");
        return;
    }
    c.acceptSent = true;
    say("answering the ringing call");
    bus_.call(kService, ringing_, kCall, "Accept", {}, [](const Reply& reply) {
        if (!reply.ok()) say("the modem did not take the call: " + reply.error);
    });
}

}  // namespace phoned
