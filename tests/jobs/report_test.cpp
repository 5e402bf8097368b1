// Report templates: registering, formatting fields and levels, writing by level.
#include "jobs/report.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/tree_test_support.h"
#include "support/test_support.h"

namespace quoralith {
namespace {

using test::ScratchDir;

std::string text_of(const std::string& path) {
    test::Bytes bytes = test::read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

std::string format(const ReportTemplates& table, std::uint32_t id, std::vector<std::string> args, int* level = nullptr) {
    std::string out;
    int got = report_format(table, id, out, args);
    if (level) *level = got;
    return out;
}

TEST(ReportFormat, FieldsTakeTheirArgumentsWhole) {
    ReportTemplates table;
    load_report_templates(table);
    int level = 0;
    EXPECT_EQ(format(table, 65003, {"Create", "Directory"}, &level), "Operation: Create  Type: Directory");
    EXPECT_EQ(level, 1);
    EXPECT_EQ(format(table, 65020, {"7", "12", "90", "9", "95", "4"}, &level),
              "  Alg 7 time 12 compression: 90% (9%), relative: 95%(4%)");
    EXPECT_EQ(level, 3);
    std::string long_path(300, 'x');
    EXPECT_EQ(format(table, 65005, {long_path}), "Base:    " + long_path) << "a long argument is never cut";
    EXPECT_EQ(format(table, 65000, {""}), "");
}

TEST(ReportFormat, MissingArgumentsAndBareFieldsReadAsQuestionMarks) {
    ReportTemplates table;
    ASSERT_EQ(report_register_template(table, 1, "%2a=@1__ b=@2__ c=@9 d=@x e=@_ f=@0"), 0);
    int level = 0;
    EXPECT_EQ(format(table, 1, {"A"}, &level), "a=A b=? c=? d=?x e=? f=?");
    EXPECT_EQ(level, 2);
    // Text brought in by an argument is not searched for fields.
    EXPECT_EQ(format(table, 1, {"@2", "B"}), "a=@2 b=B c=? d=?x e=? f=?");
    ASSERT_EQ(report_register_template(table, 2, "%xno level @1"), 0);
    EXPECT_EQ(format(table, 2, {"here"}, &level), "%xno level here");
    EXPECT_EQ(level, 1);
}

TEST(ReportFormat, UnknownIdSaysSoAtLevelOne) {
    ReportTemplates table;
    load_report_templates(table);
    int level = 0;
    EXPECT_EQ(format(table, 65017, {"x"}, &level), "65017  MSGID not found !!");
    EXPECT_EQ(level, 1);
}

TEST(ReportTemplates, DuplicatesKeepTheFirstTextAndTheTableHoldsFiftyCutTexts) {
    ReportTemplates table;
    EXPECT_EQ(report_register_template(table, 5, "first"), 0);
    EXPECT_EQ(report_register_template(table, 5, "second"), -2);
    EXPECT_STREQ(table.find(5), "first");
    EXPECT_EQ(report_register_template(table, 6, std::string(200, 'z')), 0);
    EXPECT_EQ(std::string(table.find(6)), std::string(79, 'z'));
    for (std::uint32_t id = 7; id < 7 + 48; ++id) EXPECT_EQ(report_register_template(table, id, "t"), 0);
    EXPECT_EQ(report_register_template(table, 99, "t"), -1);
    EXPECT_EQ(report_register_template(table, 5, "again"), -2);
    EXPECT_EQ(table.find(99), nullptr);
}

TEST(ReportFile, LinesAreWrittenUpToTheLevelLimit) {
    ReportTemplates table;
    load_report_templates(table);
    ScratchDir dir;
    const std::vector<std::string> expected = {
        "*** No errors detected ***\n",
        "At 09:05:00 2026 started: file out\n",
        "  Alg 0 time 1 compression: 50% (50%), relative: 50%(50%)\n",
    };
    for (int limit = 1; limit <= 3; ++limit) {
        std::string path = dir.file("r" + std::to_string(limit));
        ReportFile report(table);
        ASSERT_TRUE(report.open(path, 2, limit));
        report_write(report, 65011, {});
        report_write(report, 65016, {"09:05:00 2026", "out"});
        report_write(report, 65020, {"0", "1", "50", "50", "50", "50"});
        ASSERT_TRUE(report.close());
        std::string want;
        for (int i = 0; i < limit; ++i) want += expected[static_cast<std::size_t>(i)];
        EXPECT_EQ(text_of(path), want) << "level " << limit;
    }
}

TEST(ReportFile, ControlCharactersOfNamesAreWrittenEscaped) {
    ReportTemplates table;
    load_report_templates(table);
    ScratchDir dir;
    const std::string path = dir.file("report.txt");
    ReportFile report(table);
    ASSERT_TRUE(report.open(path, 2, 2));
    report_write(report, 65016, {"09:05:00 2026", "out/\x1b]0;owned\x07name\nnext"});
    report_write(report, 65000, {"At 09:05:01 ***ERROR*** 302 building file: caf\xc3\xa9\x9b"});
    ASSERT_TRUE(report.close());
    EXPECT_EQ(text_of(path),
              "At 09:05:00 2026 started: file out/\\x1b]0;owned\\x07name\\x0anext\n"
              "At 09:05:01 ***ERROR*** 302 building file: caf\xc3\xa9\\x9b\n");
}

TEST(ReportFile, AppendKeepsTheOldReportOverwriteReplacesItAndNoModeWritesNothing) {
    ReportTemplates table;
    load_report_templates(table);
    ScratchDir dir;
    std::string path = dir.file("report.txt");
    test::write_file(path, {'o', 'l', 'd', '\n'});
    {
        ReportFile report(table);
        ASSERT_TRUE(report.open(path, 1, 1));
        report_write(report, 65013, {});
    }
    EXPECT_EQ(text_of(path), "old\nQuoralith statistics\n");
    {
        ReportFile report(table);
        ASSERT_TRUE(report.open(path, 2, 1));
        report_write(report, 65013, {});
    }
    EXPECT_EQ(text_of(path), "Quoralith statistics\n");
    {
        ReportFile report(table);
        EXPECT_TRUE(report.open(path, 0, 1));
        EXPECT_FALSE(report.is_open());
        report_write(report, 65011, {});
    }
    EXPECT_EQ(text_of(path), "Quoralith statistics\n");
    ReportFile nowhere(table);
    EXPECT_FALSE(nowhere.open(dir.file("missing/report.txt"), 2, 1));
}

// Writes a report of `lines` lines to `path` in `mode` under a file size
// limit of `limit` bytes (a stand-in for a full disk) in a child process;
// returns 1 when the report closed as written, 0 when it failed.
int report_under_limit(const ReportTemplates& table, const std::string& path, int mode, rlim_t limit, int lines) {
    return test::with_file_size_limit(limit, [&] {
        ReportFile report(table);
        if (!report.open(path, mode, 1)) return -1;
        for (int i = 0; i < lines; ++i) report_write(report, 65000, {"line " + std::to_string(i) + std::string(40, '.')});
        return report.close() ? 1 : 0;
    });
}

std::vector<std::string> names_in(const ScratchDir& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ReportFile, AFullDiskLeavesTheOldReportWholeAndNoHalfAppend) {
    ReportTemplates table;
    load_report_templates(table);
    ScratchDir dir;
    const std::string path = dir.file("report.txt");
    std::string old;
    for (int i = 0; i < 60; ++i) old += "an earlier job's line " + std::to_string(i) + "\n";
    ASSERT_GT(old.size(), 1000u);
    test::write_file(path, test::Bytes(old.begin(), old.end()));

    // A new report that cannot be finished never takes the old one's place.
    EXPECT_EQ(report_under_limit(table, path, 2, 4096, 200), 0);
    EXPECT_EQ(text_of(path), old);
    EXPECT_EQ(names_in(dir), std::vector<std::string>{"report.txt"});

    // An append that cannot be finished is cut back to the old length, also
    // when part of it went through.
    EXPECT_EQ(report_under_limit(table, path, 1, old.size() + 1000, 200), 0);
    EXPECT_EQ(text_of(path), old);
    EXPECT_EQ(names_in(dir), std::vector<std::string>{"report.txt"});

    // With room, both work; the appended report follows the old one whole.
    EXPECT_EQ(report_under_limit(table, path, 1, 1 << 20, 3), 1);
    std::string appended = old;
    for (int i = 0; i < 3; ++i) appended += "line " + std::to_string(i) + std::string(40, '.') + "\n";
    EXPECT_EQ(text_of(path), appended);
}

TEST(ReportFile, ANewReportReplacesALinkAndKeepsTheOldModes) {
    ReportTemplates table;
    load_report_templates(table);
    ScratchDir dir;
    const std::string path = dir.file("report.txt"), elsewhere = dir.file("elsewhere.txt");
    test::write_file(elsewhere, {'k', 'e', 'e', 'p'});
    ASSERT_EQ(symlink(elsewhere.c_str(), path.c_str()), 0);
    {
        ReportFile report(table);
        ASSERT_TRUE(report.open(path, 2, 1));
        report_write(report, 65013, {});
        EXPECT_TRUE(report.close());
    }
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(text_of(path), "Quoralith statistics\n");
    EXPECT_EQ(text_of(elsewhere), "keep");

    // The replaced report's permission bits stay.
    chmod(path.c_str(), 0640);
    {
        ReportFile report(table);
        ASSERT_TRUE(report.open(path, 2, 1));
        report_write(report, 65011, {});
    }
    EXPECT_EQ(text_of(path), "*** No errors detected ***\n");
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"elsewhere.txt", "report.txt"}));
}

}  // namespace
}  // namespace quoralith
