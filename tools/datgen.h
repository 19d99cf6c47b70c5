// Measurement data files made to order: a low-level image writer that lays out
// exactly the header and blocks it is given (hostile files included), and a
// synthetic-surface layer on top of it for tests, benchmarks and samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "datafile/datfile.h"
#include "datafile/surface.h"
#include "tools/picture.h"

struct DatImage {
    uint32_t magic = DAT_MAGIC_4096;  // selects the header size (834 or 4096)
    Window phase_window{};            // x, y, width, height of the phase block
    std::vector<int32_t> phase;       // width*height values row by row (empty: no block)
    Window intensity_window{};
    int16_t n_buckets = 0, intens_param = 0;
    std::vector<int16_t> intensity;  // n_buckets*width*height values (empty: no block)
    float height_factor_1 = 6.328e-7f, height_factor_2 = 0.5f, height_factor_3 = 1.0f;
    float lateral_res = 1e-5f;  // metres per pixel
    int16_t phase_res = 1;
    // >= 0: written as the header's byte count instead of the real one (hostile files)
    int64_t intensity_bytes = -1, phase_bytes = -1;
    // bytes written over the file image at file offsets, last
    std::vector<std::pair<int, std::vector<unsigned char>>> raw_patches;
};

// The file's bytes: header (834 or 4096 bytes by the magic; an unknown magic
// gets a 4096-byte header), intensity block, phase block, all big-endian.
std::vector<unsigned char> dat_image_bytes(const DatImage& image);

// Writes dat_image_bytes(image) to a path (byte-order-mark convention). Every
// write is checked; false on failure.
bool dat_image_write(const char* path, const DatImage& image);

// ---- Synthetic surfaces ----

enum DatGenShape { DATGEN_SPHERE, DATGEN_TILT, DATGEN_SADDLE, DATGEN_RANDOM, DATGEN_FLAT };

struct DatGenOptions {
    uint32_t magic = DAT_MAGIC_4096;
    Window window{0, 0, 64, 48};
    int n_buckets = 0;  // intensity planes over the phase window; 0: no intensity block
    int16_t intens_param = 0;
    float lateral_res = 1e-5f;  // metres per pixel
    int16_t phase_res = 1;
    float height_factor_1 = 6.328e-7f, height_factor_2 = 0.5f, height_factor_3 = 1.0f;

    DatGenShape shape = DATGEN_SPHERE;
    double radius_mm = 50.0;  // sphere radius of curvature; negative: convex
    double tilt_x = 1e-3;     // plane slopes (height per length)
    double tilt_y = 0.0;
    double amplitude_um = 1.0;  // peak height of the saddle and the random surface
    uint32_t seed = 1;          // random surface and holes

    // Regions without data.
    bool aperture = false;         // circular aperture on the window's centre
    double aperture_radius = 0.0;  // pixels; 0: the inscribed circle
    int border = 0;                // invalid border, pixels
    int holes = 0;                 // random circular holes
    bool no_valid = false;         // every point without data
    int32_t invalid_value = INVALID_PHASE;

    int64_t intensity_bytes = -1, phase_bytes = -1;  // header byte-count overrides
};

// The phase count of a height in metres: round(height * R / (hf1*hf3*hf2)) with
// R the counts per cycle of the options' phase_res (4096, 32768, 131072),
// clamped to [INT32_MIN, INVALID_PHASE - 1]; not a number gives INVALID_PHASE.
int32_t datgen_height_to_count(double height_m, const DatGenOptions& options);

// Fills an image from the options. False (with a message in *error) when the
// options are out of range.
bool datgen_synthesize(const DatGenOptions& options, DatImage* image, std::string* error = nullptr);

// Command line of the datgen program, without the program name. Returns 0 and
// fills *options and *output; 1 with a message in *error on a usage error;
// 2 when help or the version was asked for (*error then holds the text).
int datgen_parse_args(int argc, const char* const* argv, DatGenOptions* options,
                      std::string* output, std::string* error);
const char* datgen_help_text();

// The datinfo report of one file to `out`. Returns 0 or the reader's status
// code, whose name then goes to `err`.
int datinfo_report(const char* path, FILE* out, FILE* err);

// The phase data as heights in nanometres on the converter's scale (counts
// times height factors 1, 3 and 2 over the counts per cycle), NaN without data.
HeightMap dat_heights_nm(const HeaderRecord& record, const PhaseMatrix& phase);

// datinfo --png: draws a file's phase data as heights into a PNG. Returns 0,
// or 2 with a message to `err`.
int datinfo_png(const char* path, const char* png_path, FILE* err);

// The version line of the tools ("datinfo 1.2.3\n").
std::string tools_version_line(const char* program);

// CRC-32 (IEEE 802.3, reflected, as zlib computes it).
uint32_t datgen_crc32(const void* data, std::size_t bytes, uint32_t crc = 0);
