// The POSIX file system behind the seam: each call is the system call it is
// named after, with nothing added, so that the product behaves exactly as it
// would calling them itself.
#include "base/file_system.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace quoralith {

int PosixFileSystem::open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int PosixFileSystem::openat(int folder, const char* path, int flags, mode_t mode) {
    return ::openat(folder, path, flags, mode);
}
int PosixFileSystem::close(int fd) { return ::close(fd); }
ssize_t PosixFileSystem::read(int fd, void* buffer, std::size_t count) { return ::read(fd, buffer, count); }
ssize_t PosixFileSystem::write(int fd, const void* buffer, std::size_t count) { return ::write(fd, buffer, count); }
ssize_t PosixFileSystem::pread(int fd, void* buffer, std::size_t count, off_t offset) {
    return ::pread(fd, buffer, count, offset);
}
ssize_t PosixFileSystem::pwrite(int fd, const void* buffer, std::size_t count, off_t offset) {
    return ::pwrite(fd, buffer, count, offset);
}
off_t PosixFileSystem::lseek(int fd, off_t offset, int origin) { return ::lseek(fd, offset, origin); }
int PosixFileSystem::sync(int fd, bool data_only) { return data_only ? ::fdatasync(fd) : ::fsync(fd); }
int PosixFileSystem::ftruncate(int fd, off_t length) { return ::ftruncate(fd, length); }
int PosixFileSystem::sync_file_system(int fd) { return ::syncfs(fd); }
int PosixFileSystem::fstat(int fd, struct stat* status) { return ::fstat(fd, status); }
int PosixFileSystem::fchmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }
int PosixFileSystem::flock(int fd, int operation) { return ::flock(fd, operation); }
int PosixFileSystem::duplicate(int fd) { return ::fcntl(fd, F_DUPFD_CLOEXEC, 0); }
int PosixFileSystem::get_status_flags(int fd) { return ::fcntl(fd, F_GETFL); }
int PosixFileSystem::set_status_flags(int fd, int flags) { return ::fcntl(fd, F_SETFL, flags); }
std::FILE* PosixFileSystem::fdopen(int fd, const char* mode) { return ::fdopen(fd, mode); }
std::FILE* PosixFileSystem::fopen(const char* path, const char* mode) { return std::fopen(path, mode); }
int PosixFileSystem::fileno(std::FILE* file) { return ::fileno(file); }
int PosixFileSystem::stat(const char* path, struct stat* status) { return ::stat(path, status); }
int PosixFileSystem::lstat(const char* path, struct stat* status) { return ::lstat(path, status); }
int PosixFileSystem::rename(const char* from, const char* to) { return std::rename(from, to); }
int PosixFileSystem::exchange(const char* first, const char* second) {
    return ::renameat2(AT_FDCWD, first, AT_FDCWD, second, RENAME_EXCHANGE);
}
int PosixFileSystem::link(const char* from, const char* to) { return ::linkat(AT_FDCWD, from, AT_FDCWD, to, 0); }
int PosixFileSystem::unlink(const char* path) { return ::unlink(path); }
int PosixFileSystem::unlinkat(int folder, const char* path, int flags) { return ::unlinkat(folder, path, flags); }
int PosixFileSystem::mkdir(const char* path, mode_t mode) { return ::mkdir(path, mode); }
int PosixFileSystem::rmdir(const char* path) { return ::rmdir(path); }
int PosixFileSystem::chmod(const char* path, mode_t mode) { return ::chmod(path, mode); }
int PosixFileSystem::access(const char* path, int mode) { return ::access(path, mode); }
int PosixFileSystem::utimensat(int folder, const char* path, const timespec times[2], int flags) {
    return ::utimensat(folder, path, times, flags);
}
int PosixFileSystem::remove_all(const std::string& path) {
    std::error_code error;
    std::filesystem::remove_all(path, error);
    return error.value();
}
DIR* PosixFileSystem::opendir(const char* path) { return ::opendir(path); }
dirent* PosixFileSystem::readdir(DIR* folder) { return ::readdir(folder); }
int PosixFileSystem::closedir(DIR* folder) { return ::closedir(folder); }

FileSystem& real_file_system() {
    static PosixFileSystem system;
    return system;
}

}  // namespace quoralith
