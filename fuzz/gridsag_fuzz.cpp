// Fuzz target: the fast paths of the grid-sag export held against the plain
// reference. A small phase matrix and grid come from the input; the exported
// file must equal the reference text byte for byte, and every eight input
// bytes read as a double must format as printf's "%g" does. A difference aborts.
//
// Input layout: byte 0 the matrix width (3..34), byte 1 its height (3..34),
// byte 2 the columns (odd, 3..65), byte 3 the rows (odd, 3..65), byte 4 bits
// 0-1 the phase resolution kind, bit 2 two threads, bit 3 the portable row
// sampling instead of the widest the processor has; then the matrix as 32-bit
// little-endian phases, repeated from the start when the input runs short.
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "app/gformat.h"
#include "app/gridsag.h"
#include "app/gridsag_internal.h"
#include "app/gridsag_reference.h"
#include "datafile/datfile.h"
#include "datafile/surface.h"

namespace {

void check_format(double v) {
    if (!std::isfinite(v)) return;  // the export refuses these before formatting
    char expected[64];
    std::snprintf(expected, sizeof expected, "%g", v);
    char got[GFORMAT_MAX_CHARS + 1];
    *gformat(got, v) = '\0';
    if (std::strcmp(got, expected) != 0) {
        std::fprintf(stderr, "gformat(%a) = \"%s\", printf \"%s\"\n", v, got, expected);
        abort();
    }
}

std::string g_dir;

void remove_dir() {
    std::remove((g_dir + "/out.grd").c_str());
    rmdir(g_dir.c_str());
}

const std::string& out_path() {
    static const std::string path = [] {
        char pattern[] = "/tmp/gridsag_fuzz.XXXXXX";
        if (mkdtemp(pattern) == nullptr) abort();
        g_dir = pattern;
        std::atexit(remove_dir);
        return g_dir + "/out.grd";
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (size_t at = 0; at + 8 <= size; at += 8) {
        double v;
        std::memcpy(&v, data + at, sizeof v);
        check_format(v);
    }
    if (size < 9) return 0;
    const int w = 3 + data[0] % 32, h = 3 + data[1] % 32;
    const int columns = 3 + 2 * (data[2] % 32), rows = 3 + 2 * (data[3] % 32);
    const uint8_t* cells = data + 5;
    const size_t n_cells = size - 5;

    PhaseMatrix m{};
    m.clear();
    if (m.resize(Window{0, 0, static_cast<int16_t>(w), static_cast<int16_t>(h)}, false) != 0) {
        return 0;
    }
    for (int i = 0; i < w * h; ++i) {
        uint8_t b[4];
        for (int k = 0; k < 4; ++k) b[k] = cells[(static_cast<size_t>(i) * 4 + k) % n_cells];
        m.matrix[i] =
            static_cast<int32_t>(b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24);
    }
    HeaderRecord header{};
    header.set_f32(DAT_OFF_LATERAL_RES, 1e-5f);
    header.set_i16(DAT_OFF_PHASE_RES, static_cast<int16_t>(data[4] & 3));
    header.set_f32(DAT_OFF_HEIGHT_FACTOR_1, 6.328e-7f);
    header.set_f32(DAT_OFF_HEIGHT_FACTOR_2, 0.5f);
    header.set_f32(DAT_OFF_HEIGHT_FACTOR_3, 1.0f);

    GridSagReference ref;
    if (ref.start(header, m, rows, columns)) {
        GridSagOptions options{GRID_SAG_DERIV_SAMPLED, (data[4] & 4) ? 2 : 1};
        gridsag_set_kernel((data[4] & 8) ? GRIDSAG_KERNEL_PORTABLE : GRIDSAG_KERNEL_BEST);
        const std::string& path = out_path();
        const std::string marked = path + std::string(2, '\0');
        if (write_grid_sag_ex(marked.c_str(), &header, &m, rows, columns, &options) != 0) abort();
        std::ifstream in(path, std::ios::binary);
        const std::string got((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
        if (got != ref.text()) {
            std::fprintf(stderr, "export differs from the reference (%dx%d, grid %dx%d)\n", w, h,
                         columns, rows);
            abort();
        }
    }
    m.release();
    return 0;
}
