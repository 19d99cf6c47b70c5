// Ramp configuration files: reader, writer, and the spec-to-ramp check.
#include "config/rampcfg.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "common/msg.h"
#include "common/status.h"
#include "common/strformat.h"
#include "platform/path.h"
#include "platform/replace_file.h"

const char* const rr_cfg_description =
    "#\n"
    "# RT  = RampType: PMI, SWLI, BTW, or BTWX where X is a filter number\n"
    "# FN  = FileName: name of ramp data file or \"+\" if derived from previous\n"
    "# SL  = ScanLen: scan length in microns for SWLI or BTW ramps\n"
    "# CR  = CameraRate: frame rate in Hz\n"
    "# CI  = CameraInterlace: 1 if interlaced fields, otherwise 0\n"
    "# GS  = GrabSkip: (GrabSkip+1 specifies camera frame sampling)\n"
    "# FPF = FringesPerFrame: normal 0.125 or 0.25, subnyquist 0.75 or 1.25\n"
    "# RS  = RampSlope: nm/frm for SWLI or BTW ramps\n"
    "# OM  = ObjMag: nominal objective magnification, required for BTW ramps\n"
    "# SC  = ScanCal: factor near 1.0 to calibrate SWLI or BTW ramps\n"
    "# H   = Optional hide flag: 0 is normal, 1 to hide ramp from user\n"
    "#\n"
    "# RT    FN                     SL    CR   CI GS  FPF    RS       OM   SC      H";

const char* const rr_cfg_sample_line =
    " SWLI d10s81c25.b12345      010.20 025.00 00 00 0.250 081.0000 000.00 1.00000 0";

namespace {

// One line without its end (LF, or CR LF from files written on Windows).
// `length` counts every character; only the first `keep` are stored. False at
// the end of the file when nothing was read.
bool read_line(FILE* in, std::string* line, std::size_t keep, std::size_t* length) {
    line->clear();
    *length = 0;
    bool any = false;
    for (int c; (c = std::getc(in)) != EOF;) {
        any = true;
        if (c == '\n') break;
        if (c == '\r') {
            int next = std::getc(in);
            if (next == '\n') break;
            if (next != EOF) std::ungetc(next, in);
        }
        if (*length < keep) line->push_back(static_cast<char>(c));
        ++*length;
    }
    return any;
}

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> tokens;
    std::size_t at = 0;
    while (true) {
        at = line.find_first_not_of(" \t", at);
        if (at == std::string::npos) break;
        std::size_t end = line.find_first_of(" \t", at);
        tokens.push_back(line.substr(at, end == std::string::npos ? end : end - at));
        if (end == std::string::npos) break;
        at = end;
    }
    return tokens;
}

enum Conversion { CONV_OK, CONV_MISSING, CONV_NONE };

Conversion convert_float(const std::vector<std::string>& t, std::size_t k, float* v) {
    *v = 0;
    if (k >= t.size()) return CONV_MISSING;
    char* end = nullptr;
    float value = std::strtof(t[k].c_str(), &end);
    if (end == t[k].c_str()) return CONV_NONE;
    *v = value;
    return CONV_OK;
}

Conversion convert_int(const std::vector<std::string>& t, std::size_t k, int32_t* v) {
    *v = 0;
    if (k >= t.size()) return CONV_MISSING;
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(t[k].c_str(), &end, 10);
    if (end == t[k].c_str()) return CONV_NONE;
    // As the 32-bit runtime converts: saturated.
    if (value > INT32_MAX) value = INT32_MAX;
    if (value < INT32_MIN) value = INT32_MIN;
    *v = static_cast<int32_t>(value);
    return CONV_OK;
}

// A parse failure: the first line of the report and the explanation.
struct SpecError {
    std::string first;
    std::string explanation;
};

// Field names, numbered from 1 in the messages.
constexpr const char* kFieldNames[] = {
    "RampType", "FileName",        "ScanLen",   "CameraRate", "CameraInterlace",
    "GrabSkip", "FringesPerFrame", "RampSlope", "ObjMag",     "ScanCal",
    "Hide"};

// A missing field is followed by its field's explanation, as an invalid one
// is (the materials reader does the same).
bool float_field(const std::vector<std::string>& t, int field, bool (*valid)(float, int32_t),
                 int32_t type, const std::string& explanation, float* out, SpecError* err) {
    const char* name = kFieldNames[field - 1];
    Conversion c = convert_float(t, static_cast<std::size_t>(field - 1), out);
    if (c == CONV_MISSING) {
        *err = {u_format("Missing %s value (field %d)", name, field), explanation};
        return false;
    }
    // A NaN or infinite token is refused like any other value out of range.
    if (c == CONV_NONE || !std::isfinite(*out) || !valid(*out, type)) {
        *err = {u_format("Invalid %s value %g (field %d)", name, static_cast<double>(*out), field),
                explanation};
        return false;
    }
    return true;
}

bool int_field(const std::vector<std::string>& t, int field, int32_t low, int32_t high,
               const std::string& explanation, int32_t* out, SpecError* err) {
    const char* name = kFieldNames[field - 1];
    Conversion c = convert_int(t, static_cast<std::size_t>(field - 1), out);
    if (c == CONV_MISSING) {
        *err = {u_format("Missing %s value (field %d)", name, field), explanation};
        return false;
    }
    if (c == CONV_NONE || *out < low || *out > high) {
        *err = {u_format("Invalid %s value %d (field %d)", name, *out, field), explanation};
        return false;
    }
    return true;
}

bool is_pmi(int32_t type) {
    return type == RR_TYPE_PMI;
}

bool parse_type(const std::string& token, RrRampSpec* spec, SpecError* err) {
    // The first four characters decide.
    const char* text = token.c_str();
    if (std::strncmp(text, "SWLI", 4) == 0) {
        spec->rampType = RR_TYPE_SWLI;
        return true;
    }
    if (std::strncmp(text, "PMI", 4) == 0) {
        spec->rampType = RR_TYPE_PMI;
        return true;
    }
    if (std::strncmp(text, "BTW", 3) == 0) {
        const char* index = text + 3;
        if (index[0] == '\0') {
            spec->rampType = RR_TYPE_BTW;
            spec->wavelenSelect = 0;
            return true;
        }
        if (index[0] >= '1' && index[0] <= '4' && index[1] == '\0') {
            spec->rampType = RR_TYPE_BTW;
            spec->wavelenSelect = index[0] - '0';
            return true;
        }
        *err = {u_format("Invalid BTW wavelength index (field %d)", 1),
                u_format("Wavelength index must be an integer in the range [%d,%d]\n", 1, 4)};
        return false;
    }
    *err = {
        u_format("Invalid %s value (field %d)", "RampType", 1),
        u_format("Allowed %s values are SWLI, PMI, BTW, and BTWX\nwhere X is a wavelength index "
                 "in the range [%d,%d]\n",
                 "RampType", 1, 4)};
    return false;
}

bool parse_spec(const std::vector<std::string>& t, RrRampSpec* s, SpecError* err) {
    *s = RrRampSpec{};
    if (!parse_type(t[0], s, err)) return false;
    const int32_t type = s->rampType;

    if (t.size() < 2) {
        *err = {u_format("Missing %s value (field %d)", "FileName", 2),
                u_format("The %s may be up to %d characters\n", "FileName", RR_MAX_NAME)};
        return false;
    }
    if (t[1].size() > static_cast<std::size_t>(RR_MAX_NAME)) {
        *err = {u_format("%s is too long (field %d)", "FileName", 2),
                u_format("The %s may be up to %d characters\n", "FileName", RR_MAX_NAME)};
        return false;
    }
    std::memcpy(s->fileName, t[1].c_str(), t[1].size() + 1);

    if (!float_field(
            t, 3,
            [](float v, int32_t ty) {
                return v >= 0 && v < 1000 && (is_pmi(ty) ? v == 0 : v != 0);
            },
            type,
            u_format("For PMI ramps, the %s value must be 0\nFor SWLI or BTW ramps, it must be "
                     "greater than %g and less than %g (um)\n",
                     "ScanLen", 0.0, 1000.0),
            &s->scanLen, err)) {
        return false;
    }
    if (!float_field(
            t, 4, [](float v, int32_t) { return v > 0 && v <= 50000; }, type,
            u_format("The %s value must be greater than 0 and less than %g (Hz)\n", "CameraRate",
                     50000.0),
            &s->cameraRate, err)) {
        return false;
    }
    if (!int_field(t, 5, 0, 1, u_format("The %s value must be 0 or 1\n", "CameraInterlace"),
                   &s->cameraInterlace, err)) {
        return false;
    }
    if (!int_field(t, 6, 0, 99,
                   u_format("The %s value must be greater than or equal to %d and less than %d\n",
                            "GrabSkip", 0, 100),
                   &s->grabSkip, err)) {
        return false;
    }
    if (!float_field(
            t, 7, [](float v, int32_t) { return v > 0 && v < 10; }, type,
            u_format("The %s value must be greater than %g and less than %g\n", "FringesPerFrame",
                     0.0, 10.0),
            &s->fringesPerFrame, err)) {
        return false;
    }
    if (!float_field(
            t, 8, [](float v, int32_t ty) { return v >= 0 && v < 4000 && (is_pmi(ty) || v != 0); },
            type,
            u_format("For PMI ramps, the %s value may be 0\nFor SWLI or BTW ramps, it must be "
                     "greater than %g and less than %g (nm/frm)\n",
                     "RampSlope", 0.0, 4000.0),
            &s->rampSlope, err)) {
        return false;
    }
    if (!float_field(
            t, 9,
            [](float v, int32_t ty) { return v >= 0 && v < 1000 && (ty != RR_TYPE_BTW || v != 0); },
            type,
            u_format("For PMI or SWLI ramps, the %s value may be 0\nFor BTW ramps, it must be "
                     "greater than %g and less than %g\n",
                     "ObjMag", 0.0, 1000.0),
            &s->objMag, err)) {
        return false;
    }
    if (!float_field(
            t, 10, [](float v, int32_t ty) { return is_pmi(ty) ? v == 0 : (v > 0.5f && v < 1.5f); },
            type,
            u_format("For PMI ramps, the %s value must be 0\nFor SWLI or BTW ramps, it must be "
                     "greater than %g and less than %g\n",
                     "ScanCal", 0.5, 1.5),
            &s->scanCal, err)) {
        return false;
    }
    // Hide is optional; a comment after field 10 leaves it 0.
    if (t.size() > 10 && t[10][0] != '#' &&
        !int_field(t, 11, 0, 1, u_format("The %s value must be blank, 0 or 1\n", "Hide"), &s->hide,
                   err)) {
        return false;
    }
    return true;
}

class CfgReader {
  public:
    CfgReader(FILE* in, const char* path) : in_(in), path_(path) {}

    int read(RrRampSpec** specs, int* count);

  private:
    // Reports one error; true when the read must stop because of too many.
    bool report(const std::string& first, const std::string* lineText,
                const std::string& explanation);
    bool add(const RrRampSpec& spec);

    FILE* in_;
    const char* path_;
    int errors_ = 0;
    int lineNo_ = 0;
    RrRampSpec* specs_ = nullptr;
    int count_ = 0;
    int capacity_ = 0;
};

bool CfgReader::report(const std::string& first, const std::string* lineText,
                       const std::string& explanation) {
    if (errors_ == 0) u_msg_sink("Error reading ramp config file \"%s\"\n", path_);
    if (lineNo_ == 0) {
        u_msg_sink("%s\n%s", first.c_str(), explanation.c_str());
    } else if (lineText == nullptr) {
        u_msg_sink("%s in line %d\n%s", first.c_str(), lineNo_, explanation.c_str());
    } else {
        u_msg_sink("%s in line %d:\n  %s\n%s", first.c_str(), lineNo_, lineText->c_str(),
                   explanation.c_str());
    }
    if (++errors_ > RR_CFG_MAX_ERRORS) {
        u_msg_sink("Too many errors reading ramp config file \"%s\"\n", path_);
        return true;
    }
    return false;
}

bool CfgReader::add(const RrRampSpec& spec) {
    if (count_ == capacity_) {
        void* grown = u_realloc(specs_, sizeof(RrRampSpec) * (capacity_ + RR_CFG_GROW));
        if (grown == nullptr) return false;
        specs_ = static_cast<RrRampSpec*>(grown);
        capacity_ += RR_CFG_GROW;
    }
    specs_[count_++] = spec;
    return true;
}

int CfgReader::read(RrRampSpec** specs, int* count) {
    int status = 0;
    int specLines = 0;
    std::string line;
    std::size_t length = 0;
    while (status == 0 && read_line(in_, &line, RR_CFG_MAX_LINE + 1, &length)) {
        ++lineNo_;
        if (length > static_cast<std::size_t>(RR_CFG_MAX_LINE)) {
            report(u_format("Line longer than %d characters", RR_CFG_MAX_LINE), nullptr, "");
            status = ERR_CORRUPT_RAMP_CFG_FILE;
            break;
        }
        // A zero byte ends the text of a line, as it would for any C reader.
        line.resize(std::strlen(line.c_str()));
        std::vector<std::string> tokens = split(line);
        if (tokens.empty() || tokens[0][0] == '#') continue;
        ++specLines;
        RrRampSpec spec{};
        SpecError err;
        if (!parse_spec(tokens, &spec, &err)) {
            if (report(err.first, &line, err.explanation)) status = ERR_CORRUPT_RAMP_CFG_FILE;
            continue;
        }
        if (!add(spec)) {
            report("Out of memory", &line, "");
            status = ERR_NO_MEM;
        }
    }
    if (status == 0 && count_ == 0) {
        u_msg_sink("No acceptable ramp specs in ramp config file \"%s\"\n", path_);
        // The description has no final line end: the "\n" after it ends its
        // last line (the materials reader's description reads the same way).
        u_msg_sink("Format description and sample:\n%s\n%s\n", rr_cfg_description,
                   rr_cfg_sample_line);
        status = ERR_CORRUPT_RAMP_CFG_FILE;
    }
    if (status != 0) {
        rr_free_ramp_specs(&specs_);
        return status;
    }
    if (count_ < specLines) {
        u_msg_sink("Accepted %d of %d ramp specs in ramp config file \"%s\"\n", count_, specLines,
                   path_);
    }
    *specs = specs_;
    *count = count_;
    return 0;
}

}  // namespace

int rr_read_ramp_cfg_stream(FILE* in, const char* path, RrRampSpec** specs, int* count) {
    if (in == nullptr || specs == nullptr || count == nullptr || *specs != nullptr) {
        return ERR_INVALID_PARAM;
    }
    *count = 0;
    CfgReader reader(in, path != nullptr ? path : "");
    return reader.read(specs, count);
}

int rr_read_ramp_cfg(const char* path, RrRampSpec** specs, int* count) {
    if (path == nullptr || specs == nullptr || count == nullptr || *specs != nullptr) {
        return ERR_INVALID_PARAM;
    }
    FILE* in = plat_fopen_regular(path, "rb");
    if (in == nullptr) {
        u_msg_sink("Cannot open ramp config file \"%s\"\n", path);
        return ERR_CANT_OPEN_FILE;
    }
    int status = rr_read_ramp_cfg_stream(in, path, specs, count);
    std::fclose(in);
    return status;
}

void rr_free_ramp_specs(RrRampSpec** specs) {
    if (specs != nullptr && *specs != nullptr) {
        u_free(*specs);
        *specs = nullptr;
    }
}

const char* rr_ramp_type_text(int32_t rampType, int32_t wavelenSelect) {
    static const char* const btw[] = {"BTW", "BTW1", "BTW2", "BTW3", "BTW4"};
    if (rampType == RR_TYPE_SWLI) return "SWLI";
    if (rr_is_pmi_type(rampType)) return "PMI";
    if (rampType == RR_TYPE_BTW) {
        return wavelenSelect >= 1 && wavelenSelect <= 4 ? btw[wavelenSelect] : btw[0];
    }
    return "XXX";
}

int rr_write_ramp_cfg(const char* path, const RrRampSpec* specs, int count) {
    if (path == nullptr || specs == nullptr || count < 1) return ERR_INVALID_PARAM;
    PlatReplaceFile out{};
    FILE* f = out.open(path, "_rampcfg");
    if (f == nullptr) return ERR_CANT_OPEN_FILE;
    bool ok = std::fprintf(f, "# Tessaryn Ramp Configuration File\n%s\n", rr_cfg_description) > 0;
    for (int k = 0; ok && k < count; ++k) {
        const RrRampSpec& s = specs[k];
        // A blank line sets off each group of specs of one type, file and rate.
        const bool newGroup = k == 0 || s.rampType != specs[k - 1].rampType ||
                              std::strcmp(s.fileName, specs[k - 1].fileName) != 0 ||
                              std::fabs(s.cameraRate - specs[k - 1].cameraRate) > 1;
        if (newGroup && std::fputs("\n", f) == EOF) ok = false;
        char name[RR_MAX_NAME + 1];
        std::memcpy(name, s.fileName, RR_MAX_NAME);
        name[RR_MAX_NAME] = '\0';
        if (ok &&
            std::fprintf(f, " %-4s %-22s %6.2f %6.2f %2d %2d %5.3f %8.4f %6.2f %7.5f %1d\n",
                         rr_ramp_type_text(s.rampType, s.wavelenSelect), name,
                         static_cast<double>(s.scanLen), static_cast<double>(s.cameraRate),
                         s.cameraInterlace, s.grabSkip, static_cast<double>(s.fringesPerFrame),
                         static_cast<double>(s.rampSlope), static_cast<double>(s.objMag),
                         static_cast<double>(s.scanCal), s.hide) < 0) {
            ok = false;
        }
    }
    if (!ok) {
        out.abort();
        return ERR_CANT_WRITE_FILE;
    }
    return out.commit() ? 0 : ERR_CANT_WRITE_FILE;
}

int rr_check_ramp_spec(const RrRampSpec* spec, const RrRamp* ramp) {
    if (spec == nullptr || ramp == nullptr) return ERR_INVALID_PARAM;
    const rr_ramp_hdr_t& h = ramp->hdr;
    const bool pmiHeader = rr_is_pmi_type(h.rampType);
    const bool typeOk = pmiHeader ? (spec->rampType == RR_TYPE_PMI || spec->rampType == h.rampType)
                                  : spec->rampType == h.rampType;
    const char* mismatch = nullptr;
    if (!typeOk) {
        mismatch = "rampType";
    } else if (!(std::fabs(static_cast<double>(spec->cameraRate) - h.cameraRate) <= 0.1)) {
        mismatch = "cameraRate";
    } else if (spec->cameraInterlace != h.cameraInterlace) {
        mismatch = "cameraInterlace";
    } else if (spec->grabSkip != h.grabSkip) {
        mismatch = "grabSkip";
    } else if (spec->fringesPerFrame != h.fringesPerFrame) {
        mismatch = "fringesPerFrame";
    } else if (!pmiHeader && spec->scanLen != h.scanLen) {
        mismatch = "scanLen";
    } else if (!pmiHeader && spec->rampSlope != h.rampSlope) {
        mismatch = "rampSlope";
    }
    if (mismatch == nullptr) return 0;
    u_msg_sink("Error: mismatched %s\n", mismatch);
    return ERR_INVALID_PARAM;
}

int rr_ramp_set_add(RrRampSet* set, RrRamp* ramp) {
    if (set == nullptr || ramp == nullptr) return ERR_INVALID_PARAM;
    if (set->count >= RR_MAX_RAMPS) return ERR_PARAM_OUT_OF_RANGE;
    if (set->count == set->capacity) {
        int32_t capacity = set->capacity + 16;
        void* grown = u_realloc(set->ramps, sizeof(RrRamp) * static_cast<std::size_t>(capacity));
        if (grown == nullptr) return ERR_NO_MEM;
        set->ramps = static_cast<RrRamp*>(grown);
        set->capacity = capacity;
    }
    RrRamp& slot = set->ramps[set->count++];
    slot = *ramp;
    slot.hdr.rampID = set->count;
    std::memset(static_cast<void*>(ramp), 0, sizeof *ramp);
    return 0;
}

void rr_ramp_set_release(RrRampSet* set) {
    if (set == nullptr) return;
    for (int32_t k = 0; k < set->count; ++k) rr_ramp_release(&set->ramps[k]);
    if (set->ramps != nullptr) u_free(set->ramps);
    *set = RrRampSet{};
}

// Deriving a ramp from a loaded SWLI ramp.
namespace {

int32_t saturate(double v) {
    if (!(v > -2147483648.0)) return v != v ? 0 : INT32_MIN;
    if (v >= 2147483647.0) return INT32_MAX;
    return static_cast<int32_t>(v);
}

uint16_t dac_value(double v) {
    v = std::trunc(v);
    if (!(v > 0)) return 0;
    return v >= 65535 ? 65535 : static_cast<uint16_t>(v);
}

bool fits_float(double v) {
    return std::isfinite(v) && std::fabs(v) <= 3.4028234663852886e38;
}

int refuse(const char* what, double value, const char* where) {
    u_msg_sink("Error: %s = %g is invalid %s\n", what, value, where);
    return ERR_INVALID_PARAM;
}

// Everything of the base ramp and the spec that the derivation divides by or
// indexes with. `resample`: the scan gets shorter.
int check_derivation_inputs(const RrRamp* base, const RrRampSpec* spec, bool resample) {
    const rr_ramp_hdr_t& b = base->hdr;
    const char* inBase = "in base ramp";
    const char* forDerived = "for derived ramp";
    if (!(std::isfinite(b.cameraRate) && b.cameraRate > 0)) {
        return refuse("cameraRate", b.cameraRate, inBase);
    }
    if (b.grabSkip < 0) return refuse("grabSkip", b.grabSkip, inBase);
    if (!(std::isfinite(b.rampSlope) && b.rampSlope > 0)) {
        return refuse("rampSlope", b.rampSlope, inBase);
    }
    if (!(std::isfinite(b.sampleClkFreq) && b.sampleClkFreq > 0)) {
        return refuse("sampleClkFreq", b.sampleClkFreq, inBase);
    }
    if (b.trigStartAddr < 0 || b.trigStartAddr >= b.nPoints) {
        return refuse("trigStartAddr", b.trigStartAddr, inBase);
    }
    if (b.trigEndAddr <= b.trigStartAddr || b.trigEndAddr > b.nPoints) {
        return refuse("trigEndAddr", b.trigEndAddr, inBase);
    }
    if (!(std::isfinite(spec->cameraRate) && spec->cameraRate > 0)) {
        return refuse("cameraRate", spec->cameraRate, forDerived);
    }
    if (spec->grabSkip < 0) return refuse("grabSkip", spec->grabSkip, forDerived);
    if (!(std::isfinite(spec->rampSlope) && spec->rampSlope > 0)) {
        return refuse("rampSlope", spec->rampSlope, forDerived);
    }
    if (!resample) return 0;
    if (!(std::isfinite(b.scanLen) && b.scanLen > 0)) return refuse("scanLen", b.scanLen, inBase);
    if (!(spec->scanLen > 0)) return refuse("scanLen", spec->scanLen, forDerived);
    return 0;
}

// Resamples the base's points to the spec's shorter scan length `length`: the
// centred part of the base scan is stretched over the whole linear part.
int resample(const RrRamp* base, rr_ramp_hdr_t* n, float length, uint16_t* q) {
    const rr_ramp_hdr_t& b = base->hdr;
    const uint16_t* p = base->points;
    const int64_t count = b.nPoints, s = b.trigStartAddr, t = b.trigEndAddr, o = b.offset;
    const double r = static_cast<double>(length) / b.scanLen;
    const int64_t d = t - s;
    const int64_t i = s + static_cast<int64_t>(std::trunc((1 - r) * d / 2));
    const int64_t e0 = s + static_cast<int64_t>(std::trunc((1 + r) * d / 2));

    // The ramp-up ends at the level where the kept part begins.
    if (s > 0) {
        if (p[s] == o) return refuse("offset", static_cast<double>(o), "in base ramp");
        if (p[i] == o) return refuse("offset", static_cast<double>(o), "in base ramp");
        const double ratio = static_cast<double>(p[s] - o) / static_cast<double>(p[i] - o);
        for (int64_t j = 0; j < n->trigStartAddr && j < count; ++j) {
            q[j] = dac_value(std::trunc((p[j] - o) / ratio) + o);
        }
    }

    const int64_t end = e0 + (count - t);
    if (end - i < 1) return refuse("scanLen", length, "for derived ramp");
    const double e = static_cast<double>(count - s) / static_cast<double>(end - i);
    const int64_t whole = static_cast<int64_t>(std::trunc(e));
    const double frac = e - static_cast<double>(whole);

    double f = p[i];
    double acc = 0;
    int64_t k = n->trigStartAddr;
    uint16_t last = p[i];
    auto put = [&](uint16_t v) {
        if (k < count) q[k++] = v;
        last = v;
    };
    for (int64_t c = i; c < end && k < count; ++c) {
        const int64_t next = c + 1 < count ? c + 1 : count - 1;
        const double step = (static_cast<double>(p[next]) - p[c]) / e;
        for (int64_t m = 0; m < whole; ++m) {
            put(dac_value(f));
            f += step;
        }
        acc += frac;
        if (acc > 1) {
            put(static_cast<uint16_t>((last + dac_value(f)) >> 1));
            f += step;
            acc -= 1;
        }
    }
    if (acc > 0.5) put(dac_value(f));
    while (k < count) q[k++] = last;  // a short stretch holds its last level

    const double clock = static_cast<double>(n->sampleClkFreq) * e;
    if (!fits_float(clock)) return refuse("sampleClkFreq", clock, "for derived ramp");
    n->sampleClkFreq = static_cast<float>(clock);
    n->updateRate = saturate(std::trunc(65536 - 4000 / clock));
    n->scanLen = length;
    n->nBuckets = saturate(std::trunc(static_cast<double>(n->trigEndAddr - n->trigStartAddr) *
                                      (n->cameraRate / (n->grabSkip + 1.0)) / (clock * 1000)));
    return 0;
}

int derive(const RrRamp* base, RrRamp* out, const RrRampSpec* spec) {
    const rr_ramp_hdr_t& b = base->hdr;
    if (spec->rampType != RR_TYPE_SWLI && spec->rampType != RR_TYPE_BTW) {
        u_msg_sink("Error: derived ramp must be type SWLI or BTW\n");
        return ERR_INVALID_PARAM;
    }
    if (!(spec->scanLen <= b.scanLen)) {
        u_msg_sink("Error: derived ramp must have smaller scan length\n");
        return ERR_PARAM_OUT_OF_RANGE;
    }
    const double fpf = spec->fringesPerFrame;
    if (!(std::fmod(fpf, 0.25) == 0 || std::fmod(0.25, fpf) == 0)) {
        u_msg_sink("Error: fringesPerFrame = %g is invalid for derived ramp\n", fpf);
        return ERR_INVALID_PARAM;
    }
    if (spec->rampType == RR_TYPE_BTW && !(spec->objMag > 0)) {
        u_msg_sink("Error: BTW ramp must specify an objective mag\n");
        return ERR_INVALID_PARAM;
    }
    const bool shorter = spec->scanLen != b.scanLen;
    if (int status = check_derivation_inputs(base, spec, shorter)) return status;

    const std::size_t count = static_cast<std::size_t>(b.nPoints);
    auto* points = static_cast<uint16_t*>(u_alloc(count * sizeof(uint16_t)));
    if (points == nullptr) return ERR_NO_MEM;
    out->hdr = b;
    out->points = points;
    rr_ramp_hdr_t& n = out->hdr;
    n.rampType = spec->rampType;
    n.cameraRate = spec->cameraRate;
    n.scanLen = spec->scanLen;
    n.cameraInterlace = spec->cameraInterlace;
    n.grabSkip = spec->grabSkip;
    n.fringesPerFrame = spec->fringesPerFrame;
    n.rampSlope = spec->rampSlope;
    n.objMag = spec->objMag;
    n.scanCal = spec->scanCal;
    n.wavelenSelect = spec->wavelenSelect;

    const double g = n.cameraRate / (n.grabSkip + 1.0);
    const double h = (static_cast<double>(n.rampSlope) * g) /
                     (static_cast<double>(b.rampSlope) * b.cameraRate / (b.grabSkip + 1.0));
    if (shorter) {
        if (int status = resample(base, &n, spec->scanLen, points)) return status;
    } else {
        std::memcpy(points, base->points, count * sizeof(uint16_t));
    }

    const double clock = static_cast<double>(n.sampleClkFreq) * h;
    if (!fits_float(clock)) return refuse("sampleClkFreq", clock, "for derived ramp");
    n.sampleClkFreq = static_cast<float>(clock);
    const double u = n.sampleClkFreq > 0 ? 65536 - 4000 / static_cast<double>(n.sampleClkFreq) : -1;
    if (u < 0) {
        u_msg_sink("Error: sampleClkFreq = %g KHz is too low\n",
                   static_cast<double>(n.sampleClkFreq));
        return ERR_INVALID_PARAM;
    }
    n.updateRate = saturate(std::round(u));
    n.nBuckets = saturate(std::trunc(g * (n.trigEndAddr - n.trigStartAddr) /
                                     (1000 * static_cast<double>(n.sampleClkFreq))));

    if (n.compFilter > 0) {
        if (h < 0.5 && n.compGain < 2) {
            ++n.compGain;
        } else if (h > 2 && n.compGain > 0) {
            --n.compGain;
        }
        for (int32_t* adc : {&n.adcMin, &n.adcMax, &n.adcFirst, &n.adcMid, &n.adcLast}) {
            *adc = saturate(std::trunc(*adc * h));
        }
    }

    std::string name = std::string("+") + (base->name != nullptr ? base->name : "");
    return rr_ramp_set_name(out, name.c_str());
}

}  // namespace

int rr_derive_ramp(const RrRamp* base, RrRamp* derived, const RrRampSpec* spec) {
    if (base == nullptr || derived == nullptr || spec == nullptr) return ERR_INVALID_PARAM;
    if (base->hdr.rampType != RR_TYPE_SWLI || base->points == nullptr || base->hdr.nPoints < 1 ||
        derived->points != nullptr) {
        return ERR_INVALID_PARAM;
    }
    int status = derive(base, derived, spec);
    if (status != 0) {
        rr_ramp_release(derived);
        return status;
    }
    derived->derived = true;
    derived->hide = spec->hide;
    return 0;
}
