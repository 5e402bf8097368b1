// quoralith restore: rebuild UPDATED from BASE and a delta.
#include <memory>

#include "cli/cli.h"
#include "engine/dir_list.h"

namespace quoralith::cli {

namespace {

struct RestoreOptions {
    bool no_keep_date = false;
    bool no_keep_attributes = false;
    bool archived = false;
    std::string fail = "skip";
    std::string base, delta, updated;
    TreeOptions tree;
};

}  // namespace

void setup_restore(CLI::App& root, CliContext& context) {
    auto options = std::make_shared<RestoreOptions>();
    CLI::App* command = root.add_subcommand(
        "restore", "Rebuild UPDATED from BASE and DELTA (UPDATED equal to BASE replaces BASE in place)");
    command->add_flag("--no-keep-date", options->no_keep_date,
                      "Do not give the file the times stored in the delta");
    command->add_flag("--no-keep-attributes", options->no_keep_attributes,
                      "Do not give the file the read/write bits stored in the delta");
    add_fail_option(*command, options->fail);
    add_tree_options(*command, options->tree, true);
    command->add_flag("--archived", options->archived,
                      "DELTA was made by create --archived: BASE is a directory or archive file (give the --pattern "
                      "and --no-subdirs of the create), UPDATED the directory to write (one archive file with "
                      "--archive-updated)");
    command->add_option("BASE", options->base,
                        "The old file or directory the delta was made from (for a directory, also an archive file "
                        "holding it)")
        ->required();
    command->add_option("DELTA", options->delta,
                        "The delta file, or directory of deltas (one archive file with --archive-delta)")
        ->required();
    command->add_option("UPDATED", options->updated,
                        "The file or directory to write (one archive file with --archive-updated)")
        ->required();
    command->callback([options, &context] {
        StandardStreams streams;
        if (!take_standard_streams(context, "restore", options->archived, options->base, options->delta,
                                   options->updated, streams)) {
            context.exit_status = EXIT_REFUSED;
            return;
        }
        EngineFlags flags = fail_flags(options->fail);
        if (!options->no_keep_date) flags |= EF_KEEP_DATE;
        if (!options->no_keep_attributes) flags |= EF_KEEP_ATTRIBUTES;
        if (options->archived) {
            if (options->tree.archive_updated) flags |= EF_ARCHIVE_UPDATED;
            if (!archived_request_flags("restore", options->tree, options->base, nullptr, flags)) {
                context.exit_status = EXIT_REFUSED;
                return;
            }
            // The tree is emptied only once the delta restored whole; never
            // when that would delete an input.
            if ((flags & EF_CLEAR_OUTPUT) &&
                (path_within(options->base, options->updated) || path_within(options->updated, options->base) ||
                 path_within(options->delta, options->updated))) {
                print_error("restore: the output directory '" + options->updated +
                            "' is, holds or lies inside an input; it is not cleared");
                context.exit_status = EXIT_REFUSED;
                return;
            }
            context.exit_status = run_engine_request(context, "restore", OP_RESTORE_ARCHIVED, options->base,
                                                     options->delta, options->updated, options->tree.pattern, flags,
                                                     0);
            return;
        }
        const int type = tree_request_type("restore", options->tree, options->delta, options->base, OP_RESTORE_FILE,
                                           OP_RESTORE_DIR, flags);
        if (type == 0) {
            context.exit_status = EXIT_REFUSED;
            return;
        }
        context.exit_status = run_engine_request(context, "restore", type, options->base, options->delta,
                                                 options->updated, options->tree.pattern, flags, 0);
        if (context.exit_status == EXIT_ALL_DONE && !streams.deliver("restore")) context.exit_status = EXIT_FILE_FAILED;
    });
}

}  // namespace quoralith::cli
