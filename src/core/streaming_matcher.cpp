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
// Query lines are only ever appended, so the table keeps its rows between pushes and a resolution
// computes only the rows of the new lines: new lines x source lines cells, 5 bytes each (a 32-bit
// cost and a one-byte step in two parallel arrays). The source lines are trimmed once at
// construction and each query line once per row. The pair cost is only looked at when the
// diagonal could still be strictly cheaper than the step already taken; unequal lines are rejected
// on their trimmed byte lengths before any character is decoded, and only pairs within a fifth of
// each other's length reach the edit distance.
#include "core/streaming_matcher.hpp"

#include <algorithm>
#include <limits>

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

constexpr std::uint32_t kCostMax = std::numeric_limits<std::uint32_t>::max();

constexpr std::uint32_t saturating_add(std::uint32_t a, std::uint32_t b) {
    return a > kCostMax - b ? kCostMax : a + b;
}

// Pair cost of two trimmed lines already known to differ: similar or different.
std::uint32_t unequal_pair_cost(std::string_view q, std::string_view s) {
    if (q.empty() || s.empty()) return kCostPairDifferent;
    const std::uint64_t longer = std::max(q.size(), s.size());
    const std::uint64_t shorter = std::min(q.size(), s.size());
    if (detail::below_line_similarity(longer - shorter, longer)) return kCostPairDifferent;
    const std::uint64_t distance = levenshtein_distance(q, s);
    return detail::below_line_similarity(distance, longer) ? kCostPairDifferent
                                                           : kCostPairSimilar;
}

}  // namespace

namespace detail {

bool below_line_similarity(std::uint64_t difference, std::uint64_t longer) {
    if (longer < kExactIntegerTestLimit) return 5 * difference > longer;
    return 1.0 - static_cast<double>(difference) / static_cast<double>(longer) <
           kLineSimilarityThreshold;
}

std::uint32_t line_pair_cost(std::string_view query, std::string_view source) {
    const std::string_view q = text::trim(query);
    const std::string_view s = text::trim(source);
    if (q == s) return kCostPairEqual;
    return unequal_pair_cost(q, s);
}

}  // namespace detail

StreamingFuzzyMatcher::StreamingFuzzyMatcher(std::string_view source_text) {
    const std::vector<std::string_view> lines = text::split_lines(source_text);
    source_lines_.reserve(lines.size());
    trimmed_source_.reserve(lines.size());
    line_offsets_.reserve(lines.size() + 1);
    std::uint64_t offset = 0;
    for (const std::string_view line : lines) {
        source_lines_.emplace_back(line);
        const std::string_view trimmed = text::trim(line);
        trimmed_source_.push_back(
            {static_cast<std::size_t>(trimmed.data() - line.data()), trimmed.size()});
        line_offsets_.push_back(offset);
        offset += line.size() + 1;
    }
    line_offsets_.push_back(offset);
    column_count_ = lines.size() + 1;
}

std::string_view StreamingFuzzyMatcher::trimmed_source_line(std::size_t index) const {
    const LineSpan span = trimmed_source_[index];
    return std::string_view(source_lines_[index]).substr(span.begin, span.length);
}

// ---------------------------------------------------------------------------------------------
// Chunk ingestion
// ---------------------------------------------------------------------------------------------

std::optional<MatchRange> StreamingFuzzyMatcher::push(std::string_view chunk,
                                                      std::optional<std::uint32_t> line_hint) {
    if (line_hint) line_hint_ = line_hint;
    // The buffer never holds an LF, so the last LF of buffer + chunk is the chunk's last LF: only
    // the new text is searched, and a long line arriving in many chunks costs linear time.
    const std::size_t last_lf = chunk.rfind('\n');
    if (last_lf == std::string_view::npos) {
        incomplete_line_.append(chunk);
    } else {
        // A CR left at the end of the buffer and an LF opening this chunk end one line together.
        incomplete_line_.append(chunk.substr(0, last_lf + 1));
        for (const std::string_view line : text::split_lines(incomplete_line_)) {
            query_lines_.emplace_back(line);
        }
        incomplete_line_.assign(chunk.substr(last_lf + 1));
        matches_ = resolve_location_fuzzy();
    }
    if (std::optional<MatchRange> best = select_best_match()) return best;
    if (!matches_.empty()) return matches_.front();
    return std::nullopt;
}

std::vector<MatchRange> StreamingFuzzyMatcher::finish() {
    if (!incomplete_line_.empty()) {
        // No LF follows, so the line is kept whole, a trailing CR included.
        query_lines_.push_back(std::move(incomplete_line_));
        incomplete_line_.clear();
        matches_ = resolve_location_fuzzy();
    }
    return matches_;
}

// ---------------------------------------------------------------------------------------------
// Alignment
// ---------------------------------------------------------------------------------------------

std::size_t StreamingFuzzyMatcher::table_bytes() const {
    return costs_.capacity() * sizeof(std::uint32_t) + steps_.capacity() * sizeof(AlignStep);
}

void StreamingFuzzyMatcher::grow_table(std::uint64_t rows) {
    const std::size_t width = static_cast<std::size_t>(column_count_);
    const std::size_t cells = static_cast<std::size_t>(rows) * width;
    if (cells > costs_.capacity()) {
        // Whole rows, half as many again as held now, so that a line-by-line stream reallocates
        // only logarithmically often without doubling a large table.
        const std::size_t held_rows = costs_.capacity() / width;
        const std::size_t new_rows =
            std::max(static_cast<std::size_t>(rows), held_rows + held_rows / 2);
        costs_.reserve(new_rows * width);
        steps_.reserve(new_rows * width);
    }
    costs_.resize(cells, 0);
    steps_.resize(cells, AlignStep::Paired);
}

void StreamingFuzzyMatcher::fill_row(std::uint64_t row) {
    const std::size_t width = static_cast<std::size_t>(column_count_);
    const std::size_t base = static_cast<std::size_t>(row) * width;
    const std::uint32_t* above_row = costs_.data() + (base - width);
    std::uint32_t* cost = costs_.data() + base;
    AlignStep* step = steps_.data() + base;

    cost[0] = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(std::uint64_t{kCostQueryOnly} * row, kCostMax));
    step[0] = AlignStep::QueryOnly;

    const std::string_view query = text::trim(query_lines_[static_cast<std::size_t>(row - 1)]);
    for (std::size_t c = 1; c < width; ++c) {
        const std::uint32_t above = saturating_add(above_row[c], kCostQueryOnly);
        const std::uint32_t left = saturating_add(cost[c - 1], kCostSourceOnly);
        std::uint32_t best = above;
        AlignStep best_step = AlignStep::QueryOnly;
        if (left < above) {
            best = left;
            best_step = AlignStep::SourceOnly;
        }
        // The diagonal costs at least its origin; the pair cost matters only if that origin is
        // strictly cheaper than the step taken, and the edit distance only if a similar pair
        // (cost 1) would still win.
        const std::uint32_t origin = above_row[c - 1];
        if (origin < best) {
            const std::string_view source = trimmed_source_line(c - 1);
            std::uint32_t diagonal = kCostMax;
            if (query == source) {
                diagonal = saturating_add(origin, kCostPairEqual);
            } else if (saturating_add(origin, kCostPairSimilar) < best) {
                diagonal = saturating_add(origin, unequal_pair_cost(query, source));
            }
            if (diagonal < best) {
                best = diagonal;
                best_step = AlignStep::Paired;
            }
        }
        cost[c] = best;
        step[c] = best_step;
    }
}

std::vector<MatchRange> StreamingFuzzyMatcher::resolve_location_fuzzy() {
    const std::uint64_t query_count = query_lines_.size();
    const std::uint64_t done = row_count_ > 0 ? row_count_ - 1 : 0;
    if (query_count == done) return {};
    if (query_count >= row_count_) {
        row_count_ = query_count + 1;
        grow_table(row_count_);  // a new row 0 is all zero cost: a match may start anywhere
    }
    for (std::uint64_t i = done; i < query_count; ++i) fill_row(i + 1);

    const std::size_t width = static_cast<std::size_t>(column_count_);
    if (width <= 1) return {};

    // Every column of least cost in the last row (column 0 excluded) ends a candidate.
    const std::size_t last = static_cast<std::size_t>(query_count) * width;
    const std::uint32_t* last_row = costs_.data() + last;
    const std::uint32_t least = *std::min_element(last_row + 1, last_row + width);

    std::vector<MatchRange> ranges;
    for (std::size_t end = 1; end < width; ++end) {
        if (last_row[end] != least) continue;
        std::size_t r = static_cast<std::size_t>(query_count);
        std::size_t c = end;
        std::uint64_t paired = 0;
        while (r > 0 && c > 0) {
            switch (steps_[r * width + c]) {
                case AlignStep::Paired:
                    --r;
                    --c;
                    ++paired;
                    break;
                case AlignStep::QueryOnly:
                    --r;
                    break;
                case AlignStep::SourceOnly:
                    --c;
                    break;
            }
        }
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
