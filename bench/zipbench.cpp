// Archives one file with our zip library and prints the seconds taken and the archive size.
//   zipbench <file> <archive> [level]   (level -1, the default, is the library's own choice)
#include "archive/K5Zipper.h"
#include "archive/Zipper.h"
#include "common/ScriptedInteraction.h"
#include "support/Env.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <file> <archive> [level]\n", argv[0]);
        return 2;
    }
    k5::ScriptedInteraction ui;
    k5::K5Zipper zipper(ui, k5::Env::Default());
    zipper.AddFileName(argv[1]);
    zipper.SetZipFileName(argv[2]);
    zipper.SetJunkDir(true);
    zipper.SetNoDirEntries(true);
    if (argc > 3) zipper.SetLevel(std::atoi(argv[3]));

    const auto start = std::chrono::steady_clock::now();
    const int32_t code = zipper.DoZipping();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (code != 0) {
        std::fprintf(stderr, "code %d: %s\n", code, k5::ZipErrorText(code).c_str());
        return 1;
    }
    std::printf("%.2f %llu %lld\n", seconds,
                static_cast<unsigned long long>(std::filesystem::file_size(argv[2])),
                static_cast<long long>(ui.progressCalls));
    return 0;
}
