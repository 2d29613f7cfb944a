// DistinctWindows: tells which windows of content lines have a text not seen before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/content_replacer/types.hpp"

namespace brindle::replacer {

// A window's text is hashed in O(1) from the content's window hashes and compared in full only
// with earlier texts of the same hash, so that telling whether a matching window repeats an earlier
// candidate neither builds nor hashes its text. A text seen before keeps its latest window as a
// ContentLines::WindowRun, so that thousands of equal windows of thousands of lines, coming in
// ascending order, cost a comparison of the lines between them, not of every window in full.
// Nothing is built before the first window is asked about.
class DistinctWindows {
public:
    explicit DistinctWindows(const ContentLines& content) : content_(content) {}

    // Counts `text` as already handed out. It must outlive this object.
    void remember(std::string_view text);

    // True unless the text of lines begin..begin+count-1 (count >= 1) joined with LF was seen or
    // remembered before; then it counts as seen.
    bool first_time(std::size_t begin, std::size_t count);

private:
    struct Seen {
        std::string_view text;  // a remembered text, when run.count is 0
        ContentLines::WindowRun run{0, 0};
    };
    bool equal(Seen& seen, std::size_t begin, std::size_t count) const;

    const ContentLines& content_;
    std::unordered_map<std::uint64_t, std::vector<Seen>> seen_;
};

}  // namespace brindle::replacer
