// quoralith restore: rebuild UPDATED from BASE and a delta.
#include <memory>

#include "cli/cli.h"

namespace quoralith::cli {

namespace {

struct RestoreOptions {
    bool no_keep_date = false;
    bool no_keep_attributes = false;
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
        EngineFlags flags = fail_flags(options->fail);
        if (!options->no_keep_date) flags |= EF_KEEP_DATE;
        if (!options->no_keep_attributes) flags |= EF_KEEP_ATTRIBUTES;
        const int type = tree_request_type("restore", options->tree, options->delta, options->base, OP_RESTORE_FILE,
                                           OP_RESTORE_DIR, flags);
        if (type == 0) {
            context.exit_status = EXIT_REFUSED;
            return;
        }
        context.exit_status = run_engine_request(context, "restore", type, options->base, options->delta,
                                                 options->updated, options->tree.pattern, flags, 0);
    });
}

}  // namespace quoralith::cli
