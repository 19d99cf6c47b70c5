// The picture of a measurement data file's phase data, and the tools' version.
#include <cmath>
#include <limits>

#include "common/status.h"
#include "surfconv_version.h"
#include "tools/datgen.h"

HeightMap dat_heights_nm(const HeaderRecord& record, const PhaseMatrix& phase) {
    HeightMap map;
    if (phase.matrix == nullptr) return map;
    map.width = phase.window.width;
    map.height = phase.window.height;
    // The same float product as the converter's, then metres to nanometres.
    const float counts_scale =
        record.height_factor_1() * record.height_factor_3() * record.height_factor_2();
    const double k =
        static_cast<double>(counts_scale) / dat_phase_counts_per_cycle(record.phase_res()) * 1e9;
    const size_t n = static_cast<size_t>(map.width) * map.height;
    map.z.resize(n);
    for (size_t i = 0; i < n; ++i) {
        const int32_t v = phase.matrix[i];
        map.z[i] = phase_is_valid(v) ? v * k : std::numeric_limits<double>::quiet_NaN();
    }
    return map;
}

int datinfo_png(const char* path, const char* png_path, FILE* err) {
    HeaderRecord record{};
    PhaseMatrix phase{};
    const int status = dat_read_file(path, nullptr, &record, nullptr, &phase);
    if (status != NO_ERROR) {
        std::fprintf(err, "datinfo: %s: %s\n", path, u_error_name(status));
        return 2;
    }
    if (phase.matrix == nullptr || phase.window.width < 1 || phase.window.height < 1) {
        std::fprintf(err, "datinfo: %s: no phase data to draw\n", path);
        phase.release();
        return 2;
    }
    const HeightMap map = dat_heights_nm(record, phase);
    phase.release();
    std::string error;
    if (!picture_write_png(png_path, picture_draw(map, "nm"), &error)) {
        std::fprintf(err, "datinfo: %s\n", error.c_str());
        return 2;
    }
    return 0;
}

std::string tools_version_line(const char* program) {
    return std::string(program) + " " SURFCONV_VERSION "\n";
}
