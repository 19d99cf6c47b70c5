// Fuzz target: the ramp data file reader, and on what it reads the standard
// name, the header listing, the instrument check and, for a SWLI ramp with
// points, a derivation.
//
// The input is the file. A header that reads must encode back to the bytes it
// came from; a derived ramp must hold as many points as its base.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/msg.h"
#include "config/rampcfg.h"
#include "config/rampfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    UMsgSink previous = u_set_msg_sink(u_msg_discard);
    FILE* in = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (in == nullptr) return 0;
    RrRamp base{};
    int status = rr_read_ramp_stream(in, &base.hdr, &base.points);
    std::fclose(in);
    if (status == 0) {
        unsigned char bytes[RR_HDR_SIZE];
        rr_encode_hdr(&base.hdr, bytes);
        if (std::memcmp(bytes, data, RR_HDR_SIZE) != 0) {
            std::fprintf(stderr, "rampfile_fuzz: header does not encode back\n");
            std::abort();
        }
        rr_get_std_ramp_filename(&base.hdr);
        if (FILE* sink = std::fopen("/dev/null", "w")) {
            rr_print_ramp_hdr(sink, &base.hdr, base.points, data[size - 1] & 1);
            std::fclose(sink);
        }
        rr_ramp_hdr_t checked = base.hdr;
        rr_check_ramp_file(&checked, "fuzz", data[size - 1] % 10, 12345, 54321);

        if (base.points != nullptr && base.hdr.rampType == RR_TYPE_SWLI) {
            // The spec comes from the bytes after the points, when there are any.
            RrRampSpec spec{};
            spec.rampType = RR_TYPE_SWLI;
            spec.fileName[0] = '+';
            spec.scanLen = base.hdr.scanLen / 2;
            spec.cameraRate = 25;
            spec.fringesPerFrame = 0.25f;
            spec.rampSlope = 81;
            spec.scanCal = 1;
            std::size_t used = RR_HDR_SIZE + 2 * static_cast<std::size_t>(base.hdr.nPoints);
            if (size >= used + 12) {
                std::memcpy(&spec.scanLen, data + used, 4);
                std::memcpy(&spec.cameraRate, data + used + 4, 4);
                std::memcpy(&spec.rampSlope, data + used + 8, 4);
            }
            rr_ramp_set_name(&base, "base");
            RrRamp derived{};
            if (rr_derive_ramp(&base, &derived, &spec) == 0 &&
                (derived.hdr.nPoints != base.hdr.nPoints || derived.points == nullptr)) {
                std::fprintf(stderr, "rampfile_fuzz: derived ramp lost its points\n");
                std::abort();
            }
            rr_ramp_release(&derived);
        }
    }
    rr_ramp_release(&base);
    u_set_msg_sink(previous);
    return 0;
}
