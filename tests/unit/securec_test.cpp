#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "securec.h"

namespace {

// The formats below are built at run time so that the compiler's own format checks stay out of the way.
std::string Fmt(const char* text)
{
    return std::string(text);
}

TEST(BoundsCheckCodes, Values)
{
    EXPECT_EQ(EOK, 0);
    EXPECT_EQ(EINVAL, 22);
    EXPECT_EQ(ERANGE, 34);
    EXPECT_EQ(EINVAL_AND_RESET, 150);
    EXPECT_EQ(ERANGE_AND_RESET, 162);
    EXPECT_EQ(EOVERLAP_AND_RESET, 182);
}

TEST(MemcpyS, ChecksInOrder)
{
    char dest[8];
    const char src[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};

    EXPECT_EQ(memcpy_s(dest, 0, src, 1), ERANGE);
    EXPECT_EQ(memcpy_s(dest, 0x80000000UL, src, 1), ERANGE);
    EXPECT_EQ(memcpy_s(nullptr, sizeof(dest), src, 1), EINVAL);

    std::memset(dest, 'x', sizeof(dest));
    EXPECT_EQ(memcpy_s(dest, sizeof(dest), nullptr, 1), EINVAL_AND_RESET);
    EXPECT_EQ(std::string(dest, 8), std::string(8, '\0'));

    std::memset(dest, 'x', sizeof(dest));
    EXPECT_EQ(memcpy_s(dest, 4, src, 5), ERANGE_AND_RESET);
    EXPECT_EQ(std::string(dest, 8), std::string(4, '\0') + "xxxx");

    std::memset(dest, 'x', sizeof(dest));
    EXPECT_EQ(memcpy_s(dest, sizeof(dest), dest + 2, 4), EOVERLAP_AND_RESET);
    EXPECT_EQ(std::string(dest, 8), std::string(8, '\0'));

    std::memset(dest, 'x', sizeof(dest));
    EXPECT_EQ(memcpy_s(dest, sizeof(dest), src, 0), EOK);
    EXPECT_EQ(memcpy_s(dest, sizeof(dest), dest, 4), EOK);
    EXPECT_EQ(std::string(dest, 8), "xxxxxxxx");

    EXPECT_EQ(memcpy_s(dest, sizeof(dest), src, 8), EOK);
    EXPECT_EQ(std::string(dest, 8), "abcdefgh");
}

TEST(MemmoveS, AllowsOverlapButKeepsTheOtherChecks)
{
    char buffer[9] = "abcdefgh";
    EXPECT_EQ(memmove_s(buffer + 2, 6, buffer, 6), EOK);
    EXPECT_EQ(std::string(buffer, 8), "ababcdef");
    EXPECT_EQ(memmove_s(buffer, 0, buffer, 1), ERANGE);
    EXPECT_EQ(memmove_s(nullptr, 4, buffer, 1), EINVAL);
    EXPECT_EQ(memmove_s(buffer, 4, nullptr, 1), EINVAL_AND_RESET);
    EXPECT_EQ(std::string(buffer, 4), std::string(4, '\0'));
    EXPECT_EQ(memmove_s(buffer, 2, buffer + 4, 3), ERANGE_AND_RESET);
}

TEST(MemsetS, FillsAtMostDestMax)
{
    char dest[8] = "1234567";
    EXPECT_EQ(memset_s(dest, 0, 'z', 1), ERANGE);
    EXPECT_EQ(memset_s(dest, 0x80000000UL, 'z', 1), ERANGE);
    EXPECT_EQ(memset_s(nullptr, 8, 'z', 1), EINVAL);
    EXPECT_EQ(memset_s(dest, 3, 'z', 2), EOK);
    EXPECT_EQ(std::string(dest), "zz34567");
    EXPECT_EQ(memset_s(dest, 4, 'q', 6), ERANGE_AND_RESET);
    EXPECT_EQ(std::string(dest), "qqqq567");
}

TEST(SprintfS, CountOrMinusOneWithEmptyDestination)
{
    char dest[8];
    EXPECT_EQ(sprintf_s(dest, sizeof(dest), "%d-%s", 12, "ab"), 5);
    EXPECT_STREQ(dest, "12-ab");
    EXPECT_EQ(sprintf_s(dest, sizeof(dest), "%s", "1234567"), 7);
    EXPECT_EQ(sprintf_s(dest, sizeof(dest), "%s", "12345678"), -1);
    EXPECT_STREQ(dest, "");
    std::strcpy(dest, "keep");
    EXPECT_EQ(sprintf_s(dest, sizeof(dest), Fmt("%n").c_str(), nullptr), -1);
    EXPECT_STREQ(dest, "");
    std::strcpy(dest, "keep");
    EXPECT_EQ(sprintf_s(dest, sizeof(dest), nullptr), -1);
    EXPECT_STREQ(dest, "");
    EXPECT_EQ(sprintf_s(nullptr, 8, "%d", 1), -1);
    EXPECT_EQ(sprintf_s(dest, 0, "%d", 1), -1);
    EXPECT_EQ(sprintf_s(dest, sizeof(dest), "100%%"), 4);
    EXPECT_STREQ(dest, "100%");
}

TEST(SnprintfS, TruncatesOnlyWhenDestinationIsLargerThanCount)
{
    char dest[16];
    // destMax > count: cut to count characters, reported as -1
    EXPECT_EQ(snprintf_s(dest, sizeof(dest), 4, "%s", "abcdefgh"), -1);
    EXPECT_STREQ(dest, "abcd");
    EXPECT_EQ(snprintf_s(dest, sizeof(dest), 8, "%s", "abcdefgh"), 8);
    EXPECT_STREQ(dest, "abcdefgh");
    // destMax <= count: what does not fit empties the destination
    EXPECT_EQ(snprintf_s(dest, 8, 8, "%s", "abcdefgh"), -1);
    EXPECT_STREQ(dest, "");
    EXPECT_EQ(snprintf_s(dest, 8, 100, "%s", "abcdefg"), 7);
    EXPECT_STREQ(dest, "abcdefg");
    std::strcpy(dest, "keep");
    EXPECT_EQ(snprintf_s(dest, sizeof(dest), 10, Fmt("%5n").c_str(), nullptr), -1);
    EXPECT_STREQ(dest, "");
}

}  // namespace
