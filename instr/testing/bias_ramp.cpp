#include "instr/testing/bias_ramp.h"

#include <vector>

#include "config/rampfile.h"

std::string inst_bias_ramp_name(int32_t pifocId) {
    return "d10s81c25.b" + std::to_string(pifocId);
}

int inst_write_bias_ramp(const std::string& directory, int32_t pifocId) {
    rr_ramp_hdr_t h{};
    h.rampType = RR_TYPE_SWLI;
    h.pztID = pifocId;
    h.nPoints = 100;
    h.trigStartAddr = 10;
    h.trigEndAddr = 90;
    h.scanLen = 10;
    h.cameraRate = 25;
    h.rampSlope = 81;
    h.fringesPerFrame = 0.25f;
    h.sampleClkFreq = 2;
    h.polar = 'b';
    h.offset = 1000;
    std::vector<uint16_t> points(100);
    for (std::size_t j = 0; j < points.size(); ++j) points[j] = static_cast<uint16_t>(100 * j);
    const std::string path = directory + "/" + inst_bias_ramp_name(pifocId);
    return rr_write_ramp_file(path.c_str(), &h, points.data());
}
