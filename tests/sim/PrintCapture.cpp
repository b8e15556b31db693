#include "PrintCapture.h"

#include "Burn.h"

namespace Sim {

namespace {
PrintCapture* g_activeCapture = nullptr;
}

PrintCapture::PrintCapture()
{
    g_activeCapture = this;
    RegisterCallback(&PrintCapture::OnPrint, &PrintCapture::OnCancelQuery, &PrintCapture::OnProgress);
}

PrintCapture::~PrintCapture()
{
    RegisterCallback(nullptr, nullptr, nullptr);
    g_activeCapture = nullptr;
}

std::string PrintCapture::Messages() const
{
    std::string all;
    for (const PrintedLine& line : m_lines) {
        all += line.message;
    }
    return all;
}

std::string PrintCapture::DebugMessages() const
{
    std::string all;
    for (const PrintedLine& line : m_lines) {
        all += line.debugMessage;
    }
    return all;
}

bool PrintCapture::Saw(const std::string& text) const
{
    for (const PrintedLine& line : m_lines) {
        if (line.message.find(text) != std::string::npos || line.debugMessage.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

void PrintCapture::Clear()
{
    m_lines.clear();
    m_progress.clear();
    m_cancelQueries = 0;
}

void PrintCapture::OnPrint(long long handle, const char* tag, const char* message, const char* debugMessage, int)
{
    (void)tag;
    if (g_activeCapture != nullptr) {
        g_activeCapture->m_lines.push_back({handle, message, debugMessage});
    }
}

int PrintCapture::OnCancelQuery()
{
    if (g_activeCapture == nullptr) {
        return 0;
    }
    ++g_activeCapture->m_cancelQueries;
    return g_activeCapture->m_cancelAnswer;
}

void PrintCapture::OnProgress(long long, int percent)
{
    if (g_activeCapture != nullptr) {
        g_activeCapture->m_progress.push_back(percent);
    }
}

}  // namespace Sim
