// The TypeSix worker's own file steps: companion file names, reading the package, and extraction that
// counts what reached the disk.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
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
    EXPECT_EQ(worker.LoadPackage(), BurnInfo::BURN_PARTITION_FAILED);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "error: Failed to open fwpkg file: " + dir.Path() + "\n");
}

TEST(TypeSixWorkerFilesTest, ExtractionFailsWhenTheDiskTakesFewerBytes)
{
    Sim::ScratchDir dir;
    std::string package = dir / "pkg.fwpkg";
    const std::vector<uint8_t> bytes = Sim::BuildFwpkg({{"app.bin", Sim::PatternBytes(9000, 1), 0, 0, 20}});
    ASSERT_TRUE(Sim::WriteBinaryFile(package, bytes));
    ExtractDirectory directory;
    ASSERT_TRUE(directory.Open(dir.Path() + "/"));
    TypeSixBurnerWorker worker(std::make_unique<BurnInfo::BurnContext>());
    // Files may grow to 4096 bytes for a while, as on a disk that fills up.
    rlimit limit = {4096, RLIM_INFINITY};
    ASSERT_TRUE(std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR && setrlimit(RLIMIT_FSIZE, &limit) == 0);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(worker.ExtractBinFromFwpkg(bytes.data(), directory, "app.bin", 64, 9000));
    limit.rlim_cur = RLIM_INFINITY;
    setrlimit(RLIMIT_FSIZE, &limit);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "error: Wrote 4096 of 9000 bytes to " + dir / "app.bin\n");
    // A file that a name already leads to in the run's own directory, as one that a medium ignoring letter
    // case takes for it, is neither replaced nor written through: the image is not unpacked.
    const std::string image = directory.HeldPathOf("app.bin");
    ASSERT_TRUE(unlink(image.c_str()) == 0 && symlink(package.c_str(), image.c_str()) == 0 &&
                link(package.c_str(), directory.HeldPathOf("app_sha256.bin").c_str()) == 0);
    for (const std::string name : {"app.bin", "app_sha256.bin"}) {
        testing::internal::CaptureStdout();
        EXPECT_FALSE(worker.ExtractBinFromFwpkg(bytes.data(), directory, name, 64, 9000));
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "error: Failed to create output file: " + dir / name + " (File exists)\n");
    }
    EXPECT_EQ(Sim::ReadBinaryFile(package), bytes);
}

}  // namespace
