// Names shown on terminals and in reports: whatever bytes a name holds, what is
// shown can neither steer a terminal nor split a line, and ordinary names in
// any script are shown as they are.
#include <gtest/gtest.h>

#include <string>

#include "engine/printable.h"

namespace quoralith::test {
namespace {

TEST(PrintableName, ControlCharactersAreEscaped) {
    EXPECT_EQ(printable_name("red\x1b[31m.txt"), "red\\x1b[31m.txt");
    EXPECT_EQ(printable_name(std::string("a\0b", 3)), "a\\x00b");
    EXPECT_EQ(printable_name("tab\there\nnew\rline\x7f"), "tab\\x09here\\x0anew\\x0dline\\x7f");
    // The C1 controls in their UTF-8 form (U+009B is a one-byte CSI on many terminals).
    EXPECT_EQ(printable_name("csi\xc2\x9b" "2J"), "csi\\xc2\\x9b2J");
    EXPECT_EQ(printable_name("\xc2\x80\xc2\x9f"), "\\xc2\\x80\\xc2\\x9f");
}

TEST(PrintableName, BytesThatAreNotUtf8AreEscaped) {
    EXPECT_EQ(printable_name("latin1-\xe9t\xe9"), "latin1-\\xe9t\\xe9");
    EXPECT_EQ(printable_name("\x9b" "2J"), "\\x9b2J") << "a lone 8-bit CSI";
    EXPECT_EQ(printable_name("\xc0\xaf"), "\\xc0\\xaf") << "an overlong form";
    EXPECT_EQ(printable_name("\xed\xa0\x80"), "\\xed\\xa0\\x80") << "a surrogate";
    EXPECT_EQ(printable_name("\xf4\x90\x80\x80"), "\\xf4\\x90\\x80\\x80") << "past U+10FFFF";
    EXPECT_EQ(printable_name("cut \xe2\x82"), "cut \\xe2\\x82") << "a sequence cut short";
}

TEST(PrintableName, OrdinaryNamesAreKept) {
    for (const char* name : {"plain/path name.txt", "caf\xc3\xa9", "\xe6\x97\xa5\xe6\x9c\xac.txt", "\xf0\x9f\x93\x81 folder",
                             "C:\\dir\\a.txt", "\xc2\xa0nbsp", ""})
        EXPECT_EQ(printable_name(name), name);
}

}  // namespace
}  // namespace quoralith::test
