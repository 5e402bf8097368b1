// A file system for tests that does what the real one does, except that it
// fails one chosen call: the N-th open, read, write, flush to the disk, close,
// rename, removal or folder creation, with the errno a full or failing disk
// gives. It counts every call of each kind, so that a test can run a job once
// to learn how many there are and then fail each one in turn.
//
// Streams it makes are stdio streams of its own (fopencookie), whose buffered
// reads and writes come back to it as calls: a write the stream holds back
// fails where the real one would, when the buffer goes out. Its descriptors
// are the real ones, so everything not failed behaves exactly as on the disk.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "base/file_system.h"

namespace quoralith::test {

enum class Fault { open, read, write, sync, close, rename, remove, mkdir, count };

inline const char* fault_name(Fault kind) {
    static constexpr std::array<const char*, static_cast<std::size_t>(Fault::count)> names = {
        "open", "read", "write", "sync", "close", "rename", "remove", "mkdir"};
    return names[static_cast<std::size_t>(kind)];
}

class FaultyFileSystem : public PosixFileSystem {
public:
    // The `n`-th call (from 1) of `kind` after this fails with `error`; n = 0
    // fails nothing. The counts start again from zero.
    void fail_at(Fault kind, int n, int error) {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.fill(0);
        kind_ = kind;
        at_ = n;
        error_ = error;
        fired_ = false;
    }
    int calls(Fault kind) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_[static_cast<std::size_t>(kind)];
    }
    bool fired() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return fired_;
    }

    int open(const char* path, int flags, mode_t mode = 0) override {
        if (fails(Fault::open)) return -1;
        return PosixFileSystem::open(path, flags, mode);
    }
    int openat(int folder, const char* path, int flags, mode_t mode = 0) override {
        if (fails(Fault::open)) return -1;
        return PosixFileSystem::openat(folder, path, flags, mode);
    }
    int close(int fd) override {
        // The descriptor goes whatever is reported, as with a real close.
        const int result = PosixFileSystem::close(fd);
        if (fails(Fault::close)) return -1;
        return result;
    }
    ssize_t read(int fd, void* buffer, std::size_t count) override {
        if (fails(Fault::read)) return -1;
        return PosixFileSystem::read(fd, buffer, count);
    }
    ssize_t pread(int fd, void* buffer, std::size_t count, off_t offset) override {
        if (fails(Fault::read)) return -1;
        return PosixFileSystem::pread(fd, buffer, count, offset);
    }
    ssize_t write(int fd, const void* buffer, std::size_t count) override {
        if (fails(Fault::write)) return -1;
        return PosixFileSystem::write(fd, buffer, count);
    }
    ssize_t pwrite(int fd, const void* buffer, std::size_t count, off_t offset) override {
        if (fails(Fault::write)) return -1;
        return PosixFileSystem::pwrite(fd, buffer, count, offset);
    }
    int sync(int fd, bool data_only) override {
        if (fails(Fault::sync)) return -1;
        return PosixFileSystem::sync(fd, data_only);
    }
    int sync_file_system(int fd) override {
        if (fails(Fault::sync)) return -1;
        return PosixFileSystem::sync_file_system(fd);
    }
    int rename(const char* from, const char* to) override {
        if (fails(Fault::rename)) return -1;
        return PosixFileSystem::rename(from, to);
    }
    int exchange(const char* first, const char* second) override {
        if (fails(Fault::rename)) return -1;
        return PosixFileSystem::exchange(first, second);
    }
    int link(const char* from, const char* to) override {
        if (fails(Fault::rename)) return -1;
        return PosixFileSystem::link(from, to);
    }
    int unlink(const char* path) override {
        if (fails(Fault::remove)) return -1;
        return PosixFileSystem::unlink(path);
    }
    int unlinkat(int folder, const char* path, int flags) override {
        if (fails(Fault::remove)) return -1;
        return PosixFileSystem::unlinkat(folder, path, flags);
    }
    int rmdir(const char* path) override {
        if (fails(Fault::remove)) return -1;
        return PosixFileSystem::rmdir(path);
    }
    int remove_all(const std::string& path) override {
        if (fails(Fault::remove)) return errno;
        return PosixFileSystem::remove_all(path);
    }
    int mkdir(const char* path, mode_t mode) override {
        if (fails(Fault::mkdir)) return -1;
        return PosixFileSystem::mkdir(path, mode);
    }

    std::FILE* fdopen(int fd, const char* mode) override {
        auto* cookie = new Cookie{this, fd};
        std::FILE* file = fopencookie(cookie, mode, {&cookie_read, &cookie_write, &cookie_seek, &cookie_close});
        if (!file) {
            delete cookie;
            return nullptr;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        descriptors_[file] = fd;
        return file;
    }
    std::FILE* fopen(const char* path, const char* mode) override {
        const std::string m = mode;
        if (m != "r" && m != "rb") return PosixFileSystem::fopen(path, mode);
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) return nullptr;
        std::FILE* file = fdopen(fd, mode);
        if (!file) PosixFileSystem::close(fd);
        return file;
    }
    // A stream made elsewhere (an anonymous temporary of the coder's) has a
    // descriptor of its own.
    int fileno(std::FILE* file) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = descriptors_.find(file);
        return it == descriptors_.end() ? ::fileno(file) : it->second;
    }

private:
    struct Cookie {
        FaultyFileSystem* files;
        int fd;
    };

    // Counts a call of `kind`; true (errno set) when it is the one to fail.
    bool fails(Fault kind) {
        std::lock_guard<std::mutex> lock(mutex_);
        const int n = ++calls_[static_cast<std::size_t>(kind)];
        if (kind != kind_ || n != at_) return false;
        fired_ = true;
        errno = error_;
        return true;
    }

    static ssize_t cookie_read(void* cookie, char* buffer, std::size_t count) {
        auto* c = static_cast<Cookie*>(cookie);
        return c->files->read(c->fd, buffer, count);
    }
    // stdio takes 0 as a failed write (and keeps errno).
    static ssize_t cookie_write(void* cookie, const char* buffer, std::size_t count) {
        auto* c = static_cast<Cookie*>(cookie);
        const ssize_t put = c->files->write(c->fd, buffer, count);
        return put < 0 ? 0 : put;
    }
    static int cookie_seek(void* cookie, off64_t* offset, int origin) {
        auto* c = static_cast<Cookie*>(cookie);
        const off_t at = ::lseek(c->fd, *offset, origin);
        if (at < 0) return -1;
        *offset = at;
        return 0;
    }
    static int cookie_close(void* cookie) {
        auto* c = static_cast<Cookie*>(cookie);
        FaultyFileSystem* files = c->files;
        const int fd = c->fd;
        delete c;
        {
            std::lock_guard<std::mutex> lock(files->mutex_);
            for (auto it = files->descriptors_.begin(); it != files->descriptors_.end(); ++it) {
                if (it->second == fd) {
                    files->descriptors_.erase(it);
                    break;
                }
            }
        }
        return files->close(fd) == 0 ? 0 : EOF;
    }

    mutable std::mutex mutex_;
    std::array<int, static_cast<std::size_t>(Fault::count)> calls_{};
    Fault kind_ = Fault::count;
    int at_ = 0;
    int error_ = 0;
    bool fired_ = false;
    std::map<std::FILE*, int> descriptors_;
};

}  // namespace quoralith::test
