// What the recording walks of the VWAP simulation share with the code that runs them on
// threads (vwap_record.cpp): the job every chunk of days reads, what a thread makes, the
// day accumulators, and the two passes each thread calls, built for AVX2 and the baseline.
#pragma once

#include <cstdint>
#include <vector>

#include "kestrelia/kernels/vwap.hpp"
#include "lanes.hpp"
#include "vwap_day.hpp"

namespace kestrelia::kernels::vwap_record {

using namespace lanes;
using namespace vwap_day;
using R = ExecutionRecord;

struct Costs {
    double fee, rule_fee, total_money;
};

// A day's accumulators as plain doubles (no over-aligned type in a std::vector): the five
// sums the return is made of, then the recorded columns, each summed over four lanes.
struct DayAcc {
    double sums[5][width];
    double cols[R::n_day_columns][width];
};

KESTRELIA_INLINE double lane_total(const double (&x)[width]) {
    return (x[0] + x[1]) + (x[2] + x[3]);
}

// Days per chunk. Chunks are recorded independently (on as many threads as the machine
// has), each starting from the positions a first, light pass found at its first day; a
// chunk's day accumulators stay in the core's cache while it is walked.
constexpr std::ptrdiff_t chunk_days = 256;

// A chunk's accumulators lane by lane (stock mod 4): the five day sums, then the recorded
// day columns, each a run over the chunk's days padded to whole quads, so that four days of
// one stock are added with one vector operation.
class ChunkLanes {
public:
    static constexpr std::ptrdiff_t n_acc = 5 + R::n_day_columns;

    void reset(std::ptrdiff_t n_days) {
        days_ = (n_days + width - 1) / width * width;
        acc_.assign(static_cast<std::size_t>(width * n_acc * days_), 0.0);
    }

    KESTRELIA_INLINE double* of(std::ptrdiff_t lane, std::ptrdiff_t k) {
        return acc_.data() + (lane * n_acc + k) * days_;
    }

    // Into the per-day accumulators of days c0 .. c0 + n - 1.
    void to_days(std::vector<DayAcc>& days, std::ptrdiff_t c0, std::ptrdiff_t n) {
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            DayAcc& day = days[static_cast<std::size_t>(c0 + i)];
            for (std::ptrdiff_t lane = 0; lane < width; ++lane) {
                for (int k = 0; k < 5; ++k) day.sums[k][lane] = of(lane, k)[i];
                for (int k = 0; k < R::n_day_columns; ++k) day.cols[k][lane] = of(lane, 5 + k)[i];
            }
        }
    }

private:
    std::ptrdiff_t days_ = 0;
    std::vector<double> acc_;
};

// What every chunk reads, and the outputs chunks write to disjoint parts of (their days'
// accumulators and rows of positions).
struct Job {
    std::ptrdiff_t n_days, cols, padded;
    const F64View& signal;
    const std::int64_t* signal_rows;
    const VwapMarket& m;
    const Factors& f;
    const Costs& c;
    bool by_rows, by_stocks;
    std::ptrdiff_t stock_days;
    std::vector<DayAcc>& days;
    std::vector<double>* positions;  // end-of-day positions, n_days x cols, when wanted
    std::ptrdiff_t light_days;       // the light pass stops at the last thread's first day

    bool in_totals(std::ptrdiff_t i) const { return stock_days < 0 || i < stock_days; }
};

// What one thread makes: the long-table rows of its chunks in (day, stock) order; a scratch
// record reused by its chunks, and the positions it carries from one chunk to the next.
struct ThreadOut {
    R tables, made;
    std::vector<double> held;
    ChunkLanes lanes;
    std::vector<std::uint8_t> in_step;
};

// Chunk k, its rows appended to the thread's tables and its per-stock totals to `totals`
// (n_stock_columns x padded).
KESTRELIA_AVX2_CLONE void record_chunk_avx2(const Job& job, std::ptrdiff_t k, ThreadOut& out,
                                            std::vector<double>& totals);
void record_chunk_portable(const Job& job, std::ptrdiff_t k, ThreadOut& out,
                           std::vector<double>& totals);
// The light pass: positions before the first day of every chunk up to the last thread's
// first, for stocks j_begin .. j_end - 1.
KESTRELIA_AVX2_CLONE void chunk_starts_avx2(std::vector<double>& starts, const Job& job,
                                            std::ptrdiff_t j_begin, std::ptrdiff_t j_end);
void chunk_starts_portable(std::vector<double>& starts, const Job& job, std::ptrdiff_t j_begin,
                           std::ptrdiff_t j_end);

}  // namespace kestrelia::kernels::vwap_record
