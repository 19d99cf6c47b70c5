// datinfo: prints the header and a summary of the phase data of measurement
// data files.
#include <cstdio>
#include <cstring>

#include "tools/datgen.h"

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) {
        std::fputs(
            "Usage: datinfo FILE...\n"
            "Prints each measurement data file's header fields, windows, byte counts,\n"
            "the number of valid phase points, their window and a CRC-32 of the phase data.\n",
            argc < 2 ? stderr : stdout);
        return argc < 2 ? 1 : 0;
    }
    int failures = 0;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) std::fputc('\n', stdout);
        failures += datinfo_report(argv[i], stdout, stderr) != 0;
    }
    return failures == 0 ? 0 : 2;
}
