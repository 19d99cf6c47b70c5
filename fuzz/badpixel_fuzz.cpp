// Fuzz target: the camera bad-pixel file reader on one input taken as a whole
// file, then the sort of every block. Every point read must lie in its frame,
// and a sorted list must be strictly ascending.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "config/badpixel.h"

namespace {
CbCamera g_cameras[CB_MAX_CAMERAS];
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* file = std::tmpfile();
    if (!file) return 0;
    if (size > 0 && std::fwrite(data, 1, size, file) != size) {
        std::fclose(file);
        return 0;
    }
    std::rewind(file);

    char text[4096];
    UTextBuffer message{text, sizeof text};
    u_text_clear(&message);
    int count = -1;
    int status = cb_read_stream(file, "fuzz", g_cameras, &count, &message);
    if (count < 0 || count > CB_MAX_CAMERAS || (status != 0 && count != 0)) std::abort();
    for (int b = 0; b < count; ++b) {
        CbCamera& c = g_cameras[b];
        if (c.count < 0 || c.count > CB_MAX_POINTS || c.count > c.capacity) std::abort();
        for (int i = 0; i < c.count; ++i) {
            const CbPoint& p = c.points[i];
            if (p.x < 0 || p.x >= c.sizeX || p.y < 0 || p.y >= c.sizeY) std::abort();
        }
        cb_sort_points(&c);
        for (int i = 1; i < c.count; ++i) {
            const CbPoint& a = c.points[i - 1];
            const CbPoint& p = c.points[i];
            if (a.x > p.x || (a.x == p.x && a.y >= p.y)) std::abort();
        }
    }
    for (CbCamera& c : g_cameras) cb_release(&c);
    std::fclose(file);
    return 0;
}
