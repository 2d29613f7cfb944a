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
// lines x source lines cells), and only the last finished row is kept: the recurrence reads only
// the row above, and so does the walk back, once it is carried forward (below). The memory is a
// few rows of the source's width, whatever the number of query lines.
//
// The walk back, carried forward. A walk from cell (r, c) takes the cell's step and goes on as the
// walk from the cell that step leads to; it stops at row 0 or column 0. So what a walk yields, its
// first source column and the number of pairs it passes, is a function of the cell that obeys the
// table's own recurrence:
//
//   walk(r, c) = (c, 0)                                         r = 0 or c = 0
//              = walk(r - 1, c)                                 step QueryOnly
//              = walk(r, c - 1)                                 step SourceOnly
//              = walk(r - 1, c - 1) with one pair more          step Paired
//
// Each cell stores walk(r, c) next to its cost, computed from the row above and the cell to its
// left as the cost is. The candidates of the last row then read their first column and pair count
// from their own cell: the same ranges as walking every candidate back, in O(1) each, where the
// walks took up to q steps each (paths from neighbouring end columns merge, and a query that pairs
// with nothing makes every column a candidate with a walk of q steps).
//
//   source: x x x   query: y          row 1: cost 10 10 10, every step QueryOnly,
//                                            walk (1, c) = walk (0, c) = (c, 0): no pair, dropped
//
// Per cell, the three costs are compared first; the pair of lines is looked at only when the
// diagonal could still be strictly cheaper than the step already taken. Each line is trimmed and
// keyed once (a hash, its character count, the set of its character classes), so equality is a
// hash compare, and unequal lines are rejected on lower bounds of their edit distance (byte and
// character lengths, characters one has and the other lacks) before any distance is computed.
// The distance itself is bounded by the most a similar pair may differ (a fifth of the longer byte
// length): a query line of one 64-character word runs Myers/Hyyroe over the source line with its
// masks built once per row and stops as soon as the bound cannot be met; a longer one takes the
// banded bounded distance (edit_distance.hpp), which cuts the common prefix and suffix first and
// computes only the diagonals the bound leaves, so two long lines that differ in a few places cost
// about their length, not their length times the number of 64-character words.
//
// All or nothing
// --------------
// A resolution first reserves and allocates everything it needs (query line slots, scratch rows),
// then computes the new rows into the scratch rows, then commits by moves and swaps that cannot
// fail. An exception at any point before the commit (out of memory, or an interrupt hook thrown
// from `poll_interrupt`) leaves the matcher exactly as it was.
#include "core/streaming_matcher.hpp"

#include <algorithm>
#include <cstring>
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
// Query lines of at most this many characters are compared by masks of their own, built once per
// row, in one 64-bit word; longer ones by the banded bounded distance of edit_distance.hpp.
constexpr std::size_t kMaxMaskedChars = 64;

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
    // The hash only screens pairs before their bytes are compared: eight bytes a step, each
    // word mixed in by a multiplication, the length and the last bytes included.
    const char* const data = trimmed.data();
    const std::size_t size = trimmed.size();
    std::uint64_t hash = 0x9E3779B97F4A7C15u ^ size;
    std::size_t at = 0;
    for (; at + 8 <= size; at += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, data + at, 8);
        hash = (hash ^ word) * 0xFF51AFD7ED558CCDu;
        hash ^= hash >> 32;
    }
    std::uint64_t rest = 0;
    if (at < size) std::memcpy(&rest, data + at, size - at);
    hash = (hash ^ rest) * 0xC4CEB9FE1A85EC53u;
    key.hash = hash ^ (hash >> 29);
    // Character classes: an ASCII byte is its own class, other characters are decoded.
    std::size_t pos = 0;
    while (pos < size) {
        const auto byte = static_cast<unsigned char>(data[pos]);
        unsigned cls;
        if (byte < 0x80) {
            cls = byte;
            ++pos;
        } else {
            key.ascii = false;
            cls = char_class(utf8::decode_at(trimmed, pos));
        }
        key.classes[cls >> 6] |= std::uint64_t{1} << (cls & 63);
        ++key.chars;
    }
    return key;
}

QueryLine::QueryLine(std::string_view line) : key_(line_key(line)) {
    const std::string_view text = key_.trimmed();
    if (key_.chars == 0 || key_.chars > kMaxMaskedChars) return;
    masked_ = true;
    ascii_.fill(0);
    std::vector<std::pair<char32_t, std::uint64_t>> others;  // (character, bit of its position)
    std::size_t pos = 0;
    for (std::size_t i = 0; pos < text.size(); ++i) {
        const char32_t ch = utf8::decode_at(text, pos);
        if (ch < 0x80) {
            ascii_[ch] |= std::uint64_t{1} << i;
        } else {
            others.emplace_back(ch, std::uint64_t{1} << i);
        }
    }
    std::sort(others.begin(), others.end());
    for (const auto& [ch, bit] : others) {
        if (other_chars_.empty() || other_chars_.back() != ch) {
            other_chars_.push_back(ch);
            other_.push_back(0);
        }
        other_.back() |= bit;
    }
}

std::uint64_t QueryLine::mask_of(char32_t ch) const {
    if (ch < 0x80) return ascii_[ch];
    const auto it = std::lower_bound(other_chars_.begin(), other_chars_.end(), ch);
    if (it == other_chars_.end() || *it != ch) return 0;
    return other_[static_cast<std::size_t>(it - other_chars_.begin())];
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
            if (advance(mask_of(utf8::decode_at(source, pos)))) return limit + 1;
        }
    }
    return score;
}

namespace {

// `a` and `b` without their longest common prefix and suffix (as bytes).
void strip_common_ends(std::string_view& a, std::string_view& b) {
    const std::size_t shorter = std::min(a.size(), b.size());
    std::size_t head = 0;
    while (head + 8 <= shorter) {
        std::uint64_t x = 0;
        std::uint64_t y = 0;
        std::memcpy(&x, a.data() + head, 8);
        std::memcpy(&y, b.data() + head, 8);
        if (x != y) break;
        head += 8;
    }
    while (head < shorter && a[head] == b[head]) ++head;
    a.remove_prefix(head);
    b.remove_prefix(head);
    const std::size_t rest = std::min(a.size(), b.size());
    std::size_t tail = 0;
    while (tail + 8 <= rest) {
        std::uint64_t x = 0;
        std::uint64_t y = 0;
        std::memcpy(&x, a.data() + a.size() - tail - 8, 8);
        std::memcpy(&y, b.data() + b.size() - tail - 8, 8);
        if (x != y) break;
        tail += 8;
    }
    while (tail < rest && a[a.size() - 1 - tail] == b[b.size() - 1 - tail]) ++tail;
    a.remove_suffix(tail);
    b.remove_suffix(tail);
}

}  // namespace

std::uint64_t QueryLine::distance_within(const LineKey& key, std::uint64_t limit,
                                         std::uint64_t& work) const {
    if (key_.chars == 0) return key.chars;
    if (!masked_) {
        // About one word per source character for a close pair (the band of a limit under 64
        // diagonals, after the common prefix and suffix), more for wider bands.
        work += (limit / 64 + 1) * (key.chars + 1);
        std::string_view a = key_.trimmed();
        std::string_view b = key.trimmed();
        // A common prefix or suffix never changes the distance. Two ASCII lines (a byte is a
        // character) lose theirs here eight bytes at a time; the distance below would find them
        // a byte at a time, after checking both lines for ASCII again.
        if (key_.ascii && key.ascii) strip_common_ends(a, b);
        const std::optional<std::uint64_t> d = levenshtein_distance_within(a, b, limit);
        return d ? *d : limit + 1;
    }
    work += key.chars;
    return distance_one_word(key, limit);
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

// Fills row `row` into `out` from the row above: the cost of each cell, and the walk back from it
// carried forward (see the file comment).
void fill_row(const detail::QueryLine& query, std::uint64_t row,
              const std::vector<detail::LineKey>& keys, const detail::AlignCell* above_row,
              detail::AlignCell* out) {
    const std::size_t n = keys.size();
    // Column 0: only query lines so far; a walk from column 0 ends there with no pair.
    out[0] = {static_cast<std::uint32_t>(
                  std::min<std::uint64_t>(std::uint64_t{kCostQueryOnly} * row, kCostMax)),
              0, 0};
    detail::AlignCell left_cell = out[0];
    std::uint64_t work = 0;  // edit-distance word steps since the last poll
    for (std::size_t j = 0; j < n; ++j) {
        const detail::AlignCell& up = above_row[j + 1];
        const std::uint32_t above = saturating_add(up.cost, kCostQueryOnly);
        const std::uint32_t left = saturating_add(left_cell.cost, kCostSourceOnly);
        // QueryOnly on ties; SourceOnly only when strictly cheaper; the walk goes on from the
        // cell the step came from.
        detail::AlignCell cell = left < above
                                     ? detail::AlignCell{left, left_cell.begin, left_cell.paired}
                                     : detail::AlignCell{above, up.begin, up.paired};
        // The diagonal costs at least its origin; the lines matter only if that origin is
        // strictly cheaper than the step taken, and the edit distance only if a similar pair
        // (cost 1) would still win.
        const detail::AlignCell& origin = above_row[j];
        if (origin.cost < cell.cost) {
            const detail::LineKey& key = keys[j];
            std::uint32_t diagonal = kCostMax;
            if (query.equals(key)) {
                diagonal = saturating_add(origin.cost, kCostPairEqual);
            } else if (saturating_add(origin.cost, kCostPairSimilar) < cell.cost) {
                diagonal = saturating_add(origin.cost, query.unequal_pair_cost(key, work));
            }
            // Paired: the walk passes one pair more. A walk passes at most one pair per column,
            // so the count stays below the column count.
            if (diagonal < cell.cost) cell = {diagonal, origin.begin, origin.paired + 1};
        }
        out[j + 1] = cell;
        left_cell = cell;
        if ((j & 1023) == 1023) {
            poll_interrupt(static_cast<std::int64_t>(128 + work / 8));
            work = 0;
        }
    }
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
    // A cell holds source columns in 32 bits. A source of 2^32 lines would take hundreds of
    // gigabytes in the tables above, so this only turns an impossible case into out-of-memory.
    if (column_count_ > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
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
    std::uint64_t query_count = 0;  // query lines once committed
    int last_scratch = 0;           // the scratch row that holds the last new row
};

std::size_t StreamingFuzzyMatcher::table_bytes() const {
    std::size_t cells = last_row_.capacity();
    for (const auto& row : scratch_rows_) cells += row.capacity();
    return cells * sizeof(detail::AlignCell);
}

void StreamingFuzzyMatcher::stage_rows(const std::vector<std::string>& new_lines, StagedRows& staged) {
    // Everything that can fail comes before the matcher's fields change; the only writes below
    // go to the scratch rows.
    const std::size_t width = static_cast<std::size_t>(column_count_);
    const std::uint64_t done = query_lines_.size();  // rows 1 to done exist
    staged.query_count = done + new_lines.size();
    reserve_geometric(query_lines_, staged.query_count);
    for (auto& row : scratch_rows_) row.resize(width);
    // Row 0 costs nothing anywhere (a match may start after any source line), and a walk that
    // reaches it ends in its own column; it stands as the last row until the first resolution
    // commits.
    if (last_row_.size() != width) {
        last_row_.resize(width);
        for (std::size_t c = 0; c < width; ++c) last_row_[c] = {0, static_cast<std::uint32_t>(c), 0};
    }
    const detail::AlignCell* above = last_row_.data();
    for (std::size_t i = 0; i < new_lines.size(); ++i) {
        const int scratch = static_cast<int>(i & 1);
        detail::AlignCell* row = scratch_rows_[scratch].data();
        const detail::QueryLine query(new_lines[i]);
        fill_row(query, done + i + 1, source_keys_, above, row);
        above = row;
        staged.last_scratch = scratch;
    }
}

std::vector<MatchRange> StreamingFuzzyMatcher::staged_ranges(const StagedRows& staged) const {
    const std::size_t width = static_cast<std::size_t>(column_count_);
    if (width <= 1) return {};
    const std::uint64_t query_count = staged.query_count;

    // Every column of least cost in the last row (column 0 excluded) ends a candidate; its cell
    // holds where the walk back from it ends and the pairs it passes.
    const detail::AlignCell* last_row = scratch_rows_[staged.last_scratch].data();
    std::uint32_t least = kCostMax;
    for (std::size_t end = 1; end < width; ++end) least = std::min(least, last_row[end].cost);

    std::vector<MatchRange> ranges;
    for (std::size_t end = 1; end < width; ++end) {
        const detail::AlignCell& cell = last_row[end];
        if (cell.cost != least) continue;
        const std::size_t begin = cell.begin;
        const float covered = static_cast<float>(end - begin);
        const float denominator = std::max(covered, static_cast<float>(query_count));
        if (static_cast<float>(cell.paired) / denominator < kMatchRatioThreshold) continue;
        // A surviving candidate pairs at least one line, so it covers at least one: begin < end.
        ranges.push_back(
            {line_offsets_[begin], line_offsets_[end - 1] + source_lines_[end - 1].size()});
    }
    poll_interrupt(static_cast<std::int64_t>(width / 8 + 1));
    return ranges;
}

void StreamingFuzzyMatcher::commit(std::vector<std::string>& new_lines, StagedRows& staged,
                                   std::vector<MatchRange>& ranges) noexcept {
    // Capacity for every element was reserved by stage_rows, so nothing here allocates.
    for (std::string& line : new_lines) query_lines_.push_back(std::move(line));
    last_row_.swap(scratch_rows_[staged.last_scratch]);
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
