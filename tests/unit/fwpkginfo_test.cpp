#include <gtest/gtest.h>

#include "FwpkgBuilder.h"
#include "FwpkgInfo.h"
#include "ScratchDir.h"

namespace {

TEST(FwImageTypeNameTest, NamesOfTheTable)
{
    const std::pair<int, const char*> named[] = {
        {0, "LOADER"},      {1, "NORMAL"},       {2, "KV_NV"},        {3, "EFUSE"},        {4, "OTP"},
        {5, "FLASHBOOT"},   {6, "FACTORY"},      {7, "VERSION"},      {8, "SECURITY_A"},   {9, "SECURITY_B"},
        {10, "SECURITY_C"}, {11, "PROTOCOL_A"},  {12, "APPS_A"},      {13, "RADIOCONFIG"}, {14, "ROM"},
        {15, "EMMC"},       {16, "DATABASE"},    {17, "FLASHBOOT_6529"}, {18, "APP"},      {19, "APP_SIGN"},
        {20, "BT"},         {21, "BT_SIGN"},     {22, "DSP"},         {23, "DSP_SIGN"},    {24, "SSB_SHA"},
        {25, "SSB_SIGN"},   {26, "DSP1"},        {27, "DSP1_SIGN"},   {28, "SMALL"},       {29, "SMALL_SHA"},
        {100, "FLASH_BIN"}, {101, "EMMC_BIN"},   {102, "SHA"},
    };
    for (const auto& entry : named) {
        EXPECT_EQ(BurnInfo::FwImageTypeName(entry.first), entry.second) << entry.first;
    }
    for (int unnamed : {30, 50, 99, 103, 104, 1000, -1, -100, 0x7fffffff, static_cast<int>(0x80000000)}) {
        EXPECT_EQ(BurnInfo::FwImageTypeName(unnamed), "UNKNOWN") << unnamed;
    }
}

class ParseFwpkgInfoTest : public ::testing::Test {
protected:
    std::vector<Sim::PackageImage> Images()
    {
        return {{"loader.bin", Sim::PatternBytes(4096, 1), 0x00000000, 0x10000, 0},
                {"app.bin", Sim::PatternBytes(777, 2), 0x00200000, 0x80000, 18}};
    }

    bool Read(const std::vector<uint8_t>& package, std::string* version)
    {
        Sim::WriteBinaryFile(dir / "p.fwpkg", package);
        return BurnInfo::ParseFwpkgInfo(dir / "p.fwpkg", rows, error, version, &crcError);
    }

    Sim::ScratchDir dir;
    std::vector<BurnInfo::FwImageInfo> rows;
    std::string error;
    std::string crcError = "stale";
};

// The table is read whatever the package's CRC, which is told apart.
TEST_F(ParseFwpkgInfoTest, CompactLayoutRowsWhateverTheCrc)
{
    for (bool corruptCrc : {false, true}) {
        SCOPED_TRACE(corruptCrc);
        Sim::FwpkgOptions options;
        options.corruptCrc = corruptCrc;
        std::string version = "stale";
        ASSERT_TRUE(Read(Sim::BuildFwpkg(Images(), options), &version)) << error;
        EXPECT_EQ(version, "");
        EXPECT_EQ(crcError, corruptCrc ? "fwpkg crc mismatch" : "");
        ASSERT_EQ(rows.size(), 2u);
        EXPECT_EQ(rows[0].name, "loader.bin");
        EXPECT_EQ(rows[0].address, 0u);
        EXPECT_EQ(rows[0].writeSize, 4096u);
        EXPECT_EQ(rows[0].eraseSize, 0x10000u);
        EXPECT_EQ(rows[0].type, 0u);
        EXPECT_EQ(rows[1].name, "app.bin");
        EXPECT_EQ(rows[1].address, 0x200000u);
        EXPECT_EQ(rows[1].writeSize, 777u);
        EXPECT_EQ(rows[1].eraseSize, 0x80000u);
        EXPECT_EQ(rows[1].type, 18u);
    }
}

TEST_F(ParseFwpkgInfoTest, ExtendedLayoutGivesTheVersionAndToleratesNoVersionSlot)
{
    Sim::FwpkgOptions options;
    options.layout = Sim::FwpkgLayout::Extended;
    options.version = "nimbos 2.4.1";
    std::string version;
    ASSERT_TRUE(Read(Sim::BuildFwpkg(Images(), options), &version)) << error;
    EXPECT_EQ(version, "nimbos 2.4.1");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].name, "app.bin");
    ASSERT_TRUE(Read(Sim::BuildFwpkg(Images(), options), nullptr));
    EXPECT_EQ(rows.size(), 2u);
}

TEST_F(ParseFwpkgInfoTest, FailuresCarryATextAndLeaveNoRows)
{
    rows.resize(3);
    EXPECT_FALSE(BurnInfo::ParseFwpkgInfo(dir / "missing.fwpkg", rows, error, nullptr));
    EXPECT_EQ(error, "cannot open file: " + (dir / "missing.fwpkg") + " (No such file or directory)");
    EXPECT_TRUE(rows.empty());

    Sim::FwpkgOptions options;
    options.magic = 0x12345678;
    std::string version = "stale";
    EXPECT_FALSE(Read(Sim::BuildFwpkg(Images(), options), &version));
    EXPECT_EQ(error, "not a fwpkg (bad magic flag)");
    EXPECT_EQ(version, "");

    EXPECT_FALSE(Read({}, nullptr));
    EXPECT_FALSE(error.empty());

    EXPECT_FALSE(BurnInfo::ParseFwpkgInfo(dir.Path(), rows, error, nullptr));
    EXPECT_EQ(error, "cannot read file: " + dir.Path());
}

}  // namespace
