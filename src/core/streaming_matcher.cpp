// The streaming matcher: buffering of query chunks into lines, the incremental line alignment that
// locates the query in the source, the choice among candidate ranges by line hint, and the text
// of a range in the joined source.
//
// What it computes
// ----------------
// The query lines are aligned with the source lines by a weighted edit distance over whole lines.
// Cell (r, c) of the table holds the least cost of aligning the first r query lines with source
// lines ending at the c-th one; the alignment may start after any source line for free (row 0 is
// all zeros) and may end at any source line. Each cell is reached by one of three steps:
//
//   QueryOnly  (from above)     the query line stands unpaired   kCostQueryOnly
//   SourceOnly (from the left)  the source line is passed over   kCostSourceOnly
//   Paired     (diagonal)       the lines are paired             kCostPair{Equal,Similar,Different}
//
// Ties go to QueryOnly; SourceOnly only when strictly cheaper than QueryOnly; Paired only when
// strictly cheaper than the step already taken. Every column of least cost in the last row ends a
// candidate; walking its steps back gives the first source line, and the candidate survives when
// paired lines make up at least 0.8 of max(source lines covered, query lines).
//
//   source: alpha beta gamma          query: alpha gamma
//
//                  c0   alpha   beta   gamma
//         r0        0     0       0      0
//   alpha r1       10     0 P     3 S    6 S
//   gamma r2       20    10 Q    13 Q    3 P    <- least cost of the last row: end column 3
//
//   From (2, 3): P (gamma = gamma), S (beta passed over), P (alpha = alpha): 2 pairs over 3 covered
//   source lines, 2/3 < 0.8, so the candidate is dropped.
//
// Performance
// -----------
// Query lines are only ever appended, so a resolution computes only the rows of the new lines (new
// lines x source lines cells) and keeps what the next one needs:
//   - costs: the recurrence reads only the row above, so only the last row's costs are kept;
//   - steps: the walk back reads any row, so every row's steps are kept, two bits a cell, in blocks
//     of whole rows that are added as the query grows and never moved or copied (about 0.25 byte a
//     cell in all).
// Per cell, the three costs are compared first; the pair of lines is looked at only when the
// diagonal could still be strictly cheaper than the step already taken. Each line is trimmed and
// keyed once (a hash, its character count, the set of its character classes), so equality is a
// hash compare, and unequal lines are rejected on lower bounds of their edit distance (byte and
// character lengths, characters one has and the other lacks) before any distance is computed.
// The distance itself is bit-parallel (Myers/Hyyroe) over the query line, whose character masks
// are built once per row; it is bounded by the most a similar pair may differ (a fifth of the
// longer byte length) and stops as soon as that bound cannot be met.
//
// All or nothing
// --------------
// A resolution first reserves and allocates everything it needs (query line slots, step blocks,
// scratch rows), then computes the new rows into scratch rows and spare step rows that the matcher
// does not count yet, then commits by moves and swaps that cannot fail. An exception at any point
// before the commit (out of memory, or an interrupt hook thrown from `poll_interrupt`) leaves the
// matcher exactly as it was.
#include "core/streaming_matcher.hpp"

#include <algorithm>
#include <limits>
#include <new>

#include "core/cancel.hpp"
#include "core/edit_distance.hpp"
#include "core/text.hpp"
#include "core/utf8.hpp"

namespace brindle::streaming {

namespace {

// An unpaired query line is the dearest step: the query is what we are placing, so leaving one
// of its lines without a partner should weigh more than anything else.
constexpr std::uint32_t kCostQueryOnly = 10;
// Passing over a source line is cheap but not free: the model may have left a line out.
constexpr std::uint32_t kCostSourceOnly = 3;
// Pairing lines that are equal after trimming (indentation does not matter) costs nothing.
constexpr std::uint32_t kCostPairEqual = 0;
// Pairing similar lines (a typo, a changed number) costs almost nothing.
constexpr std::uint32_t kCostPairSimilar = 1;
// Pairing unlike lines costs as much as leaving both unpaired (10 + 3), so that such a pairing is
// taken only when it is strictly cheaper than going around it.
constexpr std::uint32_t kCostPairDifferent = kCostQueryOnly + kCostSourceOnly;

// Least similarity, 1 - distance / longer byte length, of two lines that count as similar.
constexpr double kLineSimilarityThreshold = 0.8;
// Least share of paired lines for a candidate to survive, compared in single precision.
constexpr float kMatchRatioThreshold = 0.8f;
// Below this length the double-precision similarity test equals 5 * difference > longer.
constexpr std::uint64_t kExactIntegerTestLimit = 3'000'000;
// A range whose first line lies further than this from the hint is never chosen by the hint.
constexpr std::uint64_t kMaxHintDistance = 200;
// Query lines longer than this (in characters) are compared by the general bounded distance,
// which strips common prefixes and suffixes first, instead of by masks over the whole line.
constexpr std::size_t kMaxMaskedChars = 4096;
// Bytes of steps per block of the alignment table (rounded to whole rows, at least one row), and
// the most rows a block holds, so that a matcher over a short source starts small.
constexpr std::size_t kStepBlockBytes = std::size_t{256} << 10;
constexpr std::size_t kMaxRowsPerBlock = 64;

constexpr std::uint32_t kCostMax = std::numeric_limits<std::uint32_t>::max();

constexpr std::uint32_t saturating_add(std::uint32_t a, std::uint32_t b) {
    const std::uint32_t sum = a + b;
    return sum < a ? kCostMax : sum;
}

// The class of a character for the lower bound on the edit distance: ASCII characters have a class
// each (0 to 127), the others share 64 classes by hash.
constexpr unsigned char_class(char32_t ch) {
    if (ch < 0x80) return static_cast<unsigned>(ch);
    return 64 + ((static_cast<std::uint32_t>(ch) * 0x9E3779B1u) >> 26);
}

// Bits set in `x`; inline arithmetic, since a portable build has no population-count instruction
// and the library call would cost more than the test it serves.
constexpr std::uint64_t bit_count(std::uint64_t x) {
    x -= (x >> 1) & 0x5555555555555555u;
    x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return (x * 0x0101010101010101u) >> 56;
}

// Characters one line has and the other lacks, counted by class: a lower bound on the edit
// distance. Every class that line a has and line b lacks holds a character of a that no alignment
// can match, so it is substituted or deleted, and one edit removes at most one character of a.
std::uint64_t missing_classes(const detail::LineKey& a, const detail::LineKey& b) {
    const std::uint64_t only_a =
        bit_count(a.classes[0] & ~b.classes[0]) + bit_count(a.classes[1] & ~b.classes[1]);
    const std::uint64_t only_b =
        bit_count(b.classes[0] & ~a.classes[0]) + bit_count(b.classes[1] & ~a.classes[1]);
    return std::max(only_a, only_b);
}

}  // namespace

namespace detail {

bool below_line_similarity(std::uint64_t difference, std::uint64_t longer) {
    if (longer < kExactIntegerTestLimit) return 5 * difference > longer;
    return 1.0 - static_cast<double>(difference) / static_cast<double>(longer) <
           kLineSimilarityThreshold;
}

LineKey line_key(std::string_view line) {
    const std::string_view trimmed = text::trim(line);
    LineKey key;
    key.text = trimmed.data();
    key.length = trimmed.size();
    std::uint64_t hash = 0xcbf29ce484222325u;  // FNV-1a
    for (const char byte : trimmed) {
        hash = (hash ^ static_cast<unsigned char>(byte)) * 0x100000001b3u;
        key.ascii = key.ascii && static_cast<unsigned char>(byte) < 0x80;
    }
    key.hash = hash;
    std::size_t pos = 0;
    while (pos < trimmed.size()) {
        const unsigned cls = char_class(utf8::decode_at(trimmed, pos));
        key.classes[cls >> 6] |= std::uint64_t{1} << (cls & 63);
        ++key.chars;
    }
    return key;
}

QueryLine::QueryLine(std::string_view line) : key_(line_key(line)) {
    const std::string_view text = key_.trimmed();
    if (key_.chars == 0 || key_.chars > kMaxMaskedChars) return;
    words_ = (key_.chars + 63) / 64;
    ascii_.assign(129 * words_, 0);
    std::vector<std::pair<char32_t, std::size_t>> others;  // (character, position)
    std::size_t pos = 0;
    for (std::size_t i = 0; pos < text.size(); ++i) {
        const char32_t ch = utf8::decode_at(text, pos);
        if (ch < 0x80) {
            ascii_[ch * words_ + i / 64] |= std::uint64_t{1} << (i % 64);
        } else {
            others.emplace_back(ch, i);
        }
    }
    std::sort(others.begin(), others.end());
    for (const auto& [ch, i] : others) {
        if (other_chars_.empty() || other_chars_.back() != ch) {
            other_chars_.push_back(ch);
            other_.resize(other_.size() + words_, 0);
        }
        other_[other_.size() - words_ + i / 64] |= std::uint64_t{1} << (i % 64);
    }
    if (words_ > 1) {
        vp_.resize(words_);
        vn_.resize(words_);
    }
}

const std::uint64_t* QueryLine::masks_of(char32_t ch) const {
    if (ch < 0x80) return ascii_.data() + ch * words_;
    const auto it = std::lower_bound(other_chars_.begin(), other_chars_.end(), ch);
    if (it == other_chars_.end() || *it != ch) return ascii_.data() + 128 * words_;
    return other_.data() + static_cast<std::size_t>(it - other_chars_.begin()) * words_;
}

// One 64-bit word holds the whole column of the distance table (Hyyroe's formulation of Myers'
// algorithm): vp/vn mark the rows where the column steps up/down by one. The bottom cell is the
// distance of the query to the source prefix read so far; once it exceeds the limit by more than
// the characters left to read, the limit cannot be met.
std::uint64_t QueryLine::distance_one_word(const LineKey& key, std::uint64_t limit) const {
    const std::string_view source = key.trimmed();
    const std::uint64_t last = std::uint64_t{1} << (key_.chars - 1);
    std::uint64_t vp = ~std::uint64_t{0};
    std::uint64_t vn = 0;
    std::uint64_t score = key_.chars;
    std::uint64_t left = key.chars;  // source characters not read yet
    const auto advance = [&](std::uint64_t x) {
        const std::uint64_t d0 = (((x & vp) + vp) ^ vp) | x | vn;
        std::uint64_t hp = vn | ~(d0 | vp);
        const std::uint64_t hn = d0 & vp;
        score += (hp & last) != 0;
        score -= (hn & last) != 0;
        hp = (hp << 1) | 1;
        vp = (hn << 1) | ~(d0 | hp);
        vn = hp & d0;
        --left;
        return score > limit + left;
    };
    if (key.ascii) {
        for (const char byte : source) {
            if (advance(ascii_[static_cast<unsigned char>(byte)])) return limit + 1;
        }
    } else {
        std::size_t pos = 0;
        while (pos < source.size()) {
            if (advance(*masks_of(utf8::decode_at(source, pos)))) return limit + 1;
        }
    }
    return score;
}

// The column split over 64-row words; the steps of a word's bottom row carry into the next word
// (Hyyroe 2003, block form).
std::uint64_t QueryLine::distance_blocks(const LineKey& key, std::uint64_t limit) const {
    const std::string_view source = key.trimmed();
    const std::size_t words = words_;
    const std::uint64_t last = std::uint64_t{1} << ((key_.chars - 1) % 64);
    std::fill(vp_.begin(), vp_.end(), ~std::uint64_t{0});
    std::fill(vn_.begin(), vn_.end(), 0);
    std::uint64_t score = key_.chars;
    std::uint64_t left = key.chars;
    std::size_t pos = 0;
    while (pos < source.size()) {
        const std::uint64_t* masks = masks_of(utf8::decode_at(source, pos));
        std::uint64_t hp_carry = 1;
        std::uint64_t hn_carry = 0;
        for (std::size_t w = 0; w < words; ++w) {
            const std::uint64_t x = masks[w] | hn_carry;
            const std::uint64_t vp = vp_[w];
            const std::uint64_t vn = vn_[w];
            const std::uint64_t d0 = (((x & vp) + vp) ^ vp) | x | vn;
            std::uint64_t hp = vn | ~(d0 | vp);
            std::uint64_t hn = d0 & vp;
            if (w + 1 == words) {
                score += (hp & last) != 0;
                score -= (hn & last) != 0;
            }
            const std::uint64_t hp_out = hp >> 63;
            const std::uint64_t hn_out = hn >> 63;
            hp = (hp << 1) | hp_carry;
            hn = (hn << 1) | hn_carry;
            hp_carry = hp_out;
            hn_carry = hn_out;
            vp_[w] = hn | ~(d0 | hp);
            vn_[w] = hp & d0;
        }
        --left;
        if (score > limit + left) return limit + 1;
    }
    return score;
}

std::uint64_t QueryLine::distance_within(const LineKey& key, std::uint64_t limit,
                                         std::uint64_t& work) const {
    if (words_ == 0) {  // empty or very long query line
        work += (key_.chars / 64 + 1) * (key.chars + 1);
        if (key_.chars == 0) return key.chars;
        const std::optional<std::uint64_t> d =
            levenshtein_distance_within(key_.trimmed(), key.trimmed(), limit);
        return d ? *d : limit + 1;
    }
    work += words_ * key.chars;
    return words_ == 1 ? distance_one_word(key, limit) : distance_blocks(key, limit);
}

std::uint32_t QueryLine::unequal_pair_cost(const LineKey& key, std::uint64_t& work) const {
    if (key_.length == 0 || key.length == 0) return kCostPairDifferent;
    const std::uint64_t longer = std::max(key_.length, key.length);
    const std::uint64_t shorter = std::min(key_.length, key.length);
    if (below_line_similarity(longer - shorter, longer)) return kCostPairDifferent;
    if (longer >= kExactIntegerTestLimit) {
        work += key_.chars / 64 * key.chars;
        return below_line_similarity(levenshtein_distance(key_.trimmed(), key.trimmed()), longer)
                   ? kCostPairDifferent
                   : kCostPairSimilar;
    }
    // Similar exactly when 5 * distance <= longer.
    const std::uint64_t limit = longer / 5;
    const std::uint64_t char_gap =
        key_.chars > key.chars ? key_.chars - key.chars : key.chars - key_.chars;
    if (char_gap > limit || missing_classes(key_, key) > limit) return kCostPairDifferent;
    return distance_within(key, limit, work) <= limit ? kCostPairSimilar : kCostPairDifferent;
}

std::uint32_t line_pair_cost(std::string_view query, std::string_view source) {
    const QueryLine q(query);
    std::uint64_t work = 0;
    return q.pair_cost(line_key(source), work);
}

}  // namespace detail

namespace {

// Fills row `row` (costs into `cost`, steps packed into `steps`) from the row above.
void fill_row(const detail::QueryLine& query, std::uint64_t row,
              const std::vector<detail::LineKey>& keys, const std::uint32_t* above_row,
              std::uint32_t* cost, std::uint64_t* steps) {
    constexpr std::uint64_t kQueryOnly = 0, kSourceOnly = 1, kPaired = 2;
    const std::size_t n = keys.size();
    cost[0] = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(std::uint64_t{kCostQueryOnly} * row, kCostMax));
    std::uint32_t left_cost = cost[0];
    std::uint64_t word = 0;
    std::uint64_t work = 0;  // edit-distance word steps since the last poll
    for (std::size_t j = 0; j < n; ++j) {
        const std::uint32_t above = saturating_add(above_row[j + 1], kCostQueryOnly);
        const std::uint32_t left = saturating_add(left_cost, kCostSourceOnly);
        std::uint32_t best = above;
        std::uint64_t best_step = kQueryOnly;
        if (left < above) {
            best = left;
            best_step = kSourceOnly;
        }
        // The diagonal costs at least its origin; the lines matter only if that origin is
        // strictly cheaper than the step taken, and the edit distance only if a similar pair
        // (cost 1) would still win.
        const std::uint32_t origin = above_row[j];
        if (origin < best) {
            const detail::LineKey& key = keys[j];
            std::uint32_t diagonal = kCostMax;
            if (query.equals(key)) {
                diagonal = saturating_add(origin, kCostPairEqual);
            } else if (saturating_add(origin, kCostPairSimilar) < best) {
                diagonal = saturating_add(origin, query.unequal_pair_cost(key, work));
            }
            if (diagonal < best) {
                best = diagonal;
                best_step = kPaired;
            }
        }
        cost[j + 1] = best;
        left_cost = best;
        word |= best_step << (2 * (j & 31));
        if ((j & 31) == 31) {
            steps[j >> 5] = word;
            word = 0;
            if ((j & 1023) == 1023) {
                poll_interrupt(static_cast<std::int64_t>(128 + work / 8));
                work = 0;
            }
        }
    }
    if ((n & 31) != 0) steps[n >> 5] = word;
    poll_interrupt(static_cast<std::int64_t>((n & 1023) / 8 + 1 + work / 8));
}

// Makes room for `count` elements, at least doubling the capacity when it grows, so that a query
// streamed line by line moves its elements only logarithmically often.
template <class T>
void reserve_geometric(std::vector<T>& v, std::uint64_t count) {
    if (count > v.max_size()) throw std::bad_alloc();
    const auto needed = static_cast<std::size_t>(count);
    if (needed > v.capacity()) v.reserve(std::max(needed, 2 * v.capacity()));
}

}  // namespace

StreamingFuzzyMatcher::StreamingFuzzyMatcher(std::string_view source_text) {
    const std::vector<std::string_view> lines = text::split_lines(source_text);
    source_lines_.reserve(lines.size());
    source_keys_.reserve(lines.size());
    line_offsets_.reserve(lines.size() + 1);
    std::uint64_t offset = 0;
    for (const std::string_view line : lines) source_lines_.emplace_back(line);
    // The keys refer into the lines, which stay in place from here on (moving the matcher moves
    // the vector's buffer, not the strings in it).
    for (const std::string& line : source_lines_) {
        source_keys_.push_back(detail::line_key(line));
        line_offsets_.push_back(offset);
        offset += line.size() + 1;
    }
    line_offsets_.push_back(offset);
    column_count_ = lines.size() + 1;
    row_words_ = (lines.size() + 31) / 32;
    rows_per_block_ = row_words_ == 0 ? 1
                                      : std::clamp<std::size_t>(kStepBlockBytes / 8 / row_words_, 1,
                                                                kMaxRowsPerBlock);
}

// ---------------------------------------------------------------------------------------------
// Chunk ingestion
// ---------------------------------------------------------------------------------------------

std::optional<MatchRange> StreamingFuzzyMatcher::push(std::string_view chunk,
                                                      std::optional<std::uint32_t> line_hint) {
    // The buffer never holds an LF, so the last LF of buffer + chunk is the chunk's last LF: only
    // the new text is searched, and a long line arriving in many chunks costs linear time.
    const std::size_t last_lf = chunk.rfind('\n');
    if (last_lf == std::string_view::npos) {
        incomplete_line_.append(chunk);  // unchanged if it throws
    } else {
        // A CR left at the end of the buffer and an LF opening this chunk end one line together.
        std::string completed;
        completed.reserve(incomplete_line_.size() + last_lf + 1);
        completed.append(incomplete_line_).append(chunk.substr(0, last_lf + 1));
        std::vector<std::string> new_lines;
        for (const std::string_view line : text::split_lines(completed)) {
            new_lines.emplace_back(line);
        }
        std::string rest(chunk.substr(last_lf + 1));
        resolve_location_fuzzy(new_lines, nullptr);  // the matcher changes here or not at all
        incomplete_line_.swap(rest);
    }
    if (line_hint) line_hint_ = line_hint;
    if (std::optional<MatchRange> best = select_best_match()) return best;
    if (!matches_.empty()) return matches_.front();
    return std::nullopt;
}

std::vector<MatchRange> StreamingFuzzyMatcher::finish() {
    if (incomplete_line_.empty()) return matches_;
    // No LF follows, so the line is kept whole, a trailing CR included.
    std::vector<std::string> new_lines{incomplete_line_};
    std::vector<MatchRange> result;
    resolve_location_fuzzy(new_lines, &result);
    incomplete_line_.clear();
    return result;
}

// ---------------------------------------------------------------------------------------------
// Alignment
// ---------------------------------------------------------------------------------------------

struct StreamingFuzzyMatcher::StagedRows {
    std::uint64_t query_count = 0;                         // query lines once committed
    std::vector<std::unique_ptr<std::uint64_t[]>> blocks;  // step blocks after the matcher's own
    int last_scratch = 0;  // the scratch row that holds the costs of the last new row
};

std::size_t StreamingFuzzyMatcher::table_bytes() const {
    std::size_t cost_cells = last_costs_.capacity();
    for (const auto& row : scratch_costs_) cost_cells += row.capacity();
    return cost_cells * sizeof(std::uint32_t) +
           step_blocks_.size() * rows_per_block_ * row_words_ * sizeof(std::uint64_t);
}

const std::uint64_t* StreamingFuzzyMatcher::step_row(std::uint64_t row,
                                                     const StagedRows& staged) const {
    const std::size_t index = static_cast<std::size_t>(row - 1);
    const std::size_t block = index / rows_per_block_;
    const std::size_t offset = index % rows_per_block_ * row_words_;
    if (block < step_blocks_.size()) return step_blocks_[block].get() + offset;
    return staged.blocks[block - step_blocks_.size()].get() + offset;
}

std::uint64_t* StreamingFuzzyMatcher::staged_step_row(std::uint64_t row, StagedRows& staged) {
    const std::size_t index = static_cast<std::size_t>(row - 1);
    const std::size_t block = index / rows_per_block_;
    const std::size_t offset = index % rows_per_block_ * row_words_;
    if (block < step_blocks_.size()) return step_blocks_[block].get() + offset;
    return staged.blocks[block - step_blocks_.size()].get() + offset;
}

const void* StreamingFuzzyMatcher::step_row_address(std::uint64_t row) const {
    if (row == 0 || row >= row_count_ || row_words_ == 0) return nullptr;
    return step_row(row, StagedRows{});
}

void StreamingFuzzyMatcher::stage_rows(const std::vector<std::string>& new_lines, StagedRows& staged) {
    // Everything that can fail comes before the matcher's fields change; the only writes below
    // go to scratch rows and to step rows beyond the committed ones.
    const std::size_t width = static_cast<std::size_t>(column_count_);
    const std::uint64_t done = query_lines_.size();  // rows 1 to done exist
    staged.query_count = done + new_lines.size();
    reserve_geometric(query_lines_, staged.query_count);
    // Row 0 is all zero cost (a match may start anywhere); it stands as the last row until the
    // first resolution commits.
    if (last_costs_.size() != width) last_costs_.assign(width, 0);
    for (auto& row : scratch_costs_) row.resize(width);
    if (row_words_ > 0) {
        const std::uint64_t blocks_needed =
            (staged.query_count + rows_per_block_ - 1) / rows_per_block_;
        reserve_geometric(step_blocks_, blocks_needed);
        const std::size_t missing = static_cast<std::size_t>(blocks_needed) - step_blocks_.size();
        staged.blocks.reserve(missing);
        for (std::size_t k = 0; k < missing; ++k) {
            staged.blocks.push_back(
                std::make_unique_for_overwrite<std::uint64_t[]>(rows_per_block_ * row_words_));
        }
    }
    const std::uint32_t* above = last_costs_.data();
    for (std::size_t i = 0; i < new_lines.size(); ++i) {
        const std::uint64_t row = done + i + 1;
        const int scratch = static_cast<int>(i & 1);
        std::uint32_t* costs = scratch_costs_[scratch].data();
        // Rows past the committed ones are not read by anyone else until the commit.
        std::uint64_t* steps = row_words_ > 0 ? staged_step_row(row, staged) : nullptr;
        const detail::QueryLine query(new_lines[i]);
        fill_row(query, row, source_keys_, above, costs, steps);
        above = costs;
        staged.last_scratch = scratch;
    }
}

std::vector<MatchRange> StreamingFuzzyMatcher::staged_ranges(const StagedRows& staged) const {
    const std::size_t width = static_cast<std::size_t>(column_count_);
    if (width <= 1) return {};
    const std::uint64_t query_count = staged.query_count;

    // Every column of least cost in the last row (column 0 excluded) ends a candidate.
    const std::uint32_t* last_row = scratch_costs_[staged.last_scratch].data();
    const std::uint32_t least = *std::min_element(last_row + 1, last_row + width);

    std::vector<MatchRange> ranges;
    for (std::size_t end = 1; end < width; ++end) {
        if (last_row[end] != least) continue;
        std::uint64_t r = query_count;
        std::size_t c = end;
        std::uint64_t paired = 0;
        std::uint64_t walked = 0;
        while (r > 0 && c > 0) {
            const std::size_t bit = c - 1;
            const std::uint64_t step = (step_row(r, staged)[bit >> 5] >> (2 * (bit & 31))) & 3;
            if (step == static_cast<std::uint64_t>(AlignStep::Paired)) {
                --r;
                --c;
                ++paired;
            } else if (step == static_cast<std::uint64_t>(AlignStep::QueryOnly)) {
                --r;
            } else {
                --c;
            }
            ++walked;
        }
        poll_interrupt(static_cast<std::int64_t>(walked / 8 + 1));
        const std::size_t begin = c;
        const float covered = static_cast<float>(end - begin);
        const float denominator = std::max(covered, static_cast<float>(query_count));
        if (static_cast<float>(paired) / denominator < kMatchRatioThreshold) continue;
        // A surviving candidate pairs at least one line, so it covers at least one: begin < end.
        ranges.push_back(
            {line_offsets_[begin], line_offsets_[end - 1] + source_lines_[end - 1].size()});
    }
    return ranges;
}

void StreamingFuzzyMatcher::commit(std::vector<std::string>& new_lines, StagedRows& staged,
                                   std::vector<MatchRange>& ranges) noexcept {
    // Capacity for every element was reserved by stage_rows, so nothing here allocates.
    for (std::string& line : new_lines) query_lines_.push_back(std::move(line));
    for (auto& block : staged.blocks) step_blocks_.push_back(std::move(block));
    last_costs_.swap(scratch_costs_[staged.last_scratch]);
    row_count_ = staged.query_count + 1;
    matches_ = std::move(ranges);
}

void StreamingFuzzyMatcher::resolve_location_fuzzy(std::vector<std::string>& new_lines,
                                                   std::vector<MatchRange>* copy) {
    if (new_lines.empty()) return;
    StagedRows staged;
    stage_rows(new_lines, staged);
    std::vector<MatchRange> ranges = staged_ranges(staged);
    if (copy != nullptr) *copy = ranges;
    commit(new_lines, staged, ranges);
}

// ---------------------------------------------------------------------------------------------
// Selection by line hint
// ---------------------------------------------------------------------------------------------

std::size_t StreamingFuzzyMatcher::line_containing(std::uint64_t offset) const {
    const auto after = std::upper_bound(line_offsets_.begin(), line_offsets_.end(), offset);
    const auto index = static_cast<std::size_t>(after - line_offsets_.begin());
    return index > 0 ? index - 1 : 0;
}

std::optional<MatchRange> StreamingFuzzyMatcher::select_best_match() const {
    if (matches_.empty()) return std::nullopt;
    if (matches_.size() == 1) return matches_.front();
    if (!line_hint_) return std::nullopt;
    const std::uint64_t hint = *line_hint_;
    std::optional<MatchRange> chosen;
    std::uint64_t best_distance = std::numeric_limits<std::uint64_t>::max();
    for (const MatchRange& range : matches_) {
        const std::uint64_t line = line_containing(range.start);
        const std::uint64_t distance = line > hint ? line - hint : hint - line;
        if (distance > kMaxHintDistance) continue;
        if (distance < best_distance) {  // on equal distance the earlier range stays
            best_distance = distance;
            chosen = range;
        }
    }
    return chosen;
}

// ---------------------------------------------------------------------------------------------
// Text of a range
// ---------------------------------------------------------------------------------------------

std::uint64_t StreamingFuzzyMatcher::joined_length() const {
    // The last offset counts an LF after every line; the joined text has none after the last.
    return source_lines_.empty() ? 0 : line_offsets_.back() - 1;
}

bool StreamingFuzzyMatcher::is_joined_char_boundary(std::uint64_t offset) const {
    if (offset >= joined_length()) return true;
    const std::size_t line = line_containing(offset);
    const std::uint64_t column = offset - line_offsets_[line];
    const std::string& text = source_lines_[line];
    if (column >= text.size()) return true;  // the LF after the line
    return !utf8::is_continuation(static_cast<unsigned char>(text[static_cast<std::size_t>(column)]));
}

// Slices the lines the range touches instead of joining the whole source; the result is the same
// bytes as the joined source would give.
std::variant<std::string, TextRangeError> StreamingFuzzyMatcher::get_text(MatchRange range) const {
    const std::uint64_t length = joined_length();
    const std::uint64_t start = std::min(range.start, length);
    const std::uint64_t end = std::min(range.end, length);
    if (end < start || !is_joined_char_boundary(start) || !is_joined_char_boundary(end)) {
        return TextRangeError{start, end};
    }
    std::string out;
    out.reserve(static_cast<std::size_t>(end - start));
    std::uint64_t pos = start;
    std::size_t line = line_containing(start);
    while (pos < end) {
        const std::string& text = source_lines_[line];
        const std::uint64_t column = pos - line_offsets_[line];
        if (column < text.size()) {
            const std::uint64_t take = std::min<std::uint64_t>(text.size() - column, end - pos);
            out.append(text, static_cast<std::size_t>(column), static_cast<std::size_t>(take));
            pos += take;
        }
        if (pos < end) {  // pos is at the LF that ends this line
            out.push_back('\n');
            ++pos;
            ++line;
        }
    }
    return out;
}

}  // namespace brindle::streaming
