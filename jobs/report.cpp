// Report templates, line formatting and the report file.
#include "jobs/report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/printable.h"

namespace quoralith {

namespace {

struct StockTemplate {
    std::uint32_t id;
    const char* text;
};

// The program's report lines, in ascending order of id.
constexpr StockTemplate STOCK_TEMPLATES[] = {
    {65000, "@1_________________________________________________________"},
    {65001, "%1========S T A R T   O F   R E P O R T========"},
    {65002, "%1Quoralith process started at @1________________________ using parameters:"},
    {65003, "%1Operation: @1_________  Type: @2________"},
    {65004, "%1Algorithms: @1___________________"},
    {65005, "%1Base:    @1_________________________________________________"},
    {65006, "%1Updated: @1_________________________________________________"},
    {65007, "%1Delta:   @1_________________________________________________"},
    {65010, "%1Quoralith process ended   at @1________________________"},
    {65011, "%1*** No errors detected ***"},
    {65012, "%1!!! @1____ error(s) detected !!!"},
    {65013, "%1Quoralith statistics"},
    {65014, "%1Time: @1____ sec. compression: @2___% (@3___%), relative: @4___%(@5___%)"},
    {65015, "%1========E N D   O F   R E P O R T=========="},
    {65016, "%2At @1________ started: file @2____________________"},
    {65018, "%2At @1________ ended:   file @2____________________"},
    {65019, "%2Time @1___ sec. compression: @2___% (@3___%), relative: @4___%(@5___%)"},
    {65020, "%3  Alg @1_ time @2____ compression: @3___% (@4___%), relative: @5___%(@6___%)"},
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

const char* ReportTemplates::find(std::uint32_t id) const {
    if (id == 0) return nullptr;
    for (const Slot& slot : slots_)
        if (slot.id == id) return slot.text;
    return nullptr;
}

int report_register_template(ReportTemplates& table, std::uint32_t id, std::string_view text) {
    for (ReportTemplates::Slot& slot : table.slots_) {
        if (slot.id == id && id != 0) return -2;
        if (slot.id == 0) {
            std::size_t length = text.size() < ReportTemplates::TEXT_SIZE - 1 ? text.size()
                                                                               : ReportTemplates::TEXT_SIZE - 1;
            text.copy(slot.text, length);
            slot.text[length] = '\0';
            slot.id = id;
            return 0;
        }
    }
    return -1;
}

void load_report_templates(ReportTemplates& table) {
    for (const StockTemplate& stock : STOCK_TEMPLATES) report_register_template(table, stock.id, stock.text);
}

int report_format(const ReportTemplates& table, std::uint32_t id, std::string& out,
                  std::span<const std::string> args) {
    out.clear();
    const char* text = table.find(id);
    if (!text) {
        out = std::to_string(id) + "  MSGID not found !!";
        return 1;
    }
    int level = 1;
    if (text[0] == '%' && is_digit(text[1])) {
        level = text[1] - '0';
        text += 2;
    }
    for (const char* p = text; *p;) {
        if (*p != '@') {
            out += *p++;
            continue;
        }
        ++p;
        std::size_t field = 0;
        if (is_digit(*p)) field = static_cast<std::size_t>(*p++ - '0');
        // The underscores only mark the field's width in the template.
        while (*p == '_') ++p;
        if (field >= 1 && field <= args.size())
            out += args[field - 1];
        else
            out += '?';
    }
    return level;
}

bool ReportFile::open(const std::string& path, int mode, int level_limit) {
    close();
    ok_ = true;
    level_limit_ = level_limit;
    if (mode != 1 && mode != 2) return true;
    struct stat named {};
    const bool exists = stat(path.c_str(), &named) == 0;
    if (exists && S_ISDIR(named.st_mode)) return false;
    if (mode == 2 && (!exists || S_ISREG(named.st_mode))) {
        // A new report goes to a temporary (the leftovers of killed jobs
        // removed first) and replaces the name, a link there too, when whole.
        // It keeps the permission bits of the report it replaces.
        remove_dead_temporaries(folder_of(path));
        if (replacement_.create_beside(path) != 0) return false;
        if (exists) fchmod(fileno(replacement_.file()), named.st_mode & 07777);
        file_ = replacement_.file();
        target_ = path;
        return true;
    }
    // Appending, or a pipe or device. The open never waits: a pipe that nobody
    // reads would hold the job before it started. Such a report fails like
    // any file that cannot be opened.
    const int fd = ::open(path.c_str(),
                          O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (mode == 1 ? O_APPEND : O_TRUNC),
                          0666);
    if (fd < 0) return false;
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 || !(file_ = fdopen(fd, mode == 1 ? "a" : "w"))) {
        ::close(fd);
        return false;
    }
    struct stat opened {};
    if (mode == 1 && fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode)) append_from_ = opened.st_size;
    return true;
}

void ReportFile::fail() {
    ok_ = false;
    // Half a report (or half a line) appended would pass for a whole one:
    // the file goes back to what it was. A new report's temporary is simply
    // not put in place.
    if (file_ && append_from_ >= 0) {
        [[maybe_unused]] const int cut = ftruncate(fileno(file_), static_cast<off_t>(append_from_));
    }
}

bool ReportFile::close() {
    if (!file_) return ok_;
    if (replacement_.active()) {
        file_ = nullptr;  // the temporary's stream: it goes with the commit
        if (ok_ && replacement_.commit(target_) != 0) ok_ = false;
        replacement_.abandon();
        target_.clear();
        return ok_;
    }
    // An appended report is whole once it is on the disk; a write that fails
    // only there (a full disk found late) cuts it back too.
    if (ok_ && append_from_ >= 0 && fsync(fileno(file_)) != 0 && errno != EINVAL) fail();
    if (std::fclose(file_) != 0) ok_ = false;
    file_ = nullptr;
    append_from_ = -1;
    return ok_;
}

void report_write(ReportFile& report, std::uint32_t id, std::span<const std::string> args) {
    // After a failed write no line follows: a report with a hole would read as whole.
    if (!report.file_ || !report.ok_) return;
    std::string line;
    int level = report_format(*report.templates_, id, line, args);
    if (level > report.level_limit_) return;
    // Paths come from file systems that allow any byte but "/" in a name; a
    // report is read on terminals too, so their control characters are escaped.
    line = printable_name(line);
    line += '\n';
    // Each line reaches the file at once, so a report of a long job that is
    // killed still shows how far it got (a new one in its temporary).
    if (std::fwrite(line.data(), 1, line.size(), report.file_) != line.size() || std::fflush(report.file_) != 0)
        report.fail();
}

}  // namespace quoralith
