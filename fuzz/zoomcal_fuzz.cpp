// Fuzz target: the zoom magnification calibration reader on in-memory text.
// A table that reads must hold 2 to 100 points, both columns strictly
// increasing and within their limits.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/zoomcal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ZoomCalTable table{};
    char message[ZOOM_CAL_MSG_SIZE];
    int status =
        zoom_cal_read_text(reinterpret_cast<const char*>(data), size, "fuzz", &table, message);
    if (std::memchr(message, '\0', sizeof message) == nullptr) std::abort();
    if (status == 0) {
        bool ok = table.count >= ZOOM_CAL_MIN_POINTS && table.count <= ZOOM_CAL_MAX_POINTS &&
                  message[0] == '\0';
        for (int k = 0; ok && k < table.count; ++k) {
            const ZoomCalPoint& p = table.points[k];
            ok = p.position >= 0 && p.position <= ZOOM_CAL_MAX_VALUE &&
                 p.magnification >= ZOOM_CAL_MIN_MAG && p.magnification <= ZOOM_CAL_MAX_MAG &&
                 (k == 0 || (p.position > table.points[k - 1].position &&
                             p.magnification > table.points[k - 1].magnification));
        }
        if (!ok) {
            std::fprintf(stderr, "zoomcal_fuzz: table breaks its invariants\n");
            std::abort();
        }
    } else if (table.points != nullptr || message[0] == '\0') {
        std::abort();
    }
    zoom_cal_free(&table);
    return 0;
}
