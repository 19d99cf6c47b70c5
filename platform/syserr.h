// Operating-system error texts.
#pragma once

#include <cstddef>
#include <cstdint>

// Writes the system's message for an error number into buffer (size bytes,
// always terminated). Returns false when the system has no message for it.
bool plat_system_error_message(uint32_t code, char* buffer, std::size_t size);

// The error number of the last failed system call of this thread.
int plat_last_error();
