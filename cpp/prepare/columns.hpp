// Column access shared by the date normaliser and the pivot: Arrow-backed text columns as
// raw UTF-8 chunks, and integer codes for the distinct values of a text or date column.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "kestrelia/kernels/string_codes.hpp"
#include "prepare.hpp"

namespace kestrelia::prepare {

// The chunks of an Arrow string array, viewed in place. `owner` keeps the buffers alive.
struct ArrowStrings {
    py::object owner;
    std::vector<kernels::Utf8Chunk> chunks;
    std::int64_t length = 0;
};

// Fills `out` when `array` (a pandas array, Series or Index) holds text in Arrow's string
// or large_string layout; false otherwise (nothing is imported or converted then).
bool arrow_strings(const py::handle& array, ArrowStrings& out);

// One int32 code per row. Allocation leaves the elements unset: every producer writes all
// of them, and zero-filling tens of millions of codes first would only cost time.
class CodeArray {
public:
    void resize(std::size_t n) {
        data_.reset(new std::int32_t[n]);
        size_ = n;
    }
    std::int32_t* data() { return data_.get(); }
    const std::int32_t* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    std::int32_t& operator[](std::size_t i) { return data_[i]; }
    const std::int32_t* begin() const { return data_.get(); }
    const std::int32_t* end() const { return data_.get() + size_; }

private:
    std::unique_ptr<std::int32_t[]> data_;
    std::size_t size_ = 0;
};

// Integer codes of a column (-1 = missing) and, per code, its value.
struct ColumnCodes {
    CodeArray codes;
    py::list values;   // exact str objects (text columns) or normalised dates
    py::object owner;  // keeps the views of the codes' source alive while encoding
};

// Codes of a text column whose every element is text or missing (None, NaN, pd.NA): an
// Arrow string array, or an object array of str. False for any other column. With
// `prefix_chars` > 0 the elements are coded by their first that many characters.
bool plain_text_codes(const py::object& series, ColumnCodes& out, std::size_t prefix_chars = 0);

// Codes of `series.astype(str)` (with `prefix_chars` > 0: of `.str[:prefix_chars]` of it)
// without materialising it where possible; missing values stay missing.
ColumnCodes text_codes(const py::object& series, std::size_t prefix_chars = 0);

// Codes of the distinct YYYYMMDD dates of `series_to_yyyymmdd(series)`: each distinct raw
// value is normalised once; values[code] is the date text or None.
ColumnCodes date_codes(const py::object& series);

}  // namespace kestrelia::prepare
