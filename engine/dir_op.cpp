// The directory walk: pairs every file of the walked tree with the file of the
// same relative name in the other two trees and runs the single-file operation
// on each triple, level by level.
//
// Links: the walk never writes through one. A folder of the output tree that
// is a symbolic link is refused and its files are not written; a link at an
// output file's name is replaced by the new file (engine_file_op). A link in
// an input tree that leads outside it is never followed (its file is left
// out, with ERR_LINK_OUTSIDE), so that no file from elsewhere is coded into
// the deltas; links that stay inside read as the files they lead to.
#include <sys/stat.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "engine/dir_list.h"
#include "engine/engine_internal.h"
#include "engine/safe_output.h"

namespace quoralith {
namespace {

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
    bool no_base = false;          // a create without any Base tree
    std::string walked_root;       // the walked tree's top, links resolved
    std::string base_root;         // the Base tree's top, links resolved ("" when it does not exist)
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
                        const std::string& output, const std::string& detail = {}) {
    return send_error_record(walk.callback, code, first, second, output, detail) == ANSWER_STOP;
}

// Words for a link that leads out of its tree: where it leads.
std::string outside_words(const std::string& target) {
    return "a link to '" + target + "', outside the tree, is not followed; it is left out";
}

// Whether the Base file of a pair is read from outside the Base tree: a link
// out of it, or a file in a Base folder that resolves outside it.
bool base_outside(const Walk& walk, const std::string& base, bool level_inside, std::string& target) {
    if (walk.base_root.empty()) return false;
    if (link_leaves_tree(base, walk.base_root, target, walk.run.files)) return true;
    if (level_inside) return false;
    target = real_path(base);
    return !target.empty();
}

void walk_level(Walk& walk, const std::string& first, const std::string& second, const std::string& output) {
    if (walk.run.stop_latch) return;
    const bool merge = walk.type == OP_MERGE;
    const std::string& walked = merge ? first : second;
    // A Base folder that is a link out of the Base tree lends this level's
    // pairs nothing.
    const std::string first_real = walk.base_root.empty() || merge ? std::string() : real_path(first);
    const bool base_level_inside = first_real.empty() || path_within(first_real, walk.base_root);

    // The leftovers of killed runs go before this run writes here (and before
    // an in-place walk lists them).
    FileSystem& files = walk.run.files;
    if (walk.outputs != FolderSync::never) remove_dead_temporaries(output, files);
    DirListing listing = engine_list_dir(walked, walk.pattern, files);
    if (walk.flags & EF_SORTED) engine_sort_list(listing);
    // The files renamed into this output folder are made durable together, once
    // the level's files are done (or the walk stopped).
    bool wrote = false;
    struct FolderFlush {
        const std::string& folder;
        const bool& wrote;
        FileSystem& files;
        ~FolderFlush() {
            if (wrote) sync_folder(folder, files);
        }
    } flush{output, wrote, files};

    for (const DirEntry& entry : listing) {
        const std::string first_path = walk.no_base ? std::string() : join_path(first, entry.name);
        const std::string second_path = join_path(second, entry.name);
        std::string output_path = join_path(output, entry.name);

        if (entry.is_directory()) {
            if (!(walk.flags & EF_INCLUDE_SUBDIRS) || walk.run.stop_latch) continue;
            const std::string& sub = merge ? first_path : second_path;
            DirId id;
            if (!dir_id(sub, id, files)) continue;
            // The output tree may lie inside the walked tree: walking it would
            // code our own output, level after level.
            if (walk.have_output_id && id == walk.output_id) continue;
            // A bind mount can make a directory its own descendant.
            if (std::find(walk.ancestors.begin(), walk.ancestors.end(), id) != walk.ancestors.end()) continue;
            // An output folder that is a link would take the files somewhere
            // else entirely: refused, with its name.
            struct stat st {};
            if (files.lstat(output_path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
                std::vector<std::string>& told = walk.run.linked_folders;
                if (std::find(told.begin(), told.end(), output_path) != told.end()) continue;
                told.push_back(output_path);
                if (report_passed_over(walk, ERR_LINKED_FOLDER, first_path, sub, output_path)) {
                    walk.run.stop_latch = true;
                    break;
                }
                continue;
            }
            if (files.stat(output_path.c_str(), &st) != 0) files.mkdir(output_path.c_str(), 0777);
            walk.ancestors.push_back(id);
            walk_level(walk, first_path, second_path, output_path);
            walk.ancestors.pop_back();
            continue;
        }

        if (entry.kind == EntryKind::Other) {
            const int code = passed_over_code(join_path(walked, entry.name), files);
            if (report_passed_over(walk, code, first_path, second_path, output_path)) {
                walk.run.stop_latch = true;
                break;
            }
            continue;
        }

        if (merge) {
            struct stat st {};
            if (files.lstat(second_path.c_str(), &st) == 0) continue;  // restored from its delta
        }

        // A link out of the walked tree, or a Base read from outside the Base
        // tree, is left out with a warning of its own.
        std::string target;
        const bool walked_outside =
            link_leaves_tree(merge ? first_path : second_path, walk.walked_root, target, files);
        if (walked_outside || (!merge && base_outside(walk, first_path, base_level_inside, target))) {
            const std::string& link = walked_outside ? (merge ? first_path : second_path) : first_path;
            if (report_passed_over(walk, ERR_LINK_OUTSIDE, first_path, link, output_path, outside_words(target))) {
                walk.run.stop_latch = true;
                break;
            }
            continue;
        }

        // A directory where the Base tree would hold this file: the file is new
        // to the Base tree. Anything else there goes to the file operation, which
        // refuses a Base it cannot read (a pipe, say) as this file's error. An
        // output that is a pipe or device is refused here.
        struct stat base_status {};
        const bool base_usable =
            !walk.no_base &&
            (merge || files.stat(first_path.c_str(), &base_status) != 0 || !S_ISDIR(base_status.st_mode));
        // A link at the output's name is replaced by the new file (or, when it
        // leads to a pipe or device, refused by the file operation).
        EntryKind kind;
        struct stat output_status {};
        const bool output_link =
            files.lstat(output_path.c_str(), &output_status) == 0 && S_ISLNK(output_status.st_mode);
        if (!output_link && path_kind(output_path, kind, files) && kind != EntryKind::File) {
            if (report_passed_over(walk, passed_over_code(output_path, files), first_path, second_path, output_path)) {
                walk.run.stop_latch = true;
                break;
            }
            continue;
        }

        const NameMatchEntry* pair = nullptr;
        if (walk.type == OP_CREATE_DIR) pair = find_name_pair(walk.run.names, second_path);

        wrote = walk.outputs != FolderSync::never;
        const int result =
            engine_walk_file_op(files, walk.type, base_usable ? first_path.c_str() : nullptr, second_path,
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
    make_dirs(output, run.files);
    // A merge into the Base tree itself has nothing to copy: every Base file is
    // already where it belongs.
    if (type == OP_MERGE && ((flags & EF_IN_PLACE) || first == output)) return 0;

    Walk walk{run, type, pattern, flags, mask, callback, outputs, {}, false, {}, false, {}, {}};
    walk.have_output_id = dir_id(output, walk.output_id, run.files);
    DirId top;
    if (dir_id(type == OP_MERGE ? first : second, top, run.files)) walk.ancestors.push_back(top);
    // An empty Base name is no Base at all (a create without one), never the
    // current folder.
    walk.no_base = first.empty() && type != OP_MERGE;
    walk.walked_root = real_path(type == OP_MERGE ? first : second);
    if (!walk.no_base) walk.base_root = real_path(first);
    walk_level(walk, first, second, output);
    return 0;
}

bool engine_tree_has_match(const std::string& dir, const std::string& pattern, EngineFlags flags,
                           const std::string& output, FileSystem& files) {
    DirId output_id;
    const bool have_output = dir_id(output, output_id, files);
    std::vector<DirId> ancestors;
    DirId top;
    if (!dir_id(dir, top, files)) return false;
    ancestors.push_back(top);
    // The walk's own rules: folders are entered only with EF_INCLUDE_SUBDIRS,
    // never the output tree, never a folder that is its own ancestor.
    const auto any_in = [&](const auto& self, const std::string& here) -> bool {
        for (const DirEntry& entry : engine_list_dir(here, pattern, files)) {
            if (!entry.is_directory()) return true;
            if (!(flags & EF_INCLUDE_SUBDIRS)) continue;
            const std::string sub = join_path(here, entry.name);
            DirId id;
            if (!dir_id(sub, id, files) || (have_output && id == output_id)) continue;
            if (std::find(ancestors.begin(), ancestors.end(), id) != ancestors.end()) continue;
            ancestors.push_back(id);
            const bool found = self(self, sub);
            ancestors.pop_back();
            if (found) return true;
        }
        return false;
    };
    return any_in(any_in, dir);
}

}  // namespace quoralith
