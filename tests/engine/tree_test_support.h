// Shared pieces of the directory-walk and archive tests: a callback that keeps
// every record it is told and answers as the test says, and views of trees.
#pragma once

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/progress.h"
#include "support/test_support.h"

namespace quoralith::test {

struct TreeRecord {
    int code;
    std::string first_path;
    std::string second_path;
    std::string output_path;
    std::string detail;
};

class TreeRecorder {
public:
    std::function<std::int16_t(const ProgressRecord&)> answer = [](const ProgressRecord&) -> std::int16_t {
        return ANSWER_SKIP;
    };
    std::vector<TreeRecord> seen;

    ProgressCallback callback() {
        return [this](const ProgressRecord& r) -> std::int16_t {
            seen.push_back({r.code, r.first_path ? r.first_path : "", r.second_path ? r.second_path : "",
                            r.output_path ? r.output_path : "", r.detail ? r.detail : ""});
            return answer(r);
        };
    }
    // Per-file messages and error codes, without the transfers.
    std::vector<int> file_codes() const {
        std::vector<int> codes;
        for (const auto& s : seen)
            if (s.code != PM_READ_BASE && s.code != PM_READ_INPUT && s.code != PM_WRITE_OUTPUT) codes.push_back(s.code);
        return codes;
    }
    int count(int code) const {
        return static_cast<int>(std::count_if(seen.begin(), seen.end(), [&](const TreeRecord& s) { return s.code == code; }));
    }
};

// Every regular file below `root`, by relative path, with its contents.
inline std::map<std::string, Bytes> tree_of(const std::filesystem::path& root) {
    namespace fs = std::filesystem;
    std::map<std::string, Bytes> tree;
    if (!fs::exists(root)) return tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
        if (it->is_regular_file()) tree[it->path().lexically_relative(root).string()] = read_file(it->path().string());
    return tree;
}

// Every entry below `root` (files, directories, links), by relative path.
inline std::vector<std::string> entries_of(const std::filesystem::path& root) {
    namespace fs = std::filesystem;
    std::vector<std::string> names;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
        names.push_back(it->path().lexically_relative(root).string());
    std::sort(names.begin(), names.end());
    return names;
}

inline mode_t permissions_of(const std::string& path) {
    struct stat status {};
    stat(path.c_str(), &status);
    return status.st_mode & 07777;
}

inline long mtime_of(const std::string& path) {
    struct stat status {};
    stat(path.c_str(), &status);
    return static_cast<long>(status.st_mtim.tv_sec);
}

// Runs `body` in a child process whose files cannot grow past `limit` bytes, so
// that every write beyond fails as on a full disk (with EFBIG), and returns the
// child's result; INT32_MIN when the child did not report one.
inline int with_file_size_limit(rlim_t limit, const std::function<int()>& body) {
    int channel[2];
    if (pipe(channel) != 0) return INT32_MIN;
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        std::signal(SIGXFSZ, SIG_IGN);  // a failed write, not a killed process
        const rlimit bound{limit, limit};
        int result = INT32_MIN;
        if (setrlimit(RLIMIT_FSIZE, &bound) == 0) result = body();
        if (write(channel[1], &result, sizeof result) != sizeof result) _exit(2);
        _exit(0);
    }
    close(channel[1]);
    int result = INT32_MIN;
    if (child < 0 || read(channel[0], &result, sizeof result) != sizeof result) result = INT32_MIN;
    close(channel[0]);
    int status = 0;
    if (child > 0) waitpid(child, &status, 0);
    return result;
}


}  // namespace quoralith::test
