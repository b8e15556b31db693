#ifndef VEXIL_TESTS_SIM_FWPKGBUILDER_H
#define VEXIL_TESTS_SIM_FWPKGBUILDER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Writes firmware packages for the tests from the file format alone, with its own CRC.
namespace Sim {

struct PackageImage {
    std::string name;
    std::vector<uint8_t> data;
    uint32_t burnAddr = 0;
    uint32_t burnSize = 0;
    uint32_t type = 0;
};

enum class FwpkgLayout { Compact, Extended };

struct FwpkgOptions {
    FwpkgLayout layout = FwpkgLayout::Compact;
    uint32_t magic = 0;         // 0: the layout's usual magic
    std::string version;        // extended layout only; up to 260 bytes, NUL-padded
    bool corruptCrc = false;    // store a CRC that does not match
    int countOverride = -1;     // >= 0: image count written into the header instead of the real one
};

uint16_t Crc16Xmodem(const uint8_t* data, size_t length);
std::vector<uint8_t> BuildFwpkg(const std::vector<PackageImage>& images, const FwpkgOptions& options = {});
// The images of a package of either layout; false when it is none or an image runs past its end.
bool ReadFwpkg(const std::vector<uint8_t>& package, std::vector<PackageImage>& images);
std::vector<uint8_t> PatternBytes(size_t length, uint32_t seed);
// An image of pattern bytes seeded by its address and type; a burn size of 0 is its length.
PackageImage PatternImage(const std::string& name, uint32_t type, uint32_t address, size_t length,
                          uint32_t burnSize = 0);
bool WriteBinaryFile(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadBinaryFile(const std::string& path);

}  // namespace Sim

#endif
