// The replacement driver: asks the strategies in their fixed order for candidates and applies the
// first one that can be placed unambiguously.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/content_replacer/types.hpp"

namespace brindle::replacer {

// Replaces `old_string` (or the text a tolerant strategy finds for it) in `content`.
// `line_hint` is a 1-based line number that picks among several occurrences.
ReplaceOutcome replace_content(std::string_view content, std::string_view old_string,
                               std::string_view new_string, bool replace_all,
                               std::optional<std::uint32_t> line_hint);

}  // namespace brindle::replacer
