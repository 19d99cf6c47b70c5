#include "common/alloc.h"

#include <cstdlib>

UAllocHooks u_alloc_hooks = {std::malloc, std::realloc, std::calloc, std::free};

UAllocHooks u_set_alloc_hooks(const UAllocHooks& hooks) {
    UAllocHooks previous = u_alloc_hooks;
    u_alloc_hooks = hooks;
    return previous;
}
