// Whether a job may start or be recorded: the checks the Create and Restore
// sheets (and the wizard) run on the current JobSettings before a job, with
// the messages the user is shown. Toolkit-free; the caller shows the messages.
#pragma once

#include <string>
#include <vector>

#include "sheets/job_settings.h"

namespace quoralith {

// Codes of a refused job (internal: callers test only for a negative result).
enum ValidationCode : int {
    VALID_JOB = 1,
    INVALID_NO_BASE = -1,
    INVALID_NO_UPDATED = -2,
    INVALID_NO_DELTA = -3,
    INVALID_FILE_BASE_IS_DIRECTORY = -4,
    INVALID_FILE_BASE_MISSING = -5,
    INVALID_FILE_UPDATED_IS_DIRECTORY = -6,
    INVALID_FILE_UPDATED_MISSING = -7,
    INVALID_FILE_DELTA_IS_DIRECTORY = -8,
    INVALID_FILE_DELTA_MISSING = -9,
    INVALID_DIR_BASE_IS_FILE = -10,
    INVALID_DIR_BASE_MISSING = -11,
    INVALID_DIR_UPDATED_IS_FILE = -12,
    INVALID_DIR_UPDATED_MISSING = -13,
    INVALID_DIR_DELTA_IS_FILE = -14,
    // The same code serves a Create without algorithms and a directory Restore
    // without its Delta; nobody tells them apart by code.
    INVALID_NO_ALGORITHM = -15,
    INVALID_DIR_DELTA_MISSING = -15,
    // An existing folder named as the report: the extension "log" would
    // otherwise turn it into another file's name.
    INVALID_REPORT_IS_DIRECTORY = -16,
};

// The outcome of a validation: VALID_JOB, or a negative code with the
// messages to show, in order (one, or two for a missing Delta file on Restore).
struct ValidationResult {
    int code = VALID_JOB;
    std::vector<std::string> messages;
    bool ok() const { return code >= 0; }
};

// The extensions a Delta file and a report file get when they have none.
inline constexpr const char* DELTA_EXTENSION = "dlt";
inline constexpr const char* REPORT_EXTENSION = "log";

// The names and, for a Create, the algorithms: what a Record needs.
ValidationResult validate_short(const JobSettings& job);

// Everything a job needs before it starts. On the way it completes the names
// (see complete_output_names); these changes stay in `job` even when a later
// check fails. A folder named as a file output (a single-file Create's Delta,
// a single-file Restore's Updated name, the report) is refused, and keeps its
// name: "a" that is a folder must not become a job writing "a.dlt" beside it.
ValidationResult validate_full(JobSettings& job);

// What the sheets and the wizard do to the names of a job before it runs:
// drop one trailing "/" from each of the three names, give a single-file
// Create's Delta the extension "dlt" and a report file the extension "log"
// when they have none and are not existing folders.
void complete_output_names(JobSettings& job);

// Path helpers of the validation, in the platform's terms: the extension is
// what follows the last dot of the last path component ("a/b." has one,
// "a.d/b" has none).
bool has_extension(const std::string& path);
// `path` without one trailing "/" ("/" itself stays as it is).
std::string without_trailing_separator(const std::string& path);

}  // namespace quoralith
