// The archived-directory side of create and restore (--archived): whether
// BASE and UPDATED are trees or archive files is told by what they are.
#include <sys/stat.h>

#include "cli/cli.h"
#include "engine/archive.h"

namespace quoralith::cli {

namespace {

enum class NameKind { missing, directory, archive, other };

// What `path` is: a tree, one of our archives, or anything else.
NameKind kind_of(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return NameKind::missing;
    if (S_ISDIR(st.st_mode)) return NameKind::directory;
    if (!S_ISREG(st.st_mode)) return NameKind::other;
    return archive_check_header(path) == 0 ? NameKind::archive : NameKind::other;
}

// Takes a side that may be a tree or an archive: sets `archive_flag` for an
// archive. False after saying why the name cannot be that side.
bool take_side(const char* verb, const char* role, const std::string& path, bool may_be_missing,
               EngineFlags archive_flag, EngineFlags& flags) {
    switch (kind_of(path)) {
        case NameKind::directory:
            return true;
        case NameKind::archive:
            flags |= archive_flag;
            return true;
        case NameKind::missing:
            if (may_be_missing) return true;
            print_error(std::string(verb) + ": the " + role + " '" + path + "' does not exist");
            return false;
        case NameKind::other:
            break;
    }
    print_error(std::string(verb) + ": the " + role + " '" + path +
                "' is neither a directory nor an archive (quoralith archive create makes one)");
    return false;
}

}  // namespace

bool archived_request_flags(const char* verb, const TreeOptions& options, const std::string& base,
                            const std::string* updated, EngineFlags& flags) {
    // The delta is always one file of its own, never a tree to merge from.
    const char* misplaced = options.merge                      ? "--merge"
                            : options.archive_delta            ? "--archive-delta"
                            : updated && options.clear_output ? "--clear-output"
                                                               : nullptr;
    if (misplaced) {
        print_error(std::string(verb) + ": --archived makes or reads one delta file; " + misplaced +
                    " does not apply");
        return false;
    }
    if (!options.no_subdirs) flags |= EF_INCLUDE_SUBDIRS;
    if (options.clear_output) flags |= EF_CLEAR_OUTPUT;
    // A Base that does not exist is an empty tree, as in a Directory job.
    if (!take_side(verb, "base", base, true, EF_ARCHIVE_BASE, flags)) return false;
    return !updated || take_side(verb, "updated tree", *updated, false, EF_ARCHIVE_UPDATED, flags);
}

}  // namespace quoralith::cli
