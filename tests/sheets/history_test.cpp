// The history files: Record and Load of jobs, the list, deleting, and files
// read by other INI readers or edited by hand.
#include "sheets/history.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "base/profile_file.h"
#include "support/test_support.h"

namespace quoralith {
namespace {

using test::ScratchDir;

std::string text_of(const std::string& path) {
    test::Bytes bytes = test::read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

void put_text(const std::string& path, const std::string& text) {
    test::write_file(path, test::Bytes(text.begin(), text.end()));
}

// A clock the test moves by hand.
struct FakeClock {
    std::tm now{};
    FakeClock() {
        now.tm_year = 126;
        now.tm_mon = 11;
        now.tm_mday = 7;
        now.tm_hour = 9;
        now.tm_min = 5;
        now.tm_sec = 0;
    }
    LocalClock source() {
        return [this] { return now; };
    }
    void tick() { ++now.tm_sec; }
};

JobSettings create_job() {
    JobSettings job;
    job.Action = 0;
    set_field(job.BasePath, "/data/old");
    set_field(job.UpdatedPath, "/data/new");
    set_field(job.Delta, "/data/delta");
    set_field(job.ReportFile, "/data/report.txt");
    job.LogFileMode = LOG_OVERWRITE;
    job.ReportLevel = 3;
    return job;
}

JobSettings restore_job() {
    JobSettings job = create_job();
    job.Action = 1;
    job.FailureAction = FAILURE_SKIP;
    job.Merge = 1;
    job.OriginDate = 1;
    job.OriginAttrib = 0;
    return job;
}

// Key names of one section in file order, read by a parser that shares no code
// with ours.
std::vector<std::string> keys_of_section(const std::string& file, const std::string& section) {
    std::ifstream in(file);
    std::vector<std::string> keys;
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.front() == '[') {
            inside = line == "[" + section + "]";
            continue;
        }
        if (inside && line.find('=') != std::string::npos) keys.push_back(line.substr(0, line.find('=')));
    }
    return keys;
}

TEST(History, FirstRecordOfACreateJobWritesSectionOneWithItsKeysInOrder) {
    ScratchDir dir;
    std::string file = dir.file(CREATE_HISTORY_FILE);
    FakeClock clock;
    HistoryRecorder recorder(file, clock.source());
    JobSettings job = create_job();
    job.Algorithms[0] = 1;  // with the default 7
    set_field(job.CustomMatchFile, "/data/names.txt");

    EXPECT_EQ(recorder.record(job), 1);
    EXPECT_EQ(profile_read_int(file, "LastNumber", "num", 0), 1);
    EXPECT_EQ(keys_of_section(file, "1"),
              (std::vector<std::string>{"Action", "BasePath", "UpdatedPath", "Delta", "ReportFile", "IsFile",
                                        "SelfExtract", "IncludeSubdirs", "ClearOutputDir", "Pattern",
                                        "RecordTime", "AppendToName", "Keep All", "AchiveBase", "AchiveUpdated",
                                        "AchiveDelta", "AlgStr", "FailureAction", "Stamp", "MatchNamesAction",
                                        "Custom Match File", "LogFileMode", "ReportLevel"}));
    EXPECT_NE(text_of(file).find("AlgStr= 10000001\n"), std::string::npos);
    EXPECT_FALSE(profile_read_text(file, "1", "RecordTime", "", 64).empty());

    JobSettings loaded;
    std::fill(std::begin(loaded.Algorithms), std::end(loaded.Algorithms), 1);
    ASSERT_TRUE(load_history_entry(file, 1, loaded));
    EXPECT_EQ(std::vector<int>(std::begin(loaded.Algorithms), std::end(loaded.Algorithms)),
              (std::vector<int>{1, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_STREQ(loaded.BasePath, "/data/old");
    EXPECT_STREQ(loaded.Delta, "/data/delta");
    EXPECT_EQ(loaded.LogFileMode, LOG_OVERWRITE);
    EXPECT_EQ(loaded.ReportLevel, 3);
    EXPECT_EQ(loaded.Stamp, 1);
}

// CompactLevel is written only for a job that asks for a compact delta, so
// that every other entry keeps the keys it always had, and reads back as
// written; a level no program writes reads as off.
TEST(History, CompactLevelIsRecordedWhenOnAndReadBack) {
    ScratchDir dir;
    std::string file = dir.file(CREATE_HISTORY_FILE);
    FakeClock clock;
    HistoryRecorder recorder(file, clock.source());
    JobSettings job = create_job();
    job.CompactLevel = COMPACT_LEVEL_ON;
    ASSERT_EQ(recorder.record(job), 1);
    const std::vector<std::string> keys = keys_of_section(file, "1");
    EXPECT_NE(std::find(keys.begin(), keys.end(), "CompactLevel"), keys.end());
    JobSettings loaded;
    ASSERT_TRUE(load_history_entry(file, 1, loaded));
    EXPECT_EQ(loaded.CompactLevel, COMPACT_LEVEL_ON);

    clock.tick();
    job.CompactLevel = 0;
    ASSERT_EQ(recorder.record(job), 2);
    const std::vector<std::string> plain = keys_of_section(file, "2");
    EXPECT_EQ(std::find(plain.begin(), plain.end(), "CompactLevel"), plain.end());
    loaded.CompactLevel = 7;
    ASSERT_TRUE(load_history_entry(file, 2, loaded));
    EXPECT_EQ(loaded.CompactLevel, 0);

    ASSERT_TRUE(profile_write_text(file, "2", "CompactLevel", "99"));
    ASSERT_TRUE(load_history_entry(file, 2, loaded));
    EXPECT_EQ(loaded.CompactLevel, 0);
}

TEST(History, RecordsWithinOneSecondMakeOneEntry) {
    ScratchDir dir;
    std::string file = dir.file(CREATE_HISTORY_FILE);
    FakeClock clock;
    clock.now.tm_hour = clock.now.tm_min = clock.now.tm_sec = 0;
    HistoryRecorder recorder(file, clock.source());
    JobSettings job = create_job();

    EXPECT_EQ(recorder.record(job), 1) << "a Record at midnight is still written";
    EXPECT_EQ(recorder.record(job), 0);
    clock.tick();
    EXPECT_EQ(recorder.record(job), 2);
    EXPECT_EQ(profile_read_int(file, "LastNumber", "num", 0), 2);
    EXPECT_EQ(list_history(file).size(), 2u);

    // Another sheet window keeps its own memory of the last Record.
    HistoryRecorder other(file, clock.source());
    EXPECT_EQ(other.record(job), 3);
}

TEST(History, RestoreEntriesHoldRestoreKeysAndLeaveCreateFieldsAlone) {
    ScratchDir dir;
    std::string file = dir.file(RESTORE_HISTORY_FILE);
    FakeClock clock;
    HistoryRecorder recorder(file, clock.source());
    JobSettings job = restore_job();
    ASSERT_EQ(recorder.record(job), 1);
    std::vector<std::string> keys = keys_of_section(file, "1");
    EXPECT_EQ(std::vector<std::string>(keys.begin() + 11, keys.end()),
              (std::vector<std::string>{"FailureAction", "Merge", "OriginDate", "OriginAttrib", "LogFileMode",
                                        "ReportLevel"}));

    JobSettings current;
    current.Algorithms[2] = 1;
    current.AchiveBase = 1;
    current.AchiveUpdated = 1;
    current.AchiveDelta = 1;
    current.Stamp = 1;
    ASSERT_TRUE(load_history_entry(file, 1, current));
    EXPECT_EQ(current.Action, 1);
    EXPECT_EQ(current.Algorithms[2], 1);
    EXPECT_EQ(current.Algorithms[7], 1);
    EXPECT_EQ(current.AchiveBase + current.AchiveUpdated + current.AchiveDelta, 3);
    EXPECT_EQ(current.Stamp, 1);
    EXPECT_EQ(current.FailureAction, FAILURE_SKIP);
    EXPECT_EQ(current.Merge, 1);
    EXPECT_EQ(current.OriginDate, 1);
    EXPECT_EQ(current.OriginAttrib, 0);
}

TEST(History, RecordingWithoutAReportFileStoresNoReportAndNoMatchFileInBuildMode) {
    ScratchDir dir;
    std::string file = dir.file(CREATE_HISTORY_FILE);
    FakeClock clock;
    HistoryRecorder recorder(file, clock.source());
    JobSettings job = create_job();
    job.ReportFile[0] = '\0';
    job.LogFileMode = LOG_APPEND;
    job.MatchNamesAction = 1;
    set_field(job.CustomMatchFile, "/tmp/built-list");
    ASSERT_EQ(recorder.record(job), 1);
    EXPECT_EQ(job.LogFileMode, LOG_NONE);
    EXPECT_EQ(profile_read_int(file, "1", "LogFileMode", -1), 0);
    EXPECT_EQ(profile_read_text(file, "1", "Custom Match File", "absent", 128), "absent");
    EXPECT_EQ(profile_read_int(file, "1", "MatchNamesAction", -1), 1);
}

TEST(History, LoadingTakesOnlyValidValuesAndAppliesItsOwnDefaults) {
    ScratchDir dir;
    std::string file = dir.file(CREATE_HISTORY_FILE);
    put_text(file,
             "[LastNumber]\nnum=3\n"
             "[1]\nAction=0\nBasePath=b\nUpdatedPath=u\nDelta=d\nRecordTime=t\nAlgStr=101\nIsFile=5\n"
             "FailureAction=7\nLogFileMode=9\nAchiveBase=1x\nAchiveUpdated=x1\n"
             "[2]\nAction=0\nBasePath=b\nUpdatedPath=u\nDelta=d\nRecordTime=t\nIsFile=2\nPattern=*.new\n"
             "[3]\nAction=4\nBasePath=b\nUpdatedPath=u\nDelta=d\nRecordTime=t\nIsFile=1\nMatchNamesAction=3\n");

    JobSettings current;
    current.IsFile = JOB_DIRECTORY;
    current.LogFileMode = LOG_APPEND;
    ASSERT_TRUE(load_history_entry(file, 1, current));
    EXPECT_EQ(std::vector<int>(std::begin(current.Algorithms), std::end(current.Algorithms)),
              (std::vector<int>{1, 0, 1, 0, 0, 0, 0, 0}));
    EXPECT_EQ(current.IsFile, JOB_DIRECTORY) << "IsFile 5 leaves the kind as it was";
    EXPECT_EQ(current.FailureAction, FAILURE_ABORT);
    EXPECT_EQ(current.LogFileMode, LOG_APPEND);
    EXPECT_EQ(current.AchiveBase, 1);
    EXPECT_EQ(current.AchiveUpdated, 0);
    // Missing keys read as the loader's defaults, not the record's.
    EXPECT_EQ(current.Stamp, 0);
    EXPECT_EQ(current.OriginDate, 0);
    EXPECT_EQ(current.OriginAttrib, 0);
    EXPECT_EQ(current.ReportLevel, 1);
    EXPECT_EQ(current.IncludeSubdirs, 0) << "a directory job takes its directory keys";

    JobSettings kept;
    set_field(kept.Pattern, "*.keep");
    kept.IncludeSubdirs = 1;
    kept.ClearOutputDir = 1;
    kept.MatchNamesAction = 1;
    set_field(kept.CustomMatchFile, "/keep");
    ASSERT_TRUE(load_history_entry(file, 2, kept));
    EXPECT_EQ(kept.IsFile, JOB_ARCHIVED_DIRECTORY);
    EXPECT_STREQ(kept.Pattern, "*.keep");
    EXPECT_EQ(kept.IncludeSubdirs, 1);
    EXPECT_EQ(kept.ClearOutputDir, 1);
    EXPECT_EQ(kept.MatchNamesAction, 1);
    EXPECT_STREQ(kept.CustomMatchFile, "/keep");

    JobSettings restore;
    restore.Algorithms[3] = 1;
    ASSERT_TRUE(load_history_entry(file, 3, restore));
    EXPECT_EQ(restore.Action, 1);
    EXPECT_EQ(restore.Algorithms[3], 1) << "a Restore entry does not touch the algorithms";
    EXPECT_EQ(restore.MatchNamesAction, 1);

    JobSettings untouched;
    set_field(untouched.BasePath, "/mine");
    EXPECT_FALSE(load_history_entry(file, 4, untouched));
    EXPECT_STREQ(untouched.BasePath, "/mine");
}

TEST(History, LongStoredTextsAreCutToTheirFields) {
    ScratchDir dir;
    std::string file = dir.file(CREATE_HISTORY_FILE);
    std::string long_path = "/" + std::string(300, 'p');
    put_text(file, "[1]\nAction=0\nIsFile=1\nBasePath=" + long_path + "\nPattern=" + std::string(60, '*') + "\n");
    JobSettings current;
    ASSERT_TRUE(load_history_entry(file, 1, current));
    EXPECT_EQ(std::strlen(current.BasePath), PATH_FIELD_SIZE - 1);
    EXPECT_EQ(std::strlen(current.Pattern), PATTERN_FIELD_SIZE - 1);
}

TEST(History, ListShowsCompleteEntriesNewestFirstAndDeleteKeepsTheNumbering) {
    ScratchDir dir;
    std::string file = dir.file(CREATE_HISTORY_FILE);
    FakeClock clock;
    HistoryRecorder recorder(file, clock.source());
    JobSettings job = create_job();
    ASSERT_EQ(recorder.record(job), 1);
    clock.tick();
    set_field(job.BasePath, "/data/second");
    ASSERT_EQ(recorder.record(job), 2);
    clock.tick();
    job.Delta[0] = '\0';  // an entry the list cannot show
    ASSERT_EQ(recorder.record(job), 3);

    std::vector<HistoryEntry> entries = list_history(file);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].number, 2);
    EXPECT_EQ(entries[1].number, 1);
    EXPECT_EQ(history_list_line(entries[0]).substr(0, 65),
              "base: /data/second\tupdate: /data/new\tdelta:/data/delta\tdate: " + entries[0].record_time.substr(0, 4));

    ASSERT_TRUE(delete_history_entry(file, 1));
    entries = list_history(file);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].number, 2);
    EXPECT_EQ(profile_read_int(file, "LastNumber", "num", 0), 3);
    clock.tick();
    job = create_job();
    EXPECT_EQ(recorder.record(job), 4);
}

TEST(History, LostLastNumberNeverOverwritesARecordedJob) {
    ScratchDir dir;
    std::string file = dir.file(CREATE_HISTORY_FILE);
    put_text(file, "[1]\nBasePath=first\n[2]\nBasePath=second\n");
    FakeClock clock;
    HistoryRecorder recorder(file, clock.source());
    JobSettings job = create_job();
    EXPECT_EQ(recorder.record(job), 3);
    EXPECT_EQ(profile_read_text(file, "1", "BasePath", "", 128), "first");
    EXPECT_EQ(profile_read_text(file, "2", "BasePath", "", 128), "second");
}

TEST(History, HandEditedEntryWithBlanksCrlfAndOtherKeyOrderLoads) {
    ScratchDir dir;
    std::string file = dir.file(CREATE_HISTORY_FILE);
    put_text(file,
             "[lastnumber]\r\n num = 1 \r\n\r\n"
             "[ 1 ]\r\n"
             "ReportLevel = 2\r\n"
             "algstr =  00000011 \r\n"
             "  Delta =  /d/delta  \r\n"
             "BasePath=/d/base\r\n"
             "UpdatedPath=\t/d/new\r\n"
             "Keep All = 1\r\n"
             "RecordTime = Mon Dec  7 09:05:00 2026\r\n"
             "Action = 0\r\n");
    std::vector<HistoryEntry> entries = list_history(file);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].record_time, "Mon Dec  7 09:05:00 2026");
    JobSettings current;
    ASSERT_TRUE(load_history_entry(file, 1, current));
    EXPECT_STREQ(current.BasePath, "/d/base");
    EXPECT_STREQ(current.UpdatedPath, "/d/new");
    EXPECT_STREQ(current.Delta, "/d/delta");
    EXPECT_EQ(current.KeepAll, 1);
    EXPECT_EQ(current.ReportLevel, 2);
    EXPECT_EQ(current.Algorithms[6], 1);
    EXPECT_EQ(current.Algorithms[7], 1);
    EXPECT_EQ(current.Algorithms[0], 0);

    // Recording into the hand-made file keeps its CRLF line ends.
    FakeClock clock;
    HistoryRecorder recorder(file, clock.source());
    JobSettings job = create_job();
    EXPECT_EQ(recorder.record(job), 2);
    std::string text = text_of(file);
    EXPECT_NE(text.find("[2]\r\nAction=0\r\n"), std::string::npos);
    EXPECT_NE(text.find(" num=2\r\n"), std::string::npos) << text;
}

TEST(History, PythonConfigParserReadsWhatWeWrite) {
    if (std::system("python3 -c 'import configparser' >/dev/null 2>&1") != 0) GTEST_SKIP() << "no python3";
    ScratchDir dir;
    std::string file = dir.file(CREATE_HISTORY_FILE);
    FakeClock clock;
    HistoryRecorder recorder(file, clock.source());
    JobSettings job = create_job();
    set_field(job.BasePath, "/data/50% off; [old] = yes");
    ASSERT_EQ(recorder.record(job), 1);
    clock.tick();
    JobSettings restore = restore_job();
    ASSERT_EQ(recorder.record(restore), 2);

    std::string script = dir.file("read.py");
    std::string out = dir.file("out.txt");
    put_text(script,
             "import configparser, sys\n"
             "p = configparser.ConfigParser(interpolation=None)\n"
             "p.optionxform = str\n"
             "p.read(sys.argv[1])\n"
             "with open(sys.argv[2], 'w') as f:\n"
             "    for s in p.sections():\n"
             "        for k, v in p.items(s):\n"
             "            f.write(s + '|' + k + '|' + v + '\\n')\n");
    ASSERT_EQ(std::system(("python3 " + script + " " + file + " " + out).c_str()), 0);
    std::map<std::string, std::string> values;
    std::istringstream lines(text_of(out));
    std::string line;
    while (std::getline(lines, line)) {
        auto bar = line.find('|', line.find('|') + 1);
        values[line.substr(0, bar)] = line.substr(bar + 1);
    }
    EXPECT_EQ(values["LastNumber|num"], "2");
    EXPECT_EQ(values["1|BasePath"], "/data/50% off; [old] = yes");
    EXPECT_EQ(values["1|AlgStr"], "00000001");
    EXPECT_EQ(values["1|Keep All"], "0");
    EXPECT_EQ(values["2|Action"], "1");
    EXPECT_EQ(values["2|Merge"], "1");
    EXPECT_EQ(values.count("2|AlgStr"), 0u);

    JobSettings loaded;
    ASSERT_TRUE(load_history_entry(file, 1, loaded));
    EXPECT_STREQ(loaded.BasePath, "/data/50% off; [old] = yes");
}

TEST(JobSettings, DefaultsAndCopy) {
    JobSettings job;
    job.Action = 1;
    set_field(job.BasePath, "x");
    job.Algorithms[7] = 0;
    JobSettings copy;
    copy_settings(copy, job);
    EXPECT_EQ(copy.Action, 1);
    EXPECT_STREQ(copy.BasePath, "x");
    reset_to_defaults(job);
    EXPECT_EQ(job.Action, 0);
    EXPECT_STREQ(job.BasePath, "");
    EXPECT_EQ(job.Algorithms[7], 1);
    EXPECT_EQ(job.IncludeSubdirs, 1);
    EXPECT_EQ(job.Stamp, 1);
    EXPECT_EQ(job.OriginDate, 1);
    EXPECT_EQ(job.OriginAttrib, 1);
    EXPECT_EQ(job.ReportLevel, 1);
    EXPECT_EQ(job.UseProgressWindow, 1);
    EXPECT_EQ(copy.Algorithms[7], 0);
}

}  // namespace
}  // namespace quoralith
