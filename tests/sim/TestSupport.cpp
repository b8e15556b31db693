#include "TestSupport.h"

#include <mutex>

#include "Burn.h"

namespace Sim {

namespace {

std::mutex g_mutex;
std::vector<PrintedMessage> g_printed;
std::vector<std::pair<long long, int>> g_progress;

void RecordPrint(long long handle, const char* tag, const char* message, const char* debugMessage, int level)
{
    (void)tag;
    (void)level;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_printed.push_back({handle, message != nullptr ? message : "", debugMessage != nullptr ? debugMessage : ""});
}

void RecordProgress(long long handle, int percent)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_progress.emplace_back(handle, percent);
}

}  // namespace

PrintCapture::PrintCapture(int (*cancelQuery)())
{
    Clear();
    RegisterCallback(RecordPrint, cancelQuery, RecordProgress);
}

PrintCapture::~PrintCapture()
{
    RegisterCallback(nullptr, nullptr, nullptr);
}

std::vector<PrintedMessage> PrintCapture::Printed() const
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_printed;
}

std::vector<std::string> PrintCapture::Messages() const
{
    std::vector<std::string> messages;
    for (const PrintedMessage& printed : Printed()) {
        messages.push_back(printed.message);
    }
    return messages;
}

std::string PrintCapture::Text() const
{
    std::string text;
    for (const std::string& message : Messages()) {
        text += message;
    }
    return text;
}

size_t PrintCapture::Count(const std::string& message) const
{
    size_t count = 0;
    for (const std::string& printed : Messages()) {
        count += printed == message ? 1 : 0;
    }
    return count;
}

std::vector<std::pair<long long, int>> PrintCapture::Progress() const
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_progress;
}

void PrintCapture::Clear()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_printed.clear();
    g_progress.clear();
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
