#ifndef VEXIL_CLI_TYPESIXBURNERWORKER_H
#define VEXIL_CLI_TYPESIXBURNERWORKER_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "BurnerWorkerBase.h"
#include "ExtractDirectory.h"

namespace BurnInfo {

// One image of a package as the TypeSix worker handles it.
struct FwpkgBinInfo {
    std::string path;  // the package, then once unpacked the extracted image
    std::string unused;
    std::string name;
    uint32_t offset = 0;
    uint32_t length = 0;
    uint32_t burnAddr = 0;
    uint32_t burnSize = 0;
    uint32_t type = 0;
};

}  // namespace BurnInfo

namespace TypeSixBurnerWorkerSp {

// The companion file of an image: "_sha256" before the file name's last extension, or appended.
std::string GetSha256FilePath(const std::string& path);
// The file kind DownloadToFlash takes for an image type; -1 for an image type that is not burnt.
int FileKindOfImageType(uint32_t type);

// The worker of the TypeSix family over a serial port: it unpacks the package into a directory of this
// run's own in "<name>_extract/" beside itself, with a SHA-256 companion per image, boots the loaders and
// burns the other images one by one, then removes that directory.
class TypeSixBurnerWorker : public BurnerWorkerBase {
public:
    explicit TypeSixBurnerWorker(std::unique_ptr<BurnInfo::BurnContext> context);
    ~TypeSixBurnerWorker() override;

    int Burn() override;
    bool InitTransport() override;

    // Reads and checks the package, keeps the images to burn and opens the directory they go into; a
    // worker result code.
    int LoadPackage();
    // Unpacks the kept images and burns them.
    bool BurnPartitions();
    // Reads the package once and keeps its bytes, which the images are unpacked from.
    bool ParseFwpkgFile(const std::string& package, std::vector<BurnInfo::FwpkgBinInfo>& images);
    bool FilterByOnlyBurn(std::vector<BurnInfo::FwpkgBinInfo>& images) const;
    // Writes an image of the package bytes into a new file of the directory.
    bool ExtractBinFromFwpkg(const unsigned char* package, const ExtractDirectory& directory, const std::string& name,
                             uint32_t offset, uint32_t length);
    // Writes the digest of the file of this name into its companion beside it.
    bool CreateSha256File(const ExtractDirectory& directory, const std::string& name);
    int BurnLoader(const BurnInfo::FwpkgBinInfo& image);
    // Burns an image of a type that has a file kind.
    int BurnOtherFile(const BurnInfo::FwpkgBinInfo& image);

private:
    // Whether the only-burn list keeps the image: a listed name is its whole name, in any letter case;
    // an empty list keeps every image.
    bool OnlyBurnKeeps(const BurnInfo::FwpkgBinInfo& image) const;
    // Every listed name must keep an image this worker burns, or the write would end well with nothing
    // of what was asked for sent.
    bool OnlyBurnNamesKeepBurntImages(const std::string& package) const;
    bool KeptNamesUsable() const;
    // A burnt image must fill part of its flash area: an empty one would leave the area as it was, and
    // one longer than the burn size its bin head sends would run on into the next.
    bool KeptImagesFitTheirAreas() const;
    // Two images written over each other, or one past the 32-bit address space, would leave flash that
    // holds neither as the package states it.
    bool KeptImagesLieApart() const;
    // The chip keeps one image of each file kind, but those written to their address: a second of a kind
    // would replace the first.
    bool KeptImagesGoToAreasOfTheirOwn() const;
    // A write that boots the loader and writes nothing would end well with nothing burnt.
    bool KeptImagesWriteSomething(const std::string& package) const;
    // The reset choices this road cannot honour: its write always ends with a reset, and never begins with one.
    bool ResetOptionsUsable() const;
    // The images the burn writes into the flash once the loaders are booted, in the order it writes them.
    std::vector<const BurnInfo::FwpkgBinInfo*> WrittenImages() const;

    std::vector<std::string> onlyBurnNames;
    std::vector<BurnInfo::FwpkgBinInfo> m_images;
    std::unique_ptr<unsigned char[]> m_package;  // the bytes read and checked, until the images are unpacked
    ExtractDirectory m_extractDirectory;
    bool m_stoppedDownloadReset = false;  // the library's reset ended a download the user stopped
};

}  // namespace TypeSixBurnerWorkerSp

#endif
