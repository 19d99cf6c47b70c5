#include "datafile/surface.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "common/alloc.h"
#include "common/status.h"

namespace {

// Allocation hooks that count live blocks and fail from the (n+1)-th
// allocation on, so tests can check both failure paths and leaks.
struct Probe {
    static inline int allowed = -1;  // allocations left before failing; -1 never fails
    static inline int live = 0;

    static bool refuse() {
        if (allowed == 0) return true;
        if (allowed > 0) --allowed;
        return false;
    }
    static void* alloc(size_t n) {
        if (refuse()) return nullptr;
        void* p = std::malloc(n ? n : 1);
        ++live;
        return p;
    }
    static void* realloc(void* p, size_t n) {
        if (refuse()) return nullptr;
        void* q = std::realloc(p, n ? n : 1);
        if (!p) ++live;
        return q;
    }
    static void* alloc_zeroed(size_t c, size_t s) {
        if (refuse()) return nullptr;
        void* p = std::calloc(c ? c : 1, s ? s : 1);
        ++live;
        return p;
    }
    static void free(void* p) {
        if (p) --live;
        std::free(p);
    }
};

class Hooks {
  public:
    explicit Hooks(int allowed = -1) {
        Probe::allowed = allowed;
        Probe::live = 0;
        previous_ = u_set_alloc_hooks(
            UAllocHooks{&Probe::alloc, &Probe::realloc, &Probe::alloc_zeroed, &Probe::free});
    }
    ~Hooks() { u_set_alloc_hooks(previous_); }
    void fail_from_now(int allowed = 0) { Probe::allowed = allowed; }
    int live() const { return Probe::live; }

  private:
    UAllocHooks previous_;
};

bool same(const Window& a, const Window& b) {
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

#define EXPECT_WINDOW(w, X, Y, W, H)                                               \
    EXPECT_TRUE(same(w, Window{static_cast<int16_t>(X), static_cast<int16_t>(Y),   \
                               static_cast<int16_t>(W), static_cast<int16_t>(H)})) \
        << (w).x << "," << (w).y << "," << (w).width << "," << (w).height

PhaseMatrix make_phase(Window w, int32_t value = INVALID_PHASE) {
    PhaseMatrix m;
    m.clear();
    m.window = w;
    EXPECT_EQ(m.alloc(), NO_ERROR);
    m.fill(value);
    return m;
}

int32_t& at(PhaseMatrix& m, int col, int row) {
    return m.matrix[(col - m.window.x) + (row - m.window.y) * m.window.width];
}

// ---------------------------------------------------------------------------
// Phase matrix storage

TEST(PhaseMatrixStorage, AllocResizeRelease) {
    Hooks hooks;
    PhaseMatrix m;
    m.clear();
    m.window = Window{3, 4, 0, 5};
    EXPECT_EQ(m.alloc(), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(m.matrix, nullptr);

    m.window = Window{3, 4, 6, 5};
    ASSERT_EQ(m.alloc(), NO_ERROR);
    EXPECT_EQ(m.size, 30u);
    ASSERT_NE(m.matrix, nullptr);

    // Smaller with keep_larger: same storage and size, new window.
    int32_t* before = m.matrix;
    EXPECT_EQ(m.resize(Window{0, 0, 2, 2}, true), NO_ERROR);
    EXPECT_EQ(m.matrix, before);
    EXPECT_EQ(m.size, 30u);
    EXPECT_WINDOW(m.window, 0, 0, 2, 2);
    // Without keep_larger: exactly the new count.
    EXPECT_EQ(m.resize(Window{0, 0, 2, 3}, false), NO_ERROR);
    EXPECT_EQ(m.size, 6u);
    EXPECT_EQ(m.resize(Window{1, 1, 10, 10}, true), NO_ERROR);
    EXPECT_EQ(m.size, 100u);
    EXPECT_EQ(hooks.live(), 1);

    // No elements: storage freed, nothing readable through the old window.
    EXPECT_EQ(m.resize(Window{0, 0, 0, 7}, true), NO_ERROR);
    EXPECT_EQ(m.matrix, nullptr);
    EXPECT_EQ(m.size, 0u);
    EXPECT_FALSE(m.has_storage());
    EXPECT_EQ(m.elem_ptr(m.window), nullptr);
    EXPECT_EQ(hooks.live(), 0);

    EXPECT_EQ(m.resize_aligned(Window{5, 5, 6, 6}), NO_ERROR);
    EXPECT_WINDOW(m.window, 4, 4, 8, 8);
    EXPECT_EQ(m.size, 64u);

    m.release();
    EXPECT_EQ(m.matrix, nullptr);
    EXPECT_EQ(m.size, 0u);
    EXPECT_WINDOW(m.window, 4, 4, 0, 0);
    EXPECT_EQ(hooks.live(), 0);
}

TEST(PhaseMatrixStorage, NegativeDimensionsAreOutOfRange) {
    Hooks hooks;
    PhaseMatrix m;
    m.clear();
    m.window = Window{0, 0, -4, -4};  // the product alone would look valid
    EXPECT_EQ(m.alloc(), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(m.matrix, nullptr);

    m.window = Window{0, 0, 4, 4};
    ASSERT_EQ(m.alloc(), NO_ERROR);
    int32_t* before = m.matrix;
    EXPECT_EQ(m.resize(Window{0, 0, -2, 3}, false), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(m.matrix, before);
    EXPECT_WINDOW(m.window, 0, 0, 4, 4);
    m.release();
    EXPECT_EQ(hooks.live(), 0);
}

TEST(PhaseMatrixStorage, AllocationFailureLeavesNoStorage) {
    Hooks hooks(0);
    PhaseMatrix m;
    m.clear();
    m.window = Window{1, 2, 8, 8};
    EXPECT_EQ(m.alloc(), ERR_NO_MEM);
    EXPECT_EQ(m.matrix, nullptr);
    EXPECT_EQ(m.size, 0u);
    EXPECT_WINDOW(m.window, 1, 2, 8, 8);

    hooks.fail_from_now(1);
    ASSERT_EQ(m.alloc(), NO_ERROR);
    EXPECT_EQ(m.resize(Window{0, 0, 100, 100}, true), ERR_NO_MEM);
    EXPECT_EQ(m.matrix, nullptr);
    EXPECT_EQ(m.size, 0u);
    EXPECT_FALSE(m.has_storage());
    EXPECT_EQ(hooks.live(), 0);
}

TEST(IntensityMatrixStorage, CountsEveryPlane) {
    Hooks hooks;
    IntensityMatrix m;
    m.clear();
    m.window = Window{0, 0, 10, 4};
    m.n_buckets = 0;
    EXPECT_EQ(m.alloc(), ERR_PARAM_OUT_OF_RANGE);
    m.n_buckets = 5;
    ASSERT_EQ(m.alloc(), NO_ERROR);
    EXPECT_EQ(m.size, 200u);

    EXPECT_EQ(m.resize(Window{0, 0, 10, 4}, 2, true), NO_ERROR);
    EXPECT_EQ(m.size, 200u);
    EXPECT_EQ(m.n_buckets, 2);
    EXPECT_EQ(m.resize(Window{2, 2, 3, 3}, 7, false), NO_ERROR);
    EXPECT_EQ(m.size, 63u);
    EXPECT_EQ(m.n_buckets, 7);
    EXPECT_WINDOW(m.window, 2, 2, 3, 3);

    m.release();
    EXPECT_EQ(m.n_buckets, 0);
    EXPECT_EQ(m.size, 0u);
    EXPECT_WINDOW(m.window, 2, 2, 0, 0);
    EXPECT_EQ(hooks.live(), 0);
}

TEST(IntensityMatrixStorage, CountBeyondSizeFieldAndFailures) {
    Hooks hooks;
    IntensityMatrix m;
    m.clear();
    // 32767^3 elements do not fit the uint32 size (nor 32-bit arithmetic).
    m.window = Window{0, 0, 32767, 32767};
    m.n_buckets = 32767;
    EXPECT_EQ(m.alloc(), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(m.matrix, nullptr);
    EXPECT_EQ(m.resize(m.window, 32767, false), ERR_PARAM_OUT_OF_RANGE);
    m.n_buckets = -3;
    m.window = Window{0, 0, 4, 4};
    EXPECT_EQ(m.alloc(), ERR_PARAM_OUT_OF_RANGE);

    hooks.fail_from_now();
    m.n_buckets = 3;
    EXPECT_EQ(m.alloc(), ERR_NO_MEM);
    EXPECT_EQ(m.size, 0u);
    EXPECT_EQ(m.n_buckets, 0);
    EXPECT_EQ(m.window.width, 0);
    EXPECT_EQ(m.window.height, 0);
    EXPECT_EQ(m.resize(Window{0, 0, 4, 4}, 2, false), ERR_NO_MEM);
    EXPECT_EQ(m.matrix, nullptr);
    EXPECT_EQ(m.n_buckets, 0);
    EXPECT_EQ(hooks.live(), 0);
}

// ---------------------------------------------------------------------------
// Element access

TEST(PhaseMatrixAccess, ElemPtrAndRowPtrs) {
    PhaseMatrix m = make_phase(Window{10, 20, 5, 4}, 0);
    for (int j = 0; j < 4; ++j)
        for (int i = 0; i < 5; ++i) m.matrix[i + j * 5] = 100 * j + i;

    EXPECT_EQ(*m.elem_ptr(Window{12, 21, 1, 1}), 102);
    std::vector<int32_t*> rows(4, nullptr);
    const Window sub{11, 21, 3, 3};
    m.row_ptrs(&sub, rows.data());
    EXPECT_EQ(rows[0][0], 101);
    EXPECT_EQ(rows[2][2], 303);
    m.row_ptrs(nullptr, rows.data());
    EXPECT_EQ(rows[3][4], 304);

    // Outside the window, or overhanging it: no address.
    EXPECT_EQ(m.elem_ptr(Window{9, 20, 1, 1}), nullptr);
    EXPECT_EQ(m.elem_ptr(Window{12, 22, 3, 3}), nullptr);
    const Window over{14, 21, 2, 2};
    rows.assign(4, reinterpret_cast<int32_t*>(&rows));
    m.row_ptrs(&over, rows.data());
    EXPECT_EQ(rows[0], nullptr);
    EXPECT_EQ(rows[1], nullptr);

    m.release();
    const Window own{10, 20, 2, 2};
    m.row_ptrs(&own, rows.data());
    EXPECT_EQ(rows[0], nullptr);
    m.fill(5);  // nothing to fill, no crash
}

TEST(PhaseMatrixAccess, CopyWindowChecksBothSides) {
    PhaseMatrix src = make_phase(Window{0, 0, 6, 5}, 0);
    for (int i = 0; i < 30; ++i) src.matrix[i] = i;

    PhaseMatrix dst = make_phase(Window{2, 1, 3, 2}, -1);
    ASSERT_EQ(src.copy_window(&dst), NO_ERROR);
    EXPECT_EQ(std::vector<int32_t>(dst.matrix, dst.matrix + 6),
              (std::vector<int32_t>{8, 9, 10, 14, 15, 16}));

    PhaseMatrix outside = make_phase(Window{4, 0, 3, 2}, -1);
    EXPECT_EQ(src.copy_window(&outside), ERR_IMPROPER_WINDOW);
    EXPECT_EQ(outside.matrix[0], -1);

    // A destination without storage, or with storage for a smaller window.
    PhaseMatrix bare;
    bare.clear();
    bare.window = Window{0, 0, 2, 2};
    EXPECT_EQ(src.copy_window(&bare), ERR_BAD_PARAM);
    PhaseMatrix small = make_phase(Window{0, 0, 2, 2}, -1);
    small.window = Window{0, 0, 4, 4};
    EXPECT_EQ(src.copy_window(&small), ERR_BAD_PARAM);
    EXPECT_EQ(src.copy_window(nullptr), ERR_INVALID_PARAM);

    src.release();
    EXPECT_EQ(src.copy_window(&dst), ERR_IMPROPER_WINDOW);
    dst.release();
    outside.release();
    small.release();
}

// ---------------------------------------------------------------------------
// Valid window and trimming

TEST(PhaseMatrixValid, TrimsToTheValidRectangle) {
    Hooks hooks;
    PhaseMatrix m = make_phase(Window{0, 0, 5, 5});
    at(m, 2, 1) = 7;
    at(m, 3, 3) = -9;
    at(m, 4, 4) = 0x7FFFFFFF;  // no data either
    Window v{};
    ASSERT_EQ(m.valid_window(nullptr, &v), NO_ERROR);
    EXPECT_WINDOW(v, 2, 1, 2, 3);

    ASSERT_EQ(m.trim_to_valid(), NO_ERROR);
    EXPECT_WINDOW(m.window, 2, 1, 2, 3);
    EXPECT_EQ(m.size, 6u);
    EXPECT_EQ(
        std::vector<int32_t>(m.matrix, m.matrix + 6),
        (std::vector<int32_t>{7, INVALID_PHASE, INVALID_PHASE, INVALID_PHASE, INVALID_PHASE, -9}));
    EXPECT_EQ(hooks.live(), 1);

    // Already trimmed: unchanged storage.
    int32_t* before = m.matrix;
    EXPECT_EQ(m.trim_to_valid(), NO_ERROR);
    EXPECT_EQ(m.matrix, before);
    m.release();
    EXPECT_EQ(hooks.live(), 0);
}

TEST(PhaseMatrixValid, NoValidDataAndBadSubWindows) {
    PhaseMatrix m = make_phase(Window{0, 0, 40, 3}, 0x7FFFFFF9);
    Window v{1, 1, 1, 1};
    EXPECT_EQ(m.valid_window(nullptr, &v), ERR_ALL_BAD_DATA);
    EXPECT_WINDOW(v, 0, 0, 0, 0);
    EXPECT_EQ(m.trim_to_valid(), ERR_ALL_BAD_DATA);
    EXPECT_EQ(m.size, 120u);

    at(m, 0, 0) = 1;  // valid, but outside the sub-window below
    const Window sub{1, 0, 39, 3};
    EXPECT_EQ(m.valid_window(&sub, &v), ERR_ALL_BAD_DATA);
    at(m, 39, 2) = 1;
    ASSERT_EQ(m.valid_window(&sub, &v), NO_ERROR);
    EXPECT_WINDOW(v, 39, 2, 1, 1);

    const Window overhang{30, 0, 11, 3};
    EXPECT_EQ(m.valid_window(&overhang, &v), ERR_IMPROPER_WINDOW);
    EXPECT_EQ(m.valid_window(nullptr, nullptr), ERR_INVALID_PARAM);

    m.release();
    EXPECT_EQ(m.valid_window(nullptr, &v), ERR_ALL_BAD_DATA);
    EXPECT_EQ(m.trim_to_valid(), ERR_ALL_BAD_DATA);
    PhaseMatrix empty;
    empty.clear();
    EXPECT_EQ(empty.trim_to_valid(), ERR_ALL_BAD_DATA);
}

// The scan skips what it already knows; compare with the plain definition.
TEST(PhaseMatrixValid, AgreesWithExhaustiveSearch) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 300; ++round) {
        const int16_t w = static_cast<int16_t>(1 + rng() % 70);
        const int16_t h = static_cast<int16_t>(1 + rng() % 40);
        PhaseMatrix m = make_phase(Window{static_cast<int16_t>(rng() % 50 - 25), 7, w, h});
        const int n_valid = static_cast<int>(rng() % 6);
        for (int k = 0; k < n_valid; ++k) m.matrix[rng() % m.size] = static_cast<int32_t>(rng());
        int top = h, bottom = -1, left = w, right = -1;
        for (int j = 0; j < h; ++j)
            for (int i = 0; i < w; ++i)
                if (phase_is_valid(m.matrix[i + j * w])) {
                    top = std::min(top, j);
                    bottom = std::max(bottom, j);
                    left = std::min(left, i);
                    right = std::max(right, i);
                }
        Window v{};
        int status = m.valid_window(nullptr, &v);
        if (bottom < 0) {
            EXPECT_EQ(status, ERR_ALL_BAD_DATA);
        } else {
            ASSERT_EQ(status, NO_ERROR);
            EXPECT_WINDOW(v, m.window.x + left, m.window.y + top, right - left + 1,
                          bottom - top + 1);
        }
        m.release();
    }
}

// Trimming needs no new storage: it still succeeds when memory runs out.
TEST(PhaseMatrixValid, TrimWithoutMemory) {
    Hooks hooks;
    PhaseMatrix m = make_phase(Window{0, 0, 8, 8});
    at(m, 3, 3) = 42;
    at(m, 5, 4) = 43;
    hooks.fail_from_now();
    ASSERT_EQ(m.trim_to_valid(), NO_ERROR);
    EXPECT_WINDOW(m.window, 3, 3, 3, 2);
    EXPECT_GE(m.size, 6u);
    EXPECT_EQ(
        std::vector<int32_t>(m.matrix, m.matrix + 6),
        (std::vector<int32_t>{42, INVALID_PHASE, INVALID_PHASE, INVALID_PHASE, INVALID_PHASE, 43}));
    m.release();
    EXPECT_EQ(hooks.live(), 0);
}

// ---------------------------------------------------------------------------
// sample_phase

struct Grid {
    std::vector<int32_t> data;
    std::vector<int32_t*> rows;
    Window win;
    Grid(int w, int h, std::initializer_list<int32_t> values) : data(values) {
        data.resize(static_cast<size_t>(w) * h, 0);
        for (int j = 0; j < h; ++j) rows.push_back(data.data() + j * w);
        win = Window{0, 0, static_cast<int16_t>(w), static_cast<int16_t>(h)};
    }
    int32_t sample(double x, double y) const {
        int32_t out = 12345;
        sample_phase(rows.data(), x, y, win, &out);
        return out;
    }
};

TEST(SamplePhase, ReferenceValues) {
    const Grid g(2, 2, {0, 4, 8, 12});
    EXPECT_EQ(g.sample(0.5, 0.5), 6);
    EXPECT_EQ(g.sample(0, 0), 0);
    EXPECT_EQ(g.sample(1, 0), 4);
    EXPECT_EQ(g.sample(1, 1), 12);
    EXPECT_EQ(g.sample(0.25, 0), 1);
    EXPECT_EQ(g.sample(1.5, 0), INVALID_PHASE);  // x1 beyond the last column
    EXPECT_EQ(g.sample(0, 1.0001), INVALID_PHASE);

    // A plane that is not through the corners: no cross term.
    const Grid saddle(2, 2, {0, 0, 0, 8});
    EXPECT_EQ(saddle.sample(0.5, 0.5), 2);
    EXPECT_EQ(saddle.sample(0.25, 0.25), 0);  // the plane gives 0, bilinear would give 0.5

    // Half away from zero: -2.5 -> -3, 2.5 -> 3.
    const Grid neg(2, 1, {-5, 0});
    EXPECT_EQ(neg.sample(0.5, 0), -3);
    const Grid pos(2, 1, {5, 0});
    EXPECT_EQ(pos.sample(0.5, 0), 3);
}

TEST(SamplePhase, NoDataAndUnreasonableCoordinates) {
    const Grid g(3, 3, {1, 2, 3, 4, INVALID_PHASE, 6, 7, 8, 0x7FFFFFFF});
    EXPECT_EQ(g.sample(0.5, 0.5), INVALID_PHASE);
    EXPECT_EQ(g.sample(2, 2), INVALID_PHASE);
    EXPECT_EQ(g.sample(0.2, 0), 1);

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (double bad : {nan, -nan, inf, -inf, -0.5, -1e-12, 1e300, -1e300, 3e9, 2.1}) {
        EXPECT_EQ(g.sample(bad, 0), INVALID_PHASE) << bad;
        EXPECT_EQ(g.sample(0, bad), INVALID_PHASE) << bad;
    }
    const Grid empty(1, 1, {5});
    int32_t out = 0;
    sample_phase(empty.rows.data(), 0, 0, Window{0, 0, 0, 0}, &out);
    EXPECT_EQ(out, INVALID_PHASE);
}

TEST(SamplePhase, LargeValuesDoNotOverflow) {
    // Sums of four such values overflow 32 bits; the result itself fits.
    const int32_t big = 2000000000;
    const Grid g(2, 2, {big, big, big, big});
    EXPECT_EQ(g.sample(0.5, 0.5), big);
    EXPECT_EQ(g.sample(0.9, 0.1), big);
    const Grid low(2, 2, {INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN});
    EXPECT_EQ(low.sample(0.5, 0.5), INT32_MIN);

    // The plane leaves the representable range: a point without data, not a
    // wrapped value.
    const int32_t top = INVALID_PHASE - 1;
    const Grid steep(2, 2, {INT32_MIN, top, top, top});
    EXPECT_EQ(steep.sample(1, 1), top);  // whole coordinates: the element itself
    EXPECT_EQ(steep.sample(0.999, 0.999), INVALID_PHASE);
    const Grid steep_down(2, 2, {top, INT32_MIN, INT32_MIN, INT32_MIN});
    EXPECT_EQ(steep_down.sample(0.999, 0.999), INVALID_PHASE);
}

// ---------------------------------------------------------------------------
// Other matrix members

TEST(ByteMatrix, BottomUpRowsWithPaddedStride) {
    Hooks hooks;
    ByteMatrix m;
    m.clear();
    m.window = Window{10, 20, 5, 3};
    ASSERT_EQ(m.alloc(), NO_ERROR);
    EXPECT_EQ(m.stride(), 8);
    EXPECT_EQ(m.size, 24u);
    EXPECT_EQ(m.elem_ptr(Window{10, 22, 1, 1}), m.matrix);       // last row first
    EXPECT_EQ(m.elem_ptr(Window{11, 20, 1, 1}), m.matrix + 17);  // first row last
    EXPECT_EQ(m.elem_ptr(Window{15, 20, 1, 1}), nullptr);

    // A failed resize puts the old window back, without storage.
    hooks.fail_from_now();
    EXPECT_EQ(m.resize(Window{0, 0, 100, 100}, false), ERR_NO_MEM);
    EXPECT_WINDOW(m.window, 10, 20, 5, 3);
    EXPECT_EQ(m.matrix, nullptr);
    EXPECT_EQ(m.size, 0u);
    EXPECT_EQ(m.elem_ptr(Window{10, 20, 1, 1}), nullptr);
    hooks.fail_from_now(-1);
    EXPECT_EQ(m.resize(Window{1, 1, 0, 9}, false), NO_ERROR);
    EXPECT_WINDOW(m.window, 10, 20, 5, 3);
    EXPECT_EQ(m.resize(Window{1, 1, 1, 9}, false), NO_ERROR);
    EXPECT_EQ(m.size, 36u);
    m.release();
    EXPECT_EQ(hooks.live(), 0);
}

TEST(ShortMatrix, FillWindow) {
    Hooks hooks;
    ShortMatrix m;
    m.clear();
    m.window = Window{1, 1, 4, 3};
    ASSERT_EQ(m.alloc(), NO_ERROR);
    m.fill(0);
    const Window sub{2, 2, 2, 2};
    ASSERT_EQ(fill_window(&m, &sub, 7), NO_ERROR);
    EXPECT_EQ(std::vector<int16_t>(m.matrix, m.matrix + 12),
              (std::vector<int16_t>{0, 0, 0, 0, 0, 7, 7, 0, 0, 7, 7, 0}));
    const Window outside{3, 2, 3, 1};
    EXPECT_EQ(fill_window(&m, &outside, 1), ERR_IMPROPER_WINDOW);
    EXPECT_EQ(fill_window(&m, nullptr, 1), ERR_BAD_PARAM);
    EXPECT_EQ(fill_window(nullptr, &sub, 1), ERR_BAD_PARAM);
    m.release();
    EXPECT_EQ(fill_window(&m, &sub, 1), ERR_BAD_PARAM);

    hooks.fail_from_now();
    m.window = Window{0, 0, 4, 4};
    EXPECT_EQ(m.alloc(), ERR_NO_MEM);
    EXPECT_WINDOW(m.window, 0, 0, 0, 0);
}

TEST(WideMatrices, ZeroedAllocAndAlignedResize) {
    Hooks hooks;
    Matrix32 a;
    a.clear();
    a.window = Window{0, 0, 7, 3};
    ASSERT_EQ(a.alloc_zeroed(), NO_ERROR);
    EXPECT_EQ(a.size, 21u);
    for (uint32_t i = 0; i < a.size; ++i) EXPECT_EQ(a.matrix[i], 0);
    a.release();
    a.window = Window{0, 0, 0, 3};
    EXPECT_EQ(a.alloc_zeroed(), NO_ERROR);  // no zero-count refusal, but no storage either
    EXPECT_EQ(a.matrix, nullptr);
    EXPECT_EQ(a.alloc(), ERR_PARAM_OUT_OF_RANGE);

    Matrix64 b;
    b.clear();
    ASSERT_EQ(b.resize_aligned(Window{1, 2, 2, 1}), NO_ERROR);
    EXPECT_WINDOW(b.window, 0, 0, 4, 4);
    EXPECT_EQ(b.size, 16u);
    EXPECT_EQ(b.resize_aligned(Window{0, 0, 2, 2}), NO_ERROR);
    EXPECT_EQ(b.size, 16u);  // kept larger
    hooks.fail_from_now();
    b.release();
    b.window = Window{0, 0, 3, 3};
    EXPECT_EQ(b.alloc_zeroed(), ERR_NO_MEM);
    EXPECT_EQ(b.size, 0u);
    EXPECT_EQ(hooks.live(), 0);
}

TEST(CompactMatrix, ResizeToNothingClearsDimensions) {
    Hooks hooks;
    CompactMatrix m;
    m.clear();
    m.width = 3;
    m.height = 2;
    ASSERT_EQ(m.alloc(), NO_ERROR);
    EXPECT_EQ(m.resize(5, 5, true), NO_ERROR);
    EXPECT_EQ(m.size, 25u);
    EXPECT_EQ(m.resize(0, 5, true), NO_ERROR);
    EXPECT_EQ(m.width, 0);
    EXPECT_EQ(m.height, 0);
    EXPECT_EQ(m.matrix, nullptr);
    hooks.fail_from_now();
    EXPECT_EQ(m.resize(2, 2, true), ERR_NO_MEM);
    EXPECT_EQ(m.width, 0);
    EXPECT_EQ(hooks.live(), 0);
}

// ---------------------------------------------------------------------------
// Vectors

TEST(Vectors, AllocResizeRelease) {
    Hooks hooks;
    Vector8 v;
    v.clear();
    EXPECT_EQ(v.alloc(), ERR_PARAM_OUT_OF_RANGE);
    v.count = -1;
    EXPECT_EQ(v.alloc(), ERR_PARAM_OUT_OF_RANGE);
    v.count = 4;
    ASSERT_EQ(v.alloc(), NO_ERROR);
    EXPECT_EQ(v.capacity, 4);
    v.elems[3] = FloatPair{1.5f, 2.5f};

    FloatPair* before = v.elems;
    EXPECT_EQ(v.resize(2, true), NO_ERROR);
    EXPECT_EQ(v.elems, before);
    EXPECT_EQ(v.capacity, 4);
    EXPECT_EQ(v.count, 2);
    EXPECT_EQ(v.resize(3, false), NO_ERROR);
    EXPECT_EQ(v.capacity, 3);
    EXPECT_EQ(v.count, 3);
    EXPECT_EQ(v.resize(-2, false), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(v.count, 3);

    hooks.fail_from_now();
    EXPECT_EQ(v.resize(10, false), ERR_NO_MEM);
    EXPECT_EQ(v.capacity, 0);
    EXPECT_EQ(v.elems, nullptr);
    EXPECT_EQ(v.count, 3);
    hooks.fail_from_now(-1);

    EXPECT_EQ(v.resize(0, true), NO_ERROR);
    EXPECT_EQ(v.count, 0);
    Vector12P w;
    w.clear();
    EXPECT_EQ(w.resize(5, true), NO_ERROR);
    w.release();
    EXPECT_EQ(w.count, 0);
    EXPECT_EQ(w.capacity, 0);
    EXPECT_EQ(hooks.live(), 0);
}

TEST(Vectors, PtrVectorFreesItsItems) {
    Hooks hooks;
    PtrVector v;
    v.clear();
    EXPECT_EQ(v.alloc(), ERR_PARAM_OUT_OF_RANGE);
    v.count = 3;
    ASSERT_EQ(v.alloc(), NO_ERROR);
    EXPECT_EQ(v.elems[1], nullptr);
    v.elems[0] = u_alloc(10);
    v.elems[2] = u_alloc(20);
    EXPECT_EQ(hooks.live(), 3);
    v.release();
    EXPECT_EQ(v.count, 0);
    EXPECT_EQ(hooks.live(), 0);

    hooks.fail_from_now();
    v.count = 3;
    EXPECT_EQ(v.alloc(), ERR_NO_MEM);
    EXPECT_EQ(v.count, 0);
}

// ---------------------------------------------------------------------------
// Frame store

TEST(FrameStore, SingleAllocationLayout) {
    Hooks hooks;
    FrameStore s{};
    ASSERT_EQ(fs_setup(&s, Window{5, 3, 6, 2}, 3, 2, 1), NO_ERROR);
    EXPECT_WINDOW(s.stored, 4, 0, 8, 8);
    EXPECT_WINDOW(s.window, 5, 3, 6, 2);
    EXPECT_WINDOW(s.alloc_win, 8, 0, 16, 16);
    EXPECT_EQ(s.alloc_blocksize, 128);
    EXPECT_EQ(s.alloc_size, 384);
    EXPECT_EQ(s.alloc_blocks, 3);
    EXPECT_EQ(s.alloc_elem_size, 2);
    EXPECT_EQ(s.table_size, 3);
    EXPECT_EQ(s.blocksize, 24);
    EXPECT_EQ(s.size, 72);
    EXPECT_EQ(s.n_blocks, 3);
    EXPECT_EQ(s.qsize, 3);
    EXPECT_EQ(s.n_buckets, 3);
    EXPECT_EQ(s.blocks[0], s.matrix);
    EXPECT_EQ(s.blocks[2], s.matrix + 256);
    EXPECT_EQ(hooks.live(), 2);

    uint8_t* rows[4] = {};
    const Window sub{6, 4, 2, 2};
    ASSERT_EQ(fs_row_ptrs(&s, &sub, 1, rows), NO_ERROR);
    EXPECT_EQ(rows[0], s.matrix + 128 + (6 - 4) * 2 + (4 - 0) * 16);
    EXPECT_EQ(rows[1], rows[0] + 16);
    ASSERT_EQ(fs_row_ptrs(&s, nullptr, 0, rows), NO_ERROR);
    EXPECT_EQ(rows[0], s.matrix + 2 + 3 * 16);
    const Window outside{2, 0, 4, 1};
    EXPECT_EQ(fs_row_ptrs(&s, &outside, 0, rows), ERR_IMPROPER_WINDOW);
    EXPECT_EQ(fs_row_ptrs(&s, nullptr, 3, rows), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(fs_row_ptrs(&s, nullptr, -1, rows), ERR_PARAM_OUT_OF_RANGE);

    std::memset(s.matrix, 0xAB, 384);
    fs_clear_data(&s);
    for (int i = 0; i < 384; ++i) ASSERT_EQ(s.matrix[i], 0);

    fs_release(&s);
    EXPECT_EQ(s.matrix, nullptr);
    EXPECT_EQ(s.alloc_size, 0);
    EXPECT_EQ(s.stored.width, 0);
    EXPECT_EQ(hooks.live(), 0);
    EXPECT_EQ(fs_row_ptrs(&s, nullptr, 0, rows), ERR_INVALID_PARAM);
    fs_release(nullptr);
    fs_clear_data(nullptr);
}

TEST(FrameStore, SeparateBlocks) {
    Hooks hooks;
    FrameStore s{};
    s.separate_blocks = 1;
    ASSERT_EQ(fs_setup(&s, Window{0, 0, 4, 4}, 3, 1, 1), NO_ERROR);
    EXPECT_EQ(hooks.live(), 4);
    EXPECT_EQ(s.matrix, s.blocks[0]);
    uint8_t* rows[4] = {};
    ASSERT_EQ(fs_row_ptrs(&s, nullptr, 2, rows), NO_ERROR);
    EXPECT_EQ(rows[3], s.blocks[2] + 12);
    std::memset(s.blocks[2], 1, 16);
    fs_clear_data(&s);
    EXPECT_EQ(s.blocks[2][15], 0);

    // More blocks than allocated: set up afresh; fewer with keep_larger: reused.
    ASSERT_EQ(fs_resize(&s, Window{0, 0, 4, 4}, 5, 1, 1, true), NO_ERROR);
    EXPECT_EQ(s.alloc_blocks, 5);
    EXPECT_EQ(hooks.live(), 6);
    uint8_t* first = s.blocks[0];
    ASSERT_EQ(fs_resize(&s, Window{0, 0, 2, 2}, 2, 1, 1, true), NO_ERROR);
    EXPECT_EQ(s.blocks[0], first);
    EXPECT_EQ(s.n_blocks, 2);
    EXPECT_EQ(s.blocksize, 4);
    EXPECT_EQ(s.alloc_blocks, 5);
    fs_release(&s);
    EXPECT_EQ(hooks.live(), 0);

    // A failure part way through the blocks frees the ones already taken.
    hooks.fail_from_now(2);
    EXPECT_EQ(fs_setup(&s, Window{0, 0, 4, 4}, 3, 1, 1), ERR_NO_MEM);
    EXPECT_EQ(s.matrix, nullptr);
    EXPECT_EQ(s.blocks, nullptr);
    EXPECT_EQ(hooks.live(), 0);
}

TEST(FrameStore, ResizeReusesOrReallocates) {
    Hooks hooks;
    FrameStore s{};
    ASSERT_EQ(fs_resize(&s, Window{0, 0, 8, 8}, 2, 1, 1, true), NO_ERROR);
    uint8_t* storage = s.matrix;
    EXPECT_EQ(s.alloc_size, 128);

    // Same bytes in another shape, more blocks: only the table grows.
    ASSERT_EQ(fs_resize(&s, Window{0, 0, 4, 8}, 4, 1, 1, false), NO_ERROR);
    EXPECT_EQ(s.matrix, storage);
    EXPECT_EQ(s.table_size, 4);
    EXPECT_EQ(s.blocks[3], s.matrix + 96);
    EXPECT_EQ(s.size, 128);

    // A failed table growth leaves the store as it was.
    hooks.fail_from_now();
    EXPECT_EQ(fs_resize(&s, Window{0, 0, 4, 4}, 8, 1, 1, true), ERR_NO_MEM);
    EXPECT_EQ(s.n_blocks, 4);
    EXPECT_EQ(s.matrix, storage);
    EXPECT_EQ(s.blocks[3], s.matrix + 96);
    hooks.fail_from_now(-1);

    ASSERT_EQ(fs_resize(&s, Window{0, 0, 4, 4}, 1, 1, 1, true), NO_ERROR);
    EXPECT_EQ(s.matrix, storage);
    EXPECT_EQ(s.alloc_size, 128);
    ASSERT_EQ(fs_resize(&s, Window{0, 0, 4, 4}, 1, 1, 1, false), NO_ERROR);
    EXPECT_EQ(s.alloc_size, 16);

    EXPECT_EQ(fs_resize(&s, Window{0, 0, 0, 4}, 1, 1, 1, true), NO_ERROR);
    EXPECT_EQ(s.matrix, nullptr);
    EXPECT_EQ(hooks.live(), 0);
    EXPECT_EQ(fs_resize(nullptr, Window{0, 0, 4, 4}, 1, 1, 1, true), ERR_INVALID_PARAM);
    EXPECT_EQ(fs_resize(&s, Window{0, 0, 4, 4}, 1, 0, 1, true), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(fs_resize(&s, Window{0, 0, 4, 4}, 1, 1, 0, true), ERR_PARAM_OUT_OF_RANGE);
}

TEST(FrameStore, SizesBeyondInt32AreRefused) {
    Hooks hooks;
    FrameStore s{};
    EXPECT_EQ(fs_setup(nullptr, Window{0, 0, 4, 4}, 1, 1, 1), ERR_INVALID_PARAM);
    EXPECT_EQ(fs_setup(&s, Window{0, 0, 4, 4}, 0, 1, 1), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(fs_setup(&s, Window{0, 0, 4, 4}, 1, 0, 1), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(fs_setup(&s, Window{0, 0, 4, 4}, 1, 1, 0), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(fs_setup(&s, Window{0, 0, 0, 4}, 1, 1, 1), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(fs_setup(&s, Window{2, 0, -1, 4}, 1, 1, 1), ERR_PARAM_OUT_OF_RANGE);
    // 4096 x 4096 x 8 bytes x 16 blocks = 2 GiB: one byte too many for int32.
    EXPECT_EQ(fs_setup(&s, Window{0, 0, 4096, 4096}, 16, 8, 1), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(fs_resize(&s, Window{0, 0, 4096, 4096}, 16, 8, 1, true), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(fs_setup(&s, Window{0, 0, 32767, 32767}, 1, 4, 1), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(s.matrix, nullptr);
    EXPECT_EQ(hooks.live(), 0);

    hooks.fail_from_now(1);  // the table, then not the storage
    EXPECT_EQ(fs_setup(&s, Window{0, 0, 4, 4}, 2, 1, 1), ERR_NO_MEM);
    EXPECT_EQ(s.blocks, nullptr);
    EXPECT_EQ(s.table_size, 0);
    EXPECT_EQ(hooks.live(), 0);
}

// ---------------------------------------------------------------------------
// Typed buffers and row tables

TEST(TypedBuffer, SizesAndNoDataValues) {
    Hooks hooks;
    // Element size and the bits of the no-data cell (little-endian), per type code.
    const struct {
        int32_t size;
        uint64_t no_data;
    } table[] = {{1, 0x7F},       {1, 0xFF},
                 {2, 0x7FFF},     {2, 0xFFFF},
                 {4, 0x7FFFFFFF}, {4, 0xFFFFFFFF},
                 {4, 0x7FFFFFFF}, {4, 0xFFFFFFFF},
                 {4, 0x7F7FFFFF}, {8, 0x7FF0000000000000}};
    for (int32_t type = 0; type <= 9; ++type) {
        TypedBuffer* b = tb_create(5, type);
        ASSERT_NE(b, nullptr) << type;
        EXPECT_EQ(b->elem_size, table[type].size);
        uint64_t bits = 0;
        std::memcpy(&bits, b->no_data, static_cast<size_t>(b->elem_size));
        EXPECT_EQ(bits, table[type].no_data) << type;
        EXPECT_EQ(b->count, 5);
        EXPECT_EQ(b->requested, 5);
        EXPECT_EQ(b->flag, 0);
        tb_destroy(b);
    }
    TypedBuffer* b = tb_create_zeroed(100, TB_FLOAT64);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(static_cast<double*>(b->data)[i], 0.0);
    tb_destroy(b);

    EXPECT_EQ(tb_create(0, TB_INT8), nullptr);
    EXPECT_EQ(tb_create(-4, TB_INT8), nullptr);
    EXPECT_EQ(tb_create(4, 10), nullptr);
    EXPECT_EQ(tb_create(4, -1), nullptr);
    tb_destroy(nullptr);
    EXPECT_EQ(hooks.live(), 0);
}

TEST(TypedBuffer, EveryAllocationFailureFreesTheRest) {
    Hooks hooks;
    for (int allowed = 0; allowed < 3; ++allowed) {
        hooks.fail_from_now(allowed);
        EXPECT_EQ(tb_create(8, TB_INT16), nullptr);
        EXPECT_EQ(tb_create_zeroed(8, TB_INT16), nullptr);
        EXPECT_EQ(hooks.live(), 0) << allowed;
    }
    for (int allowed = 0; allowed < 4; ++allowed) {
        hooks.fail_from_now(allowed);
        EXPECT_EQ(ti_create(3, 2, TB_UINT8), nullptr);
        EXPECT_EQ(hooks.live(), 0) << allowed;
    }
}

TEST(TypedImage, RowsAddressTheStorage) {
    Hooks hooks;
    TypedImage* im = ti_create_zeroed(3, 4, TB_INT16);
    ASSERT_NE(im, nullptr);
    EXPECT_EQ(im->width, 3);
    EXPECT_EQ(im->height, 4);
    EXPECT_EQ(im->x, 0);
    EXPECT_EQ(im->n_elems, 12);
    EXPECT_EQ(im->count, 12);
    EXPECT_EQ(im->elem_size, 2);
    EXPECT_EQ(im->rows[0], im->data);
    EXPECT_EQ(im->rows[3], static_cast<uint8_t*>(im->data) + 18);
    EXPECT_EQ(static_cast<int16_t*>(im->rows[3])[2], 0);
    ti_destroy(im);
    EXPECT_EQ(ti_create(0, 4, TB_INT8), nullptr);
    EXPECT_EQ(ti_create(4, -1, TB_INT8), nullptr);
    EXPECT_EQ(ti_create(40000, 1, TB_INT8), nullptr);
    EXPECT_EQ(ti_create(4, 4, 11), nullptr);
    ti_destroy(nullptr);
    EXPECT_EQ(hooks.live(), 0);
}

TEST(RowTable, OneBlockOfPointersAndRows) {
    Hooks hooks;
    void** t = alloc_row_table(3, 5, 4);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(hooks.live(), 1);
    EXPECT_EQ(t[0], static_cast<void*>(t + 3));
    EXPECT_EQ(t[2], static_cast<uint8_t*>(t[0]) + 40);
    std::memset(t[2], 0x5A, 20);  // the last row is writable (sanitizers check the bounds)
    u_free(t);
    EXPECT_EQ(alloc_row_table(0, 5, 4), nullptr);
    EXPECT_EQ(alloc_row_table(3, 0, 4), nullptr);
    EXPECT_EQ(alloc_row_table(3, 5, -4), nullptr);
    hooks.fail_from_now();
    EXPECT_EQ(alloc_row_table(3, 5, 4), nullptr);
    EXPECT_TRUE(is_multiple_of_4(0));
    EXPECT_TRUE(is_multiple_of_4(-8));
    EXPECT_FALSE(is_multiple_of_4(6));
    EXPECT_EQ(hooks.live(), 0);
}

}  // namespace
