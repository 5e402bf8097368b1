// The delta engine's entry points: one request per engine_run call (a file or a
// directory tree, create or restore), the single-file operation it is built
// on, the stream copy routine and the file-information helpers.
//
// Thread safety: every call keeps its state in its own EngineRun; calls on
// different runs may proceed in parallel. The callback runs synchronously on
// the caller's thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "base/file_system.h"
#include "base/progress.h"
#include "coder/format.h"

namespace quoralith {

class DigestBuilder;

// One line of a name-matching file: the Base-side name before ";" and the
// Updated-side name after it. An empty line ends the list for every search.
struct NameMatchEntry {
    bool empty = true;
    std::string first;
    std::string second;
};
using NameMatchList = std::vector<NameMatchEntry>;

// Reads at most 50 entries from a name-matching file (lines of at most 255 bytes).
NameMatchList read_name_match_list(std::FILE* file);

// One request to the engine: what engine_run is to do, and the file system it
// does it on. `output` is rewritten during an in-place restore and holds the
// final name afterwards. `match_file` names the name-matching file of a
// directory create (empty for none). `files` is the real file system unless a
// caller (a test) puts another in its place; it must outlive the call.
struct EngineRequest {
    int type = 0;  // an OP_ value; anything else is refused
    std::string first, second, output, pattern, match_file;
    EngineFlags flags = 0;
    AlgorithmMask mask = 0;
    ProgressCallback callback;  // empty: the default answers
    FileSystem* files = &real_file_system();
};

// State of one engine_run: the stop latch, the name-matching list and the file
// system every file of the run is reached through.
struct EngineRun {
    explicit EngineRun(FileSystem& file_system = real_file_system()) : files(file_system) {}
    bool stop_latch = false;
    NameMatchList names;
    // Output folders refused as links, told once however many walks meet them.
    std::vector<std::string> linked_folders;
    FileSystem& files;
};

// Carries out one request. Returns ERR_BAD_REQUEST (unknown type, or the
// output equals an input where that is not an in-place restore) or 0 once the
// operation ran; per-file failures reach the caller only through the callback.
// A tree request that can do nothing tells the callback once and touches
// nothing: ERR_NO_BASE_TREE for a create whose named Base tree does not exist
// (an empty name asks for no Base), ERR_NOTHING_MATCHED for a pattern that
// selects no file.
int engine_run(EngineRequest& request);

// Whether EF_CLEAR_OUTPUT on a request would delete an input file: for a
// directory request (or an archived-directory restore) whose output directory
// is, holds or lies inside the first or the second tree (links resolved). An in-place restore (output equal to first)
// is never cleared, so it is never refused for this. engine_run refuses such a
// request with ERR_BAD_REQUEST before anything is deleted; callers ask first to
// say why.
bool clearing_would_delete_input(int type, const std::string& first, const std::string& second,
                                 const std::string& output);

// One operation on one file triple. `first` may be null (no Base); a Base that
// does not exist is coded as a new file, one that exists but cannot be opened is
// this file's error (ERR_OPEN_BASE minus errno). Inputs must be regular files
// and a delta cannot go into a pipe or device (ERR_NOT_REGULAR_FILE). Every
// output is written to a new temporary beside its final name (safe_output.h),
// flushed and renamed into place once complete; a symbolic link at that name
// is replaced, never written through (ERR_OUTPUT_LINK when it leads to a pipe
// or device). `name_pair` is accepted from the
// directory walk and unused. Returns 0, ERR_STOPPED, an open/create code
// (-200/-300/-500 minus errno), ERR_NOT_REGULAR_FILE, the coder's code (failure
// action skip) or the copy routine's result (failure action copy). Every file
// is reached through `files`.
int engine_file_op(int type, const char* first, const std::string& second, std::string& output,
                   const NameMatchEntry* name_pair, EngineFlags flags, AlgorithmMask mask,
                   const ProgressCallback& callback, FileSystem& files = real_file_system());

// Copies at most `limit` bytes from `source` to `destination` in chunks of at most
// 2048 bytes. rewind: 2 rewinds the source, 1 the destination (3 both). Returns
// the bytes copied, 0 when a stream is missing, ERR_STOPPED, or a code of the
// ERR_COPY_READ or ERR_COPY_WRITE family on a read or write error (a failed
// write is never reported as a count). Every
// byte copied is also handed to `digest` when one is given.
std::int64_t engine_copy_stream(std::FILE* source, std::FILE* destination, int rewind, std::int64_t limit,
                                const ProgressCallback& callback, DigestBuilder* digest = nullptr);

// An archived-directory request (OP_CREATE_ARCHIVED, OP_RESTORE_ARCHIVED): the
// two trees (or archive files, by EF_ARCHIVE_BASE and EF_ARCHIVE_UPDATED) as
// archives and one file delta between them. engine/archived_dir.cpp.
int engine_archived_op(int type, const std::string& first, const std::string& second, const std::string& output,
                       const std::string& pattern, EngineFlags flags, AlgorithmMask mask,
                       const ProgressCallback& callback, FileSystem& files = real_file_system());

// A Directory request some of whose names are archive files (EF_ARCHIVE_BASE,
// EF_ARCHIVE_UPDATED, EF_ARCHIVE_DELTA): those sides are unpacked into (or
// packed from) temporary trees around the ordinary directory walk.
// engine/dir_archives.cpp.
int engine_dir_archive_op(EngineRun& run, int type, const std::string& first, const std::string& second,
                          const std::string& output, const std::string& pattern, EngineFlags flags,
                          AlgorithmMask mask, const ProgressCallback& callback);

// The attribute word a file of permission bits `mode` gets in a trailer: bit 0
// readable and bit 1 writable by its owner.
std::uint16_t attributes_of_mode(std::uint32_t mode);
// Fills the time slots and attribute word of `trailer` from an open file
// (one that `files` made).
void engine_read_file_info(std::FILE* file, TrailerRecord& trailer, FileSystem& files = real_file_system());
// Sets the access and modification times stored in `trailer` on `path`.
bool engine_apply_times(const std::string& path, const TrailerRecord& trailer,
                        FileSystem& files = real_file_system());
// Gives `path` the permission bits of the record in the trailer's reserved
// field when it holds one (see coder/digest.h); otherwise makes it readable
// and writable as bits 0 and 1 of the attribute word say.
bool engine_apply_permissions(const std::string& path, const TrailerRecord& trailer,
                              FileSystem& files = real_file_system());

// The name a keep-all candidate gets: the algorithm's digit appended to a stem of
// up to 7 characters, or replacing the last character of a longer stem.
std::string keep_all_name(const std::string& path, int algorithm);

}  // namespace quoralith
