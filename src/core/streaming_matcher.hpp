// The streaming matcher: locates, inside a fixed source text, the lines that correspond to a query
// block that arrives in chunks, by an incremental line alignment kept between pushes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace brindle::streaming {

// Building blocks of the line alignment, exposed for the unit tests.
namespace detail {

// What the pair test needs of a trimmed line besides its bytes, computed once per line: a hash
// for the equality test, the character count and a set of character classes for lower bounds on
// the edit distance.
struct LineKey {
    const char* text = nullptr;  // the trimmed text, inside the line it was made from
    std::size_t length = 0;      // byte length of the trimmed text
    std::size_t chars = 0;       // characters of the trimmed text
    std::uint64_t hash = 0;
    std::uint64_t classes[2] = {0, 0};  // bit set of character classes (ASCII exact, others hashed)
    bool ascii = true;                  // every byte below 0x80, so that a byte is a character

    std::string_view trimmed() const { return {text, length}; }
};

// The key of `line`; it refers to `line`'s bytes, which must outlive it.
LineKey line_key(std::string_view line);

// A trimmed query line prepared for comparison with many source lines: its key and the bit masks
// of the bit-parallel edit distance, built once per query line.
class QueryLine {
public:
    explicit QueryLine(std::string_view line);

    // Pair cost against the source line with key `source`: 0 equal, 1 similar, 13 different.
    // `work` accumulates the 64-bit word steps of the edit distances run.
    std::uint32_t pair_cost(const LineKey& source, std::uint64_t& work) const {
        return equals(source) ? 0 : unequal_pair_cost(source, work);
    }

    // True when the source line with key `source` equals this line (both trimmed).
    bool equals(const LineKey& source) const {
        return source.hash == key_.hash && source.length == key_.length &&
               source.trimmed() == key_.trimmed();
    }

    // Pair cost against a source line known not to equal this one: 1 similar, 13 different.
    std::uint32_t unequal_pair_cost(const LineKey& source, std::uint64_t& work) const;

    // The edit distance to the source line with key `source` in characters when it is at most
    // `limit`, else some value above `limit`. Adds its word steps to `work`.
    std::uint64_t distance_within(const LineKey& source, std::uint64_t limit,
                                  std::uint64_t& work) const;

    const LineKey& key() const { return key_; }

private:
    // The masks of character `ch`, one word per 64-character block (all zero when absent).
    const std::uint64_t* masks_of(char32_t ch) const;
    std::uint64_t distance_one_word(const LineKey& source, std::uint64_t limit) const;
    std::uint64_t distance_blocks(const LineKey& source, std::uint64_t limit) const;

    LineKey key_;
    std::size_t words_ = 0;  // 64-character blocks of the line
    // Masks of the ASCII characters, [ch * words_ + block]; row 128 is all zero (absent characters).
    std::vector<std::uint64_t> ascii_;
    std::vector<char32_t> other_chars_;           // the other characters of the line, ascending
    std::vector<std::uint64_t> other_;            // their masks: [index * words_ + block]
    mutable std::vector<std::uint64_t> vp_, vn_;  // column state of the multi-word distance
};

// Cost of pairing query line `query` with source line `source` (both untrimmed): 0 when equal
// after trimming, 1 when similar, 13 when different. The same code the alignment runs per cell.
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
    // Not copyable: the line keys refer into the matcher's own source lines.
    StreamingFuzzyMatcher(const StreamingFuzzyMatcher&) = delete;
    StreamingFuzzyMatcher& operator=(const StreamingFuzzyMatcher&) = delete;
    StreamingFuzzyMatcher(StreamingFuzzyMatcher&&) = default;
    StreamingFuzzyMatcher& operator=(StreamingFuzzyMatcher&&) = default;

    // Appends a chunk of the query; resolves once when it completes at least one line. Returns the
    // hint-selected range, else the first range, else nothing. All or nothing: when it throws (out
    // of memory, or an interrupt hook that throws, see cancel.hpp) the matcher is as before.
    std::optional<MatchRange> push(std::string_view chunk, std::optional<std::uint32_t> line_hint);

    // Flushes the incomplete last line (if any) and returns a copy of the current ranges. All or
    // nothing, like `push`.
    std::vector<MatchRange> finish();

    // The range nearest the stored hint (or the only range); nothing when no choice can be made.
    std::optional<MatchRange> select_best_match() const;

    // The text of `range` in the joined source, offsets clamped to it.
    std::variant<std::string, TextRangeError> get_text(MatchRange range) const;

    const std::vector<std::string>& source_lines() const { return source_lines_; }
    const std::vector<std::string>& query_lines() const { return query_lines_; }
    const std::vector<MatchRange>& matches() const { return matches_; }

    // Bytes held by the alignment table: the kept cost rows and the step blocks (for memory
    // measurements).
    std::size_t table_bytes() const;

    // Rows of steps per allocated block, and the address of row `row`'s steps (1 to the number of
    // query lines): lets tests check that growing the table leaves existing rows in place.
    std::size_t rows_per_block() const { return rows_per_block_; }
    const void* step_row_address(std::uint64_t row) const;

private:
    // The last step of a cell's least-cost alignment: which neighbour the cell was reached from.
    // Stored in two bits per cell.
    enum class AlignStep : std::uint8_t {
        QueryOnly = 0,   // from (r - 1, c): the query line stands unpaired
        SourceOnly = 1,  // from (r, c - 1): the source line is passed over
        Paired = 2,      // from (r - 1, c - 1): the two lines are paired
    };

    // What the rows of one resolution produced before it is committed to the matcher.
    struct StagedRows;

    // Appends `new_lines` (moved from) to the query lines, computes their rows and replaces the
    // matches; stores a copy of the new matches in `copy` when given. All or nothing.
    void resolve_location_fuzzy(std::vector<std::string>& new_lines, std::vector<MatchRange>* copy);
    void stage_rows(const std::vector<std::string>& new_lines, StagedRows& staged);
    std::vector<MatchRange> staged_ranges(const StagedRows& staged) const;
    void commit(std::vector<std::string>& new_lines, StagedRows& staged,
                std::vector<MatchRange>& ranges) noexcept;
    // The steps of row `row` (1 or more), in a committed block or in one of `staged`'s.
    const std::uint64_t* step_row(std::uint64_t row, const StagedRows& staged) const;
    std::uint64_t* staged_step_row(std::uint64_t row, StagedRows& staged);
    std::uint64_t joined_length() const;
    std::size_t line_containing(std::uint64_t offset) const;
    bool is_joined_char_boundary(std::uint64_t offset) const;

    std::vector<std::string> source_lines_;
    std::vector<detail::LineKey> source_keys_;  // one per source line, computed once
    std::vector<std::uint64_t> line_offsets_;
    std::vector<std::string> query_lines_;
    std::string incomplete_line_;
    std::vector<MatchRange> matches_;
    std::uint64_t column_count_ = 0;
    std::uint64_t row_count_ = 0;
    std::optional<std::uint32_t> line_hint_;

    // Alignment table. The recurrence reads only the row above, so the costs of the last finished
    // row are all that is kept (plus two scratch rows for a resolution in progress); the steps of
    // every row are kept for the walk back, two bits a cell, 32 cells a word, in blocks of whole
    // rows that are allocated as the query grows and never moved.
    std::vector<std::uint32_t> last_costs_;
    std::vector<std::uint32_t> scratch_costs_[2];
    std::size_t row_words_ = 0;       // words of steps per row (columns 1 to n)
    std::size_t rows_per_block_ = 0;  // rows of steps per block
    std::vector<std::unique_ptr<std::uint64_t[]>> step_blocks_;
};

}  // namespace brindle::streaming
