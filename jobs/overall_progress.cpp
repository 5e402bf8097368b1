// Counting a job's work before it runs, and the words for how far it has come.
#include "jobs/overall_progress.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "engine/dir_list.h"

namespace quoralith {

namespace {

std::int64_t file_size(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return 0;
    return status.st_size;
}

// One walk of a tree as the engine walks it. With `other` set (a merge), only
// files with nothing of their name in `other` count: those the merge copies.
class Counter {
public:
    Counter(const std::string& pattern, EngineFlags flags, const std::string& output)
        : pattern_(pattern), subdirs_(flags & EF_INCLUDE_SUBDIRS) {
        have_output_ = dir_id(output, output_);
    }

    void walk(const std::string& top, const std::string& other, JobWork& work) {
        DirId id;
        ancestors_.clear();
        if (dir_id(top, id)) ancestors_.push_back(id);
        level(top, other, work);
    }

private:
    void level(const std::string& dir, const std::string& other, JobWork& work) {
        for (const DirEntry& entry : engine_list_dir(dir, pattern_)) {
            const std::string path = join_path(dir, entry.name);
            const std::string other_path = other.empty() ? std::string() : join_path(other, entry.name);
            if (entry.is_directory()) {
                if (!subdirs_) continue;
                DirId id;
                if (!dir_id(path, id)) continue;
                // The output tree inside the walked tree is not walked, nor a
                // directory that is its own ancestor (a bind mount).
                if (have_output_ && id == output_) continue;
                if (std::find(ancestors_.begin(), ancestors_.end(), id) != ancestors_.end()) continue;
                ancestors_.push_back(id);
                level(path, other_path, work);
                ancestors_.pop_back();
                continue;
            }
            if (entry.kind != EntryKind::File) continue;  // passed over, never started
            if (!other.empty()) {
                struct stat status {};
                if (lstat(other_path.c_str(), &status) == 0) continue;  // restored from its delta
            }
            ++work.files;
            work.bytes += file_size(path);
        }
    }

    const std::string& pattern_;
    const bool subdirs_;
    DirId output_{};
    bool have_output_ = false;
    std::vector<DirId> ancestors_;
};

std::string one_decimal(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

}  // namespace

JobWork count_job_work(int type, const std::string& first, const std::string& second, const std::string& output,
                       const std::string& pattern, EngineFlags flags) {
    JobWork work;
    if (type == OP_CREATE_FILE || type == OP_RESTORE_FILE) {
        work.files = 1;
        work.bytes = file_size(second);
        return work;
    }
    if (type != OP_CREATE_DIR && type != OP_RESTORE_DIR) return work;
    // The walked tree is the second input; held as an archive, it is unpacked
    // only once the job runs.
    const bool create = type == OP_CREATE_DIR;
    if (flags & (create ? EF_ARCHIVE_UPDATED : EF_ARCHIVE_DELTA)) return work;
    const bool merge = !create && (flags & EF_MERGE) && first != output;
    if (merge && (flags & EF_ARCHIVE_BASE)) return work;

    work.files = 0;
    work.bytes = 0;
    Counter counter(pattern, flags, output);
    counter.walk(second, {}, work);
    if (merge) counter.walk(first, second, work);
    return work;
}

std::string size_text(std::int64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    static constexpr const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes) / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit < 3) {
        value /= 1024.0;
        ++unit;
    }
    return one_decimal(value) + " " + units[unit];
}

std::string duration_text(std::int64_t seconds) {
    if (seconds < 0) seconds = 0;
    char text[48];
    const long long hours = seconds / 3600, minutes = seconds / 60 % 60, rest = seconds % 60;
    if (hours > 0)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", hours, minutes, rest);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", minutes, rest);
    return text;
}

std::string overall_files_text(const OverallProgress& progress) {
    const std::string noun = progress.files_total == 1 ? " file" : " files";
    if (progress.files_total < 0)
        return std::to_string(progress.files_done) + (progress.files_done == 1 ? " file" : " files");
    return std::to_string(progress.files_done) + " of " + std::to_string(progress.files_total) + noun;
}

std::string overall_bytes_text(const OverallProgress& progress) {
    if (progress.bytes_total < 0) return size_text(progress.bytes_done);
    return size_text(progress.bytes_done) + " of " + size_text(progress.bytes_total);
}

std::string time_left_text(const OverallProgress& progress) {
    if (progress.stopped) return "none, stopped";
    if (progress.seconds_left == 0) return "0:00";
    if (progress.seconds_left < 0) return progress.files_total < 0 && progress.bytes_total < 0 ? "not known" : "estimating";
    return "about " + duration_text(progress.seconds_left);
}

int overall_permille(const OverallProgress& progress) {
    auto share = [](std::int64_t done, std::int64_t total) {
        return static_cast<int>(std::clamp<std::int64_t>(done * 1000 / total, 0, 1000));
    };
    if (progress.bytes_total > 0) return share(progress.bytes_done, progress.bytes_total);
    if (progress.files_total > 0) return share(progress.files_done, progress.files_total);
    if (progress.files_total == 0) return 1000;  // nothing to do is all done
    return -1;
}

std::int64_t estimate_seconds_left(const OverallProgress& progress) {
    // Before two seconds the rate is mostly the start's noise.
    if (progress.elapsed_seconds < 2) return OverallProgress::UNKNOWN;
    const int permille = overall_permille(progress);
    if (permille <= 0) return OverallProgress::UNKNOWN;
    if (permille >= 1000) return 0;
    // By bytes where there are bytes: a share in thousandths is too coarse
    // for a long job's last minutes.
    if (progress.bytes_total > 0 && progress.bytes_done > 0) {
        const double left = static_cast<double>(progress.bytes_total - progress.bytes_done) /
                            static_cast<double>(progress.bytes_done);
        return static_cast<std::int64_t>(static_cast<double>(progress.elapsed_seconds) * left + 0.5);
    }
    return progress.elapsed_seconds * (1000 - permille) / permille;
}

}  // namespace quoralith
