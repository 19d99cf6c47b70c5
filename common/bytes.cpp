#include "common/bytes.h"

#include <algorithm>
#include <cstdlib>

#include "common/msg.h"

void u_swap_bytes(void* field, int n) {
    if (n != 2 && n != 4 && n != 8) {
        u_msg_sink("u_swap_bytes: n=%d\n", n);
        std::abort();
    }
    auto* bytes = static_cast<unsigned char*>(field);
    std::reverse(bytes, bytes + n);
}
