// The record/play history: each recorded job is one numbered section of a
// profile file ("Qralithd.env" for Create jobs, "Qralithr.env" for Restore
// jobs), and section LastNumber holds in `num` the number of the last section
// ever written. Entries are recorded from and loaded into a JobSettings.
#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "sheets/job_settings.h"

namespace quoralith {

inline constexpr const char* CREATE_HISTORY_FILE = "Qralithd.env";
inline constexpr const char* RESTORE_HISTORY_FILE = "Qralithr.env";

// The local time now; injected so that tests control the one-entry-per-second rule.
using LocalClock = std::function<std::tm()>;
std::tm local_time_now();

// The history file of a kind of job (Action 0 Create, otherwise Restore), found
// with the side-file rule (see locate_history_file).
std::string history_file_for(int action);

// Records jobs into one history file on behalf of one sheet (or one command):
// it remembers the time of its last Record, because two Records within the
// same second make one entry.
class HistoryRecorder {
public:
    explicit HistoryRecorder(std::string file, LocalClock clock = local_time_now);

    // Stores `current` as a new section numbered one past LastNumber/num (or past
    // any section that already holds that number) and sets num to it, all in
    // one atomic write. Clears current.LogFileMode when no report file is
    // named, because a mode without a file means no report.
    // Returns the new section's number; 0 when nothing was written because
    // the previous Record was made in the same second; -1 when the write
    // failed (the file is then as it was).
    int record(JobSettings& current);

private:
    std::string file_;
    LocalClock clock_;
    bool recorded_ = false;
    int last_hour_ = 0, last_minute_ = 0, last_second_ = 0;
};

// Loads section `number` into `current`. Only the keys that belong to the
// stored kind of job are taken; fields the entry does not describe keep their
// values, and keys missing from a present section read as 0 (ReportLevel as 1).
// Returns false, leaving `current` untouched, when the section does not exist.
bool load_history_entry(const std::string& file, int number, JobSettings& current);

// One line of the history list.
struct HistoryEntry {
    int number = 0;
    std::string base_path;
    std::string updated_path;
    std::string delta;
    std::string record_time;
};

// The complete entries from LastNumber/num down to 1, newest first; sections
// with an empty or missing BasePath, UpdatedPath, Delta or RecordTime are left out.
std::vector<HistoryEntry> list_history(const std::string& file);

// The list line the history list shows for an entry (tab-separated columns).
std::string history_list_line(const HistoryEntry& entry);

// Removes section `number` with all of its keys; LastNumber/num is not changed.
bool delete_history_entry(const std::string& file, int number);

}  // namespace quoralith
