#ifndef VEXIL_CLI_FWPKGINFO_H
#define VEXIL_CLI_FWPKGINFO_H

#include <cstdint>
#include <string>
#include <vector>

namespace BurnInfo {

// One row of a package's image table.
struct FwImageInfo {
    std::string name;
    uint32_t address = 0;
    uint32_t writeSize = 0;
    uint32_t eraseSize = 0;
    uint32_t type = 0;
};

// Reads the image table of a package whatever its CRC; version may be null. refusal, when not null, is
// set to the line every burn refuses the table with (a CRC that does not match, an image the file does
// not hold whole) and left empty when the table passes.
bool ParseFwpkgInfo(const std::string& path, std::vector<FwImageInfo>& rows, std::string& error,
                    std::string* version, std::string* refusal = nullptr);

// Whether the file reads as a firmware package, whatever its CRC.
bool IsFirmwarePackage(const std::string& path);

// The name of an image type number, "UNKNOWN" for a number without one.
std::string FwImageTypeName(int type);

}  // namespace BurnInfo

#endif
