// Byte order of binary files (big-endian on disk).
#pragma once

#include <cstdint>
#include <cstring>

// Reverses the n bytes at `field`, n = 2, 4 or 8. Any other n is a programming
// error: "u_swap_bytes: n=%d\n" goes to the message sink and the process aborts.
void u_swap_bytes(void* field, int n);

// Big-endian loads and stores on byte buffers.
inline uint16_t u_load_be16(const unsigned char* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t u_load_be32(const unsigned char* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
inline void u_store_be16(unsigned char* p, uint16_t v) {
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}
inline void u_store_be32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}
