// The last job of each kind and the suggested output names.
#include "sheets/remembered_jobs.h"

#include "base/profile_file.h"
#include "base/recent_names.h"

namespace quoralith {

namespace {

constexpr const char* LAST_CREATE_SECTION = "Last Create";
constexpr const char* LAST_RESTORE_SECTION = "Last Restore";
constexpr const char* CREATE_SHEET_SECTION = "Create Sheet";
constexpr const char* RESTORE_SHEET_SECTION = "Restore Sheet";
constexpr std::string_view DELTA_SUFFIX = ".dlt";

const char* section_for(int action) { return action == 0 ? LAST_CREATE_SECTION : LAST_RESTORE_SECTION; }

std::string without_trailing_slash(std::string name) {
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    return name;
}

// Every stored field of a job, each under its own key, read and written by
// the same list so that the two cannot drift apart.
template <typename Visit>
void visit_fields(JobSettings& job, Visit&& visit) {
    visit.integer("IsFile", job.IsFile);
    visit.text("BasePath", job.BasePath);
    visit.text("UpdatedPath", job.UpdatedPath);
    visit.text("Delta", job.Delta);
    visit.integer("SelfExtract", job.SelfExtract);
    visit.integer("AchiveBase", job.AchiveBase);
    visit.integer("AchiveUpdated", job.AchiveUpdated);
    visit.integer("AchiveDelta", job.AchiveDelta);
    visit.text("Pattern", job.Pattern);
    visit.integer("IncludeSubdirs", job.IncludeSubdirs);
    visit.integer("ClearOutputDir", job.ClearOutputDir);
    for (int i = 0; i < ALGORITHM_COUNT; ++i)
        visit.integer(("Algorithm" + std::to_string(i)).c_str(), job.Algorithms[i]);
    visit.integer("AppendToName", job.AppendToName);
    visit.integer("KeepAll", job.KeepAll);
    visit.integer("Stamp", job.Stamp);
    visit.integer("FailureAction", job.FailureAction);
    visit.integer("Merge", job.Merge);
    visit.integer("OriginDate", job.OriginDate);
    visit.integer("OriginAttrib", job.OriginAttrib);
    visit.integer("MatchNamesAction", job.MatchNamesAction);
    visit.text("CustomMatchFile", job.CustomMatchFile);
    visit.text("ReportFile", job.ReportFile);
    visit.integer("LogFileMode", job.LogFileMode);
    visit.integer("ReportLevel", job.ReportLevel);
}

struct Writer {
    ProfileFile& file;
    const char* section;
    bool ok = true;
    void integer(const char* key, int& value) { ok = file.set(section, key, std::to_string(value)) && ok; }
    template <std::size_t N>
    void text(const char* key, char (&field)[N]) { ok = file.set(section, key, field) && ok; }
};

struct Reader {
    const ProfileFile& file;
    const char* section;
    void integer(const char* key, int& value) {
        std::string text;
        if (file.get(section, key, text)) value = parse_leading_int(text, value);
    }
    template <std::size_t N>
    void text(const char* key, char (&field)[N]) {
        std::string value;
        if (file.get(section, key, value)) set_field(field, value);
    }
};

// Values outside a field's choices (a hand-edited file) fall back to the
// defaults rather than reach the pages' rules.
void keep_in_range(JobSettings& job) {
    const JobSettings defaults;
    if (job.IsFile < JOB_SINGLE_FILE || job.IsFile > JOB_ARCHIVED_DIRECTORY) job.IsFile = defaults.IsFile;
    if (job.FailureAction < FAILURE_COPY || job.FailureAction > FAILURE_ABORT)
        job.FailureAction = defaults.FailureAction;
    if (job.LogFileMode < LOG_NONE || job.LogFileMode > LOG_OVERWRITE) job.LogFileMode = defaults.LogFileMode;
    if (job.ReportLevel < 1 || job.ReportLevel > 3) job.ReportLevel = defaults.ReportLevel;
}

}  // namespace

bool remember_job(const JobSettings& job) {
    bool ok = add_recent_name(RECENT_BASE, job.BasePath);
    ok = add_recent_name(RECENT_UPDATED, job.UpdatedPath) && ok;
    ok = add_recent_name(RECENT_DELTA, job.Delta) && ok;
    if (job.ReportFile[0] != '\0') ok = add_recent_name(RECENT_REPORT, job.ReportFile) && ok;

    const std::string path = recent_names_file();
    if (path.empty()) return false;
    ProfileFile file(path);
    JobSettings copy;
    copy_settings(copy, job);
    // A match list built on the page lives in that sheet's own temporary
    // file, which goes with the sheet; only a file of the user's is kept.
    if (copy.MatchNamesAction != 0) copy.CustomMatchFile[0] = '\0';
    Writer writer{file, section_for(job.Action)};
    visit_fields(copy, writer);
    return writer.ok && file.save() && ok;
}

bool recall_last_job(int action, JobSettings& job) {
    const std::string path = recent_names_file();
    if (path.empty()) return false;
    ProfileFile file(path);
    if (!file.has_section(section_for(action))) return false;
    JobSettings loaded;
    copy_settings(loaded, job);
    Reader reader{file, section_for(action)};
    visit_fields(loaded, reader);
    keep_in_range(loaded);
    loaded.Action = action == 0 ? 0 : 1;
    copy_settings(job, loaded);
    return true;
}

bool remember_sheet_size(bool create, int width, int height) {
    const std::string path = recent_names_file();
    if (path.empty()) return false;
    ProfileFile file(path);
    const char* section = create ? CREATE_SHEET_SECTION : RESTORE_SHEET_SECTION;
    return file.set(section, "Width", std::to_string(width)) && file.set(section, "Height", std::to_string(height)) &&
           file.save();
}

bool recall_sheet_size(bool create, int& width, int& height) {
    const std::string path = recent_names_file();
    if (path.empty()) return false;
    ProfileFile file(path);
    const char* section = create ? CREATE_SHEET_SECTION : RESTORE_SHEET_SECTION;
    std::string w, h;
    if (!file.get(section, "Width", w) || !file.get(section, "Height", h)) return false;
    width = parse_leading_int(w, 0);
    height = parse_leading_int(h, 0);
    return width > 0 && height > 0;
}

std::string suggested_delta_name(const std::string& updated) {
    const std::string name = without_trailing_slash(updated);
    if (name.empty()) return {};
    return name + std::string(DELTA_SUFFIX);
}

std::string suggested_restored_name(const std::string& delta, const std::string& base) {
    const std::string name = without_trailing_slash(delta);
    if (name.empty()) return {};
    const std::size_t slash = name.rfind('/');
    const std::size_t last = slash == std::string::npos ? 0 : slash + 1;
    std::string stem = name;
    if (name.size() - last > DELTA_SUFFIX.size() && name.ends_with(DELTA_SUFFIX)) {
        stem.resize(name.size() - DELTA_SUFFIX.size());
        if (stem != without_trailing_slash(base)) return stem;
    }
    return stem + ".restored";
}

}  // namespace quoralith
