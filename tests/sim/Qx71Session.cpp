#include "Qx71Session.h"

#include <algorithm>

#include "Burn.h"

namespace Sim {

BurnQx71ChipSp::BurnQx71Chip::TimeLimits ShortLimits(int scale)
{
    BurnQx71ChipSp::BurnQx71Chip::TimeLimits limits;
    limits.handshakeMs /= scale;
    limits.imageAckMs /= scale;
    limits.commandTryMs /= scale;
    limits.commandOverallMs /= scale;
    limits.longCommandMs /= scale;
    limits.baudSwitchAckMs /= scale;
    limits.ymodem.handshakeMs /= scale;
    limits.ymodem.ackMs /= scale;
    limits.ymodem.receiveMs /= scale;
    limits.ymodem.collectMs = std::max(limits.ymodem.collectMs / scale, 200);
    return limits;
}

Qx71Session::Qx71Session(int chipType)
{
    SetChipType(chipType);
    SetPacketSize(1024);
    SetIsOnlyBurnLoader(0);
}

Qx71Session::~Qx71Session()
{
    DestroyDevice(handle);
    SetChipType(0);
    SetPacketSize(1024);
    SetIsOnlyBurnLoader(0);
}

BurnChipBase* Qx71Session::Open(unsigned baudRate)
{
    handle = OpenSerialPort(bench.PortPath().c_str(), baudRate, 0, 0);
    if (handle != nullptr) {
        Driver().SetTimeLimits(ShortLimits());
    }
    return handle;
}

BurnChipBase* Qx71Session::OpenSimPort(unsigned baudRate)
{
    handle = OpenSerialPort("/dev/virtual0", baudRate, 0, 0);
    return handle;
}

BurnChipBase* Qx71Session::Reopen(unsigned baudRate)
{
    DestroyDevice(handle);
    return Open(baudRate);
}

BurnQx71ChipSp::BurnQx71Chip& Qx71Session::Driver()
{
    return dynamic_cast<BurnQx71ChipSp::BurnQx71Chip&>(*handle);
}

std::string Qx71Session::WritePackage(const std::vector<PackageImage>& images, const FwpkgOptions& options,
                                      const std::string& name)
{
    std::string path = dir / name;
    WriteBinaryFile(path, BuildFwpkg(images, options));
    return path;
}

Qx71Test::Qx71Test(int chipType) : chipType(chipType), session(chipType) {}

void Qx71Test::SetUp()
{
    ASSERT_NE(session.Open(), nullptr);
}

Qx71Chip& Qx71Test::StartChip(const Qx71Faults& faults)
{
    Qx71Variant variant = chipType == KP7715_CHIP_TYPE ? Qx71Variant::Kp7715 : Qx71Variant::Qx71;
    chip = std::make_unique<Qx71Chip>(session.bench, variant, faults);
    chip->Start();
    return *chip;
}

int Qx71Test::Burn(const std::vector<PackageImage>& images, const FwpkgOptions& options)
{
    std::string package = session.WritePackage(images, options);
    return DownloadAllinoneBin(session.handle, package.c_str(), 0);
}

std::vector<PackageImage> SamplePackageImages()
{
    return {
        {"loader.bin", PatternBytes(3000, 1), 0x00000000, 0x1000, 0},
        {"app.bin", PatternBytes(10000, 2), 0x00010000, 0x3000, 1},
        {"nv.bin", PatternBytes(2000, 3), 0x00080000, 0x1000, 2},
        {"factory.bin", PatternBytes(1500, 4), 0x00090000, 5000, 6},
        {"otp.bin", PatternBytes(100, 5), 0, 0, 3},
        {"version.bin", PatternBytes(64, 6), 0, 0, 7},
        {"data.bin", PatternBytes(500, 7), 0x00100000, 1, 14},
    };
}

std::vector<PackageImage> NamedPackageImages()
{
    return {{"loader.bin", Bytes(100, 1), 0, 0, 0},
            {"app.bin", Bytes(200, 2), 0x10000, 0x1000, 1},
            {"myapp_b.bin", Bytes(300, 3), 0x20000, 0x1000, 1},
            {"App.bin", Bytes(400, 4), 0x30000, 0x1000, 1}};
}

// The loader runs from RAM; OTP/e-Fuse and version images go to no flash address; type 16 is never sent.
bool LandsInFlash(const PackageImage& image)
{
    switch (image.type) {
        case 0:
        case 3:
        case 4:
        case 7:
        case 16:
            return false;
        default:
            return true;
    }
}

std::map<uint32_t, Bytes> ExpectedFlashMap(const std::vector<PackageImage>& images)
{
    std::map<uint32_t, Bytes> flash;
    for (const PackageImage& image : images) {
        if (LandsInFlash(image)) {
            flash[image.burnAddr] = image.data;
        }
    }
    return flash;
}

std::string JoinedNames(const std::vector<PackageImage>& images)
{
    std::string names;
    for (const PackageImage& image : images) {
        names += (names.empty() ? "" : ", ") + image.name;
    }
    return names;
}

std::vector<std::string> LastMessages(const PrintCapture& capture, size_t count)
{
    std::vector<std::string> messages = capture.Messages();
    size_t from = messages.size() > count ? messages.size() - count : 0;
    return std::vector<std::string>(messages.begin() + static_cast<std::ptrdiff_t>(from), messages.end());
}

std::vector<std::string> ImageNames(const std::vector<Qx71Image>& images)
{
    std::vector<std::string> names;
    for (const Qx71Image& image : images) {
        names.push_back(image.name);
    }
    return names;
}

}  // namespace Sim
