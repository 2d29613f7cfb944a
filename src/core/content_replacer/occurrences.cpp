// Knuth-Morris-Pratt search that marks every occurrence of a pattern. The tolerant strategies
// lay out the transformed content lines as one text (or as one key per line), so that testing a
// whole window against the transformed search text becomes a look-up of one position here.
//
// The failure table gives, for each prefix of the needle, the length of its longest proper border
// (a prefix that is also a suffix); on a mismatch the scan falls back along the borders instead of
// moving back in the text, so every byte of the text is read once and the total work is linear.
#include "core/content_replacer/occurrences.hpp"

#include <cstddef>

#include "core/cancel.hpp"

namespace brindle::replacer {

namespace {

template <class Seq>
std::vector<bool> mark_occurrences(const Seq& hay, const Seq& needle) {
    std::vector<bool> starts(hay.size() + 1, false);
    const std::size_t m = needle.size();
    if (m == 0) {
        starts.assign(hay.size() + 1, true);
        return starts;
    }
    if (m > hay.size()) return starts;

    std::vector<std::size_t> border(m, 0);
    for (std::size_t q = 1, k = 0; q < m; ++q) {
        while (k > 0 && needle[q] != needle[k]) k = border[k - 1];
        if (needle[q] == needle[k]) ++k;
        border[q] = k;
    }
    for (std::size_t p = 0, k = 0; p < hay.size(); ++p) {
        if ((p & 63) == 0) poll_interrupt();
        while (k > 0 && hay[p] != needle[k]) k = border[k - 1];
        if (hay[p] == needle[k]) ++k;
        if (k == m) {
            starts[p + 1 - m] = true;
            k = border[k - 1];
        }
    }
    return starts;
}

}  // namespace

std::vector<bool> occurrence_starts(std::string_view hay, std::string_view needle) {
    return mark_occurrences(hay, needle);
}

std::vector<bool> occurrence_starts(std::span<const std::uint64_t> hay,
                                    std::span<const std::uint64_t> needle) {
    return mark_occurrences(hay, needle);
}

std::vector<bool> occurrence_starts(std::span<const std::uint32_t> hay,
                                    std::span<const std::uint32_t> needle) {
    return mark_occurrences(hay, needle);
}

}  // namespace brindle::replacer
