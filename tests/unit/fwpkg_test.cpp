#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Common.h"
#include "FwpkgBuilder.h"

namespace {

using Sim::FwpkgLayout;
using Sim::FwpkgOptions;
using Sim::PackageImage;

struct ParseResult {
    bool ok;
    std::vector<Common::FileHead> images;
    std::string version;
    std::string error;
};

ParseResult Parse(const std::vector<uint8_t>& package, bool checkCrc = true, size_t length = SIZE_MAX)
{
    ParseResult result;
    // stale contents must not survive the call
    result.images.resize(3);
    result.version = "stale";
    result.error = "stale";
    result.ok = Common::ParseFwpkg(package.data(), length == SIZE_MAX ? package.size() : length, result.images,
                                   result.version, result.error, checkCrc);
    return result;
}

std::vector<PackageImage> TwoImages()
{
    return {
        {"loader.bin", Sim::PatternBytes(300, 1), 0x0, 0x1000, 0},
        {"app.bin", Sim::PatternBytes(5000, 2), 0x800000, 0x2000, 1},
    };
}

FwpkgOptions Extended(const std::string& version = "V1.0.0")
{
    FwpkgOptions options;
    options.layout = FwpkgLayout::Extended;
    options.version = version;
    return options;
}

void ExpectFailure(const ParseResult& result, const std::string& error)
{
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, error);
    EXPECT_TRUE(result.images.empty());
    EXPECT_TRUE(result.version.empty());
}

TEST(FwpkgCompact, ReadsEveryEntryInTableOrder)
{
    std::vector<uint8_t> package = Sim::BuildFwpkg(TwoImages());
    ParseResult result = Parse(package);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(result.version, "");
    ASSERT_EQ(result.images.size(), 2u);
    const Common::FileHead& loader = result.images[0];
    EXPECT_STREQ(loader.fileName, "loader.bin");
    EXPECT_EQ(loader.offset, 12u + 2 * 52);
    EXPECT_EQ(loader.length, 300u);
    EXPECT_EQ(loader.burnAddr, 0u);
    EXPECT_EQ(loader.burnSize, 0x1000u);
    EXPECT_EQ(loader.type, 0u);
    const Common::FileHead& app = result.images[1];
    EXPECT_STREQ(app.fileName, "app.bin");
    EXPECT_EQ(app.offset, 12u + 2 * 52 + 300);
    EXPECT_EQ(app.length, 5000u);
    EXPECT_EQ(app.burnAddr, 0x800000u);
    EXPECT_EQ(app.burnSize, 0x2000u);
    EXPECT_EQ(app.type, 1u);
    EXPECT_EQ(std::vector<uint8_t>(package.begin() + app.offset, package.begin() + app.offset + app.length),
              Sim::PatternBytes(5000, 2));
}

TEST(FwpkgCompact, SizeBoundaries)
{
    std::vector<uint8_t> tableOnly = Sim::BuildFwpkg({{"a.bin", {}, 0, 0, 0}});
    ASSERT_EQ(tableOnly.size(), 64u);
    EXPECT_TRUE(Parse(tableOnly).ok);
    ExpectFailure(Parse(tableOnly, true, 63), "header is larger than the file");
    ExpectFailure(Parse(tableOnly, true, 11), "fwpkg file too small");
    EXPECT_EQ(Parse(tableOnly, true, 12).error, "header is larger than the file");
}

TEST(FwpkgCompact, ImageCountOutOfRange)
{
    FwpkgOptions zero;
    zero.countOverride = 0;
    ExpectFailure(Parse(Sim::BuildFwpkg(TwoImages(), zero)), "invalid image count");
    FwpkgOptions tooMany;
    tooMany.countOverride = 256;
    ExpectFailure(Parse(Sim::BuildFwpkg(TwoImages(), tooMany)), "invalid image count");
}

TEST(FwpkgCompact, NameOf32CharactersIsCutTo31)
{
    std::string longName(32, 'N');
    ParseResult result = Parse(Sim::BuildFwpkg({{longName, {1, 2, 3}, 0, 0, 0}}));
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(std::string(result.images[0].fileName), std::string(31, 'N'));
}

TEST(FwpkgExtended, ReadsVersionAndEntries)
{
    std::vector<uint8_t> package = Sim::BuildFwpkg(TwoImages(), Extended("SDK 26.07"));
    ParseResult result = Parse(package);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.version, "SDK 26.07");
    ASSERT_EQ(result.images.size(), 2u);
    EXPECT_STREQ(result.images[1].fileName, "app.bin");
    EXPECT_EQ(result.images[0].offset, 272u + 2 * 280);
    EXPECT_EQ(result.images[1].offset, 272u + 2 * 280 + 300);
    EXPECT_EQ(result.images[1].length, 5000u);
    EXPECT_EQ(result.images[1].burnAddr, 0x800000u);
    EXPECT_EQ(result.images[1].burnSize, 0x2000u);
    EXPECT_EQ(result.images[1].type, 1u);
}

TEST(FwpkgExtended, EveryMagicOfTheFamilyIsAccepted)
{
    for (uint32_t magic = 0xEFBEADD0; magic <= 0xEFBEADDE; ++magic) {
        FwpkgOptions options = Extended();
        options.magic = magic;
        EXPECT_TRUE(Parse(Sim::BuildFwpkg(TwoImages(), options)).ok) << std::hex << magic;
    }
    for (uint32_t magic : {0xEFBEADCFu, 0xEFBEADE0u, 0x12345678u}) {
        FwpkgOptions options = Extended();
        options.magic = magic;
        ExpectFailure(Parse(Sim::BuildFwpkg(TwoImages(), options)), "not a fwpkg (bad magic flag)");
    }
}

TEST(FwpkgExtended, SizeBoundaries)
{
    std::vector<uint8_t> package = Sim::BuildFwpkg({{"a.bin", {}, 0, 0, 0}}, Extended());
    ASSERT_EQ(package.size(), 552u);
    EXPECT_TRUE(Parse(package).ok);
    ExpectFailure(Parse(package, false, 551), "invalid image count or header larger than the file");
    ExpectFailure(Parse(package, false, 271), "header is larger than the file");
    EXPECT_EQ(Parse(package, false, 272).error, "invalid image count or header larger than the file");
}

TEST(FwpkgExtended, ImageCountOutOfRange)
{
    for (int count : {0, 256}) {
        FwpkgOptions options = Extended();
        options.countOverride = count;
        ExpectFailure(Parse(Sim::BuildFwpkg(TwoImages(), options)),
                      "invalid image count or header larger than the file");
    }
}

TEST(FwpkgExtended, LongNamesAndFullVersionText)
{
    std::string version(260, 'v');
    ParseResult result = Parse(Sim::BuildFwpkg({{std::string(40, 'x'), {9}, 0, 0, 0}}, Extended(version)));
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.version, version);
    EXPECT_EQ(std::string(result.images[0].fileName), std::string(31, 'x'));
}

TEST(FwpkgCrc, CheckedOnlyWhenAsked)
{
    for (FwpkgOptions options : {FwpkgOptions(), Extended()}) {
        options.corruptCrc = true;
        std::vector<uint8_t> package = Sim::BuildFwpkg(TwoImages(), options);
        ExpectFailure(Parse(package, true), "fwpkg crc mismatch");
        ParseResult unchecked = Parse(package, false);
        EXPECT_TRUE(unchecked.ok);
        EXPECT_EQ(unchecked.images.size(), 2u);
    }
}

TEST(FwpkgCrc, CoversTheTableButNotTheImages)
{
    std::vector<uint8_t> package = Sim::BuildFwpkg(TwoImages());
    package.back() ^= 0xFF;  // image byte
    EXPECT_TRUE(Parse(package).ok);
    package[12 + 52 + 40] ^= 0x01;  // burn address of the second entry
    EXPECT_EQ(Parse(package).error, "fwpkg crc mismatch");
}

TEST(FwpkgChecks, FirstFaultIsReported)
{
    // bad count and bad CRC together: the count is checked first
    FwpkgOptions options;
    options.countOverride = 0;
    options.corruptCrc = true;
    EXPECT_EQ(Parse(Sim::BuildFwpkg(TwoImages(), options)).error, "invalid image count");
    // too short for the table and bad CRC: the size is checked first
    options.countOverride = 3;
    EXPECT_EQ(Parse(Sim::BuildFwpkg(TwoImages(), options), true, 12 + 2 * 52).error,
              "header is larger than the file");

    std::vector<Common::FileHead> images(2);
    std::string version = "old";
    std::string error;
    EXPECT_FALSE(Common::ParseFwpkg(nullptr, 100, images, version, error, true));
    EXPECT_EQ(error, "fwpkg file too small");
    EXPECT_TRUE(images.empty());
    EXPECT_TRUE(version.empty());
}

TEST(FwpkgChecks, EntriesPointingPastThePackageAreStillReturned)
{
    std::vector<uint8_t> package = Sim::BuildFwpkg(TwoImages());
    package.resize(12 + 2 * 52 + 10);  // images cut off
    ParseResult result = Parse(package);
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.images[1].length, 5000u);
    EXPECT_GT(result.images[1].offset + result.images[1].length, package.size());
}

}  // namespace
