#include "kestrelia/kernels/accumulate.hpp"

#include <cmath>
#include <limits>

namespace kestrelia::kernels {

void cumsum_skipna(double* out, const double* in, std::size_t n) {
    // pandas masks NaN to 0.0, runs np.cumsum (whose first output is the first input, not
    // 0 + input) and puts NaN back; doing exactly that keeps even the sign of zero.
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    double acc = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = in[i];
        const bool missing = std::isnan(v);
        const double x = missing ? 0.0 : v;
        acc = i == 0 ? x : acc + x;
        out[i] = missing ? nan : acc;
    }
}

void expanding_max(double* out, const double* in, std::size_t n) {
    // Window functions treat infinities as missing, like NaN.
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    bool have = false;
    double best = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = in[i];
        if (std::isfinite(v) && (!have || v >= best)) {
            best = v;
            have = true;
        }
        out[i] = have ? best : nan;
    }
}

}  // namespace kestrelia::kernels
