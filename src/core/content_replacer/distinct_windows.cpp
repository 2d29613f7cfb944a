// Distinct window texts by hash, with a full comparison on equal hashes: a collision costs time,
// never a wrong answer.
#include "core/content_replacer/distinct_windows.hpp"

namespace brindle::replacer {

void DistinctWindows::remember(std::string_view text) {
    seen_[ContentLines::text_hash(text)].push_back({text, {0, 0}});
}

bool DistinctWindows::equal(Seen& seen, std::size_t begin, std::size_t count) const {
    if (seen.run.count == count) return content_.same_text_as(seen.run, begin);
    const bool same = seen.run.count == 0
                          ? content_.window_equals(begin, count, seen.text)
                          : content_.windows_equal(seen.run.last, seen.run.count, begin, count);
    // A remembered text equal to a window is represented by that window from now on.
    if (same) seen.run = {begin, count};
    return same;
}

bool DistinctWindows::first_time(std::size_t begin, std::size_t count) {
    std::vector<Seen>& bucket = seen_[content_.window_hash(begin, count)];
    for (Seen& seen : bucket) {
        if (equal(seen, begin, count)) return false;
    }
    bucket.push_back({{}, {begin, count}});
    return true;
}

}  // namespace brindle::replacer
