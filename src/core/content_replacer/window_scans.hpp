// The window scans of whitespace_normalized and escape_normalized with their work budget made
// explicit. Each strategy first compares windows one by one, each comparison stopping at its first
// difference, and starts again with a text laid out for the whole content once those comparisons
// have read `budget_bytes` (by default a few times the content's size). Both scans give the same
// candidates; a budget of 0 takes the laid-out text at once. For tests.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "core/content_replacer/types.hpp"

namespace brindle::replacer {

Candidates whitespace_normalized_replacer_with_budget(const ContentLines& content,
                                                      std::string_view old_string,
                                                      std::optional<std::size_t> budget_bytes);
Candidates escape_normalized_replacer_with_budget(const ContentLines& content,
                                                  std::string_view old_string,
                                                  std::optional<std::size_t> budget_bytes);

}  // namespace brindle::replacer
