// Functions the engine's parts share among themselves but do not offer to
// callers: the directory walk that engine_run hands tree requests to.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <string>

#include "coder/stream.h"
#include "engine/engine.h"
#include "engine/safe_output.h"

namespace quoralith {

// Walks a directory request (OP_CREATE_DIR, OP_RESTORE_DIR or the OP_MERGE pass)
// and runs engine_file_op for every file. Returns at once while run.stop_latch is
// set, and sets it when a file ends with ERR_STOPPED. `pattern` empty means all
// files; the name-matching list is run.names. With FolderSync::never the
// output tree is scratch that the run reads back and removes: nothing in it is
// flushed to the disk.
int engine_dir_op(EngineRun& run, int type, const std::string& first, const std::string& second,
                  const std::string& output, const std::string& pattern, EngineFlags flags, AlgorithmMask mask,
                  const ProgressCallback& callback, FolderSync outputs = FolderSync::later);

// Whether a walk of `dir` with `pattern` would meet any file (or anything it
// reports as passed over): its folders entered as engine_dir_op enters them,
// the output tree `output` never. A request whose pattern matches nothing is
// refused before any folder is made.
bool engine_tree_has_match(const std::string& dir, const std::string& pattern, EngineFlags flags,
                           const std::string& output, FileSystem& files);

// engine_file_op as the directory walk runs it: renames into the output's own
// folder are not made durable one by one; the walk flushes each output folder
// once, after its files (or never, for a scratch tree).
int engine_walk_file_op(FileSystem& files, int type, const char* first, const std::string& second,
                        std::string& output, const NameMatchEntry* name_pair, EngineFlags flags,
                        AlgorithmMask mask, const ProgressCallback& callback,
                        FolderSync folder_sync = FolderSync::later);

// archive_extract into a scratch tree that the run reads back and removes:
// the members are verified as ever but not flushed to the disk one by one.
int archive_extract_scratch(FileSystem& files, const std::string& archive, const std::string& output_dir,
                            EngineFlags flags, const ProgressCallback& callback);

// What an archived-directory create writes into its trailer as Updated's
// times and permission bits, in place of those of the temporary archive it
// codes: the metadata its restore must build the Base archive with, kept
// whatever the temporary's file system could hold.
struct UpdatedInfo {
    std::int32_t access_time = -1;
    std::int32_t modification_time = -1;
    std::uint16_t mode = 0;
};

// engine_file_op (OP_CREATE_FILE) whose trailer states `info` as Updated's
// times and bits.
int engine_file_op_stating(FileSystem& files, const char* first, const std::string& second, std::string& output,
                           EngineFlags flags, AlgorithmMask mask, const ProgressCallback& callback,
                           const UpdatedInfo& info);

// Deletes everything inside `dir` (files and subdirectories), leaving `dir` itself.
int engine_clear_dir(const std::string& dir, FileSystem& files = real_file_system());

// An open stdio file, closed when the handle goes.
struct FileCloser {
    void operator()(std::FILE* file) const {
        if (file) std::fclose(file);
    }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Opens `path` for reading only when it is a regular file. The open itself
// never waits (a pipe without a writer would hold it for ever), and the file is
// judged by what was opened, not by an earlier look at the name; `status`, when
// given, receives what fstat said of it. Returns 0, an errno (EISDIR for a
// directory), or ERR_NOT_REGULAR_FILE for a pipe, device or socket.
int open_regular_input(FileSystem& files, const char* path, FileHandle& file, struct stat* status = nullptr);

// A window over all of `file` (or the stretch from `start`), whose transfers
// go through `files`, the file system that made it.
inline StreamWindow window_on(FileSystem& files, std::FILE* file, std::int32_t start = 0,
                              std::int32_t length = 0x7FFFFFFF) {
    StreamWindow window{file, start, length, 0};
    window.files = &files;
    return window;
}

// Sends one error record about a request or an entry (`first` empty for no
// Base; `detail` empty for none) to `callback`, or to the default answers when
// there is none, and returns the answer.
inline std::int16_t send_error_record(const ProgressCallback& callback, int code, const std::string& first,
                                      const std::string& second, const std::string& output,
                                      const std::string& detail = {}) {
    ProgressRecord record;
    record.code = static_cast<std::int16_t>(code);
    record.first_path = first.empty() ? nullptr : first.c_str();
    record.second_path = second.c_str();
    record.output_path = output.c_str();
    record.detail = detail.empty() ? nullptr : detail.c_str();
    return callback ? callback(record) : default_progress_callback(record);
}

}  // namespace quoralith
