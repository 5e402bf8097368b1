// Shared pieces of the engine tests: a callback that records what it is told
// and answers as a test script says.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "run_engine.h"
#include "support/test_support.h"

namespace quoralith::test {

struct SeenRecord {
    int code;
    int algorithm;
    int result;
    int position;
    std::string output_path;
    bool has_tag;
};

// Records every callback; answers with `answer` (default: ANSWER_SKIP to
// messages, the given answer to errors).
class Recorder {
public:
    std::function<std::int16_t(const ProgressRecord&)> answer = [](const ProgressRecord&) -> std::int16_t {
        return ANSWER_SKIP;
    };
    std::vector<SeenRecord> seen;

    ProgressCallback callback() {
        return [this](const ProgressRecord& r) -> std::int16_t {
            seen.push_back({r.code, r.algorithm, r.result, r.position, r.output_path ? r.output_path : "",
                            r.restore_tag != nullptr});
            return answer(r);
        };
    }

    // The single-file operation's own messages (not the coder's transfers).
    std::vector<int> file_codes() const {
        std::vector<int> codes;
        for (const auto& s : seen)
            if (s.code != PM_READ_BASE && s.code != PM_READ_INPUT && s.code != PM_WRITE_OUTPUT) codes.push_back(s.code);
        return codes;
    }
    std::vector<int> algorithms_in_transfers() const {
        std::vector<int> algorithms;
        for (const auto& s : seen)
            if ((s.code == PM_READ_BASE || s.code == PM_READ_INPUT || s.code == PM_WRITE_OUTPUT) &&
                (algorithms.empty() || algorithms.back() != s.algorithm))
                algorithms.push_back(s.algorithm);
        return algorithms;
    }
};

inline std::vector<std::string> names_in(const ScratchDir& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

inline mode_t mode_of(const std::string& path) {
    struct stat status {};
    stat(path.c_str(), &status);
    return status.st_mode & 07777;
}

}  // namespace quoralith::test
