// The install step with stand-ins for id, dpkg-query, sudo and apt-get, so that it runs alike for root
// and any other user.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "ProgramRunner.h"
#include "ScratchDir.h"

TEST(InstallDepsTest, MissingPackagesThatCannotBeInstalledAreNamedWithTheCommand)
{
    // The user id, sudo and apt-get: sudo wants a password nobody can type, sudo refuses, apt-get fails.
    const std::string rows[][3] = {{"1000", "[ $1 = -n ] && exit 1; exec \"$@\"", "true"}, {"1000", "false", "true"},
                                   {"0", "false", "false"}};
    for (const auto& row : rows) {
        Sim::ScratchDir bin;
        const std::pair<std::string, std::string> tools[] = {
            {"id", "echo " + row[0]}, {"dpkg-query", "[ $3 = acl ] || echo ' ok installed'"}, {"sudo", row[1]},
            {"apt-get", row[2]}};
        for (const auto& [name, command] : tools) {
            ASSERT_TRUE(Sim::WriteTextFile(bin / name, "#!/bin/bash\n" + command + "\n"));
            ASSERT_EQ(chmod((bin / name).c_str(), 0755), 0);
        }
        Sim::ProgramResult result =
            Sim::RunProgram({"/usr/bin/env", "PATH=" + bin.Path(), "/bin/bash", VEXIL_BUILD_DIR "/install-deps.sh"});
        EXPECT_EQ(result.exitCode, 1) << row[1];
        EXPECT_THAT(result.output, testing::EndsWith("missing packages: acl; install them as root with: apt-get "
                                                     "install acl\n"));
    }
}
