// Internal interface between the generated character tables (unicode_tables.cpp) and the code
// that uses them (unicode.cpp). Nothing outside those two files should include it.
#pragma once

#include <cstdint>

namespace brindle::unicode::detail {

// Property bits of a CharRecord.
inline constexpr std::uint8_t kFlagWhiteSpace = 1;
inline constexpr std::uint8_t kFlagCased = 2;
inline constexpr std::uint8_t kFlagCaseIgnorable = 4;

// What the tables know about one code point. Case mappings are stored as differences to the
// code point, so that runs of letters share one record.
struct CharRecord {
    std::int32_t lower_delta;   // first code point of the full lower-case mapping, minus cp
    std::int32_t upper_delta;   // first code point of the full upper-case mapping, minus cp
    std::uint16_t tail_offset;  // rest of the full lower-case mapping, in lower_tail()
    std::uint8_t tail_length;
    std::uint8_t flags;
};

// The record of `cp`; any value, even above U+10FFFF, is accepted (no mapping, no property).
const CharRecord& char_record(char32_t cp);

// The `record.tail_length` code points that follow the first one in its full lower mapping.
const char32_t* lower_tail(const CharRecord& record);

// Case_Ignorable among ASCII characters: ' . : ^ ` (letters are Cased, the rest has neither).
inline bool is_ascii_case_ignorable(unsigned char c) {
    return c == '\'' || c == '.' || c == ':' || c == '^' || c == '`';
}

inline char32_t apply_delta(char32_t cp, std::int32_t delta) {
    return static_cast<char32_t>(cp + static_cast<char32_t>(delta));
}

}  // namespace brindle::unicode::detail
