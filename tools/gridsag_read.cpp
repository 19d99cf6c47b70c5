#include "tools/gridsag_read.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

#include "platform/path.h"
#include "tools/datgen.h"

namespace {

constexpr const char* kUnitNames[] = {"mm", "cm", "in", "m"};
constexpr double kUnitNm[] = {1e6, 1e7, 2.54e7, 1e9};
constexpr const char* kFieldNames[] = {"z", "dz/dx", "dz/dy", "d2z/dxdy", "flag"};

std::vector<std::string_view> split(const char* line, size_t len) {
    std::vector<std::string_view> fields;
    size_t i = 0;
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (i < len) {
        while (i < len && blank(line[i])) ++i;
        const size_t start = i;
        while (i < len && !blank(line[i])) ++i;
        if (i > start) fields.emplace_back(line + start, i - start);
    }
    return fields;
}

// A field quoted for a message, shortened when long.
std::string quoted(std::string_view field) {
    std::string s(field.substr(0, 32));
    if (field.size() > 32) s += "...";
    return "'" + s + "'";
}

bool to_double(std::string_view field, double* v) {
    const std::string s(field);
    errno = 0;
    char* end = nullptr;
    *v = std::strtod(s.c_str(), &end);
    return end == s.c_str() + s.size() && errno != ERANGE && std::isfinite(*v);
}

bool to_int(std::string_view field, int64_t lo, int64_t hi, int64_t* v) {
    const std::string s(field);
    errno = 0;
    char* end = nullptr;
    const long long x = std::strtoll(s.c_str(), &end, 10);
    if (s.empty() || end != s.c_str() + s.size() || errno == ERANGE || x < lo || x > hi) {
        return false;
    }
    *v = x;
    return true;
}

struct Reader {
    const char* path;
    std::string* error;
    bool fail(int64_t line, const std::string& what) {
        *error = std::string(path) + ":" + std::to_string(line) + ": " + what;
        return false;
    }

    bool header(const std::vector<std::string_view>& f, GridSagFile* g) {
        if (f.size() != 5 && f.size() != 7) {
            return fail(1, "expected nx ny delx dely unit [xdec ydec], found " +
                               std::to_string(f.size()) + " values");
        }
        const int64_t max_side = std::numeric_limits<int32_t>::max();
        if (!to_int(f[0], 1, max_side, &g->nx)) {
            return fail(1, "nx must be a whole number of at least 1, found " + quoted(f[0]));
        }
        if (!to_int(f[1], 1, max_side, &g->ny)) {
            return fail(1, "ny must be a whole number of at least 1, found " + quoted(f[1]));
        }
        if (!to_double(f[2], &g->delx) || !(g->delx > 0)) {
            return fail(1, "delx must be a number above 0, found " + quoted(f[2]));
        }
        if (!to_double(f[3], &g->dely) || !(g->dely > 0)) {
            return fail(1, "dely must be a number above 0, found " + quoted(f[3]));
        }
        int64_t unit;
        if (!to_int(f[4], 0, 3, &unit)) {
            return fail(1, "unit must be 0 (mm), 1 (cm), 2 (in) or 3 (m), found " + quoted(f[4]));
        }
        g->unit = static_cast<int>(unit);
        if (f.size() == 7) {
            g->has_decentre = true;
            if (!to_double(f[5], &g->xdec)) return fail(1, "xdec is not a number: " + quoted(f[5]));
            if (!to_double(f[6], &g->ydec)) return fail(1, "ydec is not a number: " + quoted(f[6]));
        }
        return true;
    }

    bool point(int64_t line, const std::vector<std::string_view>& f, GridSagFile* g) {
        if (f.size() != 5) {
            return fail(line, "expected 5 values (z dz/dx dz/dy d2z/dxdy flag), found " +
                                  std::to_string(f.size()));
        }
        double v[4];
        for (int i = 0; i < 4; ++i) {
            if (!to_double(f[static_cast<size_t>(i)], &v[i])) {
                return fail(line, std::string(kFieldNames[i]) +
                                      " is not a number: " + quoted(f[static_cast<size_t>(i)]));
            }
        }
        int64_t flag;
        if (!to_int(f[4], 0, 1, &flag))
            return fail(line, "flag must be 0 or 1, found " + quoted(f[4]));
        g->z.push_back(v[0]);
        g->dzdx.push_back(v[1]);
        g->dzdy.push_back(v[2]);
        g->d2zdxdy.push_back(v[3]);
        g->no_data.push_back(static_cast<uint8_t>(flag));
        return true;
    }
};

// The next line with its line end, NUL bytes included; false at the end of
// the file.
bool next_line(FILE* f, std::string* line) {
    line->clear();
    int c;
    while ((c = std::getc(f)) != EOF) {
        line->push_back(static_cast<char>(c));
        if (c == '\n') return true;
    }
    return !line->empty();
}

}  // namespace

bool grid_sag_read(const char* path, GridSagFile* grid, std::string* error) {
    *grid = GridSagFile{};
    Reader r{path, error};
    FILE* f = plat_fopen(path, "rb");
    if (f == nullptr) {
        *error = std::string(path) + ": cannot open: " + std::strerror(errno);
        return false;
    }
    std::string line;
    int64_t number = 0, points = 0, expected = 0;
    bool ok = true, have_header = false;
    while (ok && next_line(f, &line)) {
        ++number;
        const auto fields = split(line.data(), line.size());
        if (!have_header) {
            ok = r.header(fields, grid);
            have_header = true;
            expected = grid->nx * grid->ny;
        } else if (points < expected) {
            ok = r.point(number, fields, grid);
            ++points;
        } else if (!fields.empty()) {
            ok = r.fail(number,
                        "more lines than the header's " + std::to_string(expected) + " points");
        }
    }
    const bool read_error = std::ferror(f) != 0;
    std::fclose(f);
    if (!ok) return false;
    if (read_error) {
        *error = std::string(path) + ": read error";
        return false;
    }
    if (!have_header) return r.fail(1, "empty file, no header line");
    if (points < expected) {
        return r.fail(number + 1, "the file ends after " + std::to_string(points) + " of " +
                                      std::to_string(expected) + " points");
    }
    return true;
}

HeightMap grid_sag_heights_nm(const GridSagFile& grid) {
    HeightMap map;
    map.width = static_cast<int>(grid.nx);
    map.height = static_cast<int>(grid.ny);
    const double k = kUnitNm[grid.unit];
    map.z.resize(grid.z.size());
    for (size_t i = 0; i < grid.z.size(); ++i) {
        map.z[i] = grid.no_data[i] ? std::numeric_limits<double>::quiet_NaN() : grid.z[i] * k;
    }
    return map;
}

namespace {

void print_range(FILE* out, const char* name, const GridSagFile& g, const std::vector<double>& v,
                 const char* unit) {
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (size_t i = 0; i < v.size(); ++i) {
        if (g.no_data[i]) continue;
        lo = std::min(lo, v[i]);
        hi = std::max(hi, v[i]);
    }
    if (lo > hi) {
        std::fprintf(out, "%s: none\n", name);
    } else {
        std::fprintf(out, "%s: %.9g to %.9g%s\n", name, lo, hi, unit);
    }
}

}  // namespace

int grdinfo_main(int argc, const char* const* argv, FILE* out, FILE* err) {
    const char* usage =
        "Usage: grdinfo [--png IMAGE] FILE\n"
        "       grdinfo --version\n"
        "Checks a grid-sag file's header and every line, and prints the grid size,\n"
        "the spacings, the sag range, the number of points without data and the\n"
        "ranges of the derivatives. With --png, draws the sags in nanometres into IMAGE.\n";
    const char* png = nullptr;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "-h" || a == "--help") {
            std::fputs(usage, out);
            return 0;
        }
        if (a == "--version") {
            std::fputs(tools_version_line("grdinfo").c_str(), out);
            return 0;
        }
        if (a == "--png" && i + 1 < argc && png == nullptr) {
            png = argv[++i];
        } else if (!a.empty() && a[0] != '-' && path == nullptr) {
            path = argv[i];
        } else {
            path = nullptr;
            break;
        }
    }
    if (path == nullptr) {
        std::fputs(usage, err);
        return 1;
    }
    GridSagFile g;
    std::string error;
    if (!grid_sag_read(path, &g, &error)) {
        std::fprintf(err, "grdinfo: %s\n", error.c_str());
        return 1;
    }
    const char* unit = kUnitNames[g.unit];
    int64_t without = 0;
    for (uint8_t n : g.no_data) without += n;
    std::fprintf(out, "file: %s\n", path);
    std::fprintf(out, "nx: %lld\nny: %lld\n", static_cast<long long>(g.nx),
                 static_cast<long long>(g.ny));
    std::fprintf(out, "delx: %.9g %s\ndely: %.9g %s\n", g.delx, unit, g.dely, unit);
    if (g.has_decentre) std::fprintf(out, "decentre: %.9g %.9g %s\n", g.xdec, g.ydec, unit);
    std::fprintf(out, "points: %zu, without data: %lld\n", g.z.size(),
                 static_cast<long long>(without));
    const std::string space_unit = std::string(" ") + unit;
    print_range(out, "sag", g, g.z, space_unit.c_str());
    print_range(out, "dz/dx", g, g.dzdx, "");
    print_range(out, "dz/dy", g, g.dzdy, "");
    print_range(out, "d2z/dxdy", g, g.d2zdxdy, "");
    if (png != nullptr) {
        if (!picture_write_png(png, picture_draw(grid_sag_heights_nm(g), "nm"), &error)) {
            std::fprintf(err, "grdinfo: %s\n", error.c_str());
            return 1;
        }
    }
    return 0;
}
