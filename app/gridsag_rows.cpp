#include <atomic>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "app/gformat.h"
#include "app/gridsag_internal.h"
#include "datafile/surface.h"
#include "platform/compiler.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The four-lane routine where the compiler can build it for AVX2 beside the
// portable one.
#if PLAT_HAS_AVX2_TARGET
#define GRIDSAG_WIDE 1
#include <immintrin.h>
#endif

namespace {

std::atomic<int> g_kernel{GRIDSAG_KERNEL_BEST};

}  // namespace

// A sample is phase_plane's value: (A oy + B ox) / 2 + C / 4 rounded half away
// from zero, in range when below INVALID_PHASE and not below INT32_MIN. Every
// routine here computes it with the same operations in the same order (no
// fused multiply-add), so the bytes match the plain path's.
bool gridsag_in_cell(int64_t p, int64_t q, int64_t r, int64_t s4, const double xo[10],
                     const double yo[10], const GridSagCellMath& m, double out[4]) {
    if (p >= INVALID_PHASE || q >= INVALID_PHASE || r >= INVALID_PHASE || s4 >= INVALID_PHASE) {
        return false;
    }
    const double A = static_cast<double>(s4 + r - q - p);
    const double B = static_cast<double>(s4 + q - r - p);
    const double C = static_cast<double>(p + q + r + s4) / 4.0;
#if defined(__SSE2__)
    // Two samples at a time. t = v +- 0.5 is tested in double before the
    // truncating conversion; w - vc is exact in double, as it is in 64 bits.
    const __m128d lo_ok = _mm_set1_pd(static_cast<double>(INT32_MIN) - 1.0);
    const __m128d hi_ok = _mm_set1_pd(static_cast<double>(INVALID_PHASE));
    const __m128d half = _mm_set1_pd(0.5), sign = _mm_set1_pd(-0.0);
    const __m128d aa = _mm_set1_pd(A), bb = _mm_set1_pd(B), cc = _mm_set1_pd(C);
    const __m128d vcd = _mm_set1_pd(m.vc), kk = _mm_set1_pd(m.k);
    __m128d bad = _mm_setzero_pd();
    auto z2 = [&](int lane) {
        const __m128d ay = _mm_mul_pd(aa, _mm_loadu_pd(yo + lane));
        const __m128d bx = _mm_mul_pd(bb, _mm_loadu_pd(xo + lane));
        const __m128d v = _mm_add_pd(_mm_mul_pd(_mm_add_pd(ay, bx), half), cc);
        // v >= 0 (and -0) take +0.5, the rest -0.5.
        const __m128d neg = _mm_cmplt_pd(v, _mm_setzero_pd());
        const __m128d t = _mm_add_pd(v, _mm_or_pd(half, _mm_and_pd(neg, sign)));
        bad = _mm_or_pd(bad, _mm_or_pd(_mm_cmpngt_pd(t, lo_ok), _mm_cmpnlt_pd(t, hi_ok)));
        const __m128d w = _mm_cvtepi32_pd(_mm_cvttpd_epi32(t));
        return _mm_mul_pd(_mm_sub_pd(w, vcd), kk);
    };
    // (x + s, y), (x, y + s) less (x - s, y), (x, y - s): dz/dx and dz/dy.
    const __m128d d1 = _mm_div_pd(_mm_sub_pd(z2(0), z2(2)), _mm_set_pd(m.dy, m.dx));
    // (x + s, y + s), (x + s, y - s) less (x - s, y + s), (x - s, y - s).
    const __m128d d2 = _mm_div_pd(_mm_sub_pd(z2(4), z2(6)), _mm_set1_pd(m.dx));
    const __m128d zc = z2(8);
    if (_mm_movemask_pd(bad) != 0) return false;
    out[0] = _mm_cvtsd_f64(zc);
    _mm_storeu_pd(out + 1, d1);
    double t[2];
    _mm_storeu_pd(t, d2);
    out[3] = (t[0] - t[1]) / m.dy;
    return true;
#else
    const int64_t vc = static_cast<int64_t>(m.vc);
    bool ok = true;
    double z[9];
    for (int n = 0; n < 9; ++n) {
        const double v = (A * yo[n] + B * xo[n]) * 0.5 + C;
        const int64_t w = static_cast<int64_t>(v >= 0.0 ? v + 0.5 : v - 0.5);
        ok &= w >= INT32_MIN && w < INVALID_PHASE;
        z[n] = static_cast<double>(w - vc) * m.k;
    }
    if (!ok) return false;
    const double t1 = (z[4] - z[6]) / m.dx;
    const double t2 = (z[5] - z[7]) / m.dx;
    out[0] = z[8];
    out[1] = (z[0] - z[2]) / m.dx;
    out[2] = (z[1] - z[3]) / m.dy;
    out[3] = (t1 - t2) / m.dy;
    return true;
#endif
}

bool gridsag_across_cells(const GridSagRow& row, const PhaseAxis& xm, const PhaseAxis& xc,
                          const PhaseAxis& xp, double out[4]) {
    const PhaseAxis* xs[3] = {&xm, &xc, &xp};
    double A[3], B[3], C[3];
    for (int a = 0; a < 3; ++a) {
        const PhaseAxis& x = *xs[a];
        if (!x.inside) return false;
        const int64_t p = row.lo_row[x.lo], q = row.lo_row[x.hi];
        const int64_t r = row.hi_row[x.lo], s4 = row.hi_row[x.hi];
        if (p >= INVALID_PHASE || q >= INVALID_PHASE || r >= INVALID_PHASE || s4 >= INVALID_PHASE) {
            return false;
        }
        A[a] = static_cast<double>(s4 + r - q - p);
        B[a] = static_cast<double>(s4 + q - r - p);
        C[a] = static_cast<double>(p + q + r + s4) / 4.0;
    }
    const double oy[3] = {row.ym, row.yc, row.yp};
    const int64_t vc = static_cast<int64_t>(row.math.vc);
    double z[3][3];  // [across][down], each m, c, p
    for (int a = 0; a < 3; ++a) {
        for (int b = 0; b < 3; ++b) {
            const double v = (A[a] * oy[b] + B[a] * xs[a]->offset) * 0.5 + C[a];
            const int64_t w = static_cast<int64_t>(v >= 0.0 ? v + 0.5 : v - 0.5);
            if (w < INT32_MIN || w >= INVALID_PHASE) return false;
            z[a][b] = static_cast<double>(w - vc) * row.math.k;
        }
    }
    const double t1 = (z[2][2] - z[0][2]) / row.math.dx;
    const double t2 = (z[2][0] - z[0][0]) / row.math.dx;
    out[0] = z[1][1];
    out[1] = (z[2][1] - z[0][1]) / row.math.dx;
    out[2] = (z[1][2] - z[1][0]) / row.math.dy;
    out[3] = (t1 - t2) / row.math.dy;
    return true;
}

namespace {

bool finite4(const double v[4]) {
    return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]) && std::isfinite(v[3]);
}

void sample_row_portable(const GridSagRow& row, int j0, int j1, unsigned char* state, double* v,
                         uint32_t* d6) {
    std::memset(d6, 0, sizeof *d6 * static_cast<size_t>(j1 - j0));
    const double yc = row.yc, yp = row.yp, ym = row.ym;
    const double yo[10] = {yc, yp, yc, ym, yp, ym, yp, ym, yc, yc};
    for (int j = j0; j < j1; ++j, ++state, v += 4) {
        if (row.in_cell[j] == 0) {
            *state = GRIDSAG_NOT_IN_CELL;
            continue;
        }
        const double xc = row.col_xc[j], xp = row.col_xp[j], xm = row.col_xm[j];
        const double xo[10] = {xp, xc, xm, xc, xp, xp, xm, xm, xc, xc};
        const int lo = row.col_lo[j], hi = row.col_hi[j];
        if (!gridsag_in_cell(row.lo_row[lo], row.lo_row[hi], row.hi_row[lo], row.hi_row[hi], xo, yo,
                             row.math, v)) {
            *state = GRIDSAG_NO_DATA;
        } else {
            *state = finite4(v) ? GRIDSAG_DATA : GRIDSAG_NOT_FINITE;
        }
    }
}

#if defined(GRIDSAG_WIDE)

// Bits 0 to 3 of m as bytes 0 to 3 (0 or 1 each): the four shifted copies
// do not overlap, so nothing carries.
inline uint32_t spread4(uint32_t m) {
    return (m * 0x00204081u) & 0x01010101u;
}

#define GRIDSAG_WIDE_FN __attribute__((target("avx2")))
#define GRIDSAG_WIDE_INLINE __attribute__((target("avx2"), always_inline)) inline

struct WideConstants {
    __m256d lo_ok, hi_ok, half, sign, vc, k;
};

// One sample in each lane, (A oy + B ox) / 2 + C / 4 from the products A oy
// and B ox; lo and hi gain its value before truncation, for the range test.
GRIDSAG_WIDE_INLINE __m256d wide_sample(__m256d ay, __m256d bx, __m256d c, const WideConstants& kc,
                                        __m256d* lo, __m256d* hi) {
    const __m256d v = _mm256_add_pd(_mm256_mul_pd(_mm256_add_pd(ay, bx), kc.half), c);
    // +-0.5 with the sign of v: -0 would take -0.5 where the plain path adds
    // 0.5, but both truncate to the integer 0.
    const __m256d t = _mm256_add_pd(v, _mm256_or_pd(kc.half, _mm256_and_pd(v, kc.sign)));
    *lo = _mm256_min_pd(*lo, t);
    *hi = _mm256_max_pd(*hi, t);
    // Through the integers, as the plain path: truncation in double would
    // keep the sign of a -0.x and give -0 where the plain path has 0.
    const __m256d w = _mm256_cvtepi32_pd(_mm256_cvttpd_epi32(t));
    return _mm256_mul_pd(_mm256_sub_pd(w, kc.vc), kc.k);
}

// All ones in the lanes holding a finite value: x - x is 0 exactly then.
GRIDSAG_WIDE_INLINE __m256d wide_finite(__m256d x) {
    return _mm256_cmp_pd(_mm256_sub_pd(x, x), _mm256_setzero_pd(), _CMP_EQ_OQ);
}

// Four columns at a time, each lane the portable routine's operations on one
// point. The nine samples of a point share its cell's A, B and C, and the
// products A oy and B ox are each shared by three samples: the same products,
// so the same values.
// The low 32 bits of each 64-bit lane, as the four 32-bit lanes of a half.
GRIDSAG_WIDE_INLINE __m128i low32(__m256i v) {
    return _mm256_castsi256_si128(
        _mm256_permutevar8x32_epi32(v, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)));
}

// gformat's digits of four values: d6 holds the six rounded significant
// digits and x10 the decimal exponent where gformat's fast path would take
// them from a multiplication (not a division), and d6 is 0 where gformat is to
// decide (zero, a magnitude without an exact power of ten, a near tie, 10^5
// and above). The operations are gformat's, lane by lane.
GRIDSAG_WIDE_INLINE void wide_digits(__m256d value, uint32_t* d6, int32_t* x10) {
    const __m256i bits = _mm256_castpd_si256(value);
    const __m256i magnitude = _mm256_and_si256(bits, _mm256_set1_epi64x(0x7FFFFFFFFFFFFFFFll));
    const __m256i e2 = _mm256_sub_epi64(_mm256_srli_epi64(magnitude, 52), _mm256_set1_epi64x(1023));
    // x = (e2 78913) >> 18 in the low 32 bits of each lane (the product fits).
    const __m256i x = _mm256_srai_epi32(_mm256_mul_epi32(e2, _mm256_set1_epi64x(78913)), 18);
    // The product's high half is its sign, so the shift of both halves leaves
    // x as a 64-bit value too.
    const __m256i shift64 = _mm256_sub_epi64(_mm256_set1_epi64x(5), x);
    // Fast where -56 <= e2 <= 86 and 1 <= shift <= 22, so that both scalings
    // below multiply by an exact power of ten.
    const __m256i e2_ok =
        _mm256_andnot_si256(_mm256_or_si256(_mm256_cmpgt_epi64(_mm256_set1_epi64x(-56), e2),
                                            _mm256_cmpgt_epi64(e2, _mm256_set1_epi64x(86))),
                            _mm256_set1_epi64x(-1));
    const __m256i shift_ok =
        _mm256_andnot_si256(_mm256_or_si256(_mm256_cmpgt_epi64(_mm256_set1_epi64x(1), shift64),
                                            _mm256_cmpgt_epi64(shift64, _mm256_set1_epi64x(22))),
                            _mm256_set1_epi64x(-1));
    __m256i ok = _mm256_and_si256(e2_ok, shift_ok);
    const __m256i index = _mm256_and_si256(shift64, ok);  // 0 where not fast
    const __m256i index1 = _mm256_and_si256(_mm256_sub_epi64(index, _mm256_set1_epi64x(1)), ok);
    const __m256d pow = _mm256_i64gather_pd(gformat_detail::kPow10, index, 8);
    const __m256d pow1 = _mm256_i64gather_pd(gformat_detail::kPow10, index1, 8);
    const __m256d a = _mm256_andnot_pd(_mm256_set1_pd(-0.0), value);
    const __m256d m0 = _mm256_mul_pd(a, pow);
    const __m256d big = _mm256_cmp_pd(m0, _mm256_set1_pd(1e6), _CMP_GE_OQ);
    const __m256d m = _mm256_blendv_pd(m0, _mm256_mul_pd(a, pow1), big);
    // m < 10^6 where fast: the integer part and the fraction are exact.
    const __m128i whole = _mm256_cvttpd_epi32(m);
    const __m256d frac = _mm256_sub_pd(m, _mm256_cvtepi32_pd(whole));
    const __m256d tie = _mm256_and_pd(_mm256_cmp_pd(frac, _mm256_set1_pd(0.5 - 1e-6), _CMP_GT_OQ),
                                      _mm256_cmp_pd(frac, _mm256_set1_pd(0.5 + 1e-6), _CMP_LT_OQ));
    ok = _mm256_andnot_si256(_mm256_castpd_si256(tie), ok);
    const __m256d up = _mm256_cmp_pd(frac, _mm256_set1_pd(0.5), _CMP_GT_OQ);
    __m128i digits = _mm_sub_epi32(whole, low32(_mm256_castpd_si256(up)));  // + 1 where up
    __m128i exp10 = _mm_sub_epi32(low32(x), low32(_mm256_castpd_si256(big)));
    const __m128i carry = _mm_cmpeq_epi32(digits, _mm_set1_epi32(1000000));
    digits = _mm_blendv_epi8(digits, _mm_set1_epi32(100000), carry);
    exp10 = _mm_sub_epi32(exp10, carry);
    digits = _mm_and_si128(digits, low32(ok));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d6), digits);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(x10), exp10);
}

GRIDSAG_WIDE_FN void sample_row_wide(const GridSagRow& row, int j0, int j1, unsigned char* state,
                                     double* v, uint32_t* d6, int32_t* x10) {
    const __m128i invalid = _mm_set1_epi32(INVALID_PHASE);
    const __m256d quarter = _mm256_set1_pd(0.25);
    WideConstants kc;
    kc.lo_ok = _mm256_set1_pd(static_cast<double>(INT32_MIN) - 1.0);
    kc.hi_ok = _mm256_set1_pd(static_cast<double>(INVALID_PHASE));
    kc.half = _mm256_set1_pd(0.5);
    kc.sign = _mm256_set1_pd(-0.0);
    kc.vc = _mm256_set1_pd(row.math.vc);
    kc.k = _mm256_set1_pd(row.math.k);
    const __m256d dx = _mm256_set1_pd(row.math.dx), dy = _mm256_set1_pd(row.math.dy);
    const __m256d ym = _mm256_set1_pd(row.ym), yc = _mm256_set1_pd(row.yc);
    const __m256d yp = _mm256_set1_pd(row.yp);
    const int* lo_row = row.lo_row;
    const int* hi_row = row.hi_row;

    int j = j0;
    for (; j + 4 <= j1; j += 4, state += 4, v += 16, d6 += 4, x10 += 4) {
        int32_t cells;
        std::memcpy(&cells, row.in_cell + j, 4);
        const int in_cell = _mm_movemask_ps(_mm_castsi128_ps(
            _mm_cmpgt_epi32(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(cells)), _mm_setzero_si128())));
        if (in_cell == 0) {
            std::memset(state, GRIDSAG_NOT_IN_CELL, 4);
            continue;
        }
        const __m128i il = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row.col_lo + j));
        const __m128i ih = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row.col_hi + j));
        const __m128i p = _mm_i32gather_epi32(lo_row, il, 4);
        const __m128i q = _mm_i32gather_epi32(lo_row, ih, 4);
        const __m128i r = _mm_i32gather_epi32(hi_row, il, 4);
        const __m128i s = _mm_i32gather_epi32(hi_row, ih, 4);
        const __m128i valid =
            _mm_and_si128(_mm_and_si128(_mm_cmpgt_epi32(invalid, p), _mm_cmpgt_epi32(invalid, q)),
                          _mm_and_si128(_mm_cmpgt_epi32(invalid, r), _mm_cmpgt_epi32(invalid, s)));
        const __m256d pd = _mm256_cvtepi32_pd(p), qd = _mm256_cvtepi32_pd(q);
        const __m256d rd = _mm256_cvtepi32_pd(r), sd = _mm256_cvtepi32_pd(s);
        // Sums of at most four 32-bit values are exact in double, as in 64 bits.
        const __m256d A = _mm256_sub_pd(_mm256_sub_pd(_mm256_add_pd(sd, rd), qd), pd);
        const __m256d B = _mm256_sub_pd(_mm256_sub_pd(_mm256_add_pd(sd, qd), rd), pd);
        const __m256d C =
            _mm256_mul_pd(_mm256_add_pd(_mm256_add_pd(_mm256_add_pd(pd, qd), rd), sd), quarter);
        const __m256d aym = _mm256_mul_pd(A, ym), ayc = _mm256_mul_pd(A, yc);
        const __m256d ayp = _mm256_mul_pd(A, yp);
        const __m256d bxm = _mm256_mul_pd(B, _mm256_loadu_pd(row.col_xm + j));
        const __m256d bxc = _mm256_mul_pd(B, _mm256_loadu_pd(row.col_xc + j));
        const __m256d bxp = _mm256_mul_pd(B, _mm256_loadu_pd(row.col_xp + j));
        // Least and greatest of the samples before truncation (0 is in range).
        __m256d t_lo = _mm256_setzero_pd(), t_hi = t_lo;
        const __m256d zx = _mm256_div_pd(_mm256_sub_pd(wide_sample(ayc, bxp, C, kc, &t_lo, &t_hi),
                                                       wide_sample(ayc, bxm, C, kc, &t_lo, &t_hi)),
                                         dx);
        const __m256d zy = _mm256_div_pd(_mm256_sub_pd(wide_sample(ayp, bxc, C, kc, &t_lo, &t_hi),
                                                       wide_sample(aym, bxc, C, kc, &t_lo, &t_hi)),
                                         dy);
        const __m256d t1 = _mm256_div_pd(_mm256_sub_pd(wide_sample(ayp, bxp, C, kc, &t_lo, &t_hi),
                                                       wide_sample(ayp, bxm, C, kc, &t_lo, &t_hi)),
                                         dx);
        const __m256d t2 = _mm256_div_pd(_mm256_sub_pd(wide_sample(aym, bxp, C, kc, &t_lo, &t_hi),
                                                       wide_sample(aym, bxm, C, kc, &t_lo, &t_hi)),
                                         dx);
        const __m256d zxy = _mm256_div_pd(_mm256_sub_pd(t1, t2), dy);
        const __m256d z0 = wide_sample(ayc, bxc, C, kc, &t_lo, &t_hi);
        wide_digits(z0, d6, x10);
        const int fin =
            _mm256_movemask_pd(_mm256_and_pd(_mm256_and_pd(wide_finite(z0), wide_finite(zx)),
                                             _mm256_and_pd(wide_finite(zy), wide_finite(zxy))));
        // Every rounded sample in range: above INT32_MIN - 1 and below INVALID_PHASE.
        const __m256d bad = _mm256_or_pd(_mm256_cmp_pd(t_lo, kc.lo_ok, _CMP_NGT_UQ),
                                         _mm256_cmp_pd(t_hi, kc.hi_ok, _CMP_NLT_UQ));
        const int ok = _mm_movemask_ps(_mm_castsi128_ps(valid)) & ~_mm256_movemask_pd(bad);
        // The lanes' states as bytes, from flags I (in cell), O (with data) and
        // F (finite): 2 - 2I + 3O - 2F with O and F taken only where I and O
        // hold gives 2, 0, 1 and 3; no byte goes below zero, so none borrows.
        const uint32_t in_bytes = spread4(static_cast<uint32_t>(in_cell));
        const uint32_t ok_bytes = spread4(static_cast<uint32_t>(ok & in_cell));
        const uint32_t fin_bytes = spread4(static_cast<uint32_t>(fin & ok & in_cell));
        const uint32_t states = 2 * (0x01010101u ^ in_bytes) + 3 * ok_bytes - 2 * fin_bytes;
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(state, &states, 4);
        } else {
            for (int l = 0; l < 4; ++l) state[l] = static_cast<unsigned char>(states >> (8 * l));
        }
        // The four points' values, point by point.
        const __m256d a0 = _mm256_unpacklo_pd(z0, zx), a1 = _mm256_unpackhi_pd(z0, zx);
        const __m256d b0 = _mm256_unpacklo_pd(zy, zxy), b1 = _mm256_unpackhi_pd(zy, zxy);
        _mm256_storeu_pd(v, _mm256_permute2f128_pd(a0, b0, 0x20));
        _mm256_storeu_pd(v + 4, _mm256_permute2f128_pd(a1, b1, 0x20));
        _mm256_storeu_pd(v + 8, _mm256_permute2f128_pd(a0, b0, 0x31));
        _mm256_storeu_pd(v + 12, _mm256_permute2f128_pd(a1, b1, 0x31));
    }
    sample_row_portable(row, j, j1, state, v, d6);
}

bool cpu_has_avx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

#endif

}  // namespace

void gridsag_sample_row(const GridSagRow& row, int j0, int j1, unsigned char* state, double* v,
                        uint32_t* d6, int32_t* x10) {
#if defined(GRIDSAG_WIDE)
    if (g_kernel.load(std::memory_order_relaxed) == GRIDSAG_KERNEL_BEST && cpu_has_avx2()) {
        sample_row_wide(row, j0, j1, state, v, d6, x10);
        return;
    }
#else
    (void)x10;
#endif
    sample_row_portable(row, j0, j1, state, v, d6);
}

void gridsag_set_kernel(int kernel) {
    g_kernel.store(kernel, std::memory_order_relaxed);
}

bool gridsag_wide_kernel_available() {
#if defined(GRIDSAG_WIDE)
    return cpu_has_avx2();
#else
    return false;
#endif
}
