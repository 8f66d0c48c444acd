// Four-wide vector helpers for the backtest kernels, and a reader that hands over four
// neighbouring columns of a matrix one row at a time whatever its memory layout.
//
// The lanes are a logical width: GCC's vector extension compiles the same code to two SSE2
// halves or one AVX2 register, with identical IEEE results (no fused multiply-add, no
// reassociation), so a kernel's output does not depend on the machine it runs on.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kestrelia/kernels/matrix.hpp"

namespace kestrelia::kernels::lanes {

constexpr std::ptrdiff_t width = 4;
typedef double v4d __attribute__((vector_size(32)));
typedef long long v4i __attribute__((vector_size(32)));

#define KESTRELIA_INLINE inline __attribute__((always_inline))

// Kernels are compiled twice: for AVX2 (one register per four lanes) and for the x86-64
// baseline (each four-lane operation split into SSE2 halves, several times slower). The
// AVX2 build runs where the CPU has it, unless KESTRELIA_PORTABLE_KERNELS is set, which
// lets the tests check that both builds give identical results.
#if defined(__x86_64__) || defined(__i386__)
#define KESTRELIA_AVX2_CLONE __attribute__((target("avx2")))
inline bool use_avx2() {
    static const bool avx2 =
        __builtin_cpu_supports("avx2") && std::getenv("KESTRELIA_PORTABLE_KERNELS") == nullptr;
    return avx2;
}
#else
#define KESTRELIA_AVX2_CLONE
inline bool use_avx2() { return false; }
#endif

// One definition, two builds: `in_best_build([&](auto build) KESTRELIA_BODY { ... })` runs
// the body compiled for AVX2 where use_avx2() says so, and for the baseline otherwise. The
// body is inlined into each of two function templates, one marked for AVX2, so the vector
// code in it (and in the KESTRELIA_INLINE helpers it calls) is generated for each target;
// each body is a function of its own in both builds, never laid out inside another walk.
// `build` (Avx2Build or BaselineBuild) names the build, for the rare body that must call a
// function of its own build by name (a recursion).
#define KESTRELIA_BODY __attribute__((always_inline))

struct Avx2Build {};
struct BaselineBuild {};

template <class Body>
KESTRELIA_AVX2_CLONE __attribute__((noinline)) auto in_avx2_build(const Body& body) {
    return body(Avx2Build{});
}
template <class Body>
__attribute__((noinline)) auto in_baseline_build(const Body& body) {
    return body(BaselineBuild{});
}
template <class Body>
inline auto in_best_build(const Body& body) {
    return use_avx2() ? in_avx2_build(body) : in_baseline_build(body);
}

constexpr double max_finite = 1.7976931348623157e308;

KESTRELIA_INLINE v4d splat(double x) { return v4d{x, x, x, x}; }
KESTRELIA_INLINE v4d select(v4i mask, v4d a, v4d b) { return mask ? a : b; }
KESTRELIA_INLINE v4d abs4(v4d x) {
    constexpr long long magnitude = 0x7fffffffffffffffLL;
    return (v4d)((v4i)x & v4i{magnitude, magnitude, magnitude, magnitude});
}
KESTRELIA_INLINE v4i is_nan(v4d x) { return x != x; }
KESTRELIA_INLINE v4i is_inf(v4d x) { return abs4(x) == splat(__builtin_inf()); }
KESTRELIA_INLINE v4i is_finite(v4d x) { return abs4(x) <= splat(max_finite); }
KESTRELIA_INLINE v4i sign_bit(v4d x) { return (v4i)x < v4i{0, 0, 0, 0}; }

KESTRELIA_INLINE bool any_lane(v4i mask) { return (mask[0] | mask[1] | mask[2] | mask[3]) != 0; }

KESTRELIA_INLINE v4d finite_or_zero(v4d x) { return select(is_finite(x), x, splat(0.0)); }

// Counts kept as doubles (exact far beyond any window length).
KESTRELIA_INLINE v4d count_if(v4i mask) { return select(mask, splat(1.0), splat(0.0)); }

// np.nan_to_num: NaN -> 0, +/-inf -> the largest finite value of that sign.
KESTRELIA_INLINE v4d nan_to_num(v4d v) {
    v4d x = select(is_nan(v), splat(0.0), v);
    x = select(x > splat(max_finite), splat(max_finite), x);
    return select(x < splat(-max_finite), splat(-max_finite), x);
}

// floor(), bit for bit: adding and removing 2^52 rounds |x| < 2^52 to the nearest integer,
// a step down fixes the values that rounded up, and zero results take the sign of x
// (floor(-0.0) is -0.0). NaN, infinities and |x| >= 2^52 (already integral) pass through.
KESTRELIA_INLINE v4d floor4(v4d x) {
    const v4d two52 = splat(4503599627370496.0);
    const v4i small = abs4(x) < two52;
    const v4d shift = select(x < splat(0.0), -two52, two52);
    v4d r = (x + shift) - shift;
    r = select(r > x, r - splat(1.0), r);
    r = select(r == splat(0.0), x * splat(0.0), r);
    return select(small, r, x);
}

// rint(), bit for bit: |x| < 2^52 rounded to the nearest integer, ties to even (adding and
// removing 2^52 in the default rounding mode), zero results taking the sign of x as C's
// rint does. NaN, infinities and |x| >= 2^52 (already integral) pass through.
KESTRELIA_INLINE v4d rint4(v4d x) {
    const v4d two52 = splat(4503599627370496.0);
    const v4i small = abs4(x) < two52;
    const v4d shift = select(x < splat(0.0), -two52, two52);
    v4d r = (x + shift) - shift;
    r = select(r == splat(0.0), x * splat(0.0), r);
    return select(small, r, x);
}

KESTRELIA_INLINE v4d load(const double (&x)[width]) { return v4d{x[0], x[1], x[2], x[3]}; }
// Four consecutive doubles from or to any address (no alignment needed).
KESTRELIA_INLINE v4d load_at(const double* p) {
    v4d x;
    std::memcpy(&x, p, sizeof x);
    return x;
}
KESTRELIA_INLINE void store_at(double* p, v4d x) { std::memcpy(p, &x, sizeof x); }
KESTRELIA_INLINE void store(double (&out)[width], v4d x) { std::memcpy(out, &x, sizeof x); }
// Lane masks from four mask bytes (any non-zero byte is true). mask_of takes bytes just
// gathered one by one (they go straight into the lanes: reloading them as one word would
// wait on four byte stores); mask_at widens four bytes that sit in memory in one step.
KESTRELIA_INLINE v4i mask_of(const std::uint8_t (&x)[width]) {
    return v4i{x[0] ? -1LL : 0LL, x[1] ? -1LL : 0LL, x[2] ? -1LL : 0LL, x[3] ? -1LL : 0LL};
}
typedef std::uint8_t v4u8 __attribute__((vector_size(4)));
KESTRELIA_INLINE v4i mask_at(const std::uint8_t* p) {
    v4u8 bytes;
    std::memcpy(&bytes, p, sizeof bytes);
    return __builtin_convertvector(bytes, v4i) != v4i{0, 0, 0, 0};
}

// Reads four consecutive columns of a matrix one row at a time, whatever its layout.
// Columns of a column-major matrix (each stock's history contiguous, the usual pandas
// block) are read in place. In a row-major matrix every row is a jump across a whole row,
// so with `stage` its next sixteen columns are first copied column-wise into scratch,
// reading each row's run of sixteen values at once, with the rows ahead prefetched; without
// it (a walk over a short run of days, where copying whole columns would not pay) every
// layout is read in place.
template <class T>
class ColumnReader {
public:
    static constexpr std::ptrdiff_t staged = 16;

    explicit ColumnReader(const MatrixView<T>& v, bool stage = true) : v_(v), step_(v.row_stride) {
        if (stage && v_.row_stride != 1 && v_.rows > 0) {
            scratch_.resize(static_cast<std::size_t>(staged * v_.rows));
            step_ = 1;
        }
    }

    // Points the four lanes at columns j0 .. j0 + 3 (fewer at the right edge).
    void start_block(std::ptrdiff_t j0) {
        used_ = std::min(width, v_.cols - j0);
        if (scratch_.empty()) {
            for (std::ptrdiff_t k = 0; k < width; ++k)
                base_[k] = k < used_ ? v_.column(j0 + k) : nullptr;
            return;
        }
        if (j0 % staged == 0) stage(j0);
        for (std::ptrdiff_t k = 0; k < width; ++k)
            base_[k] = scratch_.data() + (j0 % staged + k) * v_.rows;
    }

    std::ptrdiff_t used() const { return used_; }

    // Lanes past the last column read `pad`.
    template <bool Full>
    KESTRELIA_INLINE void read(std::ptrdiff_t row, T pad, T (&out)[width]) const {
        const std::ptrdiff_t at = row * step_;
        for (std::ptrdiff_t k = 0; k < width; ++k)
            out[k] = (Full || k < used_) ? base_[k][at] : pad;
    }

    // Requests the cache lines that hold this block's stocks from `row` on, where each holds
    // a run of days (columns read in place from a column-major matrix).
    KESTRELIA_INLINE void prefetch(std::ptrdiff_t row) const {
        if (step_ != 1 || !scratch_.empty()) return;
        for (std::ptrdiff_t k = 0; k < used_; ++k) __builtin_prefetch(base_[k] + row);
    }

private:
    void stage(std::ptrdiff_t j0) {
        const std::ptrdiff_t run = std::min(staged, v_.cols - j0);
        std::ptrdiff_t offset[staged];
        for (std::ptrdiff_t k = 0; k < run; ++k) offset[k] = v_.column_offset(j0 + k);
        // The run's span in the row (the columns of a map may be spread out).
        const std::ptrdiff_t lo = *std::min_element(offset, offset + run);
        const std::ptrdiff_t span_bytes = (*std::max_element(offset, offset + run) - lo + 1) *
                                          static_cast<std::ptrdiff_t>(sizeof(T));
        constexpr std::ptrdiff_t ahead = 16;
        T* dst = scratch_.data();
        for (std::ptrdiff_t i = 0; i < v_.rows; ++i) {
            if (i + ahead < v_.rows && span_bytes <= 1024) {
                const char* next =
                    reinterpret_cast<const char*>(v_.data + (i + ahead) * v_.row_stride + lo);
                for (std::ptrdiff_t b = 0; b < span_bytes; b += 64) __builtin_prefetch(next + b);
            }
            const T* row = v_.data + i * v_.row_stride;
            for (std::ptrdiff_t k = 0; k < run; ++k) dst[k * v_.rows + i] = row[offset[k]];
        }
    }

    MatrixView<T> v_;
    std::ptrdiff_t step_;  // elements between one row and the next, where the lanes point
    std::vector<T> scratch_;
    std::ptrdiff_t used_ = 0;
    const T* base_[width] = {};
};

// Hands over whole rows of a matrix, one day at a time, for the day-outer kernels. Rows
// of a row-major matrix (each day contiguous, what DataFrame(ndarray) and pivot give) are
// read in place. Any other layout is staged a few rows at a time into a row-major tile:
// for each column the next `tile` days are one short contiguous run (one or two cache
// lines), so no full-matrix copy is ever made. Rows must be requested in increasing order
// for the staging to be read once; any order is correct.
template <class T>
class RowReader {
public:
    static constexpr std::ptrdiff_t tile = 8;

    explicit RowReader(const MatrixView<T>& v) : v_(v) {
        if (!in_place() && v_.rows > 0 && v_.cols > 0)
            scratch_.resize(static_cast<std::size_t>(tile * v_.cols));
    }

    bool in_place() const { return v_.rows_contiguous(); }

    // Row `row` as a contiguous array of v.cols values.
    const T* row(std::ptrdiff_t row) {
        if (in_place()) return v_.data + row * v_.row_stride;
        if (row < first_ || row >= first_ + tile) stage(row);
        return scratch_.data() + (row - first_) * v_.cols;
    }

private:
    void stage(std::ptrdiff_t first) {
        first_ = first;
        const std::ptrdiff_t n = std::min(tile, v_.rows - first);
        const std::ptrdiff_t next = first + tile;
        T* dst = scratch_.data();
        if (v_.col_stride == 1) {
            // Rows laid out contiguously but read through a map: each row is gathered.
            for (std::ptrdiff_t t = 0; t < n; ++t) {
                const T* src = v_.data + (first + t) * v_.row_stride;
                for (std::ptrdiff_t j = 0; j < v_.cols; ++j)
                    dst[t * v_.cols + j] = src[v_.col_map[j]];
            }
            return;
        }
        for (std::ptrdiff_t j = 0; j < v_.cols; ++j) {
            const T* src = v_.column(j) + first * v_.row_stride;
            // The same column's next tile is fetched while this one is copied.
            if (next < v_.rows) __builtin_prefetch(src + tile * v_.row_stride);
            for (std::ptrdiff_t t = 0; t < n; ++t) dst[t * v_.cols + j] = src[t * v_.row_stride];
        }
    }

    MatrixView<T> v_;
    std::vector<T> scratch_;
    std::ptrdiff_t first_ = -1 - tile;
};

}  // namespace kestrelia::kernels::lanes
