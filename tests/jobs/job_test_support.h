// Shared pieces of the job tests: a progress view that records every call, a
// clock the test moves, and UTC local time so that time texts are fixed.
#pragma once

#include <cstdlib>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "jobs/job_progress.h"
#include "jobs/progress_view.h"

namespace quoralith::test {

// Mon Dec  7 09:05:00 2026 UTC.
constexpr std::time_t T0 = 1796634300;

inline void use_utc() {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
}

struct StepClock {
    std::time_t now = T0;
    JobClock source() {
        return [this] { return now; };
    }
};

inline std::string colour_name(BarColour c) {
    if (c == BAR_BLUE) return "blue";
    if (c == BAR_GREEN) return "green";
    if (c == BAR_YELLOW) return "yellow";
    return "other";
}

// Records every call; a stop is requested from the drain numbered
// `stop_at_drain` on (1 = the first; 0 never), or at that drain only when
// `forget_stop` is set.
class RecordingView : public ProgressView {
public:
    void reset_bar(BarColour colour) override { calls.push_back("reset " + colour_name(colour)); }
    void set_bar(int percent, BarColour colour) override {
        calls.push_back("set " + std::to_string(percent) + " " + colour_name(colour));
    }
    void hide_bar() override { calls.push_back("hide"); }
    bool drain_messages() override {
        ++drains;
        if (stop_at_drain == 0) return false;
        return forget_stop ? drains == stop_at_drain : drains >= stop_at_drain;
    }
    void job_finished() override {
        calls.push_back("finished");
        finished = true;
    }
    void set_control_text(int id, const std::string& text) override {
        texts[id] = text;
        text_history[id].push_back(text);
    }
    void set_control_visible(int id, bool visible) override { shown[id] = visible; }
    bool shows_overall() const override { return overall_wanted; }
    void show_overall(const OverallProgress& progress) override { overall.push_back(progress); }

    // Only the bar calls, in order.
    std::vector<std::string> calls;
    std::map<int, std::string> texts;
    std::map<int, std::vector<std::string>> text_history;
    std::map<int, bool> shown;
    int drains = 0;
    int stop_at_drain = 0;
    bool forget_stop = false;
    bool finished = false;
    // Set to ask the job for its overall progress; every figure it sent.
    bool overall_wanted = false;
    std::vector<OverallProgress> overall;
};

}  // namespace quoralith::test
