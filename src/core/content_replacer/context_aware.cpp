// The "context_aware" strategy: blocks with exactly as many lines as the search text, anchored by
// its first and last lines (compared trimmed), whose inner lines agree with the searched inner
// lines on at least half of the pairs that are not blank on both sides.
//
// Design. As for block_anchor, every content line equal to the first anchor starts a block that
// ends at the nearest line at least two lines below equal to the last anchor (AnchorLines gives
// it in O(1)); only that end is considered. A block of the wrong length yields nothing; one of the
// right length has its inner lines compared, trimmed, against the searched inner lines:
//
//     search:  if x:        block:  '  if x:'      anchor
//                  y = 1            '    y = 1'    equal   -> 1 of 1 inner pairs equal
//              end                  '  end'        anchor
//
// Two blocks of the same length L that both pass the length test start at least L - 2 lines
// apart (a start closer than that would share the first block's end), so the inner comparisons
// add up to O(n) over the whole content.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/content_replacer/anchor_lines.hpp"
#include "core/content_replacer/strategies.hpp"
#include "core/text.hpp"

namespace brindle::replacer {

namespace {

// A block spans its two anchors and at least one line between them.
constexpr std::size_t kMinBlockLines = 3;
// Share of the compared inner pairs that must be equal; a share equal to it passes.
constexpr double kMinEqualShare = 0.5;

}  // namespace

Candidates context_aware_replacer(const ContentLines& content, std::string_view old_string) {
    std::vector<std::string_view> search_lines = text::split_lines(old_string);
    if (search_lines.size() < kMinBlockLines) return {};
    if (search_lines.back().empty()) search_lines.pop_back();
    const std::size_t block_lines = search_lines.size();
    if (block_lines < kMinBlockLines) return {};  // every block spans at least three lines

    const std::vector<std::string_view>& lines = content.lines;
    const std::size_t n = lines.size();
    if (n < kMinBlockLines) return {};

    std::vector<std::string_view> search_trimmed;
    search_trimmed.reserve(block_lines);
    for (std::string_view line : search_lines) search_trimmed.push_back(text::trim(line));
    const std::string_view first = search_trimmed.front();
    const AnchorLines anchors(lines, search_trimmed.back());

    Candidates found;
    for (std::size_t start = 0; start + kMinBlockLines <= n; ++start) {
        if (anchors.trimmed(start) != first) continue;
        const std::size_t end = anchors.next_end(start + kMinBlockLines - 1);
        if (end == AnchorLines::npos || end - start + 1 != block_lines) continue;

        // 64-bit counters: a block cannot hold more lines than the content.
        std::int64_t total = 0;
        std::int64_t equal = 0;
        for (std::size_t j = 1; j + 1 < block_lines; ++j) {
            const std::string_view x = anchors.trimmed(start + j);
            const std::string_view y = search_trimmed[j];
            if (x.empty() && y.empty()) continue;
            ++total;
            if (x == y) ++equal;
        }
        if (total == 0 ||
            static_cast<double>(equal) / static_cast<double>(total) >= kMinEqualShare) {
            found.push_back(text::join_lines(lines, start, block_lines));
        }
    }
    return found;
}

}  // namespace brindle::replacer
