// zelmora-fuzz-seeds HARNESS FOLDER [TESTDATA]: writes the harness's seed
// inputs into FOLDER (seed-000, seed-001, ...), the shared real-world
// captures in TESTDATA included when that folder is there, and prints the
// longest input libFuzzer should try for it.
#include <cstdio>
#include <fstream>
#include <string>
#include <sys/stat.h>

#include "fuzz.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: zelmora-fuzz-seeds HARNESS FOLDER [TESTDATA]\n");
        return 2;
    }
    const zfuzz::Harness* h = zfuzz::find(argv[1]);
    if (h == nullptr) {
        std::fprintf(stderr, "zelmora-fuzz-seeds: no harness '%s'\n", argv[1]);
        return 2;
    }
    const std::string folder = argv[2];
    ::mkdir(folder.c_str(), 0777);
    const std::vector<zfuzz::Bytes> seeds = h->seeds(argc > 3 ? argv[3] : "");
    for (size_t i = 0; i < seeds.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/seed-%03zu", i);
        std::ofstream out(folder + name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(seeds[i].data()), static_cast<std::streamsize>(seeds[i].size()));
        if (!out) {
            std::fprintf(stderr, "zelmora-fuzz-seeds: cannot write %s%s\n", folder.c_str(), name);
            return 1;
        }
    }
    std::printf("%zu\n", h->max_len);
    return 0;
}
