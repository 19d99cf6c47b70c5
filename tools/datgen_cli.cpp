// The command lines of datgen and the datinfo report, as library functions so
// that tests can run them without a child process.
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/bytes.h"
#include "common/status.h"
#include "platform/path.h"
#include "tools/datgen.h"

namespace {

bool parse_int(const char* text, int64_t lo, int64_t hi, int64_t* out) {
    if (text == nullptr || *text == '\0') return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text, &end, 0);  // 0x... accepted for magics and values
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool parse_double(const char* text, double* out) {
    if (text == nullptr || *text == '\0') return false;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(text, &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v)) return false;
    *out = v;
    return true;
}

}  // namespace

const char* datgen_help_text() {
    return "Usage: datgen [options] OUTPUT\n"
           "Writes a synthetic measurement data file.\n"
           "\n"
           "Header:\n"
           "  --header KIND          834 (same as 834a), 834a, 834b or 4096 (default 4096)\n"
           "  --magic VALUE          header magic as a number (0x881B036F, 0x881B0370, "
           "0x881B0371)\n"
           "  --x N --y N            first column and row of the phase window (default 0 0)\n"
           "  --width N --height N   phase window size (default 64 x 48)\n"
           "  --buckets N            intensity planes over the phase window (default 0: none)\n"
           "  --intens-param N       value kept with the intensity planes\n"
           "  --lateral-res M        pixel size in metres (default 1e-05)\n"
           "  --phase-res R          0/LO, 1/HI or 2/SUPER (default 1)\n"
           "  --hf1 F --hf2 F --hf3 F  height factors (default 6.328e-07 0.5 1)\n"
           "\n"
           "Surface:\n"
           "  --shape S              sphere, tilt, saddle, random or flat (default sphere)\n"
           "  --radius MM            sphere radius of curvature in mm, negative: convex (default "
           "50)\n"
           "  --tilt-x S --tilt-y S  plane slopes, height per length (default 0.001 0)\n"
           "  --amplitude UM         saddle and random surface height in micrometres (default 1)\n"
           "  --seed N               random surface and holes (default 1)\n"
           "\n"
           "Regions without data:\n"
           "  --aperture             circular aperture on the window's centre\n"
           "  --aperture-radius PX   its radius in pixels (default: the inscribed circle)\n"
           "  --border N             invalid border of N pixels\n"
           "  --holes N              N random circular holes\n"
           "  --no-valid             no point with data at all\n"
           "  --invalid-value V      value of points without data (default 0x7FFFFFF8)\n"
           "\n"
           "Hostile files:\n"
           "  --phase-bytes N        phase byte count written instead of the real one\n"
           "  --intensity-bytes N    intensity byte count written instead of the real one\n"
           "\n"
           "  -o, --output FILE      the output file (or give it as the last argument)\n"
           "  -h, --help             this text\n"
           "  --version              the version\n";
}

int datgen_parse_args(int argc, const char* const* argv, DatGenOptions* o, std::string* output,
                      std::string* error) {
    *o = DatGenOptions{};
    output->clear();
    auto usage = [&](const std::string& text) {
        *error = "datgen: " + text + "\nTry 'datgen --help'.\n";
        return 1;
    };
    for (int i = 0; i < argc; ++i) {
        std::string name = argv[i];
        std::string inline_value;
        bool has_inline = false;
        if (name.rfind("--", 0) == 0) {
            std::size_t eq = name.find('=');
            if (eq != std::string::npos) {
                inline_value = name.substr(eq + 1);
                name.resize(eq);
                has_inline = true;
            }
        }
        if (name == "-h" || name == "--help") {
            *error = datgen_help_text();
            return 2;
        }
        if (name == "--version") {
            *error = tools_version_line("datgen");
            return 2;
        }
        // Switches without a value.
        if (name == "--aperture" || name == "--no-valid") {
            if (has_inline) return usage(name + " takes no value");
            (name == "--aperture" ? o->aperture : o->no_valid) = true;
            continue;
        }
        if (name.empty() || name[0] != '-' || name == "-") {
            if (!output->empty()) return usage("more than one output file");
            *output = name;
            continue;
        }
        const char* value = nullptr;
        if (has_inline) {
            value = inline_value.c_str();
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            return usage("option " + name + " needs a value");
        }
        const std::string_view v = value;
        int64_t n = 0;
        double d = 0;
        auto bad = [&]() { return usage("bad value for " + name + ": '" + std::string(v) + "'"); };
        auto int_in = [&](int64_t lo, int64_t hi) { return parse_int(value, lo, hi, &n); };

        if (name == "-o" || name == "--output") {
            if (!output->empty()) return usage("more than one output file");
            *output = value;
        } else if (name == "--header") {
            if (v == "834" || v == "834a") {
                o->magic = DAT_MAGIC_834_A;
            } else if (v == "834b") {
                o->magic = DAT_MAGIC_834_B;
            } else if (v == "4096") {
                o->magic = DAT_MAGIC_4096;
            } else {
                return bad();
            }
        } else if (name == "--magic") {
            if (!int_in(0, UINT32_MAX)) return bad();
            o->magic = static_cast<uint32_t>(n);
        } else if (name == "--x" || name == "--y") {
            if (!int_in(INT16_MIN, INT16_MAX)) return bad();
            (name == "--x" ? o->window.x : o->window.y) = static_cast<int16_t>(n);
        } else if (name == "--width" || name == "--height") {
            if (!int_in(1, INT16_MAX)) return bad();
            (name == "--width" ? o->window.width : o->window.height) = static_cast<int16_t>(n);
        } else if (name == "--buckets") {
            if (!int_in(0, INT16_MAX)) return bad();
            o->n_buckets = static_cast<int>(n);
        } else if (name == "--intens-param") {
            if (!int_in(INT16_MIN, INT16_MAX)) return bad();
            o->intens_param = static_cast<int16_t>(n);
        } else if (name == "--phase-res") {
            if (v == "LO") {
                n = 0;
            } else if (v == "HI") {
                n = 1;
            } else if (v == "SUPER") {
                n = 2;
            } else if (!int_in(INT16_MIN, INT16_MAX)) {
                return bad();
            }
            o->phase_res = static_cast<int16_t>(n);
        } else if (name == "--lateral-res" || name == "--hf1" || name == "--hf2" ||
                   name == "--hf3") {
            if (!parse_double(value, &d)) return bad();
            float f = static_cast<float>(d);
            if (name == "--lateral-res") o->lateral_res = f;
            if (name == "--hf1") o->height_factor_1 = f;
            if (name == "--hf2") o->height_factor_2 = f;
            if (name == "--hf3") o->height_factor_3 = f;
        } else if (name == "--shape") {
            if (v == "sphere") {
                o->shape = DATGEN_SPHERE;
            } else if (v == "tilt") {
                o->shape = DATGEN_TILT;
            } else if (v == "saddle") {
                o->shape = DATGEN_SADDLE;
            } else if (v == "random") {
                o->shape = DATGEN_RANDOM;
            } else if (v == "flat") {
                o->shape = DATGEN_FLAT;
            } else {
                return bad();
            }
        } else if (name == "--radius" || name == "--tilt-x" || name == "--tilt-y" ||
                   name == "--amplitude" || name == "--aperture-radius") {
            if (!parse_double(value, &d)) return bad();
            if (name == "--radius") o->radius_mm = d;
            if (name == "--tilt-x") o->tilt_x = d;
            if (name == "--tilt-y") o->tilt_y = d;
            if (name == "--amplitude") o->amplitude_um = d;
            if (name == "--aperture-radius") {
                if (d < 0) return bad();
                o->aperture_radius = d;
                o->aperture = true;
            }
        } else if (name == "--seed") {
            if (!int_in(0, UINT32_MAX)) return bad();
            o->seed = static_cast<uint32_t>(n);
        } else if (name == "--border" || name == "--holes") {
            if (!int_in(0, 1000000)) return bad();
            (name == "--border" ? o->border : o->holes) = static_cast<int>(n);
        } else if (name == "--invalid-value") {
            if (!int_in(INVALID_PHASE, INT32_MAX)) return bad();
            o->invalid_value = static_cast<int32_t>(n);
        } else if (name == "--phase-bytes" || name == "--intensity-bytes") {
            // Header counts are 32-bit; negative ones mean "no block" to the reader.
            if (!int_in(INT32_MIN, UINT32_MAX)) return bad();
            (name == "--phase-bytes" ? o->phase_bytes : o->intensity_bytes) =
                static_cast<int64_t>(static_cast<uint32_t>(n));
        } else {
            return usage("unknown option " + name);
        }
    }
    if (output->empty()) return usage("no output file");
    return 0;
}

uint32_t datgen_crc32(const void* data, std::size_t bytes, uint32_t crc) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    const auto* p = static_cast<const unsigned char*>(data);
    crc = ~crc;
    for (std::size_t i = 0; i < bytes; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

namespace {

std::string printable(const char* text, std::size_t n) {
    while (n > 0 && text[n - 1] == '\0') --n;
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

int16_t be_i16(const unsigned char* p) {
    return static_cast<int16_t>(u_load_be16(p));
}
int32_t be_i32(const unsigned char* p) {
    return static_cast<int32_t>(u_load_be32(p));
}

}  // namespace

int datinfo_report(const char* path, FILE* out, FILE* err) {
    FILE* file = plat_fopen_regular(path, "rb");
    if (file == nullptr) {
        std::fprintf(err, "datinfo: %s: %s\n", path, u_error_name(ERR_CANT_OPEN_FILE));
        return ERR_CANT_OPEN_FILE;
    }
    // The fields before the header record (magic, byte counts) come from the
    // file's first bytes; everything else from the library's reader.
    unsigned char head[HeaderRecord::first_offset] = {};
    const std::size_t head_len = std::fread(head, 1, sizeof head, file);
    HeaderPreamble preamble{};
    HeaderRecord record{};
    IntensityMatrix intensity{};
    PhaseMatrix phase{};
    int status = std::fseek(file, 0, SEEK_SET) == 0
                     ? dat_read_stream(file, &preamble, &record, &intensity, &phase)
                     : ERR_CORRUPT_DATA_FILE;
    std::fclose(file);
    if (status != 0) {
        std::fprintf(err, "datinfo: %s: %s\n", path, u_error_name(status));
        return status;
    }
    (void)head_len;  // a successful read had the whole header

    const uint32_t magic = u_load_be32(head);
    std::fprintf(out, "file: %s\n", path);
    std::fprintf(out, "magic: 0x%08" PRIX32 " (header %d bytes)\n", magic,
                 magic == DAT_MAGIC_4096 ? DAT_HEADER_LARGE : DAT_HEADER_SMALL);
    std::fprintf(out, "preamble: %d \"%s\" %d %d %d\n", preamble.field_10,
                 printable(preamble.field_12, sizeof preamble.field_12).c_str(), preamble.field_42,
                 preamble.field_44, preamble.field_46);
    std::fprintf(out, "intensity window: x=%d y=%d width=%d height=%d\n",
                 be_i16(head + DAT_OFF_INTENS_X), be_i16(head + DAT_OFF_INTENS_Y),
                 be_i16(head + DAT_OFF_INTENS_WIDTH), be_i16(head + DAT_OFF_INTENS_HEIGHT));
    std::fprintf(out, "intensity bytes: %" PRId32 "\n", be_i32(head + DAT_OFF_INTENS_BYTES));
    std::fprintf(out, "n_buckets: %d\n", be_i16(head + DAT_OFF_N_BUCKETS));
    std::fprintf(out, "intens_param: %d\n", be_i16(head + DAT_OFF_INTENS_PARAM));
    std::fprintf(out, "phase window: x=%d y=%d width=%d height=%d\n",
                 be_i16(head + DAT_OFF_PHASE_X), be_i16(head + DAT_OFF_PHASE_Y),
                 be_i16(head + DAT_OFF_PHASE_WIDTH), be_i16(head + DAT_OFF_PHASE_HEIGHT));
    std::fprintf(out, "phase bytes: %" PRId32 "\n", be_i32(head + DAT_OFF_PHASE_BYTES));
    std::fprintf(out, "height factors: %.9g %.9g %.9g\n", record.height_factor_1(),
                 record.height_factor_2(), record.height_factor_3());
    std::fprintf(out, "lateral_res: %.9g\n", record.lateral_res());
    std::fprintf(out, "phase_res: %s, %" PRId32 " counts per cycle\n",
                 u_phase_res_name(record.phase_res()),
                 dat_phase_counts_per_cycle(record.phase_res()));
    std::fprintf(out, "header_format: %d\n", record.header_format());

    const uint64_t points = phase.matrix != nullptr
                                ? static_cast<uint64_t>(phase.window.width) * phase.window.height
                                : 0;
    uint64_t valid = 0;
    uint32_t crc = 0;
    for (uint64_t n = 0; n < points; ++n) {
        valid += phase_is_valid(phase.matrix[n]);
        unsigned char be[4];
        u_store_be32(be, static_cast<uint32_t>(phase.matrix[n]));
        crc = datgen_crc32(be, 4, crc);
    }
    std::fprintf(out, "valid points: %" PRIu64 " of %" PRIu64 "\n", valid, points);
    Window vw{};
    if (points > 0 && phase.valid_window(nullptr, &vw) == 0) {
        std::fprintf(out, "valid window: x=%d y=%d width=%d height=%d\n", vw.x, vw.y, vw.width,
                     vw.height);
    } else {
        std::fprintf(out, "valid window: none\n");
    }
    std::fprintf(out, "phase crc32: 0x%08" PRIX32 "\n", crc);
    intensity.release();
    phase.release();
    return 0;
}
