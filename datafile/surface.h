// The surface data model: windows in camera coordinates and the matrices,
// vectors, frame stores and typed buffers that hold image data.
//
// Every object is a plain structure that is empty when zeroed (`clear`), owns
// its storage (taken through the allocation hooks of common/alloc.h) and frees
// it in `release`. Operations return status codes of common/status.h.
#pragma once

#include <cstdint>

// Phase values from INVALID_PHASE up to 0x7FFFFFFF are points without data.
constexpr int32_t INVALID_PHASE = 0x7FFFFFF8;

inline bool phase_is_valid(int32_t v) { return v < INVALID_PHASE; }

// A rectangle in camera (full-frame) coordinates; right = x + width - 1 and
// bottom = y + height - 1, both inclusive. Arithmetic on it is 32-bit.
struct Window {
    int16_t x;
    int16_t y;
    int16_t width;
    int16_t height;
};

// Measured phase, one int32 per point, row by row with a stride of `width`.
struct PhaseMatrix {
    uint32_t size;  // elements the storage holds; 0 without storage
    Window window;
    int32_t* matrix;

    void clear();
    int alloc();
    int resize(const Window& win, bool keep_larger);
    int resize_aligned(const Window& win);  // window widened to 4-aligned edges, storage kept larger
    void release();
    int32_t* elem_ptr(const Window& sub) const;
    void fill(int32_t value);
    // rows[i] = address of (sub.x, sub.y + i) for i < sub.height; null sub = own window.
    void row_ptrs(const Window* sub, int32_t** rows) const;
    int copy_window(PhaseMatrix* dst) const;
    int valid_window(const Window* sub, Window* out) const;
    int trim_to_valid();
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

// The phase at a fractional position (x along a row, y across rows, both in
// elements from rows[0][0]) from the four surrounding points: the
// least-squares plane through them, rounded half away from zero, or
// INVALID_PHASE when the position is outside win.width x win.height or a
// corner has no data.
void sample_phase(int32_t* const* rows, double x, double y, const Window& win, int32_t* out);
