// The upper bound on a candidate's score, from one pass over its bytes.
//
// Under the default weights the scorer takes pattern letters greedily: pattern letter i is taken
// at p_i, the first occurrence of its lower() after p_(i-1). So the candidate matches exactly when
// all of p_0 < ... < p_(n-1) exist, and then
//   - the lead penalty is max(-3 p_0, -9);
//   - every character other than the n taken ones costs 1, unless it repeats the held letter
//     (which is pattern letter i between p_i and p_(i+1), and the last one after p_(n-1)); so at
//     least L - n - R characters cost 1, where L is the length and R the number of occurrences of
//     pattern letter i between p_i and p_(i+1) (p_n = L), summed over i;
//   - at most n letters end up final, at distinct positions from p_0 on, each with a bonus of at
//     most adj_bonus (5) plus either sep_bonus or camel_bonus (10). The 10 needs position 0, a
//     separator in front, or an upper-case letter after a lower-case one, so at most min(n, B)
//     letters earn it, where B counts position 0 when p_0 = 0, and the positions q >= p_0 holding
//     a pattern letter (in either case) after a separator, or upper-case after a lower-case letter.
// Hence
//     score <= 5 n + 10 min(n, B) + max(-3 p_0, -9) - (L - n - R).
//
//   pattern "cfg", candidate "lib/config.py":  p = 4, 7, 8;  R = 0 (no 'c' before p_1, no 'f'
//   before p_2, no 'g' after it);  B = 0;  bound = 15 - 9 - (13 - 3) = -4   (score: -4)
//
// bound() takes B = n (every letter may earn the 10), which needs the walk only; tighten() counts
// B in a second pass, for the candidates that the first bound does not settle.
//
// The pass compares 16 bytes at a time with the case bit set, so that 'A' and 'a' meet. A hit for
// the next pattern letter is confirmed with the exact lower(); hits for the held letter are only
// counted, and the few non-letters that pass for it ('@' for '`') only loosen the bound.
#include "core/score_bound.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The walk's helpers are lambdas over its state; inlined, the state stays in registers.
#if defined(__GNUC__)
#define BRINDLE_ALWAYS_INLINE __attribute__((always_inline))
#else
#define BRINDLE_ALWAYS_INLINE
#endif

namespace brindle::fuzzy {

namespace {

// The bound is derived for the scorer's default weights, and takes them from there.
constexpr Weights kDefaultWeights{};
constexpr std::int64_t kAdjBonus = kDefaultWeights.adj_bonus;
constexpr std::int64_t kSepOrCamelBonus = kDefaultWeights.sep_bonus;
constexpr std::int64_t kLeadPenalty = kDefaultWeights.lead_penalty;
constexpr std::int64_t kMaxLeadPenalty = kDefaultWeights.max_lead_penalty;
// One bonus stands for both kinds of place, and every character passed over costs exactly 1.
static_assert(kDefaultWeights.camel_bonus == kDefaultWeights.sep_bonus);
static_assert(kDefaultWeights.unmatched_penalty == -1);
static_assert(kAdjBonus >= 0 && kSepOrCamelBonus >= 0 && kLeadPenalty <= 0 && kMaxLeadPenalty <= 0);
// Longer candidates and patterns are simply scored: the bound's arithmetic assumes a score that
// cannot wrap.
constexpr std::size_t kMaxBoundedLength = std::size_t{1} << 26;
constexpr std::size_t kMaxBoundedPattern = std::size_t{1} << 20;

// The set bits of a 16-bit mask, without relying on a popcount instruction (the baseline x86-64
// target has none, and the library call costs more than this).
inline unsigned count_bits(unsigned x) {
    x = x - ((x >> 1) & 0x5555u);
    x = (x & 0x3333u) + ((x >> 2) & 0x3333u);
    x = (x + (x >> 4)) & 0x0F0Fu;
    return (x + (x >> 8)) & 0x1Fu;
}

inline unsigned char folded_letter(unsigned char c) {
    return static_cast<unsigned char>(c | 0x20);
}

inline ScoreBound::Needle make_needle(unsigned char value) {
    ScoreBound::Needle needle;
    std::memset(needle.bytes, value, sizeof needle.bytes);
    return needle;
}

inline unsigned char ascii_lower(unsigned char c) {
    return static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
}

#if defined(__SSE2__)
using Block = __m128i;

inline Block load_block(const unsigned char* p, std::size_t len) {
    if (len == 16) return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    alignas(16) unsigned char buffer[16] = {};
    std::memcpy(buffer, p, len);
    return _mm_load_si128(reinterpret_cast<const __m128i*>(buffer));
}

inline unsigned high_bytes(Block raw) {
    return static_cast<unsigned>(_mm_movemask_epi8(raw));
}

// The letters from `low` to `low` + 25.
inline unsigned letter_bytes(Block raw, char low) {
    // c - low - 128 as a signed byte is below -128 + 26 exactly for low .. low + 25.
    const __m128i shifted = _mm_sub_epi8(raw, _mm_set1_epi8(static_cast<char>(low + 128)));
    return static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmplt_epi8(shifted, _mm_set1_epi8(static_cast<char>(-128 + 26)))));
}

inline unsigned separator_bytes(Block raw) {
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
        _mm_cmpeq_epi8(raw, _mm_set1_epi8('_')), _mm_cmpeq_epi8(raw, _mm_set1_epi8(' ')))));
}

inline Block fold(Block raw) {
    return _mm_or_si128(raw, _mm_set1_epi8(0x20));
}

inline Block load_needle(const ScoreBound::Needle& n) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(n.bytes));
}

// The bytes whose folded value is the needle's.
inline unsigned hits(Block folded, Block needle) {
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(folded, needle)));
}
#else
struct Block {
    unsigned char bytes[16];
};

inline Block load_block(const unsigned char* p, std::size_t len) {
    Block b{};
    std::memcpy(b.bytes, p, len);
    return b;
}

inline unsigned high_bytes(const Block& raw) {
    unsigned m = 0;
    for (unsigned j = 0; j < 16; ++j) m |= static_cast<unsigned>(raw.bytes[j] >= 0x80) << j;
    return m;
}

inline unsigned letter_bytes(const Block& raw, char low) {
    unsigned m = 0;
    for (unsigned j = 0; j < 16; ++j) {
        const unsigned char c = raw.bytes[j];
        m |= static_cast<unsigned>(c >= low && c <= low + 25) << j;
    }
    return m;
}

inline unsigned separator_bytes(const Block& raw) {
    unsigned m = 0;
    for (unsigned j = 0; j < 16; ++j) {
        const unsigned char c = raw.bytes[j];
        m |= static_cast<unsigned>(c == '_' || c == ' ') << j;
    }
    return m;
}

inline Block fold(Block raw) {
    for (auto& c : raw.bytes) c = static_cast<unsigned char>(c | 0x20);
    return raw;
}

inline Block load_needle(const ScoreBound::Needle& n) {
    Block b;
    std::memcpy(b.bytes, n.bytes, sizeof b.bytes);
    return b;
}

inline unsigned hits(const Block& folded, const Block& needle) {
    unsigned m = 0;
    for (unsigned j = 0; j < 16; ++j)
        m |= static_cast<unsigned>(folded.bytes[j] == needle.bytes[0]) << j;
    return m;
}
#endif

// Calls visit(block, start, fresh) for each block of 16 bytes of `bytes`, in order: `start` is the
// block's position and `fresh` the bits of the bytes not seen before (the last block of a long
// text overlaps the one before it; a text shorter than 16 bytes is copied into one block).
// Calls visit(block, start, fresh) for the bytes from `k` on, where every block before `k` was
// seen (`size - k` < 16 unless k is 0): the last 16 bytes, of which `fresh` marks those not seen,
// or, for a text shorter than 16 bytes, the text copied into one block.
template <class Visit>
inline void visit_tail(const unsigned char* bytes, std::size_t size, std::size_t k, Visit&& visit) {
    if (k == size) return;
    if (size >= 16) {
        const std::size_t seen = 16 - (size - k);
        visit(load_block(bytes + size - 16, 16), size - 16, 0xFFFFu & ~((1u << seen) - 1u));
    } else {
        visit(load_block(bytes, size), 0, (1u << size) - 1u);
    }
}

// Calls visit(block, start, fresh) for each block of 16 bytes of `bytes`, in order: `start` is the
// block's position and `fresh` the bits of the bytes not seen before (see visit_tail).
template <class Visit>
[[maybe_unused]] inline void for_each_block(const unsigned char* bytes, std::size_t size,
                                            Visit&& visit) {
    std::size_t k = 0;
    for (; k + 16 <= size; k += 16) visit(load_block(bytes + k, 16), k, 0xFFFFu);
    visit_tail(bytes, size, k, visit);
}

}  // namespace

ScoreBound::ScoreBound(const PreparedPattern& pattern) {
    usable_ = !pattern.empty() && pattern.lower().size() <= kMaxBoundedPattern;
    for (const char32_t c : pattern.lower()) {
        if (c >= 0x80) {
            ascii_never_matches_ = true;
            break;
        }
        const auto letter = static_cast<unsigned char>(c);
        letters_.push_back(letter);
        // The folded compare finds exactly the bytes whose lower() is a letter a-z; any other
        // character shares its folded value with one whose lower() differs.
        exact_.push_back(letter >= 'a' && letter <= 'z');
        all_exact_ = all_exact_ && exact_.back();
        const Needle needle = make_needle(folded_letter(letter));
        needles_.push_back(needle);
        const auto same = [&](const Needle& other) { return other.bytes[0] == needle.bytes[0]; };
        if (std::none_of(distinct_needles_.begin(), distinct_needles_.end(), same)) {
            distinct_needles_.push_back(needle);
        }
    }
    needles_.push_back(Needle{});
}

std::size_t ScoreBound::bonus_places(const unsigned char* bytes, std::size_t size,
                                     std::size_t from) const {
    std::size_t places = 0;
    // Positions of one block (`cur`, with `prev` the bytes one before) among `wanted`.
    const auto visit = [&](const Block& cur, const Block& prev, unsigned wanted) {
        const unsigned after =
            (separator_bytes(prev) | (letter_bytes(prev, 'a') & letter_bytes(cur, 'A'))) & wanted;
        if (after == 0) return;  // the usual case in paths and lower-case names
        const Block folded = fold(cur);
        unsigned letter = 0;
        for (const Needle& n : distinct_needles_) letter |= hits(folded, load_needle(n));
        places += count_bits(letter & after);
    };
    std::size_t k = from;
    for (; k + 16 <= size; k += 16)
        visit(load_block(bytes + k, 16), load_block(bytes + k - 1, 16), 0xFFFFu);
    if (k >= size) return places;
    const std::size_t left = size - k;
    if (size >= 17) {  // the last 16 positions, of which those from k on are new
        const std::size_t start = size - 16;
        visit(load_block(bytes + start, 16), load_block(bytes + start - 1, 16),
              0xFFFFu & ~((1u << (k - start)) - 1u));
    } else {
        visit(load_block(bytes + k, left), load_block(bytes + k - 1, left), (1u << left) - 1u);
    }
    return places;
}

ScoreBoundResult ScoreBound::bound(std::string_view candidate) const {
    constexpr ScoreBoundResult kUnknown{ScoreBoundResult::Kind::unknown, 0, 0};
    if (!usable_ || candidate.size() > kMaxBoundedLength) return kUnknown;
    const auto* bytes = reinterpret_cast<const unsigned char*>(candidate.data());
    const std::size_t size = candidate.size();
    if (ascii_never_matches_) {
        return {detail::is_ascii(candidate) ? ScoreBoundResult::Kind::cannot_match
                                            : ScoreBoundResult::Kind::unknown,
                0, 0};
    }
    const std::size_t n = letters_.size();
    std::size_t taken = 0;    // pattern letters taken so far
    std::size_t first = 0;    // p_0, once a letter is taken
    std::size_t repeats = 0;  // R so far (an overestimate)
    unsigned high = 0;        // whether some byte is not ASCII
    // Folded ASCII bytes always have the case bit set, so a needle of 0 finds nothing: it stands
    // for "no letter held" and "no letter left".
    Block held_needle = load_needle(needles_.back());
    Block next_needle = load_needle(needles_[0]);

    // The letters taken within one block (`folded`, from `start`), given the hits of the next
    // letter (`next`) and of the held one (`held`) among the bytes `ahead` not yet seen.
    const auto take_in_block = [&](const Block& folded, std::size_t start, unsigned ahead,
                                   unsigned next, unsigned held) BRINDLE_ALWAYS_INLINE {
        while (true) {
            while (next != 0 && !all_exact_ && !exact_[taken] &&
                   ascii_lower(bytes[start + static_cast<std::size_t>(std::countr_zero(next))]) !=
                       letters_[taken]) {
                next &= next - 1;
            }
            if (next == 0) {
                repeats += count_bits(held);
                return;
            }
            const auto at = static_cast<unsigned>(std::countr_zero(next));
            const unsigned before = (1u << at) - 1u;
            repeats += count_bits(held & before);
            if (taken == 0) first = start + at;
            ahead &= ~((1u << at) | before);
            held_needle = next_needle;
            ++taken;
            next_needle = load_needle(needles_[taken]);  // the last one: no letter left
            held = hits(folded, held_needle) & ahead;
            next = hits(folded, next_needle) & ahead;
        }
    };
    // One block of 16 bytes from `start`, of which the bits of `fresh` are not yet seen (the last
    // block of a long candidate overlaps the one before it).
    const auto visit = [&](const Block& raw, std::size_t start, unsigned fresh) {
        high |= high_bytes(raw) & fresh;
        const Block folded = fold(raw);
        const unsigned next = hits(folded, next_needle) & fresh;
        const unsigned held = hits(folded, held_needle) & fresh;
        if (next == 0) {
            repeats += count_bits(held);
        } else {
            take_in_block(folded, start, fresh, next, held);
        }
    };

#if defined(__SSE2__)
    // Whole blocks first. Most hold no next letter: for them the non-ASCII bytes and the held
    // letter's hits are only gathered in vectors (a hit counter per byte lane, emptied before it
    // can overflow), which leaves one compare and one branch per block.
    std::size_t k = 0;
    const __m128i zero = _mm_setzero_si128();
    __m128i any_bytes = zero;
    __m128i held_counts = zero;
    unsigned counted_blocks = 0;
    const auto drain = [&] {
        const __m128i sums = _mm_sad_epu8(held_counts, zero);
        repeats += static_cast<std::size_t>(_mm_cvtsi128_si64(sums)) +
                   static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
        held_counts = zero;
        counted_blocks = 0;
    };
    for (; k + 16 <= size; k += 16) {
        const Block raw = load_block(bytes + k, 16);
        any_bytes = _mm_or_si128(any_bytes, raw);
        const Block folded = fold(raw);
        const unsigned next = hits(folded, next_needle);
        if (next == 0) {
            held_counts = _mm_sub_epi8(held_counts, _mm_cmpeq_epi8(folded, held_needle));
            if (++counted_blocks == 255) drain();
            continue;
        }
        take_in_block(folded, k, 0xFFFFu, next, hits(folded, held_needle));
    }
    drain();
    high |= high_bytes(any_bytes);
    visit_tail(bytes, size, k, visit);
#else
    for_each_block(bytes, size, visit);
#endif
    if (high != 0) return kUnknown;
    if (taken < n) return {ScoreBoundResult::Kind::cannot_match, 0, 0};
    const auto count = static_cast<std::int64_t>(n);
    const std::int64_t lead =
        std::max(kLeadPenalty * static_cast<std::int64_t>(first), kMaxLeadPenalty);
    const std::int64_t passed_over =
        static_cast<std::int64_t>(size) - count - static_cast<std::int64_t>(repeats);
    // Every letter may earn the separator or camel bonus here; tighten() counts where it can.
    const std::int64_t bonuses = (kAdjBonus + kSepOrCamelBonus) * count;
    return {ScoreBoundResult::Kind::at_most, bonuses + lead - passed_over, first};
}

std::int64_t ScoreBound::tighten(std::string_view candidate, const ScoreBoundResult& loose) const {
    const auto* bytes = reinterpret_cast<const unsigned char*>(candidate.data());
    const std::size_t first = loose.first;
    const std::size_t places =
        (first == 0 ? 1 : 0) + bonus_places(bytes, candidate.size(), std::max<std::size_t>(first, 1));
    const auto count = static_cast<std::int64_t>(letters_.size());
    const std::int64_t without = count - std::min(count, static_cast<std::int64_t>(places));
    return loose.value - kSepOrCamelBonus * without;
}

}  // namespace brindle::fuzzy
