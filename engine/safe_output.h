// Safe output files: every file the program writes is first built under a new,
// uniquely named temporary in the folder of its final name, and takes that name
// only once it is complete and on the disk.
//
// A temporary is always a file that did not exist before: it is created
// exclusively and never through a symbolic link, so a link or a user's file
// planted at a would-be name is never followed, truncated or replaced, and two
// runs writing into one folder at once never share a temporary. Its name starts
// with kTempPrefix, so a user who finds one left by a power cut knows its source.
//
// A run holds a lock (flock) on each of its temporaries, files and folders,
// for as long as it has them, and names them with this boot of the machine
// and its process id, so that a later run can tell the leftovers of a killed
// run from those of one still at work (remove_dead_temporaries).
//
// Thread safety: a SafeOutput is one object's state; different objects may be
// used on different threads at once.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "base/file_system.h"

namespace quoralith {

// The start of every temporary's file name: ".qrlth-", twelve random hex
// digits, then "-", the first sixteen hex digits of the boot id and "-" and the
// process id in decimal (".qrlth-0123456789ab-9f1c27d04e5a6b38-4711"). Where
// the boot id cannot be read, the name ends after the random digits, the form
// earlier versions wrote.
inline constexpr std::string_view kTempPrefix = ".qrlth-";

// The folder part of `path` (everything before its last "/"), "/" for a file
// at the root, or "" for a bare name (the current folder).
std::string folder_of(const std::string& path);

// Whether the file-name part of `path` has the form of one of our temporaries
// (either form).
bool is_temporary_name(std::string_view path);

// Removes from `folder` ("" for the current folder) the temporaries, files and
// folders, of runs that are provably dead, and nothing else. A leftover is
// provably dead when its name carries a boot id and a process id, no lock is
// held on it, and either the boot id is this boot's and no process of that id
// lives, or the boot id is another boot's and the folder lies on a local disk
// file system (one machine mounts it, so an earlier boot's runs are gone).
// Names of the earlier form carry neither and are always left. Returns how
// many were removed. Errors are not reported: whatever cannot be removed now is
// left for a later run.
int remove_dead_temporaries(const std::string& folder, FileSystem& files = real_file_system());

// The system's folder for temporaries: $TMPDIR, else /tmp.
std::string system_temp_folder();

// Makes the entries of `folder` ("" for the current folder) durable, so that a
// rename into it survives a power loss. Returns 0 or errno.
int sync_folder(const std::string& folder, FileSystem& files = real_file_system());

// When commit makes the rename durable: at once, or later by the caller, who
// then calls sync_folder on the target's folder once for many files (a tree
// walk does, once per folder), or never: a scratch file that lives only as
// long as the run that reads it back, whose data is not flushed to the disk
// either (a power cut takes it with the run, and nothing is lost).
enum class FolderSync { now, later, never };

// Every call on the temporary goes through the file system it was made with.
class SafeOutput {
public:
    explicit SafeOutput(FileSystem& files = real_file_system()) : files_(&files) {}
    ~SafeOutput() { abandon(); }
    SafeOutput(const SafeOutput&) = delete;
    SafeOutput& operator=(const SafeOutput&) = delete;
    SafeOutput(SafeOutput&& other) noexcept;
    SafeOutput& operator=(SafeOutput&& other) noexcept;

    // Creates a new temporary in `folder` ("" for the current folder), open for
    // reading and writing, with `mode` (less the umask). Any temporary this
    // object held before is abandoned first. Returns 0 or errno.
    int create_in(const std::string& folder, mode_t mode = 0666);
    // The same in the folder of `target`, where it can later be renamed to `target`.
    int create_beside(const std::string& target, mode_t mode = 0666);

    // The open temporary, or null when none is pending or it was closed.
    std::FILE* file() const { return file_; }
    // The temporary's path; empty when none is pending.
    const std::string& path() const { return path_; }
    bool active() const { return !path_.empty(); }

    // Writes out what the stream buffers hold. Returns 0, or errno (EIO when
    // none is known) when this or any earlier write failed; the file stays open.
    int flush();

    // Flushes the file to the disk and closes it; it stays on disk under its
    // temporary name. Returns 0 or errno. When `durable` is false the disk flush
    // is left out (for a temporary that is read back and never committed).
    int finish(bool durable = true);

    // Finishes the file, renames it over `target` and makes the rename durable
    // in the folder of `target` (unless `folder` is FolderSync::later, or
    // FolderSync::never, which leaves out the data's flush too). Returns 0
    // or errno; on success nothing is pending any more, on failure the temporary
    // is still pending (and abandoned with the object) while `target` is as it was.
    int commit(const std::string& target, FolderSync folder = FolderSync::now);

    // Closes the temporary and removes it from the disk. Harmless when nothing
    // is pending.
    void abandon();

private:
    FileSystem* files_;
    std::FILE* file_ = nullptr;
    std::string path_;
    bool closed_ = false;  // finish() ran: the data is on disk, the stream closed
    int lock_fd_ = -1;     // holds the temporary's lock from its creation to its commit or removal
};

// A new folder of a temporary's name, made exclusively (mkdir never follows a
// link planted at the name and fails on anything there), and removed with
// everything in it when the object goes, unless it was released because it
// took another name.
class TempFolder {
public:
    explicit TempFolder(FileSystem& files = real_file_system()) : files_(&files) {}
    ~TempFolder() { remove(); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // Makes the folder in `folder` ("" for the current folder) with `mode`
    // (less the umask); a folder this object held before is removed first.
    // Returns 0 or errno.
    int create_in(const std::string& folder, mode_t mode = 0700);
    // The folder's path; empty when none is held.
    const std::string& path() const { return path_; }
    // The folder took another name: nothing is left to remove.
    void release();
    // Removes the folder and everything in it. Harmless when none is held.
    void remove();

private:
    FileSystem* files_;
    std::string path_;
    int lock_fd_ = -1;  // holds the folder's lock while it is ours
};

}  // namespace quoralith
