// Writes a small firmware package for a first burn: a loader and two images. With --typesix, a
// package of the TypeSix family's image types instead: a loader, an NV partition and an application
// image of the given size.
//
//   samplepkg <output path> [--typesix <application bytes>]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "FwpkgBuilder.h"

int main(int argc, char** argv)
{
    bool typeSix = argc == 4 && std::string(argv[2]) == "--typesix";
    if (argc != 2 && !typeSix) {
        std::fprintf(stderr, "usage: samplepkg <output path> [--typesix <application bytes>]\n");
        return 2;
    }
    std::vector<Sim::PackageImage> images = {
        {"loader.bin", Sim::PatternBytes(12 * 1024, 1), 0x00000000, 0x4000, 0},
        {"app.bin", Sim::PatternBytes(96 * 1024, 2), 0x00020000, 0x20000, 1},
        {"nv.bin", Sim::PatternBytes(4 * 1024, 3), 0x003F0000, 0x1000, 2},
    };
    if (typeSix) {
        size_t appBytes = static_cast<size_t>(std::strtoul(argv[3], nullptr, 0));
        images = {
            {"loader.bin", Sim::PatternBytes(12 * 1024, 1), 0x00000000, 0x4000, 0},
            {"nv.bin", Sim::PatternBytes(4 * 1024, 3), 0x003F0000, 0x1000, 20},
            {"app.bin", Sim::PatternBytes(appBytes, 2), 0x00100000, 0x400000, 100},
        };
    }
    Sim::FwpkgOptions options;
    options.layout = Sim::FwpkgLayout::Extended;
    options.version = "sample 1.0";
    if (!Sim::WriteBinaryFile(argv[1], Sim::BuildFwpkg(images, options))) {
        std::fprintf(stderr, "samplepkg: cannot write %s\n", argv[1]);
        return 1;
    }
    if (typeSix) {
        std::printf("%s: loader.bin, nv.bin (kind 0), app.bin at 0x00100000\n", argv[1]);
    } else {
        std::printf("%s: loader.bin, app.bin at 0x00020000, nv.bin at 0x003f0000\n", argv[1]);
    }
    return 0;
}
