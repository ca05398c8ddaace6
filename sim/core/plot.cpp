#include "plot.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "timeline.h"

namespace sim {

namespace ev = platform::events;

void PlotRecorder::open(std::vector<PlotSpan>& spans, std::optional<double>& since, double t,
                        bool on) {
    if (on && !since) {
        since = t;
    } else if (!on && since) {
        spans.push_back({*since, t});
        since.reset();
    }
}

void PlotRecorder::step(double t, const Step& step) {
    using K = Step::Kind;
    switch (step.kind) {
        case K::Pose:
            data_.z.push_back({t, step.z});
            break;
        case K::Cover:
            open(data_.covered, coveredSince_, t, true);
            break;
        case K::Uncover:
            open(data_.covered, coveredSince_, t, false);
            break;
        case K::CallIncoming:
            data_.moments.push_back({t, MomentKind::Incoming, "incoming call"});
            break;
        case K::CallEnded:
            data_.moments.push_back({t, MomentKind::CallEnd, "call ended"});
            break;
        default:
            break;
    }
}

void PlotRecorder::event(double t, const std::string& process, const platform::TraceEvent& e) {
    if (process != "springboard") return;  // the sensors and the recognizer live there
    if (auto* s = std::get_if<ev::SensorSwitched>(&e)) {
        if (s->sensor == ev::Sensor::Accelerometer)
            open(data_.accelerometer, accelerometerSince_, t, s->on);
        else
            open(data_.armed, armedSince_, t, s->on);
    } else if (auto* r = std::get_if<ev::RecognizerChanged>(&e)) {
        if (data_.states.empty() || data_.states.back().state != r->state) {
            data_.states.push_back({t, r->state});
            // Ready, waving or answered: the gate has found the phone lying screen up.
            open(data_.screenUp, screenUpSince_, t, r->state >= 0);
        }
        if (timing_ && r->timedSince != timing_->from) {
            timing_->ended = t;
            data_.waveLimits.push_back(*timing_);
            timing_.reset();
        }
        if (!timing_ && r->timedSince >= 0)
            timing_ = PlotBand{r->timedSince, r->timedSince + r->timeLimit, r->timedSince};
    }
}

void PlotRecorder::modem(double t, ModemChange change) {
    if (change == ModemChange::Answered)
        data_.moments.push_back({t, MomentKind::Answer, "answered"});
    else if (change == ModemChange::SpeakerOn)
        data_.moments.push_back({t, MomentKind::Speaker, "speaker on"});
}

void PlotRecorder::failedExpectation(double t, const std::string& report) {
    data_.moments.push_back({t, MomentKind::FailedExpectation, report});
}

PlotData PlotRecorder::finish(double end) const {
    PlotData d = data_;
    d.end = end;
    auto close = [end](std::vector<PlotSpan>& spans, const std::optional<double>& since) {
        if (since) spans.push_back({*since, std::max(*since, end)});
    };
    close(d.accelerometer, accelerometerSince_);
    close(d.armed, armedSince_);
    close(d.covered, coveredSince_);
    close(d.screenUp, screenUpSince_);
    if (timing_) {
        PlotBand open = *timing_;
        open.ended = std::max(open.from, end);
        d.waveLimits.push_back(open);
    }
    return d;
}

const char* momentKindName(MomentKind kind) {
    switch (kind) {
        case MomentKind::Incoming:
            return "incoming";
        case MomentKind::Answer:
            return "answer";
        case MomentKind::Speaker:
            return "speaker";
        case MomentKind::CallEnd:
            return "call end";
        case MomentKind::FailedExpectation:
            return "failed expectation";
    }
    return "";
}

std::string toJson(const PlotData& d) {
    using nlohmann::json;
    auto spans = [](const std::vector<PlotSpan>& v) {
        json a = json::array();
        for (const auto& s : v)
            a.push_back({{"from", microseconds(s.from)}, {"to", microseconds(s.to)}});
        return a;
    };
    json j;
    j["title"] = d.title;
    j["end"] = microseconds(d.end);
    j["z"] = json::array();
    for (const auto& l : d.z) j["z"].push_back({{"at", microseconds(l.at)}, {"z", l.value}});
    j["accelerometer"] = spans(d.accelerometer);
    j["screenUp"] = spans(d.screenUp);
    j["armed"] = spans(d.armed);
    j["covered"] = spans(d.covered);
    j["states"] = json::array();
    for (const auto& s : d.states)
        j["states"].push_back({{"at", microseconds(s.at)},
                               {"state", s.state},
                               {"name", recognizerStateName(s.state)}});
    j["waveLimits"] = json::array();
    for (const auto& b : d.waveLimits)
        j["waveLimits"].push_back({{"from", microseconds(b.from)},
                                   {"to", microseconds(b.to)},
                                   {"ended", microseconds(b.ended)}});
    j["moments"] = json::array();
    for (const auto& m : d.moments)
        j["moments"].push_back(
            {{"at", microseconds(m.at)}, {"kind", momentKindName(m.kind)}, {"label", m.label}});
    return j.dump(2) + "\n";
}

bool plotFormatKnown(const std::string& file) {
    const std::string ext = std::filesystem::path(file).extension().string();
    return ext == ".png" || ext == ".svg" || ext == ".json";
}

platform::Result<void> plotWritable(const std::string& file) {
    // Made and removed again when new; opened for writing, never truncated, when it exists. A
    // FIFO without a reader is refused rather than waited for.
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NONBLOCK | O_CLOEXEC, 0666);
    const bool made = fd >= 0;
    if (!made && errno == EEXIST) fd = ::open(file.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return platform::Failure{file + ": cannot write the plot: " + std::strerror(errno)};
    ::close(fd);
    if (made) ::unlink(file.c_str());
    return {};
}

}  // namespace sim
