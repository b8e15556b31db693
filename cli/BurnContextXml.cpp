// The XML partition table part of the burn context.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <tinyxml2.h>

#include "BurnContext.h"
#include "Common.h"
#include "CommonUtil.h"

namespace BurnInfo {

namespace {

const char* const DEFAULT_PROGRAMMER_FILE = "programmer.bin";

struct RequiredAttribute {
    const char* name;
    const char* missingMessage;
};

const RequiredAttribute REQUIRED_ATTRIBUTES[] = {
    {"Sel", "error: Xml format error, not find Sel or Sel value is empty."},
    {"PartitionName", "error: Xml format error, not find PartitionName or PartitionName value is empty."},
    {"FileSystem", "error: Xml format error, not find FileSystem or FileSystem value is empty."},
    {"FlashType", "error: Xml format error, not find FlashType or FlashType is empty."},
    {"Start", "error: Xml format error, not find Start or Start value is empty."},
    {"Length", "error: Xml format error, not find Length or Length value is empty."},
};

// The attribute's text, or null when the element has no such attribute.
const char* AttributeText(const tinyxml2::XMLElement* element, const char* name)
{
    const tinyxml2::XMLAttribute* attribute = element->FindAttribute(name);
    return attribute == nullptr ? nullptr : attribute->Value();
}

bool HasValue(const tinyxml2::XMLElement* element, const char* name)
{
    const char* text = AttributeText(element, name);
    return text != nullptr && *text != '\0';
}

std::string TextOf(const tinyxml2::XMLElement* element, const char* name)
{
    const char* text = AttributeText(element, name);
    return text == nullptr ? std::string() : std::string(text);
}

// A partition's start and length: an eMMC's may lie past 4 GiB.
constexpr CommonUtil::NumberRule PARTITION_NUMBER = {0, LLONG_MAX, true, "0 or more"};

bool ConvertAttribute(const tinyxml2::XMLElement* element, const char* name, uint64_t& field)
{
    long long number = 0;
    if (!CommonUtil::ConvertToNumberOrReport(TextOf(element, name), PARTITION_NUMBER, name, number)) {
        return false;
    }
    field = static_cast<uint64_t>(number);
    return true;
}

std::string FileNameOf(const std::string& path)
{
    size_t cut = CommonUtil::FindLastSeparator(path);
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace

bool BurnContext::ParseBurnFile()
{
    if (!IsPartitionTable()) {
        return true;  // a single image
    }
    if (!InitBurnFilePath()) {
        return false;
    }
    if (!xmlPathDefault) {
        xmlDirectory.clear();
    }
    if (!ParseXmlFile()) {
        return false;
    }
    if (partitionInfo.empty()) {
        std::puts("error: Partition information is empty!");
        return false;
    }
    return true;
}

bool BurnContext::InitBurnFilePath()
{
    size_t cut = CommonUtil::FindLastSeparator(filePath);
    if (cut == std::string::npos) {
        std::printf("error: Invalid file path: %s\n", Common::Printable(filePath).c_str());
        return false;
    }
    xmlDirectory = filePath.substr(0, cut + 1);
    return true;
}

bool BurnContext::ParseXmlFile()
{
    tinyxml2::XMLDocument document;
    if (!CommonUtil::IsRegularFile(filePath) || document.LoadFile(filePath.c_str()) != tinyxml2::XML_SUCCESS) {
        std::printf("error: Failed to load xml file: %s.\n", Common::Printable(filePath).c_str());
        std::puts("Maybe this is not int XML format, or used by other application.");
        return false;
    }
    const tinyxml2::XMLElement* root = document.RootElement();
    if (root == nullptr) {
        std::puts("error: RootElement failed.");
        return false;
    }
    std::string programmer = HasValue(root, "ProgrammerFile") ? TextOf(root, "ProgrammerFile")
                                                               : DEFAULT_PROGRAMMER_FILE;
    programmerFilePath = CommonUtil::FileIsExists(programmer) ? programmer : xmlDirectory + programmer;
    const tinyxml2::XMLElement* first = root->FirstChildElement();
    if (first == nullptr) {
        std::puts("error: FirstChildElement failed.");
        return false;
    }
    if (!InitPartitionInfoByXml(first)) {
        return false;
    }
    return chipType == CHIP_TYPE_TYPESIX ? ReinitPartitionInfo() : true;
}

bool BurnContext::InitPartitionInfoByXml(const tinyxml2::XMLElement* element)
{
    // A loop over the siblings: a table with very many partitions must not exhaust the stack.
    for (; element != nullptr; element = element->NextSiblingElement()) {
        PartitionItem item;
        if (!ReadPartition(element, item)) {
            return false;
        }
        partitionInfo.push_back(item);
    }
    return true;
}

bool BurnContext::ReadPartition(const tinyxml2::XMLElement* element, PartitionItem& item) const
{
    if (!CheckXmlFormat(element)) {
        return false;
    }
    int sel = std::atoi(AttributeText(element, "Sel"));
    if (sel != 0 && sel != 1) {
        std::puts("error: Sel value can only be 1 or 0!");
        return false;
    }
    item.sel = (sel == 1);
    item.partitionName = TextOf(element, "PartitionName");
    item.fileSystem = TextOf(element, "FileSystem");
    if (chipType == CHIP_TYPE_TYPESIX) {
        if (!HasValue(element, "FileType")) {
            std::puts("error: Xml format error, not find FileType or FileType value is empty.");
            return false;
        }
        item.fileType = std::atoi(AttributeText(element, "FileType"));
    }
    item.flashType = TextOf(element, "FlashType");
    if (AttributeText(element, "DeviceId") != nullptr) {
        if (!HasValue(element, "DeviceId")) {
            std::puts("error: Xml format error, not find DeviceId or DeviceId is empty.");
            return false;
        }
        item.deviceId = std::atoi(AttributeText(element, "DeviceId"));
    }
    if (!ConvertAttribute(element, "Start", item.start) || !InitPartitionLength(element, item)) {
        return false;
    }
    InitPartitionSelectFile(element, item);
    InitPartitionElfFile(element, item);
    if (AttributeText(element, "FileSize") != nullptr) {
        return ConvertAttribute(element, "FileSize", item.fileSize);
    }
    item.fileSize = CommonUtil::GetFileLen(item.selectFile);
    return true;
}

bool BurnContext::CheckXmlFormat(const tinyxml2::XMLElement* element) const
{
    for (const RequiredAttribute& required : REQUIRED_ATTRIBUTES) {
        if (!HasValue(element, required.name)) {
            std::puts(required.missingMessage);
            return false;
        }
    }
    if (AttributeText(element, "SelectFile") == nullptr) {
        std::puts("error: Xml format error, not find SelectFile.");
        return false;
    }
    return true;
}

bool BurnContext::InitPartitionLength(const tinyxml2::XMLElement* element, PartitionItem& item) const
{
    std::string text = TextOf(element, "Length");
    if (text == "-") {
        item.length = 0;
        return true;
    }
    if (!ConvertAttribute(element, "Length", item.length)) {
        return false;
    }
    if (item.length == 0) {
        std::printf("Partition: %s length is 0.\n", Common::Printable(item.partitionName).c_str());
        return false;
    }
    if (department == ZORL_CHIP && item.length % FLASH_ONE_PAGE_SIZE != 0) {
        std::printf("error: Partition %s have invalid xml length: %s, must be a multiple of 64k\n",
                    Common::Printable(item.partitionName).c_str(), Common::Printable(text).c_str());
        return false;
    }
    return true;
}

void BurnContext::InitPartitionSelectFile(const tinyxml2::XMLElement* element, PartitionItem& item) const
{
    item.selectFile = ResolveXmlPath(TextOf(element, "SelectFile"));
    if (!item.selectFile.empty()) {
        item.fileName = FileNameOf(item.selectFile);
    }
}

void BurnContext::InitPartitionElfFile(const tinyxml2::XMLElement* element, PartitionItem& item) const
{
    if (AttributeText(element, "ElfFile") != nullptr) {
        item.elfFile = ResolveXmlPath(TextOf(element, "ElfFile"));
    }
}

std::string BurnContext::ResolveXmlPath(const std::string& value) const
{
    if (value.empty() || CommonUtil::FileIsExists(value)) {
        return value;
    }
    std::string besideTable = xmlDirectory + value;
    return CommonUtil::FileIsExists(besideTable) ? besideTable : std::string();
}

std::string BurnContext::GetFilePath(int type) const
{
    for (const PartitionItem& item : partitionInfo) {
        if (item.fileType == type) {
            return item.selectFile;
        }
    }
    return std::string();
}

std::string BurnContext::GetShaFilePath(const std::string& name) const
{
    for (const PartitionItem& item : partitionInfo) {
        if (item.fileType == IMAGE_TYPE_SHA && name.find(item.partitionName) != std::string::npos) {
            return item.selectFile;
        }
    }
    return std::string();
}

// Joins each image with its digest companion and turns image types into the file kinds of the download.
bool BurnContext::ReinitPartitionInfo()
{
    std::vector<PartitionItem> rebuilt;
    PartitionItem small = smallInfo;
    for (const PartitionItem& item : partitionInfo) {
        PartitionItem kept = item;
        switch (item.fileType) {
            case IMAGE_TYPE_LOADER:
                kept.selectFile += "|" + GetFilePath(IMAGE_TYPE_SSB_SHA);
                break;
            case IMAGE_TYPE_SMALL:
                kept.selectFile += "|" + GetFilePath(IMAGE_TYPE_SMALL_SHA);
                small = kept;
                continue;
            case IMAGE_TYPE_APP:
                kept.fileType = 2;
                break;
            case IMAGE_TYPE_BT:
                kept.fileType = 0;
                break;
            case IMAGE_TYPE_DSP:
                kept.fileType = 1;
                break;
            case IMAGE_TYPE_DSP1:
                kept.fileType = 4;
                break;
            case IMAGE_TYPE_FLASH_BIN:
            case IMAGE_TYPE_EMMC_BIN: {
                std::string shaPath = GetShaFilePath(item.partitionName);
                if (shaPath.empty()) {
                    std::puts("error: Not find sha256.bin file!");
                    return false;
                }
                kept.selectFile += "|" + shaPath;
                break;
            }
            default:
                continue;  // companions and images this chip does not burn
        }
        rebuilt.push_back(kept);
    }
    partitionInfo = rebuilt;
    smallInfo = small;
    return true;
}

}  // namespace BurnInfo
