// Line splitting, trimming and joining shared by every line-based algorithm of the core.
#include "core/text.hpp"

#include <cstring>

#include "core/unicode.hpp"
#include "core/utf8.hpp"

namespace brindle::text {

namespace {

// Decodes the character that ends just before `end` and returns its first byte's offset.
std::size_t previous_char_start(std::string_view s, std::size_t end) {
    std::size_t start = end - 1;
    while (start > 0 && utf8::is_continuation(static_cast<unsigned char>(s[start]))) --start;
    return start;
}

}  // namespace

std::vector<std::string_view> split_lines(std::string_view s) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < s.size()) {
        const void* hit = std::memchr(s.data() + start, '\n', s.size() - start);
        if (hit == nullptr) {
            lines.push_back(s.substr(start));
            break;
        }
        std::size_t lf = static_cast<std::size_t>(static_cast<const char*>(hit) - s.data());
        std::size_t end = (lf > start && s[lf - 1] == '\r') ? lf - 1 : lf;
        lines.push_back(s.substr(start, end - start));
        start = lf + 1;
    }
    return lines;
}

std::size_t count_lines(std::string_view s) {
    if (s.empty()) return 0;
    return count_newlines(s) + (s.back() == '\n' ? 0 : 1);
}

std::string_view trim_start(std::string_view s) {
    std::size_t pos = 0;
    while (pos < s.size()) {
        auto b = static_cast<unsigned char>(s[pos]);
        if (b < 0x80) {
            if (!unicode::is_white_space(b)) break;
            ++pos;
            continue;
        }
        std::size_t next = pos;
        if (!unicode::is_white_space(utf8::decode_at(s, next))) break;
        pos = next;
    }
    return s.substr(pos);
}

std::string_view trim(std::string_view s) {
    s = trim_start(s);
    std::size_t end = s.size();
    while (end > 0) {
        auto b = static_cast<unsigned char>(s[end - 1]);
        if (b < 0x80) {
            if (!unicode::is_white_space(b)) break;
            --end;
            continue;
        }
        std::size_t start = previous_char_start(s, end);
        std::size_t probe = start;
        if (!unicode::is_white_space(utf8::decode_at(s, probe))) break;
        end = start;
    }
    return s.substr(0, end);
}

std::size_t joined_length(const std::string_view* first, std::size_t count) {
    if (count == 0) return 0;
    std::size_t total = count - 1;
    for (std::size_t k = 0; k < count; ++k) total += first[k].size();
    return total;
}

std::string join_lines(const std::string_view* first, std::size_t count) {
    std::string out;
    out.reserve(joined_length(first, count));
    for (std::size_t k = 0; k < count; ++k) {
        if (k > 0) out.push_back('\n');
        out.append(first[k]);
    }
    return out;
}

std::size_t count_newlines(std::string_view s) {
    std::size_t n = 0;
    const char* p = s.data();
    const char* end = p + s.size();
    while (p < end) {
        const void* hit = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
        if (hit == nullptr) break;
        ++n;
        p = static_cast<const char*>(hit) + 1;
    }
    return n;
}

namespace {

// memmem over hay[from, to): the offset in hay of the first occurrence of needle, or npos.
std::size_t memmem_in(std::string_view hay, std::size_t from, std::size_t to, std::string_view needle) {
    const void* hit = memmem(hay.data() + from, to - from, needle.data(), needle.size());
    return hit == nullptr ? std::string_view::npos
                          : static_cast<std::size_t>(static_cast<const char*>(hit) - hay.data());
}

}  // namespace

std::size_t find(std::string_view hay, std::string_view needle, std::size_t from) {
    if (from > hay.size()) return std::string_view::npos;
    if (needle.empty()) return from;
    if (needle.size() > hay.size() - from) return std::string_view::npos;
    if (needle.size() > detail::kFindPrefixBytes &&
        needle.size() > (hay.size() - from) / detail::kFindLongNeedleShare) {
        return detail::find_long_needle(hay, needle, from);
    }
    return memmem_in(hay, from, hay.size(), needle);
}

namespace detail {

// memmem takes a needle of up to 256 bytes on a fast path (a table of shifts, most of the text
// skipped); a longer one is first analysed whole (the two-way algorithm's factorisation, some
// nanoseconds per needle byte), which for a needle near the text's length costs more than the
// search. So the needle's prefix is searched for, where a whole needle still fits, and the rest
// compared at each hit. Each hit is charged the needle's length (the prefix search starts again
// behind it, and the rest is compared); once that exceeds one pass over the text and the needle
// (a text where the prefix recurs), the rest of the text is left to memmem with the whole needle,
// so the search stays linear. On a text that repeats one character the fast path reads every
// byte, several times slower than the two-way search: find takes this way only when the needle is
// a good part of the text, where the analysis it saves costs as much.
std::size_t find_long_needle(std::string_view hay, std::string_view needle, std::size_t from,
                             FindStats* stats) {
    const std::string_view prefix = needle.substr(0, kFindPrefixBytes);
    const std::string_view rest = needle.substr(kFindPrefixBytes);
    const std::size_t last_start = hay.size() - needle.size();
    const std::size_t allowance = hay.size() - from + needle.size();
    std::size_t charged = 0;
    std::size_t at = from;
    while (at <= last_start) {
        const std::size_t hit = memmem_in(hay, at, last_start + prefix.size(), prefix);
        if (hit == std::string_view::npos) return hit;
        if (stats != nullptr) ++stats->prefix_hits;
        if (std::memcmp(hay.data() + hit + prefix.size(), rest.data(), rest.size()) == 0) return hit;
        at = hit + 1;
        charged += needle.size();
        if (charged > allowance) {
            if (stats != nullptr) stats->whole_needle = true;
            return memmem_in(hay, at, hay.size(), needle);
        }
    }
    return std::string_view::npos;
}

}  // namespace detail

}  // namespace brindle::text
