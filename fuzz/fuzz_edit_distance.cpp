// Fuzz target for the edit distance and the searches built on it, each compared with its plain
// form in tests/reference: levenshtein_distance and levenshtein_distance_within (limits around
// the distance) and the banded computations beneath them, best_substring_distances (latest starts
// and limits from the first byte), calculate_block_similarity and its thresholded form,
// find_closest_match and find_most_similar_window.
//
// Input: byte 0 picks the limit offset and the minimum similarity, then a 0x00 b (missing parts
// empty). a and b serve as two texts, as content and search text, and as line lists.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../tests/reference/block_similarity.hpp"
#include "../tests/reference/diagnostics.hpp"
#include "../tests/reference/edit_distance.hpp"
#include "core/content_replacer/block_similarity.hpp"
#include "core/content_replacer/diagnostics.hpp"
#include "core/edit_distance.hpp"
#include "core/text.hpp"
#include "core/utf8.hpp"
#include "fuzz_input.hpp"

namespace rp = brindle::replacer;
namespace ref = brindle::reference;
using fuzzin::fail;

namespace {

// The plain forms are quadratic per window: keep the inputs they see small enough to stay fast.
constexpr std::size_t kMaxWindowSearchBytes = 1500;
// The plain substring search is cubic.
constexpr std::size_t kMaxSubstringBytes = 400;

void check_distance(std::string_view a, std::string_view b, std::uint8_t knob) {
    const std::uint64_t d = ref::levenshtein(a, b);
    if (brindle::levenshtein_distance(a, b) != d)
        fail("levenshtein_distance differs from the plain form");
    const std::uint64_t offsets[] = {0, 1, 2, 64, static_cast<std::uint64_t>(knob)};
    for (std::uint64_t off : offsets) {
        for (std::uint64_t k : {d > off ? d - off : 0, d + off}) {
            const auto got = brindle::levenshtein_distance_within(a, b, k);
            const bool want = d <= k;
            if (got.has_value() != want || (got && *got != d)) {
                fail("levenshtein_distance_within differs from the plain form");
            }
        }
    }
    if (brindle::levenshtein_distance_within(a, b, std::numeric_limits<std::uint64_t>::max()) != d) {
        fail("levenshtein_distance_within without a real limit differs");
    }
    // The banded computations on their own, without the common ends cut off or staged limits:
    // the block band, and the one-word band of 64 diagonals (limits of at most 63).
    const std::vector<char32_t> ca = brindle::utf8::decode(a);
    const std::vector<char32_t> cb = brindle::utf8::decode(b);
    const std::u32string_view va(ca.data(), ca.size());
    const std::u32string_view vb(cb.data(), cb.size());
    for (std::uint64_t k : {d > 0 ? d - 1 : 0, d, d + 1, static_cast<std::uint64_t>(knob)}) {
        const auto got = brindle::detail::levenshtein_bit_parallel_within(va, vb, k);
        if (got.has_value() != (d <= k) || (got && *got != d)) {
            fail("levenshtein_bit_parallel_within differs from the plain form");
        }
        const std::uint64_t narrow = std::min<std::uint64_t>(k, 63);
        const auto got_narrow = brindle::detail::levenshtein_narrow_band_within(vb, va, narrow);
        if (got_narrow.has_value() != (d <= narrow) || (got_narrow && *got_narrow != d)) {
            fail("levenshtein_narrow_band_within differs from the plain form");
        }
    }
}

void check_substring_distances(std::string_view pattern, std::string_view text, std::uint8_t knob) {
    std::vector<std::size_t> ends;  // every character boundary
    for (std::size_t e = 0; e <= text.size(); ++e) {
        if (e == text.size() || (static_cast<unsigned char>(text[e]) & 0xC0) != 0x80) ends.push_back(e);
    }
    // Odd knobs: stretches start anywhere; even ones: no later than a boundary picked by the knob.
    const std::size_t latest =
        knob % 2 == 1 ? SIZE_MAX : ends[static_cast<std::size_t>(knob / 2) % ends.size()];
    const std::size_t latest_chars =
        latest == SIZE_MAX ? SIZE_MAX : brindle::utf8::count_chars(text.substr(0, latest));
    const std::vector<std::uint64_t> plain =
        ref::best_substring_distances_by_end(pattern, text, latest_chars);
    for (std::uint64_t limit : {std::uint64_t{0}, std::uint64_t{knob % 16u}, std::uint64_t{70},
                                std::numeric_limits<std::uint64_t>::max()}) {
        const std::vector<std::uint64_t> got =
            brindle::best_substring_distances(pattern, text, latest, ends, limit);
        for (std::size_t t = 0; t < ends.size(); ++t) {
            if (got[t] != (plain[t] <= limit ? plain[t] : limit + 1)) {
                fail("best_substring_distances differs from the plain form");
            }
        }
    }
}

void check_block_similarity(std::string_view a, std::string_view b, std::uint8_t knob) {
    const std::vector<std::string_view> content = brindle::text::split_lines(a);
    const std::vector<std::string_view> search = brindle::text::split_lines(b);
    const std::size_t start = knob % 4;
    const std::size_t end = start + search.size() + (knob >> 6) - 1;
    const double expected = ref::block_similarity(content, search, start, end, search.size());
    const double got = rp::calculate_block_similarity(content, search, start, end, search.size());
    if (got != expected) fail("calculate_block_similarity differs from the plain form");
    for (double threshold : {expected, expected - 0.01, expected + 0.01, 0.3}) {
        const auto above =
            rp::calculate_block_similarity_above(content, search, start, end, search.size(), threshold);
        if (above.has_value() != (expected > threshold) || (above && *above != expected)) {
            fail("calculate_block_similarity_above differs from the plain form");
        }
    }
}

void check_window_searches(std::string_view content, std::string_view old_string, std::uint8_t knob) {
    const rp::ContentLines lines(content);
    const auto check = [&](const std::optional<rp::FuzzyMatchInfo>& got,
                           const std::optional<ref::WindowMatch>& want, const char* what) {
        if (got.has_value() != want.has_value()) fail(what);
        if (!got) return;
        if (got->similarity != want->similarity || got->start_line != want->start + 1 ||
            got->text != want->text) {
            fail(what);
        }
    };
    check(rp::find_closest_match(lines, old_string), ref::closest_match(content, old_string),
          "find_closest_match differs from the plain form");
    const double min_similarity = static_cast<double>(knob % 8) / 8.0;
    check(rp::find_most_similar_window(lines, old_string, min_similarity),
          ref::most_similar_window(content, old_string, min_similarity),
          "find_most_similar_window differs from the plain form");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t knob = data[0];
    const std::vector<std::string_view> parts = fuzzin::split_parts(data + 1, size - 1);
    const std::string a = fuzzin::to_text(parts.size() > 0 ? parts[0] : std::string_view{});
    const std::string b = fuzzin::to_text(parts.size() > 1 ? parts[1] : std::string_view{});
    check_distance(a, b, knob);
    check_block_similarity(a, b, knob);
    if (a.size() + b.size() <= kMaxSubstringBytes) check_substring_distances(b, a, knob);
    if (a.size() + b.size() <= kMaxWindowSearchBytes) check_window_searches(a, b, knob);
    return 0;
}
