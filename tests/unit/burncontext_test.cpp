#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "BurnContext.h"
#include "ScratchDir.h"

using BurnInfo::BurnContext;

namespace {

// A context that takes the scratch directory for the executable's directory.
class BurnContextTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        BurnContext::m_isOpenDebug = false;
        ASSERT_EQ(symlink((dir / "vexil").c_str(), (dir / "exe-link").c_str()), 0);
        context.InitExePath((dir / "exe-link").c_str());
        ASSERT_EQ(context.GetExePath(), dir.Path() + "/");
        mkdir((dir / "config").c_str(), 0755);
        mkdir((dir / "ChipProperties").c_str(), 0755);
    }

    bool LoadConfig(const std::string& text)
    {
        Sim::WriteTextFile(dir / "config/burn.config", text);
        testing::internal::CaptureStdout();
        bool loaded = context.LoadBurnConfig();
        output = testing::internal::GetCapturedStdout();
        return loaded;
    }

    bool LoadChip(const std::string& fileName, const std::string& text, const std::string& chipName)
    {
        Sim::WriteTextFile(dir / ("ChipProperties/" + fileName), text);
        context.SetChipName(chipName);
        testing::internal::CaptureStdout();
        bool loaded = context.LoadChipProperties();
        output = testing::internal::GetCapturedStdout();
        return loaded;
    }

    bool TransportSupported(BurnInfo::TransportWay way)
    {
        context.SetTransportWay(way);
        testing::internal::CaptureStdout();
        bool supported = context.IsTransportSupported();
        output = testing::internal::GetCapturedStdout();
        return supported;
    }

    Sim::ScratchDir dir;
    BurnContext context;
    std::string output;
};

TEST_F(BurnContextTest, DefaultsOfAFreshContext)
{
    BurnContext fresh;
    EXPECT_EQ(fresh.GetChipName(), "");
    EXPECT_EQ(fresh.GetTransportWay(), BurnInfo::TRANSPORT_NOT_SET);
    EXPECT_EQ(fresh.GetBaudRate(), 115200);
    EXPECT_EQ(fresh.GetBurnInterval(), 10);
    EXPECT_EQ(fresh.GetResetAtCommand(), "at+rst\r\n");
    EXPECT_EQ(fresh.GetUsbVid(), -1);
    EXPECT_EQ(fresh.GetUsbPid(), -1);
    EXPECT_EQ(fresh.GetUsbTransferSize(), 0);
    EXPECT_EQ(fresh.GetUsbTimeout(), 0);
    EXPECT_EQ(fresh.GetReboot(), 0);
    EXPECT_EQ(fresh.GetChipType(), 0);
    EXPECT_FALSE(fresh.IsSwitchAfterLoader());
    EXPECT_FALSE(fresh.IsBeforeReset());
    std::string exe = fresh.GetExePath();
    ASSERT_FALSE(exe.empty());
    EXPECT_EQ(exe.back(), '/');
    EXPECT_EQ(access((exe + "burncontext_test").c_str(), X_OK), 0) << exe;
}

TEST_F(BurnContextTest, ExePathThatDoesNotFitTheBufferCountsAsReadlinkFailure)
{
    std::string fits = "/" + std::string(BurnInfo::MAX_PATH_LENGTH - 8, 'd') + "/vexil";  // 1023 bytes
    std::string tooLong = "/" + std::string(BurnInfo::MAX_PATH_LENGTH - 7, 'd') + "/vexil";  // 1024 bytes
    ASSERT_EQ(fits.size(), BurnInfo::MAX_PATH_LENGTH - 1);
    ASSERT_EQ(symlink(fits.c_str(), (dir / "fits").c_str()), 0);
    ASSERT_EQ(symlink(tooLong.c_str(), (dir / "too-long").c_str()), 0);

    testing::internal::CaptureStdout();
    context.InitExePath((dir / "fits").c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(context.GetExePath(), fits.substr(0, fits.size() - 5));

    testing::internal::CaptureStdout();
    context.InitExePath((dir / "too-long").c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "readlink failed.\n");
    EXPECT_EQ(context.GetExePath(), "");

    testing::internal::CaptureStdout();
    context.InitExePath((dir / "no-link").c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "readlink failed.\n");
}

TEST_F(BurnContextTest, BurnConfigSetsEveryKey)
{
    ASSERT_TRUE(LoadConfig("chipName=qx71\n"
                           "filePath=/fw/BUILD=42/app.fwpkg\n"
                           "xmlPathDefault=true\n"
                           "mode=serial\n"
                           "openDebug=true\n"
                           "serialPort=/dev/ttyUSB3\n"
                           "baudRate=921600\n"
                           "stopBit=1\n"
                           "parity=0\n"
                           "reset=1\n"
                           "usbVid=0x0483\n"
                           "usbPid=0xdf11\n"
                           "usbSerialNumber= 12AB \t\n"
                           "usbTransferSize=4096\n"
                           "usbTimeout=7000\n"));
    EXPECT_EQ(output, "");
    EXPECT_EQ(context.GetChipName(), "qx71");
    EXPECT_EQ(context.GetFilePath(), "/fw/BUILD=42/app.fwpkg");  // split at the first "="
    EXPECT_EQ(context.GetBurnFile(), "/fw/BUILD=42/app.fwpkg");
    EXPECT_EQ(context.GetTransportWay(), BurnInfo::TRANSPORT_SERIAL);
    EXPECT_TRUE(BurnContext::m_isOpenDebug);
    EXPECT_EQ(context.GetSerialPort(), "/dev/ttyUSB3");
    EXPECT_EQ(context.GetBaudRate(), 921600);
    EXPECT_EQ(context.GetStopBit(), 1);
    EXPECT_EQ(context.GetParity(), 0);
    EXPECT_EQ(context.GetReboot(), 1);
    EXPECT_EQ(context.GetUsbVid(), 0x0483);
    EXPECT_EQ(context.GetUsbPid(), 0xdf11);
    EXPECT_EQ(context.GetUsbSerialNumber(), "12AB");
    EXPECT_EQ(context.GetUsbTransferSize(), 4096);
    EXPECT_EQ(context.GetUsbTimeout(), 7000);
}

TEST_F(BurnContextTest, BurnConfigSkipsCommentsAndBlankLines)
{
    ASSERT_TRUE(LoadConfig(" \t# chipName=qx71 # chip\n"
                           "# chipName=kp7715\n"
                           "\n"
                           " \t\r\n"
                           "baudRate=500000"));  // the last line needs no line end
    EXPECT_EQ(output, "");
    EXPECT_EQ(context.GetChipName(), "");
    EXPECT_EQ(context.GetBaudRate(), 500000);
}

// Keys compare exactly, without trimming.
TEST_F(BurnContextTest, BurnConfigLineOfNoKnownKeyFailsTheLoadNamingIt)
{
    const std::pair<const char*, std::string> cases[] = {
        {"chipName = typesix", "unknown key 'chipName '"},
        {"UsbVid=0x1234", "unknown key 'UsbVid'"},
        {"serialPort", "'serialPort' is not a key=value setting"},
        {"reset=1 # on", "'reset=1 # on' holds a '#'; a comment takes a line of its own"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(LoadConfig("# settings\n\nbaudRate=500000\n" + std::string(c.first) + "\nchipName=late\n"));
        EXPECT_EQ(output, "error: " + (dir / "config/burn.config") + " line 4: " + c.second + ".\n");
        EXPECT_EQ(context.GetChipName(), "");
    }
}

TEST_F(BurnContextTest, BurnConfigWithCrLfLineEnds)
{
    ASSERT_TRUE(LoadConfig("\xEF\xBB\xBF" "chipName=qx71\r\nmode=usb\r\nusbVid=0x0483\r\nbaudRate=921600\r\n"
                           "usbSerialNumber=SN1\r\nopenDebug=true\r\n"));
    EXPECT_EQ(context.GetChipName(), "qx71");
    EXPECT_EQ(context.GetTransportWay(), BurnInfo::TRANSPORT_USB);
    EXPECT_EQ(context.GetUsbVid(), 0x0483);
    EXPECT_EQ(context.GetBaudRate(), 921600);
    EXPECT_EQ(context.GetUsbSerialNumber(), "SN1");
    EXPECT_TRUE(BurnContext::m_isOpenDebug);
}

TEST_F(BurnContextTest, BurnConfigModeIsTrimmedAndExact)
{
    EXPECT_TRUE(LoadConfig("mode=usb\n"));
    EXPECT_EQ(context.GetTransportWay(), BurnInfo::TRANSPORT_USB);
    EXPECT_TRUE(LoadConfig("mode= serial \n"));
    EXPECT_EQ(context.GetTransportWay(), BurnInfo::TRANSPORT_SERIAL);

    EXPECT_FALSE(LoadConfig("chipName=qx71\nmode= USB \nbaudRate=921600\n"));
    EXPECT_EQ(output, "error: Unknown transport: USB!\n");
    EXPECT_EQ(context.GetChipName(), "qx71");     // read before the failure
    EXPECT_EQ(context.GetBaudRate(), 115200);     // the load stopped at the bad mode
}

TEST_F(BurnContextTest, BurnConfigBooleansAreTrueOnlyForExactTrue)
{
    BurnContext::m_isOpenDebug = false;
    ASSERT_TRUE(LoadConfig("openDebug=True\n"));
    EXPECT_FALSE(BurnContext::m_isOpenDebug);
    ASSERT_TRUE(LoadConfig("openDebug=true\n"));
    EXPECT_TRUE(BurnContext::m_isOpenDebug);
    ASSERT_TRUE(LoadConfig("openDebug=yes\n"));
    EXPECT_FALSE(BurnContext::m_isOpenDebug);
}

TEST_F(BurnContextTest, BurnConfigUsbIdsAreDecimalUnlessHex)
{
    ASSERT_TRUE(LoadConfig("usbVid=0483\nusbPid=0x0483\n"));
    EXPECT_EQ(context.GetUsbVid(), 483);
    EXPECT_EQ(context.GetUsbPid(), 0x0483);
}

TEST_F(BurnContextTest, BurnConfigNumberThatIsNotWhollyANumberOrOutOfRangeFailsTheLoad)
{
    for (std::string setting : {"reset=none", "usbVid=0x10000", "usbPid=none", "usbTransferSize=63", "baudRate=2M",
                                "stopBit=1x", "stopBit=2", "parity=-1", "parity=1",
                                "usbTimeout=5s"}) {
        EXPECT_FALSE(LoadConfig(setting + "\nchipName=late\n")) << setting;
        size_t equals = setting.find('=');
        std::string named = "'" + setting.substr(equals + 1) + "' for " + setting.substr(0, equals);
        std::string where = " in " + (dir / "config/burn.config") + " line 1, expected ";
        EXPECT_EQ(output.rfind("error: Invalid number " + named + where, 0), 0u) << output;
        EXPECT_EQ(context.GetChipName(), "");
    }
    EXPECT_TRUE(LoadConfig("usbTransferSize=0\n"));  // not set: the library keeps its own size
    // An empty number is not set either: the default stays.
    EXPECT_TRUE(LoadConfig("baudRate=\nstopBit=\nparity=\nreset= \nusbVid=\nusbPid=\nusbTransferSize=\nusbTimeout=\n"));
    EXPECT_EQ(context.GetBaudRate(), 115200);
    EXPECT_EQ(context.GetUsbVid(), -1);
}

// Each example of the shipped file, its "#" taken away, is a setting read as it stands.
TEST_F(BurnContextTest, ShippedBurnConfigExamplesReadAsShownOnceUncommented)
{
    std::ifstream shipped(VEXIL_BUILD_DIR "/config/burn.config");
    std::string examples;
    for (std::string line; std::getline(shipped, line);) {
        bool example = line.rfind("# ", 0) == 0 && line.find_first_of(" \t", 2) > line.find('=');
        examples += example ? line.substr(2) + "\n" : "";
    }
    ASSERT_TRUE(LoadConfig(examples)) << output;
    EXPECT_EQ(context.GetChipName() + " " + context.GetFilePath() + " " + context.GetSerialPort(),
              "qx71 /path/to/app.fwpkg /dev/ttyUSB0");
    EXPECT_EQ(context.GetUsbTimeout(), 5000);
}

TEST_F(BurnContextTest, BurnConfigPathFromOptionAndMissingFile)
{
    Sim::WriteTextFile(dir / "other.config", "chipName=kp7715\n");
    context.SetConfigPath(dir / "other.config");
    ASSERT_TRUE(LoadConfig("chipName=qx71\n"));
    EXPECT_EQ(context.GetChipName(), "kp7715");

    BurnContext missing;
    missing.SetConfigPath(dir / "missing.config");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(missing.LoadBurnConfig());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "error: Open burn.config failed: " + (dir / "missing.config") + " (No such file or directory).\n");
}

TEST_F(BurnContextTest, CheckBurnParametersNamesTheFirstMissingOne)
{
    auto check = [this]() {
        testing::internal::CaptureStdout();
        bool ok = context.CheckBurnParameters();
        output = testing::internal::GetCapturedStdout();
        return ok;
    };
    EXPECT_FALSE(check());
    EXPECT_EQ(output, "error: Chip name not found!\n");
    context.SetChipName("qx71");
    EXPECT_FALSE(check());
    EXPECT_EQ(output, "error: Burn file not found!\n");
    context.SetFilePath("a.fwpkg");
    EXPECT_FALSE(check());
    EXPECT_EQ(output, "error: Transport way not found!\n");
    context.SetTransportWay(BurnInfo::TRANSPORT_USB);
    EXPECT_TRUE(check());
    EXPECT_EQ(output, "");
}

TEST_F(BurnContextTest, ChipPropertiesSetEveryKey)
{
    ASSERT_TRUE(LoadChip("qx71.txt",
                         "ChipType=0x30004\nLoadBurnAddress=0x200000\nResetAtCommand=AT+RESET\n"
                         "UsbVid=0x1234\nUsbPid=0x5678\nSupportedTransports=serial,usb\nOther=1\n",
                         "qx71"));
    EXPECT_EQ(output, "");
    EXPECT_EQ(context.GetChipType(), 0x30004);
    EXPECT_EQ(context.GetDepartment(), BurnInfo::CONNECTION_CHIP);
    EXPECT_EQ(context.GetResetAtCommand(), "AT+RESET\r\n");
    EXPECT_EQ(context.GetUsbVid(), 0x1234);
    EXPECT_EQ(context.GetUsbPid(), 0x5678);
}

TEST_F(BurnContextTest, ChipPropertiesFileIsFoundWithoutRegardToCase)
{
    ASSERT_TRUE(LoadChip("qx71.txt", "ChipType=0x30004\n", "QX71"));
    EXPECT_EQ(context.GetChipType(), 0x30004);

    EXPECT_FALSE(LoadChip("other.txt", "ChipType=1\n", "Missing"));
    EXPECT_EQ(output, "error: Open file failed: " + dir.Path() + "/ChipProperties/Missing.txt\n");
}

TEST_F(BurnContextTest, ChipTypeMustBeFoundAndNonZero)
{
    std::string path = dir.Path() + "/ChipProperties/c.txt";
    EXPECT_FALSE(LoadChip("c.txt", "ChipType = 0x30004\n", "c"));
    EXPECT_EQ(output, "error: ChipType not found in file " + path + "\n");
    EXPECT_FALSE(LoadChip("c.txt", "ChipType=0\n", "c"));
    EXPECT_EQ(output, "error: ChipType not found in file " + path + "\n");

    EXPECT_TRUE(LoadChip("c.txt", "ChipType=0x60001\r\n", "c"));
    EXPECT_EQ(context.GetDepartment(), BurnInfo::ZORL_CHIP);
    EXPECT_TRUE(LoadChip("c.txt", "ChipType=0x30002\nChipType=0x40001\n", "c"));  // the later line wins
    EXPECT_EQ(context.GetChipType(), 0x40001);
    EXPECT_EQ(context.GetDepartment(), BurnInfo::MCU_CHIP);
}

TEST_F(BurnContextTest, ChipPropertiesNumberWithoutDigitsFailsTheLoad)
{
    for (const char* key : {"ChipType", "LoadBurnAddress", "UsbVid", "UsbPid"}) {
        BurnContext fresh;
        fresh.InitExePath((dir / "exe-link").c_str());
        Sim::WriteTextFile(dir / "ChipProperties/n.txt", "ChipType=0x30004\n" + std::string(key) + "=0xqq\n");
        fresh.SetChipName("n");
        testing::internal::CaptureStdout();
        EXPECT_FALSE(fresh.LoadChipProperties()) << key;
        std::string line = testing::internal::GetCapturedStdout();
        EXPECT_EQ(line.rfind(std::string("error: Invalid number '0xqq' for ") + key + ", expected ", 0), 0u) << line;
    }
}

TEST_F(BurnContextTest, UsbIdsFromConfigOrOptionWinOverTheChipFile)
{
    context.SetUsbVid(0x1111);  // as burn.config or -d set it
    ASSERT_TRUE(LoadChip("tn48.txt", "ChipType=0x40002\nUsbVid=0x0483\nUsbPid=0xdf11\n", "tn48"));
    EXPECT_EQ(context.GetUsbVid(), 0x1111);
    EXPECT_EQ(context.GetUsbPid(), 0xdf11);
    // an id that is not used is not converted either
    ASSERT_TRUE(LoadChip("tn48.txt", "ChipType=0x40002\nUsbVid=junk\n", "tn48"));
}

TEST_F(BurnContextTest, SupportedTransports)
{
    ASSERT_TRUE(LoadChip("c.txt", "ChipType=0x30004\nSupportedTransports=serial, usb\r\n", "c"));
    EXPECT_TRUE(TransportSupported(BurnInfo::TRANSPORT_SERIAL));
    EXPECT_TRUE(TransportSupported(BurnInfo::TRANSPORT_USB));

    ASSERT_TRUE(LoadChip("c.txt", "ChipType=0x30004\nSupportedTransports=usb\n", "c"));
    EXPECT_FALSE(TransportSupported(BurnInfo::TRANSPORT_SERIAL));
    EXPECT_EQ(output, "error: Chip c does not support the serial transport!\n");
    EXPECT_TRUE(TransportSupported(BurnInfo::TRANSPORT_USB));

    ASSERT_TRUE(LoadChip("c.txt", "ChipType=0x30004\nSupportedTransports=\n", "c"));
    EXPECT_FALSE(TransportSupported(BurnInfo::TRANSPORT_SERIAL));
    EXPECT_FALSE(TransportSupported(BurnInfo::TRANSPORT_USB));
    EXPECT_EQ(output, "error: Chip c does not support the usb transport!\n");

    ASSERT_TRUE(LoadChip("c.txt", "ChipType=0x30004\nSupportedTransports=Serial\n", "c"));
    EXPECT_FALSE(TransportSupported(BurnInfo::TRANSPORT_SERIAL));  // the word is compared exactly
}

TEST(BurnContextNoTransportsTest, NoSupportedTransportsLineAllowsSerialOnly)
{
    BurnContext context;
    context.SetChipName("plain");
    context.SetTransportWay(BurnInfo::TRANSPORT_NOT_SET);
    EXPECT_TRUE(context.IsTransportSupported());  // an unset transport is looked at as serial
    context.SetTransportWay(BurnInfo::TRANSPORT_USB);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(context.IsTransportSupported());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "error: Chip plain does not support the usb transport!\n");
}

// The files shipped beside the built executable.
class ShippedFilesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(symlink(VEXIL_BINARY, (dir / "vexil").c_str()), 0);
        context.InitExePath((dir / "vexil").c_str());
        ASSERT_EQ(context.GetExePath(), std::string(VEXIL_BUILD_DIR) + "/");
    }

    Sim::ScratchDir dir;
    BurnContext context;
};

TEST_F(ShippedFilesTest, BurnConfigHasNoActiveSetting)
{
    BurnContext::m_isOpenDebug = false;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(context.LoadBurnConfig());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    BurnContext fresh;
    EXPECT_EQ(context.GetChipName(), "");
    EXPECT_EQ(context.GetFilePath(), "");
    EXPECT_EQ(context.GetTransportWay(), BurnInfo::TRANSPORT_NOT_SET);
    EXPECT_EQ(context.GetSerialPort(), "");
    EXPECT_EQ(context.GetBaudRate(), fresh.GetBaudRate());
    EXPECT_EQ(context.GetReboot(), 0);
    EXPECT_EQ(context.GetUsbVid(), -1);
    EXPECT_EQ(context.GetUsbPid(), -1);
    EXPECT_EQ(context.GetUsbTransferSize(), 0);
    EXPECT_EQ(context.GetUsbTimeout(), 0);
    EXPECT_FALSE(BurnContext::m_isOpenDebug);
}

TEST_F(ShippedFilesTest, ChipPropertiesOfTheChipsInTheUsage)
{
    struct Expected {
        const char* chip;
        int chipType;
        bool serial;
        int usbVid;
        int usbPid;
    };
    const Expected chips[] = {
        {"qx71", 0x30004, true, -1, -1},   {"kp7715", 0x30005, true, -1, -1}, {"typesix", 0x30002, true, -1, -1},
        {"dfu", 0x40001, false, -1, -1},   {"TN48", 0x40002, false, 0x0483, 0xdf11},
    };
    for (const Expected& chip : chips) {
        BurnContext loaded;
        loaded.InitExePath((dir / "vexil").c_str());
        loaded.SetChipName(chip.chip);
        ASSERT_TRUE(loaded.LoadChipProperties()) << chip.chip;
        EXPECT_EQ(loaded.GetChipType(), chip.chipType) << chip.chip;
        EXPECT_EQ(loaded.GetUsbVid(), chip.usbVid) << chip.chip;
        EXPECT_EQ(loaded.GetUsbPid(), chip.usbPid) << chip.chip;
        loaded.SetTransportWay(BurnInfo::TRANSPORT_USB);
        EXPECT_TRUE(loaded.IsTransportSupported()) << chip.chip;
        loaded.SetTransportWay(BurnInfo::TRANSPORT_SERIAL);
        testing::internal::CaptureStdout();
        EXPECT_EQ(loaded.IsTransportSupported(), chip.serial) << chip.chip;
        testing::internal::GetCapturedStdout();
        // the generic DFU chips belong to another department than the serial chips
        EXPECT_EQ(BurnInfo::DepartmentOf(chip.chipType) == BurnInfo::CONNECTION_CHIP, chip.serial) << chip.chip;
    }
}

}  // namespace
