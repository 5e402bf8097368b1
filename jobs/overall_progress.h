// The whole job's progress: the files and bytes a job will work through,
// counted before the engine starts, and the words the progress display shows
// for how far it has come (files and bytes done of all, time run, time left).
#pragma once

#include <cstdint>
#include <string>

#include "base/progress.h"
#include "jobs/progress_view.h"

namespace quoralith {

// What a job will work through: the files the engine will start (each walked
// file once, and on a directory restore with merging, each Base file that has
// no delta) and their bytes as the progress records count them (the second
// input's size; the Base's for a merged file). UNKNOWN where an archive is
// walked, which cannot be counted without unpacking it.
struct JobWork {
    std::int64_t files = OverallProgress::UNKNOWN;
    std::int64_t bytes = OverallProgress::UNKNOWN;
};

// Counts the work of an engine request with the directory walk's own rules:
// the pattern, subdirectories only with EF_INCLUDE_SUBDIRS, regular files only,
// the output tree and directory cycles passed over.
JobWork count_job_work(int type, const std::string& first, const std::string& second, const std::string& output,
                       const std::string& pattern, EngineFlags flags);

// "763 of 3000 files", or "763 files" when the total is not known.
std::string overall_files_text(const OverallProgress& progress);
// "1.5 MiB of 4.0 MiB", or "1.5 MiB" when the total is not known.
std::string overall_bytes_text(const OverallProgress& progress);
// "0:04", "12:09", "1:02:03".
std::string duration_text(std::int64_t seconds);
// "about 0:12"; "estimating" until the job has run long enough to tell, "not
// known" without totals; "0:00" once done, "none, stopped" after a stop.
std::string time_left_text(const OverallProgress& progress);
// "0 bytes", "900 bytes", "1.5 KiB", "12.0 MiB", "2.3 GiB".
std::string size_text(std::int64_t bytes);
// The share of the job done in thousandths (by bytes, by files where the bytes
// are none), or -1 when no total is known.
int overall_permille(const OverallProgress& progress);

// The estimate of the time left: the time run so far, scaled by the share not
// yet done. UNKNOWN before two seconds have passed or before any byte is done.
std::int64_t estimate_seconds_left(const OverallProgress& progress);

}  // namespace quoralith
