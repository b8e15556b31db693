#include "RecordingChip.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>

#include "ChipDriverFactory.h"
#include "FwpkgBuilder.h"

namespace Sim {

namespace {

ChipRecord* g_activeRecord = nullptr;

std::unique_ptr<BurnChipBase> MakeRecordingChip(ChipDriverFactory::DriverKind kind)
{
    (void)kind;
    if (g_activeRecord == nullptr) {
        return nullptr;
    }
    ++g_activeRecord->chipsMade;
    return std::unique_ptr<BurnChipBase>(new (std::nothrow) RecordingChip(*g_activeRecord));
}

// The protocol base sends nothing and reports success: a routed download that always works.
std::unique_ptr<TransportProtocolBase> MakeQuietProtocol(BurnChipBase& chip)
{
    return std::unique_ptr<TransportProtocolBase>(new (std::nothrow) TransportProtocolBase(&chip));
}

std::string Flag(bool value)
{
    return value ? "1" : "0";
}

}  // namespace

void RecordingChip::Note(const std::string& call)
{
    m_record.calls.push_back(call);
}

bool RecordingChip::ShakeHand()
{
    Note("ShakeHand()");
    return true;
}

bool RecordingChip::EraseAllFlash()
{
    Note("EraseAllFlash()");
    return m_record.eraseSucceeds;
}

bool RecordingChip::FilePrepare(const std::string& bootFile)
{
    Note("FilePrepare(" + bootFile + ")");
    return true;
}

bool RecordingChip::WaitBootRun()
{
    Note("WaitBootRun()");
    return true;
}

bool RecordingChip::DownloadAllinoneBin(const char* file, unsigned long address)
{
    std::error_code error;  // a package handed as a descriptor the tool holds is noted as the file it opens
    Note("DownloadAllinoneBin(" + std::filesystem::canonical(file, error).string() + "," + std::to_string(address) +
         ")");
    m_record.targetBaudAtDownload = GetTargetBaudRate();
    m_record.onlyBurnLoaderAtDownload = m_isOnlyBurnLoader;
    SetProgress(50);
    SetProgress(100);
    if (m_record.afterDownload) {
        m_record.afterDownload();
    }
    return m_record.downloadSucceeds;
}

bool RecordingChip::UploadFile(unsigned long address, int length, const char* outFile)
{
    Note("UploadFile(" + std::to_string(address) + "," + std::to_string(length) + "," + outFile + ")");
    // A failing upload has written what it got, as a read cut short does, and names the file it wrote.
    bool written = WriteBinaryFile(outFile, m_record.flash);
    if (m_record.duringUpload) {
        m_record.duringUpload();
    }
    if (!m_record.uploadSucceeds) {
        Common::PrintInfo(GetThisPtr(), Common::INFO_MESSAGE, "Writing the output file %s failed.\n", outFile);
    }
    return written && m_record.uploadSucceeds;
}

bool RecordingChip::Reset()
{
    Note("Reset()");
    return m_record.resetSucceeds;
}

void RecordingChip::SetCtrlPeriod(int ms)
{
    BurnChipBase::SetCtrlPeriod(ms);
    Note("SetCtrlPeriod(" + std::to_string(ms) + ")");
}

void RecordingChip::SetSwitchAfterLoader(bool isSwitch)
{
    BurnChipBase::SetSwitchAfterLoader(isSwitch);
    Note("SetSwitchAfterLoader(" + Flag(isSwitch) + ")");
}

void RecordingChip::SetBeforeReset(bool isReset)
{
    BurnChipBase::SetBeforeReset(isReset);
    Note("SetBeforeReset(" + Flag(isReset) + ")");
}

void RecordingChip::SetAtResetCommand(const std::string& command)
{
    BurnChipBase::SetAtResetCommand(command);
    Note("SetAtResetCommand(" + command + ")");
}

void RecordingChip::SetOnlyBurnNames(const std::vector<std::string>& names)
{
    m_onlyBurnNames = names;
    std::string joined;
    for (const std::string& name : names) {
        joined += (joined.empty() ? "" : ",") + name;
    }
    Note("SetOnlyBurnNames(" + joined + ")");
}

std::vector<std::string> RecordingChip::GetOnlyBurnNames() const
{
    return m_onlyBurnNames;
}

RecordingChips::RecordingChips()
{
    g_activeRecord = &m_record;
    ChipDriverFactory::Makers makers;
    makers.newChip = MakeRecordingChip;
    makers.newRoutedProtocol = MakeQuietProtocol;
    ChipDriverFactory::OverrideMakers(makers);
}

RecordingChips::~RecordingChips()
{
    ChipDriverFactory::OverrideMakers(ChipDriverFactory::Makers());
    g_activeRecord = nullptr;
}

}  // namespace Sim
