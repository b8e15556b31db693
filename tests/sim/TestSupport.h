#ifndef VEXIL_TESTS_SIM_TESTSUPPORT_H
#define VEXIL_TESTS_SIM_TESTSUPPORT_H

#include <sys/stat.h>
#include <sys/types.h>

#include <ostream>
#include <string>
#include <vector>

#include "BurnChipBase.h"
#include "PrintCapture.h"

namespace Sim {

// argv for a main-like function over the given words, ending in a null pointer; the words must outlive it.
std::vector<char*> ArgumentPointers(std::vector<std::string>& words);

// The tool's progress state (one per process) as a fresh command finds it.
void ResetWorkerProgress();

// The other user of the machine in the tests that run as root: the user and group nobody.
constexpr uid_t NOBODY = 65534;

// The process's umask for a test's time, put back however the test ends.
struct ScopedUmask {
    explicit ScopedUmask(mode_t mask) : old(umask(mask)) {}
    ~ScopedUmask() { umask(old); }
    ScopedUmask(const ScopedUmask&) = delete;
    const mode_t old;
};

// A row of a test table that goes by its name: gtest prints it so, rather than as raw bytes, and
// testing::PrintToStringParamName() names its case so.
struct NamedRow {
    const char* name;
};

inline std::ostream& operator<<(std::ostream& out, const NamedRow& row)
{
    return out << row.name;
}

// A chip driver of the tests: every virtual step is recorded and can be told to fail.
class TestChip : public BurnChipBase {
public:
    std::vector<std::string> steps;
    std::string failStep;
    std::vector<std::string> onlyBurnNames;
    std::string preparedFile;
    unsigned long ddrAddressSetInBoot = 0;
    bool setsDdrAddressInBoot = false;

    bool ShakeHand() override;
    bool EraseAllFlash() override;
    bool FilePrepare(const std::string& bootFile) override;
    bool InitBoard() override;
    bool InitDdr() override;
    bool SecurityVerification() override;
    bool DownloadBootData() override;
    bool WaitBootRun() override;
    bool DownloadAllinoneBin(const char* file, unsigned long address) override;
    bool Reset() override;
    void SetOnlyBurnNames(const std::vector<std::string>& names) override;
    std::vector<std::string> GetOnlyBurnNames() const override;

private:
    bool Step(const std::string& name);
};

}  // namespace Sim

#endif
