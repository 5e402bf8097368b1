// The directory side of create and restore: the tree options, and telling a
// directory request from a file request by what the names are on disk.
#include <sys/stat.h>

#include "cli/cli.h"

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
}

int tree_request_type(const char* verb, const TreeOptions& options, const std::string& walked,
                      const std::string& other, int file_type, int directory_type, EngineFlags& flags) {
    if (!is_directory(walked)) {
        if (!options.pattern.empty() || options.no_subdirs || options.sorted || options.clear_output ||
            options.merge) {
            print_error(std::string(verb) + ": '" + walked + "' is not a directory; the directory options apply to directories only");
            return 0;
        }
        return file_type;
    }
    // A base that is a file cannot pair with a tree (a missing base is an empty tree).
    if (exists(other) && !is_directory(other)) {
        print_error(std::string(verb) + ": '" + walked + "' is a directory but '" + other + "' is not");
        return 0;
    }
    if (!options.no_subdirs) flags |= EF_INCLUDE_SUBDIRS;
    if (options.sorted) flags |= EF_SORTED;
    if (options.clear_output) flags |= EF_CLEAR_OUTPUT;
    if (options.merge) flags |= EF_MERGE;
    return directory_type;
}

}  // namespace quoralith::cli
