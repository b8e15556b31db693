#include "TypeSixBurnerWorker.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "Burn.h"
#include "BurnChipBase.h"
#include "Common.h"
#include "CommonUtil.h"
#include "FwpkgCheck.h"
#include "Interrupt.h"
#include "Sha256Util.h"

namespace TypeSixBurnerWorkerSp {

namespace {

using BurnInfo::FwpkgBinInfo;

constexpr unsigned TYPESIX_OPEN_BAUD_RATE = 115200;
constexpr int LOADER_PACKET_SIZE = 4096;
constexpr size_t COPY_CHUNK = 64 * 1024;
const char* const EXTRACT_SUFFIX = "_extract/";

// The loaders are booted first, then every image of a file kind is written; the others (the loader's
// digest, the small SSB, NV/KV images ...) are unpacked and hashed but never sent.
bool BurnsImageType(uint32_t type)
{
    return type == BurnInfo::IMAGE_TYPE_LOADER || FileKindOfImageType(type) >= 0;
}

// Every burnt image but the loaders, which are booted, is written into the flash.
bool IsWritten(uint32_t type)
{
    return type != BurnInfo::IMAGE_TYPE_LOADER && BurnsImageType(type);
}

// Only the whole-flash and eMMC images tell the chip where they go; the chip puts the images of the
// other kinds in areas of its own, whatever address the package gives them.
bool GoesToItsAddress(uint32_t type)
{
    return type == BurnInfo::IMAGE_TYPE_FLASH_BIN || type == BurnInfo::IMAGE_TYPE_EMMC_BIN;
}

// The flash an image takes: its area or its length, whichever is more.
Common::FlashRange RangeOf(const FwpkgBinInfo& image)
{
    uint64_t extent = std::max(image.burnSize, image.length);
    return {image.burnAddr, image.burnAddr + extent, Common::Printable(image.name)};
}

// A plain file name stays inside the extract directory; "|" joins the files handed to the library.
bool UsableFileName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\|") == std::string::npos;
}

// An --only-burn name names the image of that whole name, in any letter case; the filter and the check
// of the names must agree on it.
bool IsNamed(const FwpkgBinInfo& image, const std::string& wanted)
{
    return CommonUtil::EqualsIgnoreCase(wanted, image.name);
}

std::string JoinedSpec(const std::string& image)
{
    return image + "|" + GetSha256FilePath(image);
}

// Ctrl-C ends the unpacking of a large package at once, not once every image is unpacked and hashed,
// and a stopped download is not tried again.
bool Cancelled()
{
    return Interrupt::CancelQuery() != 0;
}

}  // namespace

std::string GetSha256FilePath(const std::string& path)
{
    size_t slash = path.rfind('/');
    size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot < nameStart) {
        return path + "_sha256";
    }
    return path.substr(0, dot) + "_sha256" + path.substr(dot);
}

int FileKindOfImageType(uint32_t type)
{
    switch (type) {
        case BurnInfo::IMAGE_TYPE_APP:
            return 2;
        case BurnInfo::IMAGE_TYPE_BT:
            return 0;
        case 11:
            return 1;
        case BurnInfo::IMAGE_TYPE_DSP1:
            return 4;
        case 4:
        case BurnInfo::IMAGE_TYPE_FLASH_BIN:
        case BurnInfo::IMAGE_TYPE_EMMC_BIN:
        case 104:
            return static_cast<int>(type);
        default:
            return -1;
    }
}

TypeSixBurnerWorker::TypeSixBurnerWorker(std::unique_ptr<BurnInfo::BurnContext> context)
    : BurnerWorkerBase(std::move(context)), onlyBurnNames(Context().GetOnlyBurnNames())
{
}

TypeSixBurnerWorker::~TypeSixBurnerWorker() = default;

// The boot ROM listens at 115200 whatever rate was asked for. The reset prompt is Burn's.
bool TypeSixBurnerWorker::InitTransport()
{
    if (!OpenSerialDevice(TYPESIX_OPEN_BAUD_RATE)) {
        return false;
    }
    SetChipType(Context().GetChipType());
    SetIsReady(Device(), 1);
    return true;
}

int TypeSixBurnerWorker::Burn()
{
    if (!ResetOptionsUsable()) {
        return BurnInfo::PARAM_ERROR;
    }
    if (!OpenBurnFile()) {
        return BurnInfo::BURN_BOOT_FAILED;
    }
    if (!InitTransport()) {
        return BurnInfo::INIT_TRANSFER_WAY_FAILED;
    }
    // A package that cannot be burnt as asked is refused before anything goes to the port, and the
    // device is asked for its reset only when the burn will follow.
    int loaded = LoadPackage();
    if (loaded != BurnInfo::SUCCESS) {
        return loaded;
    }
    PromptDeviceReset();
    m_isPrintProgress = true;
    bool burnt = BurnPartitions();
    m_extractDirectory.Remove();
    // A chip left halfway through a burn is put back to its boot ROM; one never talked to is left alone.
    if (burnt || (Device()->HasSentAny() && !m_stoppedDownloadReset)) {
        (void)Reset(Device());
    }
    return burnt ? BurnInfo::SUCCESS : BurnInfo::BURN_PARTITION_FAILED;
}

bool TypeSixBurnerWorker::ResetOptionsUsable() const
{
    if (Context().IsBeforeReset()) {
        std::printf("error: --before-reset is not supported by chip %s: the device is reset by hand before the "
                    "write.\n", Common::Printable(Context().GetChipName()).c_str());
        return false;
    }
    if (Context().IsNoRebootAsked()) {
        std::printf("error: --after-reset=0 is not supported by chip %s: its write always ends with a reset.\n",
                    Common::Printable(Context().GetChipName()).c_str());
        return false;
    }
    return true;
}

int TypeSixBurnerWorker::LoadPackage()
{
    std::string package = Context().GetFilePath();
    if (package.empty()) {
        std::puts("error: No fwpkg file specified!");
        return BurnInfo::BURN_PARTITION_FAILED;
    }
    m_images.clear();
    if (!ParseFwpkgFile(package, m_images) || !OnlyBurnNamesKeepBurntImages(package)) {
        return BurnInfo::BURN_PARTITION_FAILED;
    }
    FilterByOnlyBurn(m_images);
    if (!KeptNamesUsable()) {
        return BurnInfo::BURN_PARTITION_FAILED;
    }
    // The status the Qx71 road gives a package that cannot be burnt as it stands.
    if (!KeptImagesFitTheirAreas() || !KeptImagesLieApart() || !KeptImagesGoToAreasOfTheirOwn() ||
        !KeptImagesWriteSomething(package)) {
        return BurnInfo::BURN_BOOT_FAILED;
    }
    bool opened = m_extractDirectory.Open(CommonUtil::GetParentDir(package) +
                                          CommonUtil::GetBaseNameWithoutExt(package) + EXTRACT_SUFFIX);
    return opened ? BurnInfo::SUCCESS : BurnInfo::BURN_PARTITION_FAILED;
}

bool TypeSixBurnerWorker::BurnPartitions()
{
    for (FwpkgBinInfo& image : m_images) {
        if (!ExtractBinFromFwpkg(m_package.get(), m_extractDirectory, image.name, image.offset, image.length)) {
            if (!Cancelled()) {
                std::printf("error: Failed to extract %s from fwpkg\n", Common::Printable(image.name).c_str());
            }
            return false;
        }
        if (!CreateSha256File(m_extractDirectory, image.name)) {
            if (!Cancelled()) {
                std::printf("error: Failed to create SHA256 file for %s\n", Common::Printable(image.name).c_str());
            }
            return false;
        }
        image.path = m_extractDirectory.HeldPathOf(image.name);
    }
    m_package.reset();
    ShownPath shown(m_extractDirectory.HeldPathOf(""), m_extractDirectory.PathOf(""));
    for (const FwpkgBinInfo& image : m_images) {
        if (image.type == BurnInfo::IMAGE_TYPE_LOADER && BurnLoader(image) != BurnInfo::SUCCESS) {
            return false;
        }
    }
    for (const FwpkgBinInfo* image : WrittenImages()) {
        if (BurnOtherFile(*image) != BurnInfo::SUCCESS) {
            return false;
        }
    }
    return true;
}

std::vector<const FwpkgBinInfo*> TypeSixBurnerWorker::WrittenImages() const
{
    std::vector<const FwpkgBinInfo*> written;
    for (const FwpkgBinInfo& image : m_images) {
        if (IsWritten(image.type)) {
            written.push_back(&image);
        }
    }
    return written;
}

// The images are unpacked from the bytes read here, through the burn file held open, which were checked:
// the file of that name may be another by then, as after an update that renames a new package over it.
bool TypeSixBurnerWorker::ParseFwpkgFile(const std::string& package, std::vector<FwpkgBinInfo>& images)
{
    unsigned long length = 0;
    // Read quietly: this line alone says why the package cannot be read.
    CommonUtil::FileRead read =
        CommonUtil::ReadRegularFile(HandedPath(package), CommonUtil::FILE_CONTENT_SPARE, m_package, length);
    if (read == CommonUtil::FileRead::CANCELLED) {
        return false;
    }
    if (read != CommonUtil::FileRead::DONE) {
        std::printf("error: Failed to open fwpkg file: %s\n", Common::Printable(package).c_str());
        return false;
    }
    std::vector<Common::FileHead> heads;
    std::string version;
    std::string error;
    if (!Common::ParseFwpkg(m_package.get(), length, heads, version, error, true)) {
        std::printf("error: %s\n", error.c_str());
        return false;
    }
    // The whole package is checked before anything is unpacked or sent.
    error = Common::PackageTableFault(heads, length);
    if (!error.empty()) {
        std::printf("error: %s\n", error.c_str());
        return false;
    }
    for (const Common::FileHead& head : heads) {
        images.push_back({package, std::string(), head.fileName, head.offset, head.length, head.burnAddr,
                          head.burnSize, head.type});
    }
    return true;
}

bool TypeSixBurnerWorker::OnlyBurnKeeps(const FwpkgBinInfo& image) const
{
    return onlyBurnNames.empty() ||
           std::any_of(onlyBurnNames.begin(), onlyBurnNames.end(),
                       [&](const std::string& name) { return IsNamed(image, name); });
}

bool TypeSixBurnerWorker::OnlyBurnNamesKeepBurntImages(const std::string& package) const
{
    for (const std::string& name : onlyBurnNames) {
        if (std::none_of(m_images.begin(), m_images.end(), [&](const FwpkgBinInfo& image) {
                return BurnsImageType(image.type) && IsNamed(image, name);
            })) {
            std::printf("error: --only-burn %s matches no image of %s that is burnt.\n",
                        Common::Printable(name).c_str(), Common::Printable(package).c_str());
            return false;
        }
    }
    return true;
}

bool TypeSixBurnerWorker::FilterByOnlyBurn(std::vector<FwpkgBinInfo>& images) const
{
    images.erase(std::remove_if(images.begin(), images.end(),
                                [this](const FwpkgBinInfo& image) { return !OnlyBurnKeeps(image); }),
                 images.end());
    return true;
}

// Each kept image becomes a file of its own name in the extract directory, its digest another beside it:
// a name that leaves the directory, that two images share or that is another image's digest file would
// write outside it, or burn one image's bytes in place of another's or of a digest. A medium that ignores
// letter case (FAT, exFAT, a share, a casefolded directory) takes names that differ only in case for one.
bool TypeSixBurnerWorker::KeptNamesUsable() const
{
    std::map<std::string, std::string> seen;  // by the name in lower case
    for (const FwpkgBinInfo& image : m_images) {
        if (!UsableFileName(image.name)) {
            std::printf("error: %s\n", Common::InvalidImageNameFault(image.name).c_str());
            return false;
        }
        auto [first, isFirst] = seen.emplace(CommonUtil::ToLower(image.name), image.name);
        if (isFirst) {
            continue;
        }
        if (first->second == image.name) {
            std::printf("error: Two images in fwpkg are named %s\n", Common::Printable(image.name).c_str());
        } else {
            std::printf("error: Two images in fwpkg are named %s and %s, which differ only in letter case\n",
                        Common::Printable(first->second).c_str(), Common::Printable(image.name).c_str());
        }
        return false;
    }
    for (const FwpkgBinInfo& image : m_images) {
        auto companion = seen.find(CommonUtil::ToLower(GetSha256FilePath(image.name)));
        if (companion != seen.end()) {
            std::printf("error: Image %s in fwpkg has the name of the SHA-256 file of image %s\n",
                        Common::Printable(companion->second).c_str(), Common::Printable(image.name).c_str());
            return false;
        }
    }
    return true;
}

bool TypeSixBurnerWorker::KeptImagesFitTheirAreas() const
{
    for (const FwpkgBinInfo& image : m_images) {
        if (!BurnsImageType(image.type)) {
            continue;
        }
        std::string name = Common::Printable(image.name);
        if (image.length == 0) {
            std::printf("error: %s\n", Common::EmptyImageFault(name).c_str());
            return false;
        }
        // Only these send their burn size to the chip: for the others it sets no more than the erase wait.
        if (GoesToItsAddress(image.type) && image.length > image.burnSize) {
            std::printf("error: %s\n", Common::BurnSizeFault(name, image.burnSize, image.length).c_str());
            return false;
        }
    }
    return true;
}

bool TypeSixBurnerWorker::KeptImagesLieApart() const
{
    // An eMMC image's address lies on the eMMC, not in the flash.
    std::vector<Common::FlashRange> flash;
    std::vector<Common::FlashRange> emmc;
    for (const FwpkgBinInfo* image : WrittenImages()) {
        if (GoesToItsAddress(image->type)) {
            (image->type == BurnInfo::IMAGE_TYPE_EMMC_BIN ? emmc : flash).push_back(RangeOf(*image));
        }
    }
    std::string fault = Common::FlashLayoutFault(flash);
    if (fault.empty()) {
        fault = Common::FlashLayoutFault(emmc);
    }
    if (!fault.empty()) {
        std::printf("error: %s\n", fault.c_str());
    }
    return fault.empty();
}

bool TypeSixBurnerWorker::KeptImagesGoToAreasOfTheirOwn() const
{
    std::map<int, const FwpkgBinInfo*> areas;
    for (const FwpkgBinInfo* image : WrittenImages()) {
        if (GoesToItsAddress(image->type)) {
            continue;
        }
        int kind = FileKindOfImageType(image->type);
        auto [first, isFirst] = areas.emplace(kind, image);
        if (!isFirst) {
            std::printf("error: Images %s and %s both go to the area of file kind %d; the second would replace the "
                        "first.\n", Common::Printable(first->second->name).c_str(),
                        Common::Printable(image->name).c_str(), kind);
            return false;
        }
    }
    return true;
}

bool TypeSixBurnerWorker::KeptImagesWriteSomething(const std::string& package) const
{
    if (!WrittenImages().empty()) {
        return true;
    }
    std::printf("error: %s\n", Common::NothingBurntFault(package, !onlyBurnNames.empty()).c_str());
    return false;
}

bool TypeSixBurnerWorker::ExtractBinFromFwpkg(const unsigned char* package, const ExtractDirectory& directory,
                                              const std::string& name, uint32_t offset, uint32_t length)
{
    std::string output = directory.PathOf(name);
    FILE* out = directory.Create(name);
    if (out == nullptr) {
        std::printf("error: Failed to create output file: %s (%s)\n", Common::Printable(output).c_str(),
                    std::strerror(errno));
        return false;
    }
    // Unbuffered, so that the count of bytes written is what the file took.
    std::setvbuf(out, nullptr, _IONBF, 0);
    const unsigned char* image = package + offset;
    uint64_t written = 0;
    while (written < length && !Cancelled()) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(COPY_CHUNK, length - written));
        size_t put = std::fwrite(image + written, 1, want, out);
        written += put;
        if (put != want) {
            break;
        }
    }
    // Only bytes that reached the disk count: a short file must not be hashed and burnt as the image.
    bool closed = std::fclose(out) == 0;
    if (written == length && closed) {
        return true;
    }
    if (!Cancelled()) {
        std::printf("error: Wrote %llu of %u bytes to %s\n", static_cast<unsigned long long>(written), length,
                    Common::Printable(output).c_str());
    }
    return false;
}

bool TypeSixBurnerWorker::CreateSha256File(const ExtractDirectory& directory, const std::string& name)
{
    FILE* in = directory.Read(name);
    if (in == nullptr) {
        return false;
    }
    Sha256Context context;
    std::vector<unsigned char> chunk(COPY_CHUNK);
    size_t read = 0;
    while (!Cancelled() && (read = std::fread(chunk.data(), 1, chunk.size(), in)) > 0) {
        context.Update(chunk.data(), static_cast<unsigned long>(read));
    }
    bool readWhole = std::feof(in) != 0 && std::ferror(in) == 0;
    std::fclose(in);
    if (!readWhole) {
        return false;
    }
    unsigned char digest[SHA256_DIGEST_LEN] = {0};
    context.Final(digest);
    FILE* out = directory.Create(GetSha256FilePath(name));
    if (out == nullptr) {
        return false;
    }
    bool written = std::fwrite(digest, 1, sizeof(digest), out) == sizeof(digest);
    return std::fclose(out) == 0 && written;
}

int TypeSixBurnerWorker::BurnLoader(const FwpkgBinInfo& image)
{
    SetIsReady(Device(), 0);
    SetPerPacketSize(Device(), LOADER_PACKET_SIZE);
    std::string spec = JoinedSpec(image.path) + "||||";
    if (BootDownload(Device(), spec.c_str(), 0, 0, nullptr, nullptr) == 0) {
        std::printf("error: Burn loader %s failed!\n", Common::Printable(image.name).c_str());
        return BurnInfo::BURN_BOOT_FAILED;
    }
    std::printf("Burn %s successfully.\n", Common::Printable(image.name).c_str());
    return BurnInfo::SUCCESS;
}

int TypeSixBurnerWorker::BurnOtherFile(const FwpkgBinInfo& image)
{
    SetIsReady(Device(), 0);
    int kind = FileKindOfImageType(image.type);
    SetIsReset(Device(), 0);
    std::string spec = JoinedSpec(image.path);
    bool burnt = false;
    bool stopped = false;
    // A download the user stopped is not tried again; the reset with which the library ends a failed
    // download has then put the chip back to its boot ROM, and is the run's last.
    for (int attempt = 0; attempt < 2 && !burnt && !stopped; ++attempt) {
        burnt = DownloadToFlash(Device(), spec.c_str(), 0, 0, image.burnAddr, image.burnSize, 0, kind) != 0;
        stopped = Cancelled();
    }
    m_stoppedDownloadReset = stopped && !burnt;
    if (!burnt) {
        std::printf("error: Burn %s failed!\n", Common::Printable(image.name).c_str());
        return BurnInfo::BURN_PARTITION_FAILED;
    }
    std::printf("Burn %s successfully.\n", Common::Printable(image.name).c_str());
    return BurnInfo::SUCCESS;
}

}  // namespace TypeSixBurnerWorkerSp
