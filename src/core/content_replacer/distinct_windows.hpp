// DistinctWindows: hands out the texts of windows of content lines, each distinct text once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace brindle::replacer {

// The content lines joined with LF once, so that the text of any window is one stretch of it, with
// a polynomial hash of the text up to every line start. A window's text is then hashed in
// O(log length) and compared in full only with earlier texts of the same hash and length, so that
// telling whether a matching window repeats an earlier candidate does not build or hash its text
// again (thousands of equal windows of thousands of lines stay cheap).
class DistinctWindows {
public:
    explicit DistinctWindows(const std::vector<std::string_view>& lines);

    // Counts `text` as already handed out. It must outlive this object.
    void remember(std::string_view text);

    // The text of lines begin..begin+count-1 (count >= 1) joined with LF, unless an equal text was
    // handed out or remembered before; the view points into this object.
    std::optional<std::string_view> first_time(std::size_t begin, std::size_t count);

private:
    std::uint64_t hash_of_stretch(std::size_t from, std::size_t to) const;
    bool seen_before(std::uint64_t hash, std::string_view text);

    std::string joined_;
    std::vector<std::size_t> start_;        // line k starts at joined_[start_[k]]; start_[n] = end + 1
    std::vector<std::uint64_t> prefix_;     // hash of joined_[0, start_[k])
    std::unordered_map<std::uint64_t, std::vector<std::string_view>> seen_;
};

}  // namespace brindle::replacer
