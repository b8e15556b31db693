#include "PrintCapture.h"

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

}  // namespace Sim
