// Fuzz target: the ramp configuration reader on an in-memory file. Every
// accepted spec must keep within the limits the reader enforces.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/msg.h"
#include "common/status.h"
#include "config/rampcfg.h"

namespace {
bool within_limits(const RrRampSpec& s) {
    const bool pmi = s.rampType == RR_TYPE_PMI;
    if (s.rampType != RR_TYPE_SWLI && !pmi && s.rampType != RR_TYPE_BTW) return false;
    if (s.wavelenSelect < 0 || s.wavelenSelect > 4) return false;
    if (std::memchr(s.fileName, '\0', sizeof s.fileName) == nullptr) return false;
    if (!(s.scanLen >= 0 && s.scanLen < 1000) || (pmi != (s.scanLen == 0))) return false;
    if (!(s.cameraRate > 0 && s.cameraRate <= 50000)) return false;
    if (s.cameraInterlace < 0 || s.cameraInterlace > 1 || s.grabSkip < 0 || s.grabSkip > 99) {
        return false;
    }
    if (!(s.fringesPerFrame > 0 && s.fringesPerFrame < 10)) return false;
    if (!(s.rampSlope >= 0 && s.rampSlope < 4000)) return false;
    if (!(s.objMag >= 0 && s.objMag < 1000)) return false;
    return s.hide == 0 || s.hide == 1;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    UMsgSink previous = u_set_msg_sink(u_msg_discard);
    FILE* in = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (in == nullptr) return 0;
    RrRampSpec* specs = nullptr;
    int count = 0;
    int status = rr_read_ramp_cfg_stream(in, "fuzz", &specs, &count);
    std::fclose(in);
    if (status == 0) {
        if (count < 1 || specs == nullptr) std::abort();
        for (int k = 0; k < count; ++k) {
            if (!within_limits(specs[k])) {
                std::fprintf(stderr, "rampcfg_fuzz: spec %d out of limits\n", k);
                std::abort();
            }
        }
    } else if (specs != nullptr) {
        std::abort();
    }
    rr_free_ramp_specs(&specs);
    u_set_msg_sink(previous);
    return 0;
}
