#include "tools/picture.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "platform/replace_file.h"

// The image coder: header-only, compiled here, PNG only, private to this file.
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb_image_write.h>
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STBI_ONLY_PNG
#define STBI_NO_LINEAR
#define STBI_NO_HDR
#include <stb_image.h>

namespace {

// The colour map at eleven evenly spaced points; colours between are linear.
constexpr Rgb kStops[] = {
    {68, 1, 84},    {72, 36, 117},  {65, 68, 135},  {53, 95, 141},  {42, 120, 142}, {33, 145, 140},
    {34, 168, 132}, {68, 191, 112}, {122, 209, 81}, {189, 223, 38}, {253, 231, 37},
};
constexpr int kLastStop = static_cast<int>(sizeof kStops / sizeof kStops[0]) - 1;

// A 5 x 7 font for the labels: one row a byte, the leftmost pixel in bit 4.
struct Glyph {
    char c;
    uint8_t rows[7];
};
constexpr Glyph kFont[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
    {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}},
    {'+', {0x00, 0x04, 0x04, 0x1F, 0x04, 0x04, 0x00}},
    {'e', {0x00, 0x00, 0x0E, 0x11, 0x1F, 0x10, 0x0E}},
    {'n', {0x00, 0x00, 0x16, 0x19, 0x11, 0x11, 0x11}},
    {'m', {0x00, 0x00, 0x1A, 0x15, 0x15, 0x11, 0x11}},
};

// Panel to the right of the map: gap, bar, gap, labels.
constexpr int kGap = 8, kBarWidth = 16, kLabelGap = 4;
constexpr int kMinHeight = 64;  // room for both labels and a readable bar

const Glyph* glyph(char c) {
    for (const Glyph& g : kFont) {
        if (g.c == c) return &g;
    }
    return nullptr;  // drawn as a space
}

void put(Picture* p, int x, int y, Rgb c) {
    if (x >= 0 && y >= 0 && x < p->width && y < p->height) {
        p->pixels[static_cast<size_t>(y) * p->width + x] = c;
    }
}

void draw_text(Picture* p, int x, int y, const std::string& text, int scale) {
    for (char c : text) {
        if (const Glyph* g = glyph(c)) {
            for (int row = 0; row < 7; ++row) {
                for (int col = 0; col < 5; ++col) {
                    if ((g->rows[row] >> (4 - col) & 1) == 0) continue;
                    for (int dy = 0; dy < scale; ++dy) {
                        for (int dx = 0; dx < scale; ++dx) {
                            put(p, x + col * scale + dx, y + row * scale + dy, kPictureInk);
                        }
                    }
                }
            }
        }
        x += 6 * scale;
    }
}

std::string label(double value, const char* unit) {
    char text[64];
    std::snprintf(text, sizeof text, "%.5g %s", value == 0 ? 0.0 : value, unit);
    return text;
}

struct WriteSink {
    FILE* f;
    bool ok = true;
};

void write_chunk(void* context, void* data, int size) {
    auto* sink = static_cast<WriteSink*>(context);
    if (size < 0 ||
        std::fwrite(data, 1, static_cast<size_t>(size), sink->f) != static_cast<size_t>(size)) {
        sink->ok = false;
    }
}

bool write_rows(FILE* f, const Picture& picture, std::string* error) {
    static_assert(sizeof(Rgb) == 3);
    WriteSink sink{f};
    if (stbi_write_png_to_func(write_chunk, &sink, picture.width, picture.height, 3,
                               picture.pixels.data(), picture.width * 3) == 0) {
        *error = "cannot encode the image";
        return false;
    }
    if (!sink.ok) *error = std::strerror(errno);
    return sink.ok;
}

bool read_rows(FILE* f, Picture* picture, std::string* error) {
    int w = 0, h = 0, channels = 0;
    // Any PNG the decoder knows (grey, palette, 16 bits, alpha) comes back as 8-bit RGB.
    stbi_uc* data = stbi_load_from_file(f, &w, &h, &channels, 3);
    if (data == nullptr) {
        const char* why = stbi_failure_reason();
        *error = why != nullptr ? why : "not a PNG image";
        return false;
    }
    const bool fits = w > 0 && h > 0 && w <= 1 << 16 && h <= 1 << 16;
    if (fits) {
        picture->width = w;
        picture->height = h;
        picture->pixels.resize(static_cast<size_t>(w) * static_cast<size_t>(h));
        std::memcpy(picture->pixels.data(), data, picture->pixels.size() * sizeof(Rgb));
    } else {
        *error = "not an RGB image of at most 65536 x 65536";
    }
    stbi_image_free(data);
    return fits;
}

}  // namespace

Rgb picture_colour(double t) {
    if (!(t > 0)) t = 0;  // NaN too
    if (t > 1) t = 1;
    const double at = t * kLastStop;
    const int i = std::min(static_cast<int>(at), kLastStop - 1);
    const double f = at - i;
    auto mix = [f](uint8_t a, uint8_t b) {
        return static_cast<uint8_t>(std::lround(a + (static_cast<double>(b) - a) * f));
    };
    const Rgb& a = kStops[i];
    const Rgb& b = kStops[i + 1];
    return {mix(a.r, b.r), mix(a.g, b.g), mix(a.b, b.b)};
}

int picture_block(int width, int height) {
    const int side = std::max(width, height);
    return side <= kPictureMaxSide ? 1 : (side + kPictureMaxSide - 1) / kPictureMaxSide;
}

HeightMap picture_shrink(const HeightMap& map) {
    const int f = picture_block(map.width, map.height);
    if (f == 1) return map;
    HeightMap out;
    out.width = (map.width + f - 1) / f;
    out.height = (map.height + f - 1) / f;
    out.z.assign(static_cast<size_t>(out.width) * out.height,
                 std::numeric_limits<double>::quiet_NaN());
    std::vector<double> sum(static_cast<size_t>(out.width));
    std::vector<int> count(static_cast<size_t>(out.width));
    for (int by = 0; by < out.height; ++by) {
        std::fill(sum.begin(), sum.end(), 0.0);
        std::fill(count.begin(), count.end(), 0);
        const int y1 = std::min(map.height, (by + 1) * f);
        for (int y = by * f; y < y1; ++y) {
            const double* row = map.z.data() + static_cast<size_t>(y) * map.width;
            for (int x = 0; x < map.width; ++x) {
                if (std::isnan(row[x])) continue;
                sum[static_cast<size_t>(x / f)] += row[x];
                ++count[static_cast<size_t>(x / f)];
            }
        }
        for (int bx = 0; bx < out.width; ++bx) {
            if (count[static_cast<size_t>(bx)] > 0) {
                out.z[static_cast<size_t>(by) * out.width + bx] =
                    sum[static_cast<size_t>(bx)] / count[static_cast<size_t>(bx)];
            }
        }
    }
    return out;
}

Picture picture_draw(const HeightMap& map, const char* unit) {
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (double z : map.z) {
        if (std::isnan(z)) continue;
        lo = std::min(lo, z);
        hi = std::max(hi, z);
    }
    const bool any = lo <= hi;
    const HeightMap shown = picture_shrink(map);

    Picture p;
    p.height = std::max(shown.height, kMinHeight);
    const int scale = std::clamp(p.height / 256, 1, 4);
    const std::string top = any ? label(hi, unit) : std::string("-");
    const std::string bottom = any ? label(lo, unit) : std::string("-");
    const int text_width = static_cast<int>(std::max(top.size(), bottom.size())) * 6 * scale;
    const int bar_x = shown.width + kGap;
    p.width = bar_x + kBarWidth + kLabelGap + text_width + kLabelGap;
    p.pixels.assign(static_cast<size_t>(p.width) * p.height, kPictureBackground);

    const double span = hi - lo;
    for (int y = 0; y < shown.height; ++y) {
        for (int x = 0; x < shown.width; ++x) {
            const double z = shown.z[static_cast<size_t>(y) * shown.width + x];
            Rgb c = kPictureNoData;
            if (!std::isnan(z)) c = picture_colour(span > 0 ? (z - lo) / span : 0.5);
            put(&p, x, y, c);
        }
    }
    for (int y = 0; y < p.height; ++y) {
        const Rgb c = picture_colour(1.0 - static_cast<double>(y) / (p.height - 1));
        for (int x = bar_x; x < bar_x + kBarWidth; ++x) put(&p, x, y, c);
    }
    const int text_x = bar_x + kBarWidth + kLabelGap;
    draw_text(&p, text_x, 0, top, scale);
    draw_text(&p, text_x, p.height - 7 * scale, bottom, scale);
    return p;
}

bool picture_write_png(const char* path, const Picture& picture, std::string* error) {
    // Through a temporary file: a failed write leaves no half picture and an
    // older one untouched.
    PlatReplaceFile file{};
    FILE* f = file.open(path, "_png");
    if (f == nullptr) {
        *error = std::string("cannot create ") + path + ": " + std::strerror(file.error);
        return false;
    }
    std::string png_error;
    if (!write_rows(f, picture, &png_error)) {
        file.abort();
        *error = std::string("cannot write ") + path + ": " + png_error;
        return false;
    }
    if (!file.commit()) {
        *error = std::string("cannot write ") + path + ": " + std::strerror(file.error);
        return false;
    }
    return true;
}

bool picture_read_png(const char* path, Picture* picture, std::string* error) {
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) {
        *error = std::string("cannot open ") + path;
        return false;
    }
    std::string png_error;
    const bool ok = read_rows(f, picture, &png_error);
    std::fclose(f);
    if (!ok) *error = std::string(path) + ": " + png_error;
    return ok;
}
