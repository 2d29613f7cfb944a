// The weighted fuzzy scorer, the plain subsequence test and candidate ranking.
//
// The scorer walks the instring once. Each pattern letter is matched case-insensitively (by the
// first code point of the full lower-case mapping). For the letter last consumed it "holds" the
// occurrence with the highest bonus seen so far; a later occurrence with an equal or higher bonus
// replaces it (and the replaced one counts as passed over). The held bonus enters the score only
// when the letter becomes final: when the next pattern letter is taken, or at the end.
//
//   pattern "fb", instring "FooBar":
//     F  start of string          +10 (sep_bonus)
//     o, o                        -1, -1 (unmatched)
//     B  camel hump after 'o'     +10 (camel_bonus)
//     a, r                        -1, -1
//   score = 10 - 2 + 10 - 2 = 16
//
// The steps of one character c at position k (labelled in score_code_points):
//   S1  pl = lower() of the next pattern letter (none once the pattern is consumed); cl = lower(c).
//   S2  takes_next: pl == cl. repeats_held: a letter is held and its lower() is cl.
//   S3  Finalise the held letter (add its bonus, drop it) when c takes the next pattern letter, or
//       when the held letter equals the next pattern letter.
//   S4  If c takes_next or repeats_held (as computed in S2): at the very first match add the lead
//       penalty, max(k * lead_penalty, max_lead_penalty); compute c's bonus from the previous
//       character; consume the pattern letter if c takes it; if the bonus is at least the held
//       one, c becomes the held letter (a letter it replaces costs unmatched_penalty).
//   S5  Otherwise c is passed over: unmatched_penalty.
//   S6  Remember whether c matched, is a lower-case letter, is a separator.
// At the end the held letter's bonus is added; the match succeeded when the pattern is consumed.
//
// Performance. score_code_points is that definition, one decoded code point at a time with three
// case lookups. For an all-ASCII instring (almost every path or identifier) score_ascii gives the
// same result visiting only the characters whose lower() is the next pattern letter or the held
// one, the "events". Between events nothing but the unmatched count changes:
//   - S3/S4 only act on events; S5 adds unmatched_penalty once per non-event character, so the
//     penalties are added at the end as (characters - events) * unmatched_penalty, which is the
//     same sum modulo 2^32;
//   - the flags of S6 concern the previous character only, so at an event they are read from the
//     byte before it (matched: it was the previous event);
//   - k * lead_penalty is computed at the first match instead of being accumulated;
//   - S3's second case depends on the state only, which changes only at events: it is applied
//     right after the event that creates it, with the same effect as at the next character (or at
//     the end, where the held bonus is added anyway).
// Ranking scores every candidate once with the pattern decoded once, then sorts 64-bit keys that
// pack the inverted score above the index, so that an ordinary sort of distinct integers yields
// the stable order by score.
#include "core/fuzzy_match.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/cancel.hpp"
#include "core/unicode.hpp"
#include "core/utf8.hpp"

namespace brindle::fuzzy {

namespace {

// 32-bit wrapping addition: the score is defined modulo 2^32.
inline std::int32_t wrap_add(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

// 32-bit wrapping product of a count and a weight.
inline std::int32_t wrap_mul(std::size_t count, std::int32_t weight) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(count) *
                                     static_cast<std::uint32_t>(weight));
}

inline bool is_separator(char32_t c) {
    return c == U'_' || c == U' ';
}

// Not a code point: stands for "no pattern letter left" and "no letter held".
constexpr char32_t kNone = 0xFFFFFFFFu;

// lower() of the ASCII characters, and whether each is a lower-case letter, an upper-case letter,
// a separator.
struct AsciiTable {
    std::array<unsigned char, 128> lower{};
    std::array<bool, 128> is_lower{};
    std::array<bool, 128> is_upper{};
    std::array<bool, 128> is_separator{};
};

constexpr AsciiTable make_ascii_table() {
    AsciiTable t;
    for (unsigned c = 0; c < 128; ++c) {
        t.lower[c] = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        t.is_lower[c] = c >= 'a' && c <= 'z';
        t.is_upper[c] = c >= 'A' && c <= 'Z';
        t.is_separator[c] = c == '_' || c == ' ';
    }
    return t;
}

constexpr AsciiTable kAscii = make_ascii_table();

// The first position at or after `k` of an ASCII text whose lower() is `a` or `b` (either may be
// kNone or beyond ASCII, matching nothing); `size` when there is none. With SSE2 it compares 16
// bytes at a time with the case bit set (so 'A' and 'a' meet, and a few non-letters with them)
// and confirms each candidate position with the exact lower().
std::size_t next_event(const unsigned char* bytes, std::size_t k, std::size_t size, char32_t a,
                       char32_t b) {
    const bool has_a = a < 0x80;
    const bool has_b = b < 0x80;
    if (!has_a && !has_b) return size;
#if defined(__SSE2__)
    // Folded ASCII bytes always have the case bit set, so 0 matches nothing.
    const __m128i needle_a = _mm_set1_epi8(static_cast<char>(has_a ? (a | 0x20) : 0));
    const __m128i needle_b = _mm_set1_epi8(static_cast<char>(has_b ? (b | 0x20) : 0));
    const __m128i case_bit = _mm_set1_epi8(0x20);
    for (; k + 16 <= size; k += 16) {
        const __m128i folded =
            _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + k)), case_bit);
        auto hits = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(folded, needle_a), _mm_cmpeq_epi8(folded, needle_b))));
        while (hits != 0) {
            const std::size_t at = k + static_cast<std::size_t>(std::countr_zero(hits));
            const char32_t cl = kAscii.lower[bytes[at]];
            if (cl == a || cl == b) return at;
            hits &= hits - 1;
        }
    }
#endif
    for (; k < size; ++k) {
        const char32_t cl = kAscii.lower[bytes[k]];
        if (cl == a || cl == b) return k;
    }
    return size;
}

// Decodes the pattern's lower() values into `out` (room for pattern.size() values), returns their
// number.
std::size_t decode_lower(std::string_view pattern, char32_t* out) {
    std::size_t n = 0;
    std::size_t pos = 0;
    while (pos < pattern.size()) out[n++] = unicode::lower_first(utf8::decode_at(pattern, pos));
    return n;
}

Score score(const char32_t* pattern_lower, std::size_t n, std::string_view instring, const Weights& w) {
    if (detail::is_ascii(instring)) return detail::score_ascii(pattern_lower, n, instring, w);
    return detail::score_code_points(pattern_lower, n, instring, w);
}

}  // namespace

namespace detail {

bool is_ascii(std::string_view s) {
    const char* p = s.data();
    std::size_t left = s.size();
    std::uint64_t bits = 0;
    for (; left >= 8; p += 8, left -= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        bits |= word;
    }
    for (; left > 0; ++p, --left) bits |= static_cast<unsigned char>(*p);
    return (bits & 0x8080808080808080u) == 0;
}

Score score_code_points(const char32_t* pattern_lower, std::size_t n, std::string_view instring,
                        const Weights& w) {
    std::size_t pattern_pos = 0;
    std::int32_t score = 0;
    bool has_held = false;
    char32_t held_lower = 0;
    std::int32_t held_bonus = 0;
    bool after_match = false;
    bool after_lower = false;
    bool after_separator = true;  // a match at the first character earns sep_bonus
    std::int32_t lead_total = 0;  // k * lead_penalty

    std::size_t pos = 0;
    while (pos < instring.size()) {
        // S1
        const char32_t c = utf8::decode_at(instring, pos);
        const bool pattern_left = pattern_pos < n;
        const char32_t pl = pattern_left ? pattern_lower[pattern_pos] : kNone;
        const char32_t cl = unicode::lower_first(c);
        const char32_t cu = unicode::upper_first(c);
        const bool cased = cl != cu;
        // S2
        const bool takes_next = pattern_left && pl == cl;
        const bool repeats_held = has_held && held_lower == cl;
        // S3
        const bool advances = takes_next && has_held;
        const bool pattern_repeats_held = has_held && pattern_left && held_lower == pl;
        if (advances || pattern_repeats_held) {
            score = wrap_add(score, held_bonus);
            has_held = false;
            held_bonus = 0;
        }
        if (takes_next || repeats_held) {
            // S4
            if (pattern_pos == 0) score = wrap_add(score, std::max(lead_total, w.max_lead_penalty));
            std::int32_t bonus = 0;
            if (after_match) bonus = wrap_add(bonus, w.adj_bonus);
            if (after_separator) bonus = wrap_add(bonus, w.sep_bonus);
            if (after_lower && cased && c == cu) bonus = wrap_add(bonus, w.camel_bonus);
            if (takes_next) ++pattern_pos;
            if (bonus >= held_bonus) {
                if (has_held) score = wrap_add(score, w.unmatched_penalty);
                has_held = true;
                held_lower = cl;
                held_bonus = bonus;
            }
            after_match = true;
        } else {
            // S5
            score = wrap_add(score, w.unmatched_penalty);
            after_match = false;
        }
        // S6
        after_lower = cased && c == cl;
        after_separator = is_separator(c);
        lead_total = wrap_add(lead_total, w.lead_penalty);
    }
    if (has_held) score = wrap_add(score, held_bonus);
    return {pattern_pos == n, score};
}

Score score_ascii(const char32_t* pattern_lower, std::size_t n, std::string_view instring,
                  const Weights& w) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(instring.data());
    const std::size_t size = instring.size();
    std::size_t pattern_pos = 0;
    char32_t pl = pattern_lower[0];  // kNone once the pattern is consumed
    char32_t held_lower = kNone;     // kNone while no letter is held
    std::int32_t held_bonus = 0;
    std::int32_t score = 0;
    std::size_t events = 0;
    std::size_t last_event = 0;  // position + 1 of the previous event, 0 before the first

    // Every character skipped here is passed over (S5), counted at the end.
    for (std::size_t k = next_event(bytes, 0, size, pl, held_lower); k < size;
         k = next_event(bytes, k + 1, size, pl, held_lower)) {
        const unsigned char c = bytes[k];
        const bool takes_next = kAscii.lower[c] == pl;
        if (takes_next && held_lower != kNone) {  // S3
            score = wrap_add(score, held_bonus);
            held_lower = kNone;
            held_bonus = 0;
        }
        // S4
        if (pattern_pos == 0) {
            score = wrap_add(score, std::max(wrap_mul(k, w.lead_penalty), w.max_lead_penalty));
        }
        std::int32_t bonus = 0;
        if (last_event == k && k > 0) bonus = wrap_add(bonus, w.adj_bonus);
        if (k == 0 || kAscii.is_separator[bytes[k - 1]]) bonus = wrap_add(bonus, w.sep_bonus);
        if (k > 0 && kAscii.is_lower[bytes[k - 1]] && kAscii.is_upper[c]) {
            bonus = wrap_add(bonus, w.camel_bonus);
        }
        if (takes_next) {
            ++pattern_pos;
            pl = pattern_pos < n ? pattern_lower[pattern_pos] : kNone;
        }
        if (bonus >= held_bonus) {
            if (held_lower != kNone) score = wrap_add(score, w.unmatched_penalty);
            held_lower = kAscii.lower[c];
            held_bonus = bonus;
        }
        ++events;
        last_event = k + 1;
        // S3's second case, applied as soon as the state calls for it.
        if (held_lower == pl) {
            score = wrap_add(score, held_bonus);
            held_lower = kNone;
            held_bonus = 0;
        }
    }
    score = wrap_add(score, wrap_mul(size - events, w.unmatched_penalty));
    if (held_lower != kNone) score = wrap_add(score, held_bonus);
    return {pattern_pos == n, score};
}

}  // namespace detail

PreparedPattern::PreparedPattern(std::string_view pattern) : lower_(pattern.size()) {
    lower_.resize(decode_lower(pattern, lower_.data()));
}

Score fuzzy_match(const PreparedPattern& pattern, std::string_view instring, const Weights& w) {
    if (pattern.empty()) return {false, 0};
    return score(pattern.lower().data(), pattern.lower().size(), instring, w);
}

Score fuzzy_match(std::string_view pattern, std::string_view instring, const Weights& w) {
    if (pattern.empty()) return {false, 0};
    // Short patterns (the usual case) are decoded on the stack.
    constexpr std::size_t kInline = 32;
    if (pattern.size() <= kInline) {
        std::array<char32_t, kInline> lower;
        return score(lower.data(), decode_lower(pattern, lower.data()), instring, w);
    }
    return fuzzy_match(PreparedPattern(pattern), instring, w);
}

namespace {

// Greedy subsequence walk over code points.
bool is_subsequence(std::string_view pattern, std::string_view instring) {
    std::size_t p = 0;
    std::size_t s = 0;
    if (p == pattern.size()) return true;
    std::size_t next_p = p;
    char32_t want = utf8::decode_at(pattern, next_p);
    while (s < instring.size()) {
        if (utf8::decode_at(instring, s) == want) {
            p = next_p;
            if (p == pattern.size()) return true;
            want = utf8::decode_at(pattern, next_p);
        }
    }
    return false;
}

}  // namespace

bool detail::fuzzy_match_simple_plain(std::string_view pattern, std::string_view instring,
                                      bool case_sensitive) {
    if (pattern.empty()) return true;
    if (instring.empty()) return false;
    if (case_sensitive) return is_subsequence(pattern, instring);
    return is_subsequence(unicode::to_lower_full(pattern), unicode::to_lower_full(instring));
}

// The same walk as the plain form, over the lower-cased texts as they are produced: no copies, and
// the instring is lower-cased only as far as the walk reads it.
bool fuzzy_match_simple(std::string_view pattern, std::string_view instring, bool case_sensitive) {
    if (pattern.empty()) return true;
    if (instring.empty()) return false;
    if (case_sensitive) return is_subsequence(pattern, instring);
    unicode::LowerCaseReader pattern_reader(pattern);
    unicode::LowerCaseReader instring_reader(instring);
    char32_t want = 0;
    if (!pattern_reader.next(want)) return true;
    char32_t got = 0;
    while (instring_reader.next(got)) {
        if (got == want && !pattern_reader.next(want)) return true;
    }
    return false;
}

namespace {

// A key whose ascending order is descending score, then ascending index (index < 2^32).
inline std::uint64_t pack(std::int32_t score, std::size_t index) {
    const std::uint32_t inverted = ~(static_cast<std::uint32_t>(score) ^ 0x80000000u);
    return (std::uint64_t{inverted} << 32) | static_cast<std::uint32_t>(index);
}

inline std::pair<std::size_t, std::int32_t> unpack(std::uint64_t key) {
    const auto inverted = static_cast<std::uint32_t>(key >> 32);
    const auto score = static_cast<std::int32_t>(~inverted ^ 0x80000000u);
    return {static_cast<std::size_t>(key & 0xFFFFFFFFu), score};
}

// Sorts keys made by `pack` from scores in [low, high], given in ascending index order. When the
// scores span a range not much larger than their number (the usual case: a few hundred values), a
// counting sort by score, which keeps index order within each score as the keys do; otherwise an
// ordinary sort of the keys.
void sort_keys(std::vector<std::uint64_t>& keys, std::int32_t low, std::int32_t high) {
    const auto span = static_cast<std::uint64_t>(std::int64_t{high} - std::int64_t{low}) + 1;
    if (span > 4 * std::uint64_t{keys.size()} + 1024) {
        std::sort(keys.begin(), keys.end());
        return;
    }
    // Bucket b holds the score high - b, so ascending buckets are descending scores.
    std::vector<std::size_t> start(static_cast<std::size_t>(span) + 1, 0);
    for (const std::uint64_t key : keys)
        ++start[static_cast<std::size_t>(high - unpack(key).second) + 1];
    for (std::size_t b = 1; b < start.size(); ++b) start[b] += start[b - 1];
    std::vector<std::uint64_t> sorted(keys.size());
    for (const std::uint64_t key : keys)
        sorted[start[static_cast<std::size_t>(high - unpack(key).second)]++] = key;
    keys.swap(sorted);
}

}  // namespace

std::vector<std::pair<std::size_t, std::int32_t>> detail::rank_candidates_plain(
    std::string_view search, const std::vector<std::string_view>& candidates) {
    std::vector<std::pair<std::size_t, std::int32_t>> ranked;
    if (search.empty()) return ranked;
    const PreparedPattern pattern(search);
    const Weights defaults;
    for (std::size_t k = 0; k < candidates.size(); ++k) {
        poll_interrupt();
        const Score s =
            score_code_points(pattern.lower().data(), pattern.lower().size(), candidates[k], defaults);
        if (s.matched) ranked.emplace_back(k, s.score);
    }
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    return ranked;
}

std::vector<std::pair<std::size_t, std::int32_t>> rank_candidates(
    std::string_view search, const std::vector<std::string_view>& candidates) {
    std::vector<std::pair<std::size_t, std::int32_t>> ranked;
    if (search.empty()) return ranked;
    if (candidates.size() > std::size_t{0xFFFFFFFFu}) {
        return detail::rank_candidates_plain(search, candidates);  // indices do not fit a key
    }
    const PreparedPattern pattern(search);
    const char32_t* lower = pattern.lower().data();
    const std::size_t n = pattern.lower().size();
    const Weights defaults;
    std::vector<std::uint64_t> keys;
    std::int32_t low = std::numeric_limits<std::int32_t>::max();
    std::int32_t high = std::numeric_limits<std::int32_t>::min();
    for (std::size_t k = 0; k < candidates.size(); ++k) {
        poll_interrupt();
        const Score s = score(lower, n, candidates[k], defaults);
        if (!s.matched) continue;
        keys.push_back(pack(s.score, k));
        low = std::min(low, s.score);
        high = std::max(high, s.score);
    }
    if (keys.size() > 1) sort_keys(keys, low, high);
    ranked.reserve(keys.size());
    for (const std::uint64_t key : keys) ranked.push_back(unpack(key));
    return ranked;
}

}  // namespace brindle::fuzzy
