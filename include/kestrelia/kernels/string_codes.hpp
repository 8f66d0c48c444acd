// Integer codes for the distinct values of a text column (a factorisation), over Arrow's
// UTF-8 layout or over loose string views. Codes count from 0 in order of first
// appearance; a missing element gets -1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace kestrelia::kernels {

// One chunk of an Arrow string column: `length` elements starting at element `offset` of
// the buffers. Exactly one of the offset buffers is set (string: 32-bit, large_string:
// 64-bit); `validity` is the LSB-first null bitmap or null when every element is valid.
struct Utf8Chunk {
    const std::int32_t* offsets32 = nullptr;
    const std::int64_t* offsets64 = nullptr;
    const char* data = nullptr;
    const std::uint8_t* validity = nullptr;
    std::int64_t offset = 0;
    std::int64_t length = 0;

    bool valid(std::int64_t i) const {
        if (validity == nullptr) return true;
        const std::int64_t bit = offset + i;
        return (validity[bit >> 3] >> (bit & 7)) & 1;
    }
    std::string_view at(std::int64_t i) const {
        const std::int64_t k = offset + i;
        const std::int64_t begin = offsets64 ? offsets64[k] : offsets32[k];
        const std::int64_t end = offsets64 ? offsets64[k + 1] : offsets32[k + 1];
        return {data + begin, static_cast<std::size_t>(end - begin)};
    }
};

// An open-addressing hash table from text to code. The views it keeps point into the
// caller's buffers, which must outlive it.
class StringCodes {
public:
    StringCodes();

    // The code of `text`, adding it when new.
    std::int32_t code(std::string_view text);

    // Writes one code per element of the chunk into out[0..chunk.length). With
    // `prefix_chars` > 0 each element is coded by its first that many characters (code
    // points, not bytes), as text[:prefix_chars] would cut it.
    void encode(std::int32_t* out, const Utf8Chunk& chunk, std::size_t prefix_chars = 0);

    // The distinct values, indexed by code.
    const std::vector<std::string_view>& uniques() const { return uniques_; }

    // The code of `text` when it is the value with code `candidate`; -1 otherwise.
    std::int32_t same_as(std::string_view text, std::int32_t candidate) const;

private:
    // One probe reads one slot: the hash, the code and, for texts of at most eight bytes,
    // the text itself, so that short keys (stock codes, dates) compare without memcmp.
    struct Slot {
        std::uint64_t hash = 0;
        std::uint64_t head = 0;  // the first eight bytes, zero-padded
        std::int32_t code = -1;  // -1: empty
        std::uint32_t size = 0;
    };

    void grow();

    std::vector<Slot> slots_;
    std::vector<std::string_view> uniques_;
    std::vector<std::uint64_t> heads_;     // per code, the first eight bytes
    std::vector<std::int32_t> followers_;  // per code, the code that came next last time
    std::size_t mask_ = 0;
};

// The leading `chars` characters of UTF-8 text (all of it when shorter or chars == 0).
std::string_view utf8_prefix(std::string_view text, std::size_t chars);

}  // namespace kestrelia::kernels
