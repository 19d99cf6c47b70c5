#include "app/driver.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/gridsag.h"
#include "common/status.h"
#include "datafile/datfile.h"
#include "datafile/surface.h"
#include "platform/fs.h"

namespace {

void print_usage() {
    std::fprintf(stderr, "\nUsage:  surfconv [options] input output width\n");
    std::fprintf(stderr, "\tinput  = existing Pryn binary data file\n");
    std::fprintf(stderr, "\toutput = Zemax grid sag surface data file to create\n");
    std::fprintf(stderr, "\twidth  = width of output grid ( must be odd )\n");
    std::fprintf(stderr, "\n\tOptions:\n");
    std::fprintf(stderr, "\t\t-f\twrites output even if file already exists\n");
}

void print_head(const char* input, const char* output) {
    std::fprintf(stderr, "Unable to convert \"%s\" to \"%s\" because...\n", input, output);
}

// Everything one run needs, so that every path ends in the same place.
struct Run {
    const char* input = nullptr;
    const char* output = nullptr;
    const char* width_text = nullptr;
    // The paths as the file calls get them: a byte-order-marked argument is read
    // in 16-bit units, so its copy ends in a whole zero unit and no call reads
    // past the end of the argument.
    std::string input_path;
    std::string output_path;
    bool overwrite = false;
    GridSagOptions options{};
    int status = NO_ERROR;
    int exit_status = 0;
    HeaderPreamble preamble{};
    HeaderRecord header{};
    PhaseMatrix phase{};
};

// Returns false on a usage error.
bool scan_arguments(int argc, char** argv, Run* run) {
    int positional = 0;
    for (int a = 1; a < argc; ++a) {
        const char* arg = argv[a];
        if (arg[0] == '-') {
            if (arg[1] == 'f') {
                run->overwrite = true;
            } else if (arg[1] == 'd') {
                run->options.derivatives = GRID_SAG_DERIV_GRID;
            } else {
                return false;
            }
            continue;
        }
        switch (positional++) {
            case 0:
                run->input = arg;
                break;
            case 1:
                run->output = arg;
                break;
            case 2:
                run->width_text = arg;
                break;
            default:
                return false;
        }
    }
    return positional == 3;
}

// The width as atoi reads it (leading blanks, a sign, digits), clamped to the
// 32-bit range instead of wrapping.
int parse_width(const char* text) {
    long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

void convert(int argc, char** argv, Run* run) {
    if (argc < 4 || !scan_arguments(argc, argv, run)) {
        print_usage();
        run->exit_status = 1;
        return;
    }
    const char* in = run->input;
    const char* out = run->output;
    run->input_path.assign(in).append(2, '\0');
    run->output_path.assign(out).append(2, '\0');
    if (!plat_is_regular_file(run->input_path.c_str(), run->input_path.size())) {
        print_head(in, out);
        std::fprintf(stderr, "\t\"%s\" does not exist\n", in);
        run->exit_status = 2;
        return;
    }
    if (plat_is_regular_file(run->output_path.c_str(), run->output_path.size()) &&
        !run->overwrite) {
        print_head(in, out);
        std::fprintf(stderr, "\t\"%s\" already exists\n", out);
        run->exit_status = 3;
        return;
    }
    const int width = parse_width(run->width_text);
    if (width % 2 == 0) {
        print_head(in, out);
        std::fprintf(stderr, "\tOutput grid width ( %d ) must be odd\n", width);
        run->exit_status = 1;
        return;
    }
    // A grid needs at least one point across besides its margins.
    if (width < 1) {
        print_usage();
        run->exit_status = 1;
        return;
    }

    std::fprintf(stderr, "Converting \"%s\" to \"%s\"\n", in, out);
    run->status =
        dat_read_file(run->input_path.c_str(), &run->preamble, &run->header, nullptr, &run->phase);
    if (run->status != NO_ERROR) {
        print_head(in, out);
        std::fprintf(stderr, "\tthere was an error reading the file \"%s\"\n", in);
        std::fprintf(stderr, "\t%s\n", u_error_name(run->status));
        run->exit_status = 4;
        return;
    }
    run->status = run->phase.trim_to_valid();
    if (run->status != NO_ERROR) {
        print_head(in, out);
        std::fprintf(stderr, "\t%s\n", u_error_name(run->status));
        run->exit_status = 9;
        return;
    }

    // 64-bit, so that no width can overflow the products and sums.
    const int64_t w = run->phase.window.width;
    const int64_t h = run->phase.window.height;
    int64_t rows = w > 0 ? h * width / w : 0;
    if (rows % 2 == 0) rows += 1;
    const int64_t columns = int64_t{width} + 2;
    rows += 2;
    if (columns > w) {
        print_head(in, out);
        std::fprintf(stderr, "\tOutput grid width ( %d ) must be smaller than input width ( %d )\n",
                     static_cast<int>(columns - 2), static_cast<int>(w));
        run->exit_status = 6;
        return;
    }

    run->status =
        write_grid_sag_ex(run->output_path.c_str(), &run->header, &run->phase,
                          static_cast<int>(rows), static_cast<int>(columns), &run->options);
    if (run->status == NO_ERROR) return;
    print_head(in, out);
    switch (run->status) {
        case ERR_CANT_CREATE_FILE:
            std::fprintf(stderr, "\tthere was an error writing to the file \"%s\"\n", out);
            run->exit_status = 5;
            break;
        case ERR_CORRUPT_DATA_FILE:
            std::fprintf(stderr, "\tInvalid data at center of input\n");
            run->exit_status = 7;
            break;
        case ERR_LATERAL_RES_UNKNOWN:
            std::fprintf(stderr, "\tLateral resolution of input is unknown\n");
            run->exit_status = 8;
            break;
        default:
            std::fprintf(stderr, "\t%s\n", u_error_name(run->status));
            run->exit_status = 9;
            break;
    }
}

}  // namespace

int surfconv_main(int argc, char** argv) {
    Run run;
    run.phase.clear();
    convert(argc, argv, &run);
    if (run.phase.matrix != nullptr) run.phase.release();
    if (run.status == NO_ERROR && run.exit_status == 0) {
        std::fprintf(stderr, "Conversion from \"%s\" to \"%s\" successful\n", run.input,
                     run.output);
    }
    if (run.status != NO_ERROR && run.exit_status == 0) run.exit_status = 9;
    return run.exit_status;
}
