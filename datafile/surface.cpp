// The matrix family: storage rules shared by every member, and the phase
// operations the converter relies on.
#include "datafile/surface.h"

#include <algorithm>
#include <cstring>

#include "common/alloc.h"
#include "common/status.h"

namespace {

// The element count of a window, or -1 when a factor is negative or the count
// does not fit the uint32 `size` field.
int64_t checked_count(int64_t a, int64_t b, int64_t c = 1) {
    if (a < 0 || b < 0 || c < 0) return -1;
    int64_t n = a * b * c;  // each factor is at most 32767
    return n > static_cast<int64_t>(UINT32_MAX) ? -1 : n;
}

template <typename T>
void free_storage(T*& matrix, uint32_t& size) {
    if (matrix) u_free(matrix);
    matrix = nullptr;
    size = 0;
}

// Allocate n (> 0) elements into an object without storage.
template <typename T>
int alloc_storage(T*& matrix, uint32_t& size, int64_t n, bool zeroed = false) {
    size = 0;
    matrix = nullptr;
    void* p = zeroed ? u_alloc_zeroed(static_cast<size_t>(n), sizeof(T))
                     : u_alloc(static_cast<size_t>(n) * sizeof(T));
    if (!p) return ERR_NO_MEM;
    matrix = static_cast<T*>(p);
    size = static_cast<uint32_t>(n);
    return NO_ERROR;
}

// Make the storage hold n elements: kept when it is large enough (and, without
// keep_larger, not larger), otherwise reallocated. n = 0 frees it. On failure
// the object is left without storage.
template <typename T>
int resize_storage(T*& matrix, uint32_t& size, int64_t n, bool keep_larger) {
    if (!matrix) size = 0;
    if (n == 0) {
        free_storage(matrix, size);
        return NO_ERROR;
    }
    const uint64_t want = static_cast<uint64_t>(n);
    if (size < want || (want < size && !keep_larger)) {
        free_storage(matrix, size);
        return alloc_storage(matrix, size, n);
    }
    return NO_ERROR;
}

template <typename T>
bool covers(const T* matrix, uint32_t size, int64_t w, int64_t h) {
    return matrix && w > 0 && h > 0 && static_cast<uint64_t>(w * h) <= size;
}

// First index in [0, n) holding a valid phase value, or n. Blocks of 16 are
// tested with a branch-free minimum so the common all-invalid run vectorises.
int first_valid(const int32_t* p, int n) {
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        int32_t m = p[i];
        for (int k = 1; k < 16; ++k) m = std::min(m, p[i + k]);
        if (m < INVALID_PHASE) break;
    }
    for (; i < n; ++i) {
        if (p[i] < INVALID_PHASE) return i;
    }
    return n;
}

// Last index in [lo, n) holding a valid phase value, or lo - 1.
int last_valid(const int32_t* p, int lo, int n) {
    int i = n;
    for (; i - 16 >= lo; i -= 16) {
        int32_t m = p[i - 16];
        for (int k = 1; k < 16; ++k) m = std::min(m, p[i - 16 + k]);
        if (m < INVALID_PHASE) break;
    }
    for (--i; i >= lo; --i) {
        if (p[i] < INVALID_PHASE) return i;
    }
    return lo - 1;
}

}  // namespace

// ---------------------------------------------------------------------------
// PhaseMatrix

void PhaseMatrix::clear() {
    std::memset(this, 0, sizeof *this);
}

bool PhaseMatrix::has_storage() const {
    return covers(matrix, size, window.width, window.height);
}

int PhaseMatrix::alloc() {
    int64_t n = checked_count(window.width, window.height);
    if (n <= 0) return ERR_PARAM_OUT_OF_RANGE;
    return alloc_storage(matrix, size, n);
}

int PhaseMatrix::resize(const Window& win, bool keep_larger) {
    int64_t n = checked_count(win.width, win.height);
    if (n < 0) return ERR_PARAM_OUT_OF_RANGE;
    int status = resize_storage(matrix, size, n, keep_larger);
    if (status == NO_ERROR && n > 0) window = win;
    return status;
}

int PhaseMatrix::resize_aligned(const Window& win) {
    Window aligned = win;
    wn_align4_x(&aligned);
    wn_align4_y(&aligned);
    return resize(aligned, true);
}

void PhaseMatrix::release() {
    free_storage(matrix, size);
    window.width = 0;
    window.height = 0;
}

int32_t* PhaseMatrix::elem_ptr(const Window& sub) const {
    if (!has_storage() || !wn_lies_in(sub, window)) return nullptr;
    return matrix + (sub.x - window.x) + static_cast<ptrdiff_t>(sub.y - window.y) * window.width;
}

void PhaseMatrix::fill(int32_t value) {
    if (!has_storage()) return;
    std::fill_n(matrix, static_cast<size_t>(window.width) * window.height, value);
}

void PhaseMatrix::row_ptrs(const Window* sub, int32_t** rows) const {
    const Window& w = sub ? *sub : window;
    int32_t* p = elem_ptr(w);
    for (int i = 0; i < w.height; ++i) {
        rows[i] = p ? p + static_cast<ptrdiff_t>(i) * window.width : nullptr;
    }
}

int PhaseMatrix::copy_window(PhaseMatrix* dst) const {
    if (!dst) return ERR_INVALID_PARAM;
    const Window& d = dst->window;
    int relation = wn_compare(window, d);
    if ((relation != WN_CONTAINS && relation != WN_EQUAL) || d.width < 0 || d.height < 0) {
        return ERR_IMPROPER_WINDOW;
    }
    if (d.width == 0 || d.height == 0) return NO_ERROR;
    if (!has_storage() || !dst->has_storage()) return ERR_BAD_PARAM;
    const int32_t* from = elem_ptr(d);
    int32_t* to = dst->matrix;
    for (int r = 0; r < d.height; ++r) {
        std::memcpy(to, from, static_cast<size_t>(d.width) * sizeof(int32_t));
        from += window.width;
        to += d.width;
    }
    return NO_ERROR;
}

int PhaseMatrix::valid_window(const Window* sub, Window* out) const {
    if (!out) return ERR_INVALID_PARAM;
    if (sub && !wn_lies_in(*sub, window)) return ERR_IMPROPER_WINDOW;
    const Window w = sub ? *sub : window;
    *out = Window{};
    if (!has_storage() || w.width <= 0 || w.height <= 0) return ERR_ALL_BAD_DATA;

    const int32_t* base = elem_ptr(w);
    const ptrdiff_t stride = window.width;
    const int n = w.width;
    auto row = [&](int r) { return base + r * stride; };

    int top = 0, left = n, right = -1;
    for (; top < w.height; ++top) {
        left = first_valid(row(top), n);
        if (left < n) break;
    }
    if (top == w.height) return ERR_ALL_BAD_DATA;
    right = last_valid(row(top), left, n);

    int bottom = w.height - 1;
    for (; bottom > top; --bottom) {
        int first = first_valid(row(bottom), n);
        if (first < n) {
            left = std::min(left, first);
            right = std::max(right, last_valid(row(bottom), first, n));
            break;
        }
    }
    // Rows in between can only widen the columns found so far: look outside them.
    for (int r = top + 1; r < bottom; ++r) {
        const int32_t* p = row(r);
        if (left > 0) left = std::min(left, first_valid(p, left));
        if (right < n - 1) {
            int last = last_valid(p, right + 1, n);
            if (last > right) right = last;
        }
    }
    *out = Window{static_cast<int16_t>(w.x + left), static_cast<int16_t>(w.y + top),
                  static_cast<int16_t>(right - left + 1), static_cast<int16_t>(bottom - top + 1)};
    return NO_ERROR;
}

// The valid part is moved to the front of the storage in place: every row
// moves towards the start, never over a row still to be moved. A fresh
// allocation and copy would cost a page fault per 4 KiB on large maps.
int PhaseMatrix::trim_to_valid() {
    Window valid;
    int status = valid_window(nullptr, &valid);
    if (status != NO_ERROR) return status;
    if (wn_compare(valid, window) == WN_EQUAL) return NO_ERROR;
    const int32_t* from = elem_ptr(valid);
    const size_t row_bytes = static_cast<size_t>(valid.width) * sizeof(int32_t);
    for (int r = 0; r < valid.height; ++r) {
        std::memmove(matrix + static_cast<ptrdiff_t>(r) * valid.width, from, row_bytes);
        from += window.width;
    }
    window = valid;
    // Give back what is no longer needed; if that fails the larger storage serves.
    const uint32_t n = static_cast<uint32_t>(valid.width) * static_cast<uint32_t>(valid.height);
    if (void* shrunk = u_realloc(matrix, static_cast<size_t>(n) * sizeof(int32_t))) {
        matrix = static_cast<int32_t*>(shrunk);
        size = n;
    }
    return NO_ERROR;
}

// ---------------------------------------------------------------------------
// IntensityMatrix

void IntensityMatrix::clear() {
    std::memset(this, 0, sizeof *this);
}

int IntensityMatrix::alloc() {
    int64_t n = checked_count(n_buckets, window.width, window.height);
    if (n <= 0) return ERR_PARAM_OUT_OF_RANGE;
    int status = alloc_storage(matrix, size, n);
    if (status != NO_ERROR) {
        n_buckets = 0;
        window.width = 0;
        window.height = 0;
    }
    return status;
}

int IntensityMatrix::resize(const Window& win, int16_t buckets, bool keep_larger) {
    int64_t n = checked_count(buckets, win.width, win.height);
    if (n < 0) return ERR_PARAM_OUT_OF_RANGE;
    int status = resize_storage(matrix, size, n, keep_larger);
    if (status != NO_ERROR) {
        n_buckets = 0;
        window.width = 0;
        window.height = 0;
    } else if (n > 0) {
        window = win;
        n_buckets = buckets;
    }
    return status;
}

void IntensityMatrix::release() {
    free_storage(matrix, size);
    n_buckets = 0;
    window.width = 0;
    window.height = 0;
}

// ---------------------------------------------------------------------------
// ShortMatrix

void ShortMatrix::clear() {
    std::memset(this, 0, sizeof *this);
}

bool ShortMatrix::has_storage() const {
    return covers(matrix, size, window.width, window.height);
}

int ShortMatrix::alloc() {
    int64_t n = checked_count(window.width, window.height);
    if (n <= 0) return ERR_PARAM_OUT_OF_RANGE;
    int status = alloc_storage(matrix, size, n);
    if (status != NO_ERROR) window.width = window.height = 0;
    return status;
}

int ShortMatrix::resize(const Window& win, bool keep_larger) {
    int64_t n = checked_count(win.width, win.height);
    if (n < 0) return ERR_PARAM_OUT_OF_RANGE;
    int status = resize_storage(matrix, size, n, keep_larger);
    if (status != NO_ERROR) {
        window.width = window.height = 0;
    } else if (n > 0) {
        window = win;
    }
    return status;
}

void ShortMatrix::release() {
    free_storage(matrix, size);
    window.width = 0;
    window.height = 0;
}

int16_t* ShortMatrix::elem_ptr(const Window& sub) const {
    if (!has_storage() || !wn_lies_in(sub, window)) return nullptr;
    return matrix + (sub.x - window.x) + static_cast<ptrdiff_t>(sub.y - window.y) * window.width;
}

void ShortMatrix::fill(int16_t value) {
    if (!has_storage()) return;
    std::fill_n(matrix, static_cast<size_t>(window.width) * window.height, value);
}

int fill_window(ShortMatrix* m, const Window* sub, int16_t value) {
    if (!m || !m->matrix || !sub) return ERR_BAD_PARAM;
    if (!wn_lies_in(*sub, m->window) || sub->width < 0 || sub->height < 0) {
        return ERR_IMPROPER_WINDOW;
    }
    if (!m->has_storage()) return ERR_BAD_PARAM;
    int16_t* p = m->elem_ptr(*sub);
    for (int r = 0; r < sub->height; ++r, p += m->window.width) std::fill_n(p, sub->width, value);
    return NO_ERROR;
}

// ---------------------------------------------------------------------------
// ByteMatrix

void ByteMatrix::clear() {
    std::memset(this, 0, sizeof *this);
}

bool ByteMatrix::has_storage() const {
    return covers(matrix, size, stride(), window.height) && window.width > 0;
}

int ByteMatrix::alloc() {
    int64_t n = window.width < 0 ? -1 : checked_count(stride(), window.height);
    if (n <= 0) return ERR_PARAM_OUT_OF_RANGE;
    int status = alloc_storage(matrix, size, n);
    if (status != NO_ERROR) window.width = window.height = 0;
    return status;
}

int ByteMatrix::resize(const Window& win, bool keep_larger) {
    const Window old = window;
    window = win;
    int64_t n = win.width < 0 ? -1 : checked_count(stride(), win.height);
    if (n < 0) {
        window = old;
        return ERR_PARAM_OUT_OF_RANGE;
    }
    int status = resize_storage(matrix, size, n, keep_larger);
    if (n == 0 || status != NO_ERROR) window = old;
    return status;
}

void ByteMatrix::release() {
    free_storage(matrix, size);
    window.width = 0;
    window.height = 0;
}

uint8_t* ByteMatrix::elem_ptr(const Window& sub) const {
    if (!has_storage() || !wn_lies_in(sub, window)) return nullptr;
    return matrix + (sub.x - window.x) +
           static_cast<ptrdiff_t>(stride()) * (window.height - 1 - (sub.y - window.y));
}

// ---------------------------------------------------------------------------
// Matrix32, Matrix64

namespace {

template <typename M>
int plain_alloc(M& m) {
    int64_t n = checked_count(m.window.width, m.window.height);
    if (n <= 0) return ERR_PARAM_OUT_OF_RANGE;
    return alloc_storage(m.matrix, m.size, n);
}

// A zero count is not refused: it leaves the matrix without storage.
template <typename M>
int plain_alloc_zeroed(M& m) {
    int64_t n = checked_count(m.window.width, m.window.height);
    if (n < 0) return ERR_PARAM_OUT_OF_RANGE;
    if (n == 0) {
        m.size = 0;
        m.matrix = nullptr;
        return NO_ERROR;
    }
    return alloc_storage(m.matrix, m.size, n, true);
}

template <typename M>
int plain_resize(M& m, const Window& win, bool keep_larger) {
    int64_t n = checked_count(win.width, win.height);
    if (n < 0) return ERR_PARAM_OUT_OF_RANGE;
    int status = resize_storage(m.matrix, m.size, n, keep_larger);
    if (status == NO_ERROR && n > 0) m.window = win;
    return status;
}

template <typename M>
void plain_release(M& m) {
    free_storage(m.matrix, m.size);
    m.window.width = 0;
    m.window.height = 0;
}

}  // namespace

void Matrix32::clear() {
    std::memset(this, 0, sizeof *this);
}
int Matrix32::alloc() {
    return plain_alloc(*this);
}
int Matrix32::alloc_zeroed() {
    return plain_alloc_zeroed(*this);
}
int Matrix32::resize(const Window& win, bool keep_larger) {
    return plain_resize(*this, win, keep_larger);
}
void Matrix32::release() {
    plain_release(*this);
}

void Matrix64::clear() {
    std::memset(this, 0, sizeof *this);
}
int Matrix64::alloc() {
    return plain_alloc(*this);
}
int Matrix64::alloc_zeroed() {
    return plain_alloc_zeroed(*this);
}
int Matrix64::resize(const Window& win, bool keep_larger) {
    return plain_resize(*this, win, keep_larger);
}
int Matrix64::resize_aligned(const Window& win) {
    Window aligned = win;
    wn_align4_x(&aligned);
    wn_align4_y(&aligned);
    return resize(aligned, true);
}
void Matrix64::release() {
    plain_release(*this);
}

// ---------------------------------------------------------------------------
// CompactMatrix

void CompactMatrix::clear() {
    std::memset(this, 0, sizeof *this);
}

int CompactMatrix::alloc() {
    int64_t n = checked_count(width, height);
    if (n <= 0) return ERR_PARAM_OUT_OF_RANGE;
    int status = alloc_storage(matrix, size, n);
    if (status != NO_ERROR) width = height = 0;
    return status;
}

int CompactMatrix::resize(int16_t w, int16_t h, bool keep_larger) {
    int64_t n = checked_count(w, h);
    if (n < 0) return ERR_PARAM_OUT_OF_RANGE;
    int status = resize_storage(matrix, size, n, keep_larger);
    if (status != NO_ERROR || n == 0) {
        width = height = 0;
    } else {
        width = w;
        height = h;
    }
    return status;
}

void CompactMatrix::release() {
    free_storage(matrix, size);
    width = 0;
    height = 0;
}
