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
    command->add_option("BASE", options->base, "The old file the delta was made from")->required();
    command->add_option("DELTA", options->delta, "The delta file")->required();
    command->add_option("UPDATED", options->updated, "The file to write")->required();
    command->callback([options, &context] {
        EngineFlags flags = fail_flags(options->fail);
        if (!options->no_keep_date) flags |= EF_KEEP_DATE;
        if (!options->no_keep_attributes) flags |= EF_KEEP_ATTRIBUTES;
        context.exit_status = run_engine_request(context, "restore", OP_RESTORE_FILE, options->base,
                                                 options->delta, options->updated, "", flags, 0);
    });
}

}  // namespace quoralith::cli
