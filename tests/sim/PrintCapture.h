#ifndef VEXIL_TESTS_SIM_PRINTCAPTURE_H
#define VEXIL_TESTS_SIM_PRINTCAPTURE_H

#include <string>
#include <utility>
#include <vector>

namespace Sim {

struct PrintedMessage {
    long long handle = 0;
    std::string message;
    std::string debugMessage;
};

// Registers print and progress callbacks that record what the library reports; restores silence
// when it goes out of scope.
class PrintCapture {
public:
    explicit PrintCapture(int (*cancelQuery)() = nullptr);
    ~PrintCapture();
    PrintCapture(const PrintCapture&) = delete;
    PrintCapture& operator=(const PrintCapture&) = delete;

    std::vector<PrintedMessage> Printed() const;
    std::vector<std::string> Messages() const;
    // All messages joined, in order.
    std::string Text() const;
    size_t Count(const std::string& message) const;
    std::vector<std::pair<long long, int>> Progress() const;
    void Clear();
};

}  // namespace Sim

#endif
