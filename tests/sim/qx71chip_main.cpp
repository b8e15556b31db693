// A virtual Qx71-family chip on a pseudo-terminal, for a burn by hand or from a script: prints the
// port to burn through on its first line, serves one burn until the reset frame comes or the tool
// closes the port, reports what landed in its flash and exits 0 when the burn was complete.
//
//   qx71chip [--kp7715] [--expect <package>] [--flash-map <file>] [--time-limit <seconds>]
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "FwpkgBuilder.h"
#include "PtyBench.h"
#include "Qx71Chip.h"
#include "Qx71Wire.h"

namespace {

constexpr int EXIT_INCOMPLETE = 1;
constexpr int EXIT_USAGE = 2;
constexpr uint32_t NEVER_SENT_TYPE = 16;

std::atomic<int> g_stopped{0};

// A script that gives up on the burn still gets the report of what arrived.
void OnStopSignal(int)
{
    g_stopped.store(1);
}

struct Options {
    Sim::Qx71Variant variant = Sim::Qx71Variant::Qx71;
    std::string expectedPackage;
    std::string flashMapPath;
    int timeLimitSeconds = 120;
};

bool ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        bool hasValue = i + 1 < argc;
        if (option == "--kp7715") {
            options.variant = Sim::Qx71Variant::Kp7715;
        } else if (option == "--expect" && hasValue) {
            options.expectedPackage = argv[++i];
        } else if (option == "--flash-map" && hasValue) {
            options.flashMapPath = argv[++i];
        } else if (option == "--time-limit" && hasValue) {
            options.timeLimitSeconds = std::atoi(argv[++i]);
        } else {
            return false;
        }
    }
    return options.timeLimitSeconds > 0;
}

std::string Hex(uint32_t value)
{
    char text[16] = {0};
    std::snprintf(text, sizeof(text), "0x%08x", value);
    return text;
}

std::string Place(const Sim::Qx71Image& image)
{
    if (image.command == 0) {
        return "loader, run from RAM";
    }
    return image.hasAddress ? Hex(image.address) : "no address";
}

const Sim::PackageImage* FindInPackage(const std::vector<Sim::PackageImage>& package, const std::string& name)
{
    for (const Sim::PackageImage& image : package) {
        if (image.name == name) {
            return &image;
        }
    }
    return nullptr;
}

// The verdict on one received image; with a package to compare with, its bytes and address must agree.
bool Judge(const Sim::Qx71Image& image, const std::vector<Sim::PackageImage>* package, std::string& verdict)
{
    if (!image.complete) {
        verdict = "INCOMPLETE";
        return false;
    }
    if (package == nullptr) {
        verdict = "complete";
        return true;
    }
    const Sim::PackageImage* expected = FindInPackage(*package, image.name);
    bool matches = expected != nullptr && expected->data == image.data &&
                   (!image.hasAddress || expected->burnAddr == image.address);
    verdict = matches ? "matches the package" : "DIFFERS from the package";
    return matches;
}

bool ReportImages(const Sim::Qx71Chip& chip, const std::vector<Sim::PackageImage>* package)
{
    std::vector<Sim::Qx71Image> images = chip.Images();
    bool good = !images.empty();
    for (const Sim::Qx71Image& image : images) {
        std::string verdict;
        good = Judge(image, package, verdict) && good;
        std::printf("  %-24s %-22s %8zu bytes  at %7u baud  %s\n", image.name.c_str(), Place(image).c_str(),
                    image.data.size(), image.baudRate, verdict.c_str());
    }
    if (package == nullptr) {
        return good;
    }
    for (const Sim::PackageImage& expected : *package) {
        bool received = false;
        for (const Sim::Qx71Image& image : images) {
            received = received || image.name == expected.name;
        }
        if (!received && expected.type != NEVER_SENT_TYPE) {
            std::printf("  %-24s NOT RECEIVED\n", expected.name.c_str());
            good = false;
        }
    }
    return good;
}

bool WriteFlashMap(const Sim::Qx71Chip& chip, const std::string& path)
{
    std::ofstream file(path, std::ios::trunc);
    for (const auto& entry : chip.FlashMap()) {
        file << Hex(entry.first) << ' ' << entry.second.size() << '\n';
    }
    return static_cast<bool>(file);
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: qx71chip [--kp7715] [--expect <package>] [--flash-map <file>] [--time-limit <seconds>]\n");
        return EXIT_USAGE;
    }
    std::vector<Sim::PackageImage> package;
    if (!options.expectedPackage.empty() && !Sim::ReadFwpkg(Sim::ReadBinaryFile(options.expectedPackage), package)) {
        std::fprintf(stderr, "qx71chip: %s is no firmware package\n", options.expectedPackage.c_str());
        return EXIT_USAGE;
    }
    Sim::PtyBench bench;
    if (!bench.IsOpen()) {
        std::fprintf(stderr, "qx71chip: no pseudo-terminal\n");
        return EXIT_USAGE;
    }
    // Without a descriptor of its own on the port, the chip sees the tool close it.
    bench.ReleaseSlave();
    Sim::Qx71Chip chip(bench, options.variant);
    chip.Start();
    std::printf("%s\n", bench.PortPath().c_str());
    std::fflush(stdout);

    std::signal(SIGTERM, OnStopSignal);
    std::signal(SIGINT, OnStopSignal);
    chip.WaitUntil(
        [](const Sim::Qx71Chip& served) { return served.ResetSeen() || served.HungUp() || g_stopped.load() != 0; },
        options.timeLimitSeconds * 1000);
    chip.Stop();

    const char* end = "time limit reached";
    if (chip.ResetSeen()) {
        end = "reset frame received";
    } else if (chip.HungUp()) {
        end = "the tool closed the port";
    } else if (g_stopped.load() != 0) {
        end = "stopped";
    }
    bool ended = chip.ResetSeen() || chip.HungUp();
    std::printf("%s chip: %s\n", options.variant == Sim::Qx71Variant::Kp7715 ? "kp7715" : "qx71", end);
    bool good = ReportImages(chip, options.expectedPackage.empty() ? nullptr : &package);
    if (!options.flashMapPath.empty() && !WriteFlashMap(chip, options.flashMapPath)) {
        std::printf("cannot write the flash map to %s\n", options.flashMapPath.c_str());
        good = false;
    }
    bool complete = ended && good;
    std::printf("%s\n", complete ? "burn complete" : "burn NOT complete");
    return complete ? 0 : EXIT_INCOMPLETE;
}
