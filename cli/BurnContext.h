#ifndef VEXIL_CLI_BURNCONTEXT_H
#define VEXIL_CLI_BURNCONTEXT_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "BurnInfo.h"

namespace tinyxml2 {
class XMLElement;
}

namespace BurnInfo {

enum TransportWay {
    TRANSPORT_SERIAL = 0,
    TRANSPORT_USB = 1,
    TRANSPORT_NOT_SET = 2,
};

// One partition of an XML partition table.
struct PartitionItem {
    bool sel = false;
    std::string partitionName;
    uint64_t fileSize = 0;
    std::string fileSystem;
    int fileType = 0;
    std::string flashType;
    int deviceId = 0;
    uint64_t start = 0;
    uint64_t length = 0;
    std::string selectFile;
    std::string elfFile;
    std::string fileName;
};

constexpr const char* BURN_CONFIG = "config/burn.config";
constexpr const char* CHIP_PROPERTIES = "ChipProperties/";
constexpr const char* EXE_LINK = "/proc/self/exe";
constexpr unsigned int MAX_PATH_LENGTH = 1024;
constexpr uint64_t FLASH_ONE_PAGE_SIZE = 65536;

// The settings of one command, from burn.config, the options, the chip property file and the burn file.
class BurnContext {
public:
    BurnContext();

    // The directory of the executable behind the link, with its trailing separator.
    void InitExePath(const char* link = EXE_LINK);

    bool LoadBurnConfig();
    bool CheckBurnParameters() const;
    bool LoadChipProperties();
    bool IsTransportSupported() const;
    bool ParseBurnFile();

    std::string GetChipName() const { return chipName; }
    void SetChipName(const std::string& value) { chipName = value; }
    TransportWay GetTransportWay() const { return transportWay; }
    void SetTransportWay(TransportWay value) { transportWay = value; }
    std::string GetSerialPort() const { return serialPort; }
    void SetSerialPort(const std::string& value) { serialPort = value; }
    int GetBaudRate() const { return baudRate; }
    void SetBaudRate(int value) { baudRate = value; }
    int GetStopBit() const { return stopBit; }
    void SetStopBit(int value) { stopBit = value; }
    int GetParity() const { return parity; }
    void SetParity(int value) { parity = value; }
    std::string GetUsbSerialNumber() const { return usbSerialNumber; }
    void SetUsbSerialNumber(const std::string& value) { usbSerialNumber = value; }
    std::string GetFilePath() const { return filePath; }
    std::string GetBurnFile() const { return filePath; }
    void SetFilePath(const std::string& value) { filePath = value; }
    // A burn file is taken for an XML partition table by its name alone.
    bool IsPartitionTable() const { return filePath.find(".xml") != std::string::npos; }
    // Where a read puts the flash contents (-o); empty: the tool derives a name from the burn file.
    std::string GetOutputPath() const { return outputPath; }
    void SetOutputPath(const std::string& value) { outputPath = value; }
    std::string GetExePath() const { return exePath; }
    void SetConfigPath(const std::string& value) { configPath = value; }
    std::vector<PartitionItem> GetPartitionInfo() const { return partitionInfo; }
    PartitionItem GetSmallInfo() const { return smallInfo; }
    int GetChipType() const { return chipType; }
    int GetDepartment() const { return department; }
    int GetAddress() const { return address; }
    void SetAddress(int value) { address = value; }
    int GetReadSize() const { return readSize; }
    void SetReadSize(int value) { readSize = value; }
    void SetEraseSize(int value) { eraseSize = value; }
    int GetReboot() const { return reboot; }
    void SetReboot(int value) { reboot = value; }
    // The name the parser notes an --after-reset=N whose N reads 0 under: it asks for what a command
    // does without a reset, where the other forms of the option ask for one.
    static constexpr const char* NO_REBOOT_OPTION = "--after-reset=0";
    // The command line asked for no reset after the work (--after-reset=0); burn.config's value is
    // only a default.
    bool IsNoRebootAsked() const { return HasOption(NO_REBOOT_OPTION) && reboot == 0; }
    // The options the command line gave, each by its name (the long one where it has one) and by the
    // word typed, so that a command can refuse what it would otherwise drop.
    void NoteOption(const std::string& name, const std::string& word) { givenOptions.push_back({name, word}); }
    bool HasOption(const std::string& name) const { return !FirstOptionAmong({name}).empty(); }
    // The word typed for the first option given whose name is one of the names, or "".
    std::string FirstOptionAmong(const std::vector<std::string>& names) const { return FirstOption(names, true); }
    // The word typed for the first option given whose name is none of the names, or "".
    std::string FirstOptionBesides(const std::vector<std::string>& names) const { return FirstOption(names, false); }
    std::vector<std::string> GetOnlyBurnNames() const { return onlyBurnNames; }
    void AddOnlyBurnName(const std::string& name) { onlyBurnNames.push_back(name); }
    bool IsSwitchAfterLoader() const { return switchAfterLoader; }
    void SetSwitchAfterLoader(bool value) { switchAfterLoader = value; }
    bool IsBeforeReset() const { return beforeReset; }
    void SetBeforeReset(bool value) { beforeReset = value; }
    int GetBurnInterval() const { return burnInterval; }
    void SetBurnInterval(int value) { burnInterval = value; }
    std::string GetResetAtCommand() const { return resetAtCommand; }
    int GetUsbVid() const { return usbVid; }
    void SetUsbVid(int value) { usbVid = value; }
    int GetUsbPid() const { return usbPid; }
    void SetUsbPid(int value) { usbPid = value; }
    int GetUsbTransferSize() const { return usbTransferSize; }
    void SetUsbTransferSize(int value) { usbTransferSize = value; }
    int GetUsbTimeout() const { return usbTimeout; }
    void SetUsbTimeout(int value) { usbTimeout = value; }

    // The selectFile of the first partition of the given type, or "".
    std::string GetFilePath(int type) const;
    // The selectFile of the first SHA partition whose name occurs in the given name, or "".
    std::string GetShaFilePath(const std::string& name) const;

    static bool m_isOpenDebug;

private:
    std::string FirstOption(const std::vector<std::string>& names, bool among) const;
    // Each clears known when the key is none of burn.config's; setting names the key and its line.
    bool ApplyBurnConfig(const std::string& key, const std::string& value, const std::string& setting, bool& known);
    bool LoadLocalConfig(const std::string& key, const std::string& value, const std::string& setting, bool& known);
    bool LoadTransportWay(const std::string& value);
    bool ApplyChipProperty(const std::string& key, const std::string& value);

    bool InitBurnFilePath();
    bool ParseXmlFile();
    bool InitPartitionInfoByXml(const tinyxml2::XMLElement* element);
    bool ReadPartition(const tinyxml2::XMLElement* element, PartitionItem& item) const;
    bool CheckXmlFormat(const tinyxml2::XMLElement* element) const;
    bool InitPartitionLength(const tinyxml2::XMLElement* element, PartitionItem& item) const;
    void InitPartitionSelectFile(const tinyxml2::XMLElement* element, PartitionItem& item) const;
    void InitPartitionElfFile(const tinyxml2::XMLElement* element, PartitionItem& item) const;
    std::string ResolveXmlPath(const std::string& value) const;
    bool ReinitPartitionInfo();

    std::string chipName;
    TransportWay transportWay = TRANSPORT_NOT_SET;
    std::string serialPort;
    int baudRate = 115200;
    int stopBit = 0;
    int parity = 0;
    std::string usbSerialNumber;
    std::string filePath;
    std::string outputPath;
    std::string xmlDirectory;
    std::string exePath;
    std::string configPath;
    std::string programmerFilePath;
    int loaderAddress = 0;
    std::vector<PartitionItem> partitionInfo;
    PartitionItem smallInfo;
    int chipType = 0;
    int department = 0;
    bool xmlPathDefault = true;
    int address = 0;
    int readSize = 0;
    int eraseSize = 0;
    int reboot = 0;
    std::vector<std::pair<std::string, std::string>> givenOptions;
    std::vector<std::string> onlyBurnNames;
    bool switchAfterLoader = false;
    bool beforeReset = false;
    int burnInterval = 10;
    std::string resetAtCommand = "at+rst\r\n";
    int usbVid = -1;
    int usbPid = -1;
    int usbTransferSize = 0;
    int usbTimeout = 0;
    std::vector<std::string> supportedTransports;
};

}  // namespace BurnInfo

#endif
