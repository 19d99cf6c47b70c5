// Frame stores, typed buffers and row tables.
#include <cfloat>
#include <cmath>
#include <cstring>

#include "common/alloc.h"
#include "common/status.h"
#include "datafile/surface.h"

// ---------------------------------------------------------------------------
// Frame store

namespace {

// `stored`: the window with 4-aligned edges, worked out in 32 bits; false when
// the window has negative dimensions or the aligned one does not fit int16.
bool aligned_window(const Window& w, Window* out) {
    if (w.width < 0 || w.height < 0) return false;
    const int x = w.x & ~3;
    const int y = w.y & ~3;
    const int width = ((w.x + w.width + 3) & ~3) - x;
    const int height = ((w.y + w.height + 3) & ~3) - y;
    if (width > INT16_MAX || height > INT16_MAX) return false;
    *out = Window{static_cast<int16_t>(x), static_cast<int16_t>(y), static_cast<int16_t>(width),
                  static_cast<int16_t>(height)};
    return true;
}

bool fits_int32(int64_t v) {
    return v >= 0 && v <= INT32_MAX;
}

// Point the block table of a single allocation at consecutive blocks.
void point_blocks(FrameStore* s, int64_t stored_blocksize) {
    for (int32_t i = 0; i < s->n_blocks; ++i) s->blocks[i] = s->matrix + i * stored_blocksize;
}

// Everything but the storage fields, once the storage fits.
void set_in_use(FrameStore* s, const Window& window, const Window& stored, int32_t n_blocks,
                int32_t elem_size, int32_t elem_res) {
    s->elem_size = elem_size;
    s->elem_res = elem_res;
    s->blocksize = window.width * window.height * elem_size;
    s->size = n_blocks * s->blocksize;
    s->n_blocks = n_blocks;
    s->window = window;
    s->stored = stored;
    s->qsize = n_blocks;
    s->n_buckets = static_cast<int16_t>(n_blocks);
}

}  // namespace

int fs_setup(FrameStore* store, const Window& window, int32_t n_blocks, int32_t elem_size,
             int32_t elem_res) {
    if (!store) return ERR_INVALID_PARAM;
    fs_release(store);
    Window stored{};
    if (!aligned_window(window, &stored)) return ERR_PARAM_OUT_OF_RANGE;
    store->stored = stored;
    if (elem_size <= 0 || elem_res < 1 || n_blocks <= 0 || n_blocks > INT16_MAX) {
        return ERR_PARAM_OUT_OF_RANGE;
    }
    const int64_t block = int64_t{stored.width} * stored.height * elem_size;
    const int64_t total = block * n_blocks;
    if (total == 0 || !fits_int32(total)) return ERR_PARAM_OUT_OF_RANGE;

    store->blocks = static_cast<uint8_t**>(u_alloc_zeroed(n_blocks, sizeof(uint8_t*)));
    if (!store->blocks) return ERR_NO_MEM;
    store->table_size = n_blocks;
    if (store->separate_blocks) {
        for (int32_t i = 0; i < n_blocks; ++i) {
            store->blocks[i] = static_cast<uint8_t*>(u_alloc(static_cast<size_t>(block)));
            if (!store->blocks[i]) {
                store->alloc_blocks = i;
                fs_release(store);
                return ERR_NO_MEM;
            }
        }
        store->matrix = store->blocks[0];
    } else {
        store->matrix = static_cast<uint8_t*>(u_alloc(static_cast<size_t>(total)));
        if (!store->matrix) {
            fs_release(store);
            return ERR_NO_MEM;
        }
    }
    store->alloc_size = static_cast<int32_t>(total);
    // A descriptive field: byte units kept in 16 bits as they come out.
    auto bytes16 = [&](int16_t v) { return static_cast<int16_t>(int64_t{v} * elem_size); };
    store->alloc_win =
        Window{bytes16(stored.x), bytes16(stored.y), bytes16(stored.width), bytes16(stored.height)};
    store->alloc_blocks = n_blocks;
    store->alloc_blocksize = static_cast<int32_t>(block);
    store->alloc_elem_size = elem_size;
    set_in_use(store, window, stored, n_blocks, elem_size, elem_res);
    if (!store->separate_blocks) point_blocks(store, block);
    return NO_ERROR;
}

int fs_resize(FrameStore* store, const Window& window, int32_t n_blocks, int32_t elem_size,
              int32_t elem_res, bool keep_larger) {
    if (!store) return ERR_INVALID_PARAM;
    if (elem_size <= 0 || elem_res <= 0 || n_blocks < 0 || n_blocks > INT16_MAX) {
        return ERR_PARAM_OUT_OF_RANGE;
    }
    Window stored{};
    if (!aligned_window(window, &stored)) return ERR_PARAM_OUT_OF_RANGE;
    const int64_t block = int64_t{stored.width} * stored.height * elem_size;
    const int64_t request = store->separate_blocks ? block : block * n_blocks;
    if (!fits_int32(block * n_blocks)) return ERR_PARAM_OUT_OF_RANGE;
    if (request == 0) {
        fs_release(store);
        return NO_ERROR;
    }

    const int64_t current = !store->matrix           ? 0
                            : store->separate_blocks ? store->alloc_blocksize
                                                     : store->alloc_size;
    if (current < request || (request < current && !keep_larger) ||
        (store->separate_blocks && store->alloc_blocks < n_blocks)) {
        return fs_setup(store, window, n_blocks, elem_size, elem_res);
    }
    if (!store->separate_blocks && store->table_size < n_blocks) {
        void* table = u_realloc(store->blocks, static_cast<size_t>(n_blocks) * sizeof(uint8_t*));
        if (!table) return ERR_NO_MEM;  // the store stays as it was
        store->blocks = static_cast<uint8_t**>(table);
        store->table_size = n_blocks;
    }
    set_in_use(store, window, stored, n_blocks, elem_size, elem_res);
    if (!store->separate_blocks) point_blocks(store, block);
    return NO_ERROR;
}

void fs_clear_data(FrameStore* store) {
    if (!store || !store->matrix) return;
    if (store->separate_blocks) {
        for (int32_t i = 0; i < store->alloc_blocks; ++i) {
            std::memset(store->blocks[i], 0, static_cast<size_t>(store->alloc_blocksize));
        }
    } else {
        std::memset(store->matrix, 0, static_cast<size_t>(store->alloc_size));
    }
}

void fs_release(FrameStore* store) {
    if (!store) return;
    if (store->separate_blocks) {
        if (store->blocks) {
            for (int32_t i = 0; i < store->alloc_blocks; ++i) u_free(store->blocks[i]);
        }
    } else if (store->matrix) {
        u_free(store->matrix);
    }
    if (store->blocks) u_free(store->blocks);
    store->matrix = nullptr;
    store->blocks = nullptr;
    store->alloc_size = 0;
    store->alloc_win.width = 0;
    store->alloc_win.height = 0;
    store->alloc_blocks = 0;
    store->alloc_blocksize = 0;
    store->alloc_elem_size = 0;
    store->table_size = 0;
    store->size = 0;
    store->blocksize = 0;
    store->stored.width = 0;
    store->stored.height = 0;
}

int fs_row_ptrs(const FrameStore* store, const Window* sub, int32_t block, uint8_t** rows) {
    if (!store || !rows || !store->matrix || !store->blocks) return ERR_INVALID_PARAM;
    if (block < 0 || block >= store->n_blocks) return ERR_PARAM_OUT_OF_RANGE;
    const Window& w = sub ? *sub : store->window;
    if (w.width < 0 || w.height < 0 || !wn_lies_in(w, store->stored)) return ERR_IMPROPER_WINDOW;
    const ptrdiff_t row_bytes = ptrdiff_t{store->stored.width} * store->elem_size;
    uint8_t* p = store->blocks[block] + (w.x - store->stored.x) * ptrdiff_t{store->elem_size} +
                 (w.y - store->stored.y) * row_bytes;
    for (int r = 0; r < w.height; ++r, p += row_bytes) rows[r] = p;
    return NO_ERROR;
}

// ---------------------------------------------------------------------------
// Typed buffers

int32_t tb_type_size(int32_t type) {
    switch (type) {
        case TB_INT8:
        case TB_UINT8:
            return 1;
        case TB_INT16:
        case TB_UINT16:
            return 2;
        case TB_INT32:
        case TB_UINT32:
        case TB_INT32_B:
        case TB_UINT32_B:
        case TB_FLOAT32:
            return 4;
        case TB_FLOAT64:
            return 8;
        default:
            return 0;
    }
}

namespace {

// The largest value of the type, or null when it is unknown or memory runs out.
void* make_no_data_cell(int32_t type) {
    const int32_t bytes = tb_type_size(type);
    if (bytes == 0) return nullptr;
    void* cell = u_alloc(static_cast<size_t>(bytes));
    if (!cell) return nullptr;
    switch (type) {
        case TB_INT8:
            *static_cast<int8_t*>(cell) = INT8_MAX;
            break;
        case TB_UINT8:
            *static_cast<uint8_t*>(cell) = UINT8_MAX;
            break;
        case TB_INT16:
            *static_cast<int16_t*>(cell) = INT16_MAX;
            break;
        case TB_UINT16:
            *static_cast<uint16_t*>(cell) = UINT16_MAX;
            break;
        case TB_INT32:
        case TB_INT32_B:
            *static_cast<int32_t*>(cell) = INT32_MAX;
            break;
        case TB_UINT32:
        case TB_UINT32_B:
            *static_cast<uint32_t*>(cell) = UINT32_MAX;
            break;
        case TB_FLOAT32:
            *static_cast<float*>(cell) = FLT_MAX;
            break;
        case TB_FLOAT64:
            *static_cast<double*>(cell) = HUGE_VAL;
            break;
    }
    return cell;
}

void* alloc_elements(int64_t count, int32_t elem_size, bool zeroed) {
    return zeroed ? u_alloc_zeroed(static_cast<size_t>(count), static_cast<size_t>(elem_size))
                  : u_alloc(static_cast<size_t>(count) * static_cast<size_t>(elem_size));
}

TypedBuffer* create_buffer(int32_t count, int32_t type, bool zeroed) {
    if (count <= 0) return nullptr;
    auto* b = static_cast<TypedBuffer*>(u_alloc_zeroed(1, sizeof(TypedBuffer)));
    if (!b) return nullptr;
    b->type = type;
    b->requested = count;
    b->flag = 0;
    b->elem_size = tb_type_size(type);
    if (b->elem_size == 0) {
        u_free(b);
        return nullptr;
    }
    b->no_data = make_no_data_cell(type);
    if (b->no_data) b->data = alloc_elements(count, b->elem_size, zeroed);
    if (!b->data) {
        tb_destroy(b);
        return nullptr;
    }
    b->count = count;
    return b;
}

TypedImage* create_image(int32_t width, int32_t height, int32_t type, bool zeroed) {
    if (width <= 0 || height <= 0 || width > INT16_MAX || height > INT16_MAX) return nullptr;
    const int32_t elem_size = tb_type_size(type);
    if (elem_size == 0) return nullptr;
    auto* im = static_cast<TypedImage*>(u_alloc_zeroed(1, sizeof(TypedImage)));
    if (!im) return nullptr;
    const int32_t n = width * height;  // at most 32767 squared
    im->type = type;
    im->width = static_cast<int16_t>(width);
    im->height = static_cast<int16_t>(height);
    im->n_elems = n;
    im->flag = 0;
    im->elem_size = elem_size;
    im->no_data = make_no_data_cell(type);
    if (im->no_data) im->data = alloc_elements(n, elem_size, zeroed);
    if (im->data)
        im->rows = static_cast<void**>(u_alloc(static_cast<size_t>(height) * sizeof(void*)));
    if (!im->rows) {
        ti_destroy(im);
        return nullptr;
    }
    const size_t row_bytes = static_cast<size_t>(width) * static_cast<size_t>(elem_size);
    for (int32_t i = 0; i < height; ++i)
        im->rows[i] = static_cast<uint8_t*>(im->data) + i * row_bytes;
    im->count = n;
    return im;
}

}  // namespace

TypedBuffer* tb_create(int32_t count, int32_t type) {
    return create_buffer(count, type, false);
}
TypedBuffer* tb_create_zeroed(int32_t count, int32_t type) {
    return create_buffer(count, type, true);
}

void tb_destroy(TypedBuffer* buffer) {
    if (!buffer) return;
    if (buffer->no_data) u_free(buffer->no_data);
    if (buffer->data) u_free(buffer->data);
    u_free(buffer);
}

TypedImage* ti_create(int32_t width, int32_t height, int32_t type) {
    return create_image(width, height, type, false);
}
TypedImage* ti_create_zeroed(int32_t width, int32_t height, int32_t type) {
    return create_image(width, height, type, true);
}

void ti_destroy(TypedImage* image) {
    if (!image) return;
    if (image->no_data) u_free(image->no_data);
    if (image->data) u_free(image->data);
    if (image->rows) u_free(image->rows);
    u_free(image);
}

// ---------------------------------------------------------------------------
// Row tables

void** alloc_row_table(int32_t n, int32_t a, int32_t b) {
    if (n <= 0 || a <= 0 || b <= 0) return nullptr;
    const uint64_t row_bytes = uint64_t{static_cast<uint32_t>(a)} * static_cast<uint32_t>(b);
    const uint64_t table_bytes = uint64_t{static_cast<uint32_t>(n)} * sizeof(void*);
    // n, a and b are below 2^31: the products fit 64 bits; refuse what size_t cannot address.
    if (row_bytes > (SIZE_MAX - table_bytes) / static_cast<uint64_t>(n)) return nullptr;
    void* block = u_alloc(static_cast<size_t>(table_bytes + row_bytes * static_cast<uint64_t>(n)));
    if (!block) return nullptr;
    auto** table = static_cast<void**>(block);
    uint8_t* rows = static_cast<uint8_t*>(block) + table_bytes;
    for (int32_t i = 0; i < n; ++i) table[i] = rows + i * row_bytes;
    return table;
}
