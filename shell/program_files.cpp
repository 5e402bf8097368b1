// Side-file look-up: current directory, configuration directory, data directory.
#include "shell/program_files.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
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
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) return entry->pw_dir;
    return {};
}

std::string current_directory() {
    std::error_code ec;
    fs::path cwd = fs::current_path(ec);
    return ec ? std::string() : cwd.string();
}

}  // namespace

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
