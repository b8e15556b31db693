// The TypeSix chip driver and protocol in-process against the virtual TypeSix chip: the bytes on the
// wire, the judging of replies, uploads, the package road and the faults of the chip and the line.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Burn.h"
#include "BurnTypeSixChip.h"
#include "FwpkgBuilder.h"
#include "PrintCapture.h"
#include "ScratchDir.h"
#include "Sha256Util.h"
#include "SimPort.h"
#include "TypeSixChip.h"
#include "TypeSixSerCusPro.h"

namespace {

using BurnTypeSixChipSp::BurnTypeSixChip;
using Sim::Bytes;
using Sim::TypeSixChip;
using Sim::TypeSixFaults;
using TypeSixSerCusProSp::TypeSixSerCusPro;

Bytes Digest(const Bytes& data)
{
    Bytes digest(32);
    Sha256Util::Sha256(data.data(), static_cast<unsigned long>(data.size()), digest.data());
    return digest;
}

std::vector<int> Percents(const Sim::PrintCapture& capture)
{
    std::vector<int> percents;
    for (const auto& report : capture.Progress()) {
        percents.push_back(report.second);
    }
    return percents;
}

class TypeSixTest : public ::testing::Test {
public:
    // A fresh chip and port, in place of any earlier ones, with nothing captured yet.
    void Start(const TypeSixFaults& faults = {}, unsigned baud = 115200)
    {
        TearDown();
        capture.Clear();
        chip = std::make_unique<TypeSixChip>(faults);
        session = std::make_unique<Sim::SimPortSession>(*chip);
        SetChipType(0x30002);
        handle = OpenSerialPort("/dev/virtual6", baud, 0, 0);
        ASSERT_NE(handle, nullptr);
    }
    void TearDown() override
    {
        DestroyDevice(handle);
        handle = nullptr;
        session.reset();
    }
    BurnTypeSixChip& Driver() { return *static_cast<BurnTypeSixChip*>(handle); }

    // An image file and its digest file, joined as a loader spec or an image spec.
    std::string Spec(const std::string& name, const Bytes& data, const std::string& tail = "")
    {
        Sim::WriteBinaryFile(dir / name, data);
        Sim::WriteBinaryFile(dir / (name + ".sha"), Digest(data));
        return dir / name + "|" + dir / (name + ".sha") + tail;
    }
    // Boots an SSB, with security files named as "|key store|certificate|signature".
    bool Boot(const Bytes& ssb, const std::string& security = "||||")
    {
        return BootDownload(handle, Spec("ssb.bin", ssb, security).c_str(), 0, 0, nullptr, nullptr) == 1;
    }
    size_t FrameCount() const { return chip->Frames().size(); }

    Sim::ScratchDir dir;
    Sim::PrintCapture capture;
    std::unique_ptr<TypeSixChip> chip;
    std::unique_ptr<Sim::SimPortSession> session;
    BurnChipBase* handle = nullptr;
};

// ---- Bytes on the wire ----

struct WireCase {
    const char* name;
    std::function<void(TypeSixTest&)> run;
    std::function<void(const TypeSixChip&, const Sim::PrintCapture&)> check;
};

TEST_F(TypeSixTest, WireBytesOfTheExamples)
{
    const std::vector<WireCase> cases = {
        {"init board",
         [](TypeSixTest& t) {
             ASSERT_TRUE(t.Driver().ShakeHand());
             ASSERT_TRUE(t.Driver().InitBoard());
         },
         [](const TypeSixChip& c, const Sim::PrintCapture&) {
             ASSERT_EQ(c.Frames().size(), 2u);
             EXPECT_EQ(c.Frames()[0].wire, (Bytes{0x5C, 0x73, 0x00, 0x01, 0x01, 0x5C, 0x65}));
             EXPECT_EQ(c.Frames()[1].wire, (Bytes{0x5C, 0x73, 0x01, 0x25, 0x24, 0x5C, 0x65}));
         }},
        {"two-page SSB",
         [](TypeSixTest& t) { ASSERT_TRUE(t.Boot(Sim::PatternBytes(4097, 3))); },
         [](const TypeSixChip& c, const Sim::PrintCapture& p) {
             std::vector<uint8_t> sequence;
             for (const auto& seen : c.Frames()) {
                 sequence.push_back(seen.frame[0]);
             }
             EXPECT_EQ(sequence, (std::vector<uint8_t>{0, 1, 2, 3, 4, 5}));
             EXPECT_EQ(c.Frames().back().wire, (Bytes{0x5C, 0x73, 0x05, 0x0A, 0x0F, 0x5C, 0x65}));
             ASSERT_EQ(c.Boots().size(), 1u);
             const Sim::TypeSixBoot& boot = c.Boots()[0];
             ASSERT_EQ(boot.pages.size(), 2u);
             EXPECT_EQ(boot.pages[0].size(), 4103u);
             EXPECT_EQ(boot.pages[1].size(), 4103u);
             EXPECT_EQ(boot.pages[1][2], 1);
             EXPECT_TRUE(boot.pagesGood) << "index, check byte after the data, 0xFF fill";
             EXPECT_EQ(boot.image, Sim::PatternBytes(4097, 3));
             EXPECT_EQ(boot.digest, Digest(Sim::PatternBytes(4097, 3)));
             EXPECT_EQ(p.Count("#"), 2u);
             EXPECT_EQ(Percents(p), (std::vector<int>{0, 99, 100}));
         }},
        {"0x5C doubled, check byte taken before",
         [](TypeSixTest& t) { ASSERT_TRUE(t.Boot(Bytes(10, 0x5C))); },
         [](const TypeSixChip& c, const Sim::PrintCapture&) {
             const auto& page = c.Frames()[2];
             EXPECT_EQ(page.wire.size(), page.frame.size() + 4 + 10) << "ten data bytes doubled";
             EXPECT_EQ(c.Boots()[0].image, Bytes(10, 0x5C));
             EXPECT_TRUE(c.Boots()[0].pagesGood);
         }},
        {"security files after the digest",
         [](TypeSixTest& t) {
             Sim::WriteBinaryFile(t.dir / "key", Bytes{0xA1, 0xA2});
             Sim::WriteBinaryFile(t.dir / "cert", Bytes{0xB1});
             Sim::WriteBinaryFile(t.dir / "sig", Bytes{0xC1, 0xC2, 0xC3});
             ASSERT_TRUE(
                 t.Boot(Sim::PatternBytes(100, 1), "|" + t.dir / "key" + "|" + t.dir / "cert" + "|" + t.dir / "sig"));
         },
         [](const TypeSixChip& c, const Sim::PrintCapture&) {
             ASSERT_EQ(c.Frames().size(), 8u);
             EXPECT_EQ(c.Frames()[4].frame, (Bytes{0x04, 0x13, 0x01, 0x00, 0x02, 0xA1, 0xA2, 0x17}));
             EXPECT_EQ(c.Frames()[5].frame, (Bytes{0x05, 0x14, 0x00, 0x01, 0xB1, 0xA1}));
             EXPECT_EQ(c.Frames()[6].frame, (Bytes{0x06, 0x15, 0x02, 0x02, 0x00, 0x03, 0xC1, 0xC2, 0xC3, 0xD0}));
             EXPECT_EQ(c.Boots()[0].keyStore, (Bytes{0xA1, 0xA2}));
             EXPECT_EQ(c.Boots()[0].certificate, (Bytes{0xB1}));
             EXPECT_EQ(c.Boots()[0].signature, (Bytes{0xC1, 0xC2, 0xC3}));
             EXPECT_TRUE(c.Boots()[0].started);
         }},
        {"speed frame for 921600 and packets of a 10000-byte image, the last filled with 0xFF",
         [](TypeSixTest& t) {
             ASSERT_TRUE(t.Boot(Sim::PatternBytes(100, 1)));
             t.capture.Clear();
             SetIsReady(t.handle, 0);
             std::string spec = t.Spec("app.bin", Sim::PatternBytes(10000, 2));
             ASSERT_EQ(DownloadToFlash(t.handle, spec.c_str(), 0, 0, 0x200000, 0x10000, 0, 0), 1);
         },
         [](const TypeSixChip& c, const Sim::PrintCapture& p) {
             const Bytes speed = {0x00, 0x0D, 0x00, 0x0E, 0x10, 0x00, 0x00, 0x00, 0x70, 0x00};
             bool found = false;
             for (const auto& seen : c.Frames()) {
                 found = found || Bytes(seen.frame.begin() + 1, seen.frame.end() - 1) == Bytes(speed.begin() + 1, speed.end());
             }
             EXPECT_TRUE(found);
             ASSERT_EQ(c.Images().size(), 1u);
             const Sim::TypeSixFlashImage& image = c.Images()[0];
             EXPECT_EQ(image.packetFrameSizes, (std::vector<size_t>{4099, 4099, 4099}));
             const Bytes& last = c.Frames()[c.Frames().size() - 6].frame;
             ASSERT_EQ(last.size(), 4099u);
             EXPECT_EQ(Bytes(last.begin() + 2 + 1808, last.end() - 1), Bytes(2288, 0xFF));
             EXPECT_EQ(image.data, Sim::PatternBytes(10000, 2));
             EXPECT_TRUE(image.complete);
             EXPECT_EQ(Percents(p), (std::vector<int>{40, 81, 100}));
             EXPECT_EQ(c.Commands(),
                       (std::vector<uint8_t>{0x01, 0x25, 0xFC, 0xFD, 0x0A, 0x01, 0x0D, 0x11, 0x07, 0x03, 0x04, 0x04,
                                             0x04, 0x05, 0x06, 0x02, 0x1E, 0x0C}));
             EXPECT_EQ(c.Frames()[7].baudRate, 921600u) << "the flashing frames come at the announced rate";
             EXPECT_EQ(c.BaudRate(), 115200u) << "the reset brings the line back to 115200";
         }},
    };
    for (const WireCase& c : cases) {
        SCOPED_TRACE(c.name);
        Start({}, 921600);
        c.run(*this);
        c.check(*chip, capture);
    }
}

// ---- Judging replies ----

struct ReplyCase {
    const char* name;
    Bytes received;
    int verdict;
    std::string message;
};

TEST_F(TypeSixTest, CheckRecvDataOnSplitDoubledAndNoisyReplies)
{
    Start();
    const std::vector<ReplyCase> cases = {
        {"nothing whole yet", {0x5C, 0x73, 0x01, 0x02, 0x25}, 2, ""},
        {"cut inside a doubled 0x5C", {0x5C, 0x73, 0x5C}, 2, ""},
        {"good", {0x5C, 0x73, 0x01, 0x02, 0x25, 0x01, 0x27, 0x5C, 0x65}, 1, ""},
        {"doubled 0x5C made single", {0x5C, 0x73, 0x5C, 0x5C, 0x02, 0x25, 0x01, 0x7A, 0x5C, 0x65}, 1, ""},
        {"banner text before", {'-', 'r', 'o', 'm', 0x5C, 0x73, 0x01, 0x02, 0x25, 0x01, 0x27, 0x5C, 0x65}, 1, ""},
        {"the later start counts", {0x5C, 0x73, 0x09, 0x5C, 0x73, 0x01, 0x02, 0x25, 0x01, 0x27, 0x5C, 0x65}, 1, ""},
        {"doubled 0x5C before 0x65 is data",
         {0x5C, 0x73, 0x01, 0x02, 0x25, 0x01, 0x5C, 0x5C, 0x65, 0x1E, 0x5C, 0x65}, 1, ""},
        {"wrong type", {0x5C, 0x73, 0x01, 0x03, 0x25, 0x01, 0x26, 0x5C, 0x65}, 0, "ack error1:3\n"},
        {"return code", {0x5C, 0x73, 0x01, 0x02, 0x25, 0x00, 0x26, 0x5C, 0x65}, 0, "return code error:0\n"},
        {"check byte", {0x5C, 0x73, 0x01, 0x02, 0x25, 0x01, 0x28, 0x5C, 0x65}, 0,
         "the calculated  crc:39 is not equal to the received crc:40.\n"},
    };
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.name);
        capture.Clear();
        EXPECT_EQ(Driver().CheckRecvData(c.received.data(), c.received.size()), c.verdict);
        EXPECT_EQ(capture.Text(), c.message);
    }
}

TEST_F(TypeSixTest, ParseRecvDataFrameUndoesTheEscapeAndKeepsTheLastStart)
{
    Start();
    TypeSixSerCusPro protocol(handle);
    struct Case {
        Bytes held;
        bool found;
        Bytes frame;
    };
    const std::vector<Case> cases = {
        {{0x5C, 0x73, 0x01, 0x02}, false, {}},
        {{0x5C, 0x65, 0x5C, 0x73, 0x01, 0x5C, 0x5C, 0x02, 0x5C, 0x65}, true, {0x01, 0x5C, 0x02}},
        {{'x', 0x5C, 0x73, 0x07, 0x5C, 0x73, 0x01, 0x5C, 0x65}, true, {0x01}},
        {{0x5C, 0x73, 0x01, 0x5C}, false, {}},
        {{'\\', 0x5C, 0x73, 0x01, 0x5C, 0x65}, true, {0x01}},
    };
    for (const Case& c : cases) {
        Bytes frame;
        EXPECT_EQ(protocol.ParseRecvDataFrame(frame, c.held.data(), c.held.size()), c.found);
        if (c.found) {
            EXPECT_EQ(frame, c.frame);
        }
    }
}

TEST_F(TypeSixTest, UploadOf5000BytesTakesTwoRequestsAndWritesExactlyThem)
{
    TypeSixFaults faults;
    faults.splitReplies = true;
    Start(faults);
    chip->Preload(0x1000, Sim::PatternBytes(8000, 5));
    ASSERT_TRUE(Boot(Sim::PatternBytes(64, 1)));
    SetIsReady(handle, 0);
    ASSERT_EQ(UploadFile(handle, 0x1000, 5000, (dir / "out.bin").c_str()), 1);
    EXPECT_EQ(Sim::ReadBinaryFile(dir / "out.bin"), Sim::PatternBytes(5000, 5));
    std::vector<std::pair<uint32_t, uint32_t>> requests;
    for (const auto& seen : chip->Frames()) {
        if (seen.frame[1] == 0x21) {
            const Bytes& f = seen.frame;
            requests.push_back({(f[2] << 24) | (f[3] << 16) | (f[4] << 8) | f[5],
                                (f[6] << 24) | (f[7] << 16) | (f[8] << 8) | f[9]});
        }
    }
    EXPECT_EQ(requests, (std::vector<std::pair<uint32_t, uint32_t>>{{0x1000, 4096}, {0x2000, 904}}));
    EXPECT_EQ(chip->Resets(), 1u) << "an upload ends with a reset";
    TypeSixSerCusPro protocol(handle);
    unsigned char request[TypeSixSerCusPro::DATA_REQUEST_LENGTH];
    protocol.InitDataRequestFrame(request, 904, 0x2000);
    EXPECT_EQ(Bytes(request, request + sizeof(request)),
              (Bytes{0x00, 0x21, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x03, 0x88, 0x8A}));
    // A block still buffered when the file closes may find the disk full.
    ASSERT_TRUE(Boot(Sim::PatternBytes(64, 1)));
    EXPECT_EQ(UploadFile(handle, 0x1000, 904, "/dev/full"), 0);
    EXPECT_EQ(capture.Messages().back(), "Closing the output file /dev/full failed.\n");
}

TEST_F(TypeSixTest, ProgressIsTheSinglePrecisionRatioScaledInDouble)
{
    Start();
    ASSERT_TRUE(Boot(Sim::PatternBytes(64, 1)));
    SetIsReady(handle, 0);
    capture.Clear();
    std::string spec = Spec("app.bin", Sim::PatternBytes(6400, 2));
    ASSERT_EQ(DownloadToFlash(handle, spec.c_str(), 0, 0, 0, 0x10000, 0, 0), 1);
    EXPECT_EQ(Percents(capture), (std::vector<int>{63, 100}));
}

// ---- Faults ----

struct FaultCase {
    const char* name;
    TypeSixFaults faults;
    bool burnt;
    std::string expectedText;  // in the messages
};

TEST_F(TypeSixTest, FaultsOfTheChipAndTheLine)
{
    TypeSixFaults badCheck;
    badCheck.badCheckByte = true;
    TypeSixFaults refused;
    refused.refusedCommand = 0xFC;
    TypeSixFaults noisySplit;
    noisySplit.splitReplies = true;
    noisySplit.noise = "log: \\ ok\r\n";
    TypeSixFaults gone;
    gone.goneAfterHostBytes = 6000;
    const std::vector<FaultCase> cases = {
        {"wrong check byte ends at once", badCheck, false, "is not equal to the received crc"},
        {"return code error", refused, false, "return code error:0\n"},
        {"split and noisy replies", noisySplit, true, "load ssb success.\n"},
        {"gone mid-transfer", gone, false, "The device has disconnected.\n"},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        Start(c.faults);
        long long start = Sim::SimPortSession::NowMs();
        EXPECT_EQ(Boot(Sim::PatternBytes(9000, 7)), c.burnt);
        EXPECT_NE(capture.Text().find(c.expectedText), std::string::npos) << capture.Text();
        EXPECT_LE(Sim::SimPortSession::NowMs() - start, 1000) << "no case waits out a time limit";
    }
}

TEST_F(TypeSixTest, LateReplyToAnEarlierFrameConfirmsNothing)
{
    TypeSixFaults faults;
    faults.refusedCommand = 0x01;
    Start(faults);
    ASSERT_TRUE(Driver().ShakeHand());
    session->Port()->Deliver({0x5C, 0x73, 0x00, 0x02, 0x01, 0x01, 0x02, 0x5C, 0x65});
    EXPECT_FALSE(Driver().InitBoard());
    EXPECT_EQ(capture.Count("return code error:0\n"), 1u);
}

TEST_F(TypeSixTest, FrameSentTwiceIsAnsweredTwiceAndNoAnswerPassesForTheNextFrame)
{
    struct Case {
        unsigned long tryMs;
        long long answerAfterMs;  // every frame goes two or three times
        long long endMs;
    };
    // Tries of 40 ms resend on a poll; the others resend a few ms after the try ends.
    for (const Case& c : std::vector<Case>{{40, 60, 1000}, {42, 60, 1000}, {148, 260, 3000}, {47, 130, 2000}}) {
        SCOPED_TRACE(c.tryMs);
        TypeSixFaults slow;
        slow.answerAfterMs = c.answerAfterMs;
        slow.refusedCommand = 0x25;
        Start(slow);
        BurnTypeSixChip::TimeLimits limits;
        limits.frameTryMs = c.tryMs;
        Driver().SetTimeLimits(limits);
        EXPECT_FALSE(Driver().ShakeHand() && Driver().InitBoard())
            << "the init frame's second answer is not the version's";
        EXPECT_EQ(capture.Messages(),
                  (std::vector<std::string>{"return code error:0\n", "read version info failed.\n"}));
        EXPECT_LE(Sim::SimPortSession::NowMs(), c.endMs);

        slow.refusedCommand = 0;
        Start(slow);
        chip->Preload(0x1000, Sim::PatternBytes(8192, 5));
        TypeSixSerCusPro protocol(handle);
        TypeSixSerCusPro::TimeLimits protocolLimits;
        protocolLimits.dataRequestTryMs = protocolLimits.initTryMs = protocolLimits.frameTryMs = c.tryMs;
        protocol.SetTimeLimits(protocolLimits);
        ASSERT_TRUE(Boot(Sim::PatternBytes(64, 1)));
        SetIsReady(handle, 0);
        EXPECT_TRUE(protocol.UploadFile((dir / "out.bin").c_str(), 8192, 0x1000));
        EXPECT_EQ(Sim::ReadBinaryFile(dir / "out.bin"), Sim::PatternBytes(8192, 5))
            << "no late reply taken for a block";
        EXPECT_LE(Sim::SimPortSession::NowMs(), c.endMs);
    }
}

TEST_F(TypeSixTest, SilentChipIsAskedAgainEveryTryAndATryBegunInsideTheOverallLimitRunsItsWholeTime)
{
    struct Case {
        unsigned long tryMs;  // 0: the driver's own limits
        unsigned long overallMs;
        size_t sends;
        long long endMs;
    };
    TypeSixFaults silent;
    silent.silent = true;
    // The last case sends at 0, 400 and 800 ms.
    for (const Case& c : std::vector<Case>{{0, 0, 60, 30000}, {400, 1000, 3, 1200}}) {
        SCOPED_TRACE(c.tryMs);
        Start(silent);
        if (c.tryMs != 0) {
            BurnTypeSixChip::TimeLimits limits;
            limits.frameTryMs = c.tryMs;
            limits.frameOverallMs = c.overallMs;
            Driver().SetTimeLimits(limits);
        }
        EXPECT_FALSE(Driver().InitBoard());
        Bytes init = {0x5C, 0x73, 0x00, 0x01, 0x01, 0x5C, 0x65};
        EXPECT_EQ(session->Port()->HostBytes().size(), init.size() * c.sends);
        EXPECT_EQ(Sim::SimPortSession::NowMs(), c.endMs);
        ASSERT_GE(capture.Printed().size(), 2u);
        EXPECT_EQ(capture.Printed()[capture.Printed().size() - 2].debugMessage, "Timeout error.\n");
        EXPECT_EQ(capture.Messages().back(), "send init cmd failed\n");
    }
    capture.Clear();
    EXPECT_FALSE(Driver().ShakeHand());
    EXPECT_EQ(capture.Messages(), std::vector<std::string>{"ready failed.\n"});
}

TEST_F(TypeSixTest, ChattyBootRomIsWatchedThroughATailThatCanHoldTheStartOfABanner)
{
    TypeSixFaults chatty;
    chatty.chatter = 4096;
    Start(chatty);
    ASSERT_TRUE(Driver().ShakeHand()) << "the banner split over two reads amid the log";
    SetHandshakeTimeout(handle, 1000);
    size_t largest = 0;
    size_t reads = 0;
    WaitTime::Outcome outcome = BurnTypeSixChipSp::WatchConsole(Driver(), [&](std::string& text) {
        largest = std::max(largest, text.size());
        ++reads;
        return WaitTime::Step::AGAIN;
    });
    EXPECT_EQ(outcome, WaitTime::Outcome::TIMED_OUT);
    EXPECT_GT(reads, 100u);
    EXPECT_LE(largest, 4096 + std::string(Sim::TYPESIX_SSB_BANNER).size() - 1);
}

TEST_F(TypeSixTest, PacketSizeOutsideOneTo128MiBFailsTheDownloadAtOnce)
{
    Start();
    ASSERT_TRUE(Boot(Sim::PatternBytes(64, 1)));
    SetIsReady(handle, 0);
    std::string spec = Spec("app.bin", Sim::PatternBytes(100, 2));
    for (int size : {0, -4096, 134217729}) {
        SCOPED_TRACE(size);
        SetPerPacketSize(handle, size);
        capture.Clear();
        size_t before = chip->Images().size();
        EXPECT_EQ(DownloadToFlash(handle, spec.c_str(), 0, 0, 0, 0, 0, 101), 0);
        EXPECT_EQ(capture.Count("invalid per-packet size: " + std::to_string(size) + ", it must be 1 to 134217728.\n"),
                  1u);
        EXPECT_EQ(chip->Images().size(), before + 1);
        EXPECT_TRUE(chip->Images().back().data.empty()) << "no data packet went out";
    }
}

TEST_F(TypeSixTest, RunningSsbIsErasedBeforeTheNextBootAndEraseAllGoesThroughIt)
{
    Start();
    ASSERT_TRUE(Boot(Sim::PatternBytes(64, 1)));
    ASSERT_TRUE(chip->SsbRunning());
    size_t before = FrameCount();
    ASSERT_TRUE(Boot(Sim::PatternBytes(80, 2)));
    EXPECT_EQ(chip->Frames()[before].wire, (Bytes{0x5C, 0x73, 0x00, 0x01, 0x01, 0x5C, 0x65}));
    EXPECT_EQ(chip->Frames()[before + 1].wire, (Bytes{0x5C, 0x73, 0x01, 0x0F, 0x0E, 0x5C, 0x65}));
    ASSERT_EQ(chip->Boots().size(), 2u);
    EXPECT_EQ(chip->Boots()[1].image, Sim::PatternBytes(80, 2));

    chip->Preload(0, Bytes(16, 0));
    before = FrameCount();
    EXPECT_EQ(EraseAllFlash(handle, nullptr), 1);
    std::vector<uint8_t> commands = chip->Commands();
    EXPECT_EQ(std::vector<uint8_t>(commands.begin() + static_cast<std::ptrdiff_t>(before), commands.end()),
              (std::vector<uint8_t>{0x01, 0x10, 0x08}));
    EXPECT_EQ(chip->EraseAlls(), 1u);
    EXPECT_EQ(chip->ReadFlash(0, 16), Bytes(16, 0xFF));
    EXPECT_EQ(capture.Count("Erasing all images ...\nIt takes a few minutes."), 1u);
}

// ---- The package road ----

TEST_F(TypeSixTest, PackageRoadBootsTheSmallSsbFirstAndHandsShaDataToAppImages)
{
    Start();
    Bytes small = Sim::PatternBytes(300, 1);
    std::copy(Sim::SMALL_SSB_MARK, Sim::SMALL_SSB_MARK + 5, small.begin());
    Bytes ssb = Sim::PatternBytes(5000, 2);
    Bytes appSha = Sim::PatternBytes(32, 3);
    Bytes app = Sim::PatternBytes(6000, 4);
    Bytes nv = Sim::PatternBytes(700, 5);
    std::string package = dir / "all.fwpkg";
    Sim::WriteBinaryFile(package, Sim::BuildFwpkg({{"small.bin", small, 0, 0, 28},
                                                   {"small_sha", Digest(small), 0, 0, 29},
                                                   {"ssb.bin", ssb, 0, 0, 0},
                                                   {"ssb_sha", Digest(ssb), 0, 0, 24},
                                                   {"nv.bin", nv, 0x3000, 0x1000, 20},
                                                   {"app", appSha, 0, 0, 102},
                                                   {"app.bin", app, 0x100000, 0x80000, 100}}));
    ASSERT_EQ(DownloadAllinoneBin(handle, package.c_str(), 0), 1) << capture.Text();
    ASSERT_EQ(chip->Boots().size(), 2u);
    EXPECT_EQ(chip->Boots()[0].image, small);
    EXPECT_EQ(chip->Boots()[1].image, ssb);
    EXPECT_EQ(chip->Boots()[1].digest, Digest(ssb));
    ASSERT_EQ(chip->Images().size(), 3u);
    EXPECT_EQ(chip->Images()[0].kind, 0);
    EXPECT_EQ(chip->Images()[0].data, nv);
    EXPECT_EQ(chip->Images()[1].data, appSha) << "the type-102 image is burnt in its own turn";
    EXPECT_TRUE(chip->Images()[1].sha.empty());
    const Sim::TypeSixFlashImage& burnt = chip->Images()[2];
    EXPECT_EQ(burnt.kind, 0) << "an image of type 100 keeps the file kind as it stands";
    EXPECT_EQ(burnt.data, app);
    EXPECT_EQ(burnt.sha, appSha);
    EXPECT_EQ(capture.Count("burn app.bin successfully.\n"), 1u);
}

// Notes, for every frame, whether the chip's protocol slot is filled.
class SlotWatchingChip : public BurnTypeSixChip {
public:
    bool SendFrame(unsigned char* frame, unsigned long length, unsigned long perTryMs, unsigned long overallMs,
                   bool flag) override
    {
        slotFilled.push_back(HoldsProtocol());
        return BurnTypeSixChip::SendFrame(frame, length, perTryMs, overallMs, flag);
    }
    bool HoldsProtocol() const { return GetProtocol() != nullptr; }
    std::vector<bool> slotFilled;
};

TEST_F(TypeSixTest, PackageRoadHoldsItsProtocolInTheSlotWhileThePartitionsAreBurntOnly)
{
    const Bytes ssb = Sim::PatternBytes(100, 1);
    const size_t bootFrames = 4;  // init, version, the one page, the digest
    std::string package = dir / "slot.fwpkg";
    Sim::WriteBinaryFile(package, Sim::BuildFwpkg({{"ssb.bin", ssb, 0, 0, 0},
                                                   {"ssb_sha", Digest(ssb), 0, 0, 24},
                                                   {"nv.bin", Sim::PatternBytes(100, 2), 0x3000, 0x1000, 20},
                                                   {"fs.bin", Sim::PatternBytes(100, 3), 0x8000, 0x1000, 18}}));
    for (uint8_t refused : {0x00, 0x11}) {
        SCOPED_TRACE(refused);
        TypeSixFaults faults;
        faults.refusedCommand = refused;
        Start(faults);
        SlotWatchingChip driver;
        ASSERT_TRUE(driver.OpenSerialPort("/dev/virtual6", 115200, 0, 0));
        EXPECT_EQ(driver.DownloadAllinoneBin(package.c_str(), 0), refused == 0);
        EXPECT_FALSE(driver.HoldsProtocol()) << "emptied at every end";
        ASSERT_GT(driver.slotFilled.size(), bootFrames);
        std::vector<bool> expected(driver.slotFilled.size(), true);
        std::fill_n(expected.begin(), bootFrames, false);
        EXPECT_EQ(driver.slotFilled, expected) << "the boot frames go without it, every partition frame with it";
    }
}

TEST_F(TypeSixTest, PackageRoadRefusesABadPackageBeforeTheFirstByte)
{
    Start();
    Bytes package = Sim::BuildFwpkg({{"ssb.bin", Sim::PatternBytes(5000, 2), 0, 0, 0},
                                     {"app.bin", Sim::PatternBytes(5000, 3), 0x1000, 0x2000, 20}});
    package.resize(package.size() - 1);
    Sim::WriteBinaryFile(dir / "short.fwpkg", package);
    Sim::WriteBinaryFile(dir / "crc.fwpkg", Sim::BuildFwpkg({{"a", Bytes(8, 1), 0, 0, 0}}, {Sim::FwpkgLayout::Compact,
                                                                                           0, "", true, -1}));
    Sim::WriteBinaryFile(dir / "nosha.fwpkg", Sim::BuildFwpkg({{"ssb.bin", Bytes(8, 1), 0, 0, 0},
                                                               {"app.bin", Bytes(8, 2), 0, 0, 101}}));
    struct Case {
        std::string file;
        std::string message;
    };
    for (const Case& c : std::vector<Case>{
             {"short.fwpkg", "Image app.bin runs past the end of the package (offset 5116, length 5000, package "
                             "10115 bytes).\n"},
             {"crc.fwpkg", "fwpkg crc mismatch\n"}}) {
        capture.Clear();
        std::string path = dir / c.file;
        EXPECT_EQ(DownloadAllinoneBin(handle, path.c_str(), 0), 0);
        EXPECT_EQ(capture.Messages(), (std::vector<std::string>{c.message, "parse file:" + path + " failed!\n"}));
        EXPECT_TRUE(session->Port()->HostBytes().empty());
    }
    capture.Clear();
    EXPECT_EQ(DownloadAllinoneBin(handle, (dir / "nosha.fwpkg").c_str(), 0), 0);
    EXPECT_EQ(capture.Count("the sha256.bin file of file app.bin is not found.\n"), 1u);
}

}  // namespace
