// A Qx71-family burn against a chip that does something wrong, in-process through the injected port:
// the burn ends either with every image in flash as the package states it or as a failure, and each
// failure says why with the lines a user reads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Burn.h"
#include "FwpkgBuilder.h"
#include "Qx71Session.h"
#include "Qx71SimChip.h"
#include "SimPort.h"

namespace {

using Sim::Bytes;
using Sim::PackageImage;
using Sim::Qx71Faults;

// A chip that raises the cancel once it has received the first image, as a user at the keyboard would.
class CancellingChip : public Sim::Qx71SimChip {
public:
    CancellingChip(Qx71Faults faults, bool cancel) : Qx71SimChip(Sim::Qx71Variant::Qx71, faults), m_cancel(cancel) {}
    void OnIdle(Sim::SimPort& port, long long nowMs) override
    {
        Qx71SimChip::OnIdle(port, nowMs);
        if (m_cancel && handle != nullptr && !Machine().Images().empty()) {
            m_cancel = false;
            Cancel(handle);
        }
    }
    BurnChipBase* handle = nullptr;

private:
    bool m_cancel;
};

struct FaultCase {
    const char* name;
    Qx71Faults faults;
    std::vector<PackageImage> images;
    int expected;                         // the device API's result
    std::vector<std::string> lastLines;   // "{package}" stands for the package's path
    long long maxVirtualMs = -1;          // how long the burn may take on the chip's clock (-1: any)
    bool cancelAfterFirstImage = false;
    Bytes preload;                        // flash content at the first image's address before the burn
};

std::vector<PackageImage> WithImage(std::vector<PackageImage> images, size_t index, uint32_t burnAddr, uint32_t burnSize)
{
    images[index].burnAddr = burnAddr;
    images[index].burnSize = burnSize;
    return images;
}

Qx71Faults Fault(void (*set)(Qx71Faults&))
{
    Qx71Faults faults;
    set(faults);
    return faults;
}

std::vector<FaultCase> Cases()
{
    const std::vector<PackageImage> sample = Sim::SamplePackageImages();
    const std::string formatError = "File: {package} format error!\n";
    return {
        {"a chip without faults", Qx71Faults(), sample, 1, {"downloaded: data.bin successfully.\n"}, -1, false, {}},
        {"console flood before every image ack", Fault([](Qx71Faults& f) { f.floodBeforeImageAck = 10000; }), sample,
         1, {"downloaded: data.bin successfully.\n"}, -1, false, {}},
        {"NOR flash erased before it is written", Fault([](Qx71Faults& f) { f.norFlash = true; }), sample, 1,
         {"downloaded: data.bin successfully.\n"}, -1, false, Bytes(0x3000, 0x00)},
        {"no ack after any image", Fault([](Qx71Faults& f) { f.noImageAck = true; }), sample, 0,
         {"Ack receiving timeout.\n", "The board never confirmed writing: " + Sim::JoinedNames(sample) + ".\n"}, -1, false, {}},
        {"corrupted ack after app.bin", Fault([](Qx71Faults& f) { f.damagedImageAck = 1; }), sample, 0,
         {"downloaded: data.bin successfully.\n", "The board never confirmed writing: app.bin.\n"}, -1, false, {}},
        {"silence after app.bin", Fault([](Qx71Faults& f) { f.silentAfterImage = 1; }), sample, 0,
         {"Ack receiving timeout.\n", "Ack receiving timeout.\n", "Send download NV/KV command configuration failed.\n"}, -1, false, {}},
        {"device gone in the middle of app.bin", Fault([](Qx71Faults& f) { f.goneAfterBytes = 5000; }), sample, 0,
         {"The device has disconnected.\n", "Send ymodem data frame failed.\n", "Download: app.bin failed.\n"}, 1000, false, {}},
        {"chip stops reading in the middle of app.bin", Fault([](Qx71Faults& f) { f.stopReadingAfterBytes = 5000; }),
         sample, 0, {"Send data frame failed.\n", "Send ymodem data frame failed.\n", "Download: app.bin failed.\n"}, 1000, false, {}},
        {"cancel while waiting for an image ack", Fault([](Qx71Faults& f) { f.noImageAck = true; }), sample, 0,
         {"\nUser Cancelled!\n", "Download: loader.bin failed.\n"}, 200, true, {}},
        {"burn size smaller than what is written, on a NOR flash", Fault([](Qx71Faults& f) { f.norFlash = true; }),
         WithImage(sample, 1, 0x10000, 0x1000), 0,
         {"Image app.bin has a burn size of 4096 bytes, less than its length of 10000 bytes.\n", formatError}, 0, false,
         Bytes(0x3000, 0x00)},
        {"burn size 0: erased beforehand", Qx71Faults(), WithImage(sample, 1, 0x10000, 0), 1,
         {"downloaded: data.bin successfully.\n"}, -1, false, {}},
        {"flash images that overlap", Qx71Faults(), WithImage(sample, 6, 0x12000, 0x1000), 0,
         {"Images app.bin and data.bin overlap in flash.\n", formatError}, 0, false, {}},
        {"flash image past 32 bits", Qx71Faults(), WithImage(sample, 6, 0xFFFFF000, 0x2000), 0,
         {"Image data.bin at 0xfffff000 runs past the end of the 32-bit address space.\n", formatError}, 0, false, {}},
        {"NV image in the erase range of app.bin", Qx71Faults(), WithImage(sample, 2, 0x12800, 0x1000), 0,
         {"Images app.bin and nv.bin overlap in flash.\n", formatError}, 0, false, {}},
        {"factory image in the erase range of app.bin", Qx71Faults(), WithImage(sample, 3, 0x12000, 0x1000), 0,
         {"Images app.bin and factory.bin overlap in flash.\n", formatError}, 0, false, {}},
        {"factory image longer than its burn size", Qx71Faults(),
         {sample[0], {"fac.bin", Sim::PatternBytes(0x1800, 4), 0x90000, 0x1000, 6}}, 0,
         {"Image fac.bin has a burn size of 4096 bytes, less than its length of 6144 bytes.\n", formatError}, 0, false, {}},
        {"nothing but the loader to burn", Qx71Faults(), {sample[0], {"never.bin", Bytes(10, 1), 0x20000, 0, 16}}, 0,
         {"error: {package} holds nothing this road burns, the loader aside.\n"}, 0, false, {}},
        {"empty image after the loader", Qx71Faults(), {sample[0], {"app.bin", {}, 0x20000, 0x1000, 1}}, 0,
         {"Image app.bin is empty.\n", formatError}, 0, false, {}},
        {"loader after the app", Qx71Faults(), {sample[1], sample[0]}, 0, {"error: The loader loader.bin of {package} "
         "is not the first image sent; the chip takes no image before its loader.\n"}, 0, false, {}},
        {"app without a name", Qx71Faults(), {sample[0], {"", Bytes(10, 1), 0x20000, 0, 1}}, 0,
         {"error: Invalid image name in fwpkg: \"\"; this road would send it without a name.\n"}, 0, false, {}},
    };
}

void ExpectLastLines(const Sim::PrintCapture& capture, std::vector<std::string> expected, const std::string& package)
{
    for (std::string& line : expected) {
        size_t at = line.find("{package}");
        if (at != std::string::npos) {
            line.replace(at, 9, package);
        }
    }
    EXPECT_EQ(Sim::LastMessages(capture, expected.size()), expected);
}

TEST(Qx71FaultTest, EveryBurnEndsWithThePackageInFlashOrReportsItsFailure)
{
    for (const FaultCase& c : Cases()) {
        SCOPED_TRACE(c.name);
        CancellingChip chip(c.faults, c.cancelAfterFirstImage);
        Sim::SimPortSession port(chip, chip.PortFaults());
        Sim::Qx71Session session;
        std::string package = session.dir / "app.fwpkg";
        ASSERT_TRUE(Sim::WriteBinaryFile(package, Sim::BuildFwpkg(c.images)));
        if (!c.preload.empty()) {
            chip.Machine().Preload(c.images[1].burnAddr, c.preload);
        }
        chip.handle = session.OpenSimPort();
        ASSERT_NE(chip.handle, nullptr);

        EXPECT_EQ(DownloadAllinoneBin(chip.handle, package.c_str(), 0), c.expected);
        long long tookMs = Sim::SimPortSession::NowMs();

        ExpectLastLines(session.capture, c.lastLines, package);
        if (c.maxVirtualMs >= 0) {
            EXPECT_LE(tookMs, c.maxVirtualMs);
        }
        if (c.maxVirtualMs == 0) {
            EXPECT_TRUE(chip.Machine().Wire().empty()) << "a refused package sends no byte";
        }
        if (c.expected != 1) {
            continue;
        }
        for (const PackageImage& image : c.images) {
            if (Sim::LandsInFlash(image)) {
                EXPECT_EQ(chip.Machine().ReadFlash(image.burnAddr, image.data.size()), image.data) << image.name;
            }
        }
    }
}

}  // namespace
