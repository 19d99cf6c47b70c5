// Fuzz target: the converter's road on one in-memory input — read the data
// file, trim the phase matrix to its valid data, export the grid-sag file.
//
// Input layout: byte 0 chooses the run (bit 0: read the intensity block too;
// bit 1: derivatives from the grid, as -d; bit 2: two formatting threads
// instead of one; the byte with bit 0 set: the output grid width, odd,
// 1..255); the data file follows from byte 1.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "app/gridsag.h"
#include "datafile/datfile.h"
#include "datafile/surface.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const int width = data[0] | 1;
    const bool want_intensity = (data[0] & 1) != 0;
    // fmemopen does not write to a buffer opened for reading.
    FILE* stream = fmemopen(const_cast<uint8_t*>(data + 1), size - 1, "rb");
    if (stream == nullptr) return 0;

    HeaderPreamble preamble{};
    HeaderRecord header{};
    IntensityMatrix intensity{};
    PhaseMatrix phase{};
    int status =
        dat_read_stream(stream, &preamble, &header, want_intensity ? &intensity : nullptr, &phase);
    std::fclose(stream);
    if (status == 0) status = phase.trim_to_valid();
    if (status == 0) {
        // Grid size as the converter's driver derives it.
        const int64_t w = phase.window.width, h = phase.window.height;
        int64_t rows = w > 0 ? h * width / w : 0;
        if (rows % 2 == 0) rows += 1;
        rows += 2;
        const int64_t columns = int64_t{width} + 2;
        if (columns <= w) {
            GridSagOptions options{};
            options.derivatives = (data[0] & 2) ? GRID_SAG_DERIV_GRID : GRID_SAG_DERIV_SAMPLED;
            options.threads = (data[0] & 4) ? 2 : 1;
            write_grid_sag_ex("/dev/null", &header, &phase, static_cast<int>(rows),
                              static_cast<int>(columns), &options);
        }
    }
    intensity.release();
    phase.release();
    return 0;
}
