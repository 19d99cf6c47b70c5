// Pictures of surface heights: false colour on a perceptually uniform map,
// no-data points in neutral grey, and a colour bar labelled with the height
// range, written as an 8-bit RGB PNG.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Rgb {
    uint8_t r, g, b;
    bool operator==(const Rgb&) const = default;
};

// The colour of t in [0, 1] (clamped): dark blue-violet at 0 through green to
// yellow at 1.
Rgb picture_colour(double t);
constexpr Rgb kPictureNoData{128, 128, 128};
constexpr Rgb kPictureBackground{255, 255, 255};
constexpr Rgb kPictureInk{0, 0, 0};

// Heights row by row from the first row; NaN where there is no data.
struct HeightMap {
    int width = 0, height = 0;
    std::vector<double> z;
};

// Longest side drawn one image pixel per point; larger maps are shrunk by the
// least whole factor that brings them within it.
constexpr int kPictureMaxSide = 2048;

// The factor a map is shrunk by: 1 up to kPictureMaxSide on the long side.
int picture_block(int width, int height);

// The map shrunk by picture_block(): each image point is the mean of the
// points with data in its block, and without data only where none has.
HeightMap picture_shrink(const HeightMap& map);

// An RGB image, row by row.
struct Picture {
    int width = 0, height = 0;
    std::vector<Rgb> pixels;
    Rgb at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// Draws the map (shrunk) at the image's top left, one pixel per point, the
// colour bar and its labels (highest at the top, lowest at the bottom, with
// `unit`) to the right. Heights are coloured linearly from the lowest to the
// highest point with data; a flat map is drawn in the middle colour.
Picture picture_draw(const HeightMap& map, const char* unit);

// Writes the picture as a PNG file. False with a message in *error on failure.
bool picture_write_png(const char* path, const Picture& picture, std::string* error);

// Reads an 8-bit RGB or RGBA PNG (for the tests and the sample picture check).
bool picture_read_png(const char* path, Picture* picture, std::string* error);
