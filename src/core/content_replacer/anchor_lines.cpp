// The blocks between a first and a nearest last anchor line.
#include "core/content_replacer/anchor_lines.hpp"

#include <cstdint>

#include "core/cancel.hpp"

namespace brindle::replacer {

std::vector<AnchoredBlock> anchored_blocks(const ContentLines& content, std::string_view first,
                                           std::string_view last) {
    const std::size_t n = content.lines.size();
    if (n < kMinBlockLines) return {};
    const std::uint32_t first_id = content.id_of_trimmed(first);
    const std::uint32_t last_id = content.id_of_trimmed(last);
    if (first_id == ContentLines::kAbsent || last_id == ContentLines::kAbsent) return {};

    const std::vector<std::uint32_t>& ids = content.trimmed_ids();
    std::vector<std::size_t> ends;  // ascending
    for (std::size_t k = kMinBlockLines - 1; k < n; ++k) {
        if (ids[k] == last_id) ends.push_back(k);
        if ((k & 255) == 0) poll_interrupt();
    }
    std::vector<AnchoredBlock> blocks;
    std::size_t e = 0;  // the first end not below the current start + 2
    for (std::size_t start = 0; start + kMinBlockLines <= n; ++start) {
        if (ids[start] != first_id) continue;
        while (e < ends.size() && ends[e] < start + kMinBlockLines - 1) ++e;
        if (e == ends.size()) break;
        blocks.push_back({start, ends[e]});
        poll_interrupt();
    }
    return blocks;
}

}  // namespace brindle::replacer
