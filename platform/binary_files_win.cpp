// Files opened without 't' or 'b' in their mode, and standard input, output
// and error, are binary from the start, as on the other systems: lines end
// with LF alone, so that what the programs and the library write is the same
// byte for byte everywhere (text readers take CR LF as well, and a console
// shows LF line ends). Compiled into every executable on Windows, whose C
// run-time start-up would otherwise set the text default again after the
// libraries' own initialisation.
#include <fcntl.h>
#include <io.h>
#include <stdlib.h>

#include <cstdio>

namespace {
const bool g_binary = [] {
    *__p__fmode() = _O_BINARY;
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    return true;
}();
}  // namespace
