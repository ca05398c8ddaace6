// The timeline a person reads: what the phone did, in plain words, stamped with phone time,
// as text or as JSON lines. The narrator turns the hosts' typed events into those words; it
// recognises the answer bar's logo and hint by the tweak's own view tags.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "platform/trace.h"

namespace sim {

class Timeline {
  public:
    explicit Timeline(bool json, std::FILE* out = stdout) : json_(json), out_(out) {}
    // Times are written relative to t (phone time); before this is called they are 0.
    void setStart(double t) { start_ = t; }
    void heading(const std::string& text);
    // One line at the phone's present time.
    void add(const std::string& process, const std::string& event);
    void result(const std::string& expectation, bool held);
    const std::vector<std::string>& events() const { return events_; }
    bool contains(const std::string& text) const;

  private:
    bool json_;
    std::FILE* out_;
    double start_ = -1;
    std::vector<std::string> events_;
};

std::string jsonEscape(const std::string& s);

class Narrator {
  public:
    explicit Narrator(Timeline& t) : timeline_(t) {}
    void event(const std::string& process, const platform::TraceEvent& event);
    void log(const std::string& process, const std::string& line);
    // A distributed notification some process posted.
    void posted(const std::string& process, const std::string& name);
    // Every hint an answer bar showed, in order.
    const std::vector<std::string>& hints() const { return hints_; }

  private:
    void say(const std::string& process, const std::string& text) { timeline_.add(process, text); }
    Timeline& timeline_;
    std::vector<std::string> hints_;
    bool logoShown_ = false;
    bool logoRemoved_ = false;
};

}  // namespace sim
