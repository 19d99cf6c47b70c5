// Zemax grid-sag surface export: a rectangular grid laid evenly over a trimmed
// phase matrix, each point written with its sag, derivatives and no-data flag.
#pragma once

#include "datafile/datfile.h"
#include "datafile/surface.h"

// How the derivatives of a point with data are obtained.
enum GridSagDerivatives : int {
    // Central differences on the sampled surface, steps in pixels (the default).
    GRID_SAG_DERIV_SAMPLED = 0,
    // Differences of the grid's own sags over the grid spacings delx and dely.
    GRID_SAG_DERIV_GRID = 1,
};

// Options of write_grid_sag_ex; a zeroed struct gives the default output.
struct GridSagOptions {
    int derivatives;  // GridSagDerivatives
    int threads;      // formatting threads; 0 = as many as the machine has (bounded)
};

// Writes the grid-sag file `path` (byte-order-mark path convention,
// platform/path.h) with `rows` x `columns` points, margins included (odd
// counts of at least 3). Every check comes before the output is opened, and
// the output replaces an existing file only once it is completely written.
// Returns 0, ERR_INVALID_PARAM (no matrix or counts below 3),
// ERR_CORRUPT_DATA_FILE (no data at the centre), ERR_LATERAL_RES_UNKNOWN (0 or
// not finite), ERR_FP_OVERFLOW (heights, spacings or derivatives not finite)
// or ERR_CANT_CREATE_FILE (the output could not be written).
int write_grid_sag(const char* path, const HeaderRecord* header, const PhaseMatrix* matrix,
                   int rows, int columns);

// The same with options; null options are the default.
int write_grid_sag_ex(const char* path, const HeaderRecord* header, const PhaseMatrix* matrix,
                      int rows, int columns, const GridSagOptions* options);
