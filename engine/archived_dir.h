// The pieces of an archived-directory job (engine_archived_op): listing a
// tree as the members of its canonical archive, the metadata its members
// carry, and writing that archive. docs/archived-directories.md gives the
// design; the engine's callers need only engine_archived_op.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace quoralith {

// The times and permission bits a member of a canonical archive carries.
struct MemberStamp {
    std::int32_t access_time = 0;
    std::int32_t modification_time = 0;
    std::uint16_t mode = 0644;     // st_mode & 0777
    std::uint16_t attributes = 3;  // bit 0 readable, bit 1 writable, as a trailer has them
    bool operator==(const MemberStamp&) const = default;
};

// One regular file of a tree, as a member of the tree's canonical archive.
struct TreeMember {
    std::string stored;  // path relative to the tree, "\" between its parts
    std::string path;    // the file on disk
    std::int64_t size = 0;
    MemberStamp stamp;   // the file's own times and bits
};

// A link of a tree that leads outside it, and where it leads.
struct LeftOutLink {
    std::string path;
    std::string target;
};

// Lists the regular files below `root` that `pattern` selects by name (all
// when empty), descending into folders with EF_INCLUDE_SUBDIRS, sorted by
// stored path, bytes compared as unsigned values. Devices, pipes, sockets and
// our own temporaries are passed over, as is the file `exclude` names (the
// delta a job writes or reads, when it lies in the tree), and every link that
// leads outside the tree (added to `left_out` when given). A missing `root`
// is an empty tree. Returns 0, or ERR_ARCHIVE_NAME / ERR_FILE_STATUS with
// `failed` naming the file that cannot be a member.
int list_tree_members(const std::string& root, const std::string& pattern, EngineFlags flags,
                      const std::string& exclude, std::vector<TreeMember>& members, std::string& failed,
                      std::vector<LeftOutLink>* left_out = nullptr, FileSystem& files = real_file_system());

// The length in bytes of the canonical archive of `members`.
std::int64_t canonical_archive_length(const std::vector<TreeMember>& members);

// The stamp most common among `members`, the earliest in their order among
// equals; the defaults of MemberStamp for no members.
MemberStamp prevailing_stamp(const std::vector<TreeMember>& members);

// Writes the canonical archive of `members` to `archive` from its current
// position: archive stamp 0, the members in the order given, every one stored
// as it is, with its own stamp or, when `uniform` is given, with that one.
// With `tagged` the header has our tag and every member whose mode is not
// `common_mode` a record of its bits and digest; the others carry none.
// Data transfers are announced through `callback`, whose stop answer ends the
// writing. Returns 0, ERR_STOPPED, ERR_WRITE_FAILED, ERR_READ_FAILED (a file
// changed or could not be read; `failed` names it) or ERR_OPEN_INPUT minus
// errno.
int write_canonical_archive(std::FILE* archive, const std::vector<TreeMember>& members, const MemberStamp* uniform,
                            bool tagged, std::uint16_t common_mode, const ProgressCallback& callback,
                            std::string& failed, FileSystem& files = real_file_system());

}  // namespace quoralith
