// The install step with stand-ins for id, dpkg-query, sudo and apt-get, alike for root and any user.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "ProgramRunner.h"
#include "ScratchDir.h"

TEST(InstallDepsTest, MissingPackagesThatCannotBeInstalledAreNamedWithTheCommand)
{
    Sim::ScratchDir bin;
    // One stand-in answers by the name it is called under; only acl is missing.
    ASSERT_TRUE(Sim::WriteTextFile(bin / "stand-in", "#!/bin/bash\ncase ${0##*/} in id) echo $AS_UID;; sudo) eval "
                                                     "\"$AS_SUDO\";; apt-get) eval \"$AS_APT\";;\n"
                                                     "*) [ $3 = acl ] || echo ' ok installed';; esac\n"));
    ASSERT_EQ(chmod((bin / "stand-in").c_str(), 0755), 0);
    for (const char* name : {"id", "dpkg-query", "sudo", "apt-get"}) {
        ASSERT_EQ(symlink("stand-in", (bin / name).c_str()), 0);
    }
    // sudo wants a password nobody can type, sudo refuses, apt-get fails for root.
    const std::string rows[][3] = {{"1000", "[ $1 = -n ] && exit 1; exec \"$@\"", "true"}, {"1000", "false", "true"},
                                   {"0", "false", "false"}};
    for (const auto& row : rows) {
        Sim::ProgramResult result = Sim::RunProgram({"/usr/bin/env", "PATH=" + bin.Path(), "AS_UID=" + row[0],
                                                     "AS_SUDO=" + row[1], "AS_APT=" + row[2], "/bin/bash",
                                                     VEXIL_BUILD_DIR "/install-deps.sh"});
        EXPECT_EQ(result.exitCode, 1) << row[1];
        EXPECT_THAT(result.output, testing::EndsWith("acl; install them as root with: apt-get install acl\n"));
    }
}
