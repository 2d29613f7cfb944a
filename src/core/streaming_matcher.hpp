// The streaming matcher: locates, inside a fixed source text, the lines that correspond to a query
// block that arrives in chunks, by an incremental line alignment kept between pushes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace brindle::streaming {

// Building blocks of the line alignment, exposed for the unit tests.
namespace detail {

// Cost of pairing query line `query` with source line `source` (both untrimmed): 0 when equal
// after trimming, 1 when similar, 13 when different.
std::uint32_t line_pair_cost(std::string_view query, std::string_view source);

// True when 1 - `difference` / `longer` falls below the line-similarity threshold 0.8, computed
// as that double-precision expression (by an exact integer test for lines under 3,000,000 bytes).
// `longer` must be positive and at least `difference`.
bool below_line_similarity(std::uint64_t difference, std::uint64_t longer);

}  // namespace detail

// Byte range [start, end) of the source lines joined with single LFs.
struct MatchRange {
    std::uint64_t start;
    std::uint64_t end;
    friend bool operator==(const MatchRange&, const MatchRange&) = default;
};

// get_text's failure: the offsets after clamping to the joined source.
struct TextRangeError {
    std::uint64_t start;
    std::uint64_t end;
};

class StreamingFuzzyMatcher {
public:
    explicit StreamingFuzzyMatcher(std::string_view source_text);

    // Appends a chunk of the query; resolves once when it completes at least one line. Returns the
    // hint-selected range, else the first range, else nothing.
    std::optional<MatchRange> push(std::string_view chunk, std::optional<std::uint32_t> line_hint);

    // Flushes the incomplete last line (if any) and returns a copy of the current ranges.
    std::vector<MatchRange> finish();

    // The range nearest the stored hint (or the only range); nothing when no choice can be made.
    std::optional<MatchRange> select_best_match() const;

    // The text of `range` in the joined source, offsets clamped to it.
    std::variant<std::string, TextRangeError> get_text(MatchRange range) const;

    const std::vector<std::string>& source_lines() const { return source_lines_; }
    const std::vector<std::string>& query_lines() const { return query_lines_; }
    const std::vector<MatchRange>& matches() const { return matches_; }

    // Bytes held by the alignment table (for memory measurements).
    std::size_t table_bytes() const;

private:
    // The last step of a cell's least-cost alignment: which neighbour the cell was reached from.
    enum class AlignStep : std::uint8_t {
        QueryOnly = 0,   // from (r - 1, c): the query line stands unpaired
        SourceOnly = 1,  // from (r, c - 1): the source line is passed over
        Paired = 2,      // from (r - 1, c - 1): the two lines are paired
    };

    // A source line after trimming: its byte offset into the line and its byte length.
    struct LineSpan {
        std::size_t begin;
        std::size_t length;
    };

    std::vector<MatchRange> resolve_location_fuzzy();
    void grow_table(std::uint64_t rows);
    void fill_row(std::uint64_t row);
    std::string_view trimmed_source_line(std::size_t index) const;
    std::uint64_t joined_length() const;
    std::size_t line_containing(std::uint64_t offset) const;
    bool is_joined_char_boundary(std::uint64_t offset) const;

    std::vector<std::string> source_lines_;
    std::vector<LineSpan> trimmed_source_;  // one per source line, computed once
    std::vector<std::uint64_t> line_offsets_;
    std::vector<std::string> query_lines_;
    std::string incomplete_line_;
    std::vector<MatchRange> matches_;
    // Alignment table, row-major, column_count_ cells per row: costs and steps in parallel arrays.
    std::vector<std::uint32_t> costs_;
    std::vector<AlignStep> steps_;
    std::uint64_t column_count_ = 0;
    std::uint64_t row_count_ = 0;
    std::optional<std::uint32_t> line_hint_;
};

}  // namespace brindle::streaming
