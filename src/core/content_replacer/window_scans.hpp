// The window scans of line_trimmed, whitespace_normalized and escape_normalized with their work
// budget made explicit. Each strategy first compares windows one by one, each comparison stopping
// at its first difference, and starts again with a table laid out for the whole content once
// those comparisons have read the budget (lines for line_trimmed, by default four per content
// line; bytes for the others, by default about the content's size). Both scans give the same
// candidates; a budget of 0 takes the table at once. For tests. And indentation_flexible with a record
// of the paths it took.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "core/content_replacer/types.hpp"

namespace brindle::replacer {

Candidates line_trimmed_replacer_with_budget(const ContentLines& content, std::string_view old_string,
                                             std::optional<std::size_t> budget_lines);
Candidates whitespace_normalized_replacer_with_budget(const ContentLines& content,
                                                      std::string_view old_string,
                                                      std::optional<std::size_t> budget_bytes);
Candidates escape_normalized_replacer_with_budget(const ContentLines& content,
                                                  std::string_view old_string,
                                                  std::optional<std::size_t> budget_bytes);

// What indentation_flexible did, for tests that check which paths their inputs reach.
struct IndentationFlexibleStats {
    bool few_windows = false;         // the few windows with the searched trimmed lines were
                                      // checked one by one
    std::size_t windows_checked = 0;  // windows that passed the key filters
    std::size_t restarts = 0;         // starts of the search of the pieces (see the strategy)
    std::size_t lines_read = 0;       // line forms read by that search
};
Candidates indentation_flexible_replacer_with_stats(const ContentLines& content,
                                                    std::string_view old_string,
                                                    IndentationFlexibleStats* stats);

}  // namespace brindle::replacer
