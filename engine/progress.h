// The vocabulary every engine and coder call shares: operation types, the flags
// word, the progress record and its callback, message codes, answers and error codes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace quoralith {

// Operation types accepted by engine_run (OP_MERGE is internal to the engine).
enum OperationType : int {
    OP_CREATE_FILE = 1,
    OP_CREATE_DIR = 2,
    OP_RESTORE_FILE = 3,
    OP_RESTORE_DIR = 4,
    // A whole tree as one delta: both trees become archives and one file delta
    // is made between them (engine/archived_dir.h).
    OP_CREATE_ARCHIVED = 5,
    OP_RESTORE_ARCHIVED = 6,
    OP_MERGE = 255,
};

inline bool is_create(int type) { return type < 3 || type == OP_CREATE_ARCHIVED; }

// Wider than the sixteen bits the job settings' flags ever need, so that the
// archive flags below fit beside them.
using EngineFlags = std::uint32_t;
constexpr EngineFlags EF_INCLUDE_SUBDIRS = 0x0001;
constexpr EngineFlags EF_KEEP_DATE = 0x0002;
constexpr EngineFlags EF_KEEP_ATTRIBUTES = 0x0004;
constexpr EngineFlags EF_FAIL_STOP = 0x0008;
constexpr EngineFlags EF_FAIL_SKIP = 0x0010;
constexpr EngineFlags EF_FAIL_COPY = 0x0020;
constexpr EngineFlags EF_MERGE = 0x0040;
constexpr EngineFlags EF_SHORT_STAMP = 0x0080;
constexpr EngineFlags EF_KEEP_ALL = 0x0100;
constexpr EngineFlags EF_CLEAR_OUTPUT = 0x0200;
constexpr EngineFlags EF_STORE_RAW = 0x0400;
constexpr EngineFlags EF_IN_PLACE = 0x0800;
constexpr EngineFlags EF_SORTED = 0x1000;
// Create and archive create: leave the trailer's reserved field (and an
// archive's spare fields) as the bare format has them, without the record of
// Updated's permission bits and digest.
constexpr EngineFlags EF_PLAIN_TRAILER = 0x2000;
// Create: one more candidate, from the deep search (coder/deep.h). Not with EF_KEEP_ALL.
constexpr EngineFlags EF_DEEP = 0x4000;
// Which names of a request are archive files rather than directory trees: the
// Base (read from an archive), the Updated tree (read from one on create,
// written as one on restore) and, in a Directory job, the delta tree (kept as
// one archive file). An archived-directory job's delta is always one file.
constexpr EngineFlags EF_ARCHIVE_BASE = 0x10000;
constexpr EngineFlags EF_ARCHIVE_UPDATED = 0x20000;
constexpr EngineFlags EF_ARCHIVE_DELTA = 0x40000;
// Create: one more candidate in the compact format (coder/compact/compact.h),
// smallest kept as ever; with EF_KEEP_ALL it is kept under the digit name "c".
constexpr EngineFlags EF_COMPACT = 0x80000;

// Bit i asks for algorithm i; 0 is taken as 1 (algorithm 0 alone).
using AlgorithmMask = std::uint16_t;

// Message codes (not negative) carried in ProgressRecord::code.
enum MessageCode : std::int16_t {
    PM_FILE_START = 0,
    PM_FILE_DONE = 1,
    PM_READ_BASE = 2,
    PM_READ_INPUT = 3,
    PM_WRITE_OUTPUT = 4,
    PM_CANDIDATE_DONE = 11,
    // After the failure action "copy" put the Base file in the output's place:
    // the output now holds the Base's bytes (result: their count), not the
    // file the job was asked for, and whoever shows the job must say so.
    PM_BASE_COPIED = 12,
    PM_ARCHIVE_FILE_START = 100,
    PM_ARCHIVE_FILE_DONE = 101,
    PM_EXTRACT_FILE_START = 200,
    PM_EXTRACT_FILE_DONE = 201,
};

// Answers of a progress callback.
enum CallbackAnswer : std::int16_t {
    ANSWER_STOP = -1,
    ANSWER_SKIP = 0,
    ANSWER_COPY = 1,
    ANSWER_BY_FLAGS = 2,
};

// Error codes: negative values of ProgressRecord::code and of results.
constexpr int ERR_MALFORMED = -1;         // coder: malformed delta, or a window over 1 GiB
constexpr int ERR_TEMP_FILE = -2;         // coder: a temporary file could not be created
                                          // (engine_run: ERR_BAD_REQUEST has the same value)
constexpr int ERR_BAD_REQUEST = -2;
constexpr int ERR_NO_MEMORY = -3;         // coder: memory could not be allocated
constexpr int ERR_WRONG_BASE = -4;        // coder: the delta was made against another Base
constexpr int ERR_WRITE_FAILED = -5;      // coder: a write failed (a full disk, say)
constexpr int ERR_READ_FAILED = -6;       // coder: an input could not be read
constexpr int ERR_CONTENT_MISMATCH = -7;  // coder: the restored bytes are not those the delta was made from
constexpr int ERR_RECORD_DAMAGED = -50;   // coder: the trailer's reserved field is neither zeros nor a sound record
constexpr int ERR_STOPPED = -400;
constexpr int ERR_OPEN_INPUT = -200;      // minus errno
constexpr int ERR_CREATE_OUTPUT = -300;   // minus errno
constexpr int ERR_OPEN_BASE = -500;       // minus errno: a Base that exists could not be opened

// Directory walks and archives.
constexpr int ERR_ARCHIVE_WRITE = -3;      // archive_create: header or end record not written in full
constexpr int ERR_NOT_ARCHIVE = -9;        // too short for a header, or not our magic
constexpr int ERR_FILE_STATUS = -41;       // a file's status could not be read
constexpr int ERR_ARCHIVE_BUFFER = -42;    // a buffer could not be allocated
constexpr int ERR_ARCHIVE_SHORT = -43;     // a short read or write, or a record that lies about lengths
constexpr int ERR_UNSAFE_PATH = -44;       // a stored path would lead outside the output directory
constexpr int ERR_NOT_REGULAR_FILE = -45;  // a device, pipe, socket or link to a directory: passed over
constexpr int ERR_ARCHIVE_NAME = -46;      // a path an archive record cannot hold (over 255 bytes, or a "\")
constexpr int ERR_ARCHIVE_TOO_LARGE = -47; // a file over 4 GiB, beyond an archive record's size field
constexpr int ERR_ARCHIVE_DAMAGED = -48;   // the archive is damaged; the record's detail says where and how
constexpr int ERR_TREE_TOO_LARGE = -49;    // a tree whose archive would pass the coder's 1 GiB limit
constexpr int ERR_MEMBER_RECORD_DAMAGED = -51;  // a member's time slots 1, 4, 5 hold neither -1 nor a sound record
constexpr int ERR_ARCHIVE_TAG_DAMAGED = -52;    // the header's reserved field is neither zeros nor our tag
constexpr int ERR_DUPLICATE_MEMBER = -53;       // a second member writes to a path an earlier one wrote
constexpr int ERR_MEMBER_AFTER_END = -54;       // a member after the end record
constexpr int ERR_NO_DATA_BLOCK = -61;     // a file record not followed by a data block
// Links and requests that would do nothing.
constexpr int ERR_LINKED_FOLDER = -62;     // a folder inside an output tree is a symbolic link: nothing goes through it
constexpr int ERR_LINK_OUTSIDE = -63;      // a link in an input tree leads outside the tree: left out, never followed
constexpr int ERR_OUTPUT_LINK = -64;       // the output name is a link to a pipe, device or socket: not replaced
constexpr int ERR_NOTHING_MATCHED = -65;   // the pattern matches no file: nothing was done
constexpr int ERR_NO_BASE_TREE = -66;      // the Base directory named for a create does not exist

// Failures that "the delta was made from a different base file" or a passed
// over entry would misname: each says what is really wrong.
constexpr int ERR_BASE_MISSING = -75;      // restore: no Base file, and the delta was made from one
constexpr int ERR_NOT_ARCHIVED_DELTA = -76; // restore --archived: a single-file delta, not an archived one
constexpr int ERR_BASE_TREE_DIFFERS = -77; // restore --archived: the Base tree, as selected, is another one
constexpr int ERR_DISK_FULL = -78;         // no room left on the disk (or quota); the output was not replaced
constexpr int ERR_BROKEN_LINK = -79;       // a symbolic link to nothing (a missing target, or a loop): passed over
// The compact format (coder/compact/compact.h).
constexpr int ERR_NOT_COMPACT = -80;       // not a compact delta (another format, or no delta at all)
constexpr int ERR_COMPACT_DAMAGED = -81;   // a compact delta whose header or payload is damaged
constexpr int ERR_COMPACT_VERSION = -82;   // a compact delta of a later version or an unknown method
constexpr int ERR_COMPACT_LIMIT = -83;     // a file over 1 GiB, beyond what a compact delta codes
constexpr int ERR_OPEN_ARCHIVE = -100;     // minus errno: the archive could not be opened for reading
constexpr int ERR_WRITE_ARCHIVE = -700;    // minus errno: writing the archive failed (a full disk, say);
                                           // the whole archive is abandoned

// Entries a walk passes over without a file start: a device, pipe or socket,
// a link to a directory, a link that leads nowhere, or one that leads out of its tree.
inline bool is_passed_over(int code) {
    return code == ERR_NOT_REGULAR_FILE || code == ERR_BROKEN_LINK || code == ERR_LINK_OUTSIDE;
}

// Largest file the coder accepts: every position fits a signed 32-bit integer.
constexpr std::int64_t MAX_FILE_LENGTH = 0x40000000;

// One record is filled (zeroed first) for every callback; the callee may read it
// only during the call.
struct ProgressRecord {
    std::int16_t code = 0;
    const char* first_path = nullptr;
    const char* second_path = nullptr;
    const char* output_path = nullptr;
    const std::uint8_t* restore_tag = nullptr;  // 24 bytes, see TrailerRecord
    std::int16_t algorithm = 0;
    std::int32_t first_size = 0;
    std::int32_t second_size = 0;
    std::int32_t result = 0;
    std::int32_t position = 0;
    // Words about an error beyond its code, or null: for a damaged archive,
    // where the damage lies (its offset in the archive) and what is wrong there.
    const char* detail = nullptr;
};

// Called synchronously on the caller's thread; returns a CallbackAnswer.
using ProgressCallback = std::function<std::int16_t(const ProgressRecord&)>;

// Answers ANSWER_BY_FLAGS to an error code and ANSWER_SKIP to a message.
std::int16_t default_progress_callback(const ProgressRecord& record);

// A sentence in words for any engine, coder or archive result code met per file,
// so that no user ever sees a bare number. (engine_run's own ERR_BAD_REQUEST shares
// -2 with the coder's temporary-file failure; callers word that one themselves.)
std::string describe_error(int code);

}  // namespace quoralith
