// Wired headphones, from the sound server through the PulseAudio protocol (PulseAudio itself,
// or PipeWire's pulse server): headphones are in the route while the default output's active
// port is a headphone or headset jack that is not known to be unplugged. Bluetooth outputs are
// left to the Bluetooth adapter.
//
// libpulse runs its own thread; what it learns reaches the main run loop through a pipe.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/loop/runloop.h"

struct pa_threaded_mainloop;
struct pa_context;

namespace phoned {

// Whether an output port is a wired headphone jack in use. type and available are
// libpulse's pa_device_port_type_t and pa_port_available_t.
bool wiredHeadphonesPort(std::string_view portName, int type, int available, bool bluetoothSink);

class SoundServer {
  public:
    // onChange is told (on the main run loop) whenever headphones() may have changed.
    explicit SoundServer(std::function<void()> onChange);
    ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    bool headphones() const { return headphones_.load(); }

    // Called in libpulse's thread.
    void connect();
    void query();
    void learned(bool headphones);
    void state();
    void failed();

  private:
    void post(std::string message);
    void drain();

    std::function<void()> onChange_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    int pipe_[2] = {-1, -1};
    std::atomic<bool> headphones_{false};
    std::mutex mutex_;
    std::vector<std::string> messages_;  // for the main thread to say
    bool everConnected_ = false;
    bool saidMissing_ = false;
    platform::RunLoop::TaskId retryTask_ = 0;
};

}  // namespace phoned
