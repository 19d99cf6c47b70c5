// Reading and checking a grid-sag surface file: a first line
// "nx ny delx dely unit [xdec ydec]", then nx * ny lines "z dz/dx dz/dy
// d2z/dxdy flag", row by row, flag 1 for a point without data.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/picture.h"

struct GridSagFile {
    int64_t nx = 0, ny = 0;
    double delx = 0, dely = 0;
    int unit = 0;  // 0 mm, 1 cm, 2 in, 3 m
    bool has_decentre = false;
    double xdec = 0, ydec = 0;
    // Per point, row by row.
    std::vector<double> z, dzdx, dzdy, d2zdxdy;
    std::vector<uint8_t> no_data;
};

// Reads a grid-sag file and checks its header and every line. On the first
// defect returns false with "PATH:LINE: what is wrong" in *error (lines
// counted from 1; an unreadable file gives "PATH: why").
bool grid_sag_read(const char* path, GridSagFile* grid, std::string* error);

// The sags in nanometres (by the file's unit), NaN for points without data.
HeightMap grid_sag_heights_nm(const GridSagFile& grid);

// The grdinfo program: grdinfo [--png IMAGE] FILE, or --version. Returns the
// exit status: 0, or 1 on a usage error or a file that fails its checks.
int grdinfo_main(int argc, const char* const* argv, FILE* out, FILE* err);
