// quoralith create: make a delta of UPDATED against BASE.
#include <memory>

#include "cli/cli.h"

namespace quoralith::cli {

namespace {

struct CreateOptions {
    std::string algorithms = "7";
    bool keep_all = false;
    bool long_stamp = false;
    bool deep = false;
    std::string fail = "skip";
    std::string base, updated, delta;
    TreeOptions tree;
};

}  // namespace

void setup_create(CLI::App& root, CliContext& context) {
    auto options = std::make_shared<CreateOptions>();
    CLI::App* command = root.add_subcommand("create", "Make a delta that rebuilds UPDATED from BASE");
    command->add_option("-a,--algorithms", options->algorithms,
                        "Algorithms to try, e.g. 7, 0-7 or 0,3,7; the smallest delta is kept")
        ->default_str("7");
    CLI::Option* keep_all = command->add_flag("--keep-all", options->keep_all,
                      "Keep one delta per algorithm, named with the algorithm's digit (report.dlt -> report3.dlt)");
    command->add_flag("--deep", options->deep,
                      "Also try the deep search (more time and memory, usually a smaller delta); "
                      "joins the candidates of -a and keeps the smallest")
        ->excludes(keep_all);
    command->add_flag("--long-stamp", options->long_stamp,
                      "Check the base with a 256-byte block instead of 4 bytes");
    add_fail_option(*command, options->fail);
    add_tree_options(*command, options->tree, false);
    command->add_option("BASE", options->base,
                        "The old file or directory (need not exist: the delta then holds all of UPDATED)")
        ->required();
    command->add_option("UPDATED", options->updated, "The new file, or directory: every file below it is coded")
        ->required();
    command->add_option("DELTA", options->delta, "The delta file, or directory of deltas, to write")->required();
    command->callback([options, &context] {
        const AlgorithmMask mask = parse_algorithm_list(options->algorithms);
        EngineFlags flags = fail_flags(options->fail);
        if (!options->long_stamp) flags |= EF_SHORT_STAMP;
        if (options->keep_all) flags |= EF_KEEP_ALL;
        if (options->deep) flags |= EF_DEEP;
        const int type = tree_request_type("create", options->tree, options->updated, options->base, OP_CREATE_FILE,
                                           OP_CREATE_DIR, flags);
        if (type == 0) {
            context.exit_status = EXIT_REFUSED;
            return;
        }
        context.exit_status = run_engine_request(context, "create", type, options->base, options->updated,
                                                 options->delta, options->tree.pattern, flags, mask);
    });
}

}  // namespace quoralith::cli
