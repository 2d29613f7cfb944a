// Fuzz target for the streaming matcher: a source text and a sequence of query chunks, each with
// an optional line hint; push, finish, select_best_match and get_text on the returned ranges must
// succeed with valid UTF-8, and get_text on arbitrary ranges must never crash. On small inputs
// every answer must equal the plain reference matcher's. One push is also made to fail at a poll
// of the interrupt hook chosen by the input; the matcher must then equal its twin that never saw
// the failed call.
//
// Input: source 0x00 chunk 0x00 chunk ... ; the first byte of every chunk part picks its hint
// (none, small, or an extreme value). The last part also supplies arbitrary ranges for get_text.
// The source's first byte (when there is one) picks the failing push and the poll it fails at.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "../tests/reference/streaming_reference.hpp"
#include "core/cancel.hpp"
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

// Throws std::bad_alloc at the `remaining`-th run of the hook; every poll runs the hook.
struct FailAtPoll {
    int remaining;
    static void hook(void* context) {
        brindle::detail::interrupt_state.budget = 0;
        if (--static_cast<FailAtPoll*>(context)->remaining == 0) throw std::bad_alloc();
    }
};

void check_same(const st::StreamingFuzzyMatcher& a, const st::StreamingFuzzyMatcher& b) {
    if (a.query_lines() != b.query_lines()) fail("failed push changed the query lines");
    if (a.matches() != b.matches()) fail("failed push changed the matches");
    if (a.select_best_match() != b.select_best_match()) fail("failed push changed the selection");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto parts = fuzzin::split_parts(data, size);
    const std::string source = fuzzin::to_text(parts[0]);
    st::StreamingFuzzyMatcher matcher(source);
    st::StreamingFuzzyMatcher twin(source);  // the same calls, none of them failed
    // The plain reference recomputes everything per push: only on small inputs.
    const bool compare = source.size() <= 2048 && size <= 4096;
    st::ref::Matcher reference(source);
    const unsigned char pick = source.empty() ? 0 : static_cast<unsigned char>(source[0]);
    const std::size_t failing_part = 1 + pick % 4;
    const int failing_poll = 1 + (pick >> 2) % 8;

    for (std::size_t i = 1; i < parts.size(); ++i) {
        std::string_view raw = parts[i];
        std::optional<std::uint32_t> hint;
        if (!raw.empty()) {
            hint = hint_from(static_cast<unsigned char>(raw[0]));
            raw.remove_prefix(1);
        }
        const std::string chunk = fuzzin::to_text(raw);
        std::optional<std::optional<st::MatchRange>> failed_call_answer;
        if (i == failing_part) {
            FailAtPoll failure{failing_poll};
            try {
                brindle::ScopedInterruptHook scoped(&FailAtPoll::hook, &failure);
                brindle::detail::interrupt_state.budget = 0;
                failed_call_answer = matcher.push(chunk, hint);  // went through after all
            } catch (const std::bad_alloc&) {
                check_same(matcher, twin);
            }
        }
        const auto answer = failed_call_answer ? *failed_call_answer : matcher.push(chunk, hint);
        if (twin.push(chunk, hint) != answer) fail("push after a failed push answers differently");
        if (compare && reference.push(chunk, hint) != answer) fail("push differs from the reference");
        if (compare && reference.matches() != matcher.matches())
            fail("matches differ from the reference");
        if (const auto r = answer) check_range(matcher, *r, "push returned start > end");
        for (const auto& r : matcher.matches()) check_range(matcher, r, "matches() has start > end");
    }
    const auto ranges = matcher.finish();
    if (compare && reference.finish() != ranges) fail("finish differs from the reference");
    if (twin.finish() != ranges) fail("finish after a failed push differs");
    for (const auto& r : ranges) check_range(matcher, r, "finish returned start > end");
    if (const auto best = matcher.select_best_match())
        check_range(matcher, *best, "select_best_match start > end");
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
