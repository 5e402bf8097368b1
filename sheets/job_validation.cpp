// The checks run on a job before it starts or is recorded.
#include "sheets/job_validation.h"

#include <sys/stat.h>

namespace quoralith {

namespace {

ValidationResult refuse(int code, std::string message) {
    ValidationResult result;
    result.code = code;
    result.messages.push_back(std::move(message));
    return result;
}

// What the file system says about a name (links are followed, as opening
// the name would).
struct NameStatus {
    bool exists = false;
    bool directory = false;
};

NameStatus status_of(const char* name) {
    struct stat info {};
    NameStatus status;
    if (::stat(name, &info) != 0) return status;
    status.exists = true;
    status.directory = S_ISDIR(info.st_mode);
    return status;
}

template <std::size_t N>
void drop_trailing_separator(char (&field)[N]) {
    set_field(field, without_trailing_separator(field));
}

template <std::size_t N>
void add_missing_extension(char (&field)[N], const char* extension) {
    std::string path = field;
    if (has_extension(path)) return;
    set_field(field, path + "." + extension);
}

ValidationResult validate_single_file(const JobSettings& job) {
    bool create = job.Action == 0;
    NameStatus base = status_of(job.BasePath);
    if (!base.exists) return refuse(INVALID_FILE_BASE_MISSING, "Base name does not exist");
    if (base.directory)
        return refuse(INVALID_FILE_BASE_IS_DIRECTORY,
                      "Base name is a Directory name. You may only specify a File name! ");
    if (create) {
        NameStatus updated = status_of(job.UpdatedPath);
        if (!updated.exists) return refuse(INVALID_FILE_UPDATED_MISSING, "Updated name does not exist");
        if (updated.directory)
            return refuse(INVALID_FILE_UPDATED_IS_DIRECTORY,
                          "Updated name is a Directory name. You may only specify a File name!");
    } else {
        // The Updated name is the restore's output; an existing folder there
        // cannot take a file.
        if (status_of(job.UpdatedPath).directory)
            return refuse(INVALID_FILE_UPDATED_IS_DIRECTORY,
                          "Updated name is a Directory name. You may only specify a File name!");
        NameStatus delta = status_of(job.Delta);
        if (!delta.exists) {
            ValidationResult result =
                refuse(INVALID_FILE_DELTA_MISSING, std::string("File  ") + job.Delta + " could not be found");
            result.messages.emplace_back("Delta name does not exist");
            return result;
        }
        if (delta.directory)
            return refuse(INVALID_FILE_DELTA_IS_DIRECTORY,
                          "Delta name is a Directory name. You may only specify a File name!");
    }
    return {};
}

ValidationResult validate_directory(const JobSettings& job) {
    bool create = job.Action == 0;
    NameStatus base = status_of(job.BasePath);
    if (!base.exists) return refuse(INVALID_DIR_BASE_MISSING, "Base name does not exist");
    if (!base.directory && job.AchiveBase == 0)
        return refuse(INVALID_DIR_BASE_IS_FILE,
                      "Base  name  is a File name. You may only specify a Directory name! ");
    // On Restore the Updated name is the output and may be missing; on Create
    // the Delta name is. A missing name is not tested for its kind.
    NameStatus updated = status_of(job.UpdatedPath);
    if (create && !updated.exists) return refuse(INVALID_DIR_UPDATED_MISSING, "Updated name does not exist");
    if (updated.exists && !updated.directory && job.AchiveUpdated == 0)
        return refuse(INVALID_DIR_UPDATED_IS_FILE,
                      "Updated name  is a File name. You may only specify a Directory name!");
    NameStatus delta = status_of(job.Delta);
    if (!create && !delta.exists) return refuse(INVALID_DIR_DELTA_MISSING, "Delta name does not exist");
    // An archived-directory job's delta is one file, so there a file is what
    // the Delta must be: refusing it would leave the job no Delta that passes.
    if (job.IsFile == JOB_ARCHIVED_DIRECTORY) {
        if (delta.exists && delta.directory)
            return refuse(INVALID_FILE_DELTA_IS_DIRECTORY,
                          "Delta name is a Directory name. You may only specify a File name!");
        return {};
    }
    if (delta.exists && !delta.directory && job.AchiveDelta == 0)
        return refuse(INVALID_DIR_DELTA_IS_FILE,
                      "Delta name is a File name. You may only specify a Directory name!");
    return {};
}

}  // namespace

bool has_extension(const std::string& path) {
    std::size_t slash = path.rfind('/');
    std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    return path.find('.', start) != std::string::npos;
}

std::string without_trailing_separator(const std::string& path) {
    if (path.size() > 1 && path.back() == '/') return path.substr(0, path.size() - 1);
    return path;
}

ValidationResult validate_short(const JobSettings& job) {
    if (job.BasePath[0] == '\0') return refuse(INVALID_NO_BASE, "Base name must be specified.");
    if (job.UpdatedPath[0] == '\0') return refuse(INVALID_NO_UPDATED, "Updated name must be specified.");
    if (job.Delta[0] == '\0') return refuse(INVALID_NO_DELTA, "Delta  name must be specified.");
    if (job.Action == 0) {
        // The compact format is a candidate of its own: alone, it is enough.
        bool any = job.CompactLevel != 0;
        for (int element : job.Algorithms) any = any || element != 0;
        if (!any) return refuse(INVALID_NO_ALGORITHM, "At least one algorithm must be specified");
    }
    return {};
}

void complete_output_names(JobSettings& job) {
    drop_trailing_separator(job.BasePath);
    drop_trailing_separator(job.UpdatedPath);
    drop_trailing_separator(job.Delta);
    // A folder keeps its name: with an extension it would name another file,
    // which the next try would then write.
    if (job.IsFile == JOB_SINGLE_FILE && job.Action == 0 && !status_of(job.Delta).directory)
        add_missing_extension(job.Delta, DELTA_EXTENSION);
    if (job.ReportFile[0] != '\0' && !status_of(job.ReportFile).directory)
        add_missing_extension(job.ReportFile, REPORT_EXTENSION);
}

ValidationResult validate_full(JobSettings& job) {
    ValidationResult names = validate_short(job);
    if (!names.ok()) return names;

    complete_output_names(job);
    const bool delta_is_folder = job.IsFile == JOB_SINGLE_FILE && job.Action == 0 && status_of(job.Delta).directory;
    const bool report_is_folder = job.ReportFile[0] != '\0' && status_of(job.ReportFile).directory;

    ValidationResult result = job.IsFile == JOB_SINGLE_FILE ? validate_single_file(job) : validate_directory(job);
    if (!result.ok()) return result;
    if (delta_is_folder)
        return refuse(INVALID_FILE_DELTA_IS_DIRECTORY,
                      "Delta name is a Directory name. You may only specify a File name!");
    if (report_is_folder)
        return refuse(INVALID_REPORT_IS_DIRECTORY,
                      "Report name is a Directory name. You may only specify a File name!");
    return result;
}

}  // namespace quoralith
