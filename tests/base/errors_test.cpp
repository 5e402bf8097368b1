// The error vocabulary: every code distinct and worded, the published numbers
// where reports have always printed them, and errno families that never spill
// into one another.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>

#include "base/errors.h"

namespace quoralith::test {
namespace {

// Every code any layer reports, each with the words describe_error gives it.
std::map<int, std::string> every_code() {
    std::map<int, std::string> codes;
    auto add = [&codes](int code) {
        EXPECT_TRUE(codes.emplace(code, describe_error(code)).second) << code << " has two meanings";
    };
    for (int code : SINGLE_ERROR_CODES) add(code);
    for (const ErrnoFamily& family : ERRNO_FAMILIES)
        for (int error = 1; error <= family.room; ++error) add(family.base - error);
    return codes;
}

TEST(ErrorCodes, EveryCodeIsDistinctFitsARecordAndHasWordsOfItsOwn) {
    const std::map<int, std::string> codes = every_code();
    std::map<std::string, int> by_words;
    for (const auto& [code, words] : codes) {
        EXPECT_LT(code, 0);
        EXPECT_GE(code, INT16_MIN) << "codes travel in a 16-bit field";
        EXPECT_EQ(words.find("unknown error"), std::string::npos) << code;
        EXPECT_FALSE(words.empty()) << code;
        // A family's codes share their words only where the system's own
        // texts do; the codes of their own never share.
        bool in_family = false;
        for (const ErrnoFamily& family : ERRNO_FAMILIES) in_family = in_family || errno_of(code, family.base) != 0;
        if (!in_family) EXPECT_TRUE(by_words.emplace(words, code).second) << code << " words like " << by_words[words];
    }
    EXPECT_EQ(describe_error(-5000).rfind("unknown error", 0), 0u);
}

TEST(ErrorCodes, PublishedNumbersStayWhereReportsPrintThem) {
    EXPECT_EQ(ERR_MALFORMED, -1);
    EXPECT_EQ(ERR_TEMP_FILE, -2);
    EXPECT_EQ(ERR_NO_MEMORY, -3);
    EXPECT_EQ(ERR_WRONG_BASE, -4);
    EXPECT_EQ(ERR_NOT_ARCHIVE, -9);
    EXPECT_EQ(ERR_STOPPED, -400);
    EXPECT_EQ(errno_code(ERR_OPEN_INPUT, ENOENT), -202);
    EXPECT_EQ(errno_code(ERR_OPEN_INPUT, EACCES), -213);
    EXPECT_EQ(errno_code(ERR_CREATE_OUTPUT, ENOENT), -302);
    EXPECT_EQ(errno_code(ERR_OPEN_ARCHIVE, ENOENT), -102);
    EXPECT_EQ(describe_error(-2), "a temporary file could not be created");
    EXPECT_EQ(describe_error(-3), "not enough memory");
}

TEST(ErrorCodes, LargeErrorNumbersStayInsideTheirFamily) {
    // The narrow families, a hundred apart: a quota used up is a full disk,
    // and other large numbers are carried as "99 or more".
    EXPECT_EQ(errno_code(ERR_CREATE_OUTPUT, EDQUOT), ERR_CREATE_OUTPUT - ENOSPC);
    EXPECT_NE(describe_error(errno_code(ERR_CREATE_OUTPUT, EDQUOT)).find("the disk is full"), std::string::npos);
    EXPECT_EQ(errno_code(ERR_CREATE_OUTPUT, 100), ERR_CREATE_OUTPUT - ERRNO_BEYOND);
    EXPECT_NE(errno_code(ERR_CREATE_OUTPUT, 100), ERR_STOPPED);
    EXPECT_EQ(errno_code(ERR_OPEN_INPUT, ESTALE), ERR_OPEN_INPUT - ERRNO_BEYOND);
    EXPECT_EQ(describe_error(ERR_OPEN_INPUT - ERRNO_BEYOND), "cannot open the input file: a system error numbered 99 or more");
    // The wide families keep the number itself.
    EXPECT_EQ(errno_code(ERR_WRITE_ARCHIVE, EDQUOT), ERR_WRITE_ARCHIVE - EDQUOT);
    EXPECT_NE(describe_error(ERR_WRITE_ARCHIVE - EDQUOT).find("quota"), std::string::npos);
    EXPECT_EQ(describe_error(errno_code(ERR_OPEN_BASE, ESTALE)), std::string("cannot open the base file: ") + std::strerror(ESTALE));
    // No number at all is an input/output error, never the family's base.
    EXPECT_EQ(errno_code(ERR_COPY_READ, 0), ERR_COPY_READ - EIO);
    for (const ErrnoFamily& family : ERRNO_FAMILIES) {
        for (int error : {1, 28, 98, 99, 122, 133, 199, 200, 4000}) {
            const int code = errno_code(family.base, error);
            EXPECT_NE(errno_of(code, family.base), 0) << family.base << " " << error;
            for (const ErrnoFamily& other : ERRNO_FAMILIES)
                if (other.base != family.base) EXPECT_EQ(errno_of(code, other.base), 0) << code;
        }
        EXPECT_EQ(errno_of(family.base, family.base), 0);
    }
}

}  // namespace
}  // namespace quoralith::test
