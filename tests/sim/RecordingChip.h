#ifndef VEXIL_TESTS_SIM_RECORDINGCHIP_H
#define VEXIL_TESTS_SIM_RECORDINGCHIP_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "BurnChipBase.h"

namespace Sim {

// What the chip drivers made while a RecordingChips was alive were asked to do, in order.
struct ChipRecord {
    int chipsMade = 0;
    // One entry per call, such as "SetCtrlPeriod(20)" or "DownloadAllinoneBin(/tmp/app.fwpkg)".
    std::vector<std::string> calls;
    // The library-wide and per-device settings as they stood when the package download began.
    unsigned targetBaudAtDownload = 0;
    bool onlyBurnLoaderAtDownload = false;
    // Answers of the operations, and the flash contents an upload writes to its file.
    bool downloadSucceeds = true;
    bool eraseSucceeds = true;
    bool uploadSucceeds = true;
    bool resetSucceeds = true;
    std::vector<uint8_t> flash;
    // What another process does while the chip is read, once the flash is in the file.
    std::function<void()> duringUpload;
    // What befalls the device once the package is burnt.
    std::function<void()> afterDownload;
};

// A chip driver that records its calls instead of talking to a chip; the port is still opened for real.
class RecordingChip : public BurnChipBase {
public:
    explicit RecordingChip(ChipRecord& record) : m_record(record) {}

    bool ShakeHand() override;
    bool EraseAllFlash() override;
    bool FilePrepare(const std::string& bootFile) override;
    bool WaitBootRun() override;
    bool DownloadAllinoneBin(const char* file, unsigned long address) override;
    bool UploadFile(unsigned long address, int length, const char* outFile) override;
    bool Reset() override;
    void SetCtrlPeriod(int ms) override;
    void SetSwitchAfterLoader(bool isSwitch) override;
    void SetBeforeReset(bool isReset) override;
    void SetAtResetCommand(const std::string& command) override;
    void SetOnlyBurnNames(const std::vector<std::string>& names) override;
    std::vector<std::string> GetOnlyBurnNames() const override;

private:
    void Note(const std::string& call);

    ChipRecord& m_record;
    std::vector<std::string> m_onlyBurnNames;
};

// While alive, every serial chip driver the library makes is a RecordingChip writing to Record(), and
// every routed download of a TypeSix device succeeds without sending anything.
// One may be alive at a time.
class RecordingChips {
public:
    RecordingChips();
    ~RecordingChips();
    RecordingChips(const RecordingChips&) = delete;
    RecordingChips& operator=(const RecordingChips&) = delete;

    ChipRecord& Record() { return m_record; }

private:
    ChipRecord m_record;
};

}  // namespace Sim

#endif
