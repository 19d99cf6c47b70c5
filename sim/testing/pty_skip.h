// Tests that drive a virtual serial line need a pseudo-terminal: where the
// system has none they skip themselves, saying why. For a test body or a
// fixture's SetUp (GTEST_SKIP returns from the function it is in).
#pragma once

#include <gtest/gtest.h>

#include "platform/pty.h"

#define SKIP_WITHOUT_PTY()                                                               \
    do {                                                                                 \
        if (!plat_pty_available()) GTEST_SKIP() << "no pseudo-terminals on this system"; \
    } while (0)
