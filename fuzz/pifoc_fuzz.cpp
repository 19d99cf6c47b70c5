// Fuzz target: the piezo-focus info file reader on one input taken as the
// whole file. The file sits in a private configuration directory made on the
// first run; a successful read must leave values the bookkeeping accepts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/msg.h"
#include "common/testing/temp_dir.h"
#include "config/sysinfo.h"
#include "pifoc/pifoc.h"
#include "platform/fs.h"

namespace {
// The configuration directory of the run; removed when the process ends.
TempDir& config_dir() {
    static TempDir dir;
    static const bool ready = [] {
        plat_mkdir(dir.file("ramps").c_str());
        // Directories are decided once per process: set before the first use.
        setenv("KT_CONFIG_DIR", dir.path().c_str(), 1);
        return true;
    }();
    (void)ready;
    return dir;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = config_dir().file("ramps/pifoc.7");
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return 0;
    const bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
    if (std::fclose(file) != 0 || !written) return 0;

    UMsgSink previous = u_set_msg_sink(u_msg_discard);
    SystemInfo* info = sb_system_info(0);
    info->instrBdType = 1;
    info->pifocId = 7;
    if (vr_create_pifoc_state(info) == 0) vr_load_pifoc_info(info);
    info->pifocState.reset();
    u_set_msg_sink(previous);
    return 0;
}
