// The surface data model: windows in camera coordinates and the matrices,
// vectors, frame stores and typed buffers that hold image data.
//
// Every object is a plain structure that is empty when zeroed (`clear`), owns
// its storage (taken through the allocation hooks of common/alloc.h) and frees
// it in `release`. Operations return status codes of common/status.h.
//
// Element counts are worked out in 64 bits: a count that is negative or does
// not fit the field that stores it is ERR_PARAM_OUT_OF_RANGE. A failed
// allocation is ERR_NO_MEM and leaves the object without storage. Operations
// that read or write elements check that the storage covers the window first.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

// Phase values from INVALID_PHASE up to 0x7FFFFFFF are points without data.
constexpr int32_t INVALID_PHASE = 0x7FFFFFF8;

inline bool phase_is_valid(int32_t v) {
    return v < INVALID_PHASE;
}

// A rectangle in camera (full-frame) coordinates; right = x + width - 1 and
// bottom = y + height - 1, both inclusive. Arithmetic on it is 32-bit.
struct Window {
    int16_t x;
    int16_t y;
    int16_t width;
    int16_t height;
};

// The size of a camera frame.
struct FrameSize {
    int16_t width;
    int16_t height;
};

// ---------------------------------------------------------------------------
// Window operations

// Relation of window a to window b.
enum WindowRelation : int {
    WN_DISJOINT = 1,
    WN_EQUAL = 2,
    WN_OVERLAP = 3,
    WN_INSIDE = 4,    // a lies inside b, not equal
    WN_CONTAINS = 5,  // a contains b, not equal
};

int wn_compare(const Window& a, const Window& b);

// True when sub lies in win (WN_INSIDE or WN_EQUAL).
inline bool wn_lies_in(const Window& sub, const Window& win) {
    int r = wn_compare(sub, win);
    return r == WN_INSIDE || r == WN_EQUAL;
}

// The common part of a and b into out (when present); ERR_WINDOWS_DISJOINT
// with out untouched when they have none.
int wn_intersect(const Window& a, const Window& b, Window* out);

// Widen a window in place so that its first and one-past-last columns (rows)
// are multiples of 4. An absent window is ignored.
void wn_align4_x(Window* w);
void wn_align4_y(Window* w);

// Map win, given in the pixel grid of from_frame, onto to_frame, whose size is
// an integer multiple or divisor of it (only the frames' width and height are
// used). Factors (when present) are negative when the target is coarser.
// ERR_INVALID_PARAM without a frame, ERR_IMPROPER_WINDOW when the frames are
// not related by integer factors or have no pixels.
int wn_map_window(const Window* from_frame, const Window* win, const Window* to_frame, Window* out,
                  int* x_factor, int* y_factor);

// Split a frame at column split_x (0 or less: the middle) into a left and a
// right window with a gap of `gap` columns between them. ERR_INVALID_PARAM
// without a frame size; ERR_PARAM_OUT_OF_RANGE for a split outside the
// frame's middle half.
int wn_split_x(const FrameSize* frame_size, int split_x, int gap, Window* left, Window* right);

// ---------------------------------------------------------------------------
// The matrix family. Elements are stored row by row from the window's top row
// with a stride of `width` unless said otherwise.

// Measured phase, one int32 per point, row by row with a stride of `width`.
struct PhaseMatrix {
    uint32_t size;  // elements the storage holds; 0 without storage
    Window window;
    int32_t* matrix;

    void clear();
    int alloc();
    int resize(const Window& win, bool keep_larger);
    // The window widened to 4-aligned edges; the storage is kept when larger.
    int resize_aligned(const Window& win);
    void release();
    // Address of the element at (sub.x, sub.y); null when sub does not lie in
    // the window or there is no storage.
    int32_t* elem_ptr(const Window& sub) const;
    void fill(int32_t value);
    // rows[i] = address of (sub.x, sub.y + i) for i < sub.height; null sub = own window.
    // When sub does not lie in the window or there is no storage, rows[i] = null.
    void row_ptrs(const Window* sub, int32_t** rows) const;
    int copy_window(PhaseMatrix* dst) const;
    int valid_window(const Window* sub, Window* out) const;
    int trim_to_valid();
    bool has_storage() const;  // storage covers the whole window
};

// Camera intensity: n_buckets planes of width x height int16 values.
struct IntensityMatrix {
    uint32_t size;
    Window window;
    int16_t n_buckets;
    int16_t intens_param;  // carried, not interpreted
    int16_t* matrix;

    void clear();
    int alloc();
    int resize(const Window& win, int16_t n_buckets, bool keep_larger);
    void release();
};

// A 16-bit image (masks, filtered intensity).
struct ShortMatrix {
    uint32_t size;
    Window window;
    int16_t* matrix;

    void clear();
    int alloc();
    int resize(const Window& win, bool keep_larger);
    void release();
    int16_t* elem_ptr(const Window& sub) const;  // null outside the window or without storage
    void fill(int16_t value);
    bool has_storage() const;
};

// Write value into every element of sub. ERR_BAD_PARAM without a matrix,
// storage or sub; ERR_IMPROPER_WINDOW when sub does not lie in the window.
int fill_window(ShortMatrix* matrix, const Window* sub, int16_t value);

// An 8-bit image stored bottom-up (the last row first) with rows padded to a
// multiple of 4 bytes, the layout of a device-independent bitmap.
struct ByteMatrix {
    uint32_t size;  // bytes: stride() x height
    Window window;
    uint8_t* matrix;

    void clear();
    int alloc();
    int resize(const Window& win, bool keep_larger);
    void release();
    int32_t stride() const { return (window.width + 3) & ~3; }
    uint8_t* elem_ptr(const Window& sub) const;  // null outside the window or without storage
    bool has_storage() const;
};

// A 32-bit image of signed values (labels, counts, sums).
struct Matrix32 {
    uint32_t size;
    Window window;
    int32_t* matrix;

    void clear();
    int alloc();
    int alloc_zeroed();
    int resize(const Window& win, bool keep_larger);
    void release();
};

// A 64-bit image of signed values (accumulated sums).
struct Matrix64 {
    uint32_t size;
    Window window;
    int64_t* matrix;

    void clear();
    int alloc();
    int alloc_zeroed();
    int resize(const Window& win, bool keep_larger);
    int resize_aligned(const Window& win);
    void release();
};

// A 32-bit image without a position.
struct CompactMatrix {
    uint32_t size;
    int16_t width;
    int16_t height;
    int32_t* matrix;

    void clear();
    int alloc();
    int resize(int16_t width, int16_t height, bool keep_larger);
    void release();
};

// One coordinate of a sampling position: the two neighbouring element
// indexes (equal when the position is whole) and the offset from the middle of
// the pair. `inside` is false when the position is outside [0, size - 1]
// (NaN included).
struct PhaseAxis {
    bool inside;
    int lo;
    int hi;
    double offset;
};

inline PhaseAxis phase_axis(double v, int size) {
    PhaseAxis a{false, 0, 0, 0.0};
    // Written so that NaN fails; the upper bound keeps the int conversion in range.
    if (!(v >= 0.0) || !(v <= size - 1.0)) return a;
    a.inside = true;
    a.lo = static_cast<int>(v);
    a.hi = a.lo + (v > a.lo ? 1 : 0);
    a.offset = v - a.lo - 0.5;
    return a;
}

// The rounded plane through four valid corner values p (lo, lo), q (hi, lo),
// r (lo, hi) and s (hi, hi), at the axis offsets ox and oy; false when the
// value does not fit below INVALID_PHASE.
inline bool phase_plane(int64_t p, int64_t q, int64_t r, int64_t s, double ox, double oy,
                        int32_t* out) {
    // Sums in 64 bits: valid 32-bit values can overflow 32-bit sums.
    const double v = (static_cast<double>(s + r - q - p) * oy +
                      static_cast<double>(s + q - r - p) * ox) *
                         0.5 +
                     static_cast<double>(p + q + r + s) / 4.0;
    // |v| stays within a few times 2^31, so the conversion truncates exactly
    // (and, unlike std::trunc, needs no library call).
    const int64_t rounded = static_cast<int64_t>(v >= 0.0 ? v + 0.5 : v - 0.5);
    if (rounded < INT32_MIN || rounded >= INVALID_PHASE) return false;
    *out = static_cast<int32_t>(rounded);
    return true;
}

// The phase at the position given by two axes (see sample_phase); false, with
// *out left alone, when the position has no data.
inline bool sample_phase_at(int32_t* const* rows, const PhaseAxis& ax, const PhaseAxis& ay,
                            int32_t* out) {
    if (!ax.inside || !ay.inside) return false;
    const int64_t p = rows[ay.lo][ax.lo];
    const int64_t q = rows[ay.lo][ax.hi];
    const int64_t r = rows[ay.hi][ax.lo];
    const int64_t s = rows[ay.hi][ax.hi];
    if (p >= INVALID_PHASE || q >= INVALID_PHASE || r >= INVALID_PHASE || s >= INVALID_PHASE) {
        return false;
    }
    return phase_plane(p, q, r, s, ax.offset, ay.offset, out);
}

// The phase at a fractional position (x along a row, y across rows, both in
// elements from rows[0][0]) from the four surrounding points: the
// least-squares plane through them, rounded half away from zero, or
// INVALID_PHASE when the position is outside win.width x win.height or a
// corner has no data, or the value does not fit below INVALID_PHASE.
inline void sample_phase(int32_t* const* rows, double x, double y, const Window& win,
                         int32_t* out) {
    *out = INVALID_PHASE;
    sample_phase_at(rows, phase_axis(x, win.width), phase_axis(y, win.height), out);
}

// ---------------------------------------------------------------------------
// The vector family: one-dimensional arrays of `capacity` elements, `count`
// of them in use.

template <typename T>
struct VectorOf {
    int32_t capacity;  // elements the storage holds
    int32_t count;     // elements in use
    T* elems;

    void clear();
    int alloc();  // storage for `count` elements
    int resize(int32_t n, bool keep_larger);
    void release();
};

// Element records of the 8- and 12-byte vectors.
struct FloatPair {  // a position and its value (zoom calibration), or x and y
    float x;
    float y;
};
struct IntPair {  // pixel coordinates
    int32_t x;
    int32_t y;
};
struct IntTriple {  // camera geometry: x, y and a size or code
    int32_t a;
    int32_t b;
    int32_t c;
};
struct FloatTriple {
    float a;
    float b;
    float c;
};
struct PointValue {  // a pixel and a value there (wave monitor records)
    int32_t x;
    int32_t y;
    float value;
};

static_assert(sizeof(FloatPair) == 8 && sizeof(IntPair) == 8);
static_assert(sizeof(IntTriple) == 12 && sizeof(FloatTriple) == 12 && sizeof(PointValue) == 12);

using Vector1 = VectorOf<uint8_t>;  // byte buffers
using Vector2 = VectorOf<int16_t>;
using Vector4 = VectorOf<int32_t>;
using Vector4F = VectorOf<float>;
using Vector8 = VectorOf<FloatPair>;
using Vector8I = VectorOf<IntPair>;
using Vector8D = VectorOf<double>;
using Vector12 = VectorOf<IntTriple>;
using Vector12F = VectorOf<FloatTriple>;
using Vector12P = VectorOf<PointValue>;

extern template struct VectorOf<uint8_t>;
extern template struct VectorOf<int16_t>;
extern template struct VectorOf<int32_t>;
extern template struct VectorOf<float>;
extern template struct VectorOf<FloatPair>;
extern template struct VectorOf<IntPair>;
extern template struct VectorOf<double>;
extern template struct VectorOf<IntTriple>;
extern template struct VectorOf<FloatTriple>;
extern template struct VectorOf<PointValue>;

// A table of owned pointers (taken with u_alloc); release frees every present
// item, then the table.
struct PtrVector {
    int32_t count;
    void** elems;

    void clear();
    int alloc();  // a zero-filled table of `count` entries
    void release();
};

// ---------------------------------------------------------------------------
// Frame store: n_blocks frames of one window for multi-frame acquisition.
// Set separate_blocks before fs_setup to give each frame its own allocation.

struct FrameStore {
    int32_t alloc_size;       // bytes allocated in all
    Window alloc_win;         // stored, every field multiplied by elem_size
    int32_t alloc_blocks;     // blocks allocated
    int32_t alloc_blocksize;  // bytes per allocated block
    int32_t alloc_elem_size;  // element size the storage was allocated for
    int32_t table_size;       // entries of the block table
    int32_t separate_blocks;  // non-zero: one allocation per block
    int32_t elem_size;        // bytes per pixel
    int32_t elem_res;         // resolution attribute, carried for the user
    int32_t size;             // n_blocks x blocksize
    int32_t blocksize;        // window.width x window.height x elem_size
    int32_t n_blocks;         // frames in use
    Window window;            // the requested window
    Window stored;            // window with 4-aligned edges: the storage layout
    uint8_t* matrix;          // first block, or the single allocation
    uint8_t** blocks;         // address of each block
    int32_t qsize;            // equals n_blocks
    int16_t n_buckets;        // equals n_blocks
};

int fs_setup(FrameStore* store, const Window& window, int32_t n_blocks, int32_t elem_size,
             int32_t elem_res);
int fs_resize(FrameStore* store, const Window& window, int32_t n_blocks, int32_t elem_size,
              int32_t elem_res, bool keep_larger);
void fs_clear_data(FrameStore* store);
void fs_release(FrameStore* store);
// rows[r] = address of (sub.x, sub.y + r) of a block, for r < sub.height; an
// absent sub means the store's window. ERR_INVALID_PARAM without a store or
// rows or storage, ERR_PARAM_OUT_OF_RANGE for a block not in use,
// ERR_IMPROPER_WINDOW when sub does not lie in the stored window.
int fs_row_ptrs(const FrameStore* store, const Window* sub, int32_t block, uint8_t** rows);

// ---------------------------------------------------------------------------
// Typed buffers: self-describing element storage with a no-data cell holding
// the largest value of the element type.

enum TypedBufferType : int32_t {
    TB_INT8 = 0,
    TB_UINT8 = 1,
    TB_INT16 = 2,
    TB_UINT16 = 3,
    TB_INT32 = 4,
    TB_UINT32 = 5,
    TB_INT32_B = 6,
    TB_UINT32_B = 7,
    TB_FLOAT32 = 8,
    TB_FLOAT64 = 9,
};

// Bytes per element of a type code; 0 for an unknown code.
int32_t tb_type_size(int32_t type);

struct TypedBuffer {
    void* data;
    int32_t type;
    int32_t requested;  // count asked for
    void* no_data;      // one element
    uint8_t flag;       // false at creation, carried for the user
    int32_t count;
    int32_t elem_size;
};

struct TypedImage {
    void** rows;  // one pointer per row
    int32_t type;
    int16_t x;  // 0
    int16_t y;  // 0
    int16_t width;
    int16_t height;
    int32_t n_elems;  // width x height
    void* no_data;
    uint8_t flag;
    void* data;
    int32_t count;  // width x height
    int32_t elem_size;
};

// Null for a count of 0 or less, an unknown type or when memory runs out.
TypedBuffer* tb_create(int32_t count, int32_t type);
TypedBuffer* tb_create_zeroed(int32_t count, int32_t type);
void tb_destroy(TypedBuffer* buffer);
// Null for a width or height of 0 or less, an unknown type or when memory runs out.
TypedImage* ti_create(int32_t width, int32_t height, int32_t type);
TypedImage* ti_create_zeroed(int32_t width, int32_t height, int32_t type);
void ti_destroy(TypedImage* image);

// One allocation holding n row pointers followed by n rows of a x b bytes;
// pointer i addresses row i. Null when n, a or b is 0 or less or memory runs
// out. Free it with u_free.
void** alloc_row_table(int32_t n, int32_t a, int32_t b);

inline bool is_multiple_of_4(int32_t v) {
    return (v & 3) == 0;
}
