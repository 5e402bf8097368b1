// engine_run: checks one request and hands it to the single-file operation or
// to the directory walk.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "engine/dir_list.h"
#include "engine/engine.h"
#include "engine/engine_internal.h"

namespace quoralith {

bool clearing_would_delete_input(int type, const std::string& first, const std::string& second,
                                 const std::string& output) {
    if (type != OP_CREATE_DIR && type != OP_RESTORE_DIR && type != OP_RESTORE_ARCHIVED) return false;
    // Restoring over the Base tree never clears it (engine_run drops the flag).
    if (type == OP_RESTORE_DIR && !first.empty() && output == first) return false;
    // Emptying an output tree that is or holds an input destroys what is to be
    // read; emptying one inside an input tree deletes part of that input.
    // An output not made yet counts where it would be made; an input that is
    // not there has nothing to lose.
    for (const std::string* input : {&first, &second}) {
        struct stat st {};
        if (input->empty()) continue;
        if (path_within(output, *input) || (lstat(input->c_str(), &st) == 0 && path_within(*input, output)))
            return true;
    }
    return false;
}

namespace {

// Tells the caller why a request does nothing at all, with the name it is about.
void report_request(const ProgressCallback& callback, int code, const std::string& first, const std::string& second,
                    const std::string& output, const std::string& detail = {}) {
    send_error_record(callback, code, first, second, output, detail);
}

// A Base tree named for a create that is not there: most likely a mistyped
// name, which would otherwise give deltas that hold every file whole. (An
// empty name asks for no Base; a Base archive is checked as an archive, with
// its own words.)
bool base_tree_missing(FileSystem& files, int type, const std::string& first, EngineFlags flags) {
    if ((type != OP_CREATE_DIR && type != OP_CREATE_ARCHIVED) || first.empty() || (flags & EF_ARCHIVE_BASE))
        return false;
    struct stat st {};
    return files.lstat(first.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

}  // namespace

int engine_run(EngineRequest& request) {
    const int type = request.type;
    const std::string& first = request.first;
    const std::string& second = request.second;
    std::string& output = request.output;
    const std::string& pattern = request.pattern;
    EngineFlags flags = request.flags;
    const AlgorithmMask mask = request.mask;
    const ProgressCallback& callback = request.callback;
    EngineRun run(request.files ? *request.files : real_file_system());  // the stop latch starts clear

    // Paths are compared byte for byte: names that differ in letter case are
    // different files here. For single files another spelling of the same file
    // ("./a", a hard link) counts as the same path too, or the run would write
    // over its own input. (The directory walk guards its trees itself.)
    // An output named by a link is not the file the link leads to: the link
    // is what the new file replaces.
    struct stat output_status {};
    const bool single = (type == OP_CREATE_FILE || type == OP_RESTORE_FILE) &&
                        !(run.files.lstat(output.c_str(), &output_status) == 0 && S_ISLNK(output_status.st_mode));
    if (output == second || (single && same_file(output, second, run.files))) return ERR_BAD_REQUEST;
    if (!first.empty() && (output == first || (single && same_file(output, first, run.files)))) {
        if (type != OP_RESTORE_FILE && type != OP_RESTORE_DIR) return ERR_BAD_REQUEST;
        // Restoring over the Base: never empty the Base directory first.
        flags = static_cast<EngineFlags>((flags | EF_IN_PLACE) & ~EF_CLEAR_OUTPUT);
    }
    if (type == OP_CREATE_DIR && !request.match_file.empty()) {
        // An unreadable match file is not an error: the walk runs without it.
        if (std::FILE* file = run.files.fopen(request.match_file.c_str(), "r")) {
            run.names = read_name_match_list(file);
            std::fclose(file);
        }
    }
    if (type < OP_CREATE_FILE || type > OP_RESTORE_ARCHIVED) return ERR_BAD_REQUEST;
    if (base_tree_missing(run.files, type, first, flags)) {
        report_request(callback, ERR_NO_BASE_TREE, first, second, output);
        return 0;
    }
    if (type == OP_CREATE_ARCHIVED || type == OP_RESTORE_ARCHIVED)
        return engine_archived_op(type, first, second, output, pattern, flags, mask, callback, run.files);
    if ((flags & EF_CLEAR_OUTPUT) && clearing_would_delete_input(type, first, second, output)) return ERR_BAD_REQUEST;

    if (type == OP_CREATE_FILE || type == OP_RESTORE_FILE) {
        engine_file_op(type, first.empty() ? nullptr : first.c_str(), second, output, nullptr, flags, mask, callback,
                       run.files);
        return 0;
    }

    const ProgressCallback walk_callback = callback ? callback : ProgressCallback(default_progress_callback);
    if (flags & (EF_ARCHIVE_BASE | EF_ARCHIVE_UPDATED | EF_ARCHIVE_DELTA))
        return engine_dir_archive_op(run, type, first, second, output, pattern, flags, mask, walk_callback);
    // A pattern that selects nothing would leave an empty (or emptied) output
    // and a clean exit: the request says so and touches nothing.
    if (!pattern.empty() && !engine_tree_has_match(second, pattern, flags, output, run.files) &&
        !(type == OP_RESTORE_DIR && (flags & EF_MERGE) &&
          engine_tree_has_match(first, pattern, flags, output, run.files))) {
        report_request(walk_callback, ERR_NOTHING_MATCHED, first, second, output,
                       "no file of '" + second + "' matches the pattern '" + pattern + "'; nothing was done");
        return 0;
    }
    if (flags & EF_CLEAR_OUTPUT) engine_clear_dir(output, run.files);
    engine_dir_op(run, type, first, second, output, pattern, flags, mask, walk_callback);
    if (type == OP_RESTORE_DIR && !run.stop_latch && (flags & EF_MERGE)) {
        engine_dir_op(run, OP_MERGE, first, second, output, pattern,
                      static_cast<EngineFlags>(flags & ~EF_CLEAR_OUTPUT), mask, walk_callback);
    }
    return 0;
}

}  // namespace quoralith
