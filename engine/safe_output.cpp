// Safe output files: exclusive temporaries of random names beside the final
// name, flushed to the disk before the rename and the folder flushed after it,
// locked while their run lives so that the leftovers of a killed run can be
// told apart and removed.
#include "engine/safe_output.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

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

constexpr std::size_t kRandomDigits = 12;
constexpr std::size_t kBootDigits = 16;
constexpr long kHighestPid = 4194304;  // the kernel's limit for pid_max

bool is_hex(std::string_view text) {
    for (const char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return !text.empty();
}

// The first sixteen hex digits of this boot's id, or "" where it cannot be
// read. It cannot change while the process lives, so it is read once.
const std::string& boot_tag() {
    static const std::string tag = [] {
        std::string digits;
        const int fd = open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
        if (fd < 0) return digits;
        char text[64] = {};
        const ssize_t got = read(fd, text, sizeof text - 1);
        close(fd);
        for (ssize_t i = 0; i < got && digits.size() < kBootDigits; ++i)
            if (text[i] != '-') digits += text[i];
        if (digits.size() != kBootDigits || !is_hex(digits)) digits.clear();
        return digits;
    }();
    return tag;
}

// Who made a temporary of the newer form: its boot and process.
struct TempOwner {
    std::string_view boot;
    long pid = 0;
};

// The owner a name states; false for any other name, the earlier form included.
bool parse_owner(std::string_view name, TempOwner& owner) {
    const std::size_t boot_at = kTempPrefix.size() + kRandomDigits + 1;
    const std::size_t pid_at = boot_at + kBootDigits + 1;
    if (name.size() <= pid_at || name.size() > pid_at + 7 || name.substr(0, kTempPrefix.size()) != kTempPrefix ||
        !is_hex(name.substr(kTempPrefix.size(), kRandomDigits)) || name[boot_at - 1] != '-' ||
        !is_hex(name.substr(boot_at, kBootDigits)) || name[pid_at - 1] != '-')
        return false;
    long pid = 0;
    for (const char c : name.substr(pid_at)) {
        if (c < '0' || c > '9') return false;
        pid = pid * 10 + (c - '0');
    }
    // Zero or a negative id would ask kill() about a group of processes.
    if (pid < 1 || pid > kHighestPid || name[pid_at] == '0') return false;
    owner.boot = name.substr(boot_at, kBootDigits);
    owner.pid = pid;
    return true;
}

std::string temporary_name(const std::string& folder, int attempt) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::uint64_t bits = random_bits(attempt);
    std::string name(kTempPrefix);
    for (std::size_t i = 0; i < kRandomDigits; ++i, bits >>= 4) name += kHex[bits & 15u];
    if (const std::string& boot = boot_tag(); !boot.empty())
        name += "-" + boot + "-" + std::to_string(getpid());
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// Takes the lock that marks `fd`'s temporary as in use. A file system without
// locks leaves it unlocked: a later run then cannot take the lock either and
// leaves the temporary alone.
void lock_in_use(FileSystem& files, int fd) {
    while (files.flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EINTR) {
    }
}

// Whether the folder open as `fd` lies on a file system of a local disk (or
// memory), which one machine at a time mounts. Network and user-space file
// systems may be shared by machines of other boots, still at work.
bool on_local_disk(int fd) {
    struct statfs fs {};
    if (fstatfs(fd, &fs) != 0) return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
        case 0xEF53ul:      // ext2, ext3, ext4
        case 0x58465342ul:  // xfs
        case 0x9123683Eul:  // btrfs
        case 0xF2F52010ul:  // f2fs
        case 0x01021994ul:  // tmpfs
        case 0x794C7630ul:  // overlayfs (its upper layer is one of the above)
            return true;
        default:
            return false;
    }
}

// Whether the run that named a temporary for `owner` is gone, as far as its
// boot and process id tell (the lock is asked after): see remove_dead_temporaries.
bool owner_is_gone(const TempOwner& owner, int folder_fd, int& local) {
    if (owner.boot == boot_tag()) {
        if (owner.pid == getpid()) return false;
        // EPERM: a process of that id lives (another user's).
        return kill(static_cast<pid_t>(owner.pid), 0) != 0 && errno == ESRCH;
    }
    if (local < 0) local = on_local_disk(folder_fd) ? 1 : 0;
    return local == 1;
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
    TempOwner owner;
    if (parse_owner(name, owner)) return true;
    return name.size() == kTempPrefix.size() + kRandomDigits && name.substr(0, kTempPrefix.size()) == kTempPrefix &&
           is_hex(name.substr(kTempPrefix.size()));
}

int remove_dead_temporaries(const std::string& folder, FileSystem& files) {
    // Without this boot's id a name's boot cannot be compared: nothing is proven.
    if (boot_tag().empty()) return 0;
    DIR* dir = files.opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return 0;
    const int folder_fd = dirfd(dir);
    int local = -1;
    std::vector<std::string> gone;
    while (const dirent* entry = files.readdir(dir)) {
        TempOwner owner;
        if (parse_owner(entry->d_name, owner) && owner_is_gone(owner, folder_fd, local)) gone.emplace_back(entry->d_name);
    }
    int removed = 0;
    for (const std::string& name : gone) {
        // Never through a link planted at the name, never a pipe waited on.
        const int fd =
            files.openat(folder_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st {};
        // The lock proves it: a run that lives holds it (also one in another
        // pid namespace, whose process id means nothing here). It is held
        // while the temporary goes, so that no other run's cleaning collides.
        if (files.fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) &&
            files.flock(fd, LOCK_EX | LOCK_NB) == 0) {
            const bool done = S_ISDIR(st.st_mode) ? files.remove_all(folder.empty() ? name : folder + "/" + name) == 0
                                                  : files.unlinkat(folder_fd, name.c_str(), 0) == 0;
            if (done) ++removed;
        }
        files.close(fd);
    }
    files.closedir(dir);
    return removed;
}

int sync_folder(const std::string& folder, FileSystem& files) {
    const int fd = files.open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int error = 0;
    // Some file systems cannot flush a folder (EINVAL); their renames are as
    // durable as they get.
    if (files.sync(fd, false) != 0 && errno != EINVAL && errno != EROFS) error = errno;
    files.close(fd);
    return error;
}

SafeOutput::SafeOutput(SafeOutput&& other) noexcept
    : files_(other.files_),
      file_(std::exchange(other.file_, nullptr)),
      path_(std::move(other.path_)),
      closed_(other.closed_),
      lock_fd_(std::exchange(other.lock_fd_, -1)) {
    other.path_.clear();
    other.closed_ = false;
}

SafeOutput& SafeOutput::operator=(SafeOutput&& other) noexcept {
    if (this != &other) {
        abandon();
        files_ = other.files_;
        file_ = std::exchange(other.file_, nullptr);
        path_ = std::move(other.path_);
        other.path_.clear();
        closed_ = std::exchange(other.closed_, false);
        lock_fd_ = std::exchange(other.lock_fd_, -1);
    }
    return *this;
}

int SafeOutput::create_in(const std::string& folder, mode_t mode) {
    abandon();
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        std::string name = temporary_name(folder, attempt);
        // O_EXCL: the name must be new, so nothing that exists (a user's file, a
        // link planted there, another run's temporary) is ever opened.
        const int fd = files_->open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd < 0) {
            if (errno == EEXIST || errno == EINTR) continue;
            return errno;
        }
        // The lock outlives the stream (finish() closes it, and the file may
        // wait under its temporary name long after): a second descriptor of
        // the same open file holds it until the commit or the removal.
        lock_in_use(*files_, fd);
        const int lock_fd = files_->duplicate(fd);
        std::FILE* file = lock_fd < 0 ? nullptr : files_->fdopen(fd, "w+b");
        if (!file) {
            const int error = errno ? errno : ENOMEM;
            files_->close(fd);
            files_->unlink(name.c_str());
            if (lock_fd >= 0) files_->close(lock_fd);
            return error;
        }
        file_ = file;
        lock_fd_ = lock_fd;
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
    if (!error && durable && files_->sync(files_->fileno(file_), true) != 0 && errno != EINVAL) error = errno;
    errno = 0;
    if (std::fclose(std::exchange(file_, nullptr)) != 0 && !error) error = errno ? errno : EIO;
    if (error) return error;
    closed_ = true;
    return 0;
}

int SafeOutput::commit(const std::string& target, FolderSync folder) {
    if (path_.empty()) return EINVAL;
    if (const int error = finish(folder != FolderSync::never)) return error;
    if (files_->rename(path_.c_str(), target.c_str()) != 0) return errno;
    const std::string from_folder = folder_of(path_);
    path_.clear();
    closed_ = false;
    if (lock_fd_ >= 0) files_->close(std::exchange(lock_fd_, -1));
    // The file is in place whatever the folder flush says; its failure (a
    // folder that cannot be opened again, say) is not a failed output.
    const std::string to_folder = folder_of(target);
    if (folder == FolderSync::now) sync_folder(to_folder, *files_);
    if (from_folder != to_folder && folder != FolderSync::never) sync_folder(from_folder, *files_);
    return 0;
}

void SafeOutput::abandon() {
    if (file_) std::fclose(std::exchange(file_, nullptr));
    if (!path_.empty()) files_->unlink(path_.c_str());
    if (lock_fd_ >= 0) files_->close(std::exchange(lock_fd_, -1));
    path_.clear();
    closed_ = false;
}

int TempFolder::create_in(const std::string& folder, mode_t mode) {
    remove();
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        std::string name = temporary_name(folder, attempt);
        if (files_->mkdir(name.c_str(), mode) == 0) {
            // A folder is locked through a descriptor of its own. One that
            // cannot be opened (a mode without read permission) goes unlocked,
            // and is then only ever removed once its process is gone.
            lock_fd_ = files_->open(name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (lock_fd_ >= 0) lock_in_use(*files_, lock_fd_);
            path_ = std::move(name);
            return 0;
        }
        if (errno != EEXIST && errno != EINTR) return errno;
    }
    return EEXIST;
}

void TempFolder::release() {
    path_.clear();
    if (lock_fd_ >= 0) files_->close(std::exchange(lock_fd_, -1));
}

void TempFolder::remove() {
    if (!path_.empty()) {
        // remove_all never follows a link inside the folder: it removes the link.
        files_->remove_all(path_);
    }
    release();
}

}  // namespace quoralith
