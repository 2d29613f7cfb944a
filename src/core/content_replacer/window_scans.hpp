// The window scans of line_trimmed, whitespace_normalized and escape_normalized with their work
// budget made explicit. Each strategy first compares windows one by one, each comparison stopping
// at its first difference, and starts again with a table laid out for the whole content once
// those comparisons have read the budget (lines for line_trimmed, bytes for the others; by default
// a few times the content's size). Both scans give the same candidates; a budget of 0 takes the
// table at once. For tests.
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

}  // namespace brindle::replacer
