// The directory side of create and restore: the tree options, and telling a
// directory request from a file request by what the names are on disk.
#include <sys/stat.h>

#include "cli/cli.h"
#include "engine/archive.h"

namespace quoralith::cli {

namespace {

bool is_directory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// One input of a directory request: a tree, or an archive file standing for
// one (which adds `archive_flag`). A missing name is an empty tree unless it
// `must_exist`. False after saying what is wrong.
bool tree_input(const char* verb, const char* role, const std::string& name, bool must_exist,
                EngineFlags archive_flag, EngineFlags& flags) {
    const std::string prefix = std::string(verb) + ": " + role + " '" + name + "'";
    if (!exists(name)) {
        if (!must_exist) return true;
        print_error(prefix + " does not exist");
        return false;
    }
    if (is_directory(name)) return true;
    // The header tells an archive; the engine walks it whole before it runs.
    const int header = archive_check_header(name);
    if (header == ERR_NOT_ARCHIVE) {
        print_error(prefix + " is neither a directory nor an archive file");
        return false;
    }
    if (header < 0) {
        print_error(prefix + ": " + describe_error(header));
        return false;
    }
    flags |= archive_flag;
    return true;
}

}  // namespace

void add_tree_options(CLI::App& command, TreeOptions& options, bool restore) {
    command.add_option("--pattern", options.pattern,
                       "Directories: only files whose names match GLOB (case ignored), e.g. '*.txt'")
        ->type_name("GLOB");
    command.add_flag("--no-subdirs", options.no_subdirs, "Directories: only the files at the top level");
    command.add_flag("--sorted", options.sorted, "Directories: handle files in name order");
    command.add_flag("--clear-output", options.clear_output,
                     "Directories: delete everything inside the output directory first");
    if (restore)
        command.add_flag("--merge", options.merge,
                         "Directories: also copy every base file that has no delta into the output");
    command.add_flag("--archive-delta", options.archive_delta,
                     restore ? "Directories: DELTA is one archive file holding the delta tree"
                             : "Directories: write the delta tree as one archive file DELTA (deltas stored as they are)");
    command.add_flag("--archive-updated", options.archive_updated,
                     restore ? "Directories: write the restored tree as one archive file UPDATED, with its times and modes"
                             : "Directories: UPDATED is an archive file holding the updated tree");
}

int tree_request_type(const char* verb, const TreeOptions& options, const std::string& walked,
                      const std::string& other, int file_type, int directory_type, EngineFlags& flags) {
    const bool restore = directory_type == OP_RESTORE_DIR;
    const bool archive_option = options.archive_delta || options.archive_updated;
    if (!archive_option && !is_directory(walked)) {
        if (!options.pattern.empty() || options.no_subdirs || options.sorted || options.clear_output ||
            options.merge) {
            print_error(std::string(verb) + ": '" + walked + "' is not a directory; the directory options apply to directories only");
            return 0;
        }
        return file_type;
    }
    // The name an option says is an archive file must be one.
    const bool walked_is_archive = restore ? options.archive_delta : options.archive_updated;
    if (walked_is_archive && is_directory(walked)) {
        print_error(std::string(verb) + ": " + (restore ? "--archive-delta" : "--archive-updated") + " asks for an archive file, but '" +
                    walked + "' is a directory");
        return 0;
    }
    // A Base that is a file must be an archive to pair with a tree (a missing
    // Base is an empty tree); so must the walked name when an option made this
    // a directory request.
    const EngineFlags walked_flag = restore ? EF_ARCHIVE_DELTA : EF_ARCHIVE_UPDATED;
    if (!tree_input(verb, restore ? "DELTA" : "UPDATED", walked, true, walked_flag, flags) ||
        !tree_input(verb, "BASE", other, false, EF_ARCHIVE_BASE, flags))
        return 0;
    if (restore ? options.archive_updated : options.archive_delta)
        flags |= restore ? EF_ARCHIVE_UPDATED : EF_ARCHIVE_DELTA;
    if (!options.no_subdirs) flags |= EF_INCLUDE_SUBDIRS;
    if (options.sorted) flags |= EF_SORTED;
    if (options.clear_output) flags |= EF_CLEAR_OUTPUT;
    if (options.merge) flags |= EF_MERGE;
    return directory_type;
}

}  // namespace quoralith::cli
