// Trimmed content lines with a "next anchor" index, shared by the strategies that look for a
// block between two anchor lines (block_anchor, context_aware).
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace brindle::replacer {

// The content lines trimmed once, and for one anchor text the nearest line at or below each
// index whose trimmed text equals it. Finding the end of a block is then O(1) per start line
// instead of a rescan of everything below it.
class AnchorLines {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    // `lines` must outlive this object (the trimmed views point into the same text).
    AnchorLines(const std::vector<std::string_view>& lines, std::string_view end_anchor);

    std::size_t size() const { return trimmed_.size(); }
    std::string_view trimmed(std::size_t k) const { return trimmed_[k]; }

    // Smallest index >= `from` whose trimmed line equals the end anchor; npos when there is none
    // (also when `from` lies beyond the last line).
    std::size_t next_end(std::size_t from) const {
        return from < next_end_.size() ? next_end_[from] : npos;
    }

private:
    std::vector<std::string_view> trimmed_;
    std::vector<std::size_t> next_end_;
};

}  // namespace brindle::replacer
