// Text helpers shared by the replacement strategies, the diagnostics and the streaming matcher:
// splitting into lines, trimming by Unicode White_Space, joining lines, and line numbering.
//
// Lines: the text is cut after every LF; the LF and one CR directly before it are dropped. A last
// line without LF is kept whole (a trailing CR included). A final LF adds no empty line, and the
// empty text has no lines. A CR anywhere else is ordinary text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brindle::text {

// The lines of `s` as views into it.
std::vector<std::string_view> split_lines(std::string_view s);

// Number of lines `split_lines` would return, without building them.
std::size_t count_lines(std::string_view s);

// `s` without its leading and trailing White_Space characters.
std::string_view trim(std::string_view s);

// `s` without its leading White_Space characters.
std::string_view trim_start(std::string_view s);

// True when `s` is empty after trimming.
inline bool is_blank(std::string_view s) {
    return trim(s).empty();
}

// Lines joined with one LF between neighbours and none after the last.
std::string join_lines(const std::string_view* first, std::size_t count);
inline std::string join_lines(const std::vector<std::string_view>& lines, std::size_t begin,
                              std::size_t count) {
    return join_lines(lines.data() + begin, count);
}

// Byte length of `count` lines joined with LF, without building the text.
std::size_t joined_length(const std::string_view* first, std::size_t count);

// Number of LF bytes in `s`.
std::size_t count_newlines(std::string_view s);

// 1-based line number of byte position `pos`: 1 plus the LF bytes before it.
inline std::uint64_t line_number_at(std::string_view s, std::size_t pos) {
    return 1 + count_newlines(s.substr(0, pos));
}

// Position of the first occurrence of `needle` in `hay` at or after `from` (npos when absent).
// The empty needle occurs at `from` itself when `from` <= hay.size().
std::size_t find(std::string_view hay, std::string_view needle, std::size_t from = 0);

inline bool contains(std::string_view hay, std::string_view needle) {
    return find(hay, needle) != std::string_view::npos;
}

namespace detail {

// Needles longer than this, and longer than 1 / kFindLongNeedleShare of the text searched, are
// searched by their first kFindPrefixBytes bytes, and compared in full where those occur.
inline constexpr std::size_t kFindPrefixBytes = 256;
inline constexpr std::size_t kFindLongNeedleShare = 8;

// What find did with a long needle, for tests that check which paths their inputs reach.
struct FindStats {
    std::size_t prefix_hits = 0;  // places where the needle's prefix occurs, compared in full
    bool whole_needle = false;    // the rest of the text was searched for the whole needle
};

// find for a needle of more than kFindPrefixBytes bytes that fits in hay[from..).
std::size_t find_long_needle(std::string_view hay, std::string_view needle, std::size_t from,
                             FindStats* stats = nullptr);

}  // namespace detail

}  // namespace brindle::text
