// quoralith: the command line over the delta engine.
#include <csignal>
#include <cstdio>

#include "cli/cli.h"

namespace {

// Every subcommand of the program, in the order --help lists them.
constexpr quoralith::cli::CommandSetup kCommands[] = {
    quoralith::cli::setup_create,
    quoralith::cli::setup_restore,
    quoralith::cli::setup_info,
    quoralith::cli::setup_history,
    quoralith::cli::setup_archive,
};

}  // namespace

int main(int argc, char** argv) {
    using namespace quoralith::cli;
    // Past a file size limit a write then fails (EFBIG) and the file is reported
    // failed with its output untouched, instead of the program being killed.
    std::signal(SIGXFSZ, SIG_IGN);
    CliContext context;
    CLI::App app{"Quoralith: binary deltas. A delta holds what is needed to rebuild an updated file from its base."};
    app.name("quoralith");
    app.set_version_flag("--version", "quoralith 1.1.0");
    app.add_flag("-q,--quiet", context.quiet, "No progress display");
    add_report_options(app, context);
    app.require_subcommand(1);
    app.fallthrough();
    for (CommandSetup setup : kCommands) setup(app, context);
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
