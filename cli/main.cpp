// quoralith: the command line over the delta engine.
#include <csignal>
#include <cstdio>
#include <cstring>

#include <malloc.h>

#include "cli/cli.h"
#include "quoralith_version.h"

namespace {

struct Command {
    const char* name;
    quoralith::cli::CommandSetup setup;
};

// Every subcommand of the program, in the order --help lists them.
constexpr Command kCommands[] = {
    {"create", quoralith::cli::setup_create},   {"restore", quoralith::cli::setup_restore},
    {"info", quoralith::cli::setup_info},       {"history", quoralith::cli::setup_history},
    {"archive", quoralith::cli::setup_archive},
};

// Scripts start the program once per file, and building the parser of every
// subcommand costs a noticeable part of restoring a small one: only those
// whose names appear among the arguments are built. Any other line (help,
// the version, a misspelt command) gets them all, and so the same answer.
bool is_named(const Command& command, int argc, char** argv) {
    bool any = false;
    bool named = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "--help-all") == 0 ||
            std::strcmp(arg, "--version") == 0)
            return true;
        for (const Command& c : kCommands) {
            if (std::strcmp(arg, c.name) == 0) {
                any = true;
                if (&c == &command) named = true;
            }
        }
    }
    return named || !any;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace quoralith::cli;
    // Past a file size limit a write then fails (EFBIG) and the file is reported
    // failed with its output untouched, instead of the program being killed.
    std::signal(SIGXFSZ, SIG_IGN);
    // The passes over a file each take buffers of up to a few hundred
    // kilobytes and give them back. From the heap, a later pass gets pages an
    // earlier one used; as separate mappings, every buffer is fresh memory,
    // whose first touch of each page costs about as much as filling it.
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
    mallopt(M_TRIM_THRESHOLD, 16 << 20);
    CliContext context;
    CLI::App app{"Quoralith: binary deltas. A delta holds what is needed to rebuild an updated file from its base."};
    app.name("quoralith");
    app.set_version_flag("--version", "quoralith " QUORALITH_VERSION);
    app.add_flag("-q,--quiet", context.quiet, "No progress display");
    app.add_flag("-f,--force", context.force,
                 "Replace an existing output file (without it such a file is refused); write a delta to a terminal");
    app.add_flag("-v,--verbose", context.verbose, "A line on stderr for every file done, with its size");
    add_report_options(app, context);
    app.require_subcommand(1);
    app.fallthrough();
    for (const Command& command : kCommands)
        if (is_named(command, argc, argv)) command.setup(app, context);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        // CLI11 words the problem; the status is ours.
        print_error(e.what());
        std::fputs("Run 'quoralith --help' for usage.\n", stderr);
        return EXIT_REFUSED;
    }
    return context.exit_status;
}
