#include "datafile/dump.h"

#include <cfloat>
#include <cstring>

#include "common/msg.h"
#include "common/status.h"

namespace {

struct CrcTable {
    uint32_t entry[256];

    CrcTable() {
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entry[n] = c;
        }
    }

    uint32_t update(uint32_t crc, const void* data, std::size_t count) const {
        const uint8_t* p = static_cast<const uint8_t*>(data);
        for (std::size_t i = 0; i < count; ++i) crc = entry[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
        return crc;
    }
};

uint32_t address_bits(const void* p) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}

// Element bytes of a width x height window; 0 for an empty or negative one.
std::size_t window_bytes(const Window& w, std::size_t elem_size) {
    if (w.width <= 0 || w.height <= 0) return 0;
    return std::size_t(w.width) * std::size_t(w.height) * elem_size;
}

// The lines shared by the matrix dumps. The checksum is printed only when the
// storage covers the window.
void dump_matrix_common(FILE* stream, uint32_t size, const Window& window, const void* matrix,
                        std::size_t elem_size) {
    u_msg_to_file(stream, "size   = %d\n", static_cast<int>(size));
    dump_window(stream, &window);
    u_msg_to_file(stream, "matrix = 0x%8.8X\n", address_bits(matrix));
    std::size_t bytes = window_bytes(window, elem_size);
    if (bytes != 0 && matrix && bytes <= std::size_t{size} * elem_size) {
        u_msg_to_file(stream, "crc    = 0x%8.8X\n", dump_crc(matrix, bytes));
    }
}

const char* type_name(int32_t type, const char* const* names, int count) {
    return type >= 0 && type < count ? names[type] : "unknown";
}

// A float pair value: "%20.4f", or a row of asterisks for the largest float
// and above (no value).
void dump_pair_value(FILE* stream, float v, const char* lead, const char* tail) {
    if (v >= FLT_MAX) {
        u_msg_to_file(stream, "%s%20.20s%s", lead, "********************", tail);
    } else {
        u_msg_to_file(stream, "%s%20.4f%s", lead, static_cast<double>(v), tail);
    }
}

}  // namespace

uint32_t dump_crc(const void* data, std::size_t count, uint32_t crc) {
    if (!data || count == 0) return crc;
    const CrcTable table;
    return table.update(crc, data, count);
}

const char* dump_hex_text(const void* value, int size, int start, int step) {
    constexpr int kMaxBytes = 48;
    thread_local char text[2 + 2 * kMaxBytes + 1];
    std::strcpy(text, "0x");
    if (size > kMaxBytes) {
        std::strcpy(text + 2, "*");
        return text;
    }
    if (!value || size <= 0) return text;
    const uint8_t* bytes = static_cast<const uint8_t*>(value);
    char* out = text + 2;
    for (int i = 0, at = start; i < size && at >= 0 && at < size; ++i, at += step) {
        std::snprintf(out, 3, "%2.2X", bytes[at]);
        out += 2;
    }
    return text;
}

const char* dump_hex_float(float value) {
    return dump_hex_text(&value, sizeof value, sizeof value - 1, -1);
}

const char* dump_hex_double(double value) {
    return dump_hex_text(&value, sizeof value, sizeof value - 1, -1);
}

void dump_window(FILE* stream, const Window* w) {
    if (!w) {
        u_msg_to_file(stream, "NULL\n");
        return;
    }
    u_msg_to_file(stream, "x      = %4d\n", w->x);
    u_msg_to_file(stream, "y      = %4d\n", w->y);
    u_msg_to_file(stream, "width  = %4d\n", w->width);
    u_msg_to_file(stream, "height = %4d\n", w->height);
}

void dump_matrix16(FILE* stream, const ShortMatrix* m) {
    if (!m) {
        u_msg_to_file(stream, "NULL\n");
        return;
    }
    dump_matrix_common(stream, m->size, m->window, m->matrix, 2);
}

void dump_matrix32(FILE* stream, const PhaseMatrix* m) {
    if (!m) {
        u_msg_to_file(stream, "NULL\n");
        return;
    }
    dump_matrix_common(stream, m->size, m->window, m->matrix, 4);
}

void dump_matrix16b(FILE* stream, const IntensityMatrix* m) {
    if (!m) {
        u_msg_to_file(stream, "NULL\n");
        return;
    }
    dump_matrix_common(stream, m->size, m->window, m->matrix, 2);
}

void dump_mask(FILE* stream, const MaskMatrix* m) {
    if (!m) {
        u_msg_to_file(stream, "NULL\n");
        return;
    }
    u_msg_to_file(stream, "size = %d\n", static_cast<int>(m->size));
    dump_window(stream, &m->window);
    u_msg_to_file(stream, "matrix = 0x%8.8X\n", address_bits(m->matrix));
    u_msg_to_file(stream, "bits = %#2.2x\n", static_cast<unsigned>(m->bits));
}

void dump_frame_store(FILE* stream, const FrameStore* s) {
    if (!s) {
        u_msg_to_file(stream, "NULL\n");
        return;
    }
    u_msg_to_file(stream, "alloc_size       = %d\n", s->alloc_size);
    u_msg_to_file(stream, "[ alloc_win\n");
    dump_window(stream, &s->alloc_win);
    u_msg_to_file(stream, "] alloc_win\n");
    u_msg_to_file(stream, "alloc_blocks     = %d\n", s->alloc_blocks);
    u_msg_to_file(stream, "alloc_blocksize  = %d\n", s->alloc_blocksize);
    u_msg_to_file(stream, "alloc_elem_size  = %d\n", s->alloc_elem_size);
    u_msg_to_file(stream, "elem_size        = %d\n", s->elem_size);
    u_msg_to_file(stream, "elem_res         = %d\n", s->elem_res);
    u_msg_to_file(stream, "size             = %d\n", s->size);
    u_msg_to_file(stream, "blocksize        = %d\n", s->blocksize);
    u_msg_to_file(stream, "n_blocks         = %d\n", s->n_blocks);
    u_msg_to_file(stream, "[ window\n");
    dump_window(stream, &s->window);
    u_msg_to_file(stream, "] window\n");
    u_msg_to_file(stream, "[ stored\n");
    dump_window(stream, &s->stored);
    u_msg_to_file(stream, "] stored\n");
    u_msg_to_file(stream, "matrix           = 0x%8.8X\n", address_bits(s->matrix));
    u_msg_to_file(stream, "qsize            = %d\n", s->qsize);
    u_msg_to_file(stream, "n_buckets        = %d\n", s->n_buckets);

    if (!s->matrix || s->n_blocks <= 0 || s->blocksize <= 0) return;
    const std::size_t block = static_cast<std::size_t>(s->blocksize);
    const std::size_t n = static_cast<std::size_t>(s->n_blocks);
    uint32_t crc = 0;
    if (s->separate_blocks) {
        // Each block is its own allocation: run over them in turn.
        if (!s->blocks || s->n_blocks > s->alloc_blocks || s->blocksize > s->alloc_blocksize) {
            return;
        }
        const CrcTable table;
        for (std::size_t i = 0; i < n; ++i) {
            if (!s->blocks[i]) return;
            crc = table.update(crc, s->blocks[i], block);
        }
    } else {
        if (s->alloc_size < 0 || n * block > static_cast<std::size_t>(s->alloc_size)) return;
        crc = dump_crc(s->matrix, n * block);
    }
    u_msg_to_file(stream, "crc    = 0x%8.8X\n", crc);
}

void dump_acq_settings(FILE* stream, const AcqSettings* a) {
    if (!a) {
        u_msg_to_file(stream, "NULL\n");
        return;
    }
    u_msg_to_file(stream, "mask           = %#6.6x\n", static_cast<unsigned>(a->mask));
    u_msg_to_file(stream, "n_buckets      = %d\n", a->n_buckets);
    u_msg_to_file(stream, "ramp_mux       = %d\n", a->ramp_mux);
    u_msg_to_file(stream, "ramp_cal       = %d\n", a->ramp_cal);
    u_msg_to_file(stream, "ramp_gain      = %d\n", a->ramp_gain);
    u_msg_to_file(stream, "ramp_gain_dflt = %d\n", a->ramp_gain_dflt);
    u_msg_to_file(stream, "sfac_limit     = %d\n", a->sfac_limit);
    u_msg_to_file(stream, "target_intens  = %5.3f\n", static_cast<double>(a->target_intens));
    u_msg_to_file(stream, "target_range   = %5.3f\n", static_cast<double>(a->target_range));
    u_msg_to_file(stream, "sw_llc         = %d\n", a->sw_llc);
    u_msg_to_file(stream, "light_level    = %d\n", a->light_level);
    u_msg_to_file(stream, "min_mod        = %d\n", a->min_mod);
    u_msg_to_file(stream, "min_mod_count  = %d\n", a->min_mod_count);
    u_msg_to_file(stream, "n_sat_skip     = %d\n", a->n_sat_skip);
    u_msg_to_file(stream, "n_bright_skip  = %d\n", a->n_bright_skip);
    u_msg_to_file(stream, "do_avg         = %d\n", a->do_avg);
    u_msg_to_file(stream, "avg_count      = %d\n", a->avg_count);
    u_msg_to_file(stream, "avg_keep_sat   = %d\n", a->avg_keep_sat);
    u_msg_to_file(stream, "awm_enable     = %d\n", a->awm_enable);
}

void dump_proc_params(FILE* stream, const ProcParams* p) {
    if (!p) {
        u_msg_to_file(stream, "NULL\n");
        return;
    }
    u_msg_to_file(stream, "algorithm       = %d\n", p->algorithm);
    u_msg_to_file(stream, "type            = %d\n", p->type);
    u_msg_to_file(stream, "phase_res       = %s\n", u_phase_res_name(p->phase_res));
    u_msg_to_file(stream, "min_area_pixels = %d\n", p->min_area_pixels);
    u_msg_to_file(stream, "max_area_pixels = %d\n", p->max_area_pixels);
    u_msg_to_file(stream, "pre_filter      = %g (%s)\n", static_cast<double>(p->pre_filter),
                  dump_hex_float(p->pre_filter));
    u_msg_to_file(stream, "discon_action   = %d\n", p->discon_action);
    u_msg_to_file(stream, "discon_filter   = %g (%s)\n", static_cast<double>(p->discon_filter),
                  dump_hex_float(p->discon_filter));
    u_msg_to_file(stream, "noise_thresh    = %g (%s)\n", static_cast<double>(p->noise_thresh),
                  dump_hex_float(p->noise_thresh));
    u_msg_to_file(stream, "order_by_size   = %d\n", p->order_by_size);
    u_msg_to_file(stream, "ref_mask:[\n");
    dump_mask(stream, &p->ref_mask);
    u_msg_to_file(stream, "]\n");
}

void dump_fit(FILE* stream, const SurfaceFit* f) {
    if (!f) {
        u_msg_to_file(stream, "NULL\n");
        return;
    }
    static const char* const names[] = {"piston", "plane", "sphere", "cylinder"};
    u_msg_to_file(stream, "type      = %10s\n", type_name(f->type, names, 4));
    u_msg_to_file(stream, "offset    = %10.4f\n", f->offset);
    u_msg_to_file(stream, "x_coef    = %10.4f\n", f->x_coef);
    u_msg_to_file(stream, "y_coef    = %10.4f\n", f->y_coef);
    u_msg_to_file(stream, "x2y2_coef = %10.4f\n", f->x2y2_coef);
    u_msg_to_file(stream, "xy_coef   = %10.4f\n", f->xy_coef);
    u_msg_to_file(stream, "x2_coef   = %10.4f\n", f->x2_coef);
    u_msg_to_file(stream, "y2_coef   = %10.4f\n", f->y2_coef);
    u_msg_to_file(stream, "center_x  = %10d\n", f->center_x);
    u_msg_to_file(stream, "center_y  = %10d\n", f->center_y);
}

void dump_fit_set(FILE* stream, const SurfaceFitSet* f) {
    if (!f) {
        u_msg_to_file(stream, "NULL\n");
        return;
    }
    u_msg_to_file(stream, "pst_offset    = %10.4f\n", f->pst_offset);
    u_msg_to_file(stream, "pln_offset    = %10.4f\n", f->pln_offset);
    u_msg_to_file(stream, "pln_x_coef    = %10.4f\n", f->pln_x_coef);
    u_msg_to_file(stream, "pln_y_coef    = %10.4f\n", f->pln_y_coef);
    u_msg_to_file(stream, "sph_offset    = %10.4f\n", f->sph_offset);
    u_msg_to_file(stream, "sph_x_coef    = %10.4f\n", f->sph_x_coef);
    u_msg_to_file(stream, "sph_y_coef    = %10.4f\n", f->sph_y_coef);
    u_msg_to_file(stream, "sph_x2y2_coef = %10.4f\n", f->sph_x2y2_coef);
    u_msg_to_file(stream, "cyl_offset    = %10.4f\n", f->cyl_offset);
    u_msg_to_file(stream, "cyl_x_coef    = %10.4f\n", f->cyl_x_coef);
    u_msg_to_file(stream, "cyl_y_coef    = %10.4f\n", f->cyl_y_coef);
    u_msg_to_file(stream, "cyl_xy_coef   = %10.4f\n", f->cyl_xy_coef);
    u_msg_to_file(stream, "cyl_x2_coef   = %10.4f\n", f->cyl_x2_coef);
    u_msg_to_file(stream, "cyl_y2_coef   = %10.4f\n", f->cyl_y2_coef);
}

void dump_line_fit(FILE* stream, const LineFit* f) {
    if (!f) {
        u_msg_to_file(stream, "NULL\n");
        return;
    }
    static const char* const names[] = {"piston", "line", "parabola"};
    u_msg_to_file(stream, "type      = %10s\n", type_name(f->type, names, 3));
    u_msg_to_file(stream, "offset    = %10.4f\n", f->offset);
    u_msg_to_file(stream, "x_coef    = %10.4f\n", f->x_coef);
    u_msg_to_file(stream, "x2_coef   = %10.4f\n", f->x2_coef);
    u_msg_to_file(stream, "x3_coef   = %10.4f\n", f->x3_coef);
    u_msg_to_file(stream, "x4_coef   = %10.4f\n", f->x4_coef);
    u_msg_to_file(stream, "x0        = %10d\n", f->x0);
    u_msg_to_file(stream, "y0        = %10d\n", f->y0);
    u_msg_to_file(stream, "x1        = %10d\n", f->x1);
    u_msg_to_file(stream, "y1        = %10d\n", f->y1);
    u_msg_to_file(stream, "x2        = %10d\n", f->x2);
    u_msg_to_file(stream, "y2        = %10d\n", f->y2);
    u_msg_to_file(stream, "xn        = %10d\n", f->xn);
    u_msg_to_file(stream, "yn        = %10d\n", f->yn);
    u_msg_to_file(stream, "length    = %10d\n", f->length);
    u_msg_to_file(stream, "npoints   = %10d\n", f->npoints);
}

void dump_stats(FILE* stream, const SurfaceStats* s) {
    if (!s) {
        u_msg_to_file(stream, "NULL\n");
        return;
    }
    u_msg_to_file(stream, "pv       = %8d\n", s->pv);
    u_msg_to_file(stream, "peak     = %8d\n", s->peak);
    u_msg_to_file(stream, "valley   = %8d\n", s->valley);
    u_msg_to_file(stream, "mean     = %8g\n", s->mean);
    u_msg_to_file(stream, "peak_x   = %8d\n", s->peak_x);
    u_msg_to_file(stream, "peak_y   = %8d\n", s->peak_y);
    u_msg_to_file(stream, "valley_x = %8d\n", s->valley_x);
    u_msg_to_file(stream, "valley_y = %8d\n", s->valley_y);
    u_msg_to_file(stream, "npoints  = %8d\n", s->npoints);
}

void dump_poly(FILE* stream, const PolyFit* p) {
    if (!p) {
        u_msg_to_file(stream, "NULL\n");
        return;
    }
    const int n = p->n_coefs < 0 ? 0 : p->n_coefs > POLY_MAX_COEFS ? POLY_MAX_COEFS : p->n_coefs;
    for (int i = 0; i < n; ++i) u_msg_to_file(stream, "coef[%2d] = %10.4f\n", i, p->coef[i]);
    u_msg_to_file(stream, "center_x = %3d\n", p->center_x);
    u_msg_to_file(stream, "center_y = %3d\n", p->center_y);
    u_msg_to_file(stream, "radius2  = %d\n", p->radius2);
}

void dump_pairs(FILE* stream, const Vector8* pairs) {
    if (!pairs) {
        u_msg_to_file(stream, "NULL\n");
        return;
    }
    if (!pairs->elems) return;
    const int32_t n = pairs->count < pairs->capacity ? pairs->count : pairs->capacity;
    for (int32_t i = 0; i < n; ++i) {
        dump_pair_value(stream, pairs->elems[i].x, "", "");
        dump_pair_value(stream, pairs->elems[i].y, "     ", "\n");
    }
}

void dump_regions(FILE* stream, const Region* regions, int count) {
    if (!regions) {
        u_msg_to_file(stream, "NULL\n");
        return;
    }
    for (int i = 0; i < count; ++i) {
        const Region& r = regions[i];
        u_msg_to_file(stream,
                      "region=%3d  npoints=%5d  xmin=%3d  ymin=%3d  xmax=%3d  ymax=%3d  dist=%3d",
                      r.region, r.npoints, r.xmin, r.ymin, r.xmax, r.ymax, r.dist);
        u_msg_to_file(stream, "\n");
    }
}

void dump_coef_table(FILE* stream, const CoefTable* t) {
    if (!t) {
        u_msg_to_file(stream, "NULL\n");
        return;
    }
    u_msg_to_file(stream, "unity  = %6.0f\n", t->unity);
    for (int i = 0; i < COEF_TABLE_ROWS; ++i) {
        u_msg_to_file(stream, "%2d  %10.4f %10.4f %10.4f %10.4f\n", i, t->coef[0][i], t->coef[1][i],
                      t->coef[2][i], t->coef[3][i]);
    }
}

void dump_fiducial_fit(FILE* stream, const FiducialFit* f) {
    if (!f) {
        u_msg_to_file(stream, "NULL\n");
        return;
    }
    u_msg_to_file(stream, "Asin  = %g\n", f->Asin);
    u_msg_to_file(stream, "Acos  = %g\n", f->Acos);
    u_msg_to_file(stream, "r1    = %g\n", f->r1);
    u_msg_to_file(stream, "r2    = %g\n", f->r2);
    u_msg_to_file(stream, "r3    = %g\n", f->r3);
    u_msg_to_file(stream, "r4    = %g\n", f->r4);
    u_msg_to_file(stream, "xoff  = %g\n", f->xoff);
    u_msg_to_file(stream, "yoff  = %g\n", f->yoff);
    u_msg_to_file(stream, "pverr = %g\n", f->pverr);
    u_msg_to_file(stream, "rmserr= %g\n", f->rmserr);
    u_msg_to_file(stream, "nfids = %d\n", f->nfids);
}

void dump_bytes(FILE* stream, const uint8_t* bytes, int count, int mode) {
    if (!bytes) {
        u_msg_to_file(stream, "NULL\n");
        return;
    }
    for (int i = 0; i < count; ++i) {
        if (i % 10 == 0) u_msg_to_file(stream, "%5d", i);
        const unsigned b = bytes[i];
        switch (mode) {
            case DUMP_HEX:
                u_msg_to_file(stream, " %2.2x", b);
                break;
            case DUMP_OCTAL:
                u_msg_to_file(stream, " %3.3o", b);
                break;
            case DUMP_BINARY: {
                char digits[10] = " ";
                for (int bit = 7; bit >= 0; --bit) digits[8 - bit] = ((b >> bit) & 1) ? '1' : '0';
                digits[9] = '\0';
                u_msg_to_file(stream, "%s", digits);
                break;
            }
            default:
                u_msg_to_file(stream, " %3d", b);
                break;
        }
        if (i % 10 == 9 || i == count - 1) u_msg_to_file(stream, "\n");
    }
}
