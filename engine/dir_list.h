// Directory listings for the tree walks and the archive writer: one level of a
// directory with each entry's kind, the file-name wildcard that filters it, and
// the small path helpers the walks share.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "base/file_system.h"

namespace quoralith {

// What an entry is on disk. Symbolic links are looked through only to regular
// files: a link to a directory is never walked (a link cycle would never end),
// and devices, pipes and sockets are never opened as data.
enum class EntryKind : unsigned char { File, Directory, Other };

struct DirEntry {
    std::string name;
    EntryKind kind = EntryKind::File;
    bool is_directory() const { return kind == EntryKind::Directory; }
};

using DirListing = std::vector<DirEntry>;

// Option bits of wildcard_match (the POSIX fnmatch flags).
constexpr int WM_PATHNAME = 1;     // "/" is matched only by a literal "/"
constexpr int WM_NOESCAPE = 2;     // "\" is an ordinary character
constexpr int WM_PERIOD = 4;       // a leading "." is matched only by a literal "."
constexpr int WM_LEADING_DIR = 8;  // the pattern may match a leading directory part
constexpr int WM_CASEFOLD = 16;    // letters compare without regard to case (ASCII)
constexpr int WM_NOMATCH = 1;

// Returns 0 when `name` matches `pattern` under fnmatch rules ("*", "?",
// bracket expressions with ranges, "!" or "^" negation and [:class:] names,
// "\" escapes), otherwise WM_NOMATCH. Bytes are compared as they are; no
// locale is consulted. Linear in practice: "*" backtracks to its latest use only.
int wildcard_match(std::string_view pattern, std::string_view name, int options);

// Lists one level of `dir`, without "." and "..". Directories are always listed;
// other entries only when `pattern` is empty or matches them with case folding.
// A directory that cannot be read gives an empty listing.
DirListing engine_list_dir(const std::string& dir, const std::string& pattern,
                           FileSystem& files = real_file_system());

// Sorts by name, bytes compared as unsigned values, a shorter name first on a
// common prefix.
void engine_sort_list(DirListing& listing);

// `dir` + "/" + `name`, without doubling a separator `dir` already ends with.
std::string join_path(const std::string& dir, const std::string& name);

// Kind of whatever `path` names (following a final link only to a regular
// file); false when nothing is there.
bool path_kind(const std::string& path, EntryKind& kind, FileSystem& files = real_file_system());

// What a directory is, whatever its name: the walks keep those of the levels
// above them, so that a folder that is its own ancestor (a bind mount, a
// looping link) or the output tree is not walked again.
struct DirId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const DirId&) const = default;
};
// The identity of what `path` names, links followed; false when nothing is there.
bool dir_id(const std::string& path, DirId& id, FileSystem& files = real_file_system());

// The code a walk reports for an entry it passes over at `path`: a link
// that leads nowhere (its target missing, or links in a loop) is told apart
// from a device, pipe, socket or link to a directory.
int passed_over_code(const std::string& path, FileSystem& files = real_file_system());

// True when `inner` is `outer` itself or lies below it, links resolved. An
// `inner` that does not exist yet is judged by where it would be made (its
// nearest existing folder resolved); false when `outer` does not exist
// (nothing there to lose).
bool path_within(const std::string& inner, const std::string& outer);

// `path` with every link resolved, or "" when it cannot be (it does not exist).
std::string real_path(const std::string& path);

// Whether `path` (an entry of the tree whose resolved root is `tree_root`) is
// a symbolic link that leads outside the tree; `target` then receives where
// it leads (a dangling link leads nowhere and is no such link). A link that stays inside the
// tree is read as the file it leads to; one that leaves it is never followed,
// so that no file from elsewhere is packed into what the tree's job writes.
bool link_leaves_tree(const std::string& path, const std::string& tree_root, std::string& target,
                      FileSystem& files = real_file_system());

// Whether `path` is a symbolic link that leads to a pipe, device or socket: an
// output name that can be neither replaced (it is how the system names the
// device) nor written through.
bool is_link_to_special(const std::string& path, FileSystem& files = real_file_system());

// True when `a` and `b` name one file (the same device and inode, links
// resolved); false when either does not exist.
bool same_file(const std::string& a, const std::string& b, FileSystem& files = real_file_system());

// Creates `dir` and every missing level above it. True when `dir` is a directory
// afterwards.
bool make_dirs(const std::string& dir, FileSystem& files = real_file_system());

}  // namespace quoralith
