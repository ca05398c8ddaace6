#include "soundserver.h"

#include <fcntl.h>
#include <pulse/pulseaudio.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "platform/loop/runloop.h"
#include "service.h"

namespace phoned {

namespace {

constexpr double kRetrySeconds = 5;

bool contains(std::string_view text, std::string_view word) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return lower.find(word) != std::string::npos;
}

SoundServer* self(void* userdata) { return static_cast<SoundServer*>(userdata); }

void onState(pa_context*, void* userdata) { self(userdata)->state(); }

void onEvent(pa_context*, pa_subscription_event_type_t, uint32_t, void* userdata) {
    self(userdata)->query();
}

void onSink(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
    if (eol != 0 || info == nullptr) return;
    const char* api = pa_proplist_gets(info->proplist, "device.api");
    const char* bus = pa_proplist_gets(info->proplist, "device.bus");
    const bool bluetooth =
        (api && std::string_view(api) == "bluez5") || (bus && std::string_view(bus) == "bluetooth");
    const pa_sink_port_info* port = info->active_port;
    self(userdata)->learned(
        port != nullptr &&
        wiredHeadphonesPort(port->name ? port->name : "", port->type, port->available, bluetooth));
}

void onServer(pa_context* c, const pa_server_info* info, void* userdata) {
    if (info == nullptr || info->default_sink_name == nullptr) {
        self(userdata)->learned(false);
        return;
    }
    if (pa_operation* op =
            pa_context_get_sink_info_by_name(c, info->default_sink_name, &onSink, userdata))
        pa_operation_unref(op);
}

}  // namespace

bool wiredHeadphonesPort(std::string_view portName, int type, int available, bool bluetoothSink) {
    if (bluetoothSink || available == PA_PORT_AVAILABLE_NO) return false;
    if (type == PA_DEVICE_PORT_TYPE_HEADPHONES || type == PA_DEVICE_PORT_TYPE_HEADSET) return true;
    // Servers that do not type their ports still name them ("analog-output-headphones",
    // "[Out] Headphones").
    return type == PA_DEVICE_PORT_TYPE_UNKNOWN &&
           (contains(portName, "headphone") || contains(portName, "headset"));
}

SoundServer::SoundServer(std::function<void()> onChange) : onChange_(std::move(onChange)) {
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        say("cannot watch the sound server: no pipe; wired headphones count as unplugged");
        return;
    }
    platform::RunLoop::main().addSource(pipe_[0], [this] { drain(); });
    loop_ = pa_threaded_mainloop_new();
    if (loop_ == nullptr || pa_threaded_mainloop_start(loop_) < 0) {
        say("cannot start the sound server client; wired headphones count as unplugged");
        return;
    }
    pa_threaded_mainloop_lock(loop_);
    connect();
    pa_threaded_mainloop_unlock(loop_);
}

SoundServer::~SoundServer() {
    if (retryTask_ != 0) platform::RunLoop::main().cancel(retryTask_);
    if (loop_ != nullptr) {
        pa_threaded_mainloop_lock(loop_);
        if (context_ != nullptr) {
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_set_subscribe_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
            pa_context_unref(context_);
            context_ = nullptr;
        }
        pa_threaded_mainloop_unlock(loop_);
        pa_threaded_mainloop_stop(loop_);
        pa_threaded_mainloop_free(loop_);
    }
    if (pipe_[0] >= 0) {
        platform::RunLoop::main().removeSource(pipe_[0]);
        ::close(pipe_[0]);
        ::close(pipe_[1]);
    }
}

void SoundServer::connect() {
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "orvella-phoned");
    if (context_ == nullptr) return;
    pa_context_set_state_callback(context_, &onState, this);
    pa_context_set_subscribe_callback(context_, &onEvent, this);
    // A refusal may come at once, with or without a state change: either way it is a failure.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 && context_)
        failed();
}

void SoundServer::state() {
    if (context_ == nullptr) return;
    switch (pa_context_get_state(context_)) {
        case PA_CONTEXT_READY: {
            if (!everConnected_ || saidMissing_)
                post(saidMissing_ ? "the sound server is running now" : "");
            everConnected_ = true;
            saidMissing_ = false;
            const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK |
                                                                  PA_SUBSCRIPTION_MASK_SERVER);
            if (pa_operation* op = pa_context_subscribe(context_, mask, nullptr, nullptr))
                pa_operation_unref(op);
            query();
            break;
        }
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            failed();
            break;
        default:
            break;
    }
}

void SoundServer::failed() {
    learned(false);
    if (!saidMissing_) {
        post(everConnected_ ? "the sound server went away; waiting for it to come back"
                            : "the sound server (PulseAudio or PipeWire) is not running; "
                              "waiting for it");
        saidMissing_ = true;
    }
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_unref(context_);
    context_ = nullptr;
    post("\x01retry");
}

void SoundServer::query() {
    if (context_ == nullptr) return;
    if (pa_operation* op = pa_context_get_server_info(context_, &onServer, this))
        pa_operation_unref(op);
}

void SoundServer::learned(bool headphones) {
    if (headphones_.exchange(headphones) != headphones) post("");
}

void SoundServer::post(std::string message) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back(std::move(message));
    }
    const char byte = 1;
    (void)!::write(pipe_[1], &byte, 1);
}

// On the main run loop: say what the sound server's thread learned, tell the daemon, and
// schedule a new connection when the last one failed.
void SoundServer::drain() {
    char buf[64];
    while (::read(pipe_[0], buf, sizeof buf) > 0) {
    }
    std::vector<std::string> messages;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        messages.swap(messages_);
    }
    bool retry = false;
    for (const auto& m : messages) {
        if (m == "\x01retry")
            retry = true;
        else if (!m.empty())
            say(m);
    }
    if (onChange_) onChange_();
    if (retry && retryTask_ == 0) {
        retryTask_ = platform::RunLoop::main().schedule(kRetrySeconds, [this] {
            retryTask_ = 0;
            pa_threaded_mainloop_lock(loop_);
            if (context_ == nullptr) connect();
            pa_threaded_mainloop_unlock(loop_);
        });
    }
}

}  // namespace phoned
