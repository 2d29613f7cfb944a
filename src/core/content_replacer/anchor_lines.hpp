// The anchored-block scan shared by the strategies that look for a block between two anchor lines
// (block_anchor, context_aware).
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "core/content_replacer/types.hpp"

namespace brindle::replacer {

// A block spans its two anchors and at least one line between them.
inline constexpr std::size_t kMinBlockLines = 3;

struct AnchoredBlock {
    std::size_t start;  // index of the first content line
    std::size_t end;    // index of the last content line, at least start + 2
};

// Every content line whose trimmed text equals `first` starts a block, which ends at the nearest
// line at least two lines further down whose trimmed text equals `last`; a start without such an
// end yields nothing. Blocks in ascending order of their start; they may overlap or nest.
//
// Lines are compared by trimmed-line id (ContentLines), so an anchor that no content line has
// ends the scan before it starts, and the ends come from one merge of the sorted start and end
// positions: linear in the number of lines.
std::vector<AnchoredBlock> anchored_blocks(const ContentLines& content, std::string_view first,
                                           std::string_view last);

}  // namespace brindle::replacer
