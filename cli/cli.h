// The command line's shared pieces: the state every subcommand sees, the table
// of subcommands, and the one routine that runs an engine request with a
// progress display and error lines.
//
// Adding a subcommand: write cli/cmd_<name>.cpp with a setup function that adds
// it to the root app (see cmd_create.cpp), declare the function below and add
// it to kCommands in main.cpp.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

#include "engine/engine.h"
#include "sheets/job_settings.h"

namespace quoralith::cli {

// Exit statuses.
constexpr int EXIT_ALL_DONE = 0;
constexpr int EXIT_FILE_FAILED = 1;
constexpr int EXIT_REFUSED = 2;  // a refused request or bad usage

// What every subcommand shares: global options and the exit status that the
// chosen subcommand leaves.
struct CliContext {
    bool quiet = false;
    // -f: an existing output file may be replaced (see conventions.cpp).
    bool force = false;
    // -v: a line for every file done, with its size.
    bool verbose = false;
    int exit_status = EXIT_ALL_DONE;
    // --report FILE, --append, --level: the job's report file (see report_options.cpp).
    std::string report_file;
    bool report_append = false;
    int report_level = 1;
};

using CommandSetup = void (*)(CLI::App& root, CliContext& context);
void setup_create(CLI::App& root, CliContext& context);
void setup_restore(CLI::App& root, CliContext& context);
void setup_info(CLI::App& root, CliContext& context);
void setup_history(CLI::App& root, CliContext& context);
void setup_archive(CLI::App& root, CliContext& context);

// The directory options of create and restore (see tree_options.cpp).
struct TreeOptions {
    std::string pattern;
    bool no_subdirs = false;
    bool sorted = false;
    bool clear_output = false;
    bool merge = false;
    // --archive-delta: the delta tree is one archive file; --archive-updated:
    // create reads the Updated tree from one, restore writes it as one.
    bool archive_delta = false;
    bool archive_updated = false;
};
// Adds --pattern, --no-subdirs, --sorted, --clear-output, --archive-delta and
// --archive-updated (and --merge when `restore`) to `command`.
void add_tree_options(CLI::App& command, TreeOptions& options, bool restore);
// Decides between a file and a directory request from what `walked` (UPDATED on
// create, DELTA on restore) is, or from an --archive-* option, which always
// asks for a directory request: returns `directory_type` or `file_type`, or 0
// after printing why the names do not fit together (a directory option for a
// file, a file that is no archive where a tree is needed). In a directory
// request every input that is a file must be an archive and is read as one.
// Adds the options' flags (EF_ARCHIVE_* among them) to `flags`.
int tree_request_type(const char* verb, const TreeOptions& options, const std::string& walked,
                      const std::string& other, int file_type, int directory_type, EngineFlags& flags);

// The flags of an archived-directory request (--archived): the tree options
// it takes, and EF_ARCHIVE_BASE / EF_ARCHIVE_UPDATED for a BASE or UPDATED
// (null on restore) that is an archive file rather than a directory. A
// regular file that is not one of our archives is refused. False after
// printing why.
bool archived_request_flags(const char* verb, const TreeOptions& options, const std::string& base,
                            const std::string* updated, EngineFlags& flags);

// Adds the report options (--report, --append, --level) to the root command.
void add_report_options(CLI::App& root, CliContext& context);
// The report and display settings of a job: those of the --report options when
// one is given, otherwise those of `stored` (a job played from the history),
// otherwise no report.
JobSettings job_report_settings(const CliContext& context, const JobSettings* stored);

// "-" as a file name: standard input is kept whole in a private temporary
// folder and the job reads that file; an output named "-" is written there and
// sent to standard output once the job committed it. Everything is removed when
// the object goes.
class StandardStreams {
public:
    StandardStreams() = default;
    ~StandardStreams();
    StandardStreams(const StandardStreams&) = delete;
    StandardStreams& operator=(const StandardStreams&) = delete;

    // Replaces "-" in `name` by the kept copy of standard input. False after
    // saying why (standard input a terminal, a second "-", a failed copy).
    bool take_input(std::string& name, const char* verb);
    // Replaces "-" in `name` by the file that deliver() sends on. Refuses a
    // terminal unless `force`.
    bool take_output(std::string& name, const char* verb, bool force);
    // Sends the committed output to standard output, if there is one to send.
    bool deliver(const char* verb);

private:
    bool make_folder(const char* verb);
    std::string folder_, input_, output_;
};

// Takes "-" among the names of a create or restore: `first` and `second` are
// its inputs and `output` its output. Only single-file jobs stream; a tree or
// an --archived job is refused with a message. False after saying why.
bool take_standard_streams(const CliContext& context, const char* verb, bool archived, std::string& first,
                           std::string& second, std::string& output, StandardStreams& streams);

// The existing file that a request would replace, or "" when none: the output
// of a job whose output is one file (a delta, a restored file, an archive),
// every keep-all name it would write, never an in-place restore's Base.
// Directory outputs are written into, as the desktop program does.
std::string existing_output(int type, const std::string& first, const std::string& output, EngineFlags flags,
                            AlgorithmMask mask);
// `path` when it names a regular file or a link, else "".
std::string existing_file(const std::string& path);
// Without -f, says that `path` ("" for none) exists and returns true.
bool refuse_existing_output(const CliContext& context, const char* verb, const std::string& path);

// Prints "quoralith: <what>" on stderr as one line.
void print_error(const std::string& what);

// Parses an algorithm list such as "7", "0-7" or "0,3,7" (numbers 0 to 15).
// Throws CLI::ValidationError on anything else.
AlgorithmMask parse_algorithm_list(const std::string& list);

// Adds "--fail copy|skip|stop" to `command`; the choice lands in `flags`.
void add_fail_option(CLI::App& command, std::string& choice);
EngineFlags fail_flags(const std::string& choice);

// Runs one engine request with a progress bar (when stderr is a terminal and
// not quiet), Ctrl-C as Stop, and an error line naming the file and the reason
// for every file that fails. The job runner carries it, so that the report file
// (job_report_settings with `stored`) is the desktop program's. Returns the exit status.
int run_engine_request(const CliContext& context, const char* verb, int type, const std::string& first,
                       const std::string& second, std::string output, const std::string& pattern,
                       EngineFlags flags, AlgorithmMask mask, const JobSettings* stored = nullptr);

}  // namespace quoralith::cli
