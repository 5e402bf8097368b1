// The archived directory: a whole tree packed into one file of records (header,
// a file record plus a data block per file, end record). docs/archive-format.md
// describes the bytes. Paths inside the file use "\" between their parts; on
// disk they use "/".
//
// Thread safety: every call is self-contained; the callback runs synchronously
// on the caller's thread.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "base/file_system.h"
#include "base/progress.h"
#include "coder/digest.h"

namespace quoralith {

constexpr char kArchiveMagic[] = "QUORALITH ARCH 0.9";
constexpr int kArchiveMagicField = 24;
constexpr int kArchiveHeaderSize = 98;
constexpr int kArchiveEndSize = 72;
constexpr int kFileRecordFixed = 32;   // a file record is this plus the name length
constexpr int kDataBlockSize = 12;
constexpr int kMaxRecordRead = 287;    // the longest file record: 32 + 255

// Our tag in the header's 24 reserved bytes: "QLA" and a version, then zeros.
// Its file records carry a member record (permission bits and digest) in time
// slots 1, 4 and 5, whose CRC covers, from version 2 on, the whole file record:
// the stored path, size, times and bits that decide where and how a member is
// written. `archive create` writes version 2; the canonical archives of
// archived-directory jobs keep version 1 (their bytes are part of the delta,
// which covers them whole).
constexpr std::uint8_t kArchiveTag[3] = {'Q', 'L', 'A'};
constexpr int kArchiveTagOffset = 59;
constexpr int kArchiveTagField = 24;
constexpr int kArchiveTagNamed = 2;       // the version whose member CRC covers the stored path
constexpr int kArchiveTagCanonical = 1;   // the version of the canonical archives
constexpr std::size_t kMemberDigestSize = 8;  // leading bytes of the content digest

enum ArchiveRecordType : std::uint8_t {
    AR_HEADER = 1,
    AR_FILE = 2,
    AR_STORED = 4,
    AR_CODED = 5,
    AR_END = 6,
};

// Packs the files below root/start into a new archive. Each file is coded by the
// delta coder against no Base, or stored as it is with EF_STORE_RAW; the walk
// descends with EF_INCLUDE_SUBDIRS and is sorted with EF_SORTED. Every member
// gets a record of its permission bits and digest, and the header our tag,
// unless EF_PLAIN_TRAILER asks for the bare format's fixed values. `start` is
// relative to `root` (may be empty); stored paths are relative to `root`.
// The archive is written under a new temporary name beside it, flushed to the
// disk, and takes `archive` only when complete, so a failure never harms a
// file already there.
// Each file is announced with PM_ARCHIVE_FILE_START and ends with
// PM_ARCHIVE_FILE_DONE or its error code; a file that cannot be read is left
// out and the walk goes on. A stop answer ends the walk, and a failed write to
// the archive itself (a full disk) ends it too: no archive is written then.
// A link in the tree that leads outside it is left out (ERR_LINK_OUTSIDE); a
// link at `archive` is replaced by it. Returns 0, ERR_STOPPED,
// ERR_WRITE_ARCHIVE minus errno, ERR_ARCHIVE_BUFFER, ERR_CREATE_OUTPUT minus
// errno (the archive cannot be made or named), ERR_OUTPUT_LINK (`archive` is
// a link to a pipe or device) or ERR_NOTHING_MATCHED (a pattern that selected
// no file: no archive is written).
int archive_create(const std::string& root, const std::string& start, const std::string& archive,
                   const std::string& pattern, EngineFlags flags, const ProgressCallback& callback,
                   FileSystem& files = real_file_system());

// Unpacks `archive` below `output_dir` (made when missing). A pattern selects
// files by name (case folded). Honors EF_CLEAR_OUTPUT, EF_KEEP_DATE and
// EF_KEEP_ATTRIBUTES (a member's record gives its full permission bits). A
// member whose bytes do not match its record's digest is refused
// (ERR_CONTENT_MISMATCH) and never takes its name. A stored path is refused
// (ERR_UNSAFE_PATH for that file) when it could lead outside `output_dir`, and
// (ERR_LINKED_FOLDER, the folder named in the detail) when a folder on its way
// below `output_dir` is a link; every file is written under a new temporary
// name, flushed to the disk, and replaces an existing one (or a link at its
// name) only once complete.
// Each file is announced with PM_EXTRACT_FILE_START and ends with
// PM_EXTRACT_FILE_DONE or its error code; a stop answer ends the extraction.
// Damage is reported with the offset where it lies and what is wrong there,
// in the record's detail: a member it touches ends with its error code
// (ERR_ARCHIVE_SHORT, ERR_NO_DATA_BLOCK or ERR_ARCHIVE_DAMAGED), damage
// between members comes as ERR_ARCHIVE_DAMAGED with the archive's path as the
// output path. The walk then goes on at the next place where a record
// certainly starts, so the sound members after the damage are extracted.
// Returns 0 once the records were walked, ERR_NOT_ARCHIVE, ERR_OPEN_ARCHIVE
// minus errno, ERR_BAD_REQUEST when EF_CLEAR_OUTPUT would delete the archive,
// or ERR_NOTHING_MATCHED when a pattern selects no member of a sound archive
// (nothing is cleared or made then).
int archive_extract(const std::string& archive, const std::string& output_dir, const std::string& pattern,
                    EngineFlags flags, const ProgressCallback& callback, FileSystem& files = real_file_system());

// Adds root + relative (relative in stored form, "\" between parts) to the open
// archive at its current position: a file record and a data block, coded unless
// `code_it` is false; with `with_record`, a member record in the file record
// (files of up to 1 GiB). A file that fails leaves the archive as it was before.
// Returns 0 or the file's error code (also given to the callback).
int archive_add_file(const std::string& root, const std::string& relative, std::FILE* archive, bool code_it,
                     const ProgressCallback& callback, bool with_record = false,
                     FileSystem& files = real_file_system());

// The records of an archive as the format lays them out. The header carries
// `stamp` and, unless `tag_version` is 0, our tag of that version; the end
// record the same stamp.
std::array<std::uint8_t, kArchiveHeaderSize> archive_header_record(std::uint32_t stamp, int tag_version);
std::array<std::uint8_t, kArchiveEndSize> archive_end_record(std::uint32_t stamp);
// A file record for `stored` (255 bytes at most, "\" between parts), its time
// slots 1, 4 and 5 at -1: the bare format's, until a member record fills them.
std::vector<std::uint8_t> archive_file_record(const std::string& stored, std::uint32_t size,
                                              std::int32_t access_time, std::int32_t modification_time,
                                              std::uint16_t attributes);
// The data block record that announces `length` bytes of `type` (AR_STORED or AR_CODED).
std::array<std::uint8_t, kDataBlockSize> archive_data_block(std::uint8_t type, std::uint32_t length);

// Fills the member record of a file record being written (`record` points at
// its first byte, every other field final): the permission bits `mode` and the
// leading bytes of the member's content digest, with the record's CRC as the
// header's `tag_version` has it. For writers that lay out their own members
// (archived-directory jobs).
void archive_put_member_record(std::uint8_t* record, std::uint16_t mode, const ContentDigest& digest,
                               int tag_version);

// Creates every missing directory above the last "/" of `path`. False when one
// of them could not be made.
bool make_parent_dirs(const std::string& path, FileSystem& files = real_file_system());

// Whether `archive` starts as one of our archives, reading only its header:
// 0 when it does, ERR_NOT_ARCHIVE (too short, another magic, not a regular
// file) or ERR_OPEN_ARCHIVE minus errno. Damage past the header shows only
// when the records are walked.
int archive_check_header(const std::string& archive, FileSystem& files = real_file_system());

// One file record with its data block, as `archive_list` reports it.
struct ArchiveMember {
    std::string stored_path;  // as in the file, "\" between parts
    std::uint32_t size = 0;
    std::int32_t access_time = -1;
    std::int32_t modification_time = -1;
    std::uint16_t permissions = 0;
    int block_type = 0;  // AR_STORED, AR_CODED, or 0 when no data block follows
    std::uint32_t data_length = 0;
    // The member record, looked for only in an archive whose header has our
    // tag (or is damaged there): absent when time slots 1, 4 and 5 all hold -1.
    RecordState record = RecordState::absent;
    std::uint16_t mode = 0;  // permission bits, 0777 at most
    std::array<std::uint8_t, kMemberDigestSize> digest{};
};

// Walks the records of `archive` and hands every file record to `visit`, and
// the words for every damage found to `damaged`: everything archive_extract
// refuses, from a record that is not sound to a member whose data does not
// decode or match its record's digest. Without `check_data` the members' data
// is not read (a caller that extracts next, where the data is checked anyway).
// Returns the number of members, ERR_NOT_ARCHIVE or ERR_OPEN_ARCHIVE minus errno.
int archive_list(const std::string& archive, const std::function<void(const ArchiveMember&)>& visit,
                 const std::function<void(const std::string& detail)>& damaged = {}, bool check_data = true,
                 FileSystem& files = real_file_system());

}  // namespace quoralith
