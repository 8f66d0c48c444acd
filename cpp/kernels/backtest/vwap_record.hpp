// What the recording walks of the VWAP simulation share with the code that runs them on
// threads (vwap_record.cpp): the job every chunk of days reads, what a thread makes, the
// day accumulators, and the two passes each thread calls, built for AVX2 and the baseline.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "kestrelia/kernels/vwap.hpp"
#include "lanes.hpp"
#include "vwap_day.hpp"

namespace kestrelia::kernels::vwap_record {

using namespace lanes;
using namespace vwap_day;
using R = ExecutionRecord;

// The money parts a day's return is made of (the five sums and the minimum commission's
// top-ups), in the order they are added.
constexpr int n_money = minimum + 1;

// A day's accumulators as plain doubles (no over-aligned type in a std::vector): the five
// sums the return is made of, then the recorded columns, each summed over four lanes.
struct DayAcc {
    double sums[n_money][width];
    double cols[R::n_day_columns][width];
};

KESTRELIA_INLINE double lane_total(const double (&x)[width]) {
    return (x[0] + x[1]) + (x[2] + x[3]);
}

// Days per chunk: at most 256, and the days shared out evenly (in whole quads of days), so
// that threads with as many chunks have as much to do. Chunks are recorded independently
// (on as many threads as the machine has), each starting from the positions a first,
// light pass found at its first day; a chunk's day accumulators stay in the core's cache
// while it is walked. The length depends on the number of days only, so per-stock totals,
// added chunk by chunk, do not depend on the number of threads.
constexpr std::ptrdiff_t max_chunk_days = 256;
inline std::ptrdiff_t chunk_days(std::ptrdiff_t n_days) {
    const std::ptrdiff_t n_chunks = (n_days + max_chunk_days - 1) / max_chunk_days;
    if (n_chunks == 0) return max_chunk_days;
    const std::ptrdiff_t even = (n_days + n_chunks - 1) / n_chunks;
    return (even + width - 1) / width * width;
}

// A chunk's accumulators lane by lane (stock mod 4): the five day sums, then the recorded
// day columns, each a run over the chunk's days padded to whole quads, so that four days of
// one stock are added with one vector operation.
class ChunkLanes {
public:
    static constexpr std::ptrdiff_t n_acc = n_money + R::n_day_columns;

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
                for (int k = 0; k < n_money; ++k) day.sums[k][lane] = of(lane, k)[i];
                for (int k = 0; k < R::n_day_columns; ++k)
                    day.cols[k][lane] = of(lane, n_money + k)[i];
            }
        }
    }

private:
    std::ptrdiff_t days_ = 0;
    std::vector<double> acc_;
};

// A chunk's long-table rows in the order a walk made them, and how many fall on each of
// its days (for the counting sort into day order).
class ChunkRows {
public:
    void reset(std::ptrdiff_t n_days, std::size_t expected) {
        n_ = 0;
        per_day_.assign(static_cast<std::size_t>(n_days), 0);
        if (rows_.size() < expected + width) rows_.resize(expected + width);
    }

    // The rows of four lanes where `up` (side +1) or `down` (side -1) is set, lanes in
    // order; no lane has both (a stock wants to buy or to sell, not both). A lane set in
    // `unpriced` gets side +2 or -2: a trade whose profit coefficient was not a number, so
    // that the day's return took its product as 0, costs included. Which lanes trade
    // is as good as random, so there is no branch per lane: each lane's row is written at
    // the end and kept by counting it. Lane k is day `day + k x di` of the chunk and stock
    // `j0 + k x dj`: di = 0, dj = 1 for four stocks on a day, di = 1, dj = 0 for a stock on
    // four days.
    KESTRELIA_INLINE void add(std::ptrdiff_t day, std::ptrdiff_t j0, std::ptrdiff_t di,
                              std::ptrdiff_t dj, std::ptrdiff_t used, v4i up, v4d up_shares,
                              v4d up_price, v4i down, v4d down_shares, v4d down_price,
                              v4i unpriced) {
        if (n_ + width > rows_.size()) rows_.resize(2 * rows_.size() + width);
        long long keep[width], buy[width], odd[width];
        double shares[width], price[width];
        const v4i wanted = up | down;
        std::memcpy(keep, &wanted, sizeof keep);
        std::memcpy(buy, &up, sizeof buy);
        std::memcpy(odd, &unpriced, sizeof odd);
        store(shares, select(up, up_shares, down_shares));
        store(price, select(up, up_price, down_price));
        for (std::ptrdiff_t k = 0; k < used; ++k) {
            const std::ptrdiff_t d = day + k * di;
            rows_[n_] = {shares[k], price[k], static_cast<std::int32_t>(j0 + k * dj),
                         static_cast<std::int16_t>(d),
                         static_cast<std::int8_t>((buy[k] ? 1 : -1) * (odd[k] ? 2 : 1))};
            const std::size_t kept = keep[k] != 0;
            n_ += kept;
            per_day_[static_cast<std::size_t>(d)] += static_cast<std::uint32_t>(kept);
        }
    }

    std::size_t size() const { return n_; }
    const TableRow* rows() const { return rows_.data(); }
    const std::vector<std::uint32_t>& per_day() const { return per_day_; }
    void release() { Column<TableRow>().swap(rows_); }

private:
    Column<TableRow> rows_;
    std::size_t n_ = 0;
    std::vector<std::uint32_t> per_day_;
};

// What a chunk makes: its long-table rows and its per-stock totals (n_stock_columns x
// padded), kept apart so that the totals add up in chunk order and the rows land in day
// order whatever the number of threads.
struct ChunkOut {
    ChunkRows trades, blocked;
    std::vector<double> totals;
};

// What every chunk reads, and the output chunks write to disjoint parts of (their days'
// accumulators).
struct Job {
    std::ptrdiff_t n_days, chunk_days, cols, padded;
    const F64View& signal;
    const std::int64_t* signal_rows;
    const std::uint8_t* hold;  // days that set no new target (null: none)
    const VwapMarket& m;
    const DayRates& f;
    bool by_rows, by_stocks;
    std::ptrdiff_t stock_days;
    std::vector<DayAcc>& days;
    std::ptrdiff_t light_days;  // the light pass stops at the last thread's first day

    bool in_totals(std::ptrdiff_t i) const { return stock_days < 0 || i < stock_days; }
    bool track() const { return hold != nullptr; }
    bool hold_day(std::ptrdiff_t i) const { return hold != nullptr && hold[i]; }
};

// Where every stock stands before a chunk's first day: its position and the target it
// carries into a day that sets none (both padded to whole blocks).
struct Standing {
    std::vector<double> held, carried;
};

// What one thread keeps from one of its chunks to the next: where its stocks stand, and
// scratch.
struct ThreadOut {
    Standing at;
    ChunkLanes lanes;
    std::vector<std::uint8_t> in_step, holding;
    std::size_t trades = 0, blocked = 0;  // the rows of the thread's last chunk
};

// Chunk k: its rows and per-stock totals into `made`.
void record_chunk(const Job& job, std::ptrdiff_t k, ThreadOut& out, ChunkOut& made);
// The light pass: where stocks j_begin .. j_end - 1 stand before the first day of every
// chunk up to the last thread's first (chunk k's at k x padded in both vectors).
void chunk_starts(Standing& starts, const Job& job, std::ptrdiff_t j_begin, std::ptrdiff_t j_end);
void chunk_starts_portable(Standing& starts, const Job& job, std::ptrdiff_t j_begin,
                           std::ptrdiff_t j_end);

}  // namespace kestrelia::kernels::vwap_record
