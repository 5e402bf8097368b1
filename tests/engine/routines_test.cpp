// The engine's small routines: the copy routine, keep-all names, the
// name-matching list, file information and the words for result codes.
#include <gtest/gtest.h>
#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "engine_test_support.h"

namespace quoralith::test {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

TEST(CopyStream, CopiesInChunksOf2048WithACallbackBeforeEach) {
    ScratchDir dir;
    write_file(dir.file("src"), random_bytes(9000, 1));
    File source(std::fopen(dir.file("src").c_str(), "rb"));
    File destination(std::fopen(dir.file("dst").c_str(), "w+b"));
    Recorder recorder;
    EXPECT_EQ(engine_copy_stream(source.get(), destination.get(), 3, 5000, recorder.callback()), 5000);
    std::vector<std::pair<int, int>> calls;
    for (const auto& s : recorder.seen) {
        calls.emplace_back(s.code, s.position);
        EXPECT_EQ(s.algorithm, -1);
    }
    EXPECT_EQ(calls, (std::vector<std::pair<int, int>>{{2, 0}, {4, 0}, {2, 2048}, {4, 2048}, {2, 4096}, {4, 4096},
                                                       {2, 5000}}));
    destination.reset();
    Bytes expected = random_bytes(9000, 1);
    expected.resize(5000);
    EXPECT_EQ(read_file(dir.file("dst")), expected);
}

TEST(CopyStream, RewindFlagsAndMissingStreams) {
    ScratchDir dir;
    write_file(dir.file("src"), Bytes{1, 2, 3, 4, 5, 6});
    File source(std::fopen(dir.file("src").c_str(), "rb"));
    File destination(std::fopen(dir.file("dst").c_str(), "w+b"));
    std::fseek(source.get(), 4, SEEK_SET);
    EXPECT_EQ(engine_copy_stream(source.get(), destination.get(), 0, 100, {}), 2);  // from where it stood
    EXPECT_EQ(engine_copy_stream(source.get(), destination.get(), 2, 100, {}), 6);  // source rewound
    std::fflush(destination.get());
    EXPECT_EQ(read_file(dir.file("dst")), (Bytes{5, 6, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(engine_copy_stream(source.get(), destination.get(), 3, 100, {}), 6);  // both rewound
    std::fflush(destination.get());
    EXPECT_EQ(read_file(dir.file("dst")), (Bytes{1, 2, 3, 4, 5, 6, 5, 6}));

    int calls = 0;
    auto count = [&calls](const ProgressRecord&) -> std::int16_t { return ++calls, 0; };
    EXPECT_EQ(engine_copy_stream(nullptr, destination.get(), 3, 100, count), 0);
    EXPECT_EQ(engine_copy_stream(source.get(), nullptr, 3, 100, count), 0);
    EXPECT_EQ(calls, 0);
}

TEST(CopyStream, StopsAndIOErrorsAreNeverCounts) {
    ScratchDir dir;
    write_file(dir.file("src"), random_bytes(10000, 2));
    File source(std::fopen(dir.file("src").c_str(), "rb"));

    File destination(std::fopen(dir.file("dst").c_str(), "w+b"));
    int reads = 0;
    auto stop_second_read = [&reads](const ProgressRecord& r) -> std::int16_t {
        return r.code == PM_READ_BASE && ++reads == 2 ? -1 : 0;
    };
    EXPECT_EQ(engine_copy_stream(source.get(), destination.get(), 3, 10000, stop_second_read), ERR_STOPPED);

    // A full disk.
    File full(std::fopen("/dev/full", "wb"));
    ASSERT_NE(full, nullptr);
    EXPECT_EQ(engine_copy_stream(source.get(), full.get(), 3, 10000, {}), ERR_COPY_WRITE - ENOSPC);

    // A source that cannot be read: a code of the read family, never one that
    // reads as a coder or archive failure.
    File write_only(std::fopen(dir.file("w").c_str(), "wb"));
    EXPECT_EQ(engine_copy_stream(write_only.get(), destination.get(), 3, 10000, {}), ERR_COPY_READ - EBADF);
}

TEST(KeepAllName, DigitIsAppendedToShortStemsAndReplacesTheEndOfLongOnes) {
    EXPECT_EQ(keep_all_name("report.dlt", 0), "report0.dlt");
    EXPECT_EQ(keep_all_name("/x/report.dlt", 5), "/x/report5.dlt");
    EXPECT_EQ(keep_all_name("data", 3), "data3");
    EXPECT_EQ(keep_all_name("a.dlt", 3), "a3.dlt");
    EXPECT_EQ(keep_all_name("longname.dlt", 3), "longnam3.dlt");
    EXPECT_EQ(keep_all_name("sevenxx.dlt", 7), "sevenxx7.dlt");
    EXPECT_EQ(keep_all_name("archive.tar.dlt", 1), "archive.ta1.dlt");
    // A dot in a folder name is not an extension.
    EXPECT_EQ(keep_all_name("/v1.2/data", 2), "/v1.2/data2");
}

TEST(NameMatchList, LinesSplitAtTheFirstSemicolon) {
    ScratchDir dir;
    std::string text = "old.txt;new.txt\nonly-base\n\nwin;dows\r\na;b;c\n";
    text += std::string(300, 'L') + "\n";
    write_file(dir.file("match"), Bytes(text.begin(), text.end()));
    File file(std::fopen(dir.file("match").c_str(), "r"));
    const NameMatchList list = read_name_match_list(file.get());
    ASSERT_EQ(list.size(), 7u);
    EXPECT_EQ(list[0].first, "old.txt");
    EXPECT_EQ(list[0].second, "new.txt");
    EXPECT_EQ(list[1].first, "only-base");
    EXPECT_EQ(list[1].second, "");
    EXPECT_TRUE(list[2].empty);
    EXPECT_EQ(list[3].second, "dows");
    EXPECT_EQ(list[4].second, "b;c");
    // A line longer than 255 bytes is read in two pieces.
    EXPECT_EQ(list[5].first.size(), 255u);
    EXPECT_EQ(list[6].first.size(), 45u);

    std::string many;
    for (int i = 0; i < 60; ++i) many.append("f").append(std::to_string(i)).append(";g\n");
    write_file(dir.file("many"), Bytes(many.begin(), many.end()));
    File many_file(std::fopen(dir.file("many").c_str(), "r"));
    EXPECT_EQ(read_name_match_list(many_file.get()).size(), 50u);
}

TEST(FileInfo, TimesAndBitsGoIntoTheTrailerAndBack) {
    ScratchDir dir;
    const std::string path = dir.file("f");
    write_file(path, Bytes{1});
    const timespec times[2] = {{1300000000, 0}, {1400000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    TrailerRecord trailer;
    {
        File file(std::fopen(path.c_str(), "rb"));
        engine_read_file_info(file.get(), trailer);
    }
    EXPECT_EQ(trailer.time_slot(0), -1);
    EXPECT_EQ(trailer.access_time(), 1300000000);
    EXPECT_EQ(trailer.modification_time(), 1400000000);
    EXPECT_EQ(trailer.time_slot(3), -1);
    EXPECT_EQ(trailer.attributes(), 3);

    const std::string other = dir.file("g");
    write_file(other, Bytes{2});
    ASSERT_EQ(chmod(other.c_str(), 0666), 0);
    EXPECT_TRUE(engine_apply_times(other, trailer));
    trailer.set_attributes(1);  // readable, not writable
    EXPECT_TRUE(engine_apply_permissions(other, trailer));
    struct stat status {};
    stat(other.c_str(), &status);
    EXPECT_EQ(status.st_mtim.tv_sec, 1400000000);
    EXPECT_EQ(status.st_mode & 07777, 0444u);  // read-only: every write bit goes
    trailer.set_attributes(3);
    EXPECT_TRUE(engine_apply_permissions(other, trailer));
    EXPECT_EQ(mode_of(other), 0644u);

    // Unknown information (-1 and 0xFFFF) leaves the file alone.
    TrailerRecord unknown;
    engine_read_file_info(nullptr, unknown);
    EXPECT_EQ(unknown.attributes(), 0xFFFF);
    EXPECT_TRUE(engine_apply_times(other, unknown));
    EXPECT_TRUE(engine_apply_permissions(other, unknown));
    stat(other.c_str(), &status);
    EXPECT_EQ(status.st_mtim.tv_sec, 1400000000);
    EXPECT_EQ(mode_of(other), 0644u);
}

TEST(DescribeError, EveryCodeHasWordsAndErrnoIsSpelledOut) {
    EXPECT_EQ(describe_error(-202), std::string("cannot open the input file: ") + std::strerror(ENOENT));
    EXPECT_EQ(describe_error(-313), std::string("cannot create the output file: ") + std::strerror(EACCES));
    EXPECT_EQ(describe_error(-102), std::string("cannot open the archive: ") + std::strerror(ENOENT));
    EXPECT_EQ(describe_error(ERR_COPY_READ - EIO), std::string("a read failed while copying: ") + std::strerror(EIO));
    EXPECT_EQ(describe_error(ERR_STOPPED), "stopped by the user");
    std::vector<std::string> words;
    for (int code : {-1, -2, -3, -4, -5, -6, -9, -41, -42, -43, -44, -45, -46, -47, -61}) {
        const std::string text = describe_error(code);
        EXPECT_EQ(text.find("error"), std::string::npos) << code << ": " << text;
        EXPECT_EQ(std::find(words.begin(), words.end(), text), words.end()) << code;
        words.push_back(text);
    }
}

}  // namespace
}  // namespace quoralith::test
