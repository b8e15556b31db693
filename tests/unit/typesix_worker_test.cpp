// The TypeSix worker's own file steps: companion file names, the package checks made before the port
// is opened, and extraction that counts what reached the disk.
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

// What the worker prints while it reads and checks the package at path with the given --only-burn names.
std::string LoadOutput(const std::string& path, const std::vector<std::string>& onlyBurn, bool& loaded)
{
    auto context = std::make_unique<BurnInfo::BurnContext>();
    context->SetFilePath(path);
    for (const std::string& name : onlyBurn) {
        context->AddOnlyBurnName(name);
    }
    TypeSixBurnerWorker worker(std::move(context));
    testing::internal::CaptureStdout();
    loaded = worker.LoadPackage();
    return testing::internal::GetCapturedStdout();
}

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

struct LoadCase {
    const char* name;
    std::vector<Sim::PackageImage> images;
    std::vector<std::string> onlyBurn;
    std::string output;  // "%s" stands for the package's path; empty when the package is taken
};

TEST(TypeSixWorkerFilesTest, CollidingKeptNamesAndOnlyBurnNamesWithoutAnImageAreRefused)
{
    const std::vector<uint8_t> data(64, 1);
    const std::vector<LoadCase> cases = {
        {"image named as the digest file of another", {{"app.bin", data, 0, 0, 20}, {"app_sha256.bin", data, 0, 0, 20}},
         {}, "error: Image app_sha256.bin in fwpkg has the name of the SHA-256 file of image app.bin\n"},
        {"the same without an extension", {{"dsp1_sha256", data, 0, 0, 26}, {"dsp1", data, 0, 0, 26}}, {},
         "error: Image dsp1_sha256 in fwpkg has the name of the SHA-256 file of image dsp1\n"},
        {"the separator of the loader's files", {{"a|notes.txt", data, 0, 0, 0}}, {},
         "error: Invalid image name in fwpkg: \"a|notes.txt\"\n"},
        {"a collision with an image left out is none", {{"app.bin", data, 0, 0, 20}, {"app_sha256.bin", data, 0, 0, 20}},
         {"APP.BIN"}, ""},
        {"the first name without an image", {{"app.bin", data, 0, 0, 20}, {"nv.bin", data, 0, 0, 20}},
         {"nv.bin", "app", "other"}, "error: --only-burn app matches no image of %s.\n"},
    };
    for (const LoadCase& c : cases) {
        SCOPED_TRACE(c.name);
        Sim::ScratchDir dir;
        std::string package = dir / "pkg.fwpkg";
        ASSERT_TRUE(Sim::WriteBinaryFile(package, Sim::BuildFwpkg(c.images)));
        std::string expected = c.output;
        if (expected.find("%s") != std::string::npos) {
            expected.replace(expected.find("%s"), 2, package);
        }
        bool loaded = false;
        EXPECT_EQ(LoadOutput(package, c.onlyBurn, loaded), expected);
        EXPECT_EQ(loaded, expected.empty());
    }
}

TEST(TypeSixWorkerFilesTest, PackageThatCannotBeReadGivesOneLine)
{
    Sim::ScratchDir dir;
    for (const std::string& path : {dir.Path(), dir / "missing.fwpkg"}) {
        bool loaded = true;
        EXPECT_EQ(LoadOutput(path, {}, loaded), "error: Failed to open fwpkg file: " + path + "\n");
        EXPECT_FALSE(loaded);
    }
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
