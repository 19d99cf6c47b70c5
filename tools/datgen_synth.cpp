// Synthetic surfaces: heights on the phase window, turned into phase counts
// through the header's height factors, with regions without data on top.
#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

#include "tools/datgen.h"

namespace {

// Reproducible across standard libraries: mt19937's sequence is fixed, the
// distributions' are not.
struct Random {
    std::mt19937 engine;
    explicit Random(uint32_t seed) : engine(seed) {}
    double uniform(double lo, double hi) { return lo + (hi - lo) * (engine() / 4294967296.0); }
};

bool fail(std::string* error, const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
}

struct Wave {
    double fx, fy, phase, weight;
};

// A smooth random surface: a few long plane waves. Each is separable
// (cos(a + b) = cos a cos b - sin a sin b), so a row costs two tables.
class RandomSurface {
  public:
    RandomSurface(const DatGenOptions& o, int w, int h) : width_(w) {
        Random rng(o.seed);
        const int k = 12;
        waves_.resize(k);
        double total = 0;
        const double scale = 1.0 / std::max(w, h);
        for (Wave& wave : waves_) {
            double cycles = rng.uniform(0.5, 3.0);
            double angle = rng.uniform(0, 2 * std::numbers::pi);
            wave.fx = 2 * std::numbers::pi * cycles * std::cos(angle) * scale;
            wave.fy = 2 * std::numbers::pi * cycles * std::sin(angle) * scale;
            wave.phase = rng.uniform(0, 2 * std::numbers::pi);
            wave.weight = 1.0 / cycles;
            total += wave.weight;
        }
        const double amplitude = o.amplitude_um * 1e-6 / total;
        col_cos_.resize(static_cast<std::size_t>(k) * w);
        col_sin_.resize(static_cast<std::size_t>(k) * w);
        for (int n = 0; n < k; ++n) {
            waves_[n].weight *= amplitude;
            for (int i = 0; i < w; ++i) {
                double a = waves_[n].fx * i + waves_[n].phase;
                col_cos_[static_cast<std::size_t>(n) * w + i] = std::cos(a);
                col_sin_[static_cast<std::size_t>(n) * w + i] = std::sin(a);
            }
        }
    }

    void row(int j, double* heights) const {
        std::fill(heights, heights + width_, 0.0);
        for (std::size_t n = 0; n < waves_.size(); ++n) {
            const double b = waves_[n].fy * j;
            const double c = std::cos(b) * waves_[n].weight, s = std::sin(b) * waves_[n].weight;
            const double* cc = &col_cos_[n * width_];
            const double* ss = &col_sin_[n * width_];
            for (int i = 0; i < width_; ++i) heights[i] += cc[i] * c - ss[i] * s;
        }
    }

  private:
    int width_;
    std::vector<Wave> waves_;
    std::vector<double> col_cos_, col_sin_;
};

// Holes without data: circles at random places, painted after the surface.
void punch_holes(const DatGenOptions& o, int w, int h, std::vector<int32_t>* phase) {
    Random rng(o.seed ^ 0x9E3779B9u);
    const double max_radius = std::max(1.5, std::min(w, h) / 16.0);
    for (int n = 0; n < o.holes; ++n) {
        const double cx = rng.uniform(0, w), cy = rng.uniform(0, h);
        const double r = rng.uniform(0.5, max_radius);
        const int x0 = std::max(0, static_cast<int>(cx - r)),
                  x1 = std::min(w - 1, static_cast<int>(cx + r));
        const int y0 = std::max(0, static_cast<int>(cy - r)),
                  y1 = std::min(h - 1, static_cast<int>(cy + r));
        for (int j = y0; j <= y1; ++j) {
            for (int i = x0; i <= x1; ++i) {
                const double dx = i + 0.5 - cx, dy = j + 0.5 - cy;
                if (dx * dx + dy * dy <= r * r)
                    (*phase)[static_cast<std::size_t>(j) * w + i] = o.invalid_value;
            }
        }
    }
}

// The reader's height of one count, inverted: the factors multiply in single
// precision, in this order.
double counts_per_metre(const DatGenOptions& o) {
    const float unit = (o.height_factor_1 * o.height_factor_3) * o.height_factor_2;
    return dat_phase_counts_per_cycle(o.phase_res) / static_cast<double>(unit);
}

// Rounded to the nearest count and kept below the values that mean "no data";
// a height that is not a number has no count.
int32_t count_from_height(double height_m, double per_metre) {
    const double count = std::nearbyint(height_m * per_metre);
    if (std::isnan(count)) return INVALID_PHASE;
    if (count < static_cast<double>(INT32_MIN)) return INT32_MIN;
    if (count > static_cast<double>(INVALID_PHASE - 1)) return INVALID_PHASE - 1;
    return static_cast<int32_t>(count);
}

}  // namespace

int32_t datgen_height_to_count(double height_m, const DatGenOptions& o) {
    return count_from_height(height_m, counts_per_metre(o));
}

bool datgen_synthesize(const DatGenOptions& o, DatImage* image, std::string* error) {
    const int w = o.window.width, h = o.window.height;
    if (w < 1 || h < 1) return fail(error, "width and height must be 1 to 32767");
    const int64_t points = static_cast<int64_t>(w) * h;
    if (points * 4 > INT32_MAX) return fail(error, "the phase block would exceed 2 GiB");
    if (o.n_buckets < 0 || o.n_buckets > 32767) return fail(error, "buckets must be 0 to 32767");
    if (points * 2 * o.n_buckets > INT32_MAX)
        return fail(error, "the intensity block would exceed 2 GiB");
    if (o.invalid_value < INVALID_PHASE)
        return fail(error, "the invalid value must be 0x7FFFFFF8 or more");
    const float unit = (o.height_factor_1 * o.height_factor_3) * o.height_factor_2;
    if (unit == 0 || !std::isfinite(unit))
        return fail(error, "height factors must give a non-zero finite unit");
    if (o.border < 0 || o.holes < 0 || o.aperture_radius < 0) {
        return fail(error, "border, holes and aperture radius must not be negative");
    }
    if (o.shape == DATGEN_SPHERE && o.radius_mm == 0)
        return fail(error, "the sphere radius must not be 0");

    *image = DatImage{};
    image->magic = o.magic;
    image->phase_window = o.window;
    image->height_factor_1 = o.height_factor_1;
    image->height_factor_2 = o.height_factor_2;
    image->height_factor_3 = o.height_factor_3;
    image->lateral_res = o.lateral_res;
    image->phase_res = o.phase_res;
    image->intensity_bytes = o.intensity_bytes;
    image->phase_bytes = o.phase_bytes;
    image->phase.resize(static_cast<std::size_t>(points));

    const double cx = (w - 1) / 2.0, cy = (h - 1) / 2.0;
    const double pitch = o.lateral_res;  // metres per pixel
    const double radius = o.radius_mm * 1e-3;
    const double amplitude = o.amplitude_um * 1e-6;
    const double corner2 = std::max(1e-300, (cx * cx + cy * cy) * pitch * pitch);
    const double aperture = o.aperture_radius > 0 ? o.aperture_radius : std::min(w, h) / 2.0;
    const double per_metre = counts_per_metre(o);

    std::unique_ptr<RandomSurface> random;
    if (o.shape == DATGEN_RANDOM) random = std::make_unique<RandomSurface>(o, w, h);
    std::vector<double> heights(static_cast<std::size_t>(w));

    for (int j = 0; j < h; ++j) {
        const double y = (j - cy) * pitch;
        switch (o.shape) {
            case DATGEN_RANDOM:
                random->row(j, heights.data());
                break;
            case DATGEN_FLAT:
                std::fill(heights.begin(), heights.end(), 0.0);
                break;
            default:
                for (int i = 0; i < w; ++i) {
                    const double x = (i - cx) * pitch;
                    double z = 0;
                    if (o.shape == DATGEN_SPHERE) {
                        // Sag in the form that keeps its precision near the vertex.
                        const double r2 = x * x + y * y, rr = radius * radius;
                        z = r2 > rr ? NAN
                                    : std::copysign(r2 / (std::fabs(radius) + std::sqrt(rr - r2)),
                                                    radius);
                    } else if (o.shape == DATGEN_TILT) {
                        z = o.tilt_x * x + o.tilt_y * y;
                    } else {
                        z = amplitude * (x * x - y * y) / corner2;
                    }
                    heights[i] = z;
                }
        }
        int32_t* row = image->phase.data() + static_cast<std::size_t>(j) * w;
        const bool border_row = j < o.border || j >= h - o.border;
        for (int i = 0; i < w; ++i) {
            bool valid = !o.no_valid && !border_row && i >= o.border && i < w - o.border &&
                         !std::isnan(heights[i]);
            if (valid && o.aperture) {
                const double dx = i - cx, dy = j - cy;
                valid = dx * dx + dy * dy <= aperture * aperture;
            }
            if (!valid) {
                row[i] = o.invalid_value;
                continue;
            }
            row[i] = count_from_height(heights[i], per_metre);
        }
    }
    if (o.holes > 0 && !o.no_valid) punch_holes(o, w, h, &image->phase);

    if (o.n_buckets > 0) {
        // Fringes of the phase, each plane a quarter cycle on from the last.
        image->intensity_window = o.window;
        image->n_buckets = static_cast<int16_t>(o.n_buckets);
        image->intens_param = o.intens_param;
        image->intensity.resize(static_cast<std::size_t>(points) * o.n_buckets);
        const double to_radians = 2 * std::numbers::pi / dat_phase_counts_per_cycle(o.phase_res);
        for (int b = 0; b < o.n_buckets; ++b) {
            int16_t* plane = image->intensity.data() + static_cast<std::size_t>(b) * points;
            for (int64_t n = 0; n < points; ++n) {
                const int32_t v = image->phase[n];
                plane[n] = phase_is_valid(v)
                               ? static_cast<int16_t>(
                                     2048 + std::lround(1500 * std::cos(v * to_radians +
                                                                        b * std::numbers::pi / 2)))
                               : 0;
            }
        }
    }
    return true;
}
