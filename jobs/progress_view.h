// What a running job asks of its progress display. The desktop progress window,
// the command line's terminal bar and the tests' recorders implement it, so
// that the job code knows no toolkit.
#pragma once

#include <cstdint>
#include <string>

namespace quoralith {

struct BarColour {
    std::uint8_t red = 0, green = 0, blue = 0;
    friend bool operator==(const BarColour&, const BarColour&) = default;
};

inline constexpr BarColour BAR_BLUE{0, 0, 255};
inline constexpr BarColour BAR_GREEN{0, 255, 0};
inline constexpr BarColour BAR_YELLOW{255, 255, 0};

// Controls of the progress window that a job fills in (their ids name them in
// every implementation).
enum ProgressControl : int {
    IDC_PROGRESS_STOP = 1068,            // "Stop Process", "OK" once the job ended
    IDC_PROGRESS_START_TIME = 1039,
    IDC_PROGRESS_OPERATION = 1040,       // "Create" or "Restore"
    IDC_PROGRESS_TYPE = 1041,            // "File" or "Directory"
    IDC_PROGRESS_ALGORITHMS = 1042,
    IDC_PROGRESS_ALGORITHMS_LABEL = 1052,
    IDC_PROGRESS_BASE = 1043,
    IDC_PROGRESS_DELTA = 1044,
    IDC_PROGRESS_UPDATED = 1045,
    IDC_PROGRESS_PATTERN = 1046,
    IDC_PROGRESS_CURRENT_FILE = 1047,
    IDC_PROGRESS_CURRENT_LABEL = 1067,   // "Currently Creating File"
    IDC_PROGRESS_BAR = 1048,
    IDC_PROGRESS_ERRORS = 1035,          // the error lines, CRLF-separated
    IDC_PROGRESS_END_TIME = 1049,
    IDC_PROGRESS_ERROR_COUNT = 1050,
    IDC_PROGRESS_TOTAL_BASE_LABEL = 1051,
    IDC_PROGRESS_TOTAL_BASE = 1054,
    IDC_PROGRESS_TOTAL_UPDATED_LABEL = 1055,
    IDC_PROGRESS_TOTAL_UPDATED = 1056,
    IDC_PROGRESS_TOTAL_DELTA_LABEL = 1057,
    IDC_PROGRESS_TOTAL_DELTA = 1058,
    IDC_PROGRESS_TIME_LABEL = 1059,
    IDC_PROGRESS_TIME = 1060,
    IDC_PROGRESS_COMPRESSION_LABEL = 1061,
    IDC_PROGRESS_COMPRESSION = 1062,
    IDC_PROGRESS_RELATIVE = 1063,
    IDC_PROGRESS_RELATIVE_LABEL = 1064,
    IDC_PROGRESS_END_LABEL = 1065,       // "Quoralith ended at:"
    IDC_PROGRESS_ERRORS_LABEL = 1066,    // "errors detected"
    // The whole job's progress (beyond the per-file bar above): a bar of the
    // bytes done, the files and bytes done of all, the time the job has run
    // and an estimate of the time left; and, once it ends, whether it ran to
    // its end or was stopped.
    IDC_PROGRESS_OVERALL_BAR = 1070,
    IDC_PROGRESS_OVERALL_FILES = 1071,
    IDC_PROGRESS_OVERALL_BYTES = 1072,
    IDC_PROGRESS_ELAPSED = 1073,
    IDC_PROGRESS_TIME_LEFT = 1074,
    IDC_PROGRESS_OUTCOME = 1075,
};

// How far the whole job has come. The totals are counted before the engine
// starts; an archive the job reads cannot be counted without unpacking it,
// so a total may be unknown.
struct OverallProgress {
    static constexpr std::int64_t UNKNOWN = -1;
    std::int64_t files_done = 0;
    std::int64_t files_total = UNKNOWN;
    std::int64_t bytes_done = 0;
    std::int64_t bytes_total = UNKNOWN;
    std::int64_t elapsed_seconds = 0;
    std::int64_t seconds_left = UNKNOWN;  // no estimate yet
    bool stopped = false;                 // the job ended on a stop
    friend bool operator==(const OverallProgress&, const OverallProgress&) = default;
};

// All calls come from the job's own thread, inside the engine's callback or
// from the job runner.
class ProgressView {
public:
    virtual ~ProgressView() = default;

    // Shows the bar at 0 percent, with a sliver in `colour`.
    virtual void reset_bar(BarColour colour) = 0;
    // Fills the bar to `percent` (0 to 100) in `colour`.
    virtual void set_bar(int percent, BarColour colour) = 0;
    virtual void hide_bar() = 0;
    // Lets the display handle its pending events (so that Stop is seen) and
    // returns true once a stop has been requested.
    virtual bool drain_messages() = 0;
    // The job has ended: Stop becomes OK.
    virtual void job_finished() = 0;
    // Shows `text` in the control `id`.
    virtual void set_control_text(int id, const std::string& text) = 0;
    virtual void set_control_visible(int id, bool visible) = 0;
    // Whether the display shows the whole job's progress; counting a tree's
    // files before the job costs a walk of it, spent only for a display that
    // shows the count.
    virtual bool shows_overall() const { return false; }
    virtual void show_overall(const OverallProgress&) {}
};

}  // namespace quoralith
