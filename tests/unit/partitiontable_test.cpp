#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "BurnContext.h"
#include "FwpkgBuilder.h"
#include "ScratchDir.h"

using BurnInfo::BurnContext;
using BurnInfo::PartitionItem;

namespace {

// Changes the working directory for the life of the object.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& path)
    {
        char current[4096] = {0};
        saved = getcwd(current, sizeof(current)) != nullptr ? current : "/";
        changed = chdir(path.c_str()) == 0;
    }
    ~WorkingDirectory() { (void)chdir(saved.c_str()); }
    bool changed = false;

private:
    std::string saved;
};

std::string Partition(const std::string& attributes)
{
    return "  <Partition " + attributes + "/>\n";
}

// A complete partition element with the given name, selection and image file.
std::string FullPartition(const std::string& name, const std::string& selectFile, const std::string& extra = "",
                          const std::string& sel = "1")
{
    return Partition("Sel=\"" + sel + "\" PartitionName=\"" + name +
                     "\" FileSystem=\"none\" FlashType=\"nor\" Start=\"0x1000\" Length=\"0x10000\" SelectFile=\"" +
                     selectFile + "\" " + extra);
}

std::string Table(const std::string& partitions, const std::string& rootAttributes = "")
{
    return "<?xml version=\"1.0\"?>\n<Programmer " + rootAttributes + ">\n" + partitions + "</Programmer>\n";
}

std::string TableWithLength(const std::string& length, const std::string& name = "part")
{
    return Table(Partition("Sel=\"1\" PartitionName=\"" + name + "\" FileSystem=\"f\" FlashType=\"n\" Start=\"0\" "
                           "Length=\"" + length + "\" SelectFile=\"\""));
}

class PartitionTableTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(symlink((dir / "vexil").c_str(), (dir / "exe-link").c_str()), 0);
        context.InitExePath((dir / "exe-link").c_str());
        mkdir((dir / "ChipProperties").c_str(), 0755);
        mkdir((dir / "images").c_str(), 0755);
    }

    void UseChipType(const std::string& chipType)
    {
        Sim::WriteTextFile(dir / "ChipProperties/t.txt", "ChipType=" + chipType + "\n");
        context.SetChipName("t");
        ASSERT_TRUE(context.LoadChipProperties());
    }

    bool ParseFile(const std::string& path)
    {
        context.SetFilePath(path);
        testing::internal::CaptureStdout();
        bool parsed = context.ParseBurnFile();
        output = testing::internal::GetCapturedStdout();
        return parsed;
    }

    bool ParseTable(const std::string& xml, const std::string& name = "table.xml")
    {
        Sim::WriteTextFile(dir / name, xml);
        return ParseFile(dir / name);
    }

    PartitionItem Only()
    {
        std::vector<PartitionItem> items = context.GetPartitionInfo();
        EXPECT_EQ(items.size(), 1u);
        return items.empty() ? PartitionItem() : items[0];
    }

    Sim::ScratchDir dir;
    BurnContext context;
    std::string output;
};

TEST_F(PartitionTableTest, OnlyPathsContainingDotXmlAreTables)
{
    EXPECT_TRUE(ParseFile(dir / "fw.bin"));
    EXPECT_TRUE(ParseFile(dir / "fw.XML"));  // the test is case-sensitive
    EXPECT_TRUE(context.GetPartitionInfo().empty());
    EXPECT_EQ(output, "");

    EXPECT_FALSE(ParseFile(dir / "app.xml.bin"));  // ".xml" anywhere takes the table road
    EXPECT_EQ(output, "error: Failed to load xml file: " + (dir / "app.xml.bin") +
                          ".\nMaybe this is not int XML format, or used by other application.\n");
}

TEST_F(PartitionTableTest, TablePathNeedsADirectory)
{
    Sim::WriteTextFile(dir / "a.xml", Table(FullPartition("boot", "")));
    WorkingDirectory inScratch(dir.Path());
    ASSERT_TRUE(inScratch.changed);
    EXPECT_FALSE(ParseFile("a.xml"));
    EXPECT_EQ(output, "error: Invalid file path: a.xml\n");
    EXPECT_TRUE(ParseFile("./a.xml"));
    EXPECT_EQ(output, "");
    EXPECT_EQ(Only().partitionName, "boot");
}

TEST_F(PartitionTableTest, DocumentLevelFailures)
{
    EXPECT_FALSE(ParseTable("this is no xml <"));
    EXPECT_EQ(output, "error: Failed to load xml file: " + (dir / "table.xml") +
                          ".\nMaybe this is not int XML format, or used by other application.\n");
    EXPECT_FALSE(ParseTable("<?xml version=\"1.0\"?>\n<!-- nothing else -->\n"));
    EXPECT_EQ(output, "error: RootElement failed.\n");
    EXPECT_FALSE(ParseTable("<Programmer>text only<!-- c --></Programmer>"));
    EXPECT_EQ(output, "error: FirstChildElement failed.\n");
}

TEST_F(PartitionTableTest, EachMissingAttributeHasItsMessage)
{
    const std::pair<const char*, const char*> required[] = {
        {"Sel", "error: Xml format error, not find Sel or Sel value is empty.\n"},
        {"PartitionName", "error: Xml format error, not find PartitionName or PartitionName value is empty.\n"},
        {"FileSystem", "error: Xml format error, not find FileSystem or FileSystem value is empty.\n"},
        {"FlashType", "error: Xml format error, not find FlashType or FlashType is empty.\n"},
        {"Start", "error: Xml format error, not find Start or Start value is empty.\n"},
        {"Length", "error: Xml format error, not find Length or Length value is empty.\n"},
    };
    const std::string all[] = {"Sel=\"1\"", "PartitionName=\"p\"", "FileSystem=\"f\"", "FlashType=\"n\"",
                               "Start=\"0\"", "Length=\"1\""};
    for (size_t missing = 0; missing < 6; ++missing) {
        for (bool empty : {false, true}) {
            std::string attributes;
            for (size_t i = 0; i < 6; ++i) {
                if (i != missing) {
                    attributes += all[i] + " ";
                } else if (empty) {
                    attributes += std::string(required[i].first) + "=\"\" ";
                }
            }
            BurnContext fresh;
            context = fresh;
            EXPECT_FALSE(ParseTable(Table(Partition(attributes + "SelectFile=\"\"")))) << attributes;
            EXPECT_EQ(output, required[missing].second) << attributes;
        }
    }
    EXPECT_FALSE(ParseTable(Table(Partition("Sel=\"1\" PartitionName=\"p\" FileSystem=\"f\" FlashType=\"n\" "
                                            "Start=\"0\" Length=\"1\""))));
    EXPECT_EQ(output, "error: Xml format error, not find SelectFile.\n");
}

TEST_F(PartitionTableTest, SelValues)
{
    EXPECT_FALSE(ParseTable(Table(FullPartition("p", "", "", "2"))));
    EXPECT_EQ(output, "error: Sel value can only be 1 or 0!\n");

    BurnContext fresh;
    context = fresh;
    ASSERT_TRUE(ParseTable(Table(FullPartition("zero", "", "", "0") + FullPartition("word", "", "", "yes") +
                                 FullPartition("one", "", "", "1"))));
    std::vector<PartitionItem> items = context.GetPartitionInfo();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_FALSE(items[0].sel);
    EXPECT_FALSE(items[1].sel);  // no digits count as 0
    EXPECT_TRUE(items[2].sel);
}

TEST_F(PartitionTableTest, FieldsOfAPartition)
{
    Sim::WriteBinaryFile(dir / "images/app.bin", Sim::PatternBytes(300, 1));
    ASSERT_TRUE(ParseTable(Table(Partition("Sel=\"1\" PartitionName=\"app\" FileSystem=\"raw\" FlashType=\"nand\" "
                                           "Start=\"0x200000\" Length=\"2M\" SelectFile=\"images/app.bin\" "
                                           "DeviceId=\"3\" FileType=\"18\""))));
    PartitionItem item = Only();
    EXPECT_TRUE(item.sel);
    EXPECT_EQ(item.partitionName, "app");
    EXPECT_EQ(item.fileSystem, "raw");
    EXPECT_EQ(item.flashType, "nand");
    EXPECT_EQ(item.start, 0x200000u);
    EXPECT_EQ(item.length, 0x200000u);
    EXPECT_EQ(item.selectFile, dir / "images/app.bin");
    EXPECT_EQ(item.fileName, "app.bin");
    EXPECT_EQ(item.elfFile, "");
    EXPECT_EQ(item.deviceId, 3);
    EXPECT_EQ(item.fileSize, 300u);
    EXPECT_EQ(item.fileType, 0);  // FileType counts only for the TypeSix chips
}

TEST_F(PartitionTableTest, DeviceIdMayBeAbsentButNotEmpty)
{
    ASSERT_TRUE(ParseTable(Table(FullPartition("p", ""))));
    EXPECT_EQ(Only().deviceId, 0);
    EXPECT_FALSE(ParseTable(Table(FullPartition("p", "", "DeviceId=\"\""))));
    EXPECT_EQ(output, "error: Xml format error, not find DeviceId or DeviceId is empty.\n");
}

TEST_F(PartitionTableTest, LengthRules)
{
    ASSERT_TRUE(ParseTable(TableWithLength("-")));
    EXPECT_EQ(Only().length, 0u);

    BurnContext fresh;
    context = fresh;
    EXPECT_FALSE(ParseTable(TableWithLength("0", "&#27;[31mRED")));
    EXPECT_EQ(output, "Partition: ?[31mRED length is 0.\n");
    EXPECT_FALSE(ParseTable(TableWithLength("0x&#7;")));
    EXPECT_EQ(output, "error: Invalid number '0x?' for Length, expected 0 or more.\n");

    // without department 6 any length goes
    EXPECT_TRUE(ParseTable(TableWithLength("0x8000")));
}

TEST_F(PartitionTableTest, DepartmentSixNeedsWholeSixtyFourKiBLengths)
{
    UseChipType("0x60001");
    EXPECT_FALSE(ParseTable(TableWithLength("0x8000")));
    EXPECT_EQ(output, "error: Partition part have invalid xml length: 0x8000, must be a multiple of 64k\n");
    for (const char* length : {"0x10000", "64k", "-", "0x30000"}) {
        BurnContext fresh;
        fresh.InitExePath((dir / "exe-link").c_str());
        context = fresh;
        UseChipType("0x60001");
        EXPECT_TRUE(ParseTable(TableWithLength(length))) << length << output;
    }
}

TEST_F(PartitionTableTest, StartAndFileSizeWithoutDigitsFailTheTable)
{
    EXPECT_FALSE(ParseTable(Table(Partition("Sel=\"1\" PartitionName=\"p\" FileSystem=\"f\" FlashType=\"n\" "
                                            "Start=\"none\" Length=\"1\" SelectFile=\"\""))));
    EXPECT_EQ(output, "error: Invalid number 'none' for Start, expected 0 or more.\n");
    EXPECT_FALSE(ParseTable(Table(FullPartition("p", "", "FileSize=\"big\""))));
    EXPECT_EQ(output, "error: Invalid number 'big' for FileSize, expected 0 or more.\n");
    BurnContext fresh;
    context = fresh;
    ASSERT_TRUE(ParseTable(Table(FullPartition("p", "", "FileSize=\"4k\""))));
    EXPECT_EQ(Only().fileSize, 4096u);
}

TEST_F(PartitionTableTest, ImagePathResolution)
{
    Sim::WriteTextFile(dir / "images/beside.bin", "12345");
    Sim::WriteTextFile(dir / "images/both.bin", "table dir");
    Sim::ScratchDir work;
    Sim::WriteTextFile(work / "both.bin", "working dir");
    Sim::WriteTextFile(dir / "images/app.elf", "elf");
    Sim::WriteTextFile(dir / "images/table.xml",
                       Table(FullPartition("beside", "beside.bin", "ElfFile=\"app.elf\"") +
                             FullPartition("both", "both.bin", "ElfFile=\"missing.elf\"") +
                             FullPartition("missing", "missing.bin") + FullPartition("empty", "")));
    WorkingDirectory inWork(work.Path());
    ASSERT_TRUE(inWork.changed);
    ASSERT_TRUE(ParseFile(dir / "images/table.xml"));
    EXPECT_EQ(output, "");
    std::vector<PartitionItem> items = context.GetPartitionInfo();
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0].selectFile, dir / "images/beside.bin");
    EXPECT_EQ(items[0].fileName, "beside.bin");
    EXPECT_EQ(items[0].fileSize, 5u);
    EXPECT_EQ(items[0].elfFile, dir / "images/app.elf");
    EXPECT_EQ(items[1].selectFile, "both.bin");  // the working directory wins
    EXPECT_EQ(items[1].fileName, "both.bin");
    EXPECT_EQ(items[1].fileSize, 11u);
    EXPECT_EQ(items[1].elfFile, "");
    EXPECT_EQ(items[2].selectFile, "");
    EXPECT_EQ(items[2].fileName, "");
    EXPECT_EQ(items[2].fileSize, 0u);
    EXPECT_EQ(items[3].selectFile, "");
    EXPECT_EQ(items[3].fileName, "");
}

TEST_F(PartitionTableTest, XmlPathDefaultFalseResolvesAgainstTheWorkingDirectoryOnly)
{
    Sim::WriteTextFile(dir / "images/beside.bin", "12345");
    Sim::WriteTextFile(dir / "config.txt", "xmlPathDefault=false\n");
    context.SetConfigPath(dir / "config.txt");
    ASSERT_TRUE(context.LoadBurnConfig());
    Sim::WriteTextFile(dir / "images/table.xml", Table(FullPartition("beside", "beside.bin")));
    ASSERT_TRUE(ParseFile(dir / "images/table.xml"));
    EXPECT_EQ(Only().selectFile, "");
}

TEST_F(PartitionTableTest, EveryChildOfTheRootIsAPartitionInOrder)
{
    ASSERT_TRUE(ParseTable("<Root>\n<!-- a comment -->\ntext\n" +
                           Partition("Sel=\"1\" PartitionName=\"first\" FileSystem=\"f\" FlashType=\"n\" Start=\"0\" "
                                     "Length=\"1\" SelectFile=\"\"") +
                           "<Other Sel=\"0\" PartitionName=\"second\" FileSystem=\"f\" FlashType=\"n\" Start=\"1\" "
                           "Length=\"1\" SelectFile=\"\"><Deep Sel=\"7\"/></Other>\n</Root>\n"));
    std::vector<PartitionItem> items = context.GetPartitionInfo();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].partitionName, "first");
    EXPECT_EQ(items[1].partitionName, "second");
}

TEST_F(PartitionTableTest, WalkStopsAtTheFirstBadPartitionKeepingTheOnesBefore)
{
    EXPECT_FALSE(ParseTable(Table(FullPartition("a", "") + FullPartition("b", "", "", "5") + FullPartition("c", ""))));
    EXPECT_EQ(output, "error: Sel value can only be 1 or 0!\n");
    std::vector<PartitionItem> items = context.GetPartitionInfo();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].partitionName, "a");
}

TEST_F(PartitionTableTest, HugeTableDoesNotExhaustTheStack)
{
    const int count = 100000;
    std::string xml = "<R>\n";
    xml.reserve(static_cast<size_t>(count) * 100);
    for (int i = 0; i < count; ++i) {
        xml += "<p Sel=\"1\" PartitionName=\"p\" FileSystem=\"f\" FlashType=\"n\" Start=\"0\" Length=\"1\" "
               "SelectFile=\"\" FileSize=\"0\"/>\n";
    }
    xml += "</R>\n";
    ASSERT_TRUE(ParseTable(xml));
    EXPECT_EQ(context.GetPartitionInfo().size(), static_cast<size_t>(count));
}

class TypeSixTableTest : public PartitionTableTest {
protected:
    void SetUp() override
    {
        PartitionTableTest::SetUp();
        UseChipType("0x30002");
        for (const char* name : {"ssb.bin", "ssb_sha.bin", "small.bin", "small_sha.bin", "app.bin", "bt.bin",
                                 "dsp.bin", "dsp1.bin", "flash.bin", "emmc.bin", "flash_sha256.bin", "emmc_sha256.bin"}) {
            Sim::WriteTextFile(dir / (std::string("images/") + name), name);
        }
    }

    std::string Typed(const std::string& name, const std::string& file, int type)
    {
        return FullPartition(name, "images/" + file, "FileType=\"" + std::to_string(type) + "\"");
    }

    std::string Path(const std::string& file) { return dir / ("images/" + file); }
};

TEST_F(TypeSixTableTest, FileTypeIsRequired)
{
    EXPECT_FALSE(ParseTable(Table(FullPartition("p", ""))));
    EXPECT_EQ(output, "error: Xml format error, not find FileType or FileType value is empty.\n");
    EXPECT_FALSE(ParseTable(Table(FullPartition("p", "", "FileType=\"\""))));
    EXPECT_EQ(output, "error: Xml format error, not find FileType or FileType value is empty.\n");
}

TEST_F(TypeSixTableTest, LoaderJoinsItsDigestAndBtBecomesKindZero)
{
    ASSERT_TRUE(ParseTable(Table(Typed("ssb", "ssb.bin", 0) + Typed("ssb_sha", "ssb_sha.bin", 24) +
                                 Typed("bt", "bt.bin", 20))));
    EXPECT_EQ(output, "");
    std::vector<PartitionItem> items = context.GetPartitionInfo();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].selectFile, Path("ssb.bin") + "|" + Path("ssb_sha.bin"));
    EXPECT_EQ(items[0].fileType, 0);
    EXPECT_EQ(items[0].fileName, "ssb.bin");
    EXPECT_EQ(items[1].selectFile, Path("bt.bin"));
    EXPECT_EQ(items[1].fileType, 0);
}

TEST_F(TypeSixTableTest, ImageTypesBecomeFileKinds)
{
    ASSERT_TRUE(ParseTable(Table(Typed("ssb", "ssb.bin", 0) + Typed("app", "app.bin", 18) +
                                 Typed("dsp", "dsp.bin", 22) + Typed("dsp1", "dsp1.bin", 26) +
                                 Typed("other", "bt.bin", 5) + Typed("sha", "flash_sha256.bin", 102))));
    std::vector<PartitionItem> items = context.GetPartitionInfo();
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0].selectFile, Path("ssb.bin") + "|");  // no digest companion: empty after the "|"
    EXPECT_EQ(items[1].partitionName, "app");
    EXPECT_EQ(items[1].fileType, 2);
    EXPECT_EQ(items[2].partitionName, "dsp");
    EXPECT_EQ(items[2].fileType, 1);
    EXPECT_EQ(items[3].partitionName, "dsp1");
    EXPECT_EQ(items[3].fileType, 4);
    EXPECT_EQ(items[3].selectFile, Path("dsp1.bin"));
}

TEST_F(TypeSixTableTest, ApplicationImagesJoinTheDigestNamedAfterThem)
{
    ASSERT_TRUE(ParseTable(Table(Typed("emmc", "emmc_sha256.bin", 102) + Typed("flash", "flash_sha256.bin", 102) +
                                 Typed("flash_app", "flash.bin", 100) + Typed("emmc_app", "emmc.bin", 101))));
    std::vector<PartitionItem> items = context.GetPartitionInfo();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].selectFile, Path("flash.bin") + "|" + Path("flash_sha256.bin"));
    EXPECT_EQ(items[0].fileType, 100);
    EXPECT_EQ(items[1].selectFile, Path("emmc.bin") + "|" + Path("emmc_sha256.bin"));
    EXPECT_EQ(items[1].fileType, 101);
}

TEST_F(TypeSixTableTest, ApplicationImageWithoutDigestFails)
{
    ASSERT_FALSE(ParseTable(Table(Typed("ssb", "ssb.bin", 0) + Typed("flash", "flash.bin", 100))));
    EXPECT_EQ(output, "error: Not find sha256.bin file!\n");
    std::vector<PartitionItem> items = context.GetPartitionInfo();
    ASSERT_EQ(items.size(), 2u);  // the list as it was read
    EXPECT_EQ(items[0].selectFile, Path("ssb.bin"));
    EXPECT_EQ(items[1].fileType, 100);
}

TEST_F(TypeSixTableTest, SmallImageGoesToItsOwnSlot)
{
    ASSERT_TRUE(ParseTable(Table(Typed("ssb", "ssb.bin", 0) + Typed("small", "small.bin", 28) +
                                 Typed("small_sha", "small_sha.bin", 29))));
    std::vector<PartitionItem> items = context.GetPartitionInfo();
    ASSERT_EQ(items.size(), 1u);
    PartitionItem small = context.GetSmallInfo();
    EXPECT_EQ(small.partitionName, "small");
    EXPECT_EQ(small.selectFile, Path("small.bin") + "|" + Path("small_sha.bin"));
    EXPECT_EQ(small.fileType, 28);
}

TEST_F(TypeSixTableTest, TableOfCompanionsOnlyIsEmpty)
{
    EXPECT_FALSE(ParseTable(Table(Typed("ssb_sha", "ssb_sha.bin", 24) + Typed("small_sha", "small_sha.bin", 29) +
                                  Typed("sha", "flash_sha256.bin", 102))));
    EXPECT_EQ(output, "error: Partition information is empty!\n");
}

TEST_F(TypeSixTableTest, CompanionLookups)
{
    ASSERT_TRUE(ParseTable(Table(Typed("ssb", "ssb.bin", 0) + Typed("flash", "flash_sha256.bin", 102) +
                                 Typed("flash_image", "flash.bin", 100))));
    // after the rewrite only the kept items are searched
    EXPECT_EQ(context.GetFilePath(100), Path("flash.bin") + "|" + Path("flash_sha256.bin"));
    EXPECT_EQ(context.GetFilePath(0), Path("ssb.bin") + "|");
    EXPECT_EQ(context.GetFilePath(24), "");
    EXPECT_EQ(context.GetShaFilePath("flash_image"), "");
}

}  // namespace
