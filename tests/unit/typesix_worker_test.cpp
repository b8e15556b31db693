// The TypeSix worker's own file steps: companion file names, reading the package, and extraction that
// counts what reached the disk.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "BurnContext.h"
#include "FwpkgBuilder.h"
#include "ScratchDir.h"
#include "TypeSixBurnerWorker.h"

namespace {

using TypeSixBurnerWorkerSp::GetSha256FilePath;
using TypeSixBurnerWorkerSp::TypeSixBurnerWorker;

TEST(TypeSixWorkerFilesTest, CompanionGoesBeforeTheLastExtensionOfTheFileName)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"app.bin", "app_sha256.bin"},
        {"app", "app_sha256"},
        {"app.full.bin", "app.full_sha256.bin"},
        {"./fw/app_extract/boot", "./fw/app_extract/boot_sha256"},
        {"fw/app_extract/nv.img", "fw/app_extract/nv_sha256.img"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(GetSha256FilePath(c.first), c.second) << c.first;
    }
}

TEST(TypeSixWorkerFilesTest, PackageThatCannotBeReadGivesOneLine)
{
    Sim::ScratchDir dir;
    auto context = std::make_unique<BurnInfo::BurnContext>();
    context->SetFilePath(dir.Path());
    TypeSixBurnerWorker worker(std::move(context));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(worker.LoadPackage());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "error: Failed to open fwpkg file: " + dir.Path() + "\n");
}

TEST(TypeSixWorkerFilesTest, ExtractionFailsWhenTheDiskTakesFewerBytes)
{
    Sim::ScratchDir dir;
    std::string package = dir / "pkg.fwpkg";
    ASSERT_TRUE(Sim::WriteBinaryFile(package, Sim::BuildFwpkg({{"app.bin", Sim::PatternBytes(9000, 1), 0, 0, 20}})));
    TypeSixBurnerWorker worker(std::make_unique<BurnInfo::BurnContext>());
    testing::internal::CaptureStdout();
    EXPECT_FALSE(worker.ExtractBinFromFwpkg(package, "/dev/full", 64, 9000));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "error: Wrote 0 of 9000 bytes to /dev/full\n");
    EXPECT_TRUE(worker.ExtractBinFromFwpkg(package, dir / "app.bin", 64, 9000));
    EXPECT_EQ(Sim::ReadBinaryFile(dir / "app.bin"), Sim::PatternBytes(9000, 1));
}

}  // namespace
