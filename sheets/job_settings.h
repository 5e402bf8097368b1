// The record that describes one Create or Restore job completely. The sheets
// and the wizard edit it field by field, the job runner turns it into one
// engine request, and the history stores it as one numbered profile section.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace quoralith {

class ProgressView;

// Sizes of the fixed text fields; a field of N bytes holds at most N-1 characters.
constexpr std::size_t PATH_FIELD_SIZE = 128;
constexpr std::size_t PATTERN_FIELD_SIZE = 32;
constexpr int ALGORITHM_COUNT = 8;

// Values of JobSettings::IsFile.
constexpr int JOB_SINGLE_FILE = 0;
constexpr int JOB_DIRECTORY = 1;
constexpr int JOB_ARCHIVED_DIRECTORY = 2;

// Values of JobSettings::LogFileMode.
constexpr int LOG_NONE = 0;
constexpr int LOG_APPEND = 1;
constexpr int LOG_OVERWRITE = 2;

// Values of JobSettings::FailureAction.
constexpr int FAILURE_COPY = 0;
constexpr int FAILURE_SKIP = 1;
constexpr int FAILURE_ABORT = 2;

// The CompactLevel a "Compact" tick records.
constexpr int COMPACT_LEVEL_ON = 19;

// A plain record copied by value. Its default member values are the job
// defaults, so JobSettings{} is a freshly reset record.
struct JobSettings {
    int Action = 0;  // 0 Create, 1 Restore
    char BasePath[PATH_FIELD_SIZE] = {};
    char UpdatedPath[PATH_FIELD_SIZE] = {};
    char Delta[PATH_FIELD_SIZE] = {};
    int IsFile = JOB_SINGLE_FILE;
    int SelfExtract = 0;
    int AchiveBase = 0;
    int AchiveUpdated = 0;
    int AchiveDelta = 0;
    char Pattern[PATTERN_FIELD_SIZE] = {};
    int IncludeSubdirs = 1;
    int ClearOutputDir = 0;
    int Algorithms[ALGORITHM_COUNT] = {0, 0, 0, 0, 0, 0, 0, 1};
    int AppendToName = 0;
    int KeepAll = 0;
    // The compact format's level: 0 makes no compact delta; any other value
    // adds one to the candidates (alone when no algorithm is ticked).
    int CompactLevel = 0;
    int Stamp = 1;  // 1 short stamp, 0 long stamp
    int FailureAction = FAILURE_COPY;
    int Merge = 0;
    int OriginDate = 1;
    int OriginAttrib = 1;
    int MatchNamesAction = 0;  // 0 the customer's match file, 1 built on the page
    std::FILE* MatchFileStream = nullptr;  // not stored; owned by the Name Matching page
    char CustomMatchFile[PATH_FIELD_SIZE] = {};
    char MatchBaseEntry[PATH_FIELD_SIZE] = {};
    char MatchUpdatedEntry[PATH_FIELD_SIZE] = {};
    char ReportFile[PATH_FIELD_SIZE] = {};
    int LogFileMode = LOG_NONE;
    int UseProgressWindow = 1;
    int ReportLevel = 1;
    ProgressView* ProgressWindow = nullptr;  // not stored; owned by whoever starts the job
};

// Fills `settings` with the defaults.
void reset_to_defaults(JobSettings& settings);
// Copies every field of `from` into `to`.
void copy_settings(JobSettings& to, const JobSettings& from);

// Stores `text` in a fixed field, cut to the field's size minus its terminator.
template <std::size_t N>
void set_field(char (&field)[N], std::string_view text) {
    std::size_t length = text.size() < N - 1 ? text.size() : N - 1;
    text.copy(field, length);
    field[length] = '\0';
}

}  // namespace quoralith
