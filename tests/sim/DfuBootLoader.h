#ifndef VEXIL_TESTS_SIM_DFUBOOTLOADER_H
#define VEXIL_TESTS_SIM_DFUBOOTLOADER_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "BootFrameWire.h"
#include "PtyBench.h"
#include "VirtualDfuDevice.h"

// The department-3 boot loader behind a virtual DFU device: every download opens with a boot
// command frame in block 0, the blocks after it are that command's data, and the manifest phase
// carries the command out (an image lands at its address, erase all clears the flash). A reset
// frame ends the session: the device leaves the bus. With the Kp7715 boot ROM only a loader is
// taken until one has run.
namespace Sim {

struct DfuBootLoaderFaults {
    bool needsLoader = false;        // the Kp7715 boot ROM
    int refusedFrame = -1;           // the frame (counted from 0) answered with errTARGET
};

// One download the boot loader carried out.
struct DfuBootImage {
    BootFrame frame;
    Bytes data;
};

class DfuBootLoader : public DfuDownloadHandler {
public:
    explicit DfuBootLoader(DfuBootLoaderFaults faults = {});

    uint8_t OnBlock(uint16_t block, const uint8_t* data, uint16_t length) override;
    uint8_t OnManifest() override;
    // The reset frame has been taken.
    bool LeavesBus() const override { return m_sessionEnded; }

    const std::map<uint32_t, Bytes>& FlashMap() const { return m_flash; }
    // Every frame that came in block 0, valid or not, as its raw block.
    const std::vector<Bytes>& FrameBlocks() const { return m_frameBlocks; }
    std::vector<uint8_t> Commands() const;
    // Downloads carried out to their end, in order (loader, images, erase all).
    const std::vector<DfuBootImage>& Done() const { return m_done; }
    bool LoaderRan() const { return m_loaderRan; }
    size_t EraseAlls() const { return m_eraseAlls; }
    std::string LastRefusal() const { return m_lastRefusal; }

private:
    uint8_t OnFrameBlock(const uint8_t* data, uint16_t length);
    uint8_t Refuse(const std::string& why);
    void Land(const DfuBootImage& image);

    DfuBootLoaderFaults m_faults;
    std::map<uint32_t, Bytes> m_flash;
    std::vector<Bytes> m_frameBlocks;
    std::vector<DfuBootImage> m_done;
    bool m_hasCommand = false;
    DfuBootImage m_current;
    bool m_loaderRan = false;
    bool m_sessionEnded = false;
    size_t m_eraseAlls = 0;
    std::string m_lastRefusal;
};

}  // namespace Sim

#endif
