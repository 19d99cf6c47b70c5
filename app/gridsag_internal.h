// The grid-sag export's sampling of a row of grid points, shared by the
// export and its tests: a portable routine and, where the processor has it, a
// four-lane one. Both give the plain path's values bit for bit.
#pragma once

#include <cstdint>

#include "datafile/surface.h"

// A point whose nine samples share one cell between four elements p (lo, lo),
// q (hi, lo), r (lo, hi) and s (hi, hi), as the difference sampling needs it.
struct GridSagCellMath {
    double vc;  // the centre's phase
    double k;   // height per count
    double dx;  // 2 s cx: the step across, in grid terms
    double dy;  // 2 s cy
};

// Sag and sampled derivatives of a point whose samples all lie in the cell of
// p, q, r, s at the offsets xo and yo (lane order: x_lanes and y_lanes of the
// export). False without data.
bool gridsag_in_cell(int64_t p, int64_t q, int64_t r, int64_t s, const double xo[10],
                     const double yo[10], const GridSagCellMath& m, double out[4]);

// One grid row whose three sampling positions down share a cell (the rows lo
// and hi), with the columns' cells and offsets tabled.
struct GridSagRow {
    const int32_t* lo_row;
    const int32_t* hi_row;
    const int32_t* col_lo;  // per column: cell's first element across
    const int32_t* col_hi;  // and its second
    const double* col_xm;   // per column: offsets at x - s, x and x + s
    const double* col_xc;
    const double* col_xp;
    const unsigned char* in_cell;  // per column: 1 where the three positions across share a cell
    double ym, yc, yp;             // offsets at y - s, y, y + s
    GridSagCellMath math;
};

// What gridsag_sample_row leaves for each point.
enum GridSagPointState : unsigned char {
    GRIDSAG_NO_DATA = 0,
    GRIDSAG_DATA = 1,
    GRIDSAG_NOT_IN_CELL = 2,  // the caller samples the point the general way
    GRIDSAG_NOT_FINITE = 3,   // a value came out inf or nan
};

// Samples columns [j0, j1) of the row: state[j - j0], and for GRIDSAG_DATA the
// sag and three derivatives in v[4 * (j - j0)] onwards. Where the routine
// works out the sag's six significant digits and decimal exponent on the way
// (gformat_digits' d6 and x), they are in d6[j - j0] and x10[j - j0];
// elsewhere d6 is 0 and the sag is formatted the usual way.
void gridsag_sample_row(const GridSagRow& row, int j0, int j1, unsigned char* state, double* v,
                        uint32_t* d6, int32_t* x10);

// Sag and sampled derivatives of a point of the row (not on the grid's
// border) whose positions across, x - s, x and x + s, do not share a cell;
// false without data. Each of those positions has its own cell, whose plane
// the three samples at it share.
bool gridsag_across_cells(const GridSagRow& row, const PhaseAxis& xm, const PhaseAxis& xc,
                          const PhaseAxis& xp, double out[4]);

// Which routine gridsag_sample_row runs; tests switch between them.
enum GridSagKernel : int {
    GRIDSAG_KERNEL_BEST = 0,      // the widest the processor has (the default)
    GRIDSAG_KERNEL_PORTABLE = 1,  // the portable one
};
void gridsag_set_kernel(int kernel);
// True when the four-lane routine is compiled in and the processor runs it.
bool gridsag_wide_kernel_available();
