// Archived-directory jobs: a whole tree as one delta. Each side becomes a
// canonical archive (one writer, one order, every member stored) in a
// temporary, and one file delta is made between the two archives; a restore
// builds the Base archive again, restores the Updated archive and only then
// unpacks it. docs/archived-directories.md gives the design and its reasons.
//
// The caller sees one file job: one PM_FILE_START, the transfers, and one
// PM_FILE_DONE or error code. Members are never announced one by one.
#include "engine/archived_dir.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <tuple>
#include <utility>

#include "coder/coder.h"
#include "coder/compact/compact.h"
#include "engine/archive.h"
#include "engine/dir_list.h"
#include "engine/engine_internal.h"
#include "engine/safe_output.h"

namespace quoralith {

namespace {

constexpr std::int64_t kArchiveFrame = kArchiveHeaderSize + kArchiveEndSize;

std::int32_t clamp32(std::int64_t value) {
    return value > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(value);
}

std::string without_trailing_slashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

bool is_directory(FileSystem& files, const std::string& path) {
    struct stat st {};
    return files.stat(path.empty() ? "." : path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Flushes the file system that holds `path` to the disk. Returns 0 or errno
// (a write that failed on its way to the disk shows here).
int flush_file_system(FileSystem& files, const std::string& path) {
    const int fd = files.open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int error = files.sync_file_system(fd) == 0 ? 0 : errno;
    files.close(fd);
    return error;
}

// ---------------------------------------------------------------- listing

struct ListWalk {
    FileSystem& files;
    const std::string& pattern;
    EngineFlags flags;
    bool have_exclude = false;
    dev_t exclude_dev = 0;
    ino_t exclude_ino = 0;
    std::vector<std::pair<dev_t, ino_t>> ancestors;
    std::vector<TreeMember>& members;
    std::string& failed;
    std::string real_root;                // the tree's top, links resolved
    std::vector<LeftOutLink>* left_out;   // links out of the tree, passed over
};

int list_level(ListWalk& walk, const std::string& dir, const std::string& stored_dir) {
    for (const DirEntry& entry : engine_list_dir(dir, walk.pattern, walk.files)) {
        // Our temporaries (a folder being unpacked, an archive being written)
        // may lie in a tree the job reads; they are never part of it.
        if (is_temporary_name(entry.name)) continue;
        const std::string path = join_path(dir, entry.name);
        const std::string stored = stored_dir.empty() ? entry.name : stored_dir + "\\" + entry.name;
        struct stat st {};
        if (entry.is_directory()) {
            if (!(walk.flags & EF_INCLUDE_SUBDIRS) || walk.files.stat(path.c_str(), &st) != 0) continue;
            const auto id = std::make_pair(st.st_dev, st.st_ino);
            if (std::find(walk.ancestors.begin(), walk.ancestors.end(), id) != walk.ancestors.end()) continue;
            walk.ancestors.push_back(id);
            const int code = list_level(walk, path, stored);
            walk.ancestors.pop_back();
            if (code) return code;
            continue;
        }
        if (entry.kind == EntryKind::Other) continue;
        // A link out of the tree is no member: it would pack a file from
        // elsewhere into the delta.
        std::string target;
        if (link_leaves_tree(path, walk.real_root, target, walk.files)) {
            if (walk.left_out) walk.left_out->push_back({path, target});
            continue;
        }
        // "\" separates the parts of a stored path, and "a:b" would read as a drive.
        if (entry.name.find('\\') != std::string::npos || stored.size() > 255 ||
            (stored.size() >= 2 && stored[1] == ':')) {
            walk.failed = path;
            return ERR_ARCHIVE_NAME;
        }
        if (walk.files.stat(path.c_str(), &st) != 0) {
            walk.failed = path;
            return ERR_FILE_STATUS;
        }
        if (walk.have_exclude && st.st_dev == walk.exclude_dev && st.st_ino == walk.exclude_ino) continue;
        TreeMember member;
        member.stored = stored;
        member.path = path;
        member.size = st.st_size;
        member.stamp.access_time = static_cast<std::int32_t>(st.st_atim.tv_sec);
        member.stamp.modification_time = static_cast<std::int32_t>(st.st_mtim.tv_sec);
        member.stamp.mode = static_cast<std::uint16_t>(st.st_mode & 0777);
        member.stamp.attributes = attributes_of_mode(member.stamp.mode);
        walk.members.push_back(std::move(member));
    }
    return 0;
}

// ---------------------------------------------------------------- writing

bool write_all(std::FILE* file, const void* data, std::size_t size) {
    return std::fwrite(data, 1, size, file) == size;
}

int write_member(FileSystem& files, std::FILE* archive, const TreeMember& member, const MemberStamp& stamp,
                 bool with_record, const ProgressCallback& callback, std::string& failed) {
    FileHandle file;
    struct stat st {};
    const int error = open_regular_input(files, member.path.c_str(), file, &st);
    if (error) {
        failed = member.path;
        return error < 0 ? error : errno_code(ERR_OPEN_INPUT, error);
    }
    // The archive's length was judged from the listing: a file that changed
    // size since would make it another archive than the one measured.
    if (st.st_size != member.size) {
        failed = member.path;
        return ERR_READ_FAILED;
    }
    const auto size = static_cast<std::uint32_t>(member.size);
    std::vector<std::uint8_t> record =
        archive_file_record(member.stored, size, stamp.access_time, stamp.modification_time, stamp.attributes);
    const off_t record_start = ftello(archive);
    const auto block = archive_data_block(AR_STORED, size);
    if (record_start < 0 || !write_all(archive, record.data(), record.size()) ||
        !write_all(archive, block.data(), block.size()))
        return ERR_WRITE_FAILED;

    // One pass over the file: its digest is taken as it is copied, and the
    // record before the data is completed afterwards.
    DigestBuilder digest;
    const std::int64_t copied =
        engine_copy_stream(file.get(), archive, 0, member.size, callback, with_record ? &digest : nullptr);
    if (copied == ERR_STOPPED) return ERR_STOPPED;
    if (copied < 0 && std::ferror(archive)) return ERR_WRITE_FAILED;
    if (copied != member.size) {
        failed = member.path;
        return ERR_READ_FAILED;
    }
    if (with_record) {
        ContentDigest content{};
        if (!digest.finish(copied, content)) return ERR_READ_FAILED;
        archive_put_member_record(record.data(), stamp.mode, content, kArchiveTagCanonical);
        const off_t end = ftello(archive);
        if (end < 0 || fseeko(archive, record_start, SEEK_SET) != 0 ||
            !write_all(archive, record.data(), record.size()) || fseeko(archive, end, SEEK_SET) != 0)
            return ERR_WRITE_FAILED;
    }
    return 0;
}

}  // namespace

int list_tree_members(const std::string& root, const std::string& pattern, EngineFlags flags,
                      const std::string& exclude, std::vector<TreeMember>& members, std::string& failed,
                      std::vector<LeftOutLink>* left_out, FileSystem& files) {
    members.clear();
    ListWalk walk{files, pattern, flags, false, 0, 0, {}, members, failed, real_path(root), left_out};
    struct stat st {};
    if (!exclude.empty() && files.stat(exclude.c_str(), &st) == 0) {
        walk.have_exclude = true;
        walk.exclude_dev = st.st_dev;
        walk.exclude_ino = st.st_ino;
    }
    if (files.stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return 0;
    walk.ancestors.emplace_back(st.st_dev, st.st_ino);
    const int code = list_level(walk, root, "");
    // One order for every writer and every tree: the stored paths' bytes.
    std::sort(members.begin(), members.end(),
              [](const TreeMember& a, const TreeMember& b) { return a.stored < b.stored; });
    return code;
}

std::int64_t canonical_archive_length(const std::vector<TreeMember>& members) {
    std::int64_t length = kArchiveFrame;
    for (const TreeMember& member : members)
        length += kFileRecordFixed + kDataBlockSize + static_cast<std::int64_t>(member.stored.size()) + member.size;
    return length;
}

MemberStamp prevailing_stamp(const std::vector<TreeMember>& members) {
    // Count and first place of every stamp; the most common wins, the
    // earliest of equals.
    std::map<std::tuple<std::int32_t, std::int32_t, std::uint16_t>, std::pair<std::size_t, std::size_t>> seen;
    for (std::size_t i = 0; i < members.size(); ++i) {
        const MemberStamp& s = members[i].stamp;
        ++seen.try_emplace({s.access_time, s.modification_time, s.mode}, 0, i).first->second.first;
    }
    MemberStamp best;
    std::size_t best_count = 0, best_first = 0;
    for (const auto& [key, value] : seen) {
        if (value.first > best_count || (value.first == best_count && value.second < best_first)) {
            best_count = value.first;
            best_first = value.second;
            best = members[value.second].stamp;
        }
    }
    best.attributes = attributes_of_mode(best.mode);
    return best;
}

int write_canonical_archive(std::FILE* archive, const std::vector<TreeMember>& members, const MemberStamp* uniform,
                            bool tagged, std::uint16_t common_mode, const ProgressCallback& callback,
                            std::string& failed, FileSystem& files) {
    // Stamp 0: the archive depends on nothing but its members. The tag stays
    // at version 1: a restore rebuilds the Base archive byte for byte as the
    // delta's create packed it, and the delta's own digest covers every byte
    // of the Updated archive, its stored paths among them.
    const auto header = archive_header_record(0, tagged ? kArchiveTagCanonical : 0);
    if (!write_all(archive, header.data(), header.size())) return ERR_WRITE_FAILED;
    for (const TreeMember& member : members) {
        const MemberStamp& stamp = uniform ? *uniform : member.stamp;
        if (const int code =
                write_member(files, archive, member, stamp, tagged && stamp.mode != common_mode, callback, failed))
            return code;
    }
    const auto end = archive_end_record(0);
    if (!write_all(archive, end.data(), end.size()) || std::fflush(archive) != 0) return ERR_WRITE_FAILED;
    return 0;
}

namespace {

// One side of a job: a tree, or an archive file unpacked into a temporary tree.
struct Side {
    std::string name;
    bool archive = false;
    TempFolder unpacked;
    std::vector<TreeMember> members;
    std::int64_t total = 0;   // bytes of its files
    std::int64_t length = 0;  // of its canonical archive (estimated from the archive's records until unpacked)
};

class ArchivedJob {
public:
    ArchivedJob(int type, const std::string& first, const std::string& second, const std::string& output,
                const std::string& pattern, EngineFlags flags, AlgorithmMask mask, const ProgressCallback& callback,
                FileSystem& files)
        : files_(files),
          type_(type),
          first_(first),
          second_(second),
          output_(output),
          folder_name_(without_trailing_slashes(output)),
          pattern_(pattern),
          flags_(flags),
          mask_(mask ? mask : 1),
          callback_(callback ? callback : ProgressCallback(default_progress_callback)),
          build_algorithm_(type == OP_CREATE_ARCHIVED
                               ? static_cast<std::int16_t>(std::countr_zero(static_cast<unsigned>(mask_)))
                               : std::int16_t{-2}) {
        const std::string beside = folder_of(folder_name_);
        temp_folder_ = is_directory(files_, beside) ? beside : system_temp_folder();
    }

    // Whether the request can run at all: the output is not an input, and
    // clearing it would delete no input. Checked before anything is told.
    bool acceptable() const {
        if (same_file(output_, second_, files_) || same_file(output_, first_, files_)) return false;
        if (type_ == OP_RESTORE_ARCHIVED && (flags_ & EF_CLEAR_OUTPUT) && !(flags_ & EF_ARCHIVE_UPDATED)) {
            for (const std::string* input : {&first_, &second_})
                if (!input->empty() && (path_within(*input, output_) || path_within(output_, *input))) return false;
        }
        return true;
    }

    int run() {
        // The folder of the job's temporaries (beside the output where it
        // exists) is cleared of the leftovers of killed runs first.
        remove_dead_temporaries(temp_folder_, files_);
        return type_ == OP_CREATE_ARCHIVED ? run_create() : run_restore();
    }

private:
    std::int16_t notify(std::int16_t code, std::int32_t result = 0, const char* detail = nullptr) {
        ProgressRecord record = record_;
        record.code = code;
        record.result = result;
        record.first_path = first_.empty() ? nullptr : first_.c_str();
        record.second_path = second_.c_str();
        record.output_path = output_.c_str();
        record.detail = detail;
        return callback_(record);
    }

    // The job's one error record. A failure tied to one file of a tree, or
    // to a damaged place of an archive, names it in the record's words.
    int fail(int code) {
        // Words stand in for the code's own sentence; a place is added to it.
        std::string words = failed_;
        if (!failed_.empty() && !failed_words_) words = describe_error(code) + " (" + failed_ + ")";
        notify(static_cast<std::int16_t>(code), 0, words.empty() ? nullptr : words.c_str());
        return code;
    }

    int too_large(const Side& base) {
        // The Updated tree is the job's second name, which every error line
        // shows; the Base is named when it is the one too large.
        if (base.length > MAX_FILE_LENGTH) failed_ = base.name;
        return fail(ERR_TREE_TOO_LARGE);
    }

    // Each link that a tree's listing passed over because it leads out of the
    // tree: told once, the job goes on. True when the caller answered stop.
    bool tell_left_out() {
        for (const LeftOutLink& link : left_out_) {
            const std::string words = "'" + link.path + "' is a link to '" + link.target +
                                      "', outside the tree; it is not followed and is left out";
            if (notify(ERR_LINK_OUTSIDE, 0, words.c_str()) == ANSWER_STOP) return true;
        }
        return false;
    }

    // Damage words say "the archive"; a job reads up to two, so the one meant is named.
    static std::string name_archive(const std::string& words, const std::string& archive) {
        const std::string the = "the archive ";
        if (words.rfind(the, 0) != 0) return words;
        return "the archive '" + archive + "' " + words.substr(the.size());
    }

    // The transfers of the job's own steps (packing, unpacking) reach the
    // caller under the job's first algorithm on create, so that its display
    // counts them to the first candidate; no member is announced.
    ProgressCallback transfer_callback() {
        return [this](const ProgressRecord& record) -> std::int16_t {
            if (record.code < 0) return ANSWER_SKIP;
            if (record.code != PM_READ_BASE && record.code != PM_READ_INPUT && record.code != PM_WRITE_OUTPUT)
                return stopped_ ? ANSWER_STOP : ANSWER_SKIP;
            ProgressRecord copy = record_;
            copy.code = record.code;
            copy.position = record.position;
            copy.algorithm = build_algorithm_;
            if (callback_(copy) == ANSWER_STOP) stopped_ = true;
            return stopped_ ? ANSWER_STOP : ANSWER_SKIP;
        };
    }

    // Sizes the side up: the members of a tree, or the totals an archive's
    // records state. Returns 0 or the code that ends the job.
    int survey(Side& side, bool base) {
        if (side.archive) {
            std::string damage;
            const int count = archive_list(
                side.name,
                [&](const ArchiveMember& member) {
                    if (!(flags_ & EF_INCLUDE_SUBDIRS) && member.stored_path.find('\\') != std::string::npos) return;
                    const std::size_t cut = member.stored_path.find_last_of('\\');
                    const std::string name = cut == std::string::npos ? member.stored_path : member.stored_path.substr(cut + 1);
                    if (!pattern_.empty() && wildcard_match(pattern_, name, WM_CASEFOLD) != 0) return;
                    side.total += member.size;
                    side.length += kFileRecordFixed + kDataBlockSize +
                                   static_cast<std::int64_t>(member.stored_path.size()) + member.size;
                },
                [&](const std::string& detail) {
                    if (damage.empty()) damage = detail;
                },
                false);  // the unpacking that follows checks every member's data
            side.length += kArchiveFrame;
            if (count < 0) {
                if (const int error = errno_of(count, ERR_OPEN_ARCHIVE))
                    return errno_code(base ? ERR_OPEN_BASE : ERR_OPEN_INPUT, error);
                return count;
            }
            if (!damage.empty()) {
                failed_ = name_archive(damage, side.name);
                failed_words_ = true;
                return ERR_ARCHIVE_DAMAGED;
            }
            return 0;
        }
        struct stat st {};
        if (files_.stat(side.name.c_str(), &st) != 0) {
            // A Base tree that does not exist is an empty one, as in a
            // Directory job; the Updated tree must be there.
            if (base && (errno == ENOENT || errno == ENOTDIR)) return 0;
            return errno_code(base ? ERR_OPEN_BASE : ERR_OPEN_INPUT, errno);
        }
        if (!S_ISDIR(st.st_mode)) return errno_code(base ? ERR_OPEN_BASE : ERR_OPEN_INPUT, ENOTDIR);
        // A delta kept inside a tree is no part of it, at create and at restore alike.
        const int code = list_tree_members(side.name, pattern_, flags_, type_ == OP_CREATE_ARCHIVED ? output_ : second_,
                                           side.members, failed_, &left_out_, files_);
        for (const TreeMember& member : side.members) side.total += member.size;
        side.length = canonical_archive_length(side.members);
        return code;
    }

    // Unpacks an archive side into a temporary tree, times and bits kept,
    // and lists it. Any damage, or a member that fails its record, ends the job.
    int unpack(Side& side) {
        if (!side.archive) return 0;
        if (const int error = side.unpacked.create_in(temp_folder_)) return errno_code(ERR_CREATE_OUTPUT, error);
        int first_error = 0;
        std::string detail;
        const ProgressCallback transfers = transfer_callback();
        const int result = archive_extract_scratch(
            files_, side.name, side.unpacked.path(), EF_KEEP_DATE | EF_KEEP_ATTRIBUTES,
            [&](const ProgressRecord& record) -> std::int16_t {
                if (record.code < 0) {
                    if (first_error == 0) {
                        first_error = record.code;
                        if (record.detail) detail = record.detail;
                    }
                    return ANSWER_STOP;
                }
                return transfers(record);
            });
        if (stopped_) return ERR_STOPPED;
        if (result < 0) return result;
        if (first_error) {
            if (first_error != ERR_STOPPED) {
                failed_ = detail.empty() ? side.name : name_archive(detail, side.name);
                failed_words_ = !detail.empty();
            }
            return first_error;
        }
        const int code =
            list_tree_members(side.unpacked.path(), pattern_, flags_, "", side.members, failed_, nullptr, files_);
        side.total = 0;
        for (const TreeMember& member : side.members) side.total += member.size;
        side.length = canonical_archive_length(side.members);
        return code;
    }

    // Packs a side into a new temporary archive, ready to be read from its start.
    int pack(const Side& side, const MemberStamp* uniform, bool tagged, std::uint16_t common_mode, SafeOutput& archive) {
        if (const int error = archive.create_in(temp_folder_)) return errno_code(ERR_CREATE_OUTPUT, error);
        const int code = write_canonical_archive(archive.file(), side.members, uniform, tagged, common_mode,
                                                 transfer_callback(), failed_, files_);
        if (stopped_) return ERR_STOPPED;
        return code;
    }

    int run_create() {
        Side base{first_, (flags_ & EF_ARCHIVE_BASE) != 0, TempFolder(files_), {}, 0, 0};
        Side updated{second_, (flags_ & EF_ARCHIVE_UPDATED) != 0, TempFolder(files_), {}, 0, 0};
        int code = survey(updated, false);
        if (code == 0) code = survey(base, true);
        record_.first_size = clamp32(base.total);
        record_.second_size = clamp32(updated.total);
        if (notify(PM_FILE_START) == ANSWER_STOP) return ERR_STOPPED;
        if (code) return fail(code);
        if (tell_left_out()) return ERR_STOPPED;
        // Refused before anything is unpacked or written.
        if (base.length > MAX_FILE_LENGTH || updated.length > MAX_FILE_LENGTH) return too_large(base);
        if ((code = unpack(updated)) != 0 || (code = unpack(base)) != 0) return fail(code);
        if (base.length > MAX_FILE_LENGTH || updated.length > MAX_FILE_LENGTH) return too_large(base);
        record_.first_size = clamp32(base.total);
        record_.second_size = clamp32(updated.total);

        // Every Base member carries the same times and bits, those most
        // Updated files have: the Base archive depends on nothing but the
        // Base files' names and bytes, and an unchanged file's member is the
        // same on both sides. Only members of another mode carry a record
        // (the delta's trailer holds the common one): a record's digest
        // differs wherever the bytes do, and would cost its bits in the delta
        // for every changed file, while the delta's own digest already covers
        // the whole Updated archive.
        const bool tagged = !(flags_ & EF_PLAIN_TRAILER);
        const MemberStamp prevailing = prevailing_stamp(updated.members);
        SafeOutput updated_archive(files_), base_archive(files_);
        if ((code = pack(updated, nullptr, tagged, prevailing.mode, updated_archive)) != 0) return fail(code);
        updated.unpacked.remove();  // an unpacked tree is not kept beside its archive
        if ((code = pack(base, &prevailing, tagged, prevailing.mode, base_archive)) != 0) return fail(code);
        base.unpacked.remove();
        if (updated_archive.finish(false) != 0 || base_archive.finish(false) != 0) return fail(ERR_WRITE_FAILED);

        // The coding is the single-file create's, with every candidate, the
        // deep search and keep-all. It is told as this job: its records name
        // the job's trees and sizes, and its own start is not repeated.
        // Copying the Base "instead" would put an archive where the delta
        // belongs: a failure is skipped.
        EngineFlags inner = flags_ & (EF_KEEP_ALL | EF_DEEP | EF_COMPACT | EF_SHORT_STAMP | EF_PLAIN_TRAILER |
                                      EF_FAIL_STOP | EF_FAIL_SKIP);
        if (flags_ & EF_FAIL_COPY) inner |= EF_FAIL_SKIP;
        // The delta's trailer holds the prevailing times and bits, which the
        // restore needs to build the Base archive again.
        const UpdatedInfo stated{prevailing.access_time, prevailing.modification_time, prevailing.mode};
        std::string output = output_;
        return engine_file_op_stating(files_, base_archive.path().c_str(), updated_archive.path(), output, inner, mask_,
                              [this](const ProgressRecord& record) -> std::int16_t {
                                  if (record.code == PM_FILE_START) return ANSWER_SKIP;
                                  ProgressRecord copy = record;
                                  copy.first_path = first_.empty() ? nullptr : first_.c_str();
                                  copy.second_path = second_.c_str();
                                  copy.output_path = output_.c_str();
                                  copy.first_size = record_.first_size;
                                  copy.second_size = record_.second_size;
                                  const std::int16_t answer = callback_(copy);
                                  return answer == ANSWER_COPY ? std::int16_t{ANSWER_SKIP} : answer;
                              },
                              stated);
    }

    // Reads the delta's trailer: the stamp of every Base member, and whether
    // the archives carry member records (they do when the delta has its record).
    int read_stamp(std::int64_t& delta_size, MemberStamp& stamp, bool& tagged) {
        FileHandle delta;
        struct stat st {};
        const int error = open_regular_input(files_, second_.c_str(), delta, &st);
        if (error) return error < 0 ? error : errno_code(ERR_OPEN_INPUT, error);
        delta_size = st.st_size;
        TrailerRecord trailer;
        // A compact delta carries the same stamp in its header.
        StreamWindow window{delta.get()};
        compact_ = is_compact_delta(&window);
        compact::Header header;
        std::size_t header_length = 0;
        if (compact_) {
            if (const int rc = compact_read_header(delta.get(), header, header_length, &trailer)) return rc;
        } else if (st.st_size < kTrailerSize || fseeko(delta.get(), st.st_size - kTrailerSize, SEEK_SET) != 0 ||
            std::fread(trailer.bytes.data(), 1, kTrailerSize, delta.get()) != kTrailerSize || !trailer.has_magic())
            return ERR_MALFORMED;
        UpdatedRecord record;
        const RecordState state = read_updated_record(trailer, record);
        if (state == RecordState::damaged) return ERR_RECORD_DAMAGED;
        tagged = state == RecordState::present;
        stamp.access_time = trailer.access_time();
        stamp.modification_time = trailer.modification_time();
        stamp.attributes = trailer.attributes();
        stamp.mode = tagged ? record.mode : 0;
        return 0;
    }

    int run_restore() {
        Side base{first_, (flags_ & EF_ARCHIVE_BASE) != 0, TempFolder(files_), {}, 0, 0};
        std::int64_t delta_size = 0;
        MemberStamp stamp;
        bool tagged = false;
        int code = read_stamp(delta_size, stamp, tagged);
        if (code == 0) code = survey(base, true);
        record_.first_size = clamp32(base.total);
        record_.second_size = clamp32(delta_size);
        if (notify(PM_FILE_START) == ANSWER_STOP) return ERR_STOPPED;
        if (code) return fail(code);
        if (tell_left_out()) return ERR_STOPPED;
        // The output must be able to take what it is meant to be, before any work.
        // A link at an archive's name is replaced by it (one to a pipe or
        // device is refused); a tree's own name may lead anywhere the user chose.
        const bool to_archive = flags_ & EF_ARCHIVE_UPDATED;
        if (to_archive && is_link_to_special(output_, files_)) return fail(ERR_OUTPUT_LINK);
        struct stat st {};
        const bool replaced_link = to_archive && files_.lstat(output_.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
        if (!replaced_link && files_.stat(output_.c_str(), &st) == 0 && S_ISDIR(st.st_mode) == to_archive)
            return fail(errno_code(ERR_CREATE_OUTPUT, to_archive ? EISDIR : ENOTDIR));
        if (base.length > MAX_FILE_LENGTH) return too_large(base);
        if ((code = unpack(base)) != 0) return fail(code);
        record_.first_size = clamp32(base.total);

        SafeOutput base_archive(files_);
        if ((code = pack(base, &stamp, tagged, stamp.mode, base_archive)) != 0) return fail(code);
        base.unpacked.remove();

        // The whole Updated archive is restored and checked (the Base's check,
        // the digest of the delta's record) before the output is touched.
        SafeOutput restored(files_);
        if (const int error = restored.create_in(to_archive ? folder_of(output_) : temp_folder_))
            return fail(errno_code(ERR_CREATE_OUTPUT, error));
        {
            FileHandle delta;
            const int error = open_regular_input(files_, second_.c_str(), delta, &st);
            if (error) return fail(error < 0 ? error : errno_code(ERR_OPEN_INPUT, error));
            StreamWindow base_window = window_on(files_, base_archive.file());
            StreamWindow delta_window = window_on(files_, delta.get());
            StreamWindow output_window = window_on(files_, restored.file(), 0, 0);
            TrailerRecord trailer;
            const int result = restore_any_format(&base_window, &delta_window, &output_window, callback_, &trailer);
            // A compact delta cannot be decoded against another Base to see what it writes.
            if (result == ERR_WRONG_BASE && compact_) return fail(ERR_BASE_TREE_DIFFERS);
            if (result == ERR_WRONG_BASE) return fail(wrong_base(base_archive.file(), delta.get(), st.st_size));
            if (result < 0) return fail(result);
        }
        base_archive.abandon();

        std::int64_t updated_total = 0;
        if (to_archive) {
            if (const int error = restored.commit(output_)) return fail(errno_code(ERR_CREATE_OUTPUT, error));
            archive_list(
                output_, [&](const ArchiveMember& member) { updated_total += member.size; }, {}, false, files_);
        } else {
            if (restored.finish(false) != 0) return fail(ERR_WRITE_FAILED);
            archive_list(
                restored.path(), [&](const ArchiveMember& member) { updated_total += member.size; }, {}, false,
                files_);
            if ((code = extract_into_output(restored.path(), tagged ? &stamp.mode : nullptr)) != 0) return fail(code);
        }
        if (notify(PM_FILE_DONE, clamp32(updated_total)) == ANSWER_STOP) return ERR_STOPPED;
        return 0;
    }

    // Why the Base archive failed the delta's check: the delta is not an
    // archived one (ERR_NOT_ARCHIVED_DELTA), or the Base tree, as selected,
    // is another than at create (ERR_BASE_TREE_DIFFERS).
    //
    // The delta is decoded against the Base archive without its check, as far
    // as the start of what it writes. An archived delta writes an archive, and
    // its first bytes come from the Updated archive's header or the Base
    // archive's, which are alike whatever the trees hold: they are the
    // archive's magic. A single-file delta writes its own file's bytes there,
    // unless that file began as its Base did (its first record then copies
    // the start of the Base, here our archive): such a delta cannot be told
    // from an archived one and is called a different Base tree.
    int wrong_base(std::FILE* base_archive, std::FILE* delta, std::int64_t delta_size) {
        // The header record's type and length come before its magic.
        constexpr std::size_t kMagicAt = 3;
        const std::size_t magic_length = std::strlen(kArchiveMagic);
        const std::int64_t head_length = static_cast<std::int64_t>(kMagicAt + magic_length);
        TrailerRecord trailer;
        if (delta_size < kTrailerSize || fseeko(delta, delta_size - kTrailerSize, SEEK_SET) != 0 ||
            std::fread(trailer.bytes.data(), 1, kTrailerSize, delta) != kTrailerSize)
            return ERR_BASE_TREE_DIFFERS;
        const std::int64_t body = delta_size - kTrailerSize - std::max<int>(trailer.check_length(), 0);
        if (body < 1 || body > INT32_MAX) return ERR_BASE_TREE_DIFFERS;
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> scratch(std::tmpfile(), &std::fclose);
        if (!scratch) return ERR_BASE_TREE_DIFFERS;
        // Once the output's start is written, the rest is not needed. (A
        // packed form is written from its end: then the whole is decoded, and
        // a stop is heard as in any transfer of the job.)
        bool started = false;
        const ProgressCallback transfers = transfer_callback();
        const ProgressCallback until_start = [&](const ProgressRecord& record) -> std::int16_t {
            if (transfers(record) == ANSWER_STOP) return ANSWER_STOP;
            if (record.code != PM_WRITE_OUTPUT) return ANSWER_SKIP;
            if (started) return ANSWER_STOP;
            started = record.position == 0;
            return ANSWER_SKIP;
        };
        StreamWindow base_window = window_on(files_, base_archive);
        StreamWindow body_window = window_on(files_, delta, 0, static_cast<std::int32_t>(body));
        StreamWindow output_window = window_on(files_, scratch.get(), 0, 0);
        const int written = coder_restore(&base_window, &body_window, &output_window, until_start, nullptr);
        if (stopped_) return ERR_STOPPED;
        if (written >= 0 && written < head_length) return ERR_NOT_ARCHIVED_DELTA;  // whole, and shorter than any archive
        char head[kMagicAt + sizeof kArchiveMagic] = {};
        if (std::fflush(scratch.get()) != 0 || std::fseek(scratch.get(), 0, SEEK_SET) != 0 ||
            std::fread(head, 1, static_cast<std::size_t>(head_length), scratch.get()) !=
                static_cast<std::size_t>(head_length))
            return ERR_BASE_TREE_DIFFERS;
        return std::memcmp(head + kMagicAt, kArchiveMagic, magic_length) == 0 ? ERR_BASE_TREE_DIFFERS
                                                                             : ERR_NOT_ARCHIVED_DELTA;
    }

    // Unpacks the restored archive into a staging folder beside the output
    // and, once every member came out whole, moves it into place: a stop or
    // a failure on the way leaves the output as it was.
    // `common_mode`, when given, is the mode of every member without a record.
    int extract_into_output(const std::string& archive, const std::uint16_t* common_mode) {
        const std::string parent = folder_of(folder_name_);
        if (!parent.empty() && !make_dirs(parent, files_)) return errno_code(ERR_CREATE_OUTPUT, errno ? errno : ENOTDIR);
        TempFolder staging(files_);
        if (const int error = staging.create_in(parent, 0777)) return errno_code(ERR_CREATE_OUTPUT, error);
        int first_error = 0;
        std::string detail, place;
        const ProgressCallback transfers = transfer_callback();
        const int extracted = archive_extract_scratch(
            files_, archive, staging.path(), flags_ & (EF_KEEP_DATE | EF_KEEP_ATTRIBUTES),
            [&](const ProgressRecord& record) -> std::int16_t {
                if (record.code < 0) {
                    if (first_error == 0) {
                        first_error = record.code;
                        if (record.detail) {
                            detail = record.detail;
                        } else if (record.output_path) {
                            // The member's place is told as the output's, not the staging folder's.
                            place = record.output_path;
                            if (place.rfind(staging.path() + "/", 0) == 0)
                                place = join_path(output_, place.substr(staging.path().size() + 1));
                        }
                    }
                    return ANSWER_STOP;
                }
                return transfers(record);
            });
        if (stopped_) return ERR_STOPPED;
        // An archive that could not be opened again tells no member's error:
        // the staging folder is then empty, and must not pass for the tree.
        if (extracted < 0 && first_error == 0) first_error = extracted;
        if (first_error) {
            if (first_error != ERR_STOPPED) {
                failed_ = detail.empty() ? place : detail;
                failed_words_ = !detail.empty();
            }
            return first_error;
        }
        if (common_mode && (flags_ & EF_KEEP_ATTRIBUTES)) {
            archive_list(archive, [&](const ArchiveMember& member) {
                if (member.record != RecordState::absent) return;
                std::string path = member.stored_path;
                std::replace(path.begin(), path.end(), '\\', '/');
                path = join_path(staging.path(), path);
                struct stat file {};
                if (files_.lstat(path.c_str(), &file) == 0 && S_ISREG(file.st_mode))
                    files_.chmod(path.c_str(), *common_mode & 0777);
            }, {}, false, files_);
        }

        // The whole staging folder reaches the disk in one flush of its file
        // system, before any of it takes a name in the output: as durable as
        // a flush of every file, at the cost of one.
        if (const int error = flush_file_system(files_, staging.path())) return errno_code(ERR_CREATE_OUTPUT, error);

        struct stat st {};
        if (files_.lstat(folder_name_.c_str(), &st) != 0) {
            // A new output: the staging folder takes its name whole.
            if (files_.rename(staging.path().c_str(), folder_name_.c_str()) != 0) return errno_code(ERR_CREATE_OUTPUT, errno);
            staging.release();
            sync_folder(parent, files_);
            return 0;
        }
        if (S_ISDIR(st.st_mode)) {
            // An existing folder is replaced whole too: the staging folder
            // becomes the complete new tree (the old files the archive does not
            // replace joining it as hard links, unless the output is cleared),
            // and the two trade names in one step. A kill at any moment leaves
            // the output all old or all new.
            if (!(flags_ & EF_CLEAR_OUTPUT)) {
                if (const int code = check_places(staging.path(), folder_name_)) return code;
            }
            if (((flags_ & EF_CLEAR_OUTPUT) || keep_old_entries(folder_name_, staging.path())) &&
                swap_in(staging, parent, st))
                return 0;
            // The file system cannot trade two names (or link files): the
            // files are moved in one by one instead, as below.
        }
        if (flags_ & EF_CLEAR_OUTPUT) engine_clear_dir(folder_name_, files_);
        // Every place is checked before the first file moves, so that a
        // folder where a file belongs (or the reverse) fails the job with the
        // output untouched.
        if (const int code = check_places(staging.path(), folder_name_)) return code;
        std::set<std::string> folders;
        if (const int code = move_into(staging.path(), output_, folders)) return code;
        for (const std::string& folder : folders) sync_folder(folder, files_);
        return 0;
    }

    // The owner and mode of the old folder `old` (its status) go to the folder
    // at `fresh` that takes its place. Failures are left: a folder of other
    // bits is no lost file, and only a privileged run can give another owner.
    void take_folder_status(const std::string& fresh, const struct stat& old) {
        struct stat now {};
        if (files_.lstat(fresh.c_str(), &now) != 0 || !S_ISDIR(now.st_mode)) return;
        if (now.st_uid != old.st_uid || now.st_gid != old.st_gid) {
            [[maybe_unused]] const int owned = chown(fresh.c_str(), old.st_uid, old.st_gid);
        }
        // After the owner: a change of owner clears the set-id bits.
        files_.chmod(fresh.c_str(), old.st_mode & 07777);
    }

    // Gives the new tree `fresh` every entry of the old tree `old` that the
    // restored archive does not replace: files, links, pipes and the like as
    // hard links (the kept files stay the very same files), folders as new
    // folders with the old ones' owners and modes. Places where a folder and a
    // file meet were refused before (check_places). False when an entry cannot
    // be linked: a file system without hard links, a file at its link limit,
    // another user's file where hard links are protected.
    bool keep_old_entries(const std::string& old, const std::string& fresh) {
        for (const DirEntry& entry : engine_list_dir(old, "", files_)) {
            const std::string from = join_path(old, entry.name);
            const std::string to = join_path(fresh, entry.name);
            struct stat was {}, is {};
            if (files_.lstat(from.c_str(), &was) != 0) continue;
            const bool there = files_.lstat(to.c_str(), &is) == 0;
            if (S_ISDIR(was.st_mode)) {
                if (there ? !S_ISDIR(is.st_mode) : files_.mkdir(to.c_str(), 0700) != 0) return false;
                if (!keep_old_entries(from, to)) return false;
                take_folder_status(to, was);
            } else if (!there && files_.link(from.c_str(), to.c_str()) != 0) {
                return false;
            }
        }
        return true;
    }

    // Trades the names of the complete new tree `staging` and the existing
    // output folder (its status `old`), then removes the old tree, now at the
    // staging folder's name. False, with the output untouched, where the file
    // system cannot trade names (EINVAL, ENOSYS) or this output cannot be
    // renamed (a mount point, say).
    bool swap_in(TempFolder& staging, const std::string& parent, const struct stat& old) {
        take_folder_status(staging.path(), old);
        // Everything of the new tree, the links and folders just made too,
        // reaches the disk before it takes the name.
        if (flush_file_system(files_, staging.path()) != 0 ||
            files_.exchange(staging.path().c_str(), folder_name_.c_str()) != 0) {
            // The files are to move out of it: the staging folder stays ours
            // to change, whatever mode the output has.
            files_.chmod(staging.path().c_str(), 0700);
            return false;
        }
        sync_folder(parent, files_);
        // Read-only folders of the old tree are opened up to be emptied.
        engine_clear_dir(staging.path(), files_);
        staging.remove();
        return true;
    }

    int check_places(const std::string& from, const std::string& to) {
        for (const DirEntry& entry : engine_list_dir(from, "", files_)) {
            const std::string target = join_path(to, entry.name);
            struct stat st {};
            if (files_.lstat(target.c_str(), &st) != 0) continue;  // free: moved whole
            if (entry.is_directory()) {
                if (S_ISLNK(st.st_mode)) {
                    failed_ = target;
                    return ERR_UNSAFE_PATH;
                }
                if (!S_ISDIR(st.st_mode)) {
                    failed_ = target;
                    return errno_code(ERR_CREATE_OUTPUT, ENOTDIR);
                }
                if (const int code = check_places(join_path(from, entry.name), target)) return code;
            } else if (S_ISDIR(st.st_mode)) {
                failed_ = target;
                return errno_code(ERR_CREATE_OUTPUT, EISDIR);
            }
        }
        return 0;
    }

    int move_into(const std::string& from, const std::string& to, std::set<std::string>& folders) {
        for (const DirEntry& entry : engine_list_dir(from, "", files_)) {
            const std::string source = join_path(from, entry.name);
            const std::string target = join_path(to, entry.name);
            struct stat st {};
            if (entry.is_directory() && files_.lstat(target.c_str(), &st) == 0) {
                if (const int code = move_into(source, target, folders)) return code;
                continue;
            }
            // A file replaces a file (or a link) of its name in one step.
            if (files_.rename(source.c_str(), target.c_str()) != 0) {
                failed_ = target;
                return errno_code(ERR_CREATE_OUTPUT, errno);
            }
            folders.insert(to);
        }
        return 0;
    }

    FileSystem& files_;
    const int type_;
    const std::string& first_;
    const std::string& second_;
    const std::string& output_;
    const std::string folder_name_;  // the output without trailing slashes: its folder is the one beside it
    const std::string& pattern_;
    const EngineFlags flags_;
    const AlgorithmMask mask_;
    const ProgressCallback callback_;
    const std::int16_t build_algorithm_;
    std::string temp_folder_;  // where the temporary archives and trees go
    ProgressRecord record_;    // the sizes every record of the job carries
    std::string failed_;       // the file or place a failure is about
    std::vector<LeftOutLink> left_out_;  // links out of the trees, passed over
    bool failed_words_ = false;  // failed_ is a sentence of its own, not a place
    bool stopped_ = false;     // the caller answered stop to a transfer
    bool compact_ = false;     // restore: the delta is of the compact format
};

}  // namespace

int engine_archived_op(int type, const std::string& first, const std::string& second, const std::string& output,
                       const std::string& pattern, EngineFlags flags, AlgorithmMask mask,
                       const ProgressCallback& callback, FileSystem& files) {
    if (type != OP_CREATE_ARCHIVED && type != OP_RESTORE_ARCHIVED) return ERR_BAD_REQUEST;
    ArchivedJob job(type, first, second, output, pattern, flags, mask, callback, files);
    if (!job.acceptable()) return ERR_BAD_REQUEST;
    job.run();
    return 0;
}

}  // namespace quoralith
