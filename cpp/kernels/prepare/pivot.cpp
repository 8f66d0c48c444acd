#include "kestrelia/kernels/pivot.hpp"

#include <cmath>
#include <cstring>
#include <limits>

namespace kestrelia::kernels {

Status scatter_last_valid(double* out, std::uint8_t* date_used, std::uint8_t* stock_used,
                          const PivotRows& rows, const PivotSlots& slots, std::int32_t group,
                          const double* values, std::ptrdiff_t value_stride,
                          const std::uint32_t* row_list, std::ptrdiff_t listed) {
    const std::ptrdiff_t n_dates = slots.dates;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::ptrdiff_t k = 0, total = n_dates * slots.stocks; k < total; ++k) out[k] = nan;
    std::memset(date_used, 0, static_cast<std::size_t>(n_dates));
    std::memset(stock_used, 0, static_cast<std::size_t>(slots.stocks));

    const std::ptrdiff_t count = row_list != nullptr ? listed : rows.rows;
    const bool check_group = row_list == nullptr && rows.group != nullptr;
    for (std::ptrdiff_t k = 0; k < count; ++k) {
        const std::ptrdiff_t r = row_list != nullptr ? static_cast<std::ptrdiff_t>(row_list[k]) : k;
        if (check_group) {
            const std::int32_t g = rows.group[r];
            if (g < 0) continue;
            if (g >= slots.group_codes) return {Status::bad_argument, r};
            if (slots.group[g] != group) continue;
        }
        const double value = values[r * value_stride];
        if (std::isnan(value)) continue;
        const std::int32_t d = rows.date[r];
        const std::int32_t s = rows.stock[r];
        if (d < 0 || s < 0) continue;
        if (d >= slots.date_codes || s >= slots.stock_codes) return {Status::bad_argument, r};
        const std::int32_t i = slots.date[d];
        const std::int32_t j = slots.stock[s];
        if (i < 0 || j < 0) continue;
        if (i >= n_dates || j >= slots.stocks) return {Status::bad_argument, r};
        // Later rows overwrite earlier ones: the last valid row of a cell wins.
        out[static_cast<std::ptrdiff_t>(j) * n_dates + i] = value;
        date_used[i] = 1;
        stock_used[j] = 1;
    }
    return {};
}

Status group_rows(std::uint32_t* order, std::int64_t* starts, const PivotRows& rows,
                  const PivotSlots& slots, std::int32_t n_groups) {
    std::vector<std::int64_t> count(static_cast<std::size_t>(n_groups) + 1, 0);
    auto group_of = [&](std::ptrdiff_t r) -> std::int32_t {
        const std::int32_t g = rows.group[r];
        if (g < 0 || g >= slots.group_codes) return -1;
        return slots.group[g];
    };
    for (std::ptrdiff_t r = 0; r < rows.rows; ++r) {
        if (rows.group[r] >= slots.group_codes) return {Status::bad_argument, r};
        const std::int32_t g = group_of(r);
        if (g >= n_groups) return {Status::bad_argument, r};
        if (g >= 0) ++count[static_cast<std::size_t>(g) + 1];
    }
    for (std::int32_t g = 0; g < n_groups; ++g)
        count[static_cast<std::size_t>(g) + 1] += count[static_cast<std::size_t>(g)];
    for (std::int32_t g = 0; g <= n_groups; ++g) starts[g] = count[static_cast<std::size_t>(g)];
    for (std::ptrdiff_t r = 0; r < rows.rows; ++r) {
        const std::int32_t g = group_of(r);
        if (g >= 0) order[count[static_cast<std::size_t>(g)]++] = static_cast<std::uint32_t>(r);
    }
    return {};
}

void int64_codes(std::int32_t* out, std::vector<std::int64_t>& uniques, const std::int64_t* keys,
                 std::ptrdiff_t n, std::ptrdiff_t stride, bool has_missing, std::int64_t missing) {
    std::vector<std::int32_t> slots(1024, 0);  // code + 1, 0 = empty
    std::size_t mask = slots.size() - 1;
    auto slot_of = [&](std::int64_t key) {
        auto h = static_cast<std::uint64_t>(key) * 0x9E3779B97F4A7C15ull;
        return static_cast<std::size_t>(h ^ (h >> 32));
    };
    std::int64_t previous = 0;
    std::int32_t previous_code = -2;
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        const std::int64_t key = keys[i * stride];
        if (has_missing && key == missing) {
            out[i] = -1;
            continue;
        }
        // Long tables hold each date over a run of rows.
        if (previous_code >= 0 && key == previous) {
            out[i] = previous_code;
            continue;
        }
        std::size_t j = slot_of(key) & mask;
        std::int32_t code = -1;
        while (slots[j] != 0) {
            if (uniques[static_cast<std::size_t>(slots[j] - 1)] == key) {
                code = slots[j] - 1;
                break;
            }
            j = (j + 1) & mask;
        }
        if (code < 0) {
            code = static_cast<std::int32_t>(uniques.size());
            uniques.push_back(key);
            slots[j] = code + 1;
            if (uniques.size() * 2 > slots.size()) {
                std::vector<std::int32_t> grown(slots.size() * 2, 0);
                mask = grown.size() - 1;
                for (std::size_t u = 0; u < uniques.size(); ++u) {
                    std::size_t k = slot_of(uniques[u]) & mask;
                    while (grown[k] != 0) k = (k + 1) & mask;
                    grown[k] = static_cast<std::int32_t>(u) + 1;
                }
                slots.swap(grown);
            }
        }
        previous = key;
        previous_code = code;
        out[i] = code;
    }
}

void gather_rows_columns(double* out, const double* in, std::ptrdiff_t in_rows,
                         const std::int64_t* row_pos, std::ptrdiff_t n_rows,
                         const std::int64_t* col_pos, std::ptrdiff_t n_cols) {
    for (std::ptrdiff_t j = 0; j < n_cols; ++j) {
        const double* src = in + col_pos[j] * in_rows;
        double* dst = out + j * n_rows;
        for (std::ptrdiff_t i = 0; i < n_rows; ++i) dst[i] = src[row_pos[i]];
    }
}

}  // namespace kestrelia::kernels
