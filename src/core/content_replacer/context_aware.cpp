// The "context_aware" strategy: blocks with exactly as many lines as the search text, anchored by
// its first and last lines (compared trimmed), whose inner lines agree with the searched inner
// lines on at least half of the pairs that are not blank on both sides.
//
// Design. As for block_anchor, every content line equal to the first anchor starts a block that
// ends at the nearest line at least two lines below equal to the last anchor (anchored_blocks);
// only that end is considered. A block of the wrong length yields nothing; one of the right length
// has its inner lines compared, trimmed, against the searched inner lines:
//
//     search:  if x:        block:  '  if x:'      anchor
//                  y = 1            '    y = 1'    equal   -> 1 of 1 inner pairs equal
//              end                  '  end'        anchor
//
// Trimmed lines are compared by their ids (ContentLines); a searched line that no content line
// has gets an id that equals none. Two blocks of the same length L that both pass the length test
// start at least L - 2 lines apart (a start closer than that would share the first block's end),
// so the inner comparisons add up to O(n) over the whole content.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/cancel.hpp"
#include "core/content_replacer/anchor_lines.hpp"
#include "core/content_replacer/strategies.hpp"
#include "core/text.hpp"

namespace brindle::replacer {

namespace {

// Share of the compared inner pairs that must be equal; a share equal to it passes.
constexpr double kMinEqualShare = 0.5;

}  // namespace

Candidates context_aware_replacer(const ContentLines& content, std::string_view old_string) {
    std::vector<std::string_view> search_lines = text::split_lines(old_string);
    if (search_lines.size() < kMinBlockLines) return {};
    if (search_lines.back().empty()) search_lines.pop_back();
    const std::size_t block_lines = search_lines.size();
    if (block_lines < kMinBlockLines) return {};  // every block spans at least three lines

    const std::string_view search_trimmed_first = text::trim(search_lines.front());
    const std::string_view search_trimmed_last = text::trim(search_lines.back());
    Candidates found;
    const std::uint32_t blank = content.id_of_trimmed("");
    std::vector<std::uint32_t> search_ids;  // of the inner lines; kAbsent where no line has it
    std::vector<bool> search_blank;
    search_ids.reserve(block_lines);
    search_blank.reserve(block_lines);
    for (std::string_view line : search_lines) {
        const std::string_view trimmed = text::trim(line);
        search_ids.push_back(content.id_of_trimmed(trimmed));
        search_blank.push_back(trimmed.empty());
    }

    const std::vector<std::uint32_t>& ids = content.trimmed_ids();
    for_each_anchored_block(
        content, search_trimmed_first, search_trimmed_last, [&](AnchoredBlock block) {
            if (block.end - block.start + 1 != block_lines) return true;
            // 64-bit counters: a block cannot hold more lines than the content.
            std::int64_t total = 0;
            std::int64_t equal = 0;
            for (std::size_t j = 1; j + 1 < block_lines; ++j) {
                const std::uint32_t x = ids[block.start + j];
                if (x == blank && search_blank[j]) continue;
                ++total;
                if (x == search_ids[j]) ++equal;
            }
            if (total == 0 ||
                static_cast<double>(equal) / static_cast<double>(total) >= kMinEqualShare) {
                found.add_window(content, block.start, block_lines);
            }
            return true;
        });
    return found;
}

}  // namespace brindle::replacer
