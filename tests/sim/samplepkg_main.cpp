// Writes a small firmware package for a first burn: a loader and two images.
//
//   samplepkg <output path>
#include <cstdio>
#include <string>
#include <vector>

#include "FwpkgBuilder.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: samplepkg <output path>\n");
        return 2;
    }
    const std::vector<Sim::PackageImage> images = {
        {"loader.bin", Sim::PatternBytes(12 * 1024, 1), 0x00000000, 0x4000, 0},
        {"app.bin", Sim::PatternBytes(96 * 1024, 2), 0x00020000, 0x20000, 1},
        {"nv.bin", Sim::PatternBytes(4 * 1024, 3), 0x003F0000, 0x1000, 2},
    };
    Sim::FwpkgOptions options;
    options.layout = Sim::FwpkgLayout::Extended;
    options.version = "sample 1.0";
    if (!Sim::WriteBinaryFile(argv[1], Sim::BuildFwpkg(images, options))) {
        std::fprintf(stderr, "samplepkg: cannot write %s\n", argv[1]);
        return 1;
    }
    std::printf("%s: loader.bin, app.bin at 0x00020000, nv.bin at 0x003f0000\n", argv[1]);
    return 0;
}
