// The file-system seam: every call the engine and the coder make on files and
// folders goes through one FileSystem, handed to them per run, so that a test
// can put a file system in its place that fails the N-th write, a rename or a
// flush with the errno a full or failing disk gives, and check that nothing is
// lost. The product runs on real_file_system(), which is the POSIX calls and
// nothing more.
//
// The calls keep the shape of the POSIX calls they stand for (the same
// arguments, -1 or null with errno set on failure), so that code moved onto
// the seam reads as it did and keeps its error handling exactly.
//
// Streams: a stream the engine reads or writes is made by the seam (fdopen,
// fopen), and its descriptor is asked of the seam (fileno), so that a stand-in
// file system may hand out streams whose buffered writes reach it as calls of
// its own. The cost is one virtual call per transfer of a buffer, never per byte.
//
// Thread safety: real_file_system() holds no state and may be used by any
// number of runs at once. A stand-in is as safe as it makes itself.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <ctime>
#include <string>

namespace quoralith {

class FileSystem {
public:
    virtual ~FileSystem() = default;

    // Descriptors.
    virtual int open(const char* path, int flags, mode_t mode = 0) = 0;
    virtual int openat(int folder, const char* path, int flags, mode_t mode = 0) = 0;
    virtual int close(int fd) = 0;
    virtual ssize_t read(int fd, void* buffer, std::size_t count) = 0;
    virtual ssize_t write(int fd, const void* buffer, std::size_t count) = 0;
    virtual ssize_t pread(int fd, void* buffer, std::size_t count, off_t offset) = 0;
    virtual ssize_t pwrite(int fd, const void* buffer, std::size_t count, off_t offset) = 0;
    virtual off_t lseek(int fd, off_t offset, int origin) = 0;
    // fsync, or fdatasync when `data_only`: what a full or failed device may
    // first report.
    virtual int sync(int fd, bool data_only) = 0;
    virtual int ftruncate(int fd, off_t length) = 0;
    // syncfs: everything of the file system that holds `fd` to the disk.
    virtual int sync_file_system(int fd) = 0;
    virtual int fstat(int fd, struct stat* status) = 0;
    virtual int fchmod(int fd, mode_t mode) = 0;
    virtual int flock(int fd, int operation) = 0;
    // fcntl(F_DUPFD_CLOEXEC): a second descriptor of the same open file.
    virtual int duplicate(int fd) = 0;
    // fcntl(F_GETFL) / fcntl(F_SETFL).
    virtual int get_status_flags(int fd) = 0;
    virtual int set_status_flags(int fd, int flags) = 0;

    // Streams.
    virtual std::FILE* fdopen(int fd, const char* mode) = 0;
    virtual std::FILE* fopen(const char* path, const char* mode) = 0;
    // The descriptor under a stream this file system made.
    virtual int fileno(std::FILE* file) = 0;

    // Names.
    virtual int stat(const char* path, struct stat* status) = 0;
    virtual int lstat(const char* path, struct stat* status) = 0;
    virtual int rename(const char* from, const char* to) = 0;
    // renameat2(RENAME_EXCHANGE): the two names trade places in one step.
    virtual int exchange(const char* first, const char* second) = 0;
    // linkat: a second name for the file `from` (never following a link).
    virtual int link(const char* from, const char* to) = 0;
    virtual int unlink(const char* path) = 0;
    virtual int unlinkat(int folder, const char* path, int flags) = 0;
    virtual int mkdir(const char* path, mode_t mode) = 0;
    virtual int rmdir(const char* path) = 0;
    virtual int chmod(const char* path, mode_t mode) = 0;
    virtual int access(const char* path, int mode) = 0;
    virtual int utimensat(int folder, const char* path, const timespec times[2], int flags) = 0;
    // Removes `path` and everything under it, never following a link (the
    // link itself goes). Returns 0, or an errno; a name that is not there is 0.
    virtual int remove_all(const std::string& path) = 0;

    // Folders: opendir / readdir / closedir.
    virtual DIR* opendir(const char* path) = 0;
    virtual dirent* readdir(DIR* folder) = 0;
    virtual int closedir(DIR* folder) = 0;
};

// The POSIX calls themselves. A stand-in derives from it to fail some calls
// and pass the rest on.
class PosixFileSystem : public FileSystem {
public:
    int open(const char* path, int flags, mode_t mode = 0) override;
    int openat(int folder, const char* path, int flags, mode_t mode = 0) override;
    int close(int fd) override;
    ssize_t read(int fd, void* buffer, std::size_t count) override;
    ssize_t write(int fd, const void* buffer, std::size_t count) override;
    ssize_t pread(int fd, void* buffer, std::size_t count, off_t offset) override;
    ssize_t pwrite(int fd, const void* buffer, std::size_t count, off_t offset) override;
    off_t lseek(int fd, off_t offset, int origin) override;
    int sync(int fd, bool data_only) override;
    int ftruncate(int fd, off_t length) override;
    int sync_file_system(int fd) override;
    int fstat(int fd, struct stat* status) override;
    int fchmod(int fd, mode_t mode) override;
    int flock(int fd, int operation) override;
    int duplicate(int fd) override;
    int get_status_flags(int fd) override;
    int set_status_flags(int fd, int flags) override;
    std::FILE* fdopen(int fd, const char* mode) override;
    std::FILE* fopen(const char* path, const char* mode) override;
    int fileno(std::FILE* file) override;
    int stat(const char* path, struct stat* status) override;
    int lstat(const char* path, struct stat* status) override;
    int rename(const char* from, const char* to) override;
    int exchange(const char* first, const char* second) override;
    int link(const char* from, const char* to) override;
    int unlink(const char* path) override;
    int unlinkat(int folder, const char* path, int flags) override;
    int mkdir(const char* path, mode_t mode) override;
    int rmdir(const char* path) override;
    int chmod(const char* path, mode_t mode) override;
    int access(const char* path, int mode) override;
    int utimensat(int folder, const char* path, const timespec times[2], int flags) override;
    int remove_all(const std::string& path) override;
    DIR* opendir(const char* path) override;
    dirent* readdir(DIR* folder) override;
    int closedir(DIR* folder) override;
};

// The file system of the machine. Stateless, shared by every run.
FileSystem& real_file_system();

}  // namespace quoralith
