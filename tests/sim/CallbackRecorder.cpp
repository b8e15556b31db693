#include "CallbackRecorder.h"

#include "Burn.h"

namespace Sim {

namespace {
CallbackRecorder* g_activeRecorder = nullptr;
}

CallbackRecorder::CallbackRecorder()
{
    g_activeRecorder = this;
    RegisterCallback(&CallbackRecorder::OnPrint, &CallbackRecorder::OnCancelQuery, &CallbackRecorder::OnProgress);
}

CallbackRecorder::~CallbackRecorder()
{
    RegisterCallback(nullptr, nullptr, nullptr);
    g_activeRecorder = nullptr;
}

std::string CallbackRecorder::Messages() const
{
    std::string all;
    for (const PrintedLine& line : m_lines) {
        all += line.message;
    }
    return all;
}

std::string CallbackRecorder::DebugMessages() const
{
    std::string all;
    for (const PrintedLine& line : m_lines) {
        all += line.debugMessage;
    }
    return all;
}

bool CallbackRecorder::Saw(const std::string& text) const
{
    for (const PrintedLine& line : m_lines) {
        if (line.message.find(text) != std::string::npos || line.debugMessage.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

void CallbackRecorder::Clear()
{
    m_lines.clear();
    m_progress.clear();
    m_cancelQueries = 0;
}

void CallbackRecorder::OnPrint(long long handle, const char* tag, const char* message, const char* debugMessage, int)
{
    (void)tag;
    if (g_activeRecorder != nullptr) {
        g_activeRecorder->m_lines.push_back({handle, message, debugMessage});
    }
}

int CallbackRecorder::OnCancelQuery()
{
    if (g_activeRecorder == nullptr) {
        return 0;
    }
    ++g_activeRecorder->m_cancelQueries;
    return g_activeRecorder->m_cancelAnswer;
}

void CallbackRecorder::OnProgress(long long, int percent)
{
    if (g_activeRecorder != nullptr) {
        g_activeRecorder->m_progress.push_back(percent);
    }
}

}  // namespace Sim
