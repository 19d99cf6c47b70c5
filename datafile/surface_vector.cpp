// The vector family and the table of owned pointers.
#include <cstring>

#include "common/alloc.h"
#include "common/status.h"
#include "datafile/surface.h"

template <typename T>
void VectorOf<T>::clear() {
    std::memset(static_cast<void*>(this), 0, sizeof *this);
}

template <typename T>
int VectorOf<T>::alloc() {
    if (count <= 0) return ERR_PARAM_OUT_OF_RANGE;
    capacity = 0;
    elems = static_cast<T*>(u_alloc(static_cast<size_t>(count) * sizeof(T)));
    if (!elems) return ERR_NO_MEM;
    capacity = count;
    return NO_ERROR;
}

template <typename T>
int VectorOf<T>::resize(int32_t n, bool keep_larger) {
    if (n < 0) return ERR_PARAM_OUT_OF_RANGE;
    if (!elems) capacity = 0;
    if (n == 0) {
        release();
        return NO_ERROR;
    }
    if (capacity < n || (n < capacity && !keep_larger)) {
        if (elems) u_free(elems);
        capacity = 0;
        elems = static_cast<T*>(u_alloc(static_cast<size_t>(n) * sizeof(T)));
        if (!elems) return ERR_NO_MEM;
        capacity = n;
    }
    count = n;
    return NO_ERROR;
}

template <typename T>
void VectorOf<T>::release() {
    if (elems) u_free(elems);
    elems = nullptr;
    capacity = 0;
    count = 0;
}

template struct VectorOf<uint8_t>;
template struct VectorOf<int16_t>;
template struct VectorOf<int32_t>;
template struct VectorOf<float>;
template struct VectorOf<FloatPair>;
template struct VectorOf<IntPair>;
template struct VectorOf<double>;
template struct VectorOf<IntTriple>;
template struct VectorOf<FloatTriple>;
template struct VectorOf<PointValue>;

void PtrVector::clear() {
    std::memset(this, 0, sizeof *this);
}

int PtrVector::alloc() {
    if (count < 1) return ERR_PARAM_OUT_OF_RANGE;
    elems = static_cast<void**>(u_alloc_zeroed(static_cast<size_t>(count), sizeof(void*)));
    if (!elems) {
        count = 0;
        return ERR_NO_MEM;
    }
    return NO_ERROR;
}

void PtrVector::release() {
    if (elems) {
        for (int32_t i = 0; i < count; ++i) {
            if (elems[i]) u_free(elems[i]);
        }
        u_free(elems);
    }
    elems = nullptr;
    count = 0;
}
