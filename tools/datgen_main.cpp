// datgen: writes a synthetic measurement data file (see --help).
#include <cstdio>
#include <string>

#include "tools/datgen.h"

int main(int argc, char** argv) {
    DatGenOptions options;
    std::string output, error;
    int parsed = datgen_parse_args(argc - 1, argv + 1, &options, &output, &error);
    if (parsed == 2) {
        std::fputs(error.c_str(), stdout);
        return 0;
    }
    if (parsed != 0) {
        std::fputs(error.c_str(), stderr);
        return 1;
    }
    DatImage image;
    if (!datgen_synthesize(options, &image, &error)) {
        std::fprintf(stderr, "datgen: %s\n", error.c_str());
        return 1;
    }
    if (!dat_image_write(output.c_str(), image)) {
        std::fprintf(stderr, "datgen: cannot write %s\n", output.c_str());
        return 2;
    }
    return 0;
}
