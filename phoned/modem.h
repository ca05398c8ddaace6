// The modem, through ModemManager on the system bus: each voice call's direction and state
// become the call statuses the phone reports ("4" ringing, "1" active, "5" ended), and the answer
// bar's answer is the call's Accept().
//
// Only an incoming call ringing on the modem (direction incoming, state RINGING_IN) is reported
// as ringing, and only the calls reported so are followed to their end. The call reported last
// is the one watched; when it ends while another incoming call still rings, that one is
// reported ringing again and watched in its place, and the end of a call other than the
// watched one is not reported while the watched one rings. Accept() goes to the watched call,
// at most once per call, and never to a call that is no longer ringing.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dbus.h"
#include "service.h"

namespace phoned {

class Modem {
  public:
    // onStatus is told every status reported (after the platform has been told).
    // afterNotifications(fn) runs fn once the notifications the tweak has posted so far have
    // been delivered (they cross the session bus).
    Modem(Connection& system, std::function<void(int32_t status)> onStatus,
          std::function<void(std::function<void()>)> afterNotifications);
    ~Modem();
    Modem(const Modem&) = delete;
    Modem& operator=(const Modem&) = delete;

    // A call is ringing in and has been reported as such.
    bool ringing() const { return !ringing_.empty(); }
    // The answer bar answered: accept the ringing call.
    void answer();

  private:
    struct Call {
        std::string modem;
        int64_t direction = 0;
        int64_t state = 0;
        bool known = false;  // its properties have been read
        bool reportedRinging = false;
        bool reportedActive = false;
        bool reportedEnded = false;
        bool acceptSent = false;
        uint64_t order = 0;  // when it was first seen
    };
    void appeared();
    void vanished();
    void addModem(const std::string& path, const Props& voice);
    void removeModem(const std::string& path);
    void track(const std::string& modem, const std::string& call);
    void forget(const std::string& call);
    // Forgets the calls for which drop(path, call) holds, as if each had ended.
    void forgetCalls(const std::function<bool(const std::string&, const Call&)>& drop);
    void ended(bool watched);
    void rewatch();
    void changed(const std::string& path, const Props& props);
    void evaluate(const std::string& path);
    void report(int32_t status);

    Connection& bus_;
    std::function<void(int32_t)> onStatus_;
    std::function<void(std::function<void()>)> afterNotifications_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::vector<std::unique_ptr<Connection::Match>> matches_;
    std::unique_ptr<Service> service_;
    std::vector<std::string> modems_;
    std::map<std::string, Call> calls_;
    std::string ringing_;      // path of the call reported as ringing, if it still rings
    unsigned generation_ = 0;  // replies from before the service last changed are stale
    uint64_t seen_ = 0;
    uint64_t rewatch_ = 0;  // run-loop task that looks for a call still ringing
};

}  // namespace phoned
