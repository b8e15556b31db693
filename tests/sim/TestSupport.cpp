#include "TestSupport.h"

#include "Burn.h"
#include "BurnerWorkerBase.h"

namespace Sim {

std::vector<char*> ArgumentPointers(std::vector<std::string>& words)
{
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(&word[0]);
    }
    argv.push_back(nullptr);
    return argv;
}

void ResetWorkerProgress()
{
    BurnerWorkerBase::m_isPrintProgress = false;
    BurnerWorkerBase::m_partSizeList.clear();
    BurnerWorkerBase::m_totalLength = 0;
    BurnerWorkerBase::m_partIndex = 0;
    BurnerWorkerBase::m_isProgressLineOpen = false;
}

bool TestChip::Step(const std::string& name)
{
    steps.push_back(name);
    return name != failStep;
}

bool TestChip::ShakeHand()
{
    return Step("ShakeHand");
}

bool TestChip::EraseAllFlash()
{
    return Step("EraseAllFlash");
}

bool TestChip::FilePrepare(const std::string& bootFile)
{
    preparedFile = bootFile;
    return Step("FilePrepare");
}

bool TestChip::InitBoard()
{
    return Step("InitBoard");
}

bool TestChip::InitDdr()
{
    return Step("InitDdr");
}

bool TestChip::SecurityVerification()
{
    return Step("SecurityVerification");
}

bool TestChip::DownloadBootData()
{
    if (setsDdrAddressInBoot) {
        SetBootDdrAddr(ddrAddressSetInBoot);
    }
    return Step("DownloadBootData");
}

bool TestChip::WaitBootRun()
{
    return Step("WaitBootRun");
}

bool TestChip::DownloadAllinoneBin(const char* file, unsigned long address)
{
    (void)address;
    return Step(std::string("DownloadAllinoneBin:") + (file != nullptr ? file : "(null)"));
}

bool TestChip::Reset()
{
    return Step("Reset");
}

void TestChip::SetOnlyBurnNames(const std::vector<std::string>& names)
{
    onlyBurnNames = names;
}

std::vector<std::string> TestChip::GetOnlyBurnNames() const
{
    return onlyBurnNames;
}

}  // namespace Sim
