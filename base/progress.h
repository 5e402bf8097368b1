// The vocabulary every engine and coder call shares: operation types, the flags
// word, the progress record and its callback, message codes and answers. The
// error codes the records carry are in base/errors.h, included here so that
// one include gives a caller the whole vocabulary.
#pragma once

#include <cstdint>
#include <functional>

#include "base/errors.h"

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

}  // namespace quoralith
