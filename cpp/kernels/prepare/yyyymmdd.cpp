#include "kestrelia/kernels/yyyymmdd.hpp"

#include <cmath>

namespace kestrelia::kernels {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

EightDigits check_date(const char* d) {
    const int year = (d[0] - '0') * 1000 + (d[1] - '0') * 100 + (d[2] - '0') * 10 + (d[3] - '0');
    const int month = (d[4] - '0') * 10 + (d[5] - '0');
    const int day = (d[6] - '0') * 10 + (d[7] - '0');
    if (year < 1 || month < 1 || month > 12 || day < 1) return EightDigits::invalid;
    static constexpr int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int last = month == 2 && leap ? 29 : days[month - 1];
    return day <= last ? EightDigits::date : EightDigits::invalid;
}

}  // namespace

EightDigits eight_digit_text(std::string_view text, char* out) {
    std::size_t b = 0, e = text.size();
    while (b < e && is_blank(text[b])) ++b;
    while (e > b && is_blank(text[e - 1])) --e;
    if (e - b < 8) return EightDigits::none;
    for (std::size_t i = 0; i < 8; ++i)
        if (!is_digit(text[b + i])) return EightDigits::none;
    std::size_t k = b + 8;
    if (k < e) {
        if (text[k] != '.') return EightDigits::none;
        for (++k; k < e; ++k)
            if (text[k] != '0') return EightDigits::none;
    }
    for (std::size_t i = 0; i < 8; ++i) out[i] = text[b + i];
    return check_date(out);
}

EightDigits eight_digit_integer(std::int64_t value, char* out) {
    if (value < 10000000 || value > 99999999) return EightDigits::none;
    for (int i = 7; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return check_date(out);
}

EightDigits eight_digit_float(double value, char* out) {
    if (!(value >= 10000000.0 && value <= 99999999.0) || std::floor(value) != value)
        return EightDigits::none;
    return eight_digit_integer(static_cast<std::int64_t>(value), out);
}

void scan_eight_digit_texts(std::vector<EightDigitHit>& hits, const Utf8Chunk& chunk,
                            std::int64_t base) {
    EightDigitHit hit{};
    for (std::int64_t i = 0; i < chunk.length; ++i) {
        if (!chunk.valid(i)) continue;
        const std::string_view text = chunk.at(i);
        // Cheap reject first: most texts are dashed dates or timestamps.
        if (text.size() < 8 || text.size() > 64) continue;
        hit.kind = eight_digit_text(text, hit.digits);
        if (hit.kind == EightDigits::none) continue;
        hit.position = base + i;
        hits.push_back(hit);
    }
}

void scan_eight_digit_integers(std::vector<EightDigitHit>& hits, const std::int64_t* values,
                               std::ptrdiff_t n, std::ptrdiff_t stride) {
    EightDigitHit hit{};
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        hit.kind = eight_digit_integer(values[i * stride], hit.digits);
        if (hit.kind == EightDigits::none) continue;
        hit.position = i;
        hits.push_back(hit);
    }
}

void scan_eight_digit_floats(std::vector<EightDigitHit>& hits, const double* values,
                             std::ptrdiff_t n, std::ptrdiff_t stride) {
    EightDigitHit hit{};
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        hit.kind = eight_digit_float(values[i * stride], hit.digits);
        if (hit.kind == EightDigits::none) continue;
        hit.position = i;
        hits.push_back(hit);
    }
}

}  // namespace kestrelia::kernels
