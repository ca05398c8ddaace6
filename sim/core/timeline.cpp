#include "timeline.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "platform/loop/runloop.h"

namespace sim {

using json = Json;

namespace {

std::string dump(const json& j) {
    // Bytes that are not UTF-8 (a note, a notification name) become U+FFFD, so the document
    // stays valid JSON whatever came in.
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

double microseconds(double seconds) { return std::round(seconds * 1e6) / 1e6; }

const char* recordType(Record r) {
    switch (r) {
        case Record::Step:
            return "step";
        case Record::Screen:
            return "screen";
        case Record::Notification:
            return "notification";
        case Record::Modem:
            return "modem";
        case Record::Timeout:
            return "timeout";
        case Record::Log:
            return "log";
        case Record::Host:
            return "host";
        case Record::Recognizer:
            return "recognizer";
        case Record::Screenshot:
            return "screenshot";
    }
    return "";
}

Timeline::~Timeline() {
    if (json_ && started_ && !finished_) finish(-1);
}

void Timeline::section(const char* name) {
    if (open_ != nullptr && open_ == name) return;
    std::fprintf(out_, "%s\"%s\": [", open_ != nullptr ? "\n],\n" : ",\n", name);
    open_ = name;
    first_ = true;
}

void Timeline::record(const json& j) {
    std::fprintf(out_, "%s\n%s", first_ ? "" : ",", dump(j).c_str());
    first_ = false;
    std::fflush(out_);
}

void Timeline::heading(const std::string& text) { heading(text, json::object()); }

void Timeline::heading(const std::string& text, const json& scenario) {
    if (json_) {
        json top = {{"type", "run"}, {"program", "orvella-sim"}, {"version", ORVELLA_VERSION}};
        top["heading"] = text;
        top["scenario"] = scenario;
        // The document stays open: the timeline is written as it happens.
        std::string head = dump(top);
        head.pop_back();  // the closing brace
        std::fputs(head.c_str(), out_);
        started_ = true;
        section("timeline");
    } else {
        std::fprintf(out_, "%s\n", printable(text).c_str());
    }
    std::fflush(out_);
}

void Timeline::add(const std::string& process, const std::string& event) {
    add(Record::Host, process, event, json::object());
}

double Timeline::now() const { return relative(platform::processClock().now()); }

void Timeline::add(Record kind, const std::string& process, const std::string& event,
                   const json& details) {
    write(now(), kind, process, event, details);
}

void Timeline::screenshot(const std::string& process, const std::string& file, double t) {
    write(t, Record::Screenshot, process, "screenshot " + file, {{"file", file}});
}

void Timeline::write(double t, Record kind, const std::string& process, const std::string& event,
                     const json& details) {
    const std::string text = clipped(event);
    if (events_.size() < kMaxKept)
        events_.push_back(text);
    else
        overflowed_ = true;
    if (json_) {
        if (!started_) heading("");
        section("timeline");
        record({{"type", recordType(kind)},
                {"time", microseconds(t)},
                {"process", clipped(process)},
                {"what", text},
                {"details", details.is_null() ? json::object() : details}});
    } else {
        std::fprintf(out_, "%8.3f  %-12s %s\n", t, printable(clipped(process)).c_str(),
                     printable(text).c_str());
        std::fflush(out_);
    }
}

void Timeline::result(const std::string& report, bool held, int line, const std::string& happened) {
    if (!held) ++failed_;
    if (json_) {
        if (!started_) heading("");
        section("expectations");
        json r = {{"type", "expectation"}, {"line", line}, {"report", report}, {"held", held}};
        if (!happened.empty()) r["instead"] = happened;
        record(r);
    } else {
        std::fprintf(out_, "%s %s\n", held ? "  ok    " : "  FAILED", printable(report).c_str());
        std::fflush(out_);
    }
}

void Timeline::finish(int status) {
    if (!json_ || finished_) return;
    if (!started_) heading("");
    section("expectations");  // present, if empty, in every document
    json end = {{"failed", failed_}};
    end["status"] = status >= 0 ? json(status) : json(nullptr);
    std::string tail = dump(end);
    tail.front() = ',';  // the members join the open document
    std::fprintf(out_, "\n],\n%s\n", tail.c_str() + 1);
    std::fflush(out_);
    finished_ = true;
}

bool Timeline::contains(const std::string& text) const {
    for (const auto& e : events_)
        if (e.find(text) != std::string::npos) return true;
    return false;
}

}  // namespace sim
