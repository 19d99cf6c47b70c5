#include "app/gridsag.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "app/gformat.h"
#include "app/gridsag_internal.h"
#include "common/status.h"
#include "platform/replace_file.h"

namespace {

// Difference step of the sampled derivatives, in pixels.
constexpr double kStep = 0.01;
// Points formatted per unit of work: bounds the memory in flight (a line is
// at most kMaxLine bytes) whatever the grid size.
constexpr int64_t kUnitPoints = 16384;
constexpr int kMaxLine = 4 * (GFORMAT_MAX_CHARS + 1) + 4;
constexpr char kNoData[] = "0 0 0 0 1\n";
constexpr int kMaxThreads = 8;
// Widest grid whose column positions are tabled (about 11 MB); a wider one
// works them out point by point, so memory stays bounded for any width.
constexpr int kMaxTableColumns = 65536;
// Points of a row sampled together before they are formatted.
constexpr int kRowPiece = 256;

struct Grid {
    std::vector<int32_t*> row_table;
    Window win{};
    int rows = 0, columns = 0;
    double w_span = 0, h_span = 0;      // W - 1, H - 1
    double col_span = 0, row_span = 0;  // columns - 1, rows - 1
    double cx = 0, cy = 0;
    int64_t vc = 0;
    double k = 0;
    double delx = 0, dely = 0;
    int derivatives = GRID_SAG_DERIV_SAMPLED;

    // Whole positions stay exact (the centre among them): the product is
    // exact in double, and so the one rounding is that of the division.
    double x_at(int j) const { return static_cast<double>(j) * w_span / col_span; }
    double y_at(int i) const { return static_cast<double>(i) * h_span / row_span; }

    // Height of the sample at (ax, ay) relative to the centre, or false without data.
    bool zs(const PhaseAxis& ax, const PhaseAxis& ay, double* z) const {
        int32_t v;
        if (!sample_phase_at(row_table.data(), ax, ay, &v)) return false;
        *z = static_cast<double>(int64_t{v} - vc) * k;
        return true;
    }

    // The three sampling positions of one coordinate, v - s, v and v + s, and
    // whether they lie between the same two elements.
    struct Axis3 {
        PhaseAxis m, c, p;
        bool same;
    };
    static Axis3 axis3(double v, int size) {
        Axis3 a;
        a.c = phase_axis(v, size);
        a.p = phase_axis(v + kStep, size);
        a.m = phase_axis(v - kStep, size);
        a.same = same_cell(a.m, a.c, a.p);
        return a;
    }
    // The positions across are the same on every row: worked out once per
    // grid, with the cells and offsets of the columns in the arrays the row
    // sampling reads.
    std::vector<Axis3> col_axes;
    std::vector<int32_t> col_lo, col_hi;
    std::vector<double> col_xm, col_xc, col_xp;
    std::vector<unsigned char> col_in_cell;  // not a border column, and its samples share a cell
    void make_col_axes() {
        if (columns > kMaxTableColumns) return;
        const size_t n = static_cast<size_t>(columns);
        col_axes.resize(n);
        col_lo.resize(n);
        col_hi.resize(n);
        col_xm.resize(n);
        col_xc.resize(n);
        col_xp.resize(n);
        col_in_cell.resize(n);
        for (size_t j = 0; j < n; ++j) {
            const Axis3 a = axis3(x_at(static_cast<int>(j)), win.width);
            col_lo[j] = a.c.lo;
            col_hi[j] = a.c.hi;
            col_xm[j] = a.m.offset;
            col_xc[j] = a.c.offset;
            col_xp[j] = a.p.offset;
            col_in_cell[j] = a.same && j != 0 && j != n - 1 ? 1 : 0;
            col_axes[j] = a;
        }
    }
    Axis3 row_axis(int i) const { return axis3(y_at(i), win.height); }
    Axis3 col_axis(int j) const {
        return col_axes.empty() ? axis3(x_at(j), win.width) : col_axes[static_cast<size_t>(j)];
    }

    // The point's sag and sampled derivatives; false when it is written without data.
    // xa and ya are the point's axes, col_axis(j) and row_axis(i).
    bool point(int i, int j, const Axis3& xa, const Axis3& ya, double out[4]) const {
        if (i == 0 || j == 0 || i == rows - 1 || j == columns - 1) return false;
        if (xa.same && ya.same) return point_in_cell(xa, ya, out);
        const double s = kStep;
        const PhaseAxis &xc = xa.c, &xp = xa.p, &xm = xa.m;
        const PhaseAxis &yc = ya.c, &yp = ya.p, &ym = ya.m;
        int32_t v;
        if (!sample_phase_at(row_table.data(), xc, yc, &v)) return false;
        double a, b;
        if (!zs(xp, yc, &a) || !zs(xm, yc, &b)) return false;
        const double dzdx = (a - b) / (2 * s * cx);
        if (!zs(xc, yp, &a) || !zs(xc, ym, &b)) return false;
        const double dzdy = (a - b) / (2 * s * cy);
        if (!zs(xp, yp, &a) || !zs(xm, yp, &b)) return false;
        const double t1 = (a - b) / (2 * s * cx);
        if (!zs(xp, ym, &a) || !zs(xm, ym, &b)) return false;
        const double t2 = (a - b) / (2 * s * cx);
        out[0] = static_cast<double>(int64_t{v} - vc) * k;
        out[1] = dzdx;
        out[2] = dzdy;
        out[3] = (t1 - t2) / (2 * s * cy);
        return true;
    }

    static bool same_cell(const PhaseAxis& m, const PhaseAxis& c, const PhaseAxis& p) {
        return m.inside && p.inside && m.lo == c.lo && c.lo == p.lo && m.hi == c.hi && c.hi == p.hi;
    }

    // The offsets of a cell's nine samples in the lane order gridsag_in_cell() takes
    // them: across {xp, xc}, {xm, xc}, {xp, xp}, {xm, xm}, {xc, xc}; down
    // {yc, yp}, {yc, ym}, {yp, ym}, {yp, ym}, {yc, yc}.
    static void x_lanes(const Axis3& a, double o[10]) {
        const double c = a.c.offset, p = a.p.offset, m = a.m.offset;
        const double v[10] = {p, c, m, c, p, p, m, m, c, c};
        std::memcpy(o, v, sizeof v);
    }
    static void y_lanes(const Axis3& a, double o[10]) {
        const double c = a.c.offset, p = a.p.offset, m = a.m.offset;
        const double v[10] = {c, p, c, m, p, m, p, m, c, c};
        std::memcpy(o, v, sizeof v);
    }

    bool point_in_cell(const Axis3& xa, const Axis3& ya, double out[4]) const {
        double xo[10], yo[10];
        x_lanes(xa, xo);
        y_lanes(ya, yo);
        const int32_t* lo = row_table[static_cast<size_t>(ya.c.lo)];
        const int32_t* hi = row_table[static_cast<size_t>(ya.c.hi)];
        return gridsag_in_cell(lo[xa.c.lo], lo[xa.c.hi], hi[xa.c.lo], hi[xa.c.hi], xo, yo, math(),
                               out);
    }

    GridSagCellMath math() const {
        return GridSagCellMath{static_cast<double>(vc), k, 2 * kStep * cx, 2 * kStep * cy};
    }
};

// A rectangle of grid points formatted as one piece, in output order.
struct Unit {
    int row0, row1;  // [row0, row1)
    int col0, col1;  // [col0, col1)
};

struct Plan {
    int64_t units = 0;
    int rows_per_unit = 1;  // when whole rows fit a unit
    int segs_per_row = 1;   // otherwise
    int seg_cols = 0;

    void make(int rows, int columns) {
        if (columns <= kUnitPoints) {
            rows_per_unit = static_cast<int>(kUnitPoints / columns);
            units = (rows + static_cast<int64_t>(rows_per_unit) - 1) / rows_per_unit;
            seg_cols = columns;
            segs_per_row = 1;
        } else {
            rows_per_unit = 1;
            seg_cols = static_cast<int>(kUnitPoints);
            segs_per_row = static_cast<int>((columns + kUnitPoints - 1) / kUnitPoints);
            units = static_cast<int64_t>(rows) * segs_per_row;
        }
    }
    Unit unit(int64_t u, int rows, int columns) const {
        Unit r{};
        if (segs_per_row == 1) {
            r.row0 = static_cast<int>(u * rows_per_unit);
            r.row1 = static_cast<int>(std::min<int64_t>(rows, r.row0 + int64_t{rows_per_unit}));
            r.col0 = 0;
            r.col1 = columns;
        } else {
            r.row0 = static_cast<int>(u / segs_per_row);
            r.row1 = r.row0 + 1;
            r.col0 = static_cast<int>(u % segs_per_row) * seg_cols;
            r.col1 = static_cast<int>(std::min<int64_t>(columns, int64_t{r.col0} + seg_cols));
        }
        return r;
    }
};

// Texts of recently formatted values. Derivatives in particular repeat a few
// values (whole multiples of one step) over and over; the same double always
// gives the same text, so a hit is exact.
class FormatCache {
  public:
    FormatCache() : entries_(kSize) {}
    char* put(char* p, double value) {
        uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        Entry& e = entries_[(bits * 0x9E3779B97F4A7C15ull) >> (64 - kBits)];
        if (e.bits != bits) {
            e.bits = bits;
            e.len = static_cast<unsigned char>(gformat(e.text, value) - e.text);
        }
        std::memcpy(p, e.text, GFORMAT_MAX_CHARS);  // fixed size: one unaligned copy
        return p + e.len;
    }

  private:
    static constexpr int kBits = 12;
    static constexpr size_t kSize = size_t{1} << kBits;
    // An empty entry holds a NaN, which is never formatted (the values are checked finite).
    struct Entry {
        uint64_t bits = ~uint64_t{0};
        unsigned char len = 0;
        char text[GFORMAT_MAX_CHARS];
    };
    std::vector<Entry> entries_;
};

// Scratch of one formatting thread: the format cache, and the sags and flags
// of a unit and the ring of grid points around it for the derivatives taken
// on the grid.
struct Scratch {
    FormatCache cache;
    // A piece of a row sampled ahead of its formatting.
    unsigned char state[kRowPiece];
    double values[4 * kRowPiece];
    uint32_t d6[kRowPiece];
    int32_t x10[kRowPiece];
    std::vector<double> z;
    std::vector<unsigned char> has;
};

// Sags rarely repeat, so they skip the cache; the derivatives mostly hit it.
// d6 and x10 are the sag's digits and exponent when the row sampling worked
// them out (d6 not 0).
inline char* put_point(char* p, const double v[4], FormatCache* cache, uint32_t d6 = 0,
                       int32_t x10 = 0) {
    p = d6 != 0 ? gformat_digits(p, std::signbit(v[0]), d6, x10) : gformat(p, v[0]);
    *p++ = ' ';
    p = cache->put(p, v[1]);
    *p++ = ' ';
    p = cache->put(p, v[2]);
    *p++ = ' ';
    p = cache->put(p, v[3]);
    *p++ = ' ';
    *p++ = '0';
    *p++ = '\n';
    return p;
}

inline char* put_no_data(char* p) {
    std::memcpy(p, kNoData, sizeof kNoData - 1);
    return p + (sizeof kNoData - 1);
}

inline bool all_finite(const double v[4]) {
    return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]) && std::isfinite(v[3]);
}

// Formats one unit into buf; returns the bytes written, or -1 when a value
// came out not finite (which the checks before opening should make impossible).
int64_t format_sampled(const Grid& g, const Unit& u, char* buf, Scratch* s) {
    char* p = buf;
    double v[4];
    const bool tabled = !g.col_in_cell.empty();
    for (int i = u.row0; i < u.row1; ++i) {
        const Grid::Axis3 ya = g.row_axis(i);
        const bool row_in_cell = ya.same && i != 0 && i != g.rows - 1 && tabled;
        const GridSagRow row{g.row_table[static_cast<size_t>(ya.c.lo)],
                             g.row_table[static_cast<size_t>(ya.c.hi)],
                             g.col_lo.data(),
                             g.col_hi.data(),
                             g.col_xm.data(),
                             g.col_xc.data(),
                             g.col_xp.data(),
                             g.col_in_cell.data(),
                             ya.m.offset,
                             ya.c.offset,
                             ya.p.offset,
                             g.math()};
        // A piece of the row is sampled, then formatted; the points whose
        // samples do not share a cell are sampled the general way as they come.
        for (int j0 = u.col0; j0 < u.col1; j0 += kRowPiece) {
            const int j1 = std::min(u.col1, j0 + kRowPiece);
            if (row_in_cell) {
                gridsag_sample_row(row, j0, j1, s->state, s->values, s->d6, s->x10);
            } else {
                std::memset(s->state, GRIDSAG_NOT_IN_CELL, static_cast<size_t>(j1 - j0));
            }
            for (int j = j0; j < j1; ++j) {
                const double* pv = s->values + 4 * (j - j0);
                const unsigned char state = s->state[j - j0];
                uint32_t d6 = 0;
                if (state == GRIDSAG_NOT_IN_CELL) {
                    pv = v;
                    const Grid::Axis3* xa = row_in_cell && j != 0 && j != g.columns - 1
                                                ? &g.col_axes[size_t(j)]
                                                : nullptr;
                    const bool ok = xa != nullptr
                                        ? gridsag_across_cells(row, xa->m, xa->c, xa->p, v)
                                        : g.point(i, j, g.col_axis(j), ya, v);
                    if (!ok) {
                        p = put_no_data(p);
                        continue;
                    }
                    if (!all_finite(v)) return -1;
                } else if (state == GRIDSAG_NO_DATA) {
                    p = put_no_data(p);
                    continue;
                } else if (state != GRIDSAG_DATA) {
                    return -1;
                } else {
                    d6 = s->d6[j - j0];
                }
                p = put_point(p, pv, &s->cache, d6, s->x10[j - j0]);
            }
        }
    }
    return p - buf;
}

int64_t format_grid_derivatives(const Grid& g, const Unit& u, char* buf, Scratch* s) {
    const int r0 = std::max(0, u.row0 - 1), r1 = std::min(g.rows, u.row1 + 1);
    const int c0 = std::max(0, u.col0 - 1), c1 = std::min(g.columns, u.col1 + 1);
    const int64_t stride = c1 - c0;
    const size_t need = static_cast<size_t>((r1 - r0) * stride);
    if (s->z.size() < need) {
        s->z.resize(need);
        s->has.resize(need);
    }
    double v[4] = {0, 0, 0, 0};
    for (int i = r0; i < r1; ++i) {
        const Grid::Axis3 ya = g.row_axis(i);
        for (int j = c0; j < c1; ++j) {
            const size_t at = static_cast<size_t>((i - r0) * stride + (j - c0));
            s->has[at] = g.point(i, j, g.col_axis(j), ya, v) ? 1 : 0;
            s->z[at] = v[0];
        }
    }
    auto has = [&](int i, int j) { return s->has[(i - r0) * stride + (j - c0)] != 0; };
    auto z = [&](int i, int j) { return s->z[(i - r0) * stride + (j - c0)]; };

    char* p = buf;
    for (int i = u.row0; i < u.row1; ++i) {
        for (int j = u.col0; j < u.col1; ++j) {
            if (!has(i, j)) {
                p = put_no_data(p);
                continue;
            }
            // A point with data is never on the border, so its neighbours exist.
            const bool left = has(i, j - 1), right = has(i, j + 1);
            const bool up = has(i - 1, j), down = has(i + 1, j);
            v[0] = z(i, j);
            if (left && right) {
                v[1] = (z(i, j + 1) - z(i, j - 1)) / (2 * g.delx);
            } else if (right) {
                v[1] = (z(i, j + 1) - z(i, j)) / g.delx;
            } else if (left) {
                v[1] = (z(i, j) - z(i, j - 1)) / g.delx;
            } else {
                v[1] = 0;
            }
            // +y points toward grid row 0.
            if (up && down) {
                v[2] = (z(i - 1, j) - z(i + 1, j)) / (2 * g.dely);
            } else if (up) {
                v[2] = (z(i - 1, j) - z(i, j)) / g.dely;
            } else if (down) {
                v[2] = (z(i, j) - z(i + 1, j)) / g.dely;
            } else {
                v[2] = 0;
            }
            if (has(i - 1, j + 1) && has(i - 1, j - 1) && has(i + 1, j + 1) && has(i + 1, j - 1)) {
                v[3] = (z(i - 1, j + 1) - z(i - 1, j - 1) - z(i + 1, j + 1) + z(i + 1, j - 1)) /
                       (4 * g.delx * g.dely);
            } else {
                v[3] = 0;
            }
            if (!all_finite(v)) return -1;
            p = put_point(p, v, &s->cache);
        }
    }
    return p - buf;
}

int64_t format_unit(const Grid& g, const Unit& u, char* buf, Scratch* s) {
    if (g.derivatives == GRID_SAG_DERIV_GRID) return format_grid_derivatives(g, u, buf, s);
    return format_sampled(g, u, buf, s);
}

// Formats the units on worker threads and writes them in order from the
// calling thread. Returns 0, ERR_CANT_CREATE_FILE on a failed write or
// ERR_FP_OVERFLOW when a value came out not finite.
int write_points(const Grid& g, FILE* out, int threads) {
    Plan plan;
    plan.make(g.rows, g.columns);
    const int64_t unit_points =
        plan.segs_per_row == 1 ? int64_t{plan.rows_per_unit} * g.columns : plan.seg_cols;
    const size_t buf_bytes = static_cast<size_t>(unit_points * kMaxLine);

    const int workers = static_cast<int>(std::min<int64_t>(threads, plan.units));
    if (workers <= 1) {
        std::vector<char> buf(buf_bytes);
        Scratch scratch;
        for (int64_t u = 0; u < plan.units; ++u) {
            int64_t n = format_unit(g, plan.unit(u, g.rows, g.columns), buf.data(), &scratch);
            if (n < 0) return ERR_FP_OVERFLOW;
            if (std::fwrite(buf.data(), 1, static_cast<size_t>(n), out) != static_cast<size_t>(n))
                return ERR_CANT_CREATE_FILE;
        }
        return NO_ERROR;
    }

    struct Slot {
        std::vector<char> buf;
        int64_t len = 0;
        int64_t unit = -1;
    };
    const int n_slots = 2 * workers + 2;
    std::vector<Slot> slots(static_cast<size_t>(n_slots));
    for (Slot& s : slots) s.buf.resize(buf_bytes);

    std::mutex mutex;
    std::condition_variable work_cv, write_cv;
    int64_t next_unit = 0, written = 0;
    int failure = NO_ERROR;

    auto work = [&]() {
        Scratch scratch;
        for (;;) {
            int64_t u;
            {
                std::unique_lock<std::mutex> lock(mutex);
                // A slot is free once the unit n_slots before has been written.
                work_cv.wait(lock, [&] {
                    return failure != NO_ERROR || next_unit >= plan.units ||
                           next_unit < written + n_slots;
                });
                if (failure != NO_ERROR || next_unit >= plan.units) return;
                u = next_unit++;
            }
            Slot& slot = slots[static_cast<size_t>(u % n_slots)];
            int64_t n;
            int code = ERR_FP_OVERFLOW;
            try {
                n = format_unit(g, plan.unit(u, g.rows, g.columns), slot.buf.data(), &scratch);
            } catch (const std::bad_alloc&) {
                n = -1;
                code = ERR_NO_MEM;
            }
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (n < 0 && failure == NO_ERROR) failure = code;
                slot.len = n;
                slot.unit = u;
            }
            write_cv.notify_one();
        }
    };

    std::vector<std::thread> pool;
    for (int t = 0; t < workers; ++t) {
        try {
            pool.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // run with the threads we have
        }
    }
    if (pool.empty()) {
        slots.clear();
        return write_points(g, out, 1);
    }

    for (int64_t u = 0; u < plan.units; ++u) {
        Slot& slot = slots[static_cast<size_t>(u % n_slots)];
        {
            std::unique_lock<std::mutex> lock(mutex);
            write_cv.wait(lock, [&] { return failure != NO_ERROR || slot.unit == u; });
            if (failure != NO_ERROR) break;
        }
        const size_t n = static_cast<size_t>(slot.len);
        const bool ok = std::fwrite(slot.buf.data(), 1, n, out) == n;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!ok && failure == NO_ERROR) failure = ERR_CANT_CREATE_FILE;
            slot.unit = -1;
            ++written;
        }
        work_cv.notify_all();
        if (!ok) break;
    }
    work_cv.notify_all();
    for (std::thread& t : pool) t.join();
    return failure;
}

int default_threads() {
    unsigned n = std::thread::hardware_concurrency();
    if (n == 0) n = 1;
    return static_cast<int>(std::min<unsigned>(n, kMaxThreads));
}

int export_grid(const char* path, const HeaderRecord* header, const PhaseMatrix* matrix, int rows,
                int columns, const GridSagOptions& options) {
    if (matrix == nullptr || header == nullptr || matrix->matrix == nullptr) {
        return ERR_INVALID_PARAM;
    }
    const Window win = matrix->window;
    // The grid needs an interior point, and the matrix must hold its window.
    if (rows < 3 || columns < 3 || win.width < 1 || win.height < 1 ||
        static_cast<int64_t>(win.width) * win.height > static_cast<int64_t>(matrix->size)) {
        return ERR_INVALID_PARAM;
    }

    Grid g;
    g.win = win;
    g.rows = rows;
    g.columns = columns;
    g.derivatives =
        options.derivatives == GRID_SAG_DERIV_GRID ? GRID_SAG_DERIV_GRID : GRID_SAG_DERIV_SAMPLED;
    g.row_table.resize(static_cast<size_t>(win.height));
    matrix->row_ptrs(nullptr, g.row_table.data());
    g.w_span = win.width - 1;
    g.h_span = win.height - 1;
    g.col_span = columns - 1;
    g.row_span = rows - 1;
    g.cx = g.w_span / g.col_span;
    g.cy = g.h_span / g.row_span;
    const int rc = (rows + 1) / 2 - 1;
    const int cc = (columns + 1) / 2 - 1;

    int32_t vc;
    if (!sample_phase_at(g.row_table.data(), phase_axis(g.x_at(cc), win.width),
                         phase_axis(g.y_at(rc), win.height), &vc)) {
        return ERR_CORRUPT_DATA_FILE;
    }
    g.vc = vc;
    g.make_col_axes();

    const float lateral_res = header->lateral_res();
    if (lateral_res == 0.0f || !std::isfinite(lateral_res)) return ERR_LATERAL_RES_UNKNOWN;
    g.delx = static_cast<double>(lateral_res) * g.cx * 1000;
    g.dely = static_cast<double>(lateral_res) * g.cy * 1000;

    const float counts_scale =
        header->height_factor_1() * header->height_factor_3() * header->height_factor_2();
    const int32_t r = dat_phase_counts_per_cycle(header->phase_res());
    g.k = static_cast<double>(counts_scale) / r * 1000;

    // Refuse, before anything is written, any file whose heights, spacings or
    // derivatives could come out as inf or nan. Phase differences are below
    // 2^32 counts, so these bounds hold for every point.
    const double z_max = 4294967296.0 * std::fabs(g.k);
    bool finite = std::isfinite(g.k) && std::isfinite(z_max) && std::isfinite(g.delx) &&
                  std::isfinite(g.dely);
    if (finite && g.derivatives == GRID_SAG_DERIV_GRID) {
        const double dmax = 2 * z_max / std::fabs(g.delx) + 2 * z_max / std::fabs(g.dely) +
                            4 * z_max / std::fabs(4 * g.delx * g.dely);
        finite = std::isfinite(dmax);
    } else if (finite && g.cx > 0 && g.cy > 0) {
        const double d1 = 2 * z_max / (2 * kStep * std::min(g.cx, g.cy));
        const double dmax = d1 + 2 * d1 / (2 * kStep * g.cy);
        finite = std::isfinite(dmax);
    }
    if (!finite) return ERR_FP_OVERFLOW;

    char head[128];
    const int head_len =
        std::snprintf(head, sizeof head, "%d %d %.9g %.9g 0\n", columns, rows, g.delx, g.dely);

    PlatReplaceFile file{};
    FILE* out = file.open(path, "_gridsag");
    if (out == nullptr) return ERR_CANT_CREATE_FILE;

    int status = NO_ERROR;
    if (std::fwrite(head, 1, static_cast<size_t>(head_len), out) != static_cast<size_t>(head_len)) {
        status = ERR_CANT_CREATE_FILE;
    }
    if (status == NO_ERROR) {
        const int threads =
            options.threads > 0 ? std::min(options.threads, kMaxThreads) : default_threads();
        try {
            status = write_points(g, out, threads);
        } catch (const std::bad_alloc&) {
            status = ERR_NO_MEM;
        }
    }
    if (status != NO_ERROR) {
        file.abort();
        return status;
    }
    return file.commit() ? NO_ERROR : ERR_CANT_CREATE_FILE;
}

}  // namespace

int write_grid_sag_ex(const char* path, const HeaderRecord* header, const PhaseMatrix* matrix,
                      int rows, int columns, const GridSagOptions* options) {
    GridSagOptions defaults{};
    try {
        return export_grid(path, header, matrix, rows, columns,
                           options != nullptr ? *options : defaults);
    } catch (const std::bad_alloc&) {
        return ERR_NO_MEM;
    }
}

int write_grid_sag(const char* path, const HeaderRecord* header, const PhaseMatrix* matrix,
                   int rows, int columns) {
    return write_grid_sag_ex(path, header, matrix, rows, columns, nullptr);
}
