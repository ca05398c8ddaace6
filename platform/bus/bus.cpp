#include "platform/bus/bus.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstring>
#include <iterator>

#include "platform/core/runtime.h"
#include "platform/loop/runloop.h"

namespace platform {

namespace {

sd_bus* raw(void* p) { return static_cast<sd_bus*>(p); }

std::string errorText(int r) { return std::strerror(r < 0 ? -r : r); }

// Quotes a value for a match rule (single quotes; a quote inside is written '\'').
std::string quoteRule(const std::string& v) {
    std::string out = "'";
    for (char c : v) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

bool readArgs(sd_bus_message* m, std::vector<BusArg>& out) {
    for (;;) {
        char type = 0;
        const char* contents = nullptr;
        int r = sd_bus_message_peek_type(m, &type, &contents);
        if (r < 0) return false;
        if (r == 0) return true;
        switch (type) {
            case 's': {
                const char* s = nullptr;
                if (sd_bus_message_read_basic(m, 's', &s) < 0) return false;
                out.emplace_back(std::string(s ? s : ""));
                break;
            }
            case 'b': {
                int b = 0;
                if (sd_bus_message_read_basic(m, 'b', &b) < 0) return false;
                out.emplace_back(b != 0);
                break;
            }
            case 'i': {
                int32_t i = 0;
                if (sd_bus_message_read_basic(m, 'i', &i) < 0) return false;
                out.emplace_back(i);
                break;
            }
            case 'x': {
                int64_t x = 0;
                if (sd_bus_message_read_basic(m, 'x', &x) < 0) return false;
                out.emplace_back(x);
                break;
            }
            case 'd': {
                double d = 0;
                if (sd_bus_message_read_basic(m, 'd', &d) < 0) return false;
                out.emplace_back(d);
                break;
            }
            case 'a': {
                if (contents == nullptr || std::strcmp(contents, "s") != 0) return false;
                char** strv = nullptr;
                if (sd_bus_message_read_strv(m, &strv) < 0) return false;
                std::vector<std::string> list;
                for (char** p = strv; p && *p; ++p) {
                    list.emplace_back(*p);
                    std::free(*p);
                }
                std::free(strv);
                out.emplace_back(std::move(list));
                break;
            }
            default:
                if (sd_bus_message_skip(m, nullptr) < 0) return false;
        }
    }
}

}  // namespace

struct Bus::Subscription {
    Bus* bus = nullptr;
    sd_bus_slot* slot = nullptr;
    std::function<void(const BusSignal&)> handler;
    Delivery delivery = Delivery::InOrder;

    static int callback(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* s = static_cast<Subscription*>(userdata);
        BusSignal signal;
        signal.interface = sd_bus_message_get_interface(m) ? sd_bus_message_get_interface(m) : "";
        signal.member = sd_bus_message_get_member(m) ? sd_bus_message_get_member(m) : "";
        signal.sender = sd_bus_message_get_sender(m) ? sd_bus_message_get_sender(m) : "";
        if (!readArgs(m, signal.args)) return 0;  // a malformed signal is dropped
        if (s->bus->holding_ && s->delivery == Delivery::InOrder) {
            s->bus->held_.emplace_back(s, std::move(signal));
            return 0;
        }
        objc::AutoreleasePool pool;
        s->handler(signal);
        return 0;
    }
};

Result<std::unique_ptr<Bus>> Bus::open(const std::string& address) {
    std::unique_ptr<Bus> bus(new Bus());
    sd_bus* b = nullptr;
    int r = sd_bus_new(&b);
    if (r >= 0) r = sd_bus_set_address(b, address.c_str());
    if (r >= 0) r = sd_bus_set_bus_client(b, 1);
    if (r >= 0) r = sd_bus_start(b);
    const char* unique = nullptr;
    if (r >= 0) r = sd_bus_get_unique_name(b, &unique);
    if (r < 0) {
        if (b) sd_bus_unref(b);
        return Failure{"cannot connect to the bus at " + address + ": " + errorText(r)};
    }
    bus->bus_ = b;
    bus->uniqueName_ = unique ? unique : "";
    bus->fd_ = sd_bus_get_fd(b);
    Bus* self = bus.get();
    bus->subscribe(
        "org.freedesktop.DBus.Local", "Disconnected", std::nullopt,
        [self](const BusSignal&) { self->lost("lost the bus connection: the bus closed it"); },
        Delivery::Immediate);
    RunLoop::main().addSource(bus->fd_, [self] { self->pump(); });
    return bus;
}

Bus::~Bus() {
    if (fd_ >= 0) RunLoop::main().removeSource(fd_);
    for (auto& s : subscriptions_) sd_bus_slot_unref(s->slot);
    if (bus_) sd_bus_flush_close_unref(raw(bus_));
}

void Bus::setDisconnectHandler(std::function<void(const std::string&)> handler) {
    onDisconnect_ = std::move(handler);
}

void Bus::lost(const std::string& reason) {
    if (disconnected_) return;
    disconnected_ = true;
    if (fd_ >= 0) RunLoop::main().removeSource(fd_);
    if (onDisconnect_) {
        auto handler = onDisconnect_;
        RunLoop::main().schedule(0, [handler, reason] { handler(reason); });
    }
}

void Bus::pauseReading(bool paused) {
    if (paused == paused_ || disconnected_) return;
    paused_ = paused;
    if (paused) {
        RunLoop::main().removeSource(fd_);
    } else {
        RunLoop::main().addSource(fd_, [this] { pump(); });
    }
}

void Bus::pump() {
    if (disconnected_ || paused_) return;
    for (;;) {
        int r = sd_bus_process(raw(bus_), nullptr);
        if (r < 0) {
            lost("lost the bus connection: " + errorText(r));
            return;
        }
        if (r == 0 || disconnected_) return;
    }
}

void Bus::releaseHeld(size_t count) {
    for (; count > 0 && !held_.empty(); --count) {
        auto [subscription, signal] = std::move(held_.front());
        held_.pop_front();
        objc::AutoreleasePool pool;
        subscription->handler(signal);
    }
}

uint64_t Bus::sentCount(const std::string& interface) const {
    auto it = sentByInterface_.find(interface);
    return it == sentByInterface_.end() ? 0 : it->second;
}

bool Bus::emit(const BusSignal& signal) { return emit(std::vector<BusSignal>{signal}); }

bool Bus::emit(const std::vector<BusSignal>& signals) {
    if (disconnected_) return false;
    if (beforeEmit_ && !emitting_) {
        emitting_ = true;
        beforeEmit_();
        emitting_ = false;
    }
    if (disconnected_) return false;
    for (const BusSignal& signal : signals) {
        if (!send(signal)) return false;
    }
    const int r = sd_bus_flush(raw(bus_));
    if (r < 0) {
        lost("lost the bus connection: " + errorText(r));
        return false;
    }
    return true;
}

bool Bus::send(const BusSignal& signal) {
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_signal(raw(bus_), &m, kBusPath, signal.interface.c_str(),
                                      signal.member.c_str());
    for (size_t i = 0; r >= 0 && i < signal.args.size(); ++i) {
        const BusArg& a = signal.args[i];
        if (auto* s = std::get_if<std::string>(&a)) {
            r = sd_bus_message_append_basic(m, 's', s->c_str());
        } else if (auto* b = std::get_if<bool>(&a)) {
            int v = *b ? 1 : 0;
            r = sd_bus_message_append_basic(m, 'b', &v);
        } else if (auto* n = std::get_if<int32_t>(&a)) {
            r = sd_bus_message_append_basic(m, 'i', n);
        } else if (auto* x = std::get_if<int64_t>(&a)) {
            r = sd_bus_message_append_basic(m, 'x', x);
        } else if (auto* d = std::get_if<double>(&a)) {
            r = sd_bus_message_append_basic(m, 'd', d);
        } else if (auto* list = std::get_if<std::vector<std::string>>(&a)) {
            std::vector<char*> strv;
            for (const auto& item : *list) strv.push_back(const_cast<char*>(item.c_str()));
            strv.push_back(nullptr);
            r = sd_bus_message_append_strv(m, strv.data());
        }
    }
    if (r >= 0) r = sd_bus_send(raw(bus_), m, nullptr);
    sd_bus_message_unref(m);
    if (r < 0) {
        lost("lost the bus connection: " + errorText(r));
        return false;
    }
    ++sentTotal_;
    ++sentByInterface_[signal.interface];
    return true;
}

void Bus::subscribe(const std::string& interface, const std::string& member,
                    std::optional<std::string> arg0, std::function<void(const BusSignal&)> handler,
                    Delivery delivery) {
    if (disconnected_) return;
    auto sub = std::make_unique<Subscription>();
    sub->bus = this;
    sub->handler = std::move(handler);
    sub->delivery = delivery;
    std::string rule = "type='signal',interface=" + quoteRule(interface);
    if (!member.empty()) rule += ",member=" + quoteRule(member);
    if (arg0) rule += ",arg0=" + quoteRule(*arg0);
    int r;
    // A signal handled meanwhile (SIGTERM, the tweak's SIGINT) cuts the wait short: ask again.
    do {
        r = sd_bus_add_match(raw(bus_), &sub->slot, rule.c_str(), &Subscription::callback,
                             sub.get());
    } while (r == -EINTR);
    if (r < 0) {
        // Adding a rule is a round trip to the daemon: a bus that dies meanwhile is a lost bus,
        // whatever stage the host had reached.
        const bool gone =
            r == -ECONNRESET || r == -ENOTCONN || r == -EPIPE || sd_bus_is_open(raw(bus_)) <= 0;
        lost((gone ? "lost the bus connection: " : "cannot add a match rule: ") + errorText(r));
        return;
    }
    subscriptions_.push_back(std::move(sub));
    // Adding the rule waited for the daemon's reply; signals read meanwhile wait in sd-bus.
    std::weak_ptr<bool> alive = alive_;
    RunLoop::main().schedule(0, [this, alive] {
        if (!alive.expired()) pump();
    });
}

int64_t Bus::processOf(const std::string& uniqueName) {
    if (bus_ == nullptr || uniqueName.empty()) return -1;
    sd_bus_creds* creds = nullptr;
    pid_t pid = -1;
    if (sd_bus_get_name_creds(raw(bus_), uniqueName.c_str(), SD_BUS_CREDS_PID, &creds) >= 0) {
        if (sd_bus_creds_get_pid(creds, &pid) < 0) pid = -1;
        sd_bus_creds_unref(creds);
    }
    return pid;
}

// --- Trace events as signals -------------------------------------------------------------

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
// Spelled out for compilers without aggregate deduction (clang before 17, the fuzz build's).
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

std::vector<BusArg> viewArgs(const TracedView& v) {
    return {v.className, v.tag, v.x, v.y, v.width, v.height, v.text};
}

// Reads the arguments from index `at` on (0 is the process), each of the type asked for.
class ArgReader {
  public:
    ArgReader(const BusSignal& s, size_t at) : s_(s), i_(at) {}
    template <class T>
    T next() {
        const T* v = s_.arg<T>(i_++);
        if (v == nullptr) {
            ok_ = false;
            return T{};
        }
        return *v;
    }
    TracedView view() {
        TracedView v;
        v.className = next<std::string>();
        v.tag = next<int64_t>();
        v.x = next<double>();
        v.y = next<double>();
        v.width = next<double>();
        v.height = next<double>();
        v.text = next<std::string>();
        return v;
    }
    // One of two words: true for the first.
    bool either(const char* first, const char* second) {
        const std::string w = next<std::string>();
        if (w != first && w != second) ok_ = false;
        return w == first;
    }
    bool ok() const { return ok_ && s_.text(0) != nullptr; }
    size_t position() const { return i_; }

  private:
    const BusSignal& s_;
    size_t i_;
    bool ok_ = true;
};

// The characters an argument adds to a signal's D-Bus signature.
size_t signatureLength(const BusArg& a) {
    return std::holds_alternative<std::vector<std::string>>(a) ? 2 : 1;
}

// The signature of a D-Bus message is at most 255 characters.
constexpr size_t kMaxSignature = 255;

std::optional<TraceEvent> decodeEvent(const BusSignal& s, const std::string& m, size_t& at);

}  // namespace

BusSignal traceSignal(const std::string& process, const TraceEvent& event) {
    using namespace events;
    auto [member, args] = std::visit(
        Overloaded{
            [](const ViewAdded& e) {
                return std::pair{"ViewAdded", viewArgs(e.view)};
            },
            [](const ViewRemoved& e) {
                return std::pair{"ViewRemoved", viewArgs(e.view)};
            },
            [](const ButtonTapped& e) {
                return std::pair{"ButtonTapped", viewArgs(e.button)};
            },
            [](const SwitchFlipped& e) {
                return std::pair{"SwitchFlipped", std::vector<BusArg>{e.tag, e.on, e.label}};
            },
            [](const PickerTurned& e) {
                return std::pair{"PickerTurned", std::vector<BusArg>{e.column, e.title}};
            },
            [](const AlertShown& e) {
                return std::pair{"AlertShown", std::vector<BusArg>{e.title, e.message, e.buttons}};
            },
            [](const AlertClosed& e) {
                return std::pair{"AlertClosed", std::vector<BusArg>{e.button}};
            },
            [](const URLOpened& e) {
                return std::pair{"URLOpened", std::vector<BusArg>{e.url}};
            },
            [](const SensorSwitched& e) {
                return std::pair{"SensorSwitched",
                                 std::vector<BusArg>{
                                     std::string(e.sensor == Sensor::Accelerometer ? "accelerometer"
                                                                                   : "proximity"),
                                     e.on}};
            },
            [](const CallAnswered& e) {
                return std::pair{"CallAnswered",
                                 std::vector<BusArg>{std::string(
                                     e.by == AnswerControl::Button ? "button" : "slide")}};
            },
            [](const SlideFinished&) {
                return std::pair{"SlideFinished", std::vector<BusArg>{}};
            },
            [](const InCallButtonTapped& e) {
                return std::pair{"InCallButtonTapped", std::vector<BusArg>{e.position}};
            },
            [](const SpeakerButtonTapped& e) {
                return std::pair{"SpeakerButtonTapped", std::vector<BusArg>{e.speakerOn}};
            },
            [](const CallScreenChanged& e) {
                return std::pair{
                    "CallScreenChanged",
                    std::vector<BusArg>{
                        std::string(e.screen == CallScreen::Incoming ? "incoming" : "in-call"),
                        e.shown}};
            },
            [](const LockScreenRotated& e) {
                return std::pair{"LockScreenRotated", std::vector<BusArg>{e.orientation}};
            },
            [](const TweakInjected& e) {
                return std::pair{"TweakInjected", std::vector<BusArg>{e.file}};
            },
            [](const SettingsShown& e) {
                return std::pair{"SettingsShown", std::vector<BusArg>{e.controllerClass}};
            },
            [](const PaneOpened& e) {
                return std::pair{"PaneOpened", std::vector<BusArg>{e.entry}};
            },
            [](const RecognizerChanged& e) {
                return std::pair{"RecognizerChanged",
                                 std::vector<BusArg>{e.state, e.timeLimit, e.timedSince}};
            },
            [](const ScreenshotWritten& e) {
                return std::pair{"ScreenshotWritten", std::vector<BusArg>{e.file}};
            },
            [](const Bookkeeping& e) {
                return std::pair{"Bookkeeping", std::vector<BusArg>{e.what}};
            },
        },
        event);
    args.insert(args.begin(), process);
    return BusSignal{busnames::kTrace, member, std::move(args), {}};
}

std::vector<BusSignal> traceSignals(const std::string& process,
                                    const std::vector<TraceEvent>& events) {
    std::vector<BusSignal> out;
    std::vector<size_t> counts;  // events in each signal of out
    size_t signature = 0;
    for (const TraceEvent& event : events) {
        BusSignal one = traceSignal(process, event);
        size_t length = 1;  // the member's name
        for (size_t i = 1; i < one.args.size(); ++i) length += signatureLength(one.args[i]);
        if (out.empty() || signature + length > kMaxSignature) {
            out.push_back(BusSignal{busnames::kTrace, busnames::kEvents, {process}, {}});
            counts.push_back(0);
            signature = 1;
        }
        BusSignal& batch = out.back();
        batch.args.emplace_back(std::move(one.member));
        std::move(one.args.begin() + 1, one.args.end(), std::back_inserter(batch.args));
        signature += length;
        ++counts.back();
    }
    // A lone event travels as its own signal.
    for (size_t i = 0; i < out.size(); ++i) {
        if (counts[i] != 1) continue;
        BusSignal& lone = out[i];
        lone.member = std::get<std::string>(lone.args[1]);
        lone.args.erase(lone.args.begin() + 1);
    }
    return out;
}

std::optional<TraceEvent> traceEventOf(const BusSignal& s) {
    if (s.interface != busnames::kTrace) return std::nullopt;
    size_t at = 1;
    return decodeEvent(s, s.member, at);
}

std::vector<TraceEvent> traceEventsOf(const BusSignal& s) {
    if (s.interface != busnames::kTrace) return {};
    if (s.member != busnames::kEvents) {
        std::optional<TraceEvent> e = traceEventOf(s);
        return e ? std::vector<TraceEvent>{*e} : std::vector<TraceEvent>{};
    }
    std::vector<TraceEvent> out;
    for (size_t at = 1; at < s.args.size();) {
        const std::string* member = s.text(at++);
        std::optional<TraceEvent> e;
        if (member != nullptr && *member != busnames::kEvents) e = decodeEvent(s, *member, at);
        if (!e) return {};  // one malformed event makes the whole signal untrustworthy
        out.push_back(std::move(*e));
    }
    return out;
}

namespace {

std::optional<TraceEvent> decodeEvent(const BusSignal& s, const std::string& m, size_t& at) {
    using namespace events;
    ArgReader in(s, at);
    std::optional<TraceEvent> e;
    if (m == "ViewAdded") {
        e = ViewAdded{in.view()};
    } else if (m == "ViewRemoved") {
        e = ViewRemoved{in.view()};
    } else if (m == "ButtonTapped") {
        e = ButtonTapped{in.view()};
    } else if (m == "SwitchFlipped") {
        const int64_t tag = in.next<int64_t>();
        const bool on = in.next<bool>();
        e = SwitchFlipped{tag, on, in.next<std::string>()};
    } else if (m == "PickerTurned") {
        const int64_t column = in.next<int64_t>();
        e = PickerTurned{column, in.next<std::string>()};
    } else if (m == "AlertShown") {
        std::string title = in.next<std::string>();
        std::string message = in.next<std::string>();
        e = AlertShown{title, message, in.next<std::vector<std::string>>()};
    } else if (m == "AlertClosed") {
        e = AlertClosed{in.next<std::string>()};
    } else if (m == "URLOpened") {
        e = URLOpened{in.next<std::string>()};
    } else if (m == "SensorSwitched") {
        const bool accelerometer = in.either("accelerometer", "proximity");
        e = SensorSwitched{accelerometer ? Sensor::Accelerometer : Sensor::Proximity,
                           in.next<bool>()};
    } else if (m == "CallAnswered") {
        e = CallAnswered{in.either("button", "slide") ? AnswerControl::Button
                                                      : AnswerControl::Slide};
    } else if (m == "SlideFinished") {
        e = SlideFinished{};
    } else if (m == "InCallButtonTapped") {
        e = InCallButtonTapped{in.next<int32_t>()};
    } else if (m == "SpeakerButtonTapped") {
        e = SpeakerButtonTapped{in.next<bool>()};
    } else if (m == "CallScreenChanged") {
        const bool incoming = in.either("incoming", "in-call");
        e = CallScreenChanged{incoming ? CallScreen::Incoming : CallScreen::InCall,
                              in.next<bool>()};
    } else if (m == "LockScreenRotated") {
        e = LockScreenRotated{in.next<int64_t>()};
    } else if (m == "TweakInjected") {
        e = TweakInjected{in.next<std::string>()};
    } else if (m == "SettingsShown") {
        e = SettingsShown{in.next<std::string>()};
    } else if (m == "PaneOpened") {
        e = PaneOpened{in.next<std::string>()};
    } else if (m == "RecognizerChanged") {
        const int32_t state = in.next<int32_t>();
        const double limit = in.next<double>();
        e = RecognizerChanged{state, limit, in.next<double>()};
    } else if (m == "ScreenshotWritten") {
        e = ScreenshotWritten{in.next<std::string>()};
    } else if (m == "Bookkeeping") {
        e = Bookkeeping{in.next<std::string>()};
    }
    if (!e || !in.ok()) return std::nullopt;
    at = in.position();
    return e;
}

}  // namespace

}  // namespace platform
