// The narrator: the hosts' typed events, the tweak's log lines and the notifications posted,
// told as the timeline's plain words (timeline.h). It recognises the answer bar's logo and
// hint by the tweak's own view tags, names the wave recognizer's states, and tells a wave that
// took too long (SpringBoard's host reports it as a WaveTimedOut event).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/trace.h"
#include "timeline.h"

namespace sim {

class Narrator {
  public:
    // showLog: the tweak's log lines go into the timeline.
    explicit Narrator(Timeline& t, bool showLog = true) : timeline_(t), showLog_(showLog) {}
    void event(const std::string& process, const platform::TraceEvent& event);
    void log(const std::string& process, const std::string& line);
    // A distributed notification some process posted.
    void posted(const std::string& process, const std::string& name);
    // Every hint an answer bar showed, in order (each at most kMaxText bytes, the first
    // kMaxKept).
    const std::vector<std::string>& hints() const { return hints_; }

  private:
    void say(Record kind, const std::string& process, const std::string& text, const Json& details);
    // What a person sees on a settings screen, true when the event is one of those.
    bool settings(const std::string& process, const platform::TraceEvent& event,
                  const Json& details);
    void timedOut(const std::string& process, const platform::events::WaveTimedOut& e,
                  Json details);
    Timeline& timeline_;
    bool showLog_;
    std::vector<std::string> hints_;
    bool logoShown_ = false;
    bool logoRemoved_ = false;
    std::optional<int32_t> recognizerState_;
};

}  // namespace sim
