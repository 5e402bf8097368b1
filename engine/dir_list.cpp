// One level of a directory as a listing, sorting it, and emptying a directory.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "engine/dir_list.h"
#include "engine/engine_internal.h"

namespace quoralith {
namespace {

// An open folder, closed by the file system that opened it.
class DirHandle {
public:
    DirHandle(DIR* folder, FileSystem& files) : folder_(folder), files_(files) {}
    DirHandle(const DirHandle&) = delete;
    DirHandle& operator=(const DirHandle&) = delete;
    ~DirHandle() {
        if (folder_) files_.closedir(folder_);
    }
    DIR* get() const { return folder_; }
    explicit operator bool() const { return folder_ != nullptr; }

private:
    DIR* folder_;
    FileSystem& files_;
};

bool is_dot_or_dotdot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

}  // namespace

std::string join_path(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

bool path_kind(const std::string& path, EntryKind& kind, FileSystem& files) {
    struct stat st {};
    if (files.lstat(path.c_str(), &st) != 0) return false;
    if (S_ISLNK(st.st_mode)) {
        // A link counts as a file only when it leads to a regular file; a link to
        // a directory is not walked and a dangling link is no data.
        struct stat target {};
        kind = files.stat(path.c_str(), &target) == 0 && S_ISREG(target.st_mode) ? EntryKind::File
                                                                                 : EntryKind::Other;
        return true;
    }
    kind = S_ISDIR(st.st_mode) ? EntryKind::Directory : S_ISREG(st.st_mode) ? EntryKind::File : EntryKind::Other;
    return true;
}

int passed_over_code(const std::string& path, FileSystem& files) {
    struct stat st {};
    if (files.lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && files.stat(path.c_str(), &st) != 0 &&
        (errno == ENOENT || errno == ELOOP || errno == ENOTDIR))
        return ERR_BROKEN_LINK;
    return ERR_NOT_REGULAR_FILE;
}

bool same_file(const std::string& a, const std::string& b, FileSystem& files) {
    struct stat first {}, second {};
    return files.stat(a.c_str(), &first) == 0 && files.stat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

std::string real_path(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.empty() ? "." : path.c_str(), resolved) ? std::string(resolved) : std::string();
}

namespace {

bool resolved_within(const std::string& in, std::string out) {
    if (in.empty() || out.empty()) return false;
    if (in == out) return true;
    if (out.back() != '/') out += '/';
    return in.compare(0, out.size(), out) == 0;
}

}  // namespace

bool dir_id(const std::string& path, DirId& id, FileSystem& files) {
    struct stat st {};
    if (files.stat(path.c_str(), &st) != 0) return false;
    id = {st.st_dev, st.st_ino};
    return true;
}

bool path_within(const std::string& inner, const std::string& outer) {
    const std::string out = real_path(outer);
    if (out.empty()) return false;
    // An output that is not there yet lands where its nearest existing folder
    // resolves to: a new "U/sub" lies inside U all the same.
    std::error_code error;
    const std::string in = std::filesystem::weakly_canonical(inner.empty() ? "." : inner, error).string();
    return !error && resolved_within(in, out);
}

bool link_leaves_tree(const std::string& path, const std::string& tree_root, std::string& target,
                      FileSystem& files) {
    struct stat st {};
    if (files.lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
    target = real_path(path);
    if (target.empty()) return false;  // dangling or looping: no data to leak
    return !resolved_within(target, tree_root);
}

bool is_link_to_special(const std::string& path, FileSystem& files) {
    struct stat st {};
    if (files.lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
    return files.stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

bool make_dirs(const std::string& dir, FileSystem& files) {
    struct stat st {};
    if (dir.empty()) return false;
    if (files.stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    for (std::size_t at = dir.find('/', 1); at != std::string::npos; at = dir.find('/', at + 1)) {
        const std::string level = dir.substr(0, at);
        if (files.stat(level.c_str(), &st) != 0) files.mkdir(level.c_str(), 0777);
    }
    if (files.mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) return false;
    return files.stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

DirListing engine_list_dir(const std::string& dir, const std::string& pattern, FileSystem& files) {
    DirListing listing;
    DirHandle handle(files.opendir(dir.c_str()), files);
    if (!handle) return listing;
    while (const dirent* entry = files.readdir(handle.get())) {
        if (is_dot_or_dotdot(entry->d_name)) continue;
        DirEntry item;
        item.name = entry->d_name;
        if (!path_kind(join_path(dir, item.name), item.kind, files)) {
            // Gone since the directory was read: offer it as a file so that the
            // failure to open it is reported with the file's own name.
            item.kind = EntryKind::File;
        }
        if (!item.is_directory() && !pattern.empty() && wildcard_match(pattern, item.name, WM_CASEFOLD) != 0)
            continue;
        listing.push_back(std::move(item));
    }
    return listing;
}

void engine_sort_list(DirListing& listing) {
    // std::string compares its bytes as unsigned char, shorter first on a tie.
    std::sort(listing.begin(), listing.end(), [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
}

int engine_clear_dir(const std::string& dir, FileSystem& files) {
    DirHandle handle(files.opendir(dir.c_str()), files);
    if (!handle) return 0;
    while (const dirent* entry = files.readdir(handle.get())) {
        if (is_dot_or_dotdot(entry->d_name)) continue;
        const std::string path = join_path(dir, entry->d_name);
        struct stat st {};
        if (files.lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            // A read-only directory keeps its entries; open it up first (it is
            // removed a moment later). Links are removed as links, never followed,
            // and a file needs no write permission of its own to be deleted.
            files.chmod(path.c_str(), (st.st_mode & 07777) | S_IRWXU);
            engine_clear_dir(path, files);
            files.rmdir(path.c_str());
        } else {
            files.unlink(path.c_str());
        }
    }
    return 0;
}

}  // namespace quoralith
