// Windows only: path and error conversions shared by the platform's Windows
// sources. Paths reach the wide-character calls, so that names outside the
// code page work; the library's own texts are UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The wide form of a path text under the byte-order-mark convention
// (platform/path.h): UTF-16 units behind a mark are taken as they are, other
// text is UTF-8. False (errno ENOENT) for a malformed text, which names nothing.
bool plat_wide_path(const char* text, std::wstring* out, std::size_t size = SIZE_MAX);

// UTF-8 to UTF-16 and back; invalid sequences become U+FFFD.
std::wstring plat_widen(const std::string& utf8);
std::string plat_narrow(const std::wstring& wide);

// The errno value nearest to a Windows error code (EIO when none is near).
int plat_errno_from_win(uint32_t code);

// Sets errno from GetLastError() and returns false, for "return fail();".
bool plat_fail_from_last_error();
