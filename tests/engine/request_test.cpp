// engine_run: which requests are refused, and in-place detection.
#include <gtest/gtest.h>

#include "engine/safe_output.h"
#include "engine_test_support.h"

namespace quoralith::test {
namespace {

class EngineRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        base = dir.file("base.bin");
        updated = dir.file("updated.bin");
        write_file(base, text_like(5000, 1));
        write_file(updated, text_like(5000, 2));
    }
    ScratchDir dir;
    std::string base, updated;
    Recorder recorder;
};

TEST_F(EngineRunTest, OutputEqualToAnInputIsRefusedBeforeAnythingIsTouched) {
    const Bytes base_before = read_file(base), updated_before = read_file(updated);
    struct Case {
        int type;
        std::string first, second, output;
    } cases[] = {
        {OP_CREATE_FILE, base, updated, updated},     // output = second input
        {OP_CREATE_FILE, base, updated, base},        // create over its own Base
        {OP_CREATE_DIR, dir.file("a"), dir.file("b"), dir.file("a")},
        {OP_RESTORE_FILE, base, updated, updated},    // restore over its delta
        {OP_RESTORE_DIR, dir.file("a"), dir.file("b"), dir.file("b")},
        // The same files under other spellings.
        {OP_CREATE_FILE, base, updated, dir.file("./updated.bin")},
        {OP_CREATE_FILE, base, updated, dir.file("sub/../base.bin")},
        {OP_RESTORE_FILE, base, updated, dir.path().string() + "//updated.bin"},
    };
    std::filesystem::create_directories(dir.file("sub"));
    for (auto& c : cases) {
        EXPECT_EQ(run_engine(c.type, c.first, c.second, c.output, "", "", 0, 1, recorder.callback()),
                  ERR_BAD_REQUEST)
            << c.type << " " << c.output;
    }
    EXPECT_TRUE(recorder.seen.empty());
    EXPECT_EQ(read_file(base), base_before);
    EXPECT_EQ(read_file(updated), updated_before);
}

TEST_F(EngineRunTest, UnknownTypesAreRefused) {
    for (int type : {0, 7, 255, -1}) {
        std::string output = dir.file("out.dlt");
        EXPECT_EQ(run_engine(type, base, updated, output, "", "", 0, 1, recorder.callback()), ERR_BAD_REQUEST)
            << type;
    }
    EXPECT_TRUE(recorder.seen.empty());
    EXPECT_FALSE(file_exists(dir.file("out.dlt")));
}

TEST_F(EngineRunTest, PathsThatDifferOnlyInLetterCaseAreDifferentFiles) {
    std::string output = dir.file("BASE.bin");
    const Bytes base_before = read_file(base);
    EXPECT_EQ(run_engine(OP_CREATE_FILE, base, updated, output, "", "", 0, 1, recorder.callback()), 0);
    ASSERT_FALSE(recorder.file_codes().empty());
    EXPECT_EQ(recorder.file_codes().front(), PM_FILE_START);
    EXPECT_EQ(read_file(base), base_before);
}

TEST_F(EngineRunTest, RestoreOverTheBaseIsInPlaceAndIgnoresClearOutput) {
    QUORALITH_SKIP_WITHOUT_VECTORS();
    write_file(base, read_file(vector_path("stored_rle_alg4", "base.bin")));
    std::string output = base;
    bool temp_seen_while_writing = false;
    recorder.answer = [&](const ProgressRecord& r) -> std::int16_t {
        // The result is written to a temporary beside the Base.
        if (r.code == PM_WRITE_OUTPUT)
            for (const std::string& name : names_in(dir))
                if (is_temporary_name(name)) temp_seen_while_writing = true;
        return ANSWER_SKIP;
    };
    EXPECT_EQ(run_engine(OP_RESTORE_FILE, base, vector_path("stored_rle_alg4", "delta.bin"), output, "", "",
                         EF_CLEAR_OUTPUT, 0, recorder.callback()),
              0);
    EXPECT_EQ(read_file(base), read_file(vector_path("stored_rle_alg4", "updated.bin")));
    EXPECT_TRUE(temp_seen_while_writing);
    EXPECT_EQ(output, base);
    EXPECT_EQ(recorder.file_codes(), (std::vector<int>{PM_FILE_START, PM_FILE_DONE}));
    EXPECT_EQ(recorder.seen.back().output_path, base);
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"base.bin", "updated.bin"}));

    // Another spelling of the Base is in place as well.
    write_file(base, read_file(vector_path("stored_rle_alg4", "base.bin")));
    std::string spelled = dir.path().string() + "/./base.bin";
    EXPECT_EQ(run_engine(OP_RESTORE_FILE, base, vector_path("stored_rle_alg4", "delta.bin"), spelled, "", "", 0, 0,
                         {}),
              0);
    EXPECT_EQ(read_file(base), read_file(vector_path("stored_rle_alg4", "updated.bin")));
    EXPECT_EQ(spelled, base);
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"base.bin", "updated.bin"}));
}

TEST_F(EngineRunTest, FailedInPlaceRestoreKeepsTheBase) {
    const Bytes base_before = read_file(base);
    write_file(dir.file("bad.dlt"), random_bytes(500, 3));
    std::string output = base;
    EXPECT_EQ(run_engine(OP_RESTORE_FILE, base, dir.file("bad.dlt"), output, "", "", EF_FAIL_SKIP, 0,
                         recorder.callback()),
              0);
    EXPECT_EQ(read_file(base), base_before);
    EXPECT_EQ(output, base);
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"bad.dlt", "base.bin", "updated.bin"})) << "no temporary left";
    ASSERT_FALSE(recorder.file_codes().empty());
    EXPECT_EQ(recorder.file_codes().back(), ERR_MALFORMED);
}

TEST_F(EngineRunTest, NoCallbackMeansFailedFilesAreSkipped) {
    write_file(dir.file("bad.dlt"), random_bytes(500, 3));
    write_file(dir.file("out.bin"), Bytes{1, 2, 3});
    std::string output = dir.file("out.bin");
    EXPECT_EQ(run_engine(OP_RESTORE_FILE, base, dir.file("bad.dlt"), output, "", "", 0, 0, {}), 0);
    EXPECT_EQ(read_file(output), (Bytes{1, 2, 3}));
}

TEST_F(EngineRunTest, AStopInADirectoryRestoreSkipsTheMergePass) {
    namespace fs = std::filesystem;
    const std::string base_dir = dir.file("b"), updated_dir = dir.file("u"), deltas = dir.file("d");
    fs::create_directories(base_dir);
    fs::create_directories(updated_dir);
    write_file(base_dir + "/only-in-base.txt", text_like(300, 4));
    write_file(base_dir + "/f.txt", text_like(3000, 5));
    write_file(updated_dir + "/f.txt", text_like(3100, 5));
    std::string output = deltas;
    ASSERT_EQ(run_engine(OP_CREATE_DIR, base_dir, updated_dir, output, "", "", 0, 0x80, {}), 0);

    std::string stopped = dir.file("stopped");
    recorder.answer = [](const ProgressRecord& r) -> std::int16_t { return r.code == PM_FILE_START ? -1 : 0; };
    EXPECT_EQ(run_engine(OP_RESTORE_DIR, base_dir, deltas, stopped, "", "", EF_MERGE, 0, recorder.callback()), 0);
    EXPECT_FALSE(file_exists(stopped + "/only-in-base.txt"));
    EXPECT_FALSE(file_exists(stopped + "/f.txt"));

    std::string merged = dir.file("merged");
    EXPECT_EQ(run_engine(OP_RESTORE_DIR, base_dir, deltas, merged, "", "", EF_MERGE, 0, {}), 0);
    EXPECT_EQ(read_file(merged + "/only-in-base.txt"), read_file(base_dir + "/only-in-base.txt"));
    EXPECT_EQ(read_file(merged + "/f.txt"), read_file(updated_dir + "/f.txt"));
}

}  // namespace
}  // namespace quoralith::test
