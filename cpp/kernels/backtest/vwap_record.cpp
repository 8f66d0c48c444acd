// The recorded VWAP simulation: chunks of days on one thread per core, each starting from
// positions a light first pass found, their tables joined in order and their per-stock
// totals added in chunk order, so that no result depends on the number of threads.
#include "vwap_record.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrelia::kernels {

namespace {

using namespace vwap_record;

// Runs work(t) for t = 0 .. threads - 1, on as many threads; the first failure is rethrown.
template <class Work>
void on_threads(std::ptrdiff_t threads, const Work& work) {
    std::exception_ptr failure;
    std::mutex failure_lock;
    auto guarded = [&](std::ptrdiff_t t) {
        try {
            work(t);
        } catch (...) {
            const std::lock_guard<std::mutex> hold(failure_lock);
            if (!failure) failure = std::current_exception();
        }
    };
    std::vector<std::thread> pool;
    for (std::ptrdiff_t t = 1; t < threads; ++t) pool.emplace_back(guarded, t);
    guarded(0);
    for (auto& thread : pool) thread.join();
    if (failure) std::rethrow_exception(failure);
}

// One thread per core, or KESTRELIA_NUM_THREADS when it is a positive number (say 1 where
// many backtests already run side by side); never more than there are tasks.
std::ptrdiff_t thread_count(std::ptrdiff_t tasks) {
    static const std::ptrdiff_t limit = [] {
        const char* text = std::getenv("KESTRELIA_NUM_THREADS");
        const long asked = text ? std::strtol(text, nullptr, 10) : 0;
        return asked > 0
                   ? static_cast<std::ptrdiff_t>(std::min(asked, 256L))
                   : static_cast<std::ptrdiff_t>(std::max(1U, std::thread::hardware_concurrency()));
    }();
    return std::max<std::ptrdiff_t>(1, std::min(tasks, limit));
}

// Thread t's share of `n` items (whole blocks of `step`): items begin(t) .. begin(t + 1) - 1.
struct Shares {
    std::ptrdiff_t n, threads, step;
    std::ptrdiff_t begin(std::ptrdiff_t t) const {
        const std::ptrdiff_t blocks = (n + step - 1) / step;
        return std::min(n, blocks * t / threads * step);
    }
};

// A chunk's rows into a long table from row `base` on, in (day, stock) order: a stable
// counting sort by day (a walk makes each day's rows in stock order). The chunk's counts
// per day go to `per_day` (the table's counts from the chunk's first day on).
void place(const ChunkRows& made, std::size_t base, TableRow* table, std::int64_t* per_day) {
    std::vector<TableRow*> at(made.per_day().size());
    TableRow* next = table + base;
    for (std::size_t d = 0; d < at.size(); ++d) {
        at[d] = next;
        next += made.per_day()[d];
        per_day[d] = made.per_day()[d];
    }
    const TableRow* rows = made.rows();
    for (std::size_t e = 0; e < made.size(); ++e)
        *at[static_cast<std::size_t>(rows[e].chunk_day)]++ = rows[e];
}

void simulate_recorded(double* out, R& rec, std::ptrdiff_t n_days, const F64View& signal,
                       const std::int64_t* signal_rows, const std::uint8_t* hold,
                       const VwapMarket& m, const DayRates& f) {
    const std::ptrdiff_t cols = signal.cols;
    const std::ptrdiff_t padded = (cols + width - 1) / width * width;
    std::vector<DayAcc> days(static_cast<std::size_t>(n_days), DayAcc{});
    const std::ptrdiff_t per_chunk = chunk_days(n_days);
    const std::ptrdiff_t n_chunks = (n_days + per_chunk - 1) / per_chunk;
    Standing starts{std::vector<double>(static_cast<std::size_t>(n_chunks * padded), 0.0),
                    std::vector<double>(static_cast<std::size_t>(n_chunks * padded), 0.0)};
    // The chunks go to the threads in runs of consecutive ones.
    const Shares chunks{n_chunks, thread_count(n_chunks), 1};
    // Day by day over rows when most inputs are laid out by rows; otherwise over columns in
    // place (staging rows out of columns touches a memory page per stock and day), a stock
    // at a time when all of them are column-major.
    const bool by_rows = mostly_row_major(signal, m);
    const Job job{n_days,
                  per_chunk,
                  cols,
                  padded,
                  signal,
                  signal_rows,
                  hold,
                  m,
                  f,
                  by_rows,
                  !by_rows && all_column_major(signal, m),
                  rec.stock_days,
                  days,
                  chunks.begin(chunks.threads - 1) * per_chunk};

    // Positions at the threads' first days, each thread taking a share of the stocks.
    const Shares stocks{cols, thread_count(cols / width), width};
    on_threads(stocks.threads, [&](std::ptrdiff_t t) {
        chunk_starts(starts, job, stocks.begin(t), stocks.begin(t + 1));
    });

    // The chunks; each keeps its rows and per-stock totals apart, so that the totals add
    // up in chunk order and the rows land in day order whatever the number of threads.
    std::vector<ThreadOut> threads(static_cast<std::size_t>(chunks.threads));
    std::vector<ChunkOut> made(static_cast<std::size_t>(n_chunks));
    on_threads(chunks.threads, [&](std::ptrdiff_t t) {
        ThreadOut& mine = threads[static_cast<std::size_t>(t)];
        const std::ptrdiff_t first = chunks.begin(t), last = chunks.begin(t + 1);
        if (first < last) {
            mine.at.held.assign(starts.held.begin() + first * padded,
                                starts.held.begin() + (first + 1) * padded);
            mine.at.carried.assign(starts.carried.begin() + first * padded,
                                   starts.carried.begin() + (first + 1) * padded);
        }
        for (std::ptrdiff_t k = first; k < last; ++k) {
            record_chunk(job, k, mine, made[static_cast<std::size_t>(k)]);
        }
    });
    threads.clear();

    // The long tables: sized once, then each chunk's rows sorted into their place, chunks
    // in order, each thread placing its own.
    std::vector<std::size_t> trades_at(static_cast<std::size_t>(n_chunks) + 1, 0),
        blocked_at(static_cast<std::size_t>(n_chunks) + 1, 0);
    for (std::size_t k = 0; k < made.size(); ++k) {
        trades_at[k + 1] = trades_at[k] + made[k].trades.size();
        blocked_at[k + 1] = blocked_at[k] + made[k].blocked.size();
    }
    rec.trades.resize(trades_at.back());
    rec.blocked.resize(blocked_at.back());
    rec.trades_per_day.resize(static_cast<std::size_t>(n_days));
    rec.blocked_per_day.resize(static_cast<std::size_t>(n_days));
    on_threads(chunks.threads, [&](std::ptrdiff_t t) {
        for (std::ptrdiff_t k = chunks.begin(t); k < chunks.begin(t + 1); ++k) {
            ChunkOut& chunk = made[static_cast<std::size_t>(k)];
            const std::size_t first_day = static_cast<std::size_t>(k * per_chunk);
            place(chunk.trades, trades_at[static_cast<std::size_t>(k)], rec.trades.data(),
                  rec.trades_per_day.data() + first_day);
            place(chunk.blocked, blocked_at[static_cast<std::size_t>(k)], rec.blocked.data(),
                  rec.blocked_per_day.data() + first_day);
            chunk.trades.release();
            chunk.blocked.release();
        }
    });

    for (std::ptrdiff_t i = 0; i < n_days; ++i) {
        const DayAcc& day = days[static_cast<std::size_t>(i)];
        // The five day sums reduced over their lanes, then added left to right (and the
        // minimum commission's top-ups last): the plain walks' order.
        double cash = lane_total(day.sums[0]) + lane_total(day.sums[1]) + lane_total(day.sums[2]) +
                      lane_total(day.sums[3]) + lane_total(day.sums[4]);
        if (f.min_commission > 0.0) cash = cash + lane_total(day.sums[minimum]);
        out[i] = cash / f.total_money;
        double* row = rec.days.data() + i * R::n_day_columns;
        for (int k = 0; k < R::n_day_columns; ++k) row[k] = lane_total(day.cols[k]);
    }
    for (std::ptrdiff_t j = 0; j < cols; ++j) {
        for (int k = 0; k < R::n_stock_columns; ++k) {
            double total = 0.0;
            for (const ChunkOut& chunk : made)
                total += chunk.totals[static_cast<std::size_t>(k * padded + j)];
            rec.stocks[static_cast<std::size_t>(j * R::n_stock_columns + k)] = total;
        }
    }
}

}  // namespace

std::vector<ShareEvent> share_events(const F64View& split) {
    std::vector<ShareEvent> events;
    for (std::ptrdiff_t j = 0; j < split.cols; ++j) {
        const double* col = split.column(j);
        for (std::ptrdiff_t i = 0; i < split.rows; ++i) {
            const double f = col[i * split.row_stride];
            if (std::isfinite(f) && f != 1.0)
                events.push_back({static_cast<std::int32_t>(i), static_cast<std::int32_t>(j), f});
        }
    }
    return events;
}

Status vwap_daily_return_recorded(double* out, ExecutionRecord& record, std::ptrdiff_t n_days,
                                  const F64View& signal, const std::int64_t* signal_rows,
                                  const std::uint8_t* hold, const VwapMarket& market,
                                  const VwapParams& params) {
    Status status = vwap_check(n_days, signal, signal_rows, market);
    if (!status) return status;
    const std::ptrdiff_t n_stocks = signal.cols;
    record.days.assign(static_cast<std::size_t>(n_days * R::n_day_columns), 0.0);
    record.stocks.assign(static_cast<std::size_t>(n_stocks * R::n_stock_columns), 0.0);
    const DayRateArrays arrays(n_days, params);
    simulate_recorded(out, record, n_days, signal, signal_rows, hold, market, arrays.rates);
    // The day table's money in fractions of the money the day was sized from (the capital,
    // or with sizing by day the day's equity).
    for (std::ptrdiff_t i = 0; i < n_days; ++i) {
        double* day = record.days.data() + i * R::n_day_columns;
        const double money = params.money ? params.money[i] : params.total_money;
        for (int col :
             {R::lot_weight, R::held_weight, R::buy_blocked_weight, R::sell_blocked_weight,
              R::rounding_weight, R::traded_amount, R::buy, R::hold, R::sell, R::dividend,
              R::commission, R::stamp_duty, R::transfer_fee})
            day[col] /= money;
    }
    return status;
}

}  // namespace kestrelia::kernels
