// The directory walk: pairs every file of the walked tree with the file of the
// same relative name in the other two trees and runs the single-file operation
// on each triple, level by level.
#include <sys/stat.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "engine/dir_list.h"
#include "engine/engine_internal.h"
#include "engine/safe_output.h"

namespace quoralith {
namespace {

struct DirId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const DirId&) const = default;
};

bool dir_id(const std::string& path, DirId& id) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return false;
    id = {st.st_dev, st.st_ino};
    return true;
}

// What stays the same for every level of one walk.
struct Walk {
    EngineRun& run;
    int type;
    const std::string& pattern;
    EngineFlags flags;
    AlgorithmMask mask;
    const ProgressCallback& callback;
    FolderSync outputs;
    DirId output_id{};
    bool have_output_id = false;
    std::vector<DirId> ancestors;  // directories of the walked tree above this level
};

const NameMatchEntry* find_name_pair(const NameMatchList& names, const std::string& second) {
    for (const NameMatchEntry& entry : names) {
        if (entry.empty) break;
        if (second.size() >= entry.first.size() &&
            second.compare(second.size() - entry.first.size(), entry.first.size(), entry.first) == 0)
            return &entry;
    }
    return nullptr;
}

// Tells the callback about an entry that is passed over; true when it answered stop.
bool report_passed_over(const Walk& walk, int code, const std::string& first, const std::string& second,
                        const std::string& output) {
    ProgressRecord record;
    record.code = static_cast<std::int16_t>(code);
    record.first_path = first.c_str();
    record.second_path = second.c_str();
    record.output_path = output.c_str();
    const std::int16_t answer = walk.callback ? walk.callback(record) : default_progress_callback(record);
    return answer == ANSWER_STOP;
}

void walk_level(Walk& walk, const std::string& first, const std::string& second, const std::string& output) {
    if (walk.run.stop_latch) return;
    const bool merge = walk.type == OP_MERGE;
    const std::string& walked = merge ? first : second;

    DirListing listing = engine_list_dir(walked, walk.pattern);
    if (walk.flags & EF_SORTED) engine_sort_list(listing);
    // The files renamed into this output folder are made durable together, once
    // the level's files are done (or the walk stopped).
    bool wrote = false;
    struct FolderFlush {
        const std::string& folder;
        const bool& wrote;
        ~FolderFlush() {
            if (wrote) sync_folder(folder);
        }
    } flush{output, wrote};

    for (const DirEntry& entry : listing) {
        const std::string first_path = join_path(first, entry.name);
        const std::string second_path = join_path(second, entry.name);
        std::string output_path = join_path(output, entry.name);

        if (entry.is_directory()) {
            if (!(walk.flags & EF_INCLUDE_SUBDIRS) || walk.run.stop_latch) continue;
            const std::string& sub = merge ? first_path : second_path;
            DirId id;
            if (!dir_id(sub, id)) continue;
            // The output tree may lie inside the walked tree: walking it would
            // code our own output, level after level.
            if (walk.have_output_id && id == walk.output_id) continue;
            // A bind mount can make a directory its own descendant.
            if (std::find(walk.ancestors.begin(), walk.ancestors.end(), id) != walk.ancestors.end()) continue;
            struct stat st {};
            if (stat(output_path.c_str(), &st) != 0) mkdir(output_path.c_str(), 0777);
            walk.ancestors.push_back(id);
            walk_level(walk, first_path, second_path, output_path);
            walk.ancestors.pop_back();
            continue;
        }

        if (entry.kind == EntryKind::Other) {
            const int code = passed_over_code(join_path(walked, entry.name));
            if (report_passed_over(walk, code, first_path, second_path, output_path)) {
                walk.run.stop_latch = true;
                break;
            }
            continue;
        }

        if (merge) {
            struct stat st {};
            if (lstat(second_path.c_str(), &st) == 0) continue;  // restored from its delta
        }

        // A directory where the Base tree would hold this file: the file is new
        // to the Base tree. Anything else there goes to the file operation, which
        // refuses a Base it cannot read (a pipe, say) as this file's error. An
        // output that is a pipe or device is refused here.
        struct stat base_status {};
        const bool base_usable =
            merge || stat(first_path.c_str(), &base_status) != 0 || !S_ISDIR(base_status.st_mode);
        EntryKind kind;
        if (path_kind(output_path, kind) && kind != EntryKind::File) {
            if (report_passed_over(walk, passed_over_code(output_path), first_path, second_path, output_path)) {
                walk.run.stop_latch = true;
                break;
            }
            continue;
        }

        const NameMatchEntry* pair = nullptr;
        if (walk.type == OP_CREATE_DIR) pair = find_name_pair(walk.run.names, second_path);

        wrote = walk.outputs != FolderSync::never;
        const int result = engine_walk_file_op(walk.type, base_usable ? first_path.c_str() : nullptr, second_path,
                                               output_path, pair, walk.flags, walk.mask, walk.callback, walk.outputs);
        if (result == ERR_STOPPED) {
            walk.run.stop_latch = true;
            break;
        }
    }
}

}  // namespace

int engine_dir_op(EngineRun& run, int type, const std::string& first, const std::string& second,
                  const std::string& output, const std::string& pattern, EngineFlags flags, AlgorithmMask mask,
                  const ProgressCallback& callback, FolderSync outputs) {
    if (run.stop_latch) return 0;
    // Every missing level is made, so that a new output tree may be named freely.
    make_dirs(output);
    // A merge into the Base tree itself has nothing to copy: every Base file is
    // already where it belongs.
    if (type == OP_MERGE && ((flags & EF_IN_PLACE) || first == output)) return 0;

    Walk walk{run, type, pattern, flags, mask, callback, outputs, {}, false, {}};
    walk.have_output_id = dir_id(output, walk.output_id);
    DirId top;
    if (dir_id(type == OP_MERGE ? first : second, top)) walk.ancestors.push_back(top);
    walk_level(walk, first, second, output);
    return 0;
}

}  // namespace quoralith
