// Knuth-Morris-Pratt search that marks every occurrence of a pattern. The tolerant strategies
// lay out the transformed content lines as one text (or as one key per line), so that testing a
// whole window against the transformed search text becomes a look-up of one position here.
//
// For texts, the library's substring search finds sparse occurrences faster; the scan serves when
// they are dense.
//
// The failure table gives, for each prefix of the needle, the length of its longest proper border
// (a prefix that is also a suffix); on a mismatch the scan falls back along the borders instead of
// moving back in the text, so every byte of the text is read once and the total work is linear.
#include "core/content_replacer/occurrences.hpp"

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>

#include "core/cancel.hpp"
#include "core/content_replacer/types.hpp"
#include "core/text.hpp"

namespace brindle::replacer {

namespace {

// Marks in `starts` every occurrence of `needle` that starts at or after `from`, an occurrence at
// p of `hay` as element offset + p.
template <class Seq>
void mark_from(const Seq& hay, const Seq& needle, std::size_t from, std::vector<bool>& starts,
               std::size_t offset = 0) {
    const std::size_t m = needle.size();

    std::vector<std::size_t> border(m, 0);
    for (std::size_t q = 1, k = 0; q < m; ++q) {
        while (k > 0 && needle[q] != needle[k]) k = border[k - 1];
        if (needle[q] == needle[k]) ++k;
        border[q] = k;
    }
    for (std::size_t p = from, k = 0; p < hay.size(); ++p) {
        if ((p & 63) == 0) poll_interrupt();
        while (k > 0 && hay[p] != needle[k]) k = border[k - 1];
        if (hay[p] == needle[k]) ++k;
        if (k == m) {
            starts[offset + p + 1 - m] = true;
            k = border[k - 1];
        }
    }
}

// Marks every occurrence of a non-empty `needle` in `hay` (at most as long) as occurrence_starts
// does, an occurrence at p as element offset + p of `starts`.
void mark_text_occurrences(std::string_view hay, std::string_view needle, std::vector<bool>& starts,
                           std::size_t offset) {
    // Occurrences are usually few: the library's search (memmem) jumps from one to the next much
    // faster than the byte-by-byte scan. When they come so densely that the searches would read
    // the text several times over, the scan takes over from where they stopped.
    const std::size_t limit = 2 * hay.size() + 4096;
    std::size_t work = 0;
    for (std::size_t from = 0;;) {
        const std::size_t hit = text::find(hay, needle, from);
        if (hit == std::string_view::npos) break;
        starts[offset + hit] = true;
        work += hit - from + needle.size();
        from = hit + 1;
        poll_interrupt();
        if (work > limit) {
            mark_from(hay, needle, from, starts, offset);
            break;
        }
    }
}

template <class Seq>
std::vector<bool> mark_occurrences(const Seq& hay, const Seq& needle) {
    std::vector<bool> starts(hay.size() + 1, false);
    if (needle.empty()) {
        starts.assign(hay.size() + 1, true);
        return starts;
    }
    if (needle.size() <= hay.size()) mark_from(hay, needle, 0, starts);
    return starts;
}

}  // namespace

std::vector<bool> occurrence_starts(std::string_view hay, std::string_view needle) {
    if (needle.empty() || needle.size() > hay.size()) return mark_occurrences(hay, needle);
    std::vector<bool> starts(hay.size() + 1, false);
    mark_text_occurrences(hay, needle, starts, 0);
    return starts;
}

std::vector<bool> occurrence_starts(std::span<const std::uint64_t> hay,
                                    std::span<const std::uint64_t> needle) {
    return mark_occurrences(hay, needle);
}

std::vector<bool> occurrence_starts(std::span<const std::uint32_t> hay,
                                    std::span<const std::uint32_t> needle) {
    return mark_occurrences(hay, needle);
}

std::vector<bool> occurrence_starts_in_lines(const LazyLines& lines, std::string_view needle,
                                             std::size_t stretch_bytes) {
    const std::size_t n = lines.size();
    std::size_t joined_size = n > 0 ? n - 1 : 0;
    for (std::size_t k = 0; k < n; ++k) joined_size += lines[k].size();
    std::vector<bool> starts(joined_size + 1, needle.empty());
    if (needle.empty() || needle.size() > joined_size) return starts;
    // Each stretch holds the last needle.size() - 1 bytes of the one before, so that an occurrence
    // that runs across the border is found in the later stretch; an occurrence found in a stretch
    // ends inside it, so none is found twice.
    stretch_bytes = std::max(stretch_bytes, 4 * needle.size());
    std::string stretch;
    std::size_t stretch_begin = 0;  // joined offset of stretch[0]
    for (std::size_t k = 0;;) {
        while (k < n && stretch.size() < stretch_bytes) {
            if (k > 0) stretch.push_back('\n');
            stretch.append(lines[k]);
            ++k;
        }
        if (needle.size() <= stretch.size()) {
            mark_text_occurrences(stretch, needle, starts, stretch_begin);
        }
        if (k == n) break;
        const std::size_t keep = std::min(stretch.size(), needle.size() - 1);
        stretch_begin += stretch.size() - keep;
        stretch.erase(0, stretch.size() - keep);
    }
    return starts;
}

StreamingOccurrences::StreamingOccurrences(std::string_view needle)
    : needle_(needle), border_(needle.size(), 0) {
    for (std::size_t q = 1, k = 0; q < needle.size(); ++q) {
        while (k > 0 && needle[q] != needle[k]) k = border_[k - 1];
        if (needle[q] == needle[k]) ++k;
        border_[q] = k;
    }
}

void StreamingOccurrences::feed(std::string_view piece) {
    const std::size_t m = needle_.size();
    std::size_t k = matched_;
    for (const char c : piece) {
        starts_.push_back(false);
        while (k > 0 && c != needle_[k]) k = border_[k - 1];
        if (c == needle_[k]) ++k;
        if (k == m) {
            starts_[starts_.size() - m] = true;
            k = border_[k - 1];
        }
    }
    matched_ = k;
}

std::vector<bool> StreamingOccurrences::take() {
    starts_.push_back(false);  // the end: a non-empty needle cannot start there
    return std::move(starts_);
}

}  // namespace brindle::replacer
