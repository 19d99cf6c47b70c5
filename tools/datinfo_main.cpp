// datinfo: prints the header and a summary of the phase data of measurement
// data files, or draws one file's phase data into a PNG.
#include <cstdio>
#include <cstring>

#include "tools/datgen.h"

int main(int argc, char** argv) {
    const bool help =
        argc >= 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0);
    const bool png = argc >= 2 && std::strcmp(argv[1], "--png") == 0;
    if (argc < 2 || help || (png && argc != 4)) {
        std::fputs(
            "Usage: datinfo FILE...\n"
            "       datinfo --png IMAGE FILE\n"
            "       datinfo --version\n"
            "Prints each measurement data file's header fields, windows, byte counts,\n"
            "the number of valid phase points, their window and a CRC-32 of the phase data.\n"
            "With --png, draws the file's phase data as heights in nanometres into IMAGE.\n",
            help ? stdout : stderr);
        return help ? 0 : 1;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::fputs(tools_version_line("datinfo").c_str(), stdout);
        return 0;
    }
    if (png) return datinfo_png(argv[3], argv[2], stderr);
    int failures = 0;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) std::fputc('\n', stdout);
        failures += datinfo_report(argv[i], stdout, stderr) != 0;
    }
    return failures == 0 ? 0 : 2;
}
