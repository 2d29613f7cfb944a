// Records and function types shared by the replacement driver, its strategies and diagnostics.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace brindle::replacer {

// A successful replacement.
struct ReplaceResult {
    std::string content;       // the whole content after the replacement
    std::string matched_text;  // the candidate as it was found in the old content
    std::uint64_t start_line;  // 1-based line of the first replaced byte
    std::uint64_t end_line;    // start_line plus the LF bytes in matched_text
    std::string strategy;      // table name of the strategy that produced the candidate
};

// The closest near-miss reported when a block cannot be found.
struct FuzzyMatchInfo {
    double similarity;
    std::uint64_t start_line;  // 1-based, first line of the window
    std::uint64_t end_line;    // 1-based, last line of the window (inclusive)
    std::string text;
    std::string diff;
};

struct NoChange {};

struct NotFound {
    std::string message;
    std::optional<FuzzyMatchInfo> closest_match;
};

struct MultipleMatches {
    std::string message;
    std::vector<std::uint64_t> locations;  // 1-based line numbers, ascending
};

using ReplaceError = std::variant<NoChange, NotFound, MultipleMatches>;
using ReplaceOutcome = std::variant<ReplaceResult, ReplaceError>;

// The text being searched, split into lines once per call and shared by every strategy and the
// diagnostics. `lines` are views into `text`.
struct ContentLines {
    std::string_view text;
    std::vector<std::string_view> lines;

    explicit ContentLines(std::string_view t);
};

// Candidate texts of a strategy, in the order the driver tries them.
using Candidates = std::vector<std::string>;

// A matching strategy: a pure function of the content and the search text.
using Replacer = Candidates (*)(const ContentLines& content, std::string_view old_string);

}  // namespace brindle::replacer
