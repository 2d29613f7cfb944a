// All start positions of a pattern in a text (or of a key sequence in another), found in one
// linear pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/cancel.hpp"

namespace brindle::replacer {

// Element p (0 <= p <= hay.size()) is true when `needle` occurs in `hay` starting at byte p;
// overlapping occurrences all count, and the empty needle occurs at every position.
// Time O(|hay| + |needle|), whatever the texts (no quadratic worst case).
std::vector<bool> occurrence_starts(std::string_view hay, std::string_view needle);

// The same for sequences of keys (for instance one key per line).
std::vector<bool> occurrence_starts(std::span<const std::uint64_t> hay,
                                    std::span<const std::uint64_t> needle);
std::vector<bool> occurrence_starts(std::span<const std::uint32_t> hay,
                                    std::span<const std::uint32_t> needle);

class LazyLines;

// The same for `lines` joined with LF (element p for 0 <= p <= the joined length), without
// building the joined text whole: it is searched a stretch of about `stretch_bytes` (at least
// four times the needle's length) at a time.
std::vector<bool> occurrence_starts_in_lines(const LazyLines& lines, std::string_view needle,
                                             std::size_t stretch_bytes = std::size_t{1} << 16);

// The same for a sequence of `hay_size` keys that is never laid out: key_at(p) gives the key at
// position p, and is called once for each p in ascending order (so it may carry state from one
// key to the next).
template <class Key, class KeyAt>
std::vector<bool> occurrence_starts_of(std::size_t hay_size, std::span<const Key> needle,
                                       KeyAt&& key_at) {
    const std::size_t m = needle.size();
    std::vector<bool> starts(hay_size + 1, m == 0);
    if (m == 0 || m > hay_size) return starts;
    std::vector<std::size_t> border(m, 0);
    for (std::size_t q = 1, k = 0; q < m; ++q) {
        while (k > 0 && needle[q] != needle[k]) k = border[k - 1];
        if (needle[q] == needle[k]) ++k;
        border[q] = k;
    }
    for (std::size_t p = 0, k = 0; p < hay_size; ++p) {
        if ((p & 63) == 0) poll_interrupt();
        const Key key = key_at(p);
        while (k > 0 && key != needle[k]) k = border[k - 1];
        if (key == needle[k]) ++k;
        if (k == m) {
            starts[p + 1 - m] = true;
            k = border[k - 1];
        }
    }
    return starts;
}

// The same for a text that arrives in pieces and is never laid out whole: fed piece by piece,
// marks where a non-empty `needle` starts in the pieces' concatenation (Knuth-Morris-Pratt).
class StreamingOccurrences {
public:
    explicit StreamingOccurrences(std::string_view needle);

    // Reserves marks for `bytes` bytes in all.
    void reserve(std::size_t bytes) { starts_.reserve(bytes + 1); }
    void feed(std::string_view piece);
    // Bytes fed so far.
    std::size_t fed() const { return starts_.size(); }
    // Element p (0 <= p <= fed()) is true when the needle starts at byte p.
    std::vector<bool> take();

private:
    std::string_view needle_;
    std::vector<std::size_t> border_;
    std::size_t matched_ = 0;
    std::vector<bool> starts_;
};

}  // namespace brindle::replacer
