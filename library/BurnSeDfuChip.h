#ifndef VEXIL_LIBRARY_BURNSEDFUCHIP_H
#define VEXIL_LIBRARY_BURNSEDFUCHIP_H

#include <cstddef>
#include <string>
#include <vector>

#include "BurnDfuChip.h"
#include "Common.h"

// The USB DFU driver of the department-3 boot loader: a firmware package goes image by image, each
// announced by a boot command frame in DNLOAD block 0 and ending with its own manifest phase. The
// Kp7715 boot ROM first takes the package's loader and comes back on the bus running it.
class BurnSeDfuChip : public BurnDfuChip {
public:
    BurnSeDfuChip() = default;
    ~BurnSeDfuChip() override;

    bool EraseAllFlash() override;
    // A package burns image by image; any other file is one flash image at address.
    bool DownloadAllinoneBin(const char* file, unsigned long address) override;
    bool Reset() override;

private:
    bool BurnFwpkg(const char* path, const unsigned char* data, unsigned long length);
    bool BurnPlainFile(const unsigned char* data, size_t length, unsigned long address);
    bool BurnOneImage(const Common::FileHead& image, const unsigned char* data);
    bool BurnLoaderImage(const Common::FileHead& image, const unsigned char* data);
    std::vector<unsigned char> BuildCmdForImage(const Common::FileHead& image) const;
    bool DownloadAndConfirm(const unsigned char* data, unsigned long length);
};

#endif
