#ifndef VEXIL_TESTS_SIM_CALLBACKRECORDER_H
#define VEXIL_TESTS_SIM_CALLBACKRECORDER_H

#include <string>
#include <vector>

// Registers print/cancel/progress callbacks with the library for the lifetime of the object
// and records everything they receive. Only one may be alive at a time.
namespace Sim {

struct PrintedLine {
    long long handle;
    std::string message;
    std::string debugMessage;
};

class CallbackRecorder {
public:
    CallbackRecorder();
    ~CallbackRecorder();
    CallbackRecorder(const CallbackRecorder&) = delete;
    CallbackRecorder& operator=(const CallbackRecorder&) = delete;

    const std::vector<PrintedLine>& Lines() const { return m_lines; }
    std::string Messages() const;        // every message joined
    std::string DebugMessages() const;   // every debug message joined
    bool Saw(const std::string& text) const;  // some message or debug message contains text
    const std::vector<int>& Progress() const { return m_progress; }
    void Clear();
    void SetCancelAnswer(int answer) { m_cancelAnswer = answer; }
    int CancelQueries() const { return m_cancelQueries; }

private:
    static void OnPrint(long long handle, const char* tag, const char* message, const char* debugMessage, int level);
    static int OnCancelQuery();
    static void OnProgress(long long handle, int percent);

    std::vector<PrintedLine> m_lines;
    std::vector<int> m_progress;
    int m_cancelAnswer = 0;
    int m_cancelQueries = 0;
};

}  // namespace Sim

#endif
