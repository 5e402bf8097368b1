// Running one engine request from the command line: the progress callback, the
// progress bar, Ctrl-C as Stop, and one error line per failed file.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <csignal>
#include <cstdio>
#include <filesystem>

#include "cli/cli.h"
#include "coder/compact/compact.h"
#include "engine/dir_list.h"
#include "engine/printable.h"
#include "engine/safe_output.h"
#include "jobs/run_job.h"

namespace quoralith::cli {

namespace {

// Set by Ctrl-C (SIGINT), SIGTERM or SIGHUP; the callback answers Stop from then
// on, so the engine ends the file cleanly and removes every temporary it made.
// The handlers are installed without SA_RESTART, so a system call that waits
// returns at once instead of holding the run. A broken pipe (a reader of a
// restored pipe that went away) becomes a failed write instead of ending the
// process with its temporaries on the disk.
volatile std::sig_atomic_t interrupted = 0;

extern "C" void on_interrupt(int) { interrupted = 1; }

class InterruptGuard {
public:
    InterruptGuard() {
        interrupted = 0;
        struct sigaction action {};
        action.sa_handler = on_interrupt;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < kSignals; ++i) sigaction(kStopSignals[i], &action, &previous_[i]);
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGPIPE, &ignore, &previous_pipe_);
    }
    ~InterruptGuard() {
        for (std::size_t i = 0; i < kSignals; ++i) sigaction(kStopSignals[i], &previous_[i], nullptr);
        sigaction(SIGPIPE, &previous_pipe_, nullptr);
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    static constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
    static constexpr std::size_t kSignals = sizeof kStopSignals / sizeof kStopSignals[0];
    struct sigaction previous_[kSignals] {};
    struct sigaction previous_pipe_ {};
};

std::string file_name(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// One line on stderr, redrawn in place.
class ProgressBar {
public:
    explicit ProgressBar(bool enabled) : enabled_(enabled) {}
    ~ProgressBar() { clear(); }

    void show(const std::string& label, double fraction) {
        if (!enabled_) return;
        if (fraction < 0) fraction = 0;
        if (fraction > 1) fraction = 1;
        const int percent = static_cast<int>(fraction * 100);
        if (percent == percent_ && label == label_) return;
        percent_ = percent;
        label_ = label;
        constexpr int kWidth = 30;
        const int filled = percent * kWidth / 100;
        std::fprintf(stderr, "\r\033[K%3d%% [%s%s] %s", percent, std::string(filled, '#').c_str(),
                     std::string(kWidth - filled, ' ').c_str(), printable_name(label).c_str());
        std::fflush(stderr);
        drawn_ = true;
    }

    void clear() {
        if (!drawn_) return;
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        drawn_ = false;
        percent_ = -1;
    }

private:
    bool enabled_;
    bool drawn_ = false;
    int percent_ = -1;
    std::string label_;
};

// Follows the engine's messages for the progress bar and the error lines.
class RequestObserver {
public:
    RequestObserver(const CliContext& context, AlgorithmMask mask, bool create, bool deep, bool compact)
        : bar_(!context.quiet && isatty(STDERR_FILENO)),
          verbose_(context.verbose),
          create_(create),
          deep_(deep),
          // A compact delta asked for alone runs no numbered pass.
          numbered_(create && !(compact && mask == 0) ? std::max(1, std::popcount(static_cast<unsigned>(mask ? mask : 1)))
                                                      : 0),
          passes_(create ? std::max(1, numbered_ + (deep ? 1 : 0) + (compact ? 1 : 0)) : 1) {}

    std::int16_t operator()(const ProgressRecord& record) {
        switch (record.code) {
            case PM_FILE_START:
                ++files_;
                output_ = record.output_path ? record.output_path : "";
                second_ = record.second_path ? record.second_path : "";
                second_size_ = record.second_size;
                pass_ = 0;
                shown_ = 0;
                algorithm_ = -1;
                break;
            case PM_CANDIDATE_DONE:
                tell(record);
                ++pass_;
                break;
            case PM_FILE_DONE:
                tell(record);
                break;
            case PM_READ_INPUT:
                if (record.algorithm >= 0) algorithm_ = record.algorithm;
                show_progress(record);
                break;
            default:
                if (record.code < 0) report_failure(record);
                break;
        }
        if (interrupted) return ANSWER_STOP;
        return record.code < 0 ? ANSWER_BY_FLAGS : ANSWER_SKIP;
    }

    int failures() const { return failures_; }
    int archive_failures() const { return archive_failures_; }
    int files() const { return files_; }
    void finish() { bar_.clear(); }

private:
    // -v: what a candidate or a file came to.
    void tell(const ProgressRecord& record) {
        if (!verbose_) return;
        bar_.clear();
        std::string line = output_ + ": ";
        // The done records carry no algorithm; the reads of the pass did.
        // The deep search's candidate comes last.
        if (create_ && deep_ && pass_ == numbered_)
            line += "deep search, ";
        else if (create_ && algorithm_ == kCompactAlgorithm)
            line += "compact format, ";
        else if (create_ && algorithm_ >= 0)
            line += "algorithm " + std::to_string(algorithm_) + ", ";
        line += std::to_string(record.result) + (record.result == 1 ? " byte" : " bytes");
        if (create_ && second_size_ > 0) line += " (of " + std::to_string(second_size_) + ")";
        std::fprintf(stderr, "%s\n", printable_name(line).c_str());
    }

    void show_progress(const ProgressRecord& record) {
        const double within = second_size_ > 0 ? static_cast<double>(record.position) / second_size_ : 0;
        std::string label = file_name(output_);
        if (record.algorithm == kCompactAlgorithm && passes_ > 1)
            label += " (compact)";
        else if (record.algorithm >= 0 && passes_ > 1)
            label += " (algorithm " + std::to_string(record.algorithm) + ")";
        // The coder may read the input more than once in a pass; the bar never
        // runs backwards within a file.
        shown_ = std::max(shown_, (pass_ + within) / passes_);
        bar_.show(label, shown_);
    }

    // Which of a record's paths is the entry a walk passed over: the walked
    // tree's entry, or the output that is no file.
    static const char* not_regular(const ProgressRecord& record) {
        for (const char* path : {record.second_path, record.first_path, record.output_path}) {
            struct stat status {};
            if (!path || lstat(path, &status) != 0) continue;
            if (stat(path, &status) != 0 || !S_ISREG(status.st_mode)) return path;
        }
        return record.second_path;
    }

    void report_failure(const ProgressRecord& record) {
        const int code = record.code;
        // An archive output that is not written is the job's failure, not one
        // more file's: its line says so, the file count stays true.
        if (errno_of(code, ERR_WRITE_ARCHIVE))
            ++archive_failures_;
        else
            ++failures_;
        // Passed over without a file start.
        if (is_passed_over(code) || code == ERR_LINKED_FOLDER) ++files_;
        bar_.clear();
        // Name the file the reason is about: a missing input, or the output that
        // could not be written. A directory walk also reports entries it passes
        // over (a pipe, say) without a file start: their record names them.
        const bool cannot_create = errno_of(code, ERR_CREATE_OUTPUT) != 0;
        const bool about_output = cannot_create || code == ERR_WRITE_FAILED || code == ERR_DISK_FULL ||
                                  code == ERR_STOPPED || code == ERR_LINKED_FOLDER || code == ERR_OUTPUT_LINK;
        const bool about_base = errno_of(code, ERR_OPEN_BASE) != 0 || code == ERR_NO_BASE_TREE;
        const char* named = about_output ? record.output_path : about_base ? record.first_path : record.second_path;
        // An in-place restore writes under a temporary name; the user knows the file by its own.
        if (about_output && named && is_temporary_name(named) && !output_.empty()) named = output_.c_str();
        if (is_passed_over(code)) named = not_regular(record);
        const std::string path = named ? named : about_output ? output_ : second_;
        print_error(path + ": " + (record.detail ? std::string(record.detail) : describe_error(code)));
    }

    ProgressBar bar_;
    bool verbose_;
    bool create_;
    bool deep_;
    int algorithm_ = -1;
    int numbered_;
    int passes_;
    int pass_ = 0;
    std::string output_, second_;
    std::int32_t second_size_ = 0;
    double shown_ = 0;
    int failures_ = 0;
    int archive_failures_ = 0;
    int files_ = 0;
};

// The job's display: the bar is the observer's; the display's part is to pass
// Ctrl-C on as a Stop.
class InterruptView : public ProgressView {
public:
    void reset_bar(BarColour) override {}
    void set_bar(int, BarColour) override {}
    void hide_bar() override {}
    bool drain_messages() override { return interrupted != 0; }
    void job_finished() override {}
    void set_control_text(int, const std::string&) override {}
    void set_control_visible(int, bool) override {}
};

// An output named by a link is never the file it leads to: the link is what
// the new file replaces.
bool same_file(const std::string& output, const std::string& input) {
    std::error_code error;
    if (std::filesystem::is_symlink(output, error)) return false;
    return std::filesystem::equivalent(output, input, error) && !error;
}

// Why a directory request with an archive side cannot run (the engine refuses
// it as a bad request), or "" when it can.
std::string archive_request_problem(int type, const std::string& first, const std::string& second,
                                    const std::string& output, EngineFlags flags) {
    if (type != OP_CREATE_DIR && type != OP_RESTORE_DIR) return {};
    const bool base_archive = flags & EF_ARCHIVE_BASE;
    if (type == OP_RESTORE_DIR && output == first && base_archive != bool(flags & EF_ARCHIVE_UPDATED))
        return base_archive ? "restoring over the base archive '" + first + "' needs --archive-updated"
                            : "--archive-updated cannot write an archive over the base directory '" + first + "'";
    const bool output_archive = flags & (type == OP_CREATE_DIR ? EF_ARCHIVE_DELTA : EF_ARCHIVE_UPDATED);
    if (!output_archive) return {};
    const std::string folder = folder_of(output).empty() ? "." : folder_of(output);
    const bool second_archive = flags & (type == OP_CREATE_DIR ? EF_ARCHIVE_UPDATED : EF_ARCHIVE_DELTA);
    for (const auto& [tree, archive] : {std::pair{first, base_archive}, std::pair{second, second_archive}})
        if (!archive && !tree.empty() && path_within(folder, tree))
            return "the archive '" + output + "' would lie inside the directory '" + tree + "' that the job reads";
    return {};
}

}  // namespace

int run_engine_request(const CliContext& context, const char* verb, int type, const std::string& first,
                       const std::string& second, std::string output, const std::string& pattern,
                       EngineFlags flags, AlgorithmMask mask, const JobSettings* stored) {
    // The engine compares names byte for byte; here the same file under another
    // spelling ("./a" and "a") is caught as well.
    if (output == second || same_file(output, second)) {
        print_error(std::string(verb) + ": '" + output + "' is the same file as '" + second + "'");
        return EXIT_REFUSED;
    }
    if (output != first && same_file(output, first)) {
        if (is_create(type)) {
            print_error(std::string(verb) + ": '" + output + "' is the same file as '" + first + "'");
            return EXIT_REFUSED;
        }
        output = first;  // restore in place
    }

    // A job played from the history replays what was recorded, over its old
    // outputs, as the desktop program does.
    if (!stored && refuse_existing_output(context, verb, existing_output(type, first, output, flags, mask)))
        return EXIT_REFUSED;

    // An archive named as the output: restoring over the Base replaces it in
    // kind, and an archive inside a tree the job reads would become its input.
    if (const std::string why = archive_request_problem(type, first, second, output, flags); !why.empty()) {
        print_error(std::string(verb) + ": " + why);
        return EXIT_REFUSED;
    }

    // Refused before anything is touched, the report included.
    if ((flags & EF_CLEAR_OUTPUT) && clearing_would_delete_input(type, first, second, output)) {
        print_error(std::string(verb) + ": the output directory '" + output +
                    "' is, holds or lies inside an input; it is not cleared");
        return EXIT_REFUSED;
    }

    InterruptGuard guard;
    RequestObserver observer(context, mask, is_create(type), is_create(type) && (flags & EF_DEEP),
                             is_create(type) && (flags & EF_COMPACT));
    JobSettings job = job_report_settings(context, stored);
    InterruptView view;
    job.ProgressWindow = &view;
    ReportTemplates templates;
    load_report_templates(templates);
    // The observer sees every record first for the bar and the error lines; the
    // job's own callback writes the report and gives the answer.
    JobRunner runner(templates, [&observer](EngineRequest& request) {
        request.callback = [&observer, job_callback = std::move(request.callback)](const ProgressRecord& r) {
            observer(r);
            return job_callback(r);
        };
        return engine_run(request);
    });
    EngineRequest request;
    request.type = type;
    request.first = first;
    request.second = second;
    request.output = output;
    request.pattern = pattern;
    request.flags = flags;
    request.mask = mask;
    const int result = runner.run(job, std::move(request));
    output = runner.final_output();
    observer.finish();
    if (runner.report_failed()) {
        print_error(std::string(verb) + ": the report '" + job.ReportFile + "' could not be written");
        if (result != ERR_BAD_REQUEST && observer.failures() == 0) return EXIT_FILE_FAILED;
    }
    const bool tree = type == OP_CREATE_DIR || type == OP_RESTORE_DIR;
    if (result == ERR_BAD_REQUEST) {
        print_error(std::string(verb) + ": the output '" + output + "' is the same as an input");
        return EXIT_REFUSED;
    }
    if (tree && observer.failures() > 0 && observer.files() > 0)
        print_error(std::string(verb) + ": " + std::to_string(observer.failures()) + " of " +
                    std::to_string(observer.files()) + " files failed");
    return observer.failures() + observer.archive_failures() > 0 ? EXIT_FILE_FAILED : EXIT_ALL_DONE;
}

}  // namespace quoralith::cli
