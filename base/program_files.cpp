// Side-file look-up: current directory, configuration directory, data directory.
#include "base/program_files.h"

#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <system_error>

namespace quoralith {

namespace fs = std::filesystem;

namespace {

// Set once at start-up; guarded so that a late setter cannot tear a read.
std::mutex data_directory_mutex;
std::string data_directory_override;

std::string join(std::string left, const std::string& right) {
    if (left.empty()) return right;
    if (left.back() != '/') left += '/';
    return left + right;
}

// Directory, then the subdirectory, then the name, with exactly one "/" at each
// joint (also when the directory is "/" itself).
std::string candidate(const std::string& directory, const char* subdirectory, const std::string& name) {
    std::string path = directory;
    if (path.empty() || path.back() != '/') path += '/';
    if (subdirectory && *subdirectory) {
        path += subdirectory;
        if (path.back() != '/') path += '/';
    }
    return path + name;
}

bool readable(const std::string& path) {
    std::error_code ec;
    return ::access(path.c_str(), R_OK) == 0 && !fs::is_directory(path, ec);
}

std::string home_directory() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    return passwd_home("/etc/passwd", ::getuid());
}

std::string current_directory() {
    std::error_code ec;
    fs::path cwd = fs::current_path(ec);
    return ec ? std::string() : cwd.string();
}

}  // namespace

// The password file is read directly, not through the name service: the
// command line is a static program, and there the name service would load the
// very shared libraries it does without. Users whose accounts come from a
// directory service have HOME set by their login.
std::string passwd_home(const char* passwd_path, unsigned uid) {
    std::ifstream in(passwd_path);
    std::string line;
    while (std::getline(in, line)) {
        // name:password:uid:gid:comment:home:shell
        std::string fields[7];
        std::size_t count = 0;
        std::size_t start = 0;
        while (count < 7) {
            const std::size_t colon = line.find(':', start);
            fields[count++] = line.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
            if (colon == std::string::npos) break;
            start = colon + 1;
        }
        if (count < 6 || fields[2].empty() || fields[5].empty()) continue;
        unsigned value = 0;
        const auto [end, error] = std::from_chars(fields[2].data(), fields[2].data() + fields[2].size(), value);
        if (error == std::errc() && end == fields[2].data() + fields[2].size() && value == uid) return fields[5];
    }
    return {};
}

std::string config_directory() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    // Relative values are invalid by the XDG rules and are ignored.
    if (xdg && xdg[0] == '/') return join(xdg, "quoralith");
    std::string home = home_directory();
    if (home.empty()) return {};
    return join(join(home, ".config"), "quoralith");
}

std::string program_data_directory() {
    {
        std::lock_guard lock(data_directory_mutex);
        if (!data_directory_override.empty()) return data_directory_override;
    }
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec || exe.empty()) return {};
    return (exe.parent_path().parent_path() / "share" / "quoralith").lexically_normal().string();
}

void set_program_data_directory(const std::string& directory) {
    std::lock_guard lock(data_directory_mutex);
    data_directory_override = directory;
}

int locate_program_file(const char* subdirectory, bool try_config_dir, const std::string& file_name,
                        std::string& out) {
    std::string fallback;
    int fallback_place = PLACE_NONE;
    auto remember = [&](const std::string& path, int place) {
        if (fallback_place == PLACE_NONE) {
            fallback = path;
            fallback_place = place;
        }
    };

    if (subdirectory) {
        std::string cwd = current_directory();
        if (!cwd.empty()) {
            std::string path = candidate(cwd, subdirectory, file_name);
            remember(path, PLACE_FALLBACK_CURRENT_DIR);
            if (readable(path)) {
                out = path;
                return PLACE_CURRENT_DIR;
            }
        }
    }
    if (try_config_dir) {
        std::string config = config_directory();
        if (!config.empty()) {
            std::string path = candidate(config, nullptr, file_name);
            remember(path, PLACE_FALLBACK_CONFIG_DIR);
            if (readable(path)) {
                out = path;
                return PLACE_CONFIG_DIR;
            }
        }
    }
    if (subdirectory) {
        std::string data = program_data_directory();
        if (!data.empty()) {
            std::string path = candidate(data, subdirectory, file_name);
            remember(path, PLACE_FALLBACK_DATA_DIR);
            if (readable(path)) {
                out = path;
                return PLACE_DATA_DIR;
            }
        }
    }
    out = fallback;
    return fallback_place;
}

std::string locate_history_file(const std::string& file_name) {
    std::string found;
    int place = locate_program_file("", true, file_name, found);
    // The data directory is read-only: a history file found only there would
    // refuse every Record, so the user's own copy goes to the configuration
    // directory instead.
    if (place == PLACE_CURRENT_DIR || place == PLACE_CONFIG_DIR) return found;
    std::string config = config_directory();
    if (!config.empty()) return candidate(config, nullptr, file_name);
    return file_name;
}

}  // namespace quoralith
