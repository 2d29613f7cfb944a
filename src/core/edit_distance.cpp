// Levenshtein distance over characters: a banded bit-parallel algorithm with an optional limit,
// and the two-row reference.
//
// What it computes: the classic edit distance D(p, q) of two character sequences, where
// D(r, c) = min(D(r-1, c-1) + [a_r != b_c], D(r, c-1) + 1, D(r-1, c) + 1), D(r, 0) = r and
// D(0, c) = c. Example: "flaw" -> "lawn" is 2 (delete f, insert n). With a limit k the answer is
// D(p, q) when it is at most k and "more than k" otherwise.
//
// Algorithm and names. The matrix is computed column by column (one text character per column,
// the shorter sequence is the pattern whose characters are the rows) with Myers' bit-vector
// algorithm in the formulation of H. Hyyrö, "A bit-vector algorithm for computing Levenshtein
// and Damerau edit distances" (2003). The variables carry that paper's names:
//   pm        match mask of the current text character: bit r set when pattern row r+1 equals it
//   vp, vn    vertical deltas of the current column: bit r set when D(r+1) - D(r) is +1 / -1
//   d0        diagonal zero-delta vector of the step
//   hp, hn    horizontal deltas: bit r set when D(r+1, j) - D(r+1, j-1) is +1 / -1
// Patterns longer than 64 characters are cut into blocks of 64 rows. Block b passes the
// horizontal delta of its bottom row to block b+1 as two carry bits (hp_carry, hn_carry: a +1 or
// a -1 or neither), shifted into the next block's hp/hn without any test, as in Hyyrö's blocked
// variant; score[b] is D at the bottom row of block b, updated by the same bits (the bounded
// distance keeps it for the band's first and last block only, and derives a neighbour's from
// the vertical deltas between them when an edge block changes).
//
// Band (Ukkonen's cut-off, with block bookkeeping after Hyyrö 2004). A cell (r, j) can lie on a
// path of cost at most k only if D(r, j) + |(p - r) - (q - j)| <= k: the second term is the
// least cost of reaching the far corner. Within a block the vertical deltas are at least -1, so
// every cell of block b is at least score[b] minus its distance to the bottom row; the smallest
// such bound over the block (block_floor below) decides whether the block can matter. Per column:
//   - the first block is dropped for good while its floor exceeds k (an optimal path, which only
//     moves down, is below it from then on; the block under it then sees a +1 carry from above,
//     which only overestimates cells that no optimal path uses);
//   - the last block is dropped while its floor exceeds k, and a block below the last one is
//     (re)started, with every vertical delta +1, only when a path entering it could still end
//     within k (score of the last block plus the distance of its next row to the corner
//     diagonal);
//   - when no block is left, the distance exceeds k and the computation stops.
// Every estimate the band makes of a cell outside it is at least the true value, so the cells of
// an optimal path of cost <= k, which all lie inside the band, come out exact.
//
// Narrow band (Hyyrö 2003, banded form), for k <= 63 and a pattern of more than one block. A path
// of cost <= k only visits diagonals delta = j - r with |delta| + |(q - p) - delta| <= k, at most
// k + 1 of them: they fit in one word of 64 diagonals lo .. lo + 63, lo = -floor((k - (q-p)) / 2).
// Bit i of column j stands for row j - (lo + 63) + i, so the word slides one row down per column:
// vp and vn shift right by one before each step, the new bottom row enters with a vertical delta
// of +1 (any value not below its upper neighbour's does: the cell left of the bottom row never
// beats its diagonal predecessor), and no -1 enters from the cell above the top row (outside the
// band: ignoring it only raises estimates). The match mask is the pattern's mask window at the
// band's top row. Rows above row 0 continue the first column as D(r, j) = j - r (all vertical
// deltas -1, never a match), which the recurrence keeps. The score follows the corner's diagonal,
// D(j - (q - p), j): it ends as D(p, q), and since every vertical delta is -1..+1, the least of
// D(r, j) + |(q - p) - (j - r)| over the column is exactly that score, so the computation stops
// as soon as it exceeds k.
//
// Performance idea:
//   1. Texts that are both ASCII are processed as bytes: no decoding, masks in a flat table.
//   2. A common prefix and suffix never change the distance, so they are cut off first.
//   3. The band costs about (k / 64 + 2) words per text character, so a large limit is tried in
//      stages: first the narrow band (one word per character, cheaper than any band of blocks;
//      skipped when the limit is within kTakeLimit times its own), then blocks with a limit of
//      kFirstStage beyond |p - q| (one more kFirstStage after the narrow band), then four times
//      more, and so on; once a stage's band would span a quarter of the pattern's rows, or would
//      reach the limit, the next stage is the limit itself. So is it when the limit is within one
//      growth step of |p - q| + kFirstStage, when a stage ran out early (within
//      kEarlyStopColumns columns per row of its limit) and the limit is within kTakeLimit times
//      the next stage, and when a band of kWideStage rows or more ran out early (the distance
//      grew that fast: the texts are unrelated, and intermediate stages would only add their
//      cost). A pair that is close (the usual case for the diagnostics' near misses) is then
//      settled at the price of its own distance, not of the limit; a stage that cannot succeed
//      usually stops early.
//   4. The match mask of a character is looked up per block: ASCII characters in a dense table,
//      other characters in a small open-addressed hash table per block. A block holds at most
//      64 distinct characters, so a table of twice that size always has free slots and probing
//      always ends.
#include "core/edit_distance.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <vector>

#include "core/cancel.hpp"
#include "core/utf8.hpp"

namespace brindle {

namespace {

// Word geometry of the bit-parallel algorithm.
constexpr std::size_t kWordBits = 64;      // pattern rows per block
constexpr unsigned kBottomShift = 63;      // bit of a full block's bottom row
constexpr std::uint64_t kNarrowBand = 63;  // largest limit whose diagonals fit in one word
// Mask tables.
constexpr std::size_t kAsciiSize = 128;                 // directly indexed characters
constexpr std::size_t kHashSlots = 128;                 // per block: 2 x the 64 keys it can hold
constexpr std::uint32_t kHashShift = 25;                // 32 - log2(kHashSlots)
constexpr std::uint32_t kHashMultiplier = 0x9E3779B1u;  // Fibonacci hashing
constexpr char32_t kEmptySlot = 0xFFFFFFFFu;            // never a scalar value
// Staged limits.
constexpr std::uint64_t kFirstStage = 64;     // first limit of blocks tried, beyond |p - q|
constexpr std::uint64_t kStageFactor = 4;     // growth of the limit per stage
constexpr std::uint64_t kTakeLimit = 2;       // a limit within this factor of a stage replaces it
constexpr std::uint64_t kLastStageShare = 4;  // a band over p / 4 rows costs nearly the whole
constexpr std::uint64_t kWideStage = 256;     // a stage this wide that ends within this many
constexpr std::size_t kEarlyStopColumns = 4;  // columns per row of limit: unrelated texts
// Interrupt polling: columns per poll of the one-word loops, words per poll of the block loops.
constexpr std::size_t kColumnsPerPoll = 1024;
constexpr std::int64_t kUnitsPerPoll = 1024;

// The dense part of the masks below, copied into a loop's locals (the loop's stores into its own
// words cannot change them).
struct AsciiTable {
    const std::uint64_t* base;  // masks of character c at base + c * stride
    std::size_t stride;

    const std::uint64_t* row(char32_t c) const { return c < kAsciiSize ? base + c * stride : nullptr; }
};

// Match masks of the pattern: bit r of block b of mask(c) is set when pattern character
// 64 * b + r equals c.
class PatternMasks {
public:
    template <class Sym>
    void build(const Sym* pattern, std::size_t m) {
        blocks_ = (m + kWordBits - 1) / kWordBits;
        // A pattern of more than one block gets a zero word before and after each character's
        // blocks, so that a 64-row window may start above row 1 or end below row m.
        pad_ = blocks_ > 1 ? 1 : 0;
        stride_ = blocks_ + 2 * pad_;
        ascii_.assign(kAsciiSize * stride_, 0);
        // One test for the whole pattern (a loop the compiler vectorises).
        std::uint32_t all = 0;
        for (std::size_t r = 0; r < m; ++r) all |= static_cast<std::uint32_t>(pattern[r]);
        has_wide_ = all >= kAsciiSize;
        if (has_wide_) {
            keys_.assign(kHashSlots * blocks_, kEmptySlot);
            wide_.assign(kHashSlots * blocks_, 0);
        }
        std::uint64_t* const table = ascii_.data() + pad_;
        const std::size_t stride = stride_;
        for (std::size_t block = 0; block < blocks_; ++block) {
            const std::size_t end = std::min(m, (block + 1) * kWordBits);
            std::uint64_t bit = 1;
            for (std::size_t r = block * kWordBits; r < end; ++r, bit <<= 1) {
                const auto c = static_cast<char32_t>(pattern[r]);
                if (c < kAsciiSize) {
                    table[c * stride + block] |= bit;
                } else {
                    wide_[slot_of(block, c)] |= bit;
                }
            }
        }
    }

    std::size_t blocks() const { return blocks_; }

    // The masks of ASCII character `c` for every block, or null for a wider character. For a
    // pattern of several blocks, entries -1 and blocks() exist and are 0.
    const std::uint64_t* ascii_row(char32_t c) const {
        return c < kAsciiSize ? ascii_.data() + c * stride_ + pad_ : nullptr;
    }

    AsciiTable ascii_table() const { return {ascii_.data() + pad_, stride_}; }

    // Of a single-block pattern: the masks of all ASCII characters, indexed by the character.
    const std::uint64_t* single_block_ascii() const { return ascii_.data(); }

    // Bits of the mask of `c` for the pattern characters s .. s + 63 (bit i for character s + i,
    // 0 for positions outside the pattern), for a pattern of several blocks and -64 <= s < m.
    std::uint64_t window(char32_t c, std::int64_t s) const {
        const std::int64_t w = s >> 6;  // floor(s / 64): -1 .. blocks - 1
        const auto shift = static_cast<unsigned>(s & 63);
        std::uint64_t lo = 0;
        std::uint64_t hi = 0;
        if (const std::uint64_t* row = ascii_row(c)) {
            lo = row[w];
            hi = row[w + 1];
        } else {
            if (w >= 0) lo = wide(static_cast<std::size_t>(w), c);
            if (w + 1 < static_cast<std::int64_t>(blocks_))
                hi = wide(static_cast<std::size_t>(w + 1), c);
        }
        // hi << (64 - shift), written so that a shift of 0 drops hi instead of overflowing.
        return (lo >> shift) | ((hi << 1) << (63 - shift));
    }

    // The mask of a character of at least kAsciiSize in `block`.
    std::uint64_t wide(std::size_t block, char32_t c) const {
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
        return static_cast<std::size_t>((static_cast<std::uint32_t>(c) * kHashMultiplier) >>
                                        kHashShift);
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
    std::size_t pad_ = 0;     // zero words before each character's blocks
    std::size_t stride_ = 0;  // words per character: blocks + 2 * pad
    bool has_wide_ = false;
    std::vector<std::uint64_t> ascii_;  // [c * stride + pad + block]
    std::vector<char32_t> keys_;        // [block * kHashSlots + slot]
    std::vector<std::uint64_t> wide_;   // masks beside keys_
};

// Blocks first..last of a pattern, all live.
struct BlockSpan {
    std::size_t first;
    std::size_t last;
};

// Scratch space reused across calls on one thread, so that the many short comparisons of the
// diagnostics and the streaming matcher do not allocate.
struct Scratch {
    PatternMasks masks;
    std::vector<std::uint64_t> vp;
    std::vector<std::uint64_t> vn;
    std::vector<std::int64_t> score;
    std::vector<BlockSpan> live;
    std::vector<BlockSpan> next_live;
    std::vector<char32_t> a;
    std::vector<char32_t> b;
};

Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

std::int64_t as_signed(std::size_t v) {
    return static_cast<std::int64_t>(v);
}

// A lower bound of D(r, j) + |r - corner| over the rows r = top..bottom of a block whose bottom
// row holds `bottom_score`, where corner = p - q + j is the row on the diagonal of the far corner:
// each cell is at least bottom_score - (bottom - r), and the sum is smallest at r = corner when
// the corner row lies within the block, at the nearest end otherwise.
std::int64_t block_floor(std::int64_t bottom_score, std::int64_t top, std::int64_t bottom,
                         std::int64_t corner) {
    return bottom_score - bottom + std::max(corner, 2 * top - corner);
}

// Hyyrö's algorithm for a pattern of m (1..64) characters and a text of n characters, with the
// limit k; stops once even the most favourable cell of the column cannot end within k.
template <class Sym>
std::optional<std::uint64_t> single_word_within(const PatternMasks& masks, std::size_t m,
                                                const Sym* text, std::size_t n, std::int64_t k,
                                                std::size_t* stopped_at = nullptr) {
    std::uint64_t vp = ~std::uint64_t{0};
    std::uint64_t vn = 0;
    std::int64_t score = as_signed(m);  // D(m, j)
    const auto bottom = static_cast<unsigned>(m - 1);
    const std::int64_t rows = as_signed(m);
    const std::int64_t corner_offset = rows - as_signed(n);  // corner row = corner_offset + j
    const std::uint64_t* ascii = masks.single_block_ascii();
    // No cell can end above the longer length, so such a limit never stops the loop.
    const bool may_stop = k < as_signed(n);
    for (std::size_t j0 = 0; j0 < n; j0 += kColumnsPerPoll) {
        const std::size_t j_end = std::min(n, j0 + kColumnsPerPoll);
        for (std::size_t j = j0; j < j_end; ++j) {
            const auto c = static_cast<char32_t>(text[j]);
            const std::uint64_t pm = c < kAsciiSize ? ascii[c] : masks.wide(0, c);
            const std::uint64_t d0 = (((pm & vp) + vp) ^ vp) | pm | vn;
            std::uint64_t hp = vn | ~(d0 | vp);
            std::uint64_t hn = vp & d0;
            score += static_cast<std::int64_t>((hp >> bottom) & 1) -
                     static_cast<std::int64_t>((hn >> bottom) & 1);
            // Row 0 of the matrix is 0, 1, 2, ...: its horizontal delta is always +1.
            hp = (hp << 1) | 1;
            hn <<= 1;
            vp = hn | ~(d0 | hp);
            vn = hp & d0;
            if (may_stop && block_floor(score, 0, rows, corner_offset + as_signed(j + 1)) > k) {
                if (stopped_at != nullptr) *stopped_at = j + 1;
                return std::nullopt;
            }
        }
        poll_interrupt(static_cast<std::int64_t>(j_end - j0));
    }
    if (score > k) return std::nullopt;
    return static_cast<std::uint64_t>(score);
}

// Hyyrö's banded algorithm for a limit k of at most kNarrowBand: the 64 diagonals lo .. lo + 63
// (diagonal j - r of cell (r, j)) that hold every cell of a path of cost at most k, in one word
// that slides one row down per column (see the file comment). Pattern of m > 64 characters, text
// of n >= m, n - m <= k.
template <class Sym>
std::optional<std::uint64_t> narrow_band_within(const PatternMasks& masks, std::size_t m,
                                                const Sym* text, std::size_t n, std::int64_t k,
                                                std::size_t* stopped_at = nullptr) {
    const std::int64_t shift = as_signed(n) - as_signed(m);  // the corner's diagonal
    const std::int64_t lo = -((k - shift) / 2);
    const std::int64_t hi = lo + kBottomShift;
    // Bit i of column j stands for row j - hi + i; bit `track` follows the corner's diagonal.
    const auto track = static_cast<unsigned>(hi - shift);
    // Column 0: D(r, 0) = r, and rows above row 0 continue it as D(r, j) = j - r.
    const std::uint64_t at_or_above_row_0 =
        hi == kBottomShift ? ~std::uint64_t{0} : (std::uint64_t{1} << (hi + 1)) - 1;
    std::uint64_t vp = ~at_or_above_row_0;
    std::uint64_t vn = at_or_above_row_0;
    std::int64_t score = shift;  // D(j - shift, j), starting from row -shift
    constexpr std::uint64_t kNewRow = std::uint64_t{1} << kBottomShift;
    for (std::size_t j0 = 0; j0 < n; j0 += kColumnsPerPoll) {
        const std::size_t j_end = std::min(n, j0 + kColumnsPerPoll);
        for (std::size_t j = j0; j < j_end; ++j) {
            // Column j + 1 starts one row lower: the top row leaves, a new bottom row enters with
            // a vertical delta of +1 (an upper bound of a cell outside the band).
            vp = (vp >> 1) | kNewRow;
            vn >>= 1;
            // Row r holds pattern character r - 1; the top row is j + 1 - hi.
            const std::uint64_t pm = masks.window(static_cast<char32_t>(text[j]), as_signed(j) - hi);
            const std::uint64_t d0 = (((pm & vp) + vp) ^ vp) | pm | vn;
            // The cell above the top row is outside the band: no -1 enters from it.
            const std::uint64_t hp = (vn | ~(d0 | vp)) << 1;
            const std::uint64_t hn = (vp & d0) << 1;
            score += 1 - static_cast<std::int64_t>((d0 >> track) & 1);
            vp = hn | ~(d0 | hp);
            vn = hp & d0;
            if (score > k) {
                if (stopped_at != nullptr) *stopped_at = j + 1;
                return std::nullopt;
            }
        }
        poll_interrupt(static_cast<std::int64_t>(j_end - j0));
    }
    return static_cast<std::uint64_t>(score);
}

// Hyyrö's step for one 64-row block under the text character's mask `pm`: updates the block's
// vertical deltas vp/vn, taking the horizontal delta entering its top row from the carries
// (hp_carry, hn_carry) and leaving there the horizontal delta of row `shift` (its bottom row).
// Returns that delta: +1, 0 or -1.
inline std::int64_t block_step(std::uint64_t pm, std::uint64_t& vp, std::uint64_t& vn,
                               std::uint64_t& hp_carry, std::uint64_t& hn_carry, unsigned shift) {
    const std::uint64_t vpb = vp;
    const std::uint64_t vnb = vn;
    const std::uint64_t x = pm | hn_carry;
    const std::uint64_t d0 = (((x & vpb) + vpb) ^ vpb) | x | vnb;
    std::uint64_t hp = vnb | ~(d0 | vpb);
    std::uint64_t hn = vpb & d0;
    const std::uint64_t hp_out = (hp >> shift) & 1;
    const std::uint64_t hn_out = (hn >> shift) & 1;
    hp = (hp << 1) | hp_carry;
    hn = (hn << 1) | hn_carry;
    vp = hn | ~(d0 | hp);
    vn = hp & d0;
    hp_carry = hp_out;
    hn_carry = hn_out;
    return static_cast<std::int64_t>(hp_out) - static_cast<std::int64_t>(hn_out);
}

// Hyyrö's blocked algorithm over the band of cells that can still end within k (see the file
// comment). Blocks first..last are the live ones; vp/vn of other blocks are stale. Only the
// bottom values of the first and the last block are followed (score_first, score_last); when an
// edge block changes, the new one's value follows from its neighbour's and the vertical deltas
// between them.
template <class Sym>
std::optional<std::uint64_t> blocks_within(const PatternMasks& masks, std::size_t m, const Sym* text,
                                           std::size_t n, std::int64_t k, Scratch& s,
                                           std::size_t* stopped_at) {
    const std::size_t blocks = masks.blocks();
    const AsciiTable table = masks.ascii_table();
    s.vp.assign(blocks, ~std::uint64_t{0});
    s.vn.assign(blocks, 0);
    std::uint64_t* vp = s.vp.data();
    std::uint64_t* vn = s.vn.data();
    const auto last_shift = static_cast<unsigned>((m - 1) % kWordBits);
    const std::uint64_t last_rows = ~std::uint64_t{0} >> (kBottomShift - last_shift);
    const std::int64_t rows = as_signed(m);
    const std::int64_t corner_offset = rows - as_signed(n);
    // The bound of a block also covers the row just above it (row 0 for the first block, which
    // an optimal path may still follow): its value is at most one less than the block's top row.
    auto top_row = [](std::size_t b) { return as_signed(b * kWordBits); };
    auto bottom_row = [&](std::size_t b) { return std::min(as_signed((b + 1) * kWordBits), rows); };
    // D(bottom of b) - D(bottom of b - 1) from the vertical deltas of block b.
    auto rise = [&](std::size_t b) {
        const std::uint64_t live = b + 1 == blocks ? last_rows : ~std::uint64_t{0};
        return static_cast<std::int64_t>(std::popcount(vp[b] & live)) -
               static_cast<std::int64_t>(std::popcount(vn[b] & live));
    };

    std::size_t first = 0;
    std::size_t last = 0;
    std::int64_t score_first = bottom_row(0);  // column 0: D(r, 0) = r
    std::int64_t score_last = score_first;
    std::int64_t pending = 0;  // words computed since the last poll
    for (std::size_t j = 0; j < n; ++j) {
        const std::int64_t corner = corner_offset + as_signed(j + 1);
        // Start blocks below the last one while a path could enter them in this column and still
        // end within k; a started block's column j-1 is taken as +1 per row below the last one.
        while (last + 1 < blocks) {
            const std::int64_t entry = bottom_row(last) + 1;
            const std::int64_t dist = entry > corner ? entry - corner : corner - entry;
            if (score_last + dist > k) break;
            ++last;
            vp[last] = ~std::uint64_t{0};
            vn[last] = 0;
            score_last += bottom_row(last) - bottom_row(last - 1);
        }

        // Hyyrö's step for blocks first..last; the horizontal deltas of each block's bottom row
        // enter the next block as carry bits (+1 from above the first block: row 0 or a dropped
        // block).
        const auto c = static_cast<char32_t>(text[j]);
        std::uint64_t hp_carry = 1;
        std::uint64_t hn_carry = 0;
        auto advance = [&](std::size_t b, std::uint64_t pm, unsigned shift) {
            return block_step(pm, vp[b], vn[b], hp_carry, hn_carry, shift);
        };
        auto advance_all = [&](auto&& mask_of) {
            const unsigned final_shift = last + 1 == blocks ? last_shift : kBottomShift;
            if (first == last) {
                score_last += advance(first, mask_of(first), final_shift);
                score_first = score_last;
                return;
            }
            score_first += advance(first, mask_of(first), kBottomShift);
            for (std::size_t b = first + 1; b < last; ++b) advance(b, mask_of(b), kBottomShift);
            score_last += advance(last, mask_of(last), final_shift);
        };
        if (const std::uint64_t* row = table.row(c)) {
            advance_all([row](std::size_t b) { return row[b]; });
        } else {
            advance_all([&masks, c](std::size_t b) { return masks.wide(b, c); });
        }

        while (block_floor(score_first, top_row(first), bottom_row(first), corner) > k) {
            if (first == last) {
                if (stopped_at != nullptr) *stopped_at = j + 1;
                return std::nullopt;
            }
            ++first;
            score_first = first == last ? score_last : score_first + rise(first);
        }
        while (last > first && block_floor(score_last, top_row(last), bottom_row(last), corner) > k) {
            score_last -= rise(last);
            --last;
        }
        pending += static_cast<std::int64_t>(last - first + 1);
        if (pending >= kUnitsPerPoll) {
            poll_interrupt(pending);
            pending = 0;
        }
    }
    if (last + 1 != blocks || score_last > k) return std::nullopt;
    return static_cast<std::uint64_t>(score_last);
}

// The substring search: E(r, j) = min over x <= min(j, latest) of D(pattern[0, r), text[x, j)),
// which is the edit distance recurrence with row 0 holding E(0, j) = max(0, j - latest) (a
// stretch may start at any character up to `latest`; starting earlier costs nothing, later
// costs the characters skipped). For every column listed in `ends` (ascending), out gets
// E(m, column) capped at k + 1.
//
// Only cells that can lie on a path of cost <= k are computed exactly. While stretches may still
// start, E(r, j) <= r keeps the top rows cheap; further down the cells within k are those where a
// prefix of the pattern nearly ends at column j: around the diagonal of a close copy of the
// pattern, if there is one. The rows in between often exceed k for long stretches of the text,
// and the top rows do too once row 0 exceeds k. So the live blocks form spans that need not touch:
//   - after each column, a block whose cells all exceed k dies (costs only grow along a path, so
//     no path within k goes through it); block 0 only once row 0 exceeds k as well. The top
//     block of a span below a dead block sees the carry +1 from above, as if the dead block's
//     bottom row grew by 1 per column: at least what it really does (a row grows by at most 1
//     per column), so the cells below are overestimated only where no path within k leads;
//   - before each column, the dead block under a span comes alive, with every vertical delta +1
//     (again at least the true values), while the span's bottom row is within k: a path within k
//     could enter it. A span that grows up to the next one merges with it. Block 0 stays dead
//     once it died: nothing is above it but row 0, which only grows.
// With a single span from block 0 this is the usual band whose last block is dropped and
// restarted. Once no block is live, every later end gets k + 1.
template <class Sym>
void substring_scores(const PatternMasks& masks, std::size_t m, const Sym* text, std::size_t n,
                      std::size_t latest, std::int64_t k, const std::vector<std::size_t>& ends,
                      std::uint64_t* out, Scratch& s, SubstringStats* stats) {
    const std::size_t blocks = masks.blocks();
    const AsciiTable table = masks.ascii_table();
    s.vp.assign(blocks, ~std::uint64_t{0});
    s.vn.assign(blocks, 0);
    s.score.assign(blocks, 0);
    std::uint64_t* vp = s.vp.data();
    std::uint64_t* vn = s.vn.data();
    std::int64_t* score = s.score.data();
    std::vector<BlockSpan>& live = s.live;
    std::vector<BlockSpan>& next = s.next_live;
    const auto last_shift = static_cast<unsigned>((m - 1) % kWordBits);
    const std::int64_t rows = as_signed(m);
    auto top_row = [](std::size_t b) { return as_signed(b * kWordBits); };
    auto bottom_row = [&](std::size_t b) { return std::min(as_signed((b + 1) * kWordBits), rows); };
    auto height = [&](std::size_t b) { return bottom_row(b) - top_row(b); };
    const auto capped = [&](std::int64_t v) { return static_cast<std::uint64_t>(std::min(v, k + 1)); };

    live.assign(1, BlockSpan{0, 0});
    score[0] = bottom_row(0);  // column 0: E(r, 0) = r
    std::size_t t = 0;
    while (t < ends.size() && ends[t] == 0) out[t++] = capped(rows);
    for (std::size_t j = 0; j < n && t < ends.size(); ++j) {
        if (live.empty()) break;
        // Grow each span downwards while a path within k could enter the block below it.
        next.clear();
        for (std::size_t i = 0; i < live.size(); ++i) {
            if (!next.empty() && next.back().last + 1 == live[i].first) {
                next.back().last = live[i].last;
            } else {
                next.push_back(live[i]);
            }
            BlockSpan& span = next.back();
            const std::size_t below = i + 1 < live.size() ? live[i + 1].first : blocks;
            while (span.last + 1 < below && score[span.last] <= k) {
                const std::size_t b = ++span.last;
                vp[b] = ~std::uint64_t{0};
                vn[b] = 0;
                score[b] = score[b - 1] + height(b);
            }
        }

        // Hyyrö's step over every span; the blocks out of reach die.
        const std::uint64_t row0_hp = j + 1 > latest ? 1 : 0;  // E(0, j + 1) - E(0, j)
        const bool row0_within = as_signed(j + 1) - as_signed(std::min(j + 1, latest)) <= k;
        const auto c = static_cast<char32_t>(text[j]);
        const std::uint64_t* mask_row = table.row(c);
        live.clear();
        std::size_t advanced = 0;
        for (const BlockSpan& span : next) {
            std::uint64_t hp_carry = span.first == 0 ? row0_hp : 1;
            std::uint64_t hn_carry = 0;
            for (std::size_t b = span.first; b <= span.last; ++b) {
                const std::uint64_t pm = mask_row != nullptr ? mask_row[b] : masks.wide(b, c);
                const unsigned shift = b + 1 == blocks ? last_shift : kBottomShift;
                const std::int64_t bottom =
                    score[b] + block_step(pm, vp[b], vn[b], hp_carry, hn_carry, shift);
                score[b] = bottom;
                // A vertical delta is at least -1: every cell of the block is at least
                // bottom - height.
                if (bottom - height(b) > k && (b > 0 || !row0_within)) {
                    if (b == 0 && stats != nullptr) stats->top_out = true;
                    continue;
                }
                if (!live.empty() && live.back().last + 1 == b) {
                    live.back().last = b;
                } else {
                    live.push_back(BlockSpan{b, b});
                }
            }
            advanced += span.last + 1 - span.first;
        }
        if (stats != nullptr) stats->block_steps += advanced;
        if (stats != nullptr && live.size() > 1) ++stats->split_columns;
        const bool complete = !live.empty() && live.back().last + 1 == blocks;
        const std::uint64_t value = complete ? capped(score[blocks - 1]) : capped(k + 1);
        while (t < ends.size() && ends[t] == j + 1) out[t++] = value;
        poll_interrupt(static_cast<std::int64_t>(advanced));
    }
    while (t < ends.size()) out[t++] = capped(k + 1);
}

// One banded computation with limit k over a pattern of m >= 1 and a text of n >= m characters.
template <class Sym>
std::optional<std::uint64_t> banded(const PatternMasks& masks, std::size_t m, const Sym* text,
                                    std::size_t n, std::uint64_t k, Scratch& s,
                                    std::size_t* stopped_at = nullptr) {
    const auto limit = static_cast<std::int64_t>(std::min<std::uint64_t>(k, n));
    if (stopped_at != nullptr) *stopped_at = n;
    if (m <= kWordBits) return single_word_within(masks, m, text, n, limit, stopped_at);
    if (limit <= static_cast<std::int64_t>(kNarrowBand))
        return narrow_band_within(masks, m, text, n, limit, stopped_at);
    return blocks_within(masks, m, text, n, limit, s, stopped_at);
}

// Distance within `limit` of two sequences with their common prefix and suffix still in place.
// Large limits are tried in stages (see the file comment).
template <class Sym>
std::optional<std::uint64_t> stripped_within(const Sym* a, std::size_t p, const Sym* b, std::size_t q,
                                             std::uint64_t limit) {
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
    if (p > q) {
        std::swap(a, b);
        std::swap(p, q);
    }
    // Now p <= q: the distance lies between q - p and q.
    if (q - p > limit) return std::nullopt;
    if (p == 0) return q;
    limit = std::min<std::uint64_t>(limit, q);
    Scratch& s = scratch();
    s.masks.build(a, p);
    if (p <= kWordBits) return single_word_within(s.masks, p, b, q, static_cast<std::int64_t>(limit));
    if (limit <= kNarrowBand)
        return narrow_band_within(s.masks, p, b, q, static_cast<std::int64_t>(limit));
    // The narrow band costs one word per column, less than any band of blocks: unless the limit
    // is within kTakeLimit times its own, a close pair is settled by it first, and the blocks
    // then start one step further.
    std::uint64_t stage = q - p + kFirstStage;
    if (q - p <= kNarrowBand && limit > kTakeLimit * (kNarrowBand + 1)) {
        const std::optional<std::uint64_t> d =
            narrow_band_within(s.masks, p, b, q, static_cast<std::int64_t>(kNarrowBand));
        if (d) return d;
        stage += kFirstStage;
    }
    // A limit within one growth step of the first stage is taken at once.
    if (limit <= (q - p + kFirstStage) * kStageFactor) stage = limit;
    while (true) {
        std::size_t stopped_at = q;
        const std::optional<std::uint64_t> d = banded(s.masks, p, b, q, stage, s, &stopped_at);
        if (d || stage == limit) return d;
        const std::uint64_t next = stage * kStageFactor;
        const bool early = stopped_at < kEarlyStopColumns * stage;
        const bool unrelated = stage >= kWideStage && early;
        // After an early end the next stage is likely to fail as well: a limit within kTakeLimit
        // times it is taken at once.
        const bool near = next >= limit || (early && next * kTakeLimit >= limit);
        stage = unrelated || near || next > p / kLastStageShare ? limit : next;
    }
}

bool is_ascii(std::string_view s) {
    unsigned char acc = 0;
    for (char c : s) acc |= static_cast<unsigned char>(c);
    return acc < 0x80;
}

std::optional<std::uint64_t> distance_within(std::string_view a, std::string_view b,
                                             std::uint64_t limit) {
    if (is_ascii(a) && is_ascii(b)) {
        return stripped_within(reinterpret_cast<const unsigned char*>(a.data()), a.size(),
                               reinterpret_cast<const unsigned char*>(b.data()), b.size(), limit);
    }
    Scratch& s = scratch();
    utf8::decode_into(a, s.a);
    utf8::decode_into(b, s.b);
    return stripped_within(s.a.data(), s.a.size(), s.b.data(), s.b.size(), limit);
}

}  // namespace

std::uint64_t levenshtein_distance(std::string_view a, std::string_view b) {
    // No distance exceeds the longer length, so this limit never cuts.
    return *distance_within(a, b, std::numeric_limits<std::uint64_t>::max());
}

std::optional<std::uint64_t> levenshtein_distance_within(std::string_view a, std::string_view b,
                                                         std::uint64_t limit) {
    return distance_within(a, b, limit);
}

std::vector<std::uint64_t> best_substring_distances(std::string_view pattern, std::string_view text,
                                                    std::size_t latest_start,
                                                    const std::vector<std::size_t>& ends,
                                                    std::uint64_t limit, SubstringStats* stats) {
    std::vector<std::uint64_t> out(ends.size(), 0);
    if (ends.empty()) return out;
    const std::uint64_t k =
        std::min<std::uint64_t>(limit, std::numeric_limits<std::int64_t>::max() / 2);
    const std::size_t latest = std::min(latest_start, text.size());
    if (pattern.empty()) {
        // The stretch itself is the distance: from the latest start, or empty.
        for (std::size_t t = 0; t < ends.size(); ++t) {
            const std::size_t from = std::min(latest, ends[t]);
            out[t] =
                std::min<std::uint64_t>(utf8::count_chars(text.substr(from, ends[t] - from)), k + 1);
        }
        return out;
    }
    Scratch& s = scratch();
    if (is_ascii(pattern) && is_ascii(text)) {
        const auto* p = reinterpret_cast<const unsigned char*>(pattern.data());
        s.masks.build(p, pattern.size());
        substring_scores(s.masks, pattern.size(), reinterpret_cast<const unsigned char*>(text.data()),
                         text.size(), latest, static_cast<std::int64_t>(k), ends, out.data(), s, stats);
        return out;
    }
    // Byte offsets become character counts.
    std::vector<std::size_t> char_ends;
    char_ends.reserve(ends.size());
    std::size_t chars = 0;
    std::size_t at = 0;
    for (std::size_t e : ends) {
        chars += utf8::count_chars(text.substr(at, e - at));
        at = e;
        char_ends.push_back(chars);
    }
    const std::size_t latest_chars = utf8::count_chars(text.substr(0, latest));
    utf8::decode_into(pattern, s.a);
    utf8::decode_into(text, s.b);
    s.masks.build(s.a.data(), s.a.size());
    substring_scores(s.masks, s.a.size(), s.b.data(), s.b.size(), latest_chars,
                     static_cast<std::int64_t>(k), char_ends, out.data(), s, stats);
    return out;
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

std::optional<std::uint64_t> levenshtein_bit_parallel_within(std::u32string_view a,
                                                             std::u32string_view b,
                                                             std::uint64_t limit) {
    if (a.size() > b.size()) std::swap(a, b);
    if (b.size() - a.size() > limit) return std::nullopt;
    if (a.empty()) return b.size();
    Scratch& s = scratch();
    s.masks.build(a.data(), a.size());
    return banded(s.masks, a.size(), b.data(), b.size(), limit, s);
}

std::optional<std::uint64_t> levenshtein_narrow_band_within(std::u32string_view a,
                                                            std::u32string_view b,
                                                            std::uint64_t limit) {
    limit = std::min(limit, kNarrowBand);
    if (a.size() > b.size()) std::swap(a, b);
    if (b.size() - a.size() > limit) return std::nullopt;
    if (a.empty()) return b.size();
    Scratch& s = scratch();
    s.masks.build(a.data(), a.size());
    const auto k = static_cast<std::int64_t>(limit);
    if (a.size() <= kWordBits) return single_word_within(s.masks, a.size(), b.data(), b.size(), k);
    return narrow_band_within(s.masks, a.size(), b.data(), b.size(), k);
}

std::uint64_t levenshtein_bit_parallel(std::u32string_view a, std::u32string_view b) {
    return *levenshtein_bit_parallel_within(a, b, std::max(a.size(), b.size()));
}

}  // namespace detail

}  // namespace brindle
