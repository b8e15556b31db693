// A virtual TypeSix chip on a pseudo-terminal, for a burn by hand or from a script: prints the port to
// burn through on its first line, serves one burn until the tool closes the port, reports what it
// booted and what landed in its flash, and exits 0 when the burn was complete.
//
//   typesixchip [--expect <package>] [--line-baud <rate>] [--time-limit <seconds>]
//               [--bad-check-byte] [--silent] [--refuse <command byte>]
//
// With --line-baud every byte takes its time on the line at that rate, and the report ends with the
// efficiency: the line time of all bytes both ways over the time from the first byte to the last reply.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "FwpkgBuilder.h"
#include "PtyBench.h"
#include "TypeSixChip.h"

namespace {

constexpr int EXIT_INCOMPLETE = 1;
constexpr int EXIT_USAGE = 2;

std::atomic<int> g_stopped{0};

void OnStopSignal(int)
{
    g_stopped.store(1);
}

struct Options {
    std::string expectedPackage;
    unsigned lineBaudRate = 0;
    int timeLimitSeconds = 120;
    Sim::TypeSixFaults faults;
};

bool ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        bool hasValue = i + 1 < argc;
        if (option == "--expect" && hasValue) {
            options.expectedPackage = argv[++i];
        } else if (option == "--line-baud" && hasValue) {
            options.lineBaudRate = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 0));
        } else if (option == "--time-limit" && hasValue) {
            options.timeLimitSeconds = std::atoi(argv[++i]);
        } else if (option == "--bad-check-byte") {
            options.faults.badCheckByte = true;
        } else if (option == "--silent") {
            options.faults.silent = true;
        } else if (option == "--refuse" && hasValue) {
            options.faults.refusedCommand = static_cast<uint8_t>(std::strtoul(argv[++i], nullptr, 0));
        } else {
            return false;
        }
    }
    return options.timeLimitSeconds > 0;
}

// The package image holding exactly these bytes; null when none does.
const Sim::PackageImage* Source(const std::vector<Sim::PackageImage>& package, const Sim::Bytes& data)
{
    for (const Sim::PackageImage& image : package) {
        if (image.data == data) {
            return &image;
        }
    }
    return nullptr;
}

bool Report(const Sim::TypeSixChip& chip, const std::vector<Sim::PackageImage>* package)
{
    bool good = !chip.Boots().empty();
    for (const Sim::TypeSixBoot& boot : chip.Boots()) {
        bool whole = boot.pagesGood && boot.started;
        const Sim::PackageImage* source = package == nullptr ? nullptr : Source(*package, boot.image);
        std::printf("  SSB %-20s %8zu bytes  %s\n", source != nullptr ? source->name.c_str() : "",
                    boot.image.size(), whole ? "booted" : "INCOMPLETE");
        good = good && whole && (package == nullptr || source != nullptr);
    }
    for (const Sim::TypeSixFlashImage& image : chip.Images()) {
        const Sim::PackageImage* source = package == nullptr ? nullptr : Source(*package, image.data);
        char place[48] = {0};
        if (image.appRoad) {
            std::snprintf(place, sizeof(place), "at 0x%08x (head %u)", image.address, image.binHeadType);
        } else {
            std::snprintf(place, sizeof(place), "partition kind %u", image.kind);
        }
        std::string verdict = !image.complete ? "INCOMPLETE" : package == nullptr ? "complete"
                                                         : source != nullptr        ? "matches " + source->name
                                                                                    : "DIFFERS from the package";
        std::printf("  flash %-28s %8zu bytes  %s\n", place, image.data.size(), verdict.c_str());
        good = good && image.complete && (package == nullptr || source != nullptr);
    }
    std::printf("  resets: %zu, erase alls: %zu\n", chip.Resets(), chip.EraseAlls());
    return good;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: typesixchip [--expect <package>] [--line-baud <rate>] [--time-limit <seconds>]\n"
                             "                   [--bad-check-byte] [--silent] [--refuse <command byte>]\n");
        return EXIT_USAGE;
    }
    std::vector<Sim::PackageImage> package;
    if (!options.expectedPackage.empty() && !Sim::ReadFwpkg(Sim::ReadBinaryFile(options.expectedPackage), package)) {
        std::fprintf(stderr, "typesixchip: %s is no firmware package\n", options.expectedPackage.c_str());
        return EXIT_USAGE;
    }
    Sim::PtyBench bench;
    if (!bench.IsOpen()) {
        std::fprintf(stderr, "typesixchip: no pseudo-terminal\n");
        return EXIT_USAGE;
    }
    // Without a descriptor of its own on the port, the chip sees the tool close it.
    bench.ReleaseSlave();
    Sim::TypeSixPtyChip chip(bench, options.faults, options.lineBaudRate);
    chip.Start();
    std::printf("%s\n", bench.PortPath().c_str());
    std::fflush(stdout);

    std::signal(SIGTERM, OnStopSignal);
    std::signal(SIGINT, OnStopSignal);
    long long deadline = Sim::NowMs() + options.timeLimitSeconds * 1000LL;
    while (!chip.HungUp() && g_stopped.load() == 0 && Sim::NowMs() < deadline) {
        chip.WaitUntil([](const Sim::TypeSixChip&) { return false; }, 50);
    }
    chip.Stop();

    const char* end = chip.HungUp() ? "the tool closed the port" : g_stopped.load() != 0 ? "stopped" : "time limit reached";
    std::printf("typesix chip: %s\n", end);
    bool good = false;
    chip.Inspect([&](const Sim::TypeSixChip& served) {
        good = Report(served, options.expectedPackage.empty() ? nullptr : &package);
    });
    if (options.lineBaudRate != 0 && chip.BusyMs() > 0) {
        std::printf("line %u baud: wire time %.0f ms, busy %.0f ms, efficiency %.1f%%\n", options.lineBaudRate,
                    chip.WireMs(), chip.BusyMs(), 100.0 * chip.WireMs() / chip.BusyMs());
    }
    bool complete = chip.HungUp() && good;
    std::printf("%s\n", complete ? "burn complete" : "burn NOT complete");
    return complete ? 0 : EXIT_INCOMPLETE;
}
