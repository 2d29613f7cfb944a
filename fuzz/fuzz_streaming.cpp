// Fuzz target for the streaming matcher: a source text and a sequence of query chunks, each with
// an optional line hint; push, finish, select_best_match and get_text on the returned ranges must
// succeed with valid UTF-8, and get_text on arbitrary ranges must never crash.
//
// Input: source 0x00 chunk 0x00 chunk ... ; the first byte of every chunk part picks its hint
// (none, small, or an extreme value). The last part also supplies arbitrary ranges for get_text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/streaming_matcher.hpp"
#include "fuzz_input.hpp"

namespace st = brindle::streaming;
using fuzzin::check_utf8;
using fuzzin::fail;

namespace {

std::optional<std::uint32_t> hint_from(unsigned char b) {
    if (b < 0x80) return std::nullopt;
    if (b >= 0xFE) return b == 0xFE ? 0u : 0xFFFFFFFFu;
    return static_cast<std::uint32_t>(b & 0x3F);
}

void check_range(const st::StreamingFuzzyMatcher& m, st::MatchRange r, const char* what) {
    if (r.start > r.end) fail(what);
    const auto text = m.get_text(r);
    if (const auto* s = std::get_if<std::string>(&text)) {
        check_utf8(*s, "get_text of a returned range is not valid UTF-8");
    } else {
        fail("get_text fails on a range the matcher returned");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto parts = fuzzin::split_parts(data, size);
    const std::string source = fuzzin::to_text(parts[0]);
    st::StreamingFuzzyMatcher matcher(source);

    for (std::size_t i = 1; i < parts.size(); ++i) {
        std::string_view raw = parts[i];
        std::optional<std::uint32_t> hint;
        if (!raw.empty()) {
            hint = hint_from(static_cast<unsigned char>(raw[0]));
            raw.remove_prefix(1);
        }
        const std::string chunk = fuzzin::to_text(raw);
        if (const auto r = matcher.push(chunk, hint)) check_range(matcher, *r, "push returned start > end");
        for (const auto& r : matcher.matches()) check_range(matcher, r, "matches() has start > end");
    }
    const auto ranges = matcher.finish();
    for (const auto& r : ranges) check_range(matcher, r, "finish returned start > end");
    if (const auto best = matcher.select_best_match()) check_range(matcher, *best, "select_best_match start > end");
    for (const auto& line : matcher.source_lines()) check_utf8(line, "source line not UTF-8");
    for (const auto& line : matcher.query_lines()) check_utf8(line, "query line not UTF-8");
    (void)matcher.finish();  // finishing twice must be harmless

    // Arbitrary ranges from the raw bytes of the last part, 16 bytes a range.
    const std::string_view tail = parts.back();
    for (std::size_t off = 0; off + 16 <= tail.size() && off < 16 * 8; off += 16) {
        st::MatchRange r{};
        std::memcpy(&r.start, tail.data() + off, 8);
        std::memcpy(&r.end, tail.data() + off + 8, 8);
        if (tail[off] & 1) {  // keep some ranges near the text
            r.start %= source.size() + 3;
            r.end %= source.size() + 3;
        }
        const auto text = matcher.get_text(r);
        if (const auto* s = std::get_if<std::string>(&text)) check_utf8(*s, "get_text not UTF-8");
    }
    // Every small range over the joined source.
    const std::size_t n = source.size() < 24 ? source.size() + 2 : 0;
    for (std::uint64_t a = 0; a < n; ++a) {
        for (std::uint64_t b = 0; b < n; ++b) {
            const auto text = matcher.get_text({a, b});
            if (const auto* s = std::get_if<std::string>(&text)) check_utf8(*s, "get_text not UTF-8");
        }
    }
    return 0;
}
