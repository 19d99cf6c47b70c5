// The library's allocation hooks: all element storage of matrices, vectors,
// frame stores and typed buffers, and the path texts of the directory search,
// are taken from and returned to these four process-wide functions. They start
// out as malloc, realloc, calloc and free; tests install failing ones.
#pragma once

#include <cstddef>

struct UAllocHooks {
    void* (*alloc)(std::size_t bytes);
    void* (*realloc)(void* block, std::size_t bytes);
    void* (*alloc_zeroed)(std::size_t count, std::size_t size);
    void (*free)(void* block);
};

extern UAllocHooks u_alloc_hooks;

// Installs hooks and returns the previous ones. Storage must be freed by the
// hooks that allocated it, so swap them only while nothing is allocated.
UAllocHooks u_set_alloc_hooks(const UAllocHooks& hooks);

inline void* u_alloc(std::size_t bytes) { return u_alloc_hooks.alloc(bytes); }
inline void* u_realloc(void* block, std::size_t bytes) { return u_alloc_hooks.realloc(block, bytes); }
inline void* u_alloc_zeroed(std::size_t count, std::size_t size) {
    return u_alloc_hooks.alloc_zeroed(count, size);
}
inline void u_free(void* block) { u_alloc_hooks.free(block); }
