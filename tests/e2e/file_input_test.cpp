// Whole-file readers through the built vexil: a device without end, a FIFO, a directory or a setting
// file with an endless line is refused with the reader's usual line and status, at once, without
// growing memory; an allocation that cannot be served ends in a line, not an abort.
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "ProgramRunner.h"
#include "ToolInstall.h"

namespace {

constexpr int SETUP_FAILED = 1;
constexpr int OUT_OF_MEMORY = 9;
// A refusal is at once; a reader that waits for a FIFO's writer or reads /dev/zero runs into this.
constexpr int RUN_LIMIT_MS = 5000;

class FileInputTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(install.Ready());
        ASSERT_EQ(mkfifo(install.Path("fifo.fwpkg").c_str(), 0600), 0);
        ASSERT_EQ(mkfifo(install.Path("fifo.xml").c_str(), 0600), 0);
        ASSERT_EQ(mkdir(install.Path("dir.fwpkg").c_str(), 0700), 0);
        std::string longLine(70000, 'a');
        ASSERT_TRUE(Sim::WriteTextFile(install.Path("long.config"), "chipName=" + longLine + "\n"));
        ASSERT_TRUE(install.AddChip("longchip", "ChipType=0x30004\nResetAtCommand=" + longLine + "\n"));
    }

    Sim::ProgramResult Run(const std::vector<std::string>& words) const
    {
        Sim::ProgramOptions options;
        options.timeoutMs = RUN_LIMIT_MS;
        return install.Run(words, options);
    }

    Sim::ToolInstall install{VEXIL_BUILD_DIR};
};

TEST_F(FileInputTest, NonRegularFilesAndEndlessLinesAreRefusedWithTheReadersLine)
{
    const std::string fifo = install.Path("fifo.fwpkg");
    const std::string dir = install.Path("dir.fwpkg");
    const std::string xml = install.Path("fifo.xml");
    const std::string longConfig = install.Path("long.config");
    const std::string longChip = install.Path("ChipProperties/longchip.txt");
    const std::string xmlFailed = "error: Failed to load xml file: " + xml +
                                  ".\nMaybe this is not int XML format, or used by other application.\n"
                                  "error: Parse partition burn file failed!\n";
    const struct {
        std::vector<std::string> words;
        std::string output;
    } cases[] = {
        {{"parse", "-f", "/dev/zero"}, "error: cannot read file: /dev/zero\n"},
        {{"parse", "-f", fifo}, "error: cannot read file: " + fifo + "\n"},
        {{"parse", "-f", dir}, "error: cannot read file: " + dir + "\n"},
        {{"write", "--config", "/dev/zero", "-c", "qx71", "-p", "/dev/null", "-f", "a.fwpkg"},
         "error: Open burn.config failed: /dev/zero (Not a regular file).\n"},
        {{"write", "--config", fifo, "-c", "qx71", "-p", "/dev/null", "-f", "a.fwpkg"},
         "error: Open burn.config failed: " + fifo + " (Not a regular file).\n"},
        {{"erase", "--config", longConfig, "-c", "qx71", "-p", "/dev/null", "-f", "a.fwpkg"},
         "error: " + longConfig + " has a line longer than 65536 bytes.\n"},
        {{"read", "-c", "longchip", "-p", "/dev/null", "-f", "a.fwpkg"},
         "error: " + longChip + " has a line longer than 65536 bytes.\nerror: Load chip properties file failed!\n"},
        {{"write", "-c", "qx71", "-p", "/dev/null", "-f", xml}, xmlFailed},
    };
    for (const auto& run : cases) {
        SCOPED_TRACE(run.words[0] + " " + run.words[2]);
        Sim::ProgramResult result = Run(run.words);
        EXPECT_EQ(result.exitCode, SETUP_FAILED);
        EXPECT_EQ(result.output, run.output);
    }
}

// The XML reader allocates the whole file at once: a sparse file larger than memory and swap.
TEST_F(FileInputTest, AnAllocationThatCannotBeServedEndsWithALine)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' allocators end the process on an allocation they cannot serve";
#endif
    constexpr off_t HUGE_SIZE = 8LL << 40;
    void* probe = std::malloc(HUGE_SIZE);
    std::free(probe);
    if (probe != nullptr) {
        GTEST_SKIP() << "this machine lends 8 TiB of memory without a word";
    }
    std::string table = install.Path("huge.xml");
    ASSERT_TRUE(Sim::WriteTextFile(table, ""));
    if (truncate(table.c_str(), HUGE_SIZE) != 0) {
        GTEST_SKIP() << "the file system holds no sparse file this large";
    }
    Sim::ProgramResult result = Run({"write", "-c", "qx71", "-p", "/dev/null", "-f", table});
    EXPECT_EQ(result.exitCode, OUT_OF_MEMORY);
    EXPECT_EQ(result.output, "error: Out of memory.\n");
}

}  // namespace
