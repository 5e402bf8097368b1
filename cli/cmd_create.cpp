// quoralith create: make a delta of UPDATED against BASE.
#include <sys/stat.h>

#include <cerrno>
#include <memory>

#include "cli/cli.h"

namespace quoralith::cli {

namespace {

struct CreateOptions {
    std::string algorithms = "7";
    bool keep_all = false;
    bool long_stamp = false;
    bool plain_trailer = false;
    bool deep = false;
    bool compact = false;
    bool no_base = false;
    bool archived = false;
    std::string fail = "skip";
    std::string base, updated, delta;
    TreeOptions tree;
};

// Sorts the names given into BASE, UPDATED and DELTA: three of them, or two
// (UPDATED and DELTA) with --no-base. False after saying what is wrong.
bool take_names(CreateOptions& options) {
    if (options.no_base) {
        if (!options.delta.empty() || options.updated.empty()) {
            print_error("create: with --no-base give UPDATED and DELTA only");
            return false;
        }
        options.delta = options.updated;
        options.updated = options.base;
        options.base.clear();
        return true;
    }
    if (options.delta.empty()) {
        print_error("create: give BASE, UPDATED and DELTA (or --no-base UPDATED DELTA)");
        return false;
    }
    return true;
}

}  // namespace

void setup_create(CLI::App& root, CliContext& context) {
    auto options = std::make_shared<CreateOptions>();
    CLI::App* command = root.add_subcommand("create", "Make a delta that rebuilds UPDATED from BASE");
    CLI::Option* algorithms =
        command->add_option("-a,--algorithms", options->algorithms,
                            "Algorithms to try, e.g. 7, 0-7 or 0,3,7; the smallest delta is kept")
            ->default_str("7");
    CLI::Option* keep_all = command->add_flag("--keep-all", options->keep_all,
                      "Keep one delta per algorithm, named with the algorithm's digit (report.dlt -> report3.dlt)");
    command->add_flag("--deep", options->deep,
                      "Also try the deep search (more time and memory, usually a smaller delta); "
                      "joins the candidates of -a and keeps the smallest")
        ->excludes(keep_all);
    command->add_flag("--compact", options->compact,
                      "Make a compact delta, our own smaller format (restore reads either format); alone it "
                      "replaces algorithm 7, beside -a or --deep it joins their candidates and the smallest is "
                      "kept (with --keep-all it is kept under the letter c)");
    command->add_flag("--long-stamp", options->long_stamp,
                      "Check the base with a 256-byte block instead of 4 bytes");
    command->add_flag("--plain-trailer", options->plain_trailer,
                      "Leave out the record of the updated file's permission bits and digest: the delta is "
                      "byte for byte what the bare format writes, and a restore cannot verify it");
    add_fail_option(*command, options->fail);
    add_tree_options(*command, options->tree, false);
    command->add_flag(
        "--archived", options->archived,
        "One delta file for a whole tree: BASE and UPDATED are directories or archive files "
        "(quoralith archive create), packed alike and coded as one file");
    command->add_flag("--no-base", options->no_base,
                      "Make a delta (or deltas of a tree) without a base, holding all of UPDATED; give only "
                      "UPDATED and DELTA");
    // Not marked required: with --no-base the first two names are UPDATED and
    // DELTA. The callback checks the count.
    command->add_option("BASE", options->base,
                        "The old file, or directory, or beside a directory an archive file holding the old tree "
                        "(it must exist: --no-base makes deltas without one)");
    command->add_option("UPDATED", options->updated,
                        "The new file, or directory: every file below it is coded (an archive file with "
                        "--archive-updated)");
    command->add_option("DELTA", options->delta,
                        "The delta file, or directory of deltas, to write (one archive file with --archive-delta)");
    command->callback([options, algorithms, &context] {
        if (!take_names(*options)) {
            context.exit_status = EXIT_REFUSED;
            return;
        }
        // --compact alone asks for the compact delta only: the default
        // algorithm is not tried beside it unless named or the deep search is.
        const bool compact_alone = options->compact && algorithms->count() == 0 && !options->deep;
        const AlgorithmMask mask = compact_alone ? AlgorithmMask{0} : parse_algorithm_list(options->algorithms);
        StandardStreams streams;
        if (!take_standard_streams(context, "create", options->archived, options->base, options->updated,
                                   options->delta, streams)) {
            context.exit_status = EXIT_REFUSED;
            return;
        }
        EngineFlags flags = fail_flags(options->fail);
        if (!options->long_stamp) flags |= EF_SHORT_STAMP;
        if (options->keep_all) flags |= EF_KEEP_ALL;
        if (options->plain_trailer) flags |= EF_PLAIN_TRAILER;
        if (options->deep) flags |= EF_DEEP;
        if (options->compact) flags |= EF_COMPACT;
        // A mistyped Base would silently give deltas of the whole files.
        struct stat status {};
        const auto base_missing = [&] {
            return !options->no_base && stat(options->base.c_str(), &status) != 0 &&
                   (errno == ENOENT || errno == ENOTDIR);
        };
        if (options->archived) {
            if (base_missing()) {
                print_error("create: the base '" + options->base +
                            "' does not exist (to make a delta without a base, use --no-base UPDATED DELTA)");
                context.exit_status = EXIT_REFUSED;
                return;
            }
            if (!archived_request_flags("create", options->tree, options->base, &options->updated, flags)) {
                context.exit_status = EXIT_REFUSED;
                return;
            }
            context.exit_status = run_engine_request(context, "create", OP_CREATE_ARCHIVED, options->base,
                                                     options->updated, options->delta, options->tree.pattern, flags,
                                                     mask);
            return;
        }
        const int type = tree_request_type("create", options->tree, options->updated, options->base, OP_CREATE_FILE,
                                           OP_CREATE_DIR, flags);
        if (type == 0) {
            context.exit_status = EXIT_REFUSED;
            return;
        }
        if (base_missing()) {
            print_error(std::string("create: the base ") + (type == OP_CREATE_FILE ? "file" : "directory") + " '" +
                        options->base + "' does not exist (to make " +
                        (type == OP_CREATE_FILE ? "a delta" : "deltas") + " without a base, use --no-base UPDATED DELTA)");
            context.exit_status = EXIT_REFUSED;
            return;
        }
        context.exit_status = run_engine_request(context, "create", type, options->base, options->updated,
                                                 options->delta, options->tree.pattern, flags, mask);
        if (context.exit_status == EXIT_ALL_DONE && !streams.deliver("create")) context.exit_status = EXIT_FILE_FAILED;
    });
}

}  // namespace quoralith::cli
