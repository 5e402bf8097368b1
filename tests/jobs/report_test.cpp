// Report templates: registering, formatting fields and levels, writing by level.
#include "jobs/report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
}  // namespace quoralith
