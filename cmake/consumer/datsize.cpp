// Reads a measurement data file with the installed library and prints the
// size of its phase data.
#include <cstdio>

#include "common/status.h"
#include "datafile/datfile.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: datsize FILE\n", stderr);
        return 1;
    }
    PhaseMatrix phase{};
    int status = dat_read_file(argv[1], nullptr, nullptr, nullptr, &phase);
    if (status != NO_ERROR) {
        std::fprintf(stderr, "datsize: %s: status %d\n", argv[1], status);
        return 2;
    }
    std::printf("%d x %d\n", phase.window.width, phase.window.height);
    phase.release();
    return 0;
}
