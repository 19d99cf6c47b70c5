// grdinfo: checks a grid-sag file and prints its summary (see --help).
#include <cstdio>

#include "tools/gridsag_read.h"

int main(int argc, char** argv) {
    return grdinfo_main(argc, argv, stdout, stderr);
}
