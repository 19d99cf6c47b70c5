// Window geometry: relations, intersection, 4-alignment, mapping between
// camera frames of different binning, and the split of a frame in two halves.
#include <algorithm>

#include "common/msg.h"
#include "common/status.h"
#include "datafile/surface.h"

namespace {

int right_of(const Window& w) {
    return w.x + w.width - 1;
}
int bottom_of(const Window& w) {
    return w.y + w.height - 1;
}

bool disjoint(const Window& a, const Window& b) {
    return right_of(a) < b.x || a.x > right_of(b) || bottom_of(a) < b.y || a.y > bottom_of(b);
}

int16_t s16(int v) {
    return static_cast<int16_t>(v);
}

}  // namespace

int wn_compare(const Window& a, const Window& b) {
    const int ar = right_of(a), ab = bottom_of(a), br = right_of(b), bb = bottom_of(b);
    if (disjoint(a, b)) return WN_DISJOINT;
    if (a.x == b.x && ar == br && a.y == b.y && ab == bb) return WN_EQUAL;
    if (a.x >= b.x && ar <= br && a.y >= b.y && ab <= bb) return WN_INSIDE;
    if (a.x <= b.x && ar >= br && a.y <= b.y && ab >= bb) return WN_CONTAINS;
    return WN_OVERLAP;
}

int wn_intersect(const Window& a, const Window& b, Window* out) {
    if (disjoint(a, b)) return ERR_WINDOWS_DISJOINT;
    if (out) {
        const int x = std::max<int>(a.x, b.x);
        const int y = std::max<int>(a.y, b.y);
        const int right = std::min(right_of(a), right_of(b));
        const int bottom = std::min(bottom_of(a), bottom_of(b));
        *out = Window{s16(x), s16(y), s16(right - x + 1), s16(bottom - y + 1)};
    }
    return NO_ERROR;
}

void wn_align4_x(Window* w) {
    if (!w) return;
    const int x = w->x & ~3;
    w->width = s16(((w->x + w->width + 3) & ~3) - x);
    w->x = s16(x);
}

void wn_align4_y(Window* w) {
    if (!w) return;
    const int y = w->y & ~3;
    w->height = s16(((w->y + w->height + 3) & ~3) - y);
    w->y = s16(y);
}

int wn_map_window(const Window* from_frame, const Window* win, const Window* to_frame, Window* out,
                  int* x_factor, int* y_factor) {
    if (x_factor) *x_factor = 0;
    if (y_factor) *y_factor = 0;
    if (!from_frame || !to_frame) return ERR_INVALID_PARAM;
    const int fw = from_frame->width, fh = from_frame->height;
    const int tw = to_frame->width, th = to_frame->height;
    // A frame without pixels relates to nothing (and would divide by zero).
    if (fw <= 0 || fh <= 0 || tw <= 0 || th <= 0) return ERR_IMPROPER_WINDOW;
    const int rw = std::max(fw, tw) % std::min(fw, tw);
    const int rh = std::max(fh, th) % std::min(fh, th);
    if (rw != 0 && rh != 0) {
        u_msg_sink("wn_map_window: cannot map windows\n");
        return ERR_IMPROPER_WINDOW;
    }

    // Coarser target: divide by the factor; finer: multiply. Offsets centre
    // the axis whose frame sizes are not multiples.
    int fx, fy, off_x = 0, off_y = 0;
    bool coarser;
    if (rw == 0 && rh == 0) {
        if (tw < fw) {
            if (th >= fh) return ERR_IMPROPER_WINDOW;
            coarser = true;
            fx = fw / tw;
            fy = fh / th;
        } else {
            if (th < fh) return ERR_IMPROPER_WINDOW;
            coarser = false;
            fx = tw / fw;
            fy = th / fh;
        }
    } else if (rw != 0) {
        coarser = fh > th;
        fx = fy = coarser ? fh / th : th / fh;
        off_x = coarser ? (tw - fw / fx) / 2 : (tw - fw * fx) / 2;
    } else {
        coarser = fw > tw;
        fx = fy = coarser ? fw / tw : tw / fw;
        off_y = coarser ? (th - fh / fy) / 2 : (th - fh * fy) / 2;
    }

    if (out && win) {
        if (coarser) {
            *out = Window{s16(win->x / fx + off_x), s16(win->y / fy + off_y), s16(win->width / fx),
                          s16(win->height / fy)};
        } else {
            *out = Window{s16(win->x * fx + off_x), s16(win->y * fy + off_y), s16(win->width * fx),
                          s16(win->height * fy)};
        }
    }
    if (x_factor) *x_factor = coarser ? -fx : fx;
    if (y_factor) *y_factor = coarser ? -fy : fy;
    return NO_ERROR;
}

int wn_split_x(const FrameSize* frame_size, int split_x, int gap, Window* left, Window* right) {
    if (!frame_size) return ERR_INVALID_PARAM;
    const int width = frame_size->width;
    const int height = frame_size->height;
    if (split_x <= 0) {
        split_x = width / 2;
    } else if (split_x < width / 4 || split_x > (3 * width) / 4) {
        u_msg_sink("Unreasonable split X coordinate = %d\n", split_x);
        return ERR_PARAM_OUT_OF_RANGE;
    }
    if (gap < 0) gap = 0;
    const int half = static_cast<int>((static_cast<int64_t>(gap) + 1) / 2);
    if (left) *left = Window{0, 0, s16(split_x - half), s16(height)};
    if (right) *right = Window{s16(split_x + half), 0, s16(width - split_x - half), s16(height)};
    return NO_ERROR;
}
