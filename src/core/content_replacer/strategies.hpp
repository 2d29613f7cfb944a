// The matching strategies and their table. Each strategy takes the content (with the tables the
// strategies of one call share, built on first use) and the search text exactly as the caller
// gave it, and returns candidate texts taken from the content, in the order the driver must try
// them. An empty list means "nothing found".
//
// kStrategies is the one list of the strategies, in the driver's order; tests, fuzz targets and
// the bindings read names and functions from it. A new strategy is declared here, defined in its
// own file and entered in the table.
#pragma once

#include <array>
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
// The text with the indentation common to its non-blank lines removed; empty when removing it
// would cut a multi-byte whitespace character of some line in two.
std::optional<std::string> try_remove_common_indentation(std::string_view text);

// escape_normalized.cpp
Candidates escape_normalized_replacer(const ContentLines& content, std::string_view old_string);
std::string unescape_string(std::string_view text);

// context_aware.cpp
Candidates context_aware_replacer(const ContentLines& content, std::string_view old_string);

struct Strategy {
    std::string_view name;  // reported as the strategy of a replacement
    Replacer find;
};

// The order is part of the behaviour: the first strategy with an applicable candidate wins.
inline constexpr std::array kStrategies = std::to_array<Strategy>({
    {"simple", simple_replacer},
    {"line_trimmed", line_trimmed_replacer},
    {"block_anchor", block_anchor_replacer},
    {"whitespace_normalized", whitespace_normalized_replacer},
    {"indentation_flexible", indentation_flexible_replacer},
    {"escape_normalized", escape_normalized_replacer},
    {"trimmed_boundary", trimmed_boundary_replacer},
    {"context_aware", context_aware_replacer},
});

}  // namespace brindle::replacer
