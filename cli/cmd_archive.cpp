// quoralith archive create|extract|list: a directory tree packed into one file.
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <iterator>
#include <cstdio>
#include <ctime>
#include <memory>
#include <utility>

#include "cli/cli.h"
#include "engine/archive.h"
#include "engine/printable.h"

namespace quoralith::cli {

namespace {

// Ctrl-C, SIGTERM and SIGHUP answer Stop: creation then writes no archive (an
// earlier one stays, and its temporary is removed), extraction ends after the
// current file, which is never left half-written.
volatile std::sig_atomic_t archive_interrupted = 0;

extern "C" void on_archive_interrupt(int) { archive_interrupted = 1; }

class ArchiveInterruptGuard {
public:
    ArchiveInterruptGuard() {
        archive_interrupted = 0;
        for (std::size_t i = 0; i < kSignals; ++i) previous_[i] = std::signal(kStopSignals[i], on_archive_interrupt);
    }
    ~ArchiveInterruptGuard() {
        for (std::size_t i = 0; i < kSignals; ++i) std::signal(kStopSignals[i], previous_[i]);
    }
    ArchiveInterruptGuard(const ArchiveInterruptGuard&) = delete;
    ArchiveInterruptGuard& operator=(const ArchiveInterruptGuard&) = delete;

private:
    static constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
    static constexpr std::size_t kSignals = std::size(kStopSignals);
    void (*previous_[kSignals])(int) = {SIG_DFL, SIG_DFL, SIG_DFL};
};

// Prints one line per failed file, naming it, and one per damaged place of an
// archive being read, with its offset; counts the outcomes.
class ArchiveObserver {
public:
    // `root`: what the paths of an archive being written are relative to.
    ArchiveObserver(const CliContext& context, bool extracting, std::string root = "")
        : show_names_(!context.quiet && isatty(STDERR_FILENO)), extracting_(extracting), root_(std::move(root)) {
        if (!root_.empty() && root_.back() != '/') root_ += '/';
    }

    std::int16_t operator()(const ProgressRecord& record) {
        std::string named;
        if (extracting_ && record.output_path) named = record.output_path;
        if (!extracting_ && record.first_path) named = root_ + record.first_path;
        const char* path = named.empty() ? nullptr : named.c_str();
        switch (record.code) {
            case PM_ARCHIVE_FILE_START:
            case PM_EXTRACT_FILE_START:
                if (show_names_ && path) {
                    std::fprintf(stderr, "\r\033[K%s", printable_name(path).c_str());
                    std::fflush(stderr);
                    drawn_ = true;
                }
                break;
            case PM_ARCHIVE_FILE_DONE:
            case PM_EXTRACT_FILE_DONE:
                ++done_;
                break;
            default:
                // A failed write to the archive being made is told once, for
                // the whole archive, when the walk has ended.
                if (record.code < 0 && record.code != ERR_STOPPED &&
                    !errno_of(record.code, ERR_WRITE_ARCHIVE)) {
                    // Damage between members names the archive itself.
                    const bool archive_wide =
                        record.code == ERR_ARCHIVE_DAMAGED || record.code == ERR_ARCHIVE_TAG_DAMAGED;
                    const bool between =
                        extracting_ && archive_wide && record.output_path && archive_ == record.output_path;
                    ++(between ? damaged_ : failed_);
                    clear();
                    print_error(std::string(path ? path : "(unnamed)") + ": " +
                                (record.detail ? std::string(record.detail) : describe_error(record.code)));
                }
                break;
        }
        return archive_interrupted ? ANSWER_STOP : ANSWER_SKIP;
    }

    void clear() {
        if (!drawn_) return;
        std::fputs("\r\033[K", stderr);
        drawn_ = false;
    }
    int done() const { return done_; }
    int failed() const { return failed_; }
    int damaged() const { return damaged_; }
    // The archive being read: damage reported under its name lies between members.
    void set_archive(const std::string& archive) { archive_ = archive; }

private:
    bool show_names_;
    bool extracting_;
    std::string root_;
    bool drawn_ = false;
    int done_ = 0;
    int failed_ = 0;
    int damaged_ = 0;
    std::string archive_;
};

std::string plural(int count, const char* word) {
    return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

int finish(ArchiveObserver& observer, const char* verb, const char* done_word) {
    observer.clear();
    if (archive_interrupted) {
        print_error(std::string(verb) + ": stopped");
        return EXIT_FILE_FAILED;
    }
    if (observer.damaged() > 0) {
        print_error(std::string(verb) + ": the archive is damaged (" + plural(observer.damaged(), "place") + "), " +
                    plural(observer.failed(), "file") + " failed, " + std::to_string(observer.done()) + " " +
                    done_word);
        return EXIT_FILE_FAILED;
    }
    if (observer.failed() > 0) {
        print_error(std::string(verb) + ": " + plural(observer.failed(), "file") + " failed, " +
                    std::to_string(observer.done()) + " " + done_word);
        return EXIT_FILE_FAILED;
    }
    return EXIT_ALL_DONE;
}

std::string describe_archive_open(int code) {
    if (code == ERR_NOT_ARCHIVE) return "not an archive (too short, or not our magic)";
    return describe_error(code);
}

struct ArchiveOptions {
    bool raw = false;
    bool plain = false;
    bool no_subdirs = false;
    bool clear_output = false;
    bool no_keep_date = false;
    bool no_keep_attributes = false;
    std::string pattern;
    std::string root, archive, output;
};

void setup_archive_create(CLI::App& parent, CliContext& context) {
    auto options = std::make_shared<ArchiveOptions>();
    CLI::App* command = parent.add_subcommand("create", "Pack the files below ROOT into ARCHIVE");
    command->add_flag("--raw", options->raw, "Store files as they are instead of coding them");
    command->add_flag("--plain-trailer", options->plain,
                      "Leave out each file's record of permission bits and digest: the bare format's fixed values, "
                      "and an extraction that cannot verify the files");
    command->add_option("--pattern", options->pattern, "Only files whose names match GLOB (case ignored), e.g. '*.txt'")
        ->type_name("GLOB");
    command->add_flag("--no-subdirs", options->no_subdirs, "Only the files directly in ROOT");
    command->add_option("ROOT", options->root, "The directory to pack")->required()->check(CLI::ExistingDirectory);
    command->add_option("ARCHIVE", options->archive, "The archive file to write (replaced only once complete)")
        ->required();
    command->callback([options, &context] {
        if (refuse_existing_output(context, "archive create", existing_file(options->archive))) {
            context.exit_status = EXIT_REFUSED;
            return;
        }
        EngineFlags flags = EF_SORTED;
        if (!options->no_subdirs) flags |= EF_INCLUDE_SUBDIRS;
        if (options->raw) flags |= EF_STORE_RAW;
        if (options->plain) flags |= EF_PLAIN_TRAILER;
        ArchiveInterruptGuard guard;
        ArchiveObserver observer(context, false, options->root);
        const int result = archive_create(options->root, "", options->archive, options->pattern, flags,
                                          [&observer](const ProgressRecord& r) { return observer(r); });
        if (result < 0 && result != ERR_STOPPED) {
            observer.clear();
            const bool write_failed = errno_of(result, ERR_WRITE_ARCHIVE) != 0;
            std::string why = describe_error(result);
            // Nothing was replaced: say so, since the user may fear for the old archive.
            if (write_failed && access(options->archive.c_str(), F_OK) == 0) why += "; the earlier archive is kept";
            print_error("archive create: " + options->archive + ": " + why);
            context.exit_status = EXIT_FILE_FAILED;
            return;
        }
        context.exit_status = finish(observer, "archive create", "added");
    });
}

void setup_archive_extract(CLI::App& parent, CliContext& context) {
    auto options = std::make_shared<ArchiveOptions>();
    CLI::App* command = parent.add_subcommand("extract", "Unpack ARCHIVE into OUTDIR");
    command->add_option("--pattern", options->pattern, "Only files whose names match GLOB (case ignored)")
        ->type_name("GLOB");
    command->add_flag("--clear-output", options->clear_output, "Delete everything inside OUTDIR first");
    command->add_flag("--no-keep-date", options->no_keep_date, "Do not give files the times stored in the archive");
    command->add_flag("--no-keep-attributes", options->no_keep_attributes,
                      "Do not give files the read/write bits stored in the archive");
    command->add_option("ARCHIVE", options->archive, "The archive file")->required();
    command->add_option("OUTDIR", options->output, "The directory to unpack into (made when missing)")->required();
    command->callback([options, &context] {
        EngineFlags flags = 0;
        if (options->clear_output) flags |= EF_CLEAR_OUTPUT;
        if (!options->no_keep_date) flags |= EF_KEEP_DATE;
        if (!options->no_keep_attributes) flags |= EF_KEEP_ATTRIBUTES;
        ArchiveInterruptGuard guard;
        ArchiveObserver observer(context, true);
        observer.set_archive(options->archive);
        const int result = archive_extract(options->archive, options->output, options->pattern, flags,
                                           [&observer](const ProgressRecord& r) { return observer(r); });
        if (result == ERR_BAD_REQUEST) {
            print_error("archive extract: '" + options->output + "' holds the archive; it cannot be cleared");
            context.exit_status = EXIT_REFUSED;
            return;
        }
        if (result < 0) {
            print_error("archive extract: " + options->archive + ": " + describe_archive_open(result));
            context.exit_status = EXIT_FILE_FAILED;
            return;
        }
        context.exit_status = finish(observer, "archive extract", "extracted");
    });
}

void setup_archive_list(CLI::App& parent, CliContext& context) {
    auto options = std::make_shared<ArchiveOptions>();
    CLI::App* command = parent.add_subcommand(
        "list", "Show the files in ARCHIVE (kind, size, data size, time, path), each checked as extract would");
    command->add_option("ARCHIVE", options->archive, "The archive file")->required();
    command->callback([options, &context] {
        int damaged = 0;
        const auto damage = [&](const std::string& detail) {
            std::fflush(stdout);
            print_error(options->archive + ": " + detail);
            ++damaged;
        };
        const int result = archive_list(options->archive, [](const ArchiveMember& m) {
            const char* kind = m.block_type == AR_CODED ? "coded " : m.block_type == AR_STORED ? "stored" : "no data";
            char when[32] = "-";
            if (m.modification_time != -1) {
                const std::time_t t = static_cast<std::time_t>(static_cast<std::uint32_t>(m.modification_time));
                std::tm parts{};
                if (gmtime_r(&t, &parts)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", &parts);
            }
            std::string path = m.stored_path;
            for (char& c : path)
                if (c == '\\') c = '/';
            // A stored name may hold any byte: a control character in it
            // must not reach the terminal.
            std::printf("%s %12u %12u  %s  %s\n", kind, m.size, m.data_length, when, printable_name(path).c_str());
        }, damage);
        if (result < 0) {
            print_error("archive list: " + options->archive + ": " + describe_archive_open(result));
            context.exit_status = EXIT_FILE_FAILED;
        } else if (damaged > 0) {
            print_error("archive list: the archive is damaged (" + plural(damaged, "place") + ")");
            context.exit_status = EXIT_FILE_FAILED;
        }
    });
}

}  // namespace

void setup_archive(CLI::App& root, CliContext& context) {
    CLI::App* command = root.add_subcommand("archive", "Pack a directory tree into one archive file, or unpack it");
    command->require_subcommand(1);
    setup_archive_create(*command, context);
    setup_archive_extract(*command, context);
    setup_archive_list(*command, context);
}

}  // namespace quoralith::cli
