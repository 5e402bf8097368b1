// The single-file operation: candidates, keep smallest / keep all, failure
// actions, stops, open errors, times and permission bits, and round trips.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <fcntl.h>

#include <algorithm>

#include "engine_test_support.h"

namespace quoralith::test {
namespace {

// The method byte sits before the check block and the trailer.
int algorithm_of_delta(const Bytes& delta, int check_length = 256) {
    return delta.at(delta.size() - 56 - static_cast<std::size_t>(check_length) - 1) & 0x0F;
}

class FileOpTest : public ::testing::Test {
protected:
    void SetUp() override {
        base = dir.file("base.bin");
        updated = dir.file("updated.bin");
        delta = dir.file("out.dlt");
        Bytes old_text = text_like(60000, 11);
        Bytes new_text = old_text;
        for (std::size_t i = 1000; i < new_text.size(); i += 7919) new_text[i] ^= 0x55;
        new_text.insert(new_text.begin() + 30000, 500, 'x');
        write_file(base, old_text);
        write_file(updated, new_text);
    }

    int create(AlgorithmMask mask, EngineFlags flags = 0, const std::string* first = nullptr) {
        std::string output = delta;
        return engine_file_op(OP_CREATE_FILE, first ? first->c_str() : base.c_str(), updated, output, nullptr, flags,
                              mask, recorder.callback());
    }
    int restore(const std::string& with_base, const std::string& with_delta, std::string& output,
                EngineFlags flags = 0) {
        return engine_file_op(OP_RESTORE_FILE, with_base.c_str(), with_delta, output, nullptr, flags, 0,
                              recorder.callback());
    }

    ScratchDir dir;
    std::string base, updated, delta;
    Recorder recorder;
};

TEST_F(FileOpTest, MaskZeroTriesAlgorithmZeroAlone) {
    ASSERT_EQ(create(0), 0);
    EXPECT_EQ(recorder.file_codes(), (std::vector<int>{PM_FILE_START, PM_FILE_DONE}));
    EXPECT_EQ(recorder.algorithms_in_transfers(), (std::vector<int>{0}));
    EXPECT_EQ(algorithm_of_delta(read_file(delta)), 0);
}

TEST_F(FileOpTest, KeepSmallestLeavesTheSmallestCandidateAndNoTemporary) {
    ASSERT_EQ(create(0x85), 0);
    EXPECT_EQ(recorder.file_codes(), (std::vector<int>{PM_FILE_START, PM_CANDIDATE_DONE, PM_CANDIDATE_DONE,
                                                       PM_FILE_DONE}));
    EXPECT_EQ(recorder.algorithms_in_transfers(), (std::vector<int>{0, 2, 7}));

    std::vector<std::pair<int, int>> sizes;  // (size, algorithm) of every candidate
    const int algorithms[] = {0, 2, 7};
    int pass = 0;
    for (const auto& s : recorder.seen)
        if (s.code == PM_CANDIDATE_DONE || s.code == PM_FILE_DONE) sizes.emplace_back(s.result, algorithms[pass++]);
    // The smallest wins; on a tie the lower-numbered algorithm stays.
    const auto best = *std::min_element(sizes.begin(), sizes.end());
    const Bytes kept = read_file(delta);
    EXPECT_EQ(static_cast<int>(kept.size()), best.first);
    EXPECT_EQ(algorithm_of_delta(kept), best.second);
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"base.bin", "out.dlt", "updated.bin"}));
}

TEST_F(FileOpTest, KeepAllGivesEveryCandidateItsDigitName) {
    delta = dir.file("report.dlt");
    ASSERT_EQ(create(0x21, EF_KEEP_ALL), 0);
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"base.bin", "report0.dlt", "report5.dlt", "updated.bin"}));
    EXPECT_EQ(algorithm_of_delta(read_file(dir.file("report0.dlt"))), 0);
    EXPECT_EQ(algorithm_of_delta(read_file(dir.file("report5.dlt"))), 5);
    // Each file is what its pass reported.
    std::vector<int> results;
    for (const auto& s : recorder.seen)
        if (s.code == PM_CANDIDATE_DONE || s.code == PM_FILE_DONE) results.push_back(s.result);
    EXPECT_EQ(results, (std::vector<int>{static_cast<int>(read_file(dir.file("report0.dlt")).size()),
                                         static_cast<int>(read_file(dir.file("report5.dlt")).size())}));
}

TEST_F(FileOpTest, NamesTakenByAnInputAreNeverWrittenOver) {
    // A keep-all digit name that is the Base itself.
    const std::string data3 = dir.file("data3");
    write_file(data3, read_file(base));
    std::string output = dir.file("data");
    EXPECT_EQ(engine_file_op(OP_CREATE_FILE, data3.c_str(), updated, output, nullptr, EF_KEEP_ALL, 0x08,
                             recorder.callback()),
              ERR_CREATE_OUTPUT - EEXIST);
    EXPECT_EQ(read_file(data3), read_file(base));

    // Inputs that carry the temporary's own name.
    const std::string odd_updated = dir.file("QRLTH~~~");
    write_file(odd_updated, read_file(updated));
    output = delta;
    ASSERT_EQ(engine_file_op(OP_CREATE_FILE, base.c_str(), odd_updated, output, nullptr, 0, 0x81,
                             recorder.callback()),
              0);
    EXPECT_EQ(read_file(odd_updated), read_file(updated));
    std::string in_place = dir.file("QRLTH~~~");
    write_file(in_place, read_file(base));
    ASSERT_EQ(restore(in_place, delta, in_place, EF_IN_PLACE), 0);
    EXPECT_EQ(read_file(in_place), read_file(updated));
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"QRLTH~~~", "base.bin", "data3", "out.dlt", "updated.bin"}));
}

TEST_F(FileOpTest, ShortStampMakesAFourByteCheck) {
    ASSERT_EQ(create(0x80, EF_SHORT_STAMP), 0);
    const Bytes made = read_file(delta);
    ASSERT_GE(made.size(), 56u);
    EXPECT_EQ(made[made.size() - 56 + 8], 4);
    EXPECT_EQ(algorithm_of_delta(made, 4), 7);
}

TEST_F(FileOpTest, RoundTripsForEveryAlgorithmIncludingAMissingBase) {
    const std::string missing = dir.file("no-such-base");
    for (int algorithm = 0; algorithm < 8; ++algorithm) {
        for (const std::string* first : {static_cast<const std::string*>(&base), &missing}) {
            ASSERT_EQ(create(static_cast<AlgorithmMask>(1u << algorithm), 0, first), 0) << algorithm;
            std::string output = dir.file("restored.bin");
            ASSERT_EQ(restore(*first, delta, output), 0) << algorithm << " " << *first;
            EXPECT_EQ(read_file(output), read_file(updated)) << algorithm << " " << *first;
        }
    }
}

TEST_F(FileOpTest, RestoreOfIndependentVectors) {
    QUORALITH_SKIP_WITHOUT_VECTORS();
    for (const char* name : {"stored_empty", "stored_raw_check4", "packed_table_literals_alg7",
                             "packed_prepass_bitcoded", "stored_rle_alg4", "match_alg1_relative",
                             "match_alg2_positioned_packed", "match_alg7_tail_without_position",
                             "alg0_multichunk_small_window", "alg0_single_chunk_types"}) {
        std::string output = dir.file("restored.bin");
        recorder.seen.clear();
        EXPECT_EQ(restore(vector_path(name, "base.bin"), vector_path(name, "delta.bin"), output), 0) << name;
        EXPECT_EQ(read_file(output), read_file(vector_path(name, "updated.bin"))) << name;
        ASSERT_FALSE(recorder.seen.empty());
        EXPECT_TRUE(recorder.seen.back().has_tag) << name;  // PM_FILE_DONE carries the restore tag
    }
}

TEST_F(FileOpTest, RejectedVectorsLeaveTheOutputUntouched) {
    QUORALITH_SKIP_WITHOUT_VECTORS();
    for (const char* name : {"err_control_truncated", "err_wrong_base"}) {
        const Bytes text = read_file(vector_path(name, "expected_code.txt"));
        const std::string expected = std::to_string(std::stoi(std::string(text.begin(), text.end())));
        std::string output = dir.file("restored.bin");
        write_file(output, Bytes{9, 9, 9});
        const int result = restore(vector_path(name, "base.bin"), vector_path(name, "delta.bin"), output);
        EXPECT_EQ(std::to_string(result), expected) << name;
        EXPECT_EQ(read_file(output), (Bytes{9, 9, 9})) << name;
    }
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"base.bin", "restored.bin", "updated.bin"}));
}

// Failure actions, driven by a delta that the coder refuses (ERR_MALFORMED).
struct FailureCase {
    std::int16_t answer;
    EngineFlags flags;
    const char* outcome;  // "skip", "stop" or "copy"
};

class FailureActionTest : public FileOpTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailureActionTest, AnswerAndFlagsChooseTheAction) {
    const FailureCase c = GetParam();
    write_file(dir.file("bad.dlt"), random_bytes(400, 5));
    std::string output = dir.file("old.bin");
    write_file(output, Bytes{7, 7, 7, 7});
    recorder.answer = [&](const ProgressRecord& r) -> std::int16_t { return r.code < 0 ? c.answer : std::int16_t{ANSWER_SKIP}; };
    const int result = restore(base, dir.file("bad.dlt"), output, c.flags);

    const std::vector<int> codes = recorder.file_codes();
    ASSERT_GE(codes.size(), 2u);
    EXPECT_EQ(codes[1], ERR_MALFORMED);
    const std::string outcome = c.outcome;
    if (outcome == "copy") {
        EXPECT_EQ(result, static_cast<int>(read_file(base).size()));
        EXPECT_EQ(read_file(output), read_file(base));
        // The copy routine's transfers say algorithm -1; a copy is not a
        // finished file, and once it is in place the callback is told, with
        // the bytes copied, so that no one takes it for the restored file.
        EXPECT_EQ(recorder.algorithms_in_transfers().back(), -1);
        EXPECT_EQ(codes, (std::vector<int>{PM_FILE_START, ERR_MALFORMED, PM_BASE_COPIED}));
        EXPECT_EQ(recorder.seen.back().result, result);
        EXPECT_EQ(recorder.seen.back().output_path, output);
    } else {
        EXPECT_EQ(result, outcome == "stop" ? ERR_STOPPED : ERR_MALFORMED);
        EXPECT_EQ(read_file(output), (Bytes{7, 7, 7, 7}));
        EXPECT_EQ(codes.size(), 2u);
    }
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"bad.dlt", "base.bin", "old.bin", "updated.bin"}));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, FailureActionTest,
    ::testing::Values(FailureCase{ANSWER_SKIP, EF_FAIL_COPY, "skip"}, FailureCase{7, EF_FAIL_COPY, "skip"},
                      FailureCase{ANSWER_STOP, EF_FAIL_COPY, "stop"}, FailureCase{ANSWER_COPY, 0, "copy"},
                      FailureCase{ANSWER_BY_FLAGS, 0, "skip"}, FailureCase{ANSWER_BY_FLAGS, EF_FAIL_STOP, "stop"},
                      FailureCase{ANSWER_BY_FLAGS, EF_FAIL_STOP | EF_FAIL_SKIP, "skip"},
                      FailureCase{ANSWER_BY_FLAGS, EF_FAIL_STOP | EF_FAIL_COPY, "copy"},
                      FailureCase{ANSWER_BY_FLAGS, EF_FAIL_SKIP | EF_FAIL_COPY, "copy"}));

TEST_F(FileOpTest, CopyActionCarriesTheBaseTimesAndBitsAndNeedsABase) {
    const timespec times[2] = {{1100000000, 0}, {1200000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, base.c_str(), times, 0), 0);
    chmod(base.c_str(), 0444);
    write_file(dir.file("bad.dlt"), random_bytes(400, 5));
    std::string output = dir.file("copy.bin");
    const EngineFlags flags = EF_FAIL_COPY | EF_KEEP_DATE | EF_KEEP_ATTRIBUTES;
    recorder.answer = [](const ProgressRecord& r) -> std::int16_t { return r.code < 0 ? ANSWER_BY_FLAGS : 0; };
    EXPECT_GT(restore(base, dir.file("bad.dlt"), output, flags), 0);
    struct stat status {};
    ASSERT_EQ(stat(output.c_str(), &status), 0);
    EXPECT_EQ(status.st_mtim.tv_sec, 1200000000);
    EXPECT_EQ(status.st_atim.tv_sec, 1100000000);
    EXPECT_EQ(status.st_mode & 0222, 0u);

    // Without a Base there is nothing to copy: the file stays failed and the
    // old output stays as it was.
    std::string second_output = dir.file("second.bin");
    write_file(second_output, Bytes{1});
    EXPECT_EQ(restore(dir.file("missing"), dir.file("bad.dlt"), second_output, flags), ERR_MALFORMED);
    EXPECT_EQ(read_file(second_output), (Bytes{1}));
}

TEST_F(FileOpTest, FailedCandidateOfACreateKeepsTheOldOutput) {
    // A window over 1 GiB is refused by the coder; a sparse file costs nothing.
    {
        std::FILE* big = std::fopen(updated.c_str(), "r+b");
        ASSERT_NE(big, nullptr);
        ASSERT_EQ(ftruncate(fileno(big), MAX_FILE_LENGTH + 1), 0);
        std::fclose(big);
    }
    write_file(delta, Bytes{5, 5});
    EXPECT_EQ(create(0x81, EF_FAIL_SKIP), ERR_MALFORMED);
    EXPECT_EQ(read_file(delta), (Bytes{5, 5}));
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"base.bin", "out.dlt", "updated.bin"}));
}

TEST_F(FileOpTest, StopAnswersEndTheFileAndLeaveTheOutputAlone) {
    QUORALITH_SKIP_WITHOUT_VECTORS();
    const std::string name = "packed_table_literals_alg7";
    std::string output = dir.file("restored.bin");
    write_file(output, Bytes{4, 4});

    // Stop before anything is opened.
    recorder.answer = [](const ProgressRecord& r) -> std::int16_t { return r.code == PM_FILE_START ? -1 : 0; };
    EXPECT_EQ(restore(vector_path(name, "base.bin"), vector_path(name, "delta.bin"), output), ERR_STOPPED);
    EXPECT_EQ(recorder.seen.size(), 1u);

    // Stop in the middle of the coder's writes: the coder ends early, the stop is
    // reported once more as a code.
    recorder.seen.clear();
    int writes = 0;
    recorder.answer = [&](const ProgressRecord& r) -> std::int16_t {
        return r.code == PM_WRITE_OUTPUT && ++writes == 1 ? -1 : 0;
    };
    EXPECT_EQ(restore(vector_path(name, "base.bin"), vector_path(name, "delta.bin"), output), ERR_STOPPED);
    EXPECT_EQ(recorder.file_codes().back(), ERR_STOPPED);
    EXPECT_EQ(read_file(output), (Bytes{4, 4}));

    // Stop answered to the last message: the file is done but reported stopped.
    recorder.answer = [](const ProgressRecord& r) -> std::int16_t { return r.code == PM_FILE_DONE ? -1 : 0; };
    EXPECT_EQ(restore(vector_path(name, "base.bin"), vector_path(name, "delta.bin"), output), ERR_STOPPED);

    // A stopped create leaves neither candidate nor temporary behind.
    write_file(delta, Bytes{3});
    recorder.answer = [](const ProgressRecord& r) -> std::int16_t { return r.code == PM_CANDIDATE_DONE ? -1 : 0; };
    EXPECT_EQ(create(0x85), ERR_STOPPED);
    EXPECT_EQ(read_file(delta), (Bytes{3}));
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"base.bin", "out.dlt", "restored.bin", "updated.bin"}));
}

TEST_F(FileOpTest, OpenFailuresAreReportedWithErrno) {
    std::string output = dir.file("restored.bin");
    write_file(output, Bytes{8});
    // A missing delta: the output is neither created nor truncated.
    EXPECT_EQ(restore(base, dir.file("missing.dlt"), output), ERR_OPEN_INPUT - ENOENT);
    EXPECT_EQ(recorder.file_codes(), (std::vector<int>{PM_FILE_START, -202}));
    EXPECT_EQ(read_file(output), (Bytes{8}));

    // An output directory that does not exist wins over a missing input.
    std::string nowhere = dir.file("no-dir/out.bin");
    EXPECT_EQ(restore(base, dir.file("missing.dlt"), nowhere), ERR_CREATE_OUTPUT - ENOENT);

    // An output that is a directory.
    std::string a_directory = dir.path().string();
    EXPECT_EQ(restore(base, updated, a_directory), ERR_CREATE_OUTPUT - EISDIR);

    // A stop answer to the error report turns it into a stop.
    recorder.answer = [](const ProgressRecord& r) -> std::int16_t { return r.code < 0 ? -1 : 0; };
    EXPECT_EQ(restore(base, dir.file("missing.dlt"), output), ERR_STOPPED);
}

TEST_F(FileOpTest, AFailingWriteIsAnErrorAndKeepsTheOldOutput) {
    QUORALITH_SKIP_WITHOUT_VECTORS();
    const std::string name = "packed_table_literals_alg7";  // restores to 20000 bytes
    std::string output = dir.file("restored.bin");
    write_file(output, Bytes{6, 6, 6});
    // A file size limit stands in for a full disk.
    struct rlimit saved {};
    getrlimit(RLIMIT_FSIZE, &saved);
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int result = restore(vector_path(name, "base.bin"), vector_path(name, "delta.bin"), output, EF_FAIL_SKIP);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(result, ERR_WRITE_FAILED);
    EXPECT_EQ(read_file(output), (Bytes{6, 6, 6}));
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"base.bin", "restored.bin", "updated.bin"}));
}

// What the desktop program is given besides the code: a missing Base has a
// code of its own, and a failed write under keep-all names the candidate's
// file and says that nothing was written.
TEST_F(FileOpTest, FailuresNameTheirCauseAndTheFileBeingWritten) {
    ASSERT_EQ(create(0x80), 0);
    std::string output = dir.file("restored.bin");
    EXPECT_EQ(restore(dir.file("gone.bin"), delta, output), ERR_BASE_MISSING);
    EXPECT_FALSE(file_exists(output));

    std::vector<std::pair<std::string, std::string>> failures;  // output path, detail
    struct rlimit saved {};
    getrlimit(RLIMIT_FSIZE, &saved);
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string kept = dir.file("k.dlt");
    const int result = engine_file_op(OP_CREATE_FILE, dir.file("nothing").c_str(), updated, kept, nullptr,
                                      EF_KEEP_ALL | EF_FAIL_SKIP, 0x81, [&](const ProgressRecord& r) -> std::int16_t {
                                          if (r.code < 0)
                                              failures.emplace_back(r.output_path ? r.output_path : "",
                                                                    r.detail ? r.detail : "");
                                          return r.code < 0 ? ANSWER_BY_FLAGS : ANSWER_SKIP;
                                      });
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(result, ERR_WRITE_FAILED);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].first, dir.file("k0.dlt"));
    EXPECT_EQ(failures[0].second, "a write failed (the disk may be full); no output file was written");

    // Every code met per file has words of its own.
    std::vector<std::string> words;
    for (int code : {ERR_WRONG_BASE, ERR_BASE_MISSING, ERR_NOT_ARCHIVED_DELTA, ERR_BASE_TREE_DIFFERS, ERR_DISK_FULL,
                     ERR_BROKEN_LINK, ERR_NOT_REGULAR_FILE, ERR_WRITE_FAILED}) {
        const std::string text = describe_error(code);
        EXPECT_EQ(text.find("while copying"), std::string::npos) << code;
        EXPECT_EQ(std::count(words.begin(), words.end(), text), 0) << text;
        words.push_back(text);
    }
    EXPECT_NE(describe_error(ERR_DISK_FULL).find("is kept"), std::string::npos);
    EXPECT_NE(describe_error(ERR_CREATE_OUTPUT - ENOSPC).find("is kept"), std::string::npos);
}

TEST_F(FileOpTest, KeepDateAndKeepAttributesRestoreWhatTheDeltaStored) {
    const timespec times[2] = {{1111111111, 0}, {1222222222, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, updated.c_str(), times, 0), 0);
    ASSERT_EQ(chmod(updated.c_str(), 0444), 0);
    ASSERT_EQ(create(0x80), 0);

    std::string kept = dir.file("kept.bin");
    ASSERT_EQ(restore(base, delta, kept, EF_KEEP_DATE | EF_KEEP_ATTRIBUTES), 0);
    struct stat status {};
    ASSERT_EQ(stat(kept.c_str(), &status), 0);
    EXPECT_EQ(status.st_atim.tv_sec, 1111111111);
    EXPECT_EQ(status.st_mtim.tv_sec, 1222222222);
    EXPECT_EQ(status.st_mode & 0222, 0u);
    EXPECT_NE(status.st_mode & 0400, 0u);

    std::string plain = dir.file("plain.bin");
    ASSERT_EQ(restore(base, delta, plain), 0);
    ASSERT_EQ(stat(plain.c_str(), &status), 0);
    EXPECT_NE(status.st_mtim.tv_sec, 1222222222);
    EXPECT_NE(status.st_mode & 0200, 0u);

    // In place: the Base itself becomes the restored file with the stored times.
    std::string in_place = base;
    ASSERT_EQ(restore(base, delta, in_place, EF_IN_PLACE | EF_KEEP_DATE), 0);
    EXPECT_EQ(read_file(base), read_file(updated));
    ASSERT_EQ(stat(base.c_str(), &status), 0);
    EXPECT_EQ(status.st_mtim.tv_sec, 1222222222);
    EXPECT_EQ(in_place, base);
}

TEST_F(FileOpTest, MergeCopiesTheBaseAndRefusesAMissingOne) {
    std::string output = dir.file("merged.bin");
    EXPECT_EQ(engine_file_op(OP_MERGE, base.c_str(), dir.file("none"), output, nullptr, 0, 0, recorder.callback()), 0);
    EXPECT_EQ(read_file(output), read_file(base));
    EXPECT_EQ(recorder.file_codes(), (std::vector<int>{PM_FILE_START, PM_FILE_DONE}));
    EXPECT_EQ(recorder.seen.back().result, static_cast<int>(read_file(base).size()));

    std::string missing_output = dir.file("merged2.bin");
    EXPECT_EQ(engine_file_op(OP_MERGE, dir.file("none").c_str(), dir.file("none"), missing_output, nullptr, 0, 0,
                             recorder.callback()),
              ERR_OPEN_INPUT - ENOENT);
    EXPECT_FALSE(file_exists(missing_output));
}

}  // namespace
}  // namespace quoralith::test
