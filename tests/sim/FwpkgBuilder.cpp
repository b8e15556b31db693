#include "FwpkgBuilder.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace Sim {

namespace {

constexpr size_t HEAD_LEN = 12;
constexpr size_t COMPACT_ENTRY_LEN = 52;
constexpr size_t COMPACT_NAME_LEN = 32;
constexpr size_t VERSION_LEN = 260;
constexpr size_t EXTENDED_NAME_LEN = 260;
constexpr size_t EXTENDED_ENTRY_LEN = 280;

void PutU32(std::vector<uint8_t>& out, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        out[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void PutU16(std::vector<uint8_t>& out, size_t at, uint16_t value)
{
    out[at] = static_cast<uint8_t>(value);
    out[at + 1] = static_cast<uint8_t>(value >> 8);
}

void PutText(std::vector<uint8_t>& out, size_t at, const std::string& text, size_t field)
{
    std::copy_n(text.begin(), std::min(text.size(), field), out.begin() + static_cast<std::ptrdiff_t>(at));
}

uint32_t GetU32(const std::vector<uint8_t>& in, size_t at)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | in[at + static_cast<size_t>(i)];
    }
    return value;
}

}  // namespace

uint16_t Crc16Xmodem(const uint8_t* data, size_t length)
{
    uint16_t crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc ^= static_cast<uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
        }
    }
    return crc;
}

std::vector<uint8_t> BuildFwpkg(const std::vector<PackageImage>& images, const FwpkgOptions& options)
{
    bool extended = options.layout == FwpkgLayout::Extended;
    size_t tableStart = extended ? HEAD_LEN + VERSION_LEN : HEAD_LEN;
    size_t entryLen = extended ? EXTENDED_ENTRY_LEN : COMPACT_ENTRY_LEN;
    size_t tableEnd = tableStart + entryLen * images.size();
    size_t total = tableEnd;
    for (const PackageImage& image : images) {
        total += image.data.size();
    }
    std::vector<uint8_t> out(total, 0);

    uint32_t magic = options.magic != 0 ? options.magic : (extended ? 0xEFBEADD0 : 0xEFBEADDF);
    PutU32(out, 0, magic);
    int count = options.countOverride >= 0 ? options.countOverride : static_cast<int>(images.size());
    PutU16(out, 6, static_cast<uint16_t>(count));
    PutU32(out, 8, static_cast<uint32_t>(total));
    if (extended) {
        PutText(out, HEAD_LEN, options.version, VERSION_LEN);
    }

    size_t dataAt = tableEnd;
    for (size_t i = 0; i < images.size(); ++i) {
        const PackageImage& image = images[i];
        size_t entry = tableStart + entryLen * i;
        size_t values = entry + (extended ? EXTENDED_NAME_LEN : COMPACT_NAME_LEN);
        PutText(out, entry, image.name, extended ? EXTENDED_NAME_LEN - 1 : COMPACT_NAME_LEN);
        PutU32(out, values, static_cast<uint32_t>(dataAt));
        PutU32(out, values + 4, static_cast<uint32_t>(image.data.size()));
        PutU32(out, values + 8, image.burnAddr);
        PutU32(out, values + 12, image.burnSize);
        PutU32(out, values + 16, image.type);
        std::copy(image.data.begin(), image.data.end(), out.begin() + static_cast<std::ptrdiff_t>(dataAt));
        dataAt += image.data.size();
    }

    uint16_t crc = Crc16Xmodem(out.data() + 6, tableEnd - 6);
    PutU16(out, 4, options.corruptCrc ? static_cast<uint16_t>(crc ^ 0x5A5A) : crc);
    return out;
}

bool ReadFwpkg(const std::vector<uint8_t>& package, std::vector<PackageImage>& images)
{
    images.clear();
    if (package.size() < HEAD_LEN) {
        return false;
    }
    uint32_t magic = GetU32(package, 0);
    bool extended = magic >= 0xEFBEADD0 && magic <= 0xEFBEADDE;
    if (!extended && magic != 0xEFBEADDF) {
        return false;
    }
    size_t count = static_cast<size_t>(package[6]) | (static_cast<size_t>(package[7]) << 8);
    size_t tableStart = extended ? HEAD_LEN + VERSION_LEN : HEAD_LEN;
    size_t entryLen = extended ? EXTENDED_ENTRY_LEN : COMPACT_ENTRY_LEN;
    size_t nameLen = extended ? EXTENDED_NAME_LEN : COMPACT_NAME_LEN;
    if (package.size() < tableStart + entryLen * count) {
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        size_t entry = tableStart + entryLen * i;
        const char* name = reinterpret_cast<const char*>(package.data() + entry);
        PackageImage image;
        image.name.assign(name, std::find(name, name + nameLen, '\0'));
        size_t offset = GetU32(package, entry + nameLen);
        size_t length = GetU32(package, entry + nameLen + 4);
        image.burnAddr = GetU32(package, entry + nameLen + 8);
        image.burnSize = GetU32(package, entry + nameLen + 12);
        image.type = GetU32(package, entry + nameLen + 16);
        if (offset > package.size() || length > package.size() - offset) {
            return false;
        }
        image.data.assign(package.begin() + static_cast<std::ptrdiff_t>(offset),
                          package.begin() + static_cast<std::ptrdiff_t>(offset + length));
        images.push_back(image);
    }
    return true;
}

std::vector<uint8_t> PatternBytes(size_t length, uint32_t seed)
{
    std::vector<uint8_t> bytes(length);
    uint32_t state = seed * 2654435761u + 1;
    for (uint8_t& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(state >> 16);
    }
    return bytes;
}

PackageImage PatternImage(const std::string& name, uint32_t type, uint32_t address, size_t length, uint32_t burnSize)
{
    PackageImage image;
    image.name = name;
    image.type = type;
    image.burnAddr = address;
    image.data = PatternBytes(length, address + type);
    image.burnSize = burnSize != 0 ? burnSize : static_cast<uint32_t>(length);
    return image;
}

bool WriteBinaryFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

std::vector<uint8_t> ReadBinaryFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace Sim
