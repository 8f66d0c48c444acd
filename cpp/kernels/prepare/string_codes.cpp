#include "kestrelia/kernels/string_codes.hpp"

#include <cstring>

namespace kestrelia::kernels {

namespace {

std::uint64_t head_of(std::string_view text) {
    std::uint64_t w = 0;
    std::memcpy(&w, text.data(), text.size() < 8 ? text.size() : 8);
    return w;
}

// A multiply-xorshift hash over 8-byte words; keys are short codes and dates.
std::uint64_t hash_text(std::string_view text, std::uint64_t head) {
    constexpr std::uint64_t k = 0x9E3779B97F4A7C15ull;
    std::uint64_t h = 0x2545F4914F6CDD1Dull ^ (text.size() * k);
    h = (h ^ head) * k;
    h ^= h >> 29;
    const char* p = text.data() + 8;
    std::size_t n = text.size() > 8 ? text.size() - 8 : 0;
    while (n >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * k;
        h ^= h >> 29;
        p += 8;
        n -= 8;
    }
    if (n > 0) {
        std::uint64_t w = 0;
        std::memcpy(&w, p, n);
        h = (h ^ w) * k;
        h ^= h >> 29;
    }
    h *= 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 31);
}

}  // namespace

StringCodes::StringCodes() : slots_(1024), mask_(1023) {}

void StringCodes::grow() {
    std::vector<Slot> slots(slots_.size() * 2);
    const std::size_t mask = slots.size() - 1;
    for (const Slot& slot : slots_) {
        if (slot.code < 0) continue;
        std::size_t j = slot.hash & mask;
        while (slots[j].code >= 0) j = (j + 1) & mask;
        slots[j] = slot;
    }
    slots_.swap(slots);
    mask_ = mask;
}

std::int32_t StringCodes::code(std::string_view text) {
    const std::uint64_t head = head_of(text);
    const std::uint64_t h = hash_text(text, head);
    const auto size = static_cast<std::uint32_t>(text.size());
    std::size_t j = h & mask_;
    while (true) {
        const Slot& slot = slots_[j];
        if (slot.code < 0) break;
        if (slot.hash == h && slot.size == size && slot.head == head &&
            (size <= 8 || std::memcmp(uniques_[static_cast<std::size_t>(slot.code)].data() + 8,
                                      text.data() + 8, size - 8) == 0))
            return slot.code;
        j = (j + 1) & mask_;
    }
    const auto fresh = static_cast<std::int32_t>(uniques_.size());
    uniques_.push_back(text);
    heads_.push_back(head);
    followers_.push_back(-1);
    slots_[j] = Slot{h, head, fresh, size};
    // Keep the load factor under one half.
    if (uniques_.size() * 2 > slots_.size()) grow();
    return fresh;
}

std::string_view utf8_prefix(std::string_view text, std::size_t chars) {
    if (chars == 0 || text.size() <= chars) return text;
    std::size_t starts = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        // Every byte that is not a continuation byte (10xxxxxx) starts a character.
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && starts++ == chars)
            return text.substr(0, i);
    }
    return text;
}

std::int32_t StringCodes::same_as(std::string_view text, std::int32_t candidate) const {
    if (candidate < 0) return -1;
    const std::string_view other = uniques_[static_cast<std::size_t>(candidate)];
    if (other.size() != text.size() || heads_[static_cast<std::size_t>(candidate)] != head_of(text))
        return -1;
    if (text.size() > 8 && std::memcmp(other.data() + 8, text.data() + 8, text.size() - 8) != 0)
        return -1;
    return candidate;
}

void StringCodes::encode(std::int32_t* out, const Utf8Chunk& chunk, std::size_t prefix_chars) {
    // Long tables repeat a value over many consecutive rows (a date over the whole market,
    // a factor name over its block) or cycle through values in a fixed order (the stocks
    // of each date): try the previous value, then the value that followed it last time,
    // before hashing.
    std::int32_t previous = -1;
    for (std::int64_t i = 0; i < chunk.length; ++i) {
        if (!chunk.valid(i)) {
            out[i] = -1;
            continue;
        }
        const std::string_view text = utf8_prefix(chunk.at(i), prefix_chars);
        std::int32_t code = same_as(text, previous);
        if (code < 0 && previous >= 0) {
            code = same_as(text, followers_[static_cast<std::size_t>(previous)]);
            if (code < 0) {
                code = this->code(text);
                followers_[static_cast<std::size_t>(previous)] = code;
            }
        } else if (code < 0) {
            code = this->code(text);
        }
        out[i] = code;
        previous = code;
    }
}

}  // namespace kestrelia::kernels
