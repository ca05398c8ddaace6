// The timeline a person reads: what the phone did, in plain words, stamped with phone time,
// as text or as one JSON document (docs/json.md), and the expectations' verdicts after it.
//
// Its lines may tell what came from the bus: texts are cut to kMaxText bytes (text.h), the
// timeline keeps at most kMaxKept lines for the expectations, and what goes to a terminal is
// made printable.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "event_json.h"
#include "text.h"

namespace sim {

inline constexpr size_t kMaxKept = 100000;

// What kind of thing a line of the timeline tells: its "type" in JSON.
enum class Record {
    Step,          // the scenario made it happen ("step")
    Screen,        // what a person sees on a screen or does to it ("screen")
    Notification,  // a process posted a distributed notification ("notification")
    Modem,         // the phone's modem and audio: call answered, speaker ("modem")
    Timeout,       // a wave took longer than the wave recognizer allows ("timeout")
    Log,           // one of the tweak's log lines, with --log ("log")
    Host,          // a host process stopped ("host")
    Recognizer,    // the tweak's wave recognizer changed state ("recognizer")
    Screenshot,    // a picture of a host's screen was kept (--screenshots; "screenshot")
};
const char* recordType(Record r);

// A time as the JSON timeline and the plot's data write it: seconds to the microsecond, so a
// sensor's 4.499999761 reads 4.5.
double microseconds(double seconds);

class Timeline {
  public:
    explicit Timeline(bool json, std::FILE* out = stdout) : json_(json), out_(out) {}
    // An open JSON document is closed (with a null status) if finish() was never called.
    ~Timeline();
    Timeline(const Timeline&) = delete;
    Timeline& operator=(const Timeline&) = delete;

    // Times are written relative to t (phone time); before this is called they are 0.
    void setStart(double t) { start_ = t; }
    // The phone's present time, and a phone time, as the timeline writes them.
    double now() const;
    double relative(double phoneTime) const { return start_ < 0 ? 0 : phoneTime - start_; }
    // The top of the timeline; in JSON it opens the document with the scenario's description.
    void heading(const std::string& text, const Json& scenario);
    void heading(const std::string& text);
    // One line at the phone's present time.
    void add(Record kind, const std::string& process, const std::string& event,
             const Json& details);
    void add(const std::string& process, const std::string& event);  // a Host record
    // A picture of a host's screen, at the time (timeline seconds) its file was named for: the
    // line "screenshot FILE", a Screenshot record with the file in its details.
    void screenshot(const std::string& process, const std::string& file, double t);
    // One expectation's verdict: report is "line 9: expect ..." with what happened instead.
    void result(const std::string& report, bool held, int line = 0,
                const std::string& happened = "");
    // The end of the run: in JSON the exit status closes the document.
    void finish(int status);

    const std::vector<std::string>& events() const { return events_; }
    // More lines happened than were kept: expectations about texts cannot be checked.
    bool overflowed() const { return overflowed_; }
    bool contains(const std::string& text) const;

  private:
    void write(double t, Record kind, const std::string& process, const std::string& event,
               const Json& details);
    void record(const Json& j);
    void section(const char* name);

    bool json_;
    std::FILE* out_;
    double start_ = -1;
    std::vector<std::string> events_;
    bool overflowed_ = false;
    // JSON: which array is open and whether it has an element yet.
    const char* open_ = nullptr;
    bool first_ = true;
    bool started_ = false;
    bool finished_ = false;
    int failed_ = 0;
};

}  // namespace sim
