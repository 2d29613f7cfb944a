// Trimmed content lines with the index of the nearest end-anchor line below each line.
#include "core/content_replacer/anchor_lines.hpp"

#include "core/text.hpp"

namespace brindle::replacer {

AnchorLines::AnchorLines(const std::vector<std::string_view>& lines, std::string_view end_anchor) {
    const std::size_t n = lines.size();
    trimmed_.reserve(n);
    for (std::string_view line : lines) trimmed_.push_back(text::trim(line));
    // One backward sweep: next_end_[k] is k itself when line k is an anchor, else next_end_[k + 1].
    next_end_.assign(n, npos);
    std::size_t next = npos;
    for (std::size_t k = n; k-- > 0;) {
        if (trimmed_[k] == end_anchor) next = k;
        next_end_[k] = next;
    }
}

}  // namespace brindle::replacer
