#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "BurnChipBase.h"
#include "BurnContext.h"
#include "CliParser.h"
#include "ScratchDir.h"
#include "TestSupport.h"

using BurnInfo::BurnContext;
using ::testing::ElementsAre;

namespace {

class CliParserTest : public ::testing::Test {
protected:
    // Runs the main pass over "vexil write" followed by the words.
    bool Parse(const std::vector<std::string>& words)
    {
        std::vector<char*> argv = Argv(words);
        testing::internal::CaptureStdout();
        bool parsed = ParseExtraParam(Argc(), argv.data(), &context);
        output = testing::internal::GetCapturedStdout();
        return parsed;
    }

    void ParseConfig(const std::vector<std::string>& words)
    {
        std::vector<char*> argv = Argv(words);
        ParseConfigParam(Argc(), argv.data(), &context);
    }

    std::vector<char*> Argv(const std::vector<std::string>& words)
    {
        storage = {"vexil", "write"};
        storage.insert(storage.end(), words.begin(), words.end());
        return Sim::ArgumentPointers(storage);
    }

    int Argc() const { return static_cast<int>(storage.size()); }

    BurnContext context;
    std::vector<std::string> storage;
    std::string output;
};

TEST_F(CliParserTest, EveryValueOptionInShortAndLongForm)
{
    ASSERT_TRUE(Parse({"-c", "qx71", "-p", "/dev/ttyUSB1", "-f", "a.fwpkg", "-b", "921600", "-s", "1", "--parity",
                       "0", "-S", "SN9", "--transfer-size", "4096", "--timeout", "2500", "-e", "64k", "-a",
                       "0x200000", "-z", "64k", "--only-burn", "app", "--burn-interval", "20"}));
    EXPECT_EQ(output, "");
    EXPECT_EQ(context.GetChipName(), "qx71");
    EXPECT_EQ(context.GetTransportWay(), BurnInfo::TRANSPORT_SERIAL);
    EXPECT_EQ(context.GetSerialPort(), "/dev/ttyUSB1");
    EXPECT_EQ(context.GetFilePath(), "a.fwpkg");
    EXPECT_EQ(context.GetBaudRate(), 921600);
    EXPECT_EQ(context.GetStopBit(), 1);
    EXPECT_EQ(context.GetParity(), 0);
    EXPECT_EQ(context.GetUsbSerialNumber(), "SN9");
    EXPECT_EQ(context.GetUsbTransferSize(), 4096);
    EXPECT_EQ(context.GetUsbTimeout(), 2500);
    EXPECT_EQ(context.GetAddress(), 2097152);
    EXPECT_EQ(context.GetReadSize(), 65536);
    EXPECT_THAT(context.GetOnlyBurnNames(), ElementsAre("app"));
    EXPECT_EQ(context.GetBurnInterval(), 20);

    BurnContext longForm;
    context = longForm;
    ASSERT_TRUE(Parse({"--chip", "kp7715", "--port", "/dev/ttyS0", "--file", "b.bin", "--baud", "500000",
                       "--stop-bits", "1", "--serial-number", "X", "--erase-size", "4096", "--address", "16",
                       "--size", "1m"}));
    EXPECT_EQ(context.GetChipName(), "kp7715");
    EXPECT_EQ(context.GetSerialPort(), "/dev/ttyS0");
    EXPECT_EQ(context.GetFilePath(), "b.bin");
    EXPECT_EQ(context.GetBaudRate(), 500000);
    EXPECT_EQ(context.GetStopBit(), 1);
    EXPECT_EQ(context.GetUsbSerialNumber(), "X");
    EXPECT_EQ(context.GetAddress(), 16);
    EXPECT_EQ(context.GetReadSize(), 1048576);
}

TEST_F(CliParserTest, FlagsAndWordsLeftToOthers)
{
    ASSERT_TRUE(Parse({"--switch-after-loader", "--before-reset", "-h", "-v", "--config", "x"}));
    EXPECT_EQ(output, "");
    EXPECT_TRUE(context.IsSwitchAfterLoader());
    EXPECT_TRUE(context.IsBeforeReset());
    EXPECT_EQ(context.GetTransportWay(), BurnInfo::TRANSPORT_NOT_SET);
}

// Refused before any word is acted on; options match case-sensitively.
TEST_F(CliParserTest, UnknownWordOrValueOptionWithoutItsValueIsRefused)
{
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-f", "a.fwpkg", "--CHIP", "qx71"}, "Unknown option '--CHIP'"},
        {{"-f", "a.fwpkg", "--onlyburn", "app.bin"}, "Unknown option '--onlyburn'"},
        {{"-f", "a.fwpkg", "app.bin"}, "Unknown option 'app.bin'"},
        {{"-f", "a.fwpkg", "--after_reset"}, "Unknown option '--after_reset'"},
        {{"-f", "a.fwpkg", "--only-burn", "-r", "app"}, "Unknown option 'app'"},
        {{"-f", "a.fwpkg", "--only-burn"}, "Option '--only-burn' needs a value"},
        {{"-f", "a.fwpkg", "--config"}, "Option '--config' needs a value"},
        {{"-f", "a.fwpkg", "--only-burn", "-a"}, "Option '-a' needs a value"},
        {{"-f", "a.fwpkg", "-o", ""}, "Option '-o' has an empty value"},
        {{"-f", "a.fwpkg", "--after-reset0"}, "Unknown option '--after-reset0'"},
        {{"--after-reset=yes", "-f", "a.fwpkg"}, "Invalid number 'yes' for --after-reset, expected 0 to 2147483647"},
    };
    for (const auto& c : cases) {
        context = BurnContext();
        EXPECT_FALSE(Parse(c.first)) << c.second;
        EXPECT_EQ(output, "error: " + c.second + ".\n");
        EXPECT_EQ(context.GetFilePath(), "");
    }
}

TEST_F(CliParserTest, OutputOfARead)
{
    ASSERT_TRUE(Parse({"-o", "flash.bin"}));
    EXPECT_EQ(context.GetOutputPath(), "flash.bin");
    ASSERT_TRUE(Parse({"--output", "-r"}));
    EXPECT_EQ(context.GetOutputPath(), "-r");
    EXPECT_EQ(context.GetReboot(), 1);  // the value word is examined as an option too
    EXPECT_EQ(output, "");
}

TEST_F(CliParserTest, ValueWordsAreExaminedAgainAsOptions)
{
    ASSERT_TRUE(Parse({"--only-burn", "-r"}));
    EXPECT_THAT(context.GetOnlyBurnNames(), ElementsAre("-r"));
    EXPECT_EQ(context.GetReboot(), 1);

    ASSERT_TRUE(Parse({"-f", "-c", "qx71"}));
    EXPECT_EQ(context.GetFilePath(), "-c");
    EXPECT_EQ(context.GetChipName(), "qx71");

    // a chip named "-p" still marks the serial transport as named
    EXPECT_FALSE(Parse({"-c", "-p", "-d"}));
    EXPECT_EQ(context.GetChipName(), "-p");
}

TEST_F(CliParserTest, OnlyBurnIsRepeatable)
{
    ASSERT_TRUE(Parse({"--only-burn", "app", "--only-burn", "boot"}));
    EXPECT_THAT(context.GetOnlyBurnNames(), ElementsAre("app", "boot"));
}

TEST_F(CliParserTest, SerialAndUsbTogetherAreRefused)
{
    const std::string conflict =
        "error: -p/--port and -d/--device are mutually exclusive (serial and USB transports cannot be combined)\n";
    EXPECT_FALSE(Parse({"-p", "/dev/ttyUSB0", "-d"}));
    EXPECT_EQ(output, conflict);
    EXPECT_FALSE(Parse({"-d", "-p", "/dev/ttyS1"}));
    EXPECT_EQ(output, conflict);
    EXPECT_FALSE(Parse({"--device", "0483:df11", "--port", "/dev/ttyS1"}));
    EXPECT_EQ(output, conflict);
}

TEST_F(CliParserTest, DeviceWithoutIdsSelectsUsbOnly)
{
    const std::vector<std::vector<std::string>> cases = {{"-d"}, {"-d", "-f", "x.bin"}};
    for (const auto& words : cases) {
        BurnContext fresh;
        context = fresh;
        ASSERT_TRUE(Parse(words)) << words.size();
        EXPECT_EQ(context.GetTransportWay(), BurnInfo::TRANSPORT_USB);
        EXPECT_EQ(context.GetUsbVid(), -1);
        EXPECT_EQ(context.GetUsbPid(), -1);
        EXPECT_EQ(output, "");
    }
}

TEST_F(CliParserTest, DeviceIds)
{
    ASSERT_TRUE(Parse({"-d", "0483:DF11"}));
    EXPECT_EQ(context.GetUsbVid(), 0x0483);
    EXPECT_EQ(context.GetUsbPid(), 0xDF11);
    ASSERT_TRUE(Parse({"--device", "0x1234:0Xabcd"}));
    EXPECT_EQ(context.GetUsbVid(), 0x1234);
    EXPECT_EQ(context.GetUsbPid(), 0xABCD);

    for (const char* bad : {"12:34:56", "zz:11", "12345:1", ":11", "11:", "0x:1", "0483df11", "app.bin"}) {
        EXPECT_FALSE(Parse({"-d", bad})) << bad;
        EXPECT_EQ(output, std::string("error: Invalid device id '") + bad +
                              "', expected <vid>:<pid> in hex, e.g. 0483:df11\n");
        EXPECT_EQ(context.GetTransportWay(), BurnInfo::TRANSPORT_USB);
    }
}

TEST_F(CliParserTest, HexIdRules)
{
    int id = -7;
    const std::pair<const char*, int> accepted[] = {{"0483", 0x0483}, {"0x0483", 0x0483}, {"df11", 0xdf11},
                                                    {"DF11", 0xdf11}, {"0", 0},           {"ffff", 0xffff}};
    for (const auto& c : accepted) {
        EXPECT_TRUE(ParseHexId(c.first, id)) << c.first;
        EXPECT_EQ(id, c.second) << c.first;
    }
    for (const char* refused : {"12345", "0x", "", "-1", "g1", "0x12345", "12 "}) {
        id = -7;
        EXPECT_FALSE(ParseHexId(refused, id)) << refused;
        EXPECT_EQ(id, -7) << refused;
    }
    int vendor = -1;
    int product = -1;
    EXPECT_FALSE(ParseVidPid(nullptr, vendor, product));
    EXPECT_FALSE(ParseVidPid("0483df11", vendor, product));
    EXPECT_FALSE(ParseVidPid("0483:zz", vendor, product));
    EXPECT_EQ(vendor, -1);
    EXPECT_TRUE(ParseVidPid("1:2", vendor, product));
    EXPECT_EQ(vendor, 1);
    EXPECT_EQ(product, 2);
}

TEST_F(CliParserTest, TransferSizeRange)
{
    EXPECT_FALSE(Parse({"--transfer-size", "63"}));
    EXPECT_EQ(output, "error: Invalid transfer-size 63, valid range is 64-65535\n");
    EXPECT_FALSE(Parse({"--transfer-size", "65536"}));
    EXPECT_EQ(output, "error: Invalid transfer-size 65536, valid range is 64-65535\n");
    EXPECT_FALSE(Parse({"--transfer-size", "4096x"}));
    EXPECT_EQ(output, "error: Invalid transfer-size 4096x, valid range is 64-65535\n");
    EXPECT_TRUE(Parse({"--transfer-size", "64"}));
    EXPECT_EQ(context.GetUsbTransferSize(), 64);
    EXPECT_TRUE(Parse({"--transfer-size", "65535"}));
    EXPECT_EQ(context.GetUsbTransferSize(), 65535);
}

TEST_F(CliParserTest, TimeoutMustBePositive)
{
    EXPECT_FALSE(Parse({"--timeout", "0"}));
    EXPECT_EQ(output, "error: Invalid timeout 0, expected a positive millisecond value\n");
    EXPECT_FALSE(Parse({"--timeout", "soon"}));
    EXPECT_EQ(output, "error: Invalid timeout soon, expected a positive millisecond value\n");
    EXPECT_TRUE(Parse({"--timeout", "1"}));
    EXPECT_EQ(context.GetUsbTimeout(), 1);
}

TEST_F(CliParserTest, PacketSizeReachesTheLibraryAtOnce)
{
    BurnChipBase::m_packetSize = 1024;
    EXPECT_FALSE(Parse({"--packet-size", "3000"}));
    EXPECT_EQ(output, "error: Invalid packet-size 3000, valid values are 1024, 2048, 4096, 8192\n");
    EXPECT_EQ(BurnChipBase::m_packetSize, 1024u);
    for (unsigned size : {2048u, 4096u, 8192u, 1024u}) {
        EXPECT_TRUE(Parse({"--packet-size", std::to_string(size)}));
        EXPECT_EQ(BurnChipBase::m_packetSize, size);
    }
    // it stays in force even when a later word makes the parse fail
    EXPECT_FALSE(Parse({"--packet-size", "8192", "--timeout", "0"}));
    EXPECT_EQ(BurnChipBase::m_packetSize, 8192u);
}

TEST_F(CliParserTest, AfterResetForms)
{
    const std::pair<const char*, int> cases[] = {{"-r", 1},
                                                  {"--after-reset", 1},
                                                  {"--after-reset=1", 1},
                                                  {"--after-reset=0", 0},
                                                  {"--after-reset=7", 7}};
    for (const auto& c : cases) {
        context.SetReboot(-5);
        ASSERT_TRUE(Parse({c.first})) << c.first;
        EXPECT_EQ(context.GetReboot(), c.second) << c.first;
    }
    context.SetReboot(-5);
    EXPECT_FALSE(Parse({"--after-rese"}));
    EXPECT_EQ(output, "error: Unknown option '--after-rese'.\n");
    EXPECT_EQ(context.GetReboot(), -5);
}

TEST_F(CliParserTest, NumberThatIsNotWhollyANumberOrOutOfRangeFailsTheParse)
{
    const std::pair<const char*, const char*> cases[] = {
        {"-e", "abc"}, {"--address", "0x2O000"}, {"-a", "0x100020000"}, {"-z", "0x100000100"}, {"--size", "4097m"},
        {"-z", "0x80000000"}, {"-b", "2M"}, {"--baud", "0"}, {"-s", "x"}, {"-s", "2"}, {"--parity", "1"},
        {"--burn-interval", "10ms"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(Parse({c.first, c.second, "-c", "late"})) << c.second;
        std::string named = std::string("'") + c.second + "' for " + c.first;
        EXPECT_EQ(output.rfind("error: Invalid number " + named + ", expected ", 0), 0u) << output;
        EXPECT_EQ(context.GetChipName(), "");
    }
    ASSERT_TRUE(Parse({"-a", "0xFFFFFFFF", "-z", "0x7FFFFFFF", "-b", " 921600 "}));
    EXPECT_EQ(context.GetAddress(), -1);  // kept as its 32 bits
    EXPECT_EQ(context.GetReadSize(), 0x7FFFFFFF);
    EXPECT_EQ(context.GetBaudRate(), 921600);
}

TEST_F(CliParserTest, SettingsBeforeAFailureStay)
{
    EXPECT_FALSE(Parse({"-c", "qx71", "--timeout", "0", "-b", "921600"}));
    EXPECT_EQ(context.GetChipName(), "qx71");
    EXPECT_EQ(context.GetBaudRate(), 115200);
}

TEST_F(CliParserTest, ConfigPrePassTakesTheLastValuedConfig)
{
    Sim::ScratchDir dir;
    Sim::WriteTextFile(dir / "a.config", "chipName=from-a\n");
    Sim::WriteTextFile(dir / "b.config", "chipName=from-b\n");
    auto loadedChip = [](BurnContext& loaded) {
        testing::internal::CaptureStdout();
        loaded.LoadBurnConfig();
        testing::internal::GetCapturedStdout();
        return loaded.GetChipName();
    };

    ParseConfig({"-c", "x", "--config", dir / "a.config", "--config", dir / "b.config"});
    EXPECT_EQ(loadedChip(context), "from-b");

    BurnContext lastWord;
    context = lastWord;
    context.SetConfigPath(dir / "a.config");
    ParseConfig({"--config"});
    EXPECT_EQ(loadedChip(context), "from-a");

    BurnContext mainPass;
    context = mainPass;
    context.SetConfigPath(dir / "a.config");
    ASSERT_TRUE(Parse({"--config", dir / "b.config"}));
    EXPECT_EQ(loadedChip(context), "from-a");
}

TEST(CliParserNullTest, NullArgumentsAreRefused)
{
    BurnContext context;
    char word[] = "vexil";
    char* argv[] = {word, nullptr};
    EXPECT_FALSE(ParseExtraParam(1, nullptr, &context));
    EXPECT_FALSE(ParseExtraParam(1, argv, nullptr));
    EXPECT_TRUE(ParseExtraParam(1, argv, &context));
    EXPECT_TRUE(ParseExtraParam(0, argv, &context));
    ParseConfigParam(1, nullptr, &context);
}

}  // namespace
