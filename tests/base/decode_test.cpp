#include "base/decode.h"

#include <gtest/gtest.h>

namespace {

TEST(UrlDecode, PlusAndEscapes)
{
    EXPECT_EQ(UrlDecode(""), "");
    EXPECT_EQ(UrlDecode("a+b"), "a b");
    EXPECT_EQ(UrlDecode("%7B%22rows%22%3A6%7D"), R"({"rows":6})");
    EXPECT_EQ(UrlDecode("%2b"), "+");
    EXPECT_EQ(UrlDecode("%00x"), std::string("\0x", 2));
}

TEST(UrlDecode, MalformedEscapesStayReadable)
{
    // Two non-hex letters: the "%" is kept and the letters are copied.
    EXPECT_EQ(UrlDecode("%zz"), "%zz");
    // Only the first of the two bytes is a digit: its value is taken, both consumed.
    EXPECT_EQ(UrlDecode("%4G!"), std::string("\x04!", 2));
    // Fewer than two bytes after "%": copied unchanged.
    EXPECT_EQ(UrlDecode("ab%4"), "ab%4");
    EXPECT_EQ(UrlDecode("%"), "%");
    // A stream extraction skips a leading blank.
    EXPECT_EQ(UrlDecode("% 9"), "\x09");
}

TEST(Base64Decode, GroupsAndPadding)
{
    EXPECT_EQ(Base64Decode(""), "");
    EXPECT_EQ(Base64Decode("TWFu"), "Man");
    EXPECT_EQ(Base64Decode("TWE="), "Ma");
    EXPECT_EQ(Base64Decode("TWE"), "Ma");
    EXPECT_EQ(Base64Decode("TQ=="), "M");
    EXPECT_EQ(Base64Decode("TQ"), "M");
    EXPECT_EQ(Base64Decode("AQI="), "\x01\x02");
    // A lone last character adds nothing.
    EXPECT_EQ(Base64Decode("TWFuT"), "Man");
    EXPECT_EQ(Base64Decode("+/+/"), "\xfb\xff\xbf");
}

TEST(Base64Decode, StopsAtTheFirstForeignByte)
{
    EXPECT_EQ(Base64Decode("TWFu TWFu"), "Man");
    EXPECT_EQ(Base64Decode("TWFu\nTWFu"), "Man");
    EXPECT_EQ(Base64Decode("TWFu-_"), "Man");
    EXPECT_EQ(Base64Decode("TWFu\xc3\xa9"), "Man");
    EXPECT_EQ(Base64Decode("TQ==TWFu"), "M");
}

TEST(Base64Decode, KeepsNulBytes)
{
    EXPECT_EQ(Base64Decode("AAAA"), std::string(3, '\0'));
    EXPECT_EQ(Base64Decode("AEEA"), std::string("\0A\0", 3));
}

}  // namespace
