#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "parser/BoundedNumber.h"

namespace {

// The bounded reader must agree with strtol on the same bytes followed by a terminator.
void expectLikeStrtol(const std::string& text, int base) {
    errno = 0;
    char* end = nullptr;
    const long expected = std::strtol(text.c_str(), &end, base);
    const bool range = errno == ERANGE;
    const parser::BoundedNumber got =
        parser::readBoundedNumber(reinterpret_cast<const uint8_t*>(text.data()), text.size(), base);
    EXPECT_EQ(got.value, expected) << '"' << text << "\" base " << base;
    EXPECT_EQ(got.consumed, static_cast<size_t>(end - text.c_str()))
        << '"' << text << "\" base " << base;
    EXPECT_EQ(got.overflow, range) << '"' << text << "\" base " << base;
}

TEST(BoundedNumberTest, ReadsLikeStrtol) {
    const std::vector<std::string> texts = {"0",
                                            "7",
                                            "010",
                                            "08",
                                            "0x10",
                                            "0X1f",
                                            "0x",
                                            "0xg",
                                            "-0x",
                                            "+0x1",
                                            " \t\r\n\v\f12",
                                            "  ",
                                            "",
                                            "-",
                                            "+",
                                            "-12abc",
                                            "12 3",
                                            "ff",
                                            "FFz",
                                            "0777",
                                            "9223372036854775807",
                                            "9223372036854775808",
                                            "-9223372036854775808",
                                            "-9223372036854775809",
                                            "0x7fffffffffffffff",
                                            "0x8000000000000000",
                                            "99999999999999999999999",
                                            "\r\n5",
                                            "00000000000000000000000000017",
                                            "- 5",
                                            "x5",
                                            std::string("1\0002", 3)};
    for (const std::string& text : texts) {
        expectLikeStrtol(text, 0);
        expectLikeStrtol(text, 16);
    }
}

TEST(BoundedNumberTest, TellsWhenTheBytesRanOut) {
    auto read = [](const std::string& text, int base) {
        return parser::readBoundedNumber(reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                                         base);
    };
    EXPECT_TRUE(read("12", 16).reachedEnd);
    EXPECT_TRUE(read("0", 16).reachedEnd);  // could still become 0x...
    EXPECT_TRUE(read("0x", 16).reachedEnd);
    EXPECT_TRUE(read("  ", 16).reachedEnd);
    EXPECT_TRUE(read("-", 0).reachedEnd);
    EXPECT_FALSE(read("12\r", 16).reachedEnd);
    EXPECT_FALSE(read("0xg", 16).reachedEnd);
    EXPECT_FALSE(read("g", 16).reachedEnd);
}

}  // namespace
