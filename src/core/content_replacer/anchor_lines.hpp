// The anchored-block scan shared by the strategies that look for a block between two anchor lines
// (block_anchor, context_aware).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/cancel.hpp"
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
// end yields nothing. `visit` is called with each block in ascending order of its start (blocks
// may overlap or nest) and returns false to stop the scan.
//
// Lines are compared by trimmed-line id (ContentLines), so an anchor that no content line has
// ends the scan before it starts. The nearest end only moves down as the start does, so one
// forward sweep finds them all: linear in the number of lines, with no table.
template <class Visit>
void for_each_anchored_block(const ContentLines& content, std::string_view first, std::string_view last,
                             Visit&& visit) {
    const std::size_t n = content.lines.size();
    if (n < kMinBlockLines) return;
    const std::uint32_t first_id = content.id_of_trimmed(first);
    const std::uint32_t last_id = content.id_of_trimmed(last);
    if (first_id == ContentLines::kAbsent || last_id == ContentLines::kAbsent) return;
    const std::vector<std::uint32_t>& ids = content.trimmed_ids();
    std::size_t end = 0;  // the nearest end line at or below start + 2 (n: none)
    for (std::size_t start = 0; start + kMinBlockLines <= n; ++start) {
        poll_interrupt();
        if (ids[start] != first_id) continue;
        if (end < start + kMinBlockLines - 1) end = start + kMinBlockLines - 1;
        while (end < n && ids[end] != last_id) {
            ++end;
            poll_interrupt();
        }
        if (end == n) return;
        if (!visit(AnchoredBlock{start, end})) return;
    }
}

}  // namespace brindle::replacer
