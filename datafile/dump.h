// Diagnostic dumps: one data structure printed as labelled lines on a stream,
// for tracing and for comparing runs. Storage-carrying objects print a
// checksum of their elements instead of the elements. Every line is written
// with u_msg_to_file (format, then flush); an absent object prints "NULL\n".
//
// The records of the measurement modules whose dumps live here are defined
// below with the field types their dumps print.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "datafile/surface.h"

// ---------------------------------------------------------------------------
// Checksum and hexadecimal texts

// CRC-32 with the reflected polynomial 0xEDB88320, initial value 0 and no
// final inversion ("abc" gives 0xCA6598D0, no bytes 0). `crc` continues an
// earlier checksum: pass 0 to start.
uint32_t dump_crc(const void* data, std::size_t count, uint32_t crc = 0);

// "0x" and `size` bytes of a value, each "%2.2X", from byte `start` stepping
// by `step` (-1 walks a little-endian value from its highest-order byte); a
// value of more than 48 bytes gives "0x*". The text lives in a buffer of the
// calling thread, overwritten by its next call.
const char* dump_hex_text(const void* value, int size, int start, int step);
const char* dump_hex_float(float value);    // 1.0f gives "0x3F800000"
const char* dump_hex_double(double value);  // 8 bytes, highest-order first

// ---------------------------------------------------------------------------
// Records of the measurement modules

// A mask: bytes over a window, and the bit value that marks a masked point.
struct MaskMatrix {
    uint32_t size;
    Window window;
    int32_t bits;
    uint8_t* matrix;
};

struct AcqSettings {
    int32_t mask;
    int32_t n_buckets;
    int32_t ramp_mux;
    int32_t ramp_cal;
    int32_t ramp_gain;
    int32_t ramp_gain_dflt;
    int32_t sfac_limit;
    float target_intens;
    float target_range;
    int32_t sw_llc;
    int32_t light_level;
    int32_t min_mod;
    int32_t min_mod_count;
    int32_t n_sat_skip;
    int32_t n_bright_skip;
    int32_t do_avg;
    int32_t avg_count;
    int32_t avg_keep_sat;
    int32_t awm_enable;
};

struct ProcParams {
    int32_t algorithm;
    int32_t type;
    int32_t phase_res;  // a phase-resolution kind (u_phase_res_name)
    int32_t min_area_pixels;
    int32_t max_area_pixels;
    float pre_filter;
    int32_t discon_action;
    float discon_filter;
    float noise_thresh;
    int32_t order_by_size;
    MaskMatrix ref_mask;
};

// Surface fit types.
enum SurfaceFitType : int32_t { FIT_PISTON = 0, FIT_PLANE = 1, FIT_SPHERE = 2, FIT_CYLINDER = 3 };

struct SurfaceFit {
    int32_t type;
    double offset;
    double x_coef;
    double y_coef;
    double x2y2_coef;
    double xy_coef;
    double x2_coef;
    double y2_coef;
    int16_t center_x;
    int16_t center_y;
};

// The four surface fits of one data set.
struct SurfaceFitSet {
    double pst_offset;
    double pln_offset;
    double pln_x_coef;
    double pln_y_coef;
    double sph_offset;
    double sph_x_coef;
    double sph_y_coef;
    double sph_x2y2_coef;
    double cyl_offset;
    double cyl_x_coef;
    double cyl_y_coef;
    double cyl_xy_coef;
    double cyl_x2_coef;
    double cyl_y2_coef;
};

// Profile fit types.
enum LineFitType : int32_t { LINE_FIT_PISTON = 0, LINE_FIT_LINE = 1, LINE_FIT_PARABOLA = 2 };

struct LineFit {
    int32_t type;
    double offset;
    double x_coef;
    double x2_coef;
    double x3_coef;
    double x4_coef;
    int32_t x0;
    int32_t y0;
    int32_t x1;
    int32_t y1;
    int32_t x2;
    int32_t y2;
    int32_t xn;
    int32_t yn;
    int32_t length;
    int32_t npoints;
};

struct SurfaceStats {
    int32_t pv;
    int32_t peak;
    int32_t valley;
    double mean;
    int16_t peak_x;
    int16_t peak_y;
    int16_t valley_x;
    int16_t valley_y;
    int32_t npoints;
};

constexpr int POLY_MAX_COEFS = 37;

struct PolyFit {
    int32_t n_coefs;  // coefficients in use, at most POLY_MAX_COEFS
    double coef[POLY_MAX_COEFS];
    int16_t center_x;
    int16_t center_y;
    int32_t radius2;
};

struct Region {
    int32_t region;
    int32_t npoints;
    int32_t xmin;
    int32_t ymin;
    int32_t xmax;
    int32_t ymax;
    int32_t dist;
};

constexpr int COEF_TABLE_ROWS = 30;

struct CoefTable {
    double unity;
    double coef[4][COEF_TABLE_ROWS];  // four columns
};

struct FiducialFit {
    double Asin;
    double Acos;
    double r1;
    double r2;
    double r3;
    double r4;
    double xoff;
    double yoff;
    double pverr;
    double rmserr;
    int32_t nfids;
};

// ---------------------------------------------------------------------------
// Dumps

void dump_window(FILE* stream, const Window* window);
void dump_matrix16(FILE* stream, const ShortMatrix* matrix);
void dump_matrix32(FILE* stream, const PhaseMatrix* matrix);
// The intensity matrix's first plane (width x height elements).
void dump_matrix16b(FILE* stream, const IntensityMatrix* matrix);
void dump_mask(FILE* stream, const MaskMatrix* mask);
void dump_frame_store(FILE* stream, const FrameStore* store);
void dump_acq_settings(FILE* stream, const AcqSettings* settings);
void dump_proc_params(FILE* stream, const ProcParams* params);
void dump_fit(FILE* stream, const SurfaceFit* fit);
void dump_fit_set(FILE* stream, const SurfaceFitSet* fits);
void dump_line_fit(FILE* stream, const LineFit* fit);
void dump_stats(FILE* stream, const SurfaceStats* stats);
void dump_poly(FILE* stream, const PolyFit* poly);
// The `count` pairs of a vector of float pairs.
void dump_pairs(FILE* stream, const Vector8* pairs);
void dump_regions(FILE* stream, const Region* regions, int count);
void dump_coef_table(FILE* stream, const CoefTable* table);
void dump_fiducial_fit(FILE* stream, const FiducialFit* fit);

// Byte dump modes.
enum DumpBytesMode : int { DUMP_DECIMAL = 0, DUMP_HEX = 1, DUMP_OCTAL = 2, DUMP_BINARY = 3 };

// Ten bytes per line, each line led by the index of its first byte ("%5d").
void dump_bytes(FILE* stream, const uint8_t* bytes, int count, int mode);
