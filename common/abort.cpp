#include "common/abort.h"

int u_abort_never(int) {
    return 0;
}

UAbortCheck u_abort_check = u_abort_never;

UAbortCheck u_set_abort_check(UAbortCheck check) {
    UAbortCheck previous = u_abort_check;
    u_abort_check = check != nullptr ? check : u_abort_never;
    return previous;
}
