// The job pages' rules, toolkit-free.
#include "sheets/page_rules.h"

namespace quoralith {

GeneralPageState general_page_state(const JobSettings& job) {
    GeneralPageState state;
    state.checked_kind = job.IsFile;
    state.include_subdirs_checked = job.IncludeSubdirs != 0;
    state.clear_output_checked = job.ClearOutputDir != 0;
    switch (job.IsFile) {
        case JOB_DIRECTORY:
            state.directory_options_enabled = true;
            state.base_archivator_visible = state.updated_archivator_visible = true;
            state.delta_archivator_visible = true;
            break;
        case JOB_ARCHIVED_DIRECTORY:
            state.directory_options_enabled = true;
            state.base_archivator_visible = state.updated_archivator_visible = true;
            break;
        default: break;
    }
    if (job.SelfExtract == 1) {
        state.self_extract_checked = true;
        // A self-extractor is one file: its Delta is never a directory archive.
        if (job.IsFile == JOB_DIRECTORY) state.delta_archivator_visible = false;
    }
    state.base_archivator_checked = job.AchiveBase != 0;
    state.updated_archivator_checked = job.AchiveUpdated != 0;
    state.delta_archivator_checked = job.AchiveDelta != 0;
    return state;
}

void choose_job_kind(JobSettings& job, int kind) {
    job.IsFile = kind;
    if (kind == JOB_SINGLE_FILE) job.AchiveBase = job.AchiveUpdated = job.AchiveDelta = 0;
    if (kind == JOB_ARCHIVED_DIRECTORY) job.AchiveDelta = 0;
}

void set_report_file(JobSettings& job, std::string_view text) {
    set_field(job.ReportFile, text);
    if (job.LogFileMode == LOG_NONE && !text.empty()) job.LogFileMode = LOG_OVERWRITE;
}

bool names_complete(const JobSettings& job) {
    return job.BasePath[0] != '\0' && job.UpdatedPath[0] != '\0' && job.Delta[0] != '\0';
}

BrowseKind base_browse_kind(const JobSettings& job) {
    return job.IsFile == JOB_SINGLE_FILE || job.AchiveBase ? BrowseKind::File : BrowseKind::Folder;
}

BrowseKind updated_browse_kind(const JobSettings& job) {
    return job.IsFile == JOB_SINGLE_FILE || job.AchiveUpdated ? BrowseKind::File : BrowseKind::Folder;
}

BrowseKind delta_browse_kind(const JobSettings& job) {
    return job.SelfExtract == 1 || job.IsFile != JOB_DIRECTORY || job.AchiveDelta ? BrowseKind::File
                                                                                   : BrowseKind::Folder;
}

AlgorithmsPageState algorithms_page_state(const JobSettings& job) {
    AlgorithmsPageState state;
    int selected = 0;
    for (int i = 0; i < ALGORITHM_COUNT; ++i) {
        state.algorithm_checked[i] = job.Algorithms[i] != 0;
        if (job.Algorithms[i] == 1) ++selected;
    }
    state.append_checked = job.AppendToName != 0;
    state.keep_smallest_checked = job.KeepAll == 0;
    state.keep_all_checked = job.KeepAll == 1;
    if (job.IsFile == JOB_DIRECTORY) {
        state.keep_all_checked = false;
        state.keep_all_enabled = false;
        state.keep_smallest_checked = true;
        state.append_enabled = false;
    } else if (selected >= 2 && job.KeepAll == 1) {
        state.append_checked = true;
        state.append_enabled = false;
    }
    return state;
}

std::string help_keyword(bool create, SheetPage page, int is_file, bool list_shown) {
    if (list_shown) return HISTORY_HELP_KEYWORD;
    if (create) {
        switch (page) {
            case SheetPage::General:
                if (is_file == JOB_SINGLE_FILE) return "Create Delta/File/General";
                if (is_file == JOB_DIRECTORY) return "Create Delta/Directory/General";
                return "Creating Delta File from existing Base and Updated Archived Directories";
            case SheetPage::Algorithms:
                return is_file == JOB_SINGLE_FILE ? "Create Delta/File/Delta Algorithm"
                                                  : "Create Delta/Directory/Delta Algorithm";
            case SheetPage::Advanced: return "Create Delta/Directory/Advanced";
            case SheetPage::NameMatching: return "Create Delta/Archived Directory/Name Matching";
        }
    }
    if (page == SheetPage::General) {
        if (is_file == JOB_SINGLE_FILE) return "Restore/File/General";
        if (is_file == JOB_DIRECTORY) return "Restore/Directory/General";
        return "Restoring from Archived Directories and Delta Files";
    }
    return is_file == JOB_SINGLE_FILE ? "Restore/File/Advanced" : "Restore/Directory/Advanced";
}

}  // namespace quoralith
