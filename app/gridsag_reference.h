// The grid-sag text of the default export computed the plain way, for the
// tests, the fuzz target and the benchmark to hold the fast export against:
// every sample through sample_phase, every number through snprintf.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "datafile/datfile.h"
#include "datafile/surface.h"

class GridSagReference {
  public:
    // The matrix must outlive the object; false when the export would refuse it
    // (no data at the centre) — the other refusals are not modelled.
    bool start(const HeaderRecord& header, const PhaseMatrix& m, int rows, int columns) {
        win_ = m.window;
        rows_ = rows;
        columns_ = columns;
        table_.resize(static_cast<size_t>(win_.height));
        m.row_ptrs(nullptr, table_.data());
        w_span_ = win_.width - 1;
        h_span_ = win_.height - 1;
        cx_ = w_span_ / (columns - 1);
        cy_ = h_span_ / (rows - 1);
        int32_t vc;
        sample_phase(table_.data(), x_at((columns + 1) / 2 - 1), y_at((rows + 1) / 2 - 1), win_,
                     &vc);
        if (vc == INVALID_PHASE) return false;
        vc_ = vc;
        const float scale =
            header.height_factor_1() * header.height_factor_3() * header.height_factor_2();
        k_ = static_cast<double>(scale) / dat_phase_counts_per_cycle(header.phase_res()) * 1000;
        lateral_ = header.lateral_res();
        return true;
    }

    std::string head() const {
        char line[128];
        std::snprintf(line, sizeof line, "%d %d %.9g %.9g 0\n", columns_, rows_,
                      lateral_ * cx_ * 1000, lateral_ * cy_ * 1000);
        return line;
    }

    // Appends the lines of grid row i.
    void row(int i, std::string* out) const {
        const double s = 0.01;
        const double dx[9] = {0, s, -s, 0, 0, s, -s, s, -s};
        const double dy[9] = {0, 0, 0, s, -s, s, s, -s, -s};
        const double y = y_at(i);
        char line[160];
        for (int j = 0; j < columns_; ++j) {
            const double x = x_at(j);
            int32_t v[9];
            bool ok = i > 0 && j > 0 && i < rows_ - 1 && j < columns_ - 1;
            for (int n = 0; ok && n < 9; ++n) {
                sample_phase(table_.data(), x + dx[n], y + dy[n], win_, &v[n]);
                ok = v[n] != INVALID_PHASE;
            }
            if (!ok) {
                out->append("0 0 0 0 1\n");
                continue;
            }
            double z[9];
            for (int n = 0; n < 9; ++n) z[n] = static_cast<double>(int64_t{v[n]} - vc_) * k_;
            const double t1 = (z[5] - z[6]) / (2 * s * cx_), t2 = (z[7] - z[8]) / (2 * s * cx_);
            const int len = std::snprintf(line, sizeof line, "%g %g %g %g 0\n", z[0],
                                          (z[1] - z[2]) / (2 * s * cx_),
                                          (z[3] - z[4]) / (2 * s * cy_), (t1 - t2) / (2 * s * cy_));
            out->append(line, static_cast<size_t>(len));
        }
    }

    std::string text() const {
        std::string t = head();
        for (int i = 0; i < rows_; ++i) row(i, &t);
        return t;
    }

  private:
    double x_at(int j) const { return j * w_span_ / (columns_ - 1); }
    double y_at(int i) const { return i * h_span_ / (rows_ - 1); }

    Window win_{};
    int rows_ = 0, columns_ = 0;
    std::vector<int32_t*> table_;
    double w_span_ = 0, h_span_ = 0, cx_ = 0, cy_ = 0, k_ = 0, lateral_ = 0;
    int64_t vc_ = 0;
};
