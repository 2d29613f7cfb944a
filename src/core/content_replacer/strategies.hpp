// The eight matching strategies. Each takes the content (split into lines once by the driver) and
// the search text exactly as the caller gave it, and returns candidate texts taken from the
// content, in the order the driver must try them. An empty list means "nothing found".
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/content_replacer/types.hpp"

namespace brindle::replacer {

// exact.cpp
Candidates simple_replacer(const ContentLines& content, std::string_view old_string);
Candidates line_trimmed_replacer(const ContentLines& content, std::string_view old_string);
Candidates trimmed_boundary_replacer(const ContentLines& content, std::string_view old_string);

// block_anchor.cpp
Candidates block_anchor_replacer(const ContentLines& content, std::string_view old_string);

// whitespace_normalized.cpp
Candidates whitespace_normalized_replacer(const ContentLines& content, std::string_view old_string);
std::string normalize_whitespace(std::string_view text);

// indentation_flexible.cpp
Candidates indentation_flexible_replacer(const ContentLines& content, std::string_view old_string);
std::string remove_common_indentation(std::string_view text);
// As remove_common_indentation, but empty when removing the common indentation would cut a
// multi-byte whitespace character of some line in two (remove_common_indentation then returns
// the text unchanged).
std::optional<std::string> try_remove_common_indentation(std::string_view text);

// escape_normalized.cpp
Candidates escape_normalized_replacer(const ContentLines& content, std::string_view old_string);
std::string unescape_string(std::string_view text);

// context_aware.cpp
Candidates context_aware_replacer(const ContentLines& content, std::string_view old_string);

}  // namespace brindle::replacer
