// Recording jobs into history sections and loading them back.
#include "sheets/history.h"

#include <algorithm>
#include <climits>
#include <string_view>

#include "base/profile_file.h"
#include "base/program_files.h"

namespace quoralith {

namespace {

constexpr const char* LAST_NUMBER_SECTION = "LastNumber";
constexpr const char* LAST_NUMBER_KEY = "num";
// Read buffer sizes: paths and texts of a job, the recording time, and the
// short texts of AlgStr and the archive flags.
constexpr std::size_t TEXT_SIZE = 128;
constexpr std::size_t RECORD_TIME_SIZE = 64;
constexpr std::size_t ALGSTR_SIZE = 9;
constexpr std::size_t ARCHIVE_FLAG_SIZE = 3;

// Read access to one section with the defaults of the profile operations.
class SectionReader {
public:
    SectionReader(const ProfileFile& file, std::string section) : file_(file), section_(std::move(section)) {}

    int integer(std::string_view key, int fallback) const {
        std::string value;
        if (!file_.get(section_, key, value)) return fallback;
        return parse_leading_int(value, fallback);
    }
    std::string text(std::string_view key, std::size_t size) const {
        std::string value;
        if (!file_.get(section_, key, value)) value.clear();
        if (value.size() > size - 1) value.resize(size - 1);
        return value;
    }

private:
    const ProfileFile& file_;
    std::string section_;
};

// The leading decimal digits of a text, 0 when it starts with anything else.
int leading_digits(std::string_view text) {
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = value * 10 + (c - '0');
    }
    return value;
}

std::string algorithm_string(const JobSettings& job) {
    std::string text = " ";
    for (int element : job.Algorithms) text += std::to_string(element);
    return text;
}

}  // namespace

std::tm local_time_now() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

std::string history_file_for(int action) {
    return locate_history_file(action == 0 ? CREATE_HISTORY_FILE : RESTORE_HISTORY_FILE);
}

HistoryRecorder::HistoryRecorder(std::string file, LocalClock clock)
    : file_(std::move(file)), clock_(clock ? std::move(clock) : LocalClock(local_time_now)) {}

int HistoryRecorder::record(JobSettings& current) {
    ProfileFile profile(file_);
    std::string last;
    int number = profile.get(LAST_NUMBER_SECTION, LAST_NUMBER_KEY, last) ? parse_leading_int(last, 0) : 0;
    if (number < 0 || number == INT_MAX) number = 0;
    ++number;
    // A file whose LastNumber was lost or edited must not have a recorded job
    // overwritten or mixed with the new one's keys.
    while (profile.has_section(std::to_string(number))) ++number;

    std::tm now = clock_();
    if (recorded_ && now.tm_hour == last_hour_ && now.tm_min == last_minute_ && now.tm_sec == last_second_)
        return 0;

    char record_time[RECORD_TIME_SIZE] = {};
    std::strftime(record_time, sizeof record_time, "%c", &now);

    const std::string section = std::to_string(number);
    bool ok = true;
    auto text = [&](const char* key, std::string_view value) { ok = profile.set(section, key, value) && ok; };
    auto integer = [&](const char* key, int value) { text(key, std::to_string(value)); };

    integer("Action", current.Action);
    text("BasePath", current.BasePath);
    text("UpdatedPath", current.UpdatedPath);
    text("Delta", current.Delta);
    text("ReportFile", current.ReportFile);
    integer("IsFile", current.IsFile);
    integer("SelfExtract", current.SelfExtract);
    integer("IncludeSubdirs", current.IncludeSubdirs);
    integer("ClearOutputDir", current.ClearOutputDir);
    text("Pattern", current.Pattern);
    text("RecordTime", record_time);
    if (current.Action != 0) {
        integer("FailureAction", current.FailureAction);
        integer("Merge", current.Merge);
        integer("OriginDate", current.OriginDate);
        integer("OriginAttrib", current.OriginAttrib);
    } else {
        integer("AppendToName", current.AppendToName);
        integer("Keep All", current.KeepAll);
        integer("AchiveBase", current.AchiveBase);
        integer("AchiveUpdated", current.AchiveUpdated);
        integer("AchiveDelta", current.AchiveDelta);
        text("AlgStr", algorithm_string(current));
        integer("FailureAction", current.FailureAction);
        integer("Stamp", current.Stamp);
        // Recorded only when asked for, so that entries without it stay as
        // they were written before.
        if (current.CompactLevel != 0) integer("CompactLevel", current.CompactLevel);
        integer("MatchNamesAction", current.MatchNamesAction);
        if (current.MatchNamesAction == 0) text("Custom Match File", current.CustomMatchFile);
    }
    if (current.ReportFile[0] == '\0') current.LogFileMode = LOG_NONE;
    integer("LogFileMode", current.LogFileMode);
    integer("ReportLevel", current.ReportLevel);
    text("ReportFile", current.ReportFile);
    ok = profile.set(LAST_NUMBER_SECTION, LAST_NUMBER_KEY, section) && ok;

    if (!ok || !profile.save()) return -1;
    // Only a Record that reached the file counts, so that retrying a failed
    // one within the same second is not taken for a repeat.
    recorded_ = true;
    last_hour_ = now.tm_hour;
    last_minute_ = now.tm_min;
    last_second_ = now.tm_sec;
    return number;
}

bool load_history_entry(const std::string& file, int number, JobSettings& current) {
    ProfileFile profile(file);
    const std::string section = std::to_string(number);
    if (number < 1 || !profile.has_section(section)) return false;
    SectionReader entry(profile, section);

    int action = entry.integer("Action", 0);
    current.Action = action != 0 ? 1 : 0;

    int log_mode = entry.integer("LogFileMode", 0);
    if (log_mode == LOG_NONE || log_mode == LOG_APPEND || log_mode == LOG_OVERWRITE) current.LogFileMode = log_mode;

    set_field(current.ReportFile, entry.text("ReportFile", TEXT_SIZE));
    set_field(current.BasePath, entry.text("BasePath", TEXT_SIZE));
    set_field(current.UpdatedPath, entry.text("UpdatedPath", TEXT_SIZE));
    set_field(current.Delta, entry.text("Delta", TEXT_SIZE));

    int kind = entry.integer("IsFile", 0);
    if (kind == JOB_SINGLE_FILE || kind == JOB_DIRECTORY || kind == JOB_ARCHIVED_DIRECTORY) current.IsFile = kind;
    current.SelfExtract = entry.integer("SelfExtract", 0);

    if (current.IsFile == JOB_DIRECTORY) {
        set_field(current.Pattern, entry.text("Pattern", TEXT_SIZE));
        current.IncludeSubdirs = entry.integer("IncludeSubdirs", 0);
        current.ClearOutputDir = entry.integer("ClearOutputDir", 0);
        if (entry.integer("MatchNamesAction", 0) != 0) {
            current.MatchNamesAction = 1;
        } else {
            current.MatchNamesAction = 0;
            set_field(current.CustomMatchFile, entry.text("Custom Match File", TEXT_SIZE));
        }
    }

    if (action == 0) {
        std::string algorithms = entry.text("AlgStr", ALGSTR_SIZE);
        for (int i = 0; i < ALGORITHM_COUNT; ++i) {
            char c = i < static_cast<int>(algorithms.size()) ? algorithms[static_cast<std::size_t>(i)] : ' ';
            current.Algorithms[i] = (c >= '0' && c <= '9') ? c - '0' : 0;
        }
        current.AchiveBase = leading_digits(entry.text("AchiveBase", ARCHIVE_FLAG_SIZE));
        current.AchiveUpdated = leading_digits(entry.text("AchiveUpdated", ARCHIVE_FLAG_SIZE));
        current.AchiveDelta = leading_digits(entry.text("AchiveDelta", ARCHIVE_FLAG_SIZE));
        current.Stamp = entry.integer("Stamp", 0);
        const int level = entry.integer("CompactLevel", 0);
        current.CompactLevel = level > 0 && level <= 22 ? level : 0;
    }

    current.AppendToName = entry.integer("AppendToName", 0);
    current.KeepAll = entry.integer("Keep All", 0);
    int failure = entry.integer("FailureAction", 0);
    current.FailureAction = (failure == 0 || failure == 1) ? failure : FAILURE_ABORT;
    current.ReportLevel = entry.integer("ReportLevel", 1);
    current.Merge = entry.integer("Merge", 0);
    current.OriginDate = entry.integer("OriginDate", 0);
    current.OriginAttrib = entry.integer("OriginAttrib", 0);
    return true;
}

std::vector<HistoryEntry> list_history(const std::string& file) {
    ProfileFile profile(file);
    std::vector<HistoryEntry> entries;
    std::string last;
    int newest = profile.get(LAST_NUMBER_SECTION, LAST_NUMBER_KEY, last) ? parse_leading_int(last, 0) : 0;
    // Walk the sections that exist rather than every number up to `num`, which
    // a hand-edited file may set to anything.
    std::vector<int> numbers;
    for (const std::string& name : profile.section_names()) {
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        int number = parse_leading_int(name, 0);
        if (number >= 1 && number <= newest && std::to_string(number) == name) numbers.push_back(number);
    }
    std::sort(numbers.begin(), numbers.end(), std::greater<>());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    for (int number : numbers) {
        SectionReader section(profile, std::to_string(number));
        HistoryEntry entry;
        entry.number = number;
        entry.base_path = section.text("BasePath", TEXT_SIZE);
        entry.updated_path = section.text("UpdatedPath", TEXT_SIZE);
        entry.delta = section.text("Delta", TEXT_SIZE);
        entry.record_time = section.text("RecordTime", RECORD_TIME_SIZE);
        if (entry.base_path.empty() || entry.updated_path.empty() || entry.delta.empty() ||
            entry.record_time.empty())
            continue;
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::string history_list_line(const HistoryEntry& entry) {
    return "base: " + entry.base_path + "\tupdate: " + entry.updated_path + "\tdelta:" + entry.delta +
           "\tdate: " + entry.record_time;
}

bool delete_history_entry(const std::string& file, int number) {
    return profile_delete_section(file, std::to_string(number));
}

}  // namespace quoralith
