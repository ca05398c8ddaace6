// One of the phone's services, known by its well-known bus name: who owns it now, and one plain
// line whenever it goes missing or comes back, so the journal tells a person what the daemon
// is waiting for without repeating itself.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "dbus.h"

namespace phoned {

// The daemon's own messages, one line each on standard error (the journal under systemd).
void say(const std::string& text);

class Service {
  public:
    // words: what a person calls it ("the modem service (ModemManager)").
    Service(Connection& bus, std::string name, std::string words,
            std::function<void(bool present)> onChange);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Runs `then` once every service made so far has been heard of, running or not (at once
    // when every one has been): the daemon says it is ready after naming what is missing.
    static void whenAllKnown(std::function<void()> then);

    const std::string& name() const { return name_; }
    const std::string& words() const { return words_; }
    bool present() const { return !owner_.empty(); }
    // Whether a signal came from the service itself (its current owner), not from a stranger
    // using the same interface.
    bool sent(sd_bus_message* m) const;
    Connection& bus() { return bus_; }

  private:
    Connection& bus_;
    std::string name_;
    std::string words_;
    std::string owner_;
    bool known_ = false;
    std::function<void(bool)> onChange_;
    std::unique_ptr<Connection::NameWatch> watch_;
};

}  // namespace phoned
