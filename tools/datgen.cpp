#include "tools/datgen.h"

#include <cstring>

#include "common/bytes.h"
#include "platform/path.h"

namespace {
int header_size_for(uint32_t magic) {
    return magic == DAT_MAGIC_834_A || magic == DAT_MAGIC_834_B ? DAT_HEADER_SMALL
                                                                : DAT_HEADER_LARGE;
}

void store_f32(unsigned char* p, float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    u_store_be32(p, bits);
}

void store_i16(unsigned char* p, int16_t v) {
    u_store_be16(p, static_cast<uint16_t>(v));
}

// Byte counts are 32-bit in the header; an override outside that range is
// written modulo 2^32, which is what a hostile file can hold anyway.
void store_count(unsigned char* p, int64_t v) {
    u_store_be32(p, static_cast<uint32_t>(v));
}
}  // namespace

std::vector<unsigned char> dat_image_bytes(const DatImage& image) {
    const int h = header_size_for(image.magic);
    const std::size_t intensity_len = image.intensity.size() * 2;
    const std::size_t phase_len = image.phase.size() * 4;
    std::vector<unsigned char> out(h + intensity_len + phase_len, 0);
    // Fields beyond an 834-byte header are built in a full image and cut off.
    unsigned char header[DAT_HEADER_LARGE] = {};
    u_store_be32(header + DAT_OFF_MAGIC, image.magic);
    const Window& iw = image.intensity_window;
    store_i16(header + DAT_OFF_INTENS_X, iw.x);
    store_i16(header + DAT_OFF_INTENS_Y, iw.y);
    store_i16(header + DAT_OFF_INTENS_WIDTH, iw.width);
    store_i16(header + DAT_OFF_INTENS_HEIGHT, iw.height);
    store_i16(header + DAT_OFF_N_BUCKETS, image.n_buckets);
    store_i16(header + DAT_OFF_INTENS_PARAM, image.intens_param);
    store_count(header + DAT_OFF_INTENS_BYTES, image.intensity_bytes >= 0
                                                   ? image.intensity_bytes
                                                   : static_cast<int64_t>(intensity_len));
    const Window& pw = image.phase_window;
    store_i16(header + DAT_OFF_PHASE_X, pw.x);
    store_i16(header + DAT_OFF_PHASE_Y, pw.y);
    store_i16(header + DAT_OFF_PHASE_WIDTH, pw.width);
    store_i16(header + DAT_OFF_PHASE_HEIGHT, pw.height);
    store_count(header + DAT_OFF_PHASE_BYTES,
                image.phase_bytes >= 0 ? image.phase_bytes : static_cast<int64_t>(phase_len));
    store_f32(header + DAT_OFF_HEIGHT_FACTOR_1, image.height_factor_1);
    store_f32(header + DAT_OFF_HEIGHT_FACTOR_2, image.height_factor_2);
    store_f32(header + DAT_OFF_HEIGHT_FACTOR_3, image.height_factor_3);
    store_f32(header + DAT_OFF_LATERAL_RES, image.lateral_res);
    store_i16(header + DAT_OFF_PHASE_RES, image.phase_res);
    std::memcpy(out.data(), header, h);

    unsigned char* p = out.data() + h;
    for (int16_t v : image.intensity) {
        store_i16(p, v);
        p += 2;
    }
    for (int32_t v : image.phase) {
        u_store_be32(p, static_cast<uint32_t>(v));
        p += 4;
    }
    for (const auto& [offset, bytes] : image.raw_patches) {
        if (offset < 0) continue;
        std::size_t end = static_cast<std::size_t>(offset) + bytes.size();
        if (end > out.size()) out.resize(end, 0);
        std::memcpy(out.data() + offset, bytes.data(), bytes.size());
    }
    return out;
}

bool dat_image_write(const char* path, const DatImage& image) {
    std::vector<unsigned char> bytes = dat_image_bytes(image);
    FILE* file = plat_fopen(path, "wb");
    if (file == nullptr) return false;
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    ok = std::fflush(file) == 0 && ok;
    ok = std::fclose(file) == 0 && ok;
    return ok;
}
