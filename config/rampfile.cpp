// Ramp data files: layout, reader, writer, standard names, header listing and
// the instrument check.
#include "config/rampfile.h"

#include <cmath>
#include <cstring>
#include <string>

#include "common/alloc.h"
#include "common/bytes.h"
#include "common/msg.h"
#include "common/status.h"
#include "platform/path.h"
#include "platform/replace_file.h"

namespace {

constexpr int kPolarOffset = 84;
constexpr int kLittleEndianStart = RR_BIG_ENDIAN_WORDS * 4;  // 168
constexpr int kSpareOffset = 196;

uint32_t load_le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void store_le32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

enum FieldKind { FIELD_INT, FIELD_FLOAT, FIELD_CHAR };

struct HdrField {
    const char* name;
    int offset;
    FieldKind kind;
};

// The listed fields in file order; the reserved words are not listed.
constexpr HdrField kFields[] = {
    {"magicNumber", 0, FIELD_INT},
    {"rampType", 4, FIELD_INT},
    {"pztID", 8, FIELD_INT},
    {"rampID", 12, FIELD_INT},
    {"nPoints", 16, FIELD_INT},
    {"rampUp", 20, FIELD_INT},
    {"rampStart", 24, FIELD_INT},
    {"rampLinear", 28, FIELD_INT},
    {"rampEnd", 32, FIELD_INT},
    {"sampleClkFreq", 36, FIELD_FLOAT},
    {"cameraRate", 40, FIELD_FLOAT},
    {"updateRate", 44, FIELD_INT},
    {"grabSkip", 48, FIELD_INT},
    {"rampSlope", 52, FIELD_FLOAT},
    {"trigStartAddr", 56, FIELD_INT},
    {"trigEndAddr", 60, FIELD_INT},
    {"rampGainDflt", 64, FIELD_INT},
    {"rampTriple[0]", 68, FIELD_FLOAT},
    {"rampTriple[1]", 72, FIELD_FLOAT},
    {"rampTriple[2]", 76, FIELD_FLOAT},
    {"scanLen", 80, FIELD_FLOAT},
    {"polar", 84, FIELD_CHAR},
    {"offset", 88, FIELD_INT},
    {"nBuckets", 92, FIELD_INT},
    {"rampLin", 96, FIELD_FLOAT},
    {"rampTrim", 100, FIELD_FLOAT},
    {"cameraPClock", 104, FIELD_FLOAT},
    {"cameraHPeriod", 108, FIELD_INT},
    {"cameraVPeriod", 112, FIELD_INT},
    {"cameraInterlace", 116, FIELD_INT},
    {"rampMux", 120, FIELD_INT},
    {"instrBdType", 124, FIELD_INT},
    {"compGain", 128, FIELD_INT},
    {"compFilter", 132, FIELD_INT},
    {"leakage", 136, FIELD_INT},
    {"adcMin", 140, FIELD_INT},
    {"adcMax", 144, FIELD_INT},
    {"adcFirst", 148, FIELD_INT},
    {"adcMid", 152, FIELD_INT},
    {"adcLast", 156, FIELD_INT},
    {"scanCal", 160, FIELD_FLOAT},
    {"fringesPerFrame", 168, FIELD_FLOAT},
    {"objMag", 172, FIELD_FLOAT},
    {"wavelenSelect", 176, FIELD_INT},
};

// A float truncated (or, with `round`, rounded) to an int; false when the
// result does not fit.
bool to_int(double value, bool round, int* out) {
    double v = round ? std::round(value) : std::trunc(value);
    if (!(v >= -2147483648.0 && v <= 2147483647.0)) return false;
    *out = static_cast<int>(v);
    return true;
}

bool is_odd_quarter(double f) {
    double quarters = f * 4;
    return f > 0 && std::isfinite(quarters) && quarters == std::floor(quarters) &&
           std::fmod(quarters, 2.0) == 1.0;
}

}  // namespace

void rr_encode_hdr(const rr_ramp_hdr_t* hdr, unsigned char bytes[RR_HDR_SIZE]) {
    const auto* raw = reinterpret_cast<const unsigned char*>(hdr);
    std::memcpy(bytes, raw, RR_HDR_SIZE);
    for (int at = 0; at < kSpareOffset; at += 4) {
        if (at == kPolarOffset) continue;  // a character and its pad, kept byte for byte
        uint32_t word;
        std::memcpy(&word, raw + at, 4);
        if (at < kLittleEndianStart) {
            u_store_be32(bytes + at, word);
        } else {
            store_le32(bytes + at, word);
        }
    }
}

void rr_decode_hdr(const unsigned char bytes[RR_HDR_SIZE], rr_ramp_hdr_t* hdr) {
    auto* raw = reinterpret_cast<unsigned char*>(hdr);
    std::memcpy(raw, bytes, RR_HDR_SIZE);
    for (int at = 0; at < kSpareOffset; at += 4) {
        if (at == kPolarOffset) continue;
        uint32_t word = at < kLittleEndianStart ? u_load_be32(bytes + at) : load_le32(bytes + at);
        std::memcpy(raw + at, &word, 4);
    }
}

void rr_free_points(uint16_t** points) {
    if (points != nullptr && *points != nullptr) {
        u_free(*points);
        *points = nullptr;
    }
}

void rr_ramp_release(RrRamp* ramp) {
    if (ramp == nullptr) return;
    if (ramp->name != nullptr) u_free(ramp->name);
    rr_free_points(&ramp->points);
    std::memset(static_cast<void*>(ramp), 0, sizeof *ramp);
}

int rr_ramp_set_name(RrRamp* ramp, const char* name) {
    if (ramp == nullptr || name == nullptr) return ERR_INVALID_PARAM;
    std::size_t n = std::strlen(name);
    auto* copy = static_cast<char*>(u_alloc(n + 1));
    if (copy == nullptr) return ERR_NO_MEM;
    std::memcpy(copy, name, n + 1);
    if (ramp->name != nullptr) u_free(ramp->name);
    ramp->name = copy;
    return 0;
}

int rr_write_ramp_file(const char* path, const rr_ramp_hdr_t* hdr, const uint16_t* points) {
    if (path == nullptr || hdr == nullptr || points == nullptr || hdr->nPoints < 1) {
        return ERR_INVALID_PARAM;
    }
    rr_ramp_hdr_t copy = *hdr;
    copy.magicNumber = RR_MAGIC_NUMBER;
    const std::size_t count = static_cast<std::size_t>(hdr->nPoints);
    const std::size_t size = RR_HDR_SIZE + 2 * count;
    auto* bytes = static_cast<unsigned char*>(u_alloc(size));
    if (bytes == nullptr) return ERR_NO_MEM;
    rr_encode_hdr(&copy, bytes);
    for (std::size_t k = 0; k < count; ++k) u_store_be16(bytes + RR_HDR_SIZE + 2 * k, points[k]);

    PlatReplaceFile out{};
    int status = 0;
    if (out.open(path, "_ramp") == nullptr) {
        status = ERR_CANT_CREATE_FILE;
    } else if (std::fwrite(bytes, 1, size, out.stream) != size) {
        out.abort();
        status = ERR_CANT_WRITE_FILE;
    } else if (!out.commit()) {
        status = ERR_CANT_WRITE_FILE;
    }
    u_free(bytes);
    return status;
}

int rr_read_ramp_stream(FILE* in, rr_ramp_hdr_t* hdr, uint16_t** points) {
    if (in == nullptr || hdr == nullptr) return ERR_INVALID_PARAM;
    rr_free_points(points);

    unsigned char bytes[RR_HDR_SIZE];
    if (std::fseek(in, 0, SEEK_SET) != 0 || std::fread(bytes, 1, 4, in) != 4) {
        return ERR_PREMATURE_EOF;
    }
    if (u_load_be32(bytes) != static_cast<uint32_t>(RR_MAGIC_NUMBER)) return ERR_NOT_A_RAMP_FILE;
    if (std::fseek(in, 0, SEEK_SET) != 0 || std::fread(bytes, 1, RR_HDR_SIZE, in) != RR_HDR_SIZE) {
        return ERR_PREMATURE_EOF;
    }
    rr_decode_hdr(bytes, hdr);
    if (points == nullptr || hdr->nPoints < 1) return 0;

    // The count is checked against what the file holds before anything is
    // allocated for it.
    long end = -1;
    if (std::fseek(in, 0, SEEK_END) == 0) end = std::ftell(in);
    const std::size_t count = static_cast<std::size_t>(hdr->nPoints);
    if (end < RR_HDR_SIZE || static_cast<std::size_t>(end - RR_HDR_SIZE) / 2 < count ||
        std::fseek(in, RR_HDR_SIZE, SEEK_SET) != 0) {
        return ERR_CORRUPT_RAMP_FILE;
    }
    auto* values = static_cast<uint16_t*>(u_alloc(count * sizeof(uint16_t)));
    if (values == nullptr) return ERR_NO_MEM;
    if (std::fread(values, sizeof(uint16_t), count, in) != count) {
        u_free(values);
        return ERR_CORRUPT_RAMP_FILE;
    }
    for (std::size_t k = 0; k < count; ++k) {
        values[k] = u_load_be16(reinterpret_cast<const unsigned char*>(values + k));
    }
    *points = values;
    return 0;
}

int rr_read_ramp_file(const char* path, rr_ramp_hdr_t* hdr, uint16_t** points) {
    if (path == nullptr || hdr == nullptr) return ERR_INVALID_PARAM;
    rr_free_points(points);
    FILE* in = plat_fopen_regular(path, "rb");
    if (in == nullptr) return ERR_CANT_OPEN_FILE;
    int status = rr_read_ramp_stream(in, hdr, points);
    std::fclose(in);
    return status;
}

const char* rr_get_std_ramp_filename(const rr_ramp_hdr_t* hdr) {
    static char name[128];
    if (hdr == nullptr) return nullptr;
    const int32_t type = hdr->rampType;
    if (type != RR_TYPE_SWLI && type != RR_TYPE_BTW && !rr_is_pmi_type(type)) {
        u_msg_sink("rr_get_std_ramp_filename: unsupported ramp type %d\n", type);
        return nullptr;
    }
    struct Number {
        const char* what;
        double value;
        bool round;
        int result;
    };
    Number rate{"rate", hdr->cameraRate / (static_cast<double>(hdr->grabSkip) + 1), true, 0};
    Number scan{"scanLen", hdr->scanLen, false, 0};
    Number slope{"rampSlope", hdr->rampSlope, false, 0};
    Number mag{"objMag", hdr->objMag, false, 0};
    Number* needed[4] = {&rate, nullptr, nullptr, nullptr};
    if (!rr_is_pmi_type(type)) {
        needed[1] = &scan;
        needed[2] = &slope;
        if (type == RR_TYPE_BTW) needed[3] = &mag;
    }
    for (Number* n : needed) {
        if (n != nullptr && !to_int(n->value, n->round, &n->result)) {
            u_msg_sink("rr_get_std_ramp_filename: %s %g does not fit an integer\n", n->what,
                       n->value);
            return nullptr;
        }
    }
    const std::string rateText = std::to_string(rate.result);
    if (type == RR_TYPE_SWLI) {
        std::snprintf(name, sizeof name, "d%ds%dc%s.%c%d", scan.result, slope.result,
                      rateText.c_str(), hdr->polar, hdr->pztID);
    } else if (type == RR_TYPE_BTW) {
        std::snprintf(name, sizeof name, "d%ds%dc%sm%d.%c%d", scan.result, slope.result,
                      rateText.c_str(), mag.result, hdr->polar, hdr->pztID);
    } else {
        std::snprintf(name, sizeof name, "p%dc%s.%c%d", hdr->nBuckets, rateText.c_str(),
                      hdr->rampMux == 1 ? 'q' : 'p', hdr->pztID);
    }
    return name;
}

void rr_print_ramp_hdr(FILE* out, const rr_ramp_hdr_t* hdr, const uint16_t* points,
                       bool onePerLine) {
    if (out == nullptr || hdr == nullptr) return;
    const auto* raw = reinterpret_cast<const unsigned char*>(hdr);
    for (const HdrField& f : kFields) {
        const int first = f.offset + 1, last = f.offset + 4;
        if (f.kind == FIELD_CHAR) {
            std::fprintf(out, "# %3d-%3d  %-18s = %c\n", first, last, f.name, hdr->polar);
        } else if (f.kind == FIELD_FLOAT) {
            float v;
            std::memcpy(&v, raw + f.offset, 4);
            std::fprintf(out, "# %3d-%3d  %-18s = %g\n", first, last, f.name, v);
        } else {
            int32_t v;
            std::memcpy(&v, raw + f.offset, 4);
            std::fprintf(out, "# %3d-%3d  %-18s = %d\n", first, last, f.name, v);
        }
    }
    std::fprintf(out, "# %3d-%3d  %-18s\n", kSpareOffset + 1, RR_HDR_SIZE, "spare");
    std::fprintf(out, "# sizeof rr_ramp_hdr_t = %d\n", static_cast<int>(sizeof(rr_ramp_hdr_t)));
    if (points == nullptr) return;
    for (int32_t k = 0; k < hdr->nPoints; ++k) {
        if (onePerLine) {
            std::fprintf(out, "%u\n", static_cast<unsigned>(points[k]));
        } else {
            std::fprintf(out, "%u  ", static_cast<unsigned>(points[k]));
            if (k % 10 == 0) std::fprintf(out, "\n");
        }
    }
    if (!onePerLine) std::fprintf(out, "\n");
}

int rr_check_ramp_file(rr_ramp_hdr_t* hdr, const char* fileName, int32_t instrBdType,
                       int32_t pifocId, int32_t pztId) {
    if (hdr == nullptr) return ERR_INVALID_PARAM;
    if (fileName == nullptr) fileName = "";
    const int32_t board = hdr->instrBdType;
    const bool boardOk = instrBdType == 8 ? (board == 0 || board == 1 || board == 8)
                                          : (board == 0 || board == instrBdType);
    if (!boardOk) {
        u_msg_sink("Error: ramp data file %s is not compatible with this instrument\n", fileName);
        return ERR_WRONG_INSTR_BOARD;
    }

    const int32_t type = hdr->rampType;
    const bool pmi = rr_is_pmi_type(type);
    if (!pmi && type != RR_TYPE_SWLI && type != RR_TYPE_BTW) {
        u_msg_sink("Error: ramp data file \"%s\" is of unknown type %d\n", fileName, type);
        return ERR_CORRUPT_RAMP_FILE;
    }
    const int32_t actuator = pmi ? pztId : pifocId;
    const char* actuatorName = pmi ? "PZT" : "PIFOC";
    if (actuator == -1) {
        u_msg_sink("Error: ramp data file \"%s\" can only be used with a %s\n", fileName,
                   actuatorName);
        return ERR_INVALID_PARAM;
    }
    if (hdr->pztID != actuator) {
        u_msg_sink("Warning: ramp data file \"%s\" was generated for a different %s\n", fileName,
                   actuatorName);
        u_msg_sink("Changing ramp S/N from %d to %d\n", hdr->pztID, actuator);
        hdr->pztID = actuator;
    }

    const float f = hdr->fringesPerFrame;
    float accepted = -1;
    if (pmi) {
        const int32_t buckets = hdr->nBuckets;
        if (buckets > 13) return 0;
        const bool quarter = buckets == 5 || buckets == 7;
        const bool eighth = buckets == 11 || buckets == 13;
        if ((f == 0.25f && quarter) || (f == 0.125f && eighth)) {
            accepted = f;
        } else if (f == 0 && (quarter || eighth)) {
            accepted = quarter ? 0.25f : 0.125f;
        }
    } else if (f != 0) {
        if (is_odd_quarter(f)) accepted = f;
    } else {
        const float slope = hdr->rampSlope;
        if (slope == 81) accepted = 0.25f;
        if (slope == 243) accepted = 0.75f;
        if (slope == 405) accepted = 1.25f;
        if (slope == 567) accepted = 1.75f;
    }
    if (accepted < 0) {
        u_msg_sink("Error: invalid fringesPerFrame %g in ramp data file \"%s\"\n",
                   static_cast<double>(f), fileName);
        return ERR_INVALID_PARAM;
    }
    hdr->fringesPerFrame = accepted;
    return 0;
}
