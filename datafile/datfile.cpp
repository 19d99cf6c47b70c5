#include "datafile/datfile.h"

#include <algorithm>
#include <bit>

#include "common/bytes.h"
#include "common/status.h"
#include "platform/path.h"

namespace {

// A run of `count` header fields of `size` bytes each (1: bytes kept as they are).
struct FieldRun {
    int16_t offset;
    int16_t count;
    int8_t size;
};

// Every field of the header, in file order, so that each numeric field is
// reordered exactly once and texts and byte arrays never are.
constexpr FieldRun kHeaderFields[] = {
    {0, 1, 4},
    {4, 1, 2},
    {6, 1, 4},
    {10, 1, 2},
    {12, 30, 1},
    {42, 9, 2},
    {60, 1, 4},
    {64, 4, 2},
    {72, 2, 4},
    {80, 82, 1},
    {162, 1, 2},
    {164, 6, 4},
    {188, 5, 2},
    {198, 1, 4},
    {202, 1, 2},
    {204, 1, 4},
    {208, 2, 1},
    {210, 2, 4},
    {218, 1, 2},
    {220, 1, 4},
    {224, 1, 2},
    {226, 1, 4},
    {230, 8, 2},
    {246, 52, 1},
    {298, 3, 2},
    {304, 56, 1},
    {360, 1, 4},
    {364, 2, 2},
    {368, 1, 4},
    {372, 2, 2},
    {376, 2, 4},
    {384, 1, 2},
    {386, 3, 4},
    {398, 8, 1},
    {406, 1, 2},
    {408, 20, 1},
    {428, 1, 2},
    {430, 18, 4},
    {502, 232, 1},
    {734, 1, 2},
    {736, 80, 1},
    {816, 1, 2},
    {818, 20, 1},
    {838, 2, 2},
    {842, 7, 4},
    {870, 28, 1},
    {898, 2, 1},  // header_format: set by the reader, the file's bytes are not used
    {900, 2, 2},
    {904, 30, 1},
    {934, 1, 4},
    {938, 60, 1},
    {998, 10, 4},
    {1038, 88, 1},
    {1126, 23, 4},
    {1218, 32, 1},
    {1250, 3, 4},
    // three groups of the same shape
    {1262, 2, 1},
    {1264, 1, 2},
    {1266, 14, 4},
    {1322, 2, 1},
    {1324, 1, 2},
    {1326, 14, 4},
    {1382, 2, 1},
    {1384, 1, 2},
    {1386, 14, 4},
    {1442, 4, 1},
    {1446, 2, 4},
    {1454, 2642, 1},
};

constexpr bool header_fields_cover_header() {
    int next = 0;
    for (const FieldRun& run : kHeaderFields) {
        if (run.offset != next) return false;
        next += run.count * run.size;
    }
    return next == DAT_HEADER_LARGE;
}
static_assert(header_fields_cover_header(), "header field runs must tile the header");

void fix_header_byte_order(unsigned char* image) {
    if constexpr (std::endian::native == std::endian::big) return;
    for (const FieldRun& run : kHeaderFields) {
        if (run.size == 1) continue;
        for (int i = 0; i < run.count; ++i)
            u_swap_bytes(image + run.offset + i * run.size, run.size);
    }
}

int16_t header_i16(const unsigned char* image, int offset) {
    int16_t v;
    std::memcpy(&v, image + offset, sizeof v);
    return v;
}

int32_t header_i32(const unsigned char* image, int offset) {
    int32_t v;
    std::memcpy(&v, image + offset, sizeof v);
    return v;
}

// Dimensions are 16-bit in the header; anything above 32767 as unsigned
// (negative as signed) cannot be a matrix dimension.
bool dimension_too_large(const unsigned char* image, int width_offset, int height_offset) {
    return static_cast<uint16_t>(header_i16(image, width_offset)) > 32767 ||
           static_cast<uint16_t>(header_i16(image, height_offset)) > 32767;
}

// What is known of the stream's extent: a seekable stream tells its size, so
// counts taken from the header can be held against the bytes really there.
struct StreamExtent {
    bool known = false;
    int64_t end = 0;

    bool probe(FILE* stream) {
        long here = std::ftell(stream);
        if (here < 0) return true;  // not seekable: nothing known, nothing moved
        if (std::fseek(stream, 0, SEEK_END) != 0) {
            std::clearerr(stream);
            return std::fseek(stream, here, SEEK_SET) == 0;
        }
        long size = std::ftell(stream);
        if (std::fseek(stream, here, SEEK_SET) != 0) return false;
        if (size >= 0) {
            known = true;
            end = size;
        }
        return true;
    }

    // False when the stream's size is known and fewer than `bytes` remain.
    bool holds(FILE* stream, int64_t bytes) const {
        if (!known) return true;
        long here = std::ftell(stream);
        return here >= 0 && end - here >= bytes;
    }
};

// Steps over `bytes` bytes. A non-seekable stream is read and the bytes
// discarded. Stepping past the end is not itself an error (a later read finds
// the end); a stream error is.
bool skip_bytes(FILE* stream, int64_t bytes, const StreamExtent& extent) {
    if (bytes <= 0) return true;
    if (extent.known) {
        // Not every stream may be positioned past its end (memory streams).
        long here = std::ftell(stream);
        if (here < 0) return false;
        int64_t target = std::min<int64_t>(extent.end, here + bytes);
        return std::fseek(stream, static_cast<long>(target), SEEK_SET) == 0;
    }
    unsigned char buffer[8192];
    while (bytes > 0) {
        std::size_t want = static_cast<std::size_t>(std::min<int64_t>(bytes, sizeof buffer));
        std::size_t got = std::fread(buffer, 1, want, stream);
        bytes -= static_cast<int64_t>(got);
        if (got < want) return !std::ferror(stream);
    }
    return true;
}

int read_intensity(FILE* stream, const StreamExtent& extent, int32_t byte_count,
                   IntensityMatrix* intensity) {
    const Window& w = intensity->window;
    const int64_t count = static_cast<int64_t>(intensity->n_buckets) * w.width * w.height;
    if (count <= 0) return ERR_PARAM_OUT_OF_RANGE;
    // The matrix takes no more than it holds: a longer block's excess is
    // stepped over below, a shorter one cannot fill it.
    const int64_t block_values = static_cast<uint32_t>(byte_count) / 2;
    if (block_values < count) return ERR_CORRUPT_DATA_FILE;
    if (!extent.holds(stream, count * 2)) return ERR_CORRUPT_DATA_FILE;
    int status = intensity->alloc();
    if (status != 0) return status;
    if (intensity->matrix == nullptr || intensity->size < count) return ERR_NO_MEM;
    std::size_t n = static_cast<std::size_t>(count);
    if (std::fread(intensity->matrix, sizeof(int16_t), n, stream) != n)
        return ERR_CORRUPT_DATA_FILE;
    auto* bytes = reinterpret_cast<unsigned char*>(intensity->matrix);
    for (std::size_t i = 0; i < n; ++i) {
        intensity->matrix[i] = static_cast<int16_t>(u_load_be16(bytes + 2 * i));
    }
    if (!skip_bytes(stream, static_cast<int64_t>(byte_count) - count * 2, extent))
        return ERR_CORRUPT_DATA_FILE;
    return 0;
}

int read_phase(FILE* stream, const StreamExtent& extent, PhaseMatrix* phase) {
    const int64_t count = static_cast<int64_t>(phase->window.width) * phase->window.height;
    if (count <= 0) return ERR_PARAM_OUT_OF_RANGE;
    if (!extent.holds(stream, count * 4)) return ERR_CORRUPT_DATA_FILE;
    int status = phase->alloc();
    if (status != 0) return status;
    if (phase->matrix == nullptr || phase->size < count) return ERR_NO_MEM;
    std::size_t n = static_cast<std::size_t>(count);
    std::size_t got = std::fread(phase->matrix, sizeof(int32_t), n, stream);
    if (std::ferror(stream) || got != n) return ERR_CORRUPT_DATA_FILE;
    auto* bytes = reinterpret_cast<unsigned char*>(phase->matrix);
    for (std::size_t i = 0; i < n; ++i) {
        phase->matrix[i] = static_cast<int32_t>(u_load_be32(bytes + 4 * i));
    }
    return 0;
}

int read_stream(FILE* stream, HeaderPreamble* preamble, HeaderRecord* record,
                IntensityMatrix* intensity, PhaseMatrix* phase) {
    unsigned char image[DAT_HEADER_LARGE] = {};
    if (std::fread(image, 1, 4, stream) != 4) return ERR_PREMATURE_EOF;
    const uint32_t magic = u_load_be32(image);
    int header_size;
    if (magic == DAT_MAGIC_834_A || magic == DAT_MAGIC_834_B) {
        header_size = DAT_HEADER_SMALL;
    } else if (magic == DAT_MAGIC_4096) {
        header_size = DAT_HEADER_LARGE;
    } else {
        return ERR_NOT_A_DATA_FILE;
    }
    // The magic is already in the image, so the rest follows without moving
    // back; pipes can be read too.
    const std::size_t rest = static_cast<std::size_t>(header_size - 4);
    if (std::fread(image + 4, 1, rest, stream) != rest) return ERR_PREMATURE_EOF;
    fix_header_byte_order(image);

    if (preamble != nullptr) {
        preamble->field_10 = header_i16(image, 10);
        std::memcpy(preamble->field_12, image + 12, sizeof preamble->field_12);
        preamble->field_42 = header_i16(image, 42);
        preamble->field_44 = header_i16(image, 44);
        preamble->field_46 = header_i16(image, 46);
    }

    const int32_t intensity_bytes = header_i32(image, DAT_OFF_INTENS_BYTES);
    const int32_t phase_bytes = header_i32(image, DAT_OFF_PHASE_BYTES);
    if (intensity != nullptr) {
        intensity->clear();
        if (intensity_bytes > 0) {
            if (dimension_too_large(image, DAT_OFF_INTENS_WIDTH, DAT_OFF_INTENS_HEIGHT)) {
                return ERR_DATASET_DIM_TOO_LARGE;
            }
            intensity->window = {
                header_i16(image, DAT_OFF_INTENS_X), header_i16(image, DAT_OFF_INTENS_Y),
                header_i16(image, DAT_OFF_INTENS_WIDTH), header_i16(image, DAT_OFF_INTENS_HEIGHT)};
            intensity->n_buckets = header_i16(image, DAT_OFF_N_BUCKETS);
            intensity->intens_param = header_i16(image, DAT_OFF_INTENS_PARAM);
        }
    }
    if (phase != nullptr) {
        phase->clear();
        if (phase_bytes > 0) {
            if (dimension_too_large(image, DAT_OFF_PHASE_WIDTH, DAT_OFF_PHASE_HEIGHT)) {
                return ERR_DATASET_DIM_TOO_LARGE;
            }
            phase->window = {header_i16(image, DAT_OFF_PHASE_X), header_i16(image, DAT_OFF_PHASE_Y),
                             header_i16(image, DAT_OFF_PHASE_WIDTH),
                             header_i16(image, DAT_OFF_PHASE_HEIGHT)};
        }
    }
    if (record != nullptr) {
        std::memcpy(record->image, image + HeaderRecord::first_offset, sizeof record->image);
        record->set_i16(DAT_OFF_HEADER_FORMAT, header_size == DAT_HEADER_LARGE ? 3 : 0);
    }

    StreamExtent extent;
    if (!extent.probe(stream)) return ERR_CORRUPT_DATA_FILE;

    if (intensity_bytes > 0) {
        if (intensity != nullptr) {
            int status = read_intensity(stream, extent, intensity_bytes, intensity);
            if (status != 0) return status;
        } else if (!skip_bytes(stream, intensity_bytes, extent)) {
            return ERR_CORRUPT_DATA_FILE;
        }
    }
    if (phase_bytes <= 0) return 0;
    if (phase == nullptr)
        return skip_bytes(stream, phase_bytes, extent) ? 0 : ERR_CORRUPT_DATA_FILE;
    return read_phase(stream, extent, phase);
}

}  // namespace

int dat_read_stream(FILE* stream, HeaderPreamble* preamble, HeaderRecord* record,
                    IntensityMatrix* intensity, PhaseMatrix* phase) {
    if (stream == nullptr) return ERR_PARAM_OUT_OF_RANGE;
    int status = read_stream(stream, preamble, record, intensity, phase);
    if (status != 0) {
        if (intensity != nullptr) intensity->release();
        if (phase != nullptr) phase->release();
    }
    return status;
}

int dat_read_file(const char* path, HeaderPreamble* preamble, HeaderRecord* record,
                  IntensityMatrix* intensity, PhaseMatrix* phase) {
    FILE* file = plat_fopen_regular(path, "rb");
    if (file == nullptr) return ERR_CANT_OPEN_FILE;
    int status = dat_read_stream(file, preamble, record, intensity, phase);
    std::fclose(file);  // opened for reading only: nothing to lose on close
    return status;
}

int32_t dat_phase_counts_per_cycle(int phase_res) {
    switch (phase_res) {
        case 0:
            return 4096;
        case 1:
            return 32768;
        default:
            return 131072;
    }
}
