// Recognising dates written as eight digits, YYYYMMDD. Data services often deliver dates
// as the integer 20240102 (or its float or text form); read as a number, such a value
// would be nanoseconds since 1970.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "kestrelia/kernels/string_codes.hpp"

namespace kestrelia::kernels {

enum class EightDigits : std::uint8_t {
    none,     // not of that form: leave the value to the general date reader
    date,     // a calendar date; its eight digits are written out
    invalid,  // eight digits that name no day (month 13, 30 February): a missing date
};

// Text of exactly eight digits, optionally followed by a point and zeros ("20240102.0"),
// with blanks allowed around it.
EightDigits eight_digit_text(std::string_view text, char* out);
// An integer in 10000000..99999999.
EightDigits eight_digit_integer(std::int64_t value, char* out);
// A float with an integral value in that range.
EightDigits eight_digit_float(double value, char* out);

struct EightDigitHit {
    std::int64_t position;
    EightDigits kind;
    char digits[8];
};

// Appends a hit for every element of the chunk that is an eight-digit text; positions are
// `base` plus the element's index in the chunk.
void scan_eight_digit_texts(std::vector<EightDigitHit>& hits, const Utf8Chunk& chunk,
                            std::int64_t base);
// The same over integers and floats (stride in elements).
void scan_eight_digit_integers(std::vector<EightDigitHit>& hits, const std::int64_t* values,
                               std::ptrdiff_t n, std::ptrdiff_t stride);
void scan_eight_digit_floats(std::vector<EightDigitHit>& hits, const double* values,
                             std::ptrdiff_t n, std::ptrdiff_t stride);

}  // namespace kestrelia::kernels
