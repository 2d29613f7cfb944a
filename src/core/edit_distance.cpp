// Levenshtein distance over characters: a bit-parallel main algorithm and the two-row reference.
//
// What it computes: the classic edit distance D(p, q) of two character sequences, where
// D(r, c) = min(D(r-1, c-1) + [a_r != b_c], D(r, c-1) + 1, D(r-1, c) + 1), D(r, 0) = r and
// D(0, c) = c. Example: "flaw" -> "lawn" is 2 (delete f, insert n).
//
// Performance idea:
//   1. Texts that are both ASCII are processed as bytes: no decoding, masks in a flat table.
//   2. A common prefix and suffix never change the distance, so they are cut off first; lines
//      compared by the diagnostics and the streaming matcher usually share most of their text.
//   3. The rest runs Myers' bit-vector algorithm in Hyyrö's formulation: one column of the DP
//      matrix is held as vertical +1/-1 deltas, 64 rows per machine word, and advanced by a few
//      word operations per text character. The shorter text is the pattern (rows), so the cost
//      is ceil(min(p, q) / 64) * max(p, q) word steps instead of p * q cell updates. Patterns
//      longer than 64 characters use several words ("blocks") that pass the horizontal delta
//      of their bottom row to the next block as a carry.
//   4. The match mask of a character is looked up per block: ASCII characters in a dense table,
//      other characters in a small open-addressed hash table per block. A block holds at most
//      64 distinct characters, so a table of twice that size always has free slots and probing
//      always ends.
#include "core/edit_distance.hpp"

#include <algorithm>
#include <vector>

#include "core/utf8.hpp"

namespace brindle {

namespace {

// Word geometry of the bit-parallel algorithm.
constexpr std::size_t kWordBits = 64;                          // pattern rows per block
constexpr std::uint64_t kTopBit = std::uint64_t{1} << 63;      // bottom row of a full block
// Mask tables.
constexpr std::size_t kAsciiSize = 128;                        // directly indexed characters
constexpr std::size_t kHashSlots = 128;                        // per block: 2 x the 64 keys it can hold
constexpr std::uint32_t kHashShift = 25;                       // 32 - log2(kHashSlots)
constexpr std::uint32_t kHashMultiplier = 0x9E3779B1u;         // Fibonacci hashing
constexpr char32_t kEmptySlot = 0xFFFFFFFFu;                   // never a scalar value

// Match masks of the pattern: bit r of block b of mask(c) is set when pattern character
// 64 * b + r equals c.
class PatternMasks {
public:
    template <class Sym>
    void build(const Sym* pattern, std::size_t m) {
        blocks_ = (m + kWordBits - 1) / kWordBits;
        ascii_.assign(kAsciiSize * blocks_, 0);
        has_wide_ = false;
        for (std::size_t r = 0; r < m; ++r) {
            if (static_cast<char32_t>(pattern[r]) >= kAsciiSize) {
                has_wide_ = true;
                break;
            }
        }
        if (has_wide_) {
            keys_.assign(kHashSlots * blocks_, kEmptySlot);
            wide_.assign(kHashSlots * blocks_, 0);
        }
        for (std::size_t r = 0; r < m; ++r) {
            const auto c = static_cast<char32_t>(pattern[r]);
            const std::size_t block = r / kWordBits;
            const std::uint64_t bit = std::uint64_t{1} << (r % kWordBits);
            if (c < kAsciiSize) {
                ascii_[c * blocks_ + block] |= bit;
            } else {
                wide_[slot_of(block, c)] |= bit;
            }
        }
    }

    std::size_t blocks() const { return blocks_; }

    std::uint64_t get(std::size_t block, char32_t c) const {
        if (c < kAsciiSize) return ascii_[c * blocks_ + block];
        if (!has_wide_) return 0;
        const std::size_t base = block * kHashSlots;
        std::size_t slot = hash(c);
        while (true) {
            const char32_t key = keys_[base + slot];
            if (key == c) return wide_[base + slot];
            if (key == kEmptySlot) return 0;
            slot = (slot + 1) % kHashSlots;
        }
    }

private:
    static std::size_t hash(char32_t c) {
        return static_cast<std::size_t>((static_cast<std::uint32_t>(c) * kHashMultiplier) >> kHashShift);
    }

    // Slot of `c` in `block`, claimed for it when absent.
    std::size_t slot_of(std::size_t block, char32_t c) {
        const std::size_t base = block * kHashSlots;
        std::size_t slot = hash(c);
        while (keys_[base + slot] != c && keys_[base + slot] != kEmptySlot) {
            slot = (slot + 1) % kHashSlots;
        }
        keys_[base + slot] = c;
        return base + slot;
    }

    std::size_t blocks_ = 0;
    bool has_wide_ = false;
    std::vector<std::uint64_t> ascii_;  // [c * blocks + block]
    std::vector<char32_t> keys_;        // [block * kHashSlots + slot]
    std::vector<std::uint64_t> wide_;   // masks beside keys_
};

// Scratch space reused across calls on one thread, so that the many short comparisons of the
// diagnostics and the streaming matcher do not allocate.
struct Scratch {
    PatternMasks masks;
    std::vector<std::uint64_t> pv;
    std::vector<std::uint64_t> mv;
    std::vector<char32_t> a;
    std::vector<char32_t> b;
};

Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

// Myers/Hyyrö over a pattern of m (1..64) characters and a text of n characters.
template <class Sym>
std::uint64_t bit_parallel_single(const PatternMasks& masks, std::size_t m, const Sym* text,
                                  std::size_t n) {
    std::uint64_t pv = ~std::uint64_t{0};
    std::uint64_t mv = 0;
    std::uint64_t score = m;
    const std::uint64_t last = std::uint64_t{1} << (m - 1);
    for (std::size_t j = 0; j < n; ++j) {
        const std::uint64_t eq = masks.get(0, static_cast<char32_t>(text[j]));
        const std::uint64_t xv = eq | mv;
        const std::uint64_t xh = (((eq & pv) + pv) ^ pv) | eq;
        std::uint64_t ph = mv | ~(xh | pv);
        std::uint64_t mh = pv & xh;
        if (ph & last) {
            ++score;
        } else if (mh & last) {
            --score;
        }
        // Row 0 of the matrix is 0, 1, 2, ...: its horizontal delta is always +1.
        ph = (ph << 1) | 1;
        mh <<= 1;
        pv = mh | ~(xv | ph);
        mv = ph & xv;
    }
    return score;
}

// Myers/Hyyrö over a pattern of any length, in blocks of 64 rows chained by their carries.
template <class Sym>
std::uint64_t bit_parallel_blocks(const PatternMasks& masks, std::size_t m, const Sym* text,
                                  std::size_t n, std::vector<std::uint64_t>& pv,
                                  std::vector<std::uint64_t>& mv) {
    const std::size_t blocks = masks.blocks();
    pv.assign(blocks, ~std::uint64_t{0});
    mv.assign(blocks, 0);
    std::uint64_t score = m;
    const std::uint64_t last = std::uint64_t{1} << ((m - 1) % kWordBits);
    for (std::size_t j = 0; j < n; ++j) {
        const auto c = static_cast<char32_t>(text[j]);
        int carry = 1;  // horizontal delta entering the block from above; +1 at row 0
        for (std::size_t blk = 0; blk < blocks; ++blk) {
            std::uint64_t eq = masks.get(blk, c);
            const std::uint64_t pvb = pv[blk];
            const std::uint64_t mvb = mv[blk];
            const std::uint64_t xv = eq | mvb;
            if (carry < 0) eq |= 1;
            const std::uint64_t xh = (((eq & pvb) + pvb) ^ pvb) | eq;
            std::uint64_t ph = mvb | ~(xh | pvb);
            std::uint64_t mh = pvb & xh;
            const std::uint64_t bottom = blk + 1 == blocks ? last : kTopBit;
            int carry_out = 0;
            if (ph & bottom) {
                carry_out = 1;
            } else if (mh & bottom) {
                carry_out = -1;
            }
            ph <<= 1;
            mh <<= 1;
            if (carry < 0) {
                mh |= 1;
            } else if (carry > 0) {
                ph |= 1;
            }
            pv[blk] = mh | ~(xv | ph);
            mv[blk] = ph & xv;
            carry = carry_out;
        }
        if (carry > 0) {
            ++score;
        } else if (carry < 0) {
            --score;
        }
    }
    return score;
}

// Bit-parallel distance; `pattern` should be the shorter sequence. Neither may be empty.
template <class Sym>
std::uint64_t bit_parallel(const Sym* pattern, std::size_t m, const Sym* text, std::size_t n) {
    Scratch& s = scratch();
    s.masks.build(pattern, m);
    if (m <= kWordBits) return bit_parallel_single(s.masks, m, text, n);
    return bit_parallel_blocks(s.masks, m, text, n, s.pv, s.mv);
}

// Strips the common prefix and suffix, then runs the bit-parallel algorithm with the shorter
// remainder as the pattern.
template <class Sym>
std::uint64_t stripped_distance(const Sym* a, std::size_t p, const Sym* b, std::size_t q) {
    while (p > 0 && q > 0 && *a == *b) {
        ++a;
        ++b;
        --p;
        --q;
    }
    while (p > 0 && q > 0 && a[p - 1] == b[q - 1]) {
        --p;
        --q;
    }
    if (p == 0) return q;
    if (q == 0) return p;
    if (p > q) return bit_parallel(b, q, a, p);
    return bit_parallel(a, p, b, q);
}

bool is_ascii(std::string_view s) {
    unsigned char acc = 0;
    for (char c : s) acc |= static_cast<unsigned char>(c);
    return acc < 0x80;
}

}  // namespace

std::uint64_t levenshtein_distance(std::string_view a, std::string_view b) {
    if (is_ascii(a) && is_ascii(b)) {
        return stripped_distance(reinterpret_cast<const unsigned char*>(a.data()), a.size(),
                                 reinterpret_cast<const unsigned char*>(b.data()), b.size());
    }
    Scratch& s = scratch();
    utf8::decode_into(a, s.a);
    utf8::decode_into(b, s.b);
    return stripped_distance(s.a.data(), s.a.size(), s.b.data(), s.b.size());
}

namespace detail {

std::uint64_t levenshtein_two_row(std::string_view a, std::string_view b) {
    const std::vector<char32_t> ca = utf8::decode(a);
    const std::vector<char32_t> cb = utf8::decode(b);
    const std::size_t p = ca.size();
    const std::size_t q = cb.size();
    if (p == 0) return q;
    if (q == 0) return p;
    std::vector<std::uint64_t> prev(q + 1);
    std::vector<std::uint64_t> cur(q + 1);
    for (std::size_t c = 0; c <= q; ++c) prev[c] = c;
    for (std::size_t r = 1; r <= p; ++r) {
        cur[0] = r;
        for (std::size_t c = 1; c <= q; ++c) {
            const std::uint64_t cost = ca[r - 1] == cb[c - 1] ? 0 : 1;
            cur[c] = std::min({prev[c - 1] + cost, cur[c - 1] + 1, prev[c] + 1});
        }
        std::swap(prev, cur);
    }
    return prev[q];
}

std::uint64_t levenshtein_bit_parallel(std::u32string_view a, std::u32string_view b) {
    if (a.empty()) return b.size();
    if (b.empty()) return a.size();
    if (a.size() > b.size()) return bit_parallel(b.data(), b.size(), a.data(), a.size());
    return bit_parallel(a.data(), a.size(), b.data(), b.size());
}

}  // namespace detail

std::optional<std::uint64_t> levenshtein_distance_within(std::string_view a, std::string_view b,
                                                         std::uint64_t limit) {
    const std::uint64_t d = levenshtein_distance(a, b);
    if (d > limit) return std::nullopt;
    return d;
}

}  // namespace brindle
