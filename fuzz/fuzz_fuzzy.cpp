// Fuzz target for the fuzzy scorer: fuzzy_match under arbitrary weights, fuzzy_match_simple in
// both case modes, and rank_candidates, whose output is checked against fuzzy_match. Every fast
// path is compared with its plain form: the ASCII scorer with the code-point scorer, the lazily
// lower-cased fuzzy_match_simple with the one over whole lower-cased copies, rank_candidates with
// the scored-then-stably-sorted form, and top_matches with the cut ranking; the score bound that
// top_matches relies on is checked against every candidate's score.
//
// Input: 24 bytes of weights, then pattern 0x00 instring 0x00 further candidates...
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/fuzzy_match.hpp"
#include "core/score_bound.hpp"
#include "core/top_matches.hpp"
#include "fuzz_input.hpp"

namespace fz = brindle::fuzzy;
using fuzzin::fail;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 24) return 0;
    std::int32_t w[6];
    std::memcpy(w, data, sizeof w);
    const fz::Weights weights{w[0], w[1], w[2], w[3], w[4], w[5]};
    const auto parts = fuzzin::split_parts(data + 24, size - 24);
    std::vector<std::string> texts;
    texts.reserve(parts.size());
    for (std::string_view p : parts) texts.push_back(fuzzin::to_text(p));
    const std::string& pattern = texts[0];
    const std::string instring = texts.size() > 1 ? texts[1] : std::string();

    const fz::Score custom = fz::fuzzy_match(pattern, instring, weights);
    const fz::Score plain = fz::fuzzy_match(pattern, instring);
    if (custom.matched != plain.matched) fail("fuzzy_match: whether it matches depends on the weights");
    (void)fz::fuzzy_match(instring, pattern, weights);
    (void)fz::fuzzy_match_simple(pattern, instring, true);
    (void)fz::fuzzy_match_simple(pattern, instring, false);
    bool ascii = true;
    for (char c : pattern) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii && fz::fuzzy_match_simple(pattern, instring, true) &&
        !fz::fuzzy_match_simple(pattern, instring, false)) {
        fail("ASCII pattern matches case-sensitively but not case-insensitively");
    }

    for (const bool case_sensitive : {true, false}) {
        if (fz::fuzzy_match_simple(pattern, instring, case_sensitive) !=
            fz::detail::fuzzy_match_simple_plain(pattern, instring, case_sensitive)) {
            fail("fuzzy_match_simple differs from its plain form");
        }
    }
    const fz::PreparedPattern prepared(pattern);
    if (!prepared.empty() && fz::detail::is_ascii(instring)) {
        const auto& lower = prepared.lower();
        const fz::Score fast = fz::detail::score_ascii(lower.data(), lower.size(), instring, weights);
        const fz::Score slow =
            fz::detail::score_code_points(lower.data(), lower.size(), instring, weights);
        if (fast.matched != slow.matched || (fast.matched && fast.score != slow.score)) {
            fail("ASCII scorer differs from the code-point scorer");
        }
    }

    std::vector<std::string_view> candidates(texts.begin() + (texts.size() > 1 ? 1 : 0), texts.end());
    const auto ranked = fz::rank_candidates(pattern, candidates);
    if (ranked != fz::detail::rank_candidates_plain(pattern, candidates)) {
        fail("rank_candidates differs from its plain form");
    }
    const std::size_t limit = size > 24 ? data[24] % 8 : 0;
    const std::optional<std::int32_t> min_score =
        size > 25 && (data[25] & 1) ? std::optional<std::int32_t>(w[0] % 64) : std::nullopt;
    const auto top = fz::top_matches(pattern, candidates, limit, min_score);
    std::size_t expected = 0;
    for (const auto& [index, score] : ranked) {
        if (expected == limit) break;
        if (min_score && score < *min_score) continue;
        if (expected >= top.size() || top[expected].index != index || top[expected].score != score) {
            fail("top_matches differs from the cut ranking");
        }
        ++expected;
    }
    if (top.size() != expected) fail("top_matches returns more than the cut ranking");
    const fz::ScoreBound bound(prepared);
    for (const std::string_view candidate : candidates) {
        const fz::ScoreBoundResult b = bound.bound(candidate);
        const fz::Score s = fz::fuzzy_match(prepared, candidate);
        using Kind = fz::ScoreBoundResult::Kind;
        if (b.kind == Kind::cannot_match && s.matched) fail("score bound: a match it ruled out");
        if (b.kind == Kind::at_most && (!s.matched || s.score > b.value)) fail("score bound exceeded");
        if (b.kind == Kind::at_most && s.score > bound.tighten(candidate, b)) {
            fail("tightened score bound exceeded");
        }
    }
    std::vector<bool> seen(candidates.size(), false);
    for (std::size_t i = 0; i < ranked.size(); ++i) {
        const auto [index, score] = ranked[i];
        if (index >= candidates.size()) fail("rank_candidates index out of range");
        if (seen[index]) fail("rank_candidates repeats an index");
        seen[index] = true;
        const fz::Score s = fz::fuzzy_match(pattern, candidates[index]);
        if (!s.matched) fail("rank_candidates lists a candidate that does not match");
        if (s.score != score) fail("rank_candidates score differs from fuzzy_match");
        if (i > 0) {
            const auto [prev_index, prev_score] = ranked[i - 1];
            if (prev_score < score || (prev_score == score && prev_index > index))
                fail("rank_candidates order");
        }
    }
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (!seen[i] && fz::fuzzy_match(pattern, candidates[i]).matched)
            fail("rank_candidates drops a match");
    }
    return 0;
}
