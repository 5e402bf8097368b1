// The rules of the job pages, apart from any toolkit: which controls a job's
// settings enable, show and tick, what a click writes into the record, which
// Browse asks for a file and which for a folder, and which help topic a page
// names. The Create and Restore sheets and the wizard share them.
#pragma once

#include <string>
#include <string_view>

#include "sheets/job_settings.h"

namespace quoralith {

// --- General page -------------------------------------------------------

// What the General page shows for a job.
struct GeneralPageState {
    int checked_kind = JOB_SINGLE_FILE;  // the radio ticked: the job's IsFile
    // Include Subdirectories, Clear Output Directory, the Pattern edit, its
    // label and the Directory Options group.
    bool directory_options_enabled = false;
    bool include_subdirs_checked = false;
    bool clear_output_checked = false;
    bool base_archivator_visible = false;
    bool updated_archivator_visible = false;
    bool delta_archivator_visible = false;
    bool base_archivator_checked = false;
    bool updated_archivator_checked = false;
    bool delta_archivator_checked = false;
    bool self_extract_checked = false;
};
GeneralPageState general_page_state(const JobSettings& job);

// A click on a kind radio: Single File clears every archive flag, Archived
// Directory clears the Delta's (a Delta archive is not offered there).
void choose_job_kind(JobSettings& job, int kind);
// The report edit changed: the name is stored, and naming a report while
// none is asked for asks for a new one (overwrite); append stays append.
void set_report_file(JobSettings& job, std::string_view text);
// True when the three names are all given (Record may be offered).
bool names_complete(const JobSettings& job);

// What a Browse button asks the user for.
enum class BrowseKind { File, Folder };
BrowseKind base_browse_kind(const JobSettings& job);
BrowseKind updated_browse_kind(const JobSettings& job);
BrowseKind delta_browse_kind(const JobSettings& job);

// --- Delta Algorithms page ----------------------------------------------

struct AlgorithmsPageState {
    bool algorithm_checked[ALGORITHM_COUNT] = {};
    bool keep_smallest_checked = false;
    bool keep_all_checked = false;
    bool keep_all_enabled = true;
    bool append_checked = false;
    bool append_enabled = true;
};
// A directory job keeps only the smallest delta and never numbers names; a
// single-file job keeping several algorithms' deltas must number them. Neither
// rule changes the record.
AlgorithmsPageState algorithms_page_state(const JobSettings& job);

// --- Help topics ----------------------------------------------------------

enum class SheetPage { General, Algorithms, Advanced, NameMatching };
// The help keyword of a page of the Create (create = true) or Restore sheet
// for a job of kind `is_file`; while the history list is shown, the history's.
std::string help_keyword(bool create, SheetPage page, int is_file, bool list_shown);

inline constexpr const char* HISTORY_HELP_KEYWORD = "Play  Button";

}  // namespace quoralith
