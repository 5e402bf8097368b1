// The report file: numbered line templates with a level prefix ("%1" job
// summary, "%2" per file, "%3" per algorithm candidate) and numbered fields
// ("@1_____"), formatted one line at a time and written when their level is
// within the job's report level.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "engine/safe_output.h"

namespace quoralith {

// Ids of the report line templates.
enum ReportTemplateId : std::uint32_t {
    REPORT_TEXT = 65000,
    REPORT_START = 65001,
    REPORT_STARTED_AT = 65002,
    REPORT_OPERATION = 65003,
    REPORT_ALGORITHMS = 65004,
    REPORT_BASE = 65005,
    REPORT_UPDATED = 65006,
    REPORT_DELTA = 65007,
    REPORT_ENDED_AT = 65010,
    REPORT_NO_ERRORS = 65011,
    REPORT_ERRORS = 65012,
    REPORT_STATISTICS = 65013,
    REPORT_JOB_FIGURES = 65014,
    REPORT_END = 65015,
    REPORT_FILE_STARTED = 65016,
    REPORT_FILE_ENDED = 65018,
    REPORT_FILE_FIGURES = 65019,
    REPORT_CANDIDATE_FIGURES = 65020,
};

// The template table: 50 slots of an id (0 = free) and a text of at most 79
// characters. Filled once at start-up and then only read.
class ReportTemplates {
public:
    static constexpr std::size_t SLOT_COUNT = 50;
    static constexpr std::size_t TEXT_SIZE = 80;

    // The text registered under `id`, or nullptr.
    const char* find(std::uint32_t id) const;

private:
    friend int report_register_template(ReportTemplates& table, std::uint32_t id, std::string_view text);
    struct Slot {
        std::uint32_t id = 0;
        char text[TEXT_SIZE] = {};
    };
    std::array<Slot, SLOT_COUNT> slots_{};
};

// Puts `text` (cut to 79 characters) into the first free slot. Returns 0; -2
// when `id` is already registered (its text is kept); -1 when every slot is taken.
int report_register_template(ReportTemplates& table, std::uint32_t id, std::string_view text);

// Registers the program's own templates 65000 to 65020.
void load_report_templates(ReportTemplates& table);

// Formats template `id` with `args` into `out` and returns its level. Field N
// takes argument N as it is (neither padded nor cut); a field without an
// argument, or an "@" without a digit, reads "?". An unknown id gives the id
// followed by "  MSGID not found !!" at level 1. Long arguments make long lines:
// a report line is never cut, so that paths appear whole.
int report_format(const ReportTemplates& table, std::uint32_t id, std::string& out,
                  std::span<const std::string> args);

// The open report of one job: the file, the level limit and the templates.
class ReportFile {
public:
    explicit ReportFile(const ReportTemplates& templates) : templates_(&templates) {}
    ~ReportFile() { close(); }
    ReportFile(const ReportFile&) = delete;
    ReportFile& operator=(const ReportFile&) = delete;

    // mode 1 appends to `path`, 2 creates it anew; any other mode opens nothing.
    // Returns false when a report was asked for and the file did not open.
    //
    // A new report is written to a temporary beside `path` and takes its name
    // at close() only when every line was written: a report that cannot be
    // finished (a full disk) leaves the earlier one whole. A link at `path`
    // is replaced by the new report, never written through; a pipe or device
    // (also through a link, as /dev/stdout) is written directly. A report
    // appended to a file that cannot be finished is cut off again: the file
    // keeps its old length.
    bool open(const std::string& path, int mode, int level_limit);
    bool is_open() const { return file_ != nullptr; }
    // Closes the file (and puts a new report in place); false when a write,
    // the close or the rename failed.
    bool close();
    // True when every line so far was written.
    bool ok() const { return ok_; }

    const ReportTemplates& templates() const { return *templates_; }
    int level_limit() const { return level_limit_; }

private:
    friend void report_write(ReportFile& report, std::uint32_t id, std::span<const std::string> args);
    // A write failed: an appended report is cut back, and no line follows.
    void fail();

    const ReportTemplates* templates_;
    std::FILE* file_ = nullptr;
    SafeOutput replacement_;    // a new report until it takes its name
    std::string target_;        // the name a new report takes
    long long append_from_ = -1;  // the length of an appended-to file before this report
    int level_limit_ = 1;
    bool ok_ = true;
};

// Formats and writes one line when a report is open and the line's level is
// within the limit.
void report_write(ReportFile& report, std::uint32_t id, std::span<const std::string> args);
inline void report_write(ReportFile& report, std::uint32_t id, std::initializer_list<std::string> args) {
    report_write(report, id, std::span<const std::string>(args.begin(), args.size()));
}

}  // namespace quoralith
