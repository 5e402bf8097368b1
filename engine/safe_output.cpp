// Safe output files: exclusive temporaries of random names beside the final
// name, flushed to the disk before the rename and the folder flushed after it.
#include "engine/safe_output.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <utility>

namespace quoralith {

namespace {

constexpr int kAttempts = 100;

// 48 random bits for a name. The kernel's random source answers in one call;
// where it cannot, the process, the clock and the attempt are mixed instead.
// Guessable names would still be safe (a taken name is only ever tried again,
// never opened), only slower to find.
std::uint64_t random_bits(int attempt) {
    std::uint64_t value = 0;
    if (getrandom(&value, sizeof value, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof value)) return value;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::uint64_t x = static_cast<std::uint64_t>(getpid()) << 32 ^ static_cast<std::uint64_t>(now.tv_nsec) ^
                      static_cast<std::uint64_t>(now.tv_sec) << 20 ^ static_cast<std::uint64_t>(attempt) * 0x9E37u;
    x ^= reinterpret_cast<std::uintptr_t>(&now);
    x *= 0x9E3779B97F4A7C15ull;
    return x ^ (x >> 29);
}

std::string temporary_name(const std::string& folder, int attempt) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::uint64_t bits = random_bits(attempt);
    std::string name(kTempPrefix);
    for (int i = 0; i < 12; ++i, bits >>= 4) name += kHex[bits & 15u];
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

}  // namespace

std::string system_temp_folder() {
    std::error_code error;
    const std::string dir = std::filesystem::temp_directory_path(error).string();
    return error || dir.empty() ? std::string("/tmp") : dir;
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return std::string();
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool is_temporary_name(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (name.size() != kTempPrefix.size() + 12 || name.substr(0, kTempPrefix.size()) != kTempPrefix) return false;
    for (const char c : name.substr(kTempPrefix.size()))
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

int sync_folder(const std::string& folder) {
    const int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int error = 0;
    // Some file systems cannot flush a folder (EINVAL); their renames are as
    // durable as they get.
    if (fsync(fd) != 0 && errno != EINVAL && errno != EROFS) error = errno;
    close(fd);
    return error;
}

SafeOutput::SafeOutput(SafeOutput&& other) noexcept
    : file_(std::exchange(other.file_, nullptr)), path_(std::move(other.path_)), closed_(other.closed_) {
    other.path_.clear();
    other.closed_ = false;
}

SafeOutput& SafeOutput::operator=(SafeOutput&& other) noexcept {
    if (this != &other) {
        abandon();
        file_ = std::exchange(other.file_, nullptr);
        path_ = std::move(other.path_);
        other.path_.clear();
        closed_ = std::exchange(other.closed_, false);
    }
    return *this;
}

int SafeOutput::create_in(const std::string& folder, mode_t mode) {
    abandon();
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        std::string name = temporary_name(folder, attempt);
        // O_EXCL: the name must be new, so nothing that exists (a user's file, a
        // link planted there, another run's temporary) is ever opened.
        const int fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd < 0) {
            if (errno == EEXIST || errno == EINTR) continue;
            return errno;
        }
        std::FILE* file = fdopen(fd, "w+b");
        if (!file) {
            const int error = errno ? errno : ENOMEM;
            close(fd);
            unlink(name.c_str());
            return error;
        }
        file_ = file;
        path_ = std::move(name);
        closed_ = false;
        return 0;
    }
    return EEXIST;
}

int SafeOutput::create_beside(const std::string& target, mode_t mode) { return create_in(folder_of(target), mode); }

int SafeOutput::flush() {
    if (!file_) return closed_ || path_.empty() ? 0 : EIO;
    errno = 0;
    if (std::fflush(file_) != 0 || std::ferror(file_)) return errno ? errno : EIO;
    return 0;
}

int SafeOutput::finish(bool durable) {
    if (closed_) return 0;
    if (!file_) return path_.empty() ? 0 : EIO;
    int error = flush();
    // A full disk or a failed device may first show itself here.
    // The data and the size that reads need; the times follow with the folder
    // or the next journal commit.
    if (!error && durable && fdatasync(fileno(file_)) != 0 && errno != EINVAL) error = errno;
    errno = 0;
    if (std::fclose(std::exchange(file_, nullptr)) != 0 && !error) error = errno ? errno : EIO;
    if (error) return error;
    closed_ = true;
    return 0;
}

int SafeOutput::commit(const std::string& target, FolderSync folder) {
    if (path_.empty()) return EINVAL;
    if (const int error = finish(folder != FolderSync::never)) return error;
    if (std::rename(path_.c_str(), target.c_str()) != 0) return errno;
    const std::string from_folder = folder_of(path_);
    path_.clear();
    closed_ = false;
    // The file is in place whatever the folder flush says; its failure (a
    // folder that cannot be opened again, say) is not a failed output.
    const std::string to_folder = folder_of(target);
    if (folder == FolderSync::now) sync_folder(to_folder);
    if (from_folder != to_folder && folder != FolderSync::never) sync_folder(from_folder);
    return 0;
}

void SafeOutput::abandon() {
    if (file_) std::fclose(std::exchange(file_, nullptr));
    if (!path_.empty()) unlink(path_.c_str());
    path_.clear();
    closed_ = false;
}

int TempFolder::create_in(const std::string& folder, mode_t mode) {
    remove();
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        std::string name = temporary_name(folder, attempt);
        if (mkdir(name.c_str(), mode) == 0) {
            path_ = std::move(name);
            return 0;
        }
        if (errno != EEXIST && errno != EINTR) return errno;
    }
    return EEXIST;
}

void TempFolder::remove() {
    if (path_.empty()) return;
    // remove_all never follows a link inside the folder: it removes the link.
    std::error_code error;
    std::filesystem::remove_all(path_, error);
    path_.clear();
}

}  // namespace quoralith
