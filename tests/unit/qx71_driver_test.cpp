// The Qx71-family driver's frames and acks: exact bytes on the wire, erase-size rounding, the mode
// byte, the ack search, the handshake and the tries of a command frame.
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Burn.h"
#include "BurnKp7715Chip.h"
#include "Qx71Chip.h"
#include "Qx71Session.h"
#include "Qx71SimChip.h"
#include "SimPort.h"
#include "Qx71Wire.h"
#include "TestSupport.h"

namespace {

using Sim::Bytes;
using Sim::PackageImage;
using Sim::Qx71Chip;
using Sim::Qx71Faults;

const std::string SHAKE_HAND_FAILED = "Shakehand failed, The board does not respond.\n";

std::vector<PackageImage> LoaderAndApp()
{
    return {{"loader.bin", Sim::PatternBytes(2000, 1), 0, 0x1000, 0},
            {"app.bin", Sim::PatternBytes(3000, 2), 0x10000, 0x1000, 1}};
}

std::vector<Bytes> FramesOf(const Qx71Chip& chip, uint8_t command)
{
    std::vector<Bytes> frames;
    for (const auto& frame : chip.CommandFrames()) {
        if (Sim::Qx71Command(frame.bytes) == command) {
            frames.push_back(frame.bytes);
        }
    }
    return frames;
}

// The erase size field of every flash image frame, in the order sent.
std::vector<uint32_t> EraseSizes(const Qx71Chip& chip)
{
    std::vector<uint32_t> sizes;
    for (const Bytes& frame : FramesOf(chip, Sim::QX71_FLASH_IMAGE)) {
        sizes.push_back(Sim::ReadLe32(frame, 16));
    }
    return sizes;
}

class Qx71DriverTest : public Sim::Qx71Test {};

class Kp7715DriverTest : public Sim::Qx71Test {
protected:
    Kp7715DriverTest() : Qx71Test(Sim::KP7715_CHIP_TYPE) {}
};

TEST_F(Qx71DriverTest, OpenSerialPortMakesTheDriverOfTheChipTypeAndKeepsTheWorkingRate)
{
    EXPECT_EQ(dynamic_cast<BurnKp7715ChipSp::BurnKp7715Chip*>(session.handle), nullptr);
    EXPECT_EQ(session.handle->GetBaudRate(), 921600u);
    EXPECT_EQ(session.bench.LineBaudRate(), 115200u);

    Sim::Qx71Session kp7715(Sim::KP7715_CHIP_TYPE);
    ASSERT_NE(kp7715.Open(2000000), nullptr);
    EXPECT_NE(dynamic_cast<BurnKp7715ChipSp::BurnKp7715Chip*>(kp7715.handle), nullptr);
    EXPECT_EQ(kp7715.handle->GetBaudRate(), 2000000u);
}

// ---- Exact frames ----

TEST_F(Qx71DriverTest, HandshakeNames115200AndTheBaudSwitchTheTargetRateWithSwitchAfterLoader)
{
    Qx71Chip& chip = StartChip();
    SetSwitchAfterLoader(session.handle, 1);
    session.handle->SetTargetBaudRate(921600);
    ASSERT_EQ(Burn(LoaderAndApp()), 1);

    std::vector<Bytes> handshakes = FramesOf(chip, Sim::QX71_SHAKE_HAND);
    ASSERT_FALSE(handshakes.empty());
    for (const Bytes& handshake : handshakes) {
        EXPECT_EQ(handshake, (Bytes{0xEF, 0xBE, 0xAD, 0xDE, 0x12, 0x00, 0xF0, 0x0F, 0x00, 0xC2, 0x01, 0x00, 0x08, 0x01,
                                    0x00, 0x00, 0xE0, 0x64}));
    }
    std::vector<Sim::Qx71CommandFrame> commands = chip.Commands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].bytes, (Bytes{0xEF, 0xBE, 0xAD, 0xDE, 0x12, 0x00, 0x5A, 0xA5, 0x00, 0x10, 0x0E, 0x00, 0x08,
                                        0x01, 0x00, 0x00, 0x40, 0x3E}));
    EXPECT_EQ(commands[0].baudRate, 115200u);
    EXPECT_EQ(commands[1].baudRate, 921600u);
}

TEST_F(Qx71DriverTest, HandshakeNamesThePortRateWithoutSwitchAfterLoader)
{
    Qx71Chip& chip = StartChip();
    session.handle->SetTargetBaudRate(2000000);
    ASSERT_EQ(Burn(LoaderAndApp()), 1);
    for (const Bytes& handshake : FramesOf(chip, Sim::QX71_SHAKE_HAND)) {
        EXPECT_EQ(handshake, Sim::Qx71BaudFrame(Sim::QX71_SHAKE_HAND, 921600));
    }
    std::vector<Sim::Qx71CommandFrame> commands = chip.Commands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(Sim::QX71_FLASH_IMAGE, Sim::Qx71Command(commands[0].bytes));
    EXPECT_EQ(session.bench.LineBaudRate(), 921600u);
}

TEST_F(Qx71DriverTest, EraseAllFrameAfterTheLoaderOfThePackage)
{
    Qx71Chip& chip = StartChip();
    chip.Preload(0x10000, Bytes(100, 0x42));
    SetIsOnlyBurnLoader(1);
    std::string package = session.WritePackage(LoaderAndApp());
    ASSERT_EQ(EraseAllFlash(session.handle, package.c_str()), 1);

    ASSERT_EQ(chip.Images().size(), 1u);
    EXPECT_EQ(chip.Images()[0].name, "loader.bin");
    Bytes eraseAll = {0xEF, 0xBE, 0xAD, 0xDE, 0x18, 0x00, 0xD2, 0x2D, 0x00, 0x00, 0x00, 0x00,
                      0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0xFF, 0xA2, 0xE6};
    EXPECT_EQ(FramesOf(chip, Sim::QX71_FLASH_IMAGE), std::vector<Bytes>{eraseAll});
    EXPECT_EQ(chip.EraseAlls(), 1u);
    EXPECT_TRUE(chip.FlashMap().empty());
}

TEST_F(Qx71DriverTest, ReadSendsTheUploadFrameAndWritesWhatTheChipSendsBack)
{
    Qx71Chip& chip = StartChip();
    Bytes flash = Sim::PatternBytes(3000, 3);
    chip.Preload(0x800400, flash);
    SetIsOnlyBurnLoader(1);
    ASSERT_EQ(Burn(LoaderAndApp()), 1);
    std::string out = session.dir / "read.bin";
    ASSERT_EQ(UploadFile(session.handle, 0x800000, 4096, out.c_str()), 1);

    Bytes upload = {0xEF, 0xBE, 0xAD, 0xDE, 0x12, 0x00, 0xB4, 0x4B, 0x00,
                    0x10, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0xBF, 0xB5};
    EXPECT_EQ(FramesOf(chip, Sim::QX71_UPLOAD), std::vector<Bytes>{upload});
    Bytes read = Sim::ReadBinaryFile(out);
    EXPECT_EQ(read, chip.ReadFlash(0x800000, 4096));
    EXPECT_EQ(Bytes(read.begin() + 0x400, read.begin() + 0x400 + 3000), flash);
    // The receiver's last ACK may reach the chip after the read has returned.
    EXPECT_TRUE(chip.WaitUntil([](const Qx71Chip& served) { return served.Uploads() == 1; }, 1000));
}

// ---- Erase sizes and modes ----

std::vector<PackageImage> ImagesWithEraseSizes(const std::vector<uint32_t>& sizes)
{
    std::vector<PackageImage> images = {{"loader.bin", Sim::PatternBytes(100, 1), 0, 0, 0}};
    uint32_t address = 0x10000;
    for (uint32_t size : sizes) {
        images.push_back({"img" + std::to_string(address) + ".bin", Bytes(10, 0x11), address, size, 1});
        address += 0x10000;
    }
    return images;
}

// An erase size near the top of the range covers almost all of the flash, so that no other flash image
// may share its package: each goes in a burn of its own, at address 0, after a power cycle.
void BurnEachAlone(Sim::Qx71Session& session, Qx71Chip& chip, const std::vector<uint32_t>& sizes)
{
    for (uint32_t size : sizes) {
        chip.PowerCycle();
        ASSERT_NE(session.Reopen(), nullptr);
        std::vector<PackageImage> images = {{"loader.bin", Sim::PatternBytes(100, 1), 0, 0, 0},
                                            {"whole.bin", Bytes(10, 0x11), 0, size, 1}};
        std::string package = session.WritePackage(images);
        ASSERT_EQ(DownloadAllinoneBin(session.handle, package.c_str(), 0), 1) << size;
    }
}

TEST_F(Qx71DriverTest, EraseSizesRoundUpTo4096BelowTheKeptRange)
{
    Qx71Chip& chip = StartChip();
    ASSERT_EQ(Burn(ImagesWithEraseSizes({0, 4096, 1, 4097})), 1);
    BurnEachAlone(session, chip, {0xF0FFFFFE, 0xF0FFFFFF, 0xFFFFFFFF});
    EXPECT_EQ(EraseSizes(chip),
              (std::vector<uint32_t>{0, 4096, 4096, 8192, 0xF1000000, 0xF0FFFFFF, 0xFFFFFFFF}));
}

TEST_F(Kp7715DriverTest, FlashImageEraseSizesRoundTo512AndTheOtherFramesTo4096)
{
    Qx71Chip& chip = StartChip();
    std::vector<PackageImage> images = ImagesWithEraseSizes({0, 1, 512, 513, 4097});
    images.push_back({"nv.bin", Bytes(10, 0x22), 0x900000, 1, 2});
    images.push_back({"factory.bin", Bytes(10, 0x33), 0x910000, 5000, 6});
    ASSERT_EQ(Burn(images), 1);
    BurnEachAlone(session, chip, {0xF0FFFFFF, 0xFFFFFFFF});
    EXPECT_EQ(EraseSizes(chip), (std::vector<uint32_t>{0, 512, 512, 1024, 4608, 0xF0FFFFFF, 0xFFFFFFFF}));
    EXPECT_EQ(Sim::ReadLe32(FramesOf(chip, Sim::QX71_NV_KV).at(0), 16), 4096u);
    EXPECT_EQ(Sim::ReadLe32(FramesOf(chip, Sim::QX71_FACTORY).at(0), 16), 8192u);
}

TEST_F(Kp7715DriverTest, EraseAllHasTheSameBytesAsOnAQx71)
{
    Qx71Chip& chip = StartChip();
    chip.Preload(0, Bytes(10, 1));
    SetIsOnlyBurnLoader(1);
    std::string package = session.WritePackage(LoaderAndApp());
    ASSERT_EQ(EraseAllFlash(session.handle, package.c_str()), 1);
    EXPECT_EQ(FramesOf(chip, Sim::QX71_FLASH_IMAGE), std::vector<Bytes>{Sim::Qx71FlashImageFrame(0, 0, 0xFFFFFFFF, 0)});
    EXPECT_TRUE(chip.FlashMap().empty());
}

TEST_F(Qx71DriverTest, ImageTypeChoosesTheFrameAndTheMode)
{
    Qx71Chip& chip = StartChip();
    std::vector<PackageImage> images = {
        {"loader.bin", Bytes(10, 1), 0, 0, 0},
        {"two.bin", Bytes(20, 2), 0x10000, 0x1000, 14},
        {"three.bin", Bytes(30, 3), 0x20000, 0x1000, 15},
        {"one.bin", Bytes(40, 4), 0x30000, 0x1000, 1},
        {"nv.bin", Bytes(50, 5), 0x40000, 0x1000, 2},
        {"otp.bin", Bytes(60, 6), 0, 0, 3},
        {"efuse.bin", Bytes(70, 7), 0, 0, 4},
        {"factory.bin", Bytes(80, 8), 0x50000, 0x1000, 6},
        {"version.bin", Bytes(90, 9), 0, 0, 7},
    };
    ASSERT_EQ(Burn(images), 1);
    std::vector<Sim::Qx71CommandFrame> frames = chip.Commands();
    ASSERT_EQ(frames.size(), 8u);
    EXPECT_EQ(frames[0].bytes, Sim::Qx71FlashImageFrame(0x10000, 20, 0x1000, 2));
    EXPECT_EQ(Bytes(frames[0].bytes.begin() + 20, frames[0].bytes.begin() + 22), (Bytes{0x02, 0xFD}));
    EXPECT_EQ(Bytes(frames[1].bytes.begin() + 20, frames[1].bytes.begin() + 22), (Bytes{0x03, 0xFC}));
    EXPECT_EQ(Bytes(frames[2].bytes.begin() + 20, frames[2].bytes.begin() + 22), (Bytes{0x00, 0xFF}));

    Bytes nvPayload;
    for (uint32_t value : {0x40000u, 50u, 0x1000u}) {
        Sim::AppendLe32(nvPayload, value);
    }
    nvPayload.insert(nvPayload.end(), {0, 0, 0, 0});
    EXPECT_EQ(frames[3].bytes, Sim::Qx71Frame(Sim::QX71_NV_KV, nvPayload));
    EXPECT_EQ(frames[4].bytes, Sim::Qx71Frame(Sim::QX71_OTP_EFUSE, {60, 0, 0, 0}));
    EXPECT_EQ(frames[5].bytes, Sim::Qx71Frame(Sim::QX71_OTP_EFUSE, {70, 0, 0, 0}));
    Bytes factoryPayload;
    for (uint32_t value : {0x50000u, 80u, 0x1000u}) {
        Sim::AppendLe32(factoryPayload, value);
    }
    factoryPayload.insert(factoryPayload.end(), {0x00, 0xFF});
    EXPECT_EQ(frames[6].bytes, Sim::Qx71Frame(Sim::QX71_FACTORY, factoryPayload));
    EXPECT_EQ(frames[7].bytes, Sim::Qx71Frame(Sim::QX71_VERSION, {90, 0, 0, 0}));
}

// ---- The ack search ----

TEST_F(Qx71DriverTest, AckSearchSkipsWhatComesBeforeTheFirstValidFrame)
{
    BurnQx71ChipSp::BurnQx71Chip& driver = session.Driver();
    Bytes ok = Sim::Qx71AckFrame(Sim::QX71_FLASH_IMAGE, Sim::QX71_ACK_OK);
    Bytes refused = Sim::Qx71AckFrame(0x00, Sim::QX71_ACK_REFUSED);
    Bytes damaged = ok;
    damaged[10] ^= 0x01;

    std::string text = "console text\r\n";
    Bytes received(text.begin(), text.end());
    received.insert(received.end(), damaged.begin(), damaged.end());
    size_t okAt = received.size();
    received.insert(received.end(), ok.begin(), ok.end());
    received.insert(received.end(), refused.begin(), refused.end());
    int consumed = 0;
    EXPECT_EQ(driver.CheckAckFrame(received.data(), static_cast<int>(received.size()), true, &consumed), 1);
    EXPECT_EQ(consumed, static_cast<int>(okAt + ok.size()));

    Bytes refusedFirst = refused;
    refusedFirst.insert(refusedFirst.end(), ok.begin(), ok.end());
    EXPECT_EQ(driver.CheckAckFrame(refusedFirst.data(), static_cast<int>(refusedFirst.size()), false, nullptr), -1);
    EXPECT_TRUE(session.capture.Messages().empty());
    EXPECT_EQ(driver.CheckAckFrame(refusedFirst.data(), static_cast<int>(refusedFirst.size()), true, nullptr), -1);
    EXPECT_EQ(session.capture.Messages(), std::vector<std::string>{"CheckAckFrame: ack result error: 165\n"});
    EXPECT_EQ(driver.CheckAckFrame(ok.data(), 11, true, nullptr), 0);
}

TEST_F(Qx71DriverTest, ConsoleTextBeforeAnAckIsSkippedAndTheBytesAfterItReachTheYmodemHandshake)
{
    Qx71Faults faults;
    faults.consoleText = "boot> flash ready\r\n";
    Qx71Chip& chip = StartChip(faults);
    ASSERT_EQ(Burn(LoaderAndApp()), 1);
    // The 'C' right after each ack is the first byte the YMODEM handshake reads.
    EXPECT_EQ(session.capture.Count("C\n"), 2u);
    EXPECT_EQ(session.capture.Text().find("flash ready"), std::string::npos);
    EXPECT_EQ(chip.FlashMap().at(0x10000), LoaderAndApp()[1].data);
}

TEST_F(Qx71DriverTest, NegativeAckInTheHandshakeOnlyEndsThatTry)
{
    Qx71Faults faults;
    faults.refusedHandshakes = 3;
    Qx71Chip& chip = StartChip(faults);
    ASSERT_EQ(Burn(LoaderAndApp()), 1);
    EXPECT_GE(chip.HandshakeFrames(), 4u);
    EXPECT_EQ(session.capture.Text().find("CheckAckFrame"), std::string::npos);
}

TEST_F(Qx71DriverTest, NegativeAckToACommandFailsItWithoutASecondSend)
{
    Qx71Faults faults;
    faults.refusedCommand = 0;
    Qx71Chip& chip = StartChip(faults);
    EXPECT_EQ(Burn(LoaderAndApp()), 0);
    EXPECT_EQ(FramesOf(chip, Sim::QX71_FLASH_IMAGE).size(), 1u);
    EXPECT_EQ(Sim::LastMessages(session.capture, 2),
              (std::vector<std::string>{"CheckAckFrame: ack result error: 165\n",
                                        "Send download flash image command failed.\n"}));
}

// A command frame goes out again after each try without an answer until the overall time is up; a
// Kp7715's flash image command has one long try.
struct UnansweredCase : Sim::NamedRow {
    int chipType;
    size_t sendings;
};

class UnansweredCommandTest : public Sim::Qx71Test, public ::testing::WithParamInterface<UnansweredCase> {
protected:
    UnansweredCommandTest() : Qx71Test(GetParam().chipType) {}
};

TEST_P(UnansweredCommandTest, FlashImageCommandIsTriedWithinTheOverallTime)
{
    BurnQx71ChipSp::BurnQx71Chip::TimeLimits limits = Sim::ShortLimits();
    limits.commandTryMs = 300;
    limits.commandOverallMs = 600;
    limits.longCommandMs = 900;
    session.Driver().SetTimeLimits(limits);
    Qx71Faults faults;
    faults.unansweredCommand = Sim::QX71_FLASH_IMAGE;
    Qx71Chip& chip = StartChip(faults);
    EXPECT_EQ(Burn(LoaderAndApp()), 0);
    EXPECT_EQ(FramesOf(chip, Sim::QX71_FLASH_IMAGE).size(), GetParam().sendings);
    EXPECT_EQ(Sim::LastMessages(session.capture, 2),
              (std::vector<std::string>{"Ack receiving timeout.\n", "Send download flash image command failed.\n"}));
}

INSTANTIATE_TEST_SUITE_P(Chips, UnansweredCommandTest,
                         ::testing::Values(UnansweredCase{"qx71", Sim::QX71_CHIP_TYPE, 2},
                                           UnansweredCase{"kp7715", Sim::KP7715_CHIP_TYPE, 1}),
                         ::testing::PrintToStringParamName());

// ---- The handshake ----

// Where the at-reset text stood among the handshake frames: the frame counts before each.
std::vector<size_t> AtResetPositions(const Bytes& wire, const std::string& text)
{
    Bytes frame = Sim::Qx71BaudFrame(Sim::QX71_SHAKE_HAND, 921600);
    std::vector<size_t> positions;
    size_t frames = 0;
    for (size_t at = 0; at < wire.size();) {
        if (std::equal(frame.begin(), frame.end(), wire.begin() + static_cast<std::ptrdiff_t>(at),
                       wire.begin() + static_cast<std::ptrdiff_t>(std::min(wire.size(), at + frame.size())))) {
            ++frames;
            at += frame.size();
        } else if (wire.size() - at >= text.size() &&
                   std::equal(text.begin(), text.end(), wire.begin() + static_cast<std::ptrdiff_t>(at))) {
            positions.push_back(frames);
            at += text.size();
        } else {
            break;  // the loader follows
        }
    }
    return positions;
}

TEST_F(Qx71DriverTest, AtResetTextFollowsEveryHundredthHandshakeFrame)
{
    Qx71Faults faults;
    faults.ignoredHandshakes = 250;
    Qx71Chip& chip = StartChip(faults);
    SetCtrlPeriod(session.handle, 1);
    SetBeforeReset(session.handle, 1);
    SetAtResetCommand(session.handle, "at+rst\r\n");
    ASSERT_EQ(Burn(LoaderAndApp()), 1);
    EXPECT_EQ(AtResetPositions(chip.Wire(), "at+rst\r\n"), (std::vector<size_t>{100, 200}));
    EXPECT_EQ(chip.ConsoleInput(), "at+rst\r\nat+rst\r\n");
}

// No at-reset text goes out when before-reset is off, or when the text is empty.
struct NoAtResetCase : Sim::NamedRow {
    int beforeReset;
    const char* command;
};

class NoAtResetTextTest : public Sim::Qx71Test, public ::testing::WithParamInterface<NoAtResetCase> {};

TEST_P(NoAtResetTextTest, OnlyHandshakeFramesGoOut)
{
    Qx71Faults faults;
    faults.ignoredHandshakes = 120;
    Qx71Chip& chip = StartChip(faults);
    SetCtrlPeriod(session.handle, 1);
    SetBeforeReset(session.handle, GetParam().beforeReset);
    SetAtResetCommand(session.handle, GetParam().command);
    ASSERT_EQ(Burn(LoaderAndApp()), 1);
    EXPECT_EQ(chip.ConsoleInput(), "");
    EXPECT_GT(chip.HandshakeFrames(), 120u);
}

INSTANTIATE_TEST_SUITE_P(Settings, NoAtResetTextTest,
                         ::testing::Values(NoAtResetCase{"BeforeResetOff", 0, "at+rst\r\n"},
                                           NoAtResetCase{"EmptyText", 1, ""}),
                         ::testing::PrintToStringParamName());

TEST_F(Qx71DriverTest, ControlPeriodOfZeroStillWaitsForTheAck)
{
    StartChip();
    SetCtrlPeriod(session.handle, 0);
    EXPECT_EQ(Burn(LoaderAndApp()), 1);
}

// The burn fails once the handshake time is up, after a handshake frame per control period.
void ExpectGivenUpAfter(long long elapsedMs, long long limitMs, long long slackMs, const Sim::PrintCapture& capture,
                        size_t frames, size_t fewestFrames)
{
    EXPECT_GE(elapsedMs, limitMs);
    EXPECT_LT(elapsedMs, limitMs + slackMs);
    EXPECT_EQ(capture.Messages(), std::vector<std::string>{SHAKE_HAND_FAILED});
    EXPECT_GE(frames, fewestFrames);
    EXPECT_LE(frames, static_cast<size_t>(limitMs / 10 + 1));
}

TEST_F(Qx71DriverTest, SilentChipIsGivenUpAtTheHandshakeTimeLimit)
{
    BurnQx71ChipSp::BurnQx71Chip::TimeLimits limits = Sim::ShortLimits();
    limits.handshakeMs = 400;
    session.Driver().SetTimeLimits(limits);
    Qx71Faults faults;
    faults.silent = true;
    Qx71Chip& chip = StartChip(faults);
    long long start = Common::GetTime();
    EXPECT_EQ(Burn(LoaderAndApp()), 0);
    ExpectGivenUpAfter(Common::GetTime() - start, limits.handshakeMs, 600, session.capture, chip.HandshakeFrames(), 10);
}

// A board that never answers is given up after a minute: on the virtual clock of an in-process port, so
// that the test does not wait the minute out (the tool's own test does, on a pty).
TEST(Qx71SilentBoardTest, IsGivenUpAfterSixtySeconds)
{
    Qx71Faults faults;
    faults.silent = true;
    Sim::Qx71SimChip chip(Sim::Qx71Variant::Qx71, faults);
    Sim::SimPortSession port(chip, chip.PortFaults());
    Sim::Qx71Session session;
    ASSERT_NE(session.OpenSimPort(), nullptr);
    std::string package = session.WritePackage(LoaderAndApp());
    long long start = Common::GetTime();
    EXPECT_EQ(DownloadAllinoneBin(session.handle, package.c_str(), 0), 0);
    ExpectGivenUpAfter(Common::GetTime() - start, BurnQx71ChipSp::BurnQx71Chip::TimeLimits().handshakeMs, 2000,
                       session.capture, chip.Machine().HandshakeFrames(), 1000);
}

TEST_F(Qx71DriverTest, CancelFromAnotherThreadEndsTheHandshakeAtOnce)
{
    Qx71Faults faults;
    faults.silent = true;
    StartChip(faults);
    std::thread canceller([this]() {
        Sim::PtyBench::Delay(100);
        Cancel(session.handle);
    });
    long long start = Common::GetTime();
    EXPECT_EQ(Burn(LoaderAndApp()), 0);
    EXPECT_LT(Common::GetTime() - start, 1000);
    canceller.join();
    EXPECT_EQ(session.capture.Messages(), (std::vector<std::string>{"\nUser Cancelled!\n", SHAKE_HAND_FAILED}));
}

}  // namespace
