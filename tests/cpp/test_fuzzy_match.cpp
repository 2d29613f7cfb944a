// The fast paths of fuzzy scoring against their plain forms on generated inputs: the ASCII scorer
// against the code-point scorer, the lazily lower-cased subsequence test against the one that
// lower-cases both texts first, the ranking by packed keys against the stable sort, and the top-k
// selection against sorting every match.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/fuzzy_match.hpp"
#include "core/score_bound.hpp"
#include "core/top_matches.hpp"
#include "core/unicode.hpp"
#include "core/utf8.hpp"

namespace {

using namespace brindle;
using fuzzy::Score;
using fuzzy::Weights;

std::string random_text(std::mt19937& rng, const std::vector<char32_t>& alphabet, std::size_t max_len) {
    std::string out;
    const std::size_t len = std::uniform_int_distribution<std::size_t>(0, max_len)(rng);
    for (std::size_t k = 0; k < len; ++k) {
        utf8::append(out,
                     alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(rng)]);
    }
    return out;
}

std::vector<char32_t> ascii_alphabet() {
    std::vector<char32_t> a;
    for (char32_t c : std::u32string(U"abcABC_ -./xX1")) a.push_back(c);
    return a;
}

std::int32_t random_weight(std::mt19937& rng) {
    switch (rng() % 4) {
        case 0:
            return std::numeric_limits<std::int32_t>::max();
        case 1:
            return std::numeric_limits<std::int32_t>::min();
        case 2:
            return static_cast<std::int32_t>(rng());
        default:
            return std::uniform_int_distribution<std::int32_t>(-12, 12)(rng);
    }
}

Score score_plain(std::string_view pattern, std::string_view instring, const Weights& w) {
    const fuzzy::PreparedPattern p(pattern);
    return fuzzy::detail::score_code_points(p.lower().data(), p.lower().size(), instring, w);
}

Score score_fast(std::string_view pattern, std::string_view instring, const Weights& w) {
    const fuzzy::PreparedPattern p(pattern);
    return fuzzy::detail::score_ascii(p.lower().data(), p.lower().size(), instring, w);
}

TEST(FuzzyMatch, AsciiScorerEqualsCodePointScorer) {
    std::mt19937 rng(7);
    const auto alphabet = ascii_alphabet();
    // Patterns may hold letters whose lower() is ASCII (KELVIN SIGN, capital I with dot above)
    // or not ASCII at all (e with acute): they still meet an ASCII instring.
    auto pattern_alphabet = alphabet;
    pattern_alphabet.push_back(0x212A);
    pattern_alphabet.push_back(0x0130);
    pattern_alphabet.push_back(0x00E9);
    int matched = 0;
    int replaced_held = 0;
    for (int round = 0; round < 60000; ++round) {
        std::string pattern = random_text(rng, pattern_alphabet, 4);
        if (pattern.empty()) pattern.push_back('a');
        const std::string instring = random_text(rng, alphabet, 24);
        Weights w;
        if (round % 2 == 1) {
            w = Weights{random_weight(rng), random_weight(rng), random_weight(rng),
                        random_weight(rng), random_weight(rng), random_weight(rng)};
        }
        const Score plain = score_plain(pattern, instring, w);
        const Score fast = score_fast(pattern, instring, w);
        ASSERT_EQ(plain.matched, fast.matched) << pattern << " | " << instring;
        ASSERT_EQ(plain.score, fast.score) << pattern << " | " << instring;
        const Score dispatched = fuzzy::fuzzy_match(pattern, instring, w);
        ASSERT_EQ(plain.score, dispatched.score);
        matched += plain.matched;
        replaced_held += pattern.size() >= 2 && pattern[0] == pattern[1] && plain.matched;
    }
    // The inputs reach matches, including repeated pattern letters (the held letter rules).
    EXPECT_GT(matched, 10000);
    EXPECT_GT(replaced_held, 300);
}

TEST(FuzzyMatch, LeadPenaltyWrapsOnTheAsciiPath) {
    const Weights w{0, 0, 0, 1 << 30, std::numeric_limits<std::int32_t>::min(), 0};
    EXPECT_EQ(score_fast("a", "xxa", w).score, std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(score_fast("a", "xxxxa", w).score, 0);
    EXPECT_EQ(score_plain("a", "xxxxa", w).score, 0);
}

TEST(FuzzyMatch, LongPatternsAreNotCutShort) {
    const std::string pattern(100, 'a');
    const std::string instring(150, 'A');
    const Score s = fuzzy::fuzzy_match(pattern, instring);
    EXPECT_TRUE(s.matched);
    EXPECT_EQ(s.score, score_plain(pattern, instring, Weights{}).score);
}

TEST(FuzzyMatch, IsAscii) {
    EXPECT_TRUE(fuzzy::detail::is_ascii(""));
    EXPECT_TRUE(fuzzy::detail::is_ascii("abcdefghijklmnopq"));
    for (std::size_t at = 0; at < 17; ++at) {
        std::string s(17, 'a');
        s[at] = static_cast<char>(0xC3);
        EXPECT_FALSE(fuzzy::detail::is_ascii(s)) << at;
    }
}

// --- fuzzy_match_simple ----------------------------------------------------------------------

std::vector<char32_t> case_alphabet() {
    return {U'a',
            U'A',
            U's',
            U'i',
            U'I',
            U'.',
            U'\'',
            U' ',
            0x03A3 /* capital sigma */,
            0x03C3,
            0x03C2,
            0x0391 /* capital alpha */,
            0x03B1,
            0x0301 /* combining acute */,
            0x0345 /* cased and case-ignorable */,
            0x00AD /* soft hyphen, case-ignorable */,
            0x0130 /* lower-cases to two code points */,
            0x0307,
            0x00DF,
            0x1E9E,
            0x212A,
            0x10400 /* Deseret, astral */,
            0x10428,
            0x01C5 /* title case */};
}

TEST(FuzzyMatchSimple, LowerCaseReaderEqualsToLowerFull) {
    std::mt19937 rng(11);
    const auto alphabet = case_alphabet();
    int final_sigmas = 0;
    for (int round = 0; round < 40000; ++round) {
        const std::string text = random_text(rng, alphabet, 12);
        std::string lazy;
        unicode::LowerCaseReader reader(text);
        char32_t c = 0;
        while (reader.next(c)) utf8::append(lazy, c);
        const std::string whole = unicode::to_lower_full(text);
        ASSERT_EQ(lazy, whole) << text;
        final_sigmas += whole.find("\xCF\x82") != std::string::npos;
    }
    EXPECT_GT(final_sigmas, 1000);
}

TEST(FuzzyMatchSimple, EqualsThePlainForm) {
    std::mt19937 rng(13);
    const auto alphabet = case_alphabet();
    int found = 0;
    for (int round = 0; round < 60000; ++round) {
        const std::string pattern = random_text(rng, alphabet, 3);
        const std::string instring = random_text(rng, alphabet, 14);
        for (bool case_sensitive : {false, true}) {
            const bool plain =
                fuzzy::detail::fuzzy_match_simple_plain(pattern, instring, case_sensitive);
            ASSERT_EQ(fuzzy::fuzzy_match_simple(pattern, instring, case_sensitive), plain)
                << pattern << " | " << instring << " | " << case_sensitive;
            found += plain && !pattern.empty() && !case_sensitive;
        }
    }
    EXPECT_GT(found, 5000);
}

// --- ranking ---------------------------------------------------------------------------------

std::vector<std::string> random_candidates(std::mt19937& rng, const std::vector<char32_t>& alphabet,
                                           std::size_t max_count, std::size_t max_len) {
    std::vector<std::string> out;
    const std::size_t count = std::uniform_int_distribution<std::size_t>(0, max_count)(rng);
    for (std::size_t k = 0; k < count; ++k) out.push_back(random_text(rng, alphabet, max_len));
    return out;
}

std::vector<std::string_view> views_of(const std::vector<std::string>& texts) {
    return std::vector<std::string_view>(texts.begin(), texts.end());
}

TEST(Ranking, PackedKeySortEqualsStableSort) {
    std::mt19937 rng(17);
    auto alphabet = ascii_alphabet();
    alphabet.push_back(0x00E9);
    alphabet.push_back(0x0130);
    int ties = 0;
    for (int round = 0; round < 3000; ++round) {
        const std::string pattern = random_text(rng, {U'a', U'b', U'x', U'A'}, 2);
        const auto texts = random_candidates(rng, alphabet, 40, 10);
        const auto views = views_of(texts);
        const auto plain = fuzzy::detail::rank_candidates_plain(pattern, views);
        ASSERT_EQ(fuzzy::rank_candidates(pattern, views), plain) << pattern;
        for (std::size_t k = 1; k < plain.size(); ++k) ties += plain[k].second == plain[k - 1].second;
    }
    EXPECT_GT(ties, 1000);
}

TEST(Ranking, ExtremeScoresKeepTheirOrder) {
    // A long candidate scores far below the others; the keys must not wrap.
    const std::string long_one = std::string(200000, '-') + "a";
    const std::vector<std::string_view> views = {"a", long_one, "xa", "a"};
    const auto ranked = fuzzy::rank_candidates("a", views);
    EXPECT_EQ(ranked, fuzzy::detail::rank_candidates_plain("a", views));
    ASSERT_EQ(ranked.size(), 4u);
    EXPECT_EQ(ranked.back().first, 1u);
}

// Plain top-k: every match, filtered by the minimum score, sorted, cut to the limit.
std::vector<std::pair<std::size_t, std::int32_t>> top_plain(std::string_view search,
                                                            const std::vector<std::string_view>& views,
                                                            std::size_t limit,
                                                            std::optional<std::int32_t> min_score) {
    auto all = fuzzy::detail::rank_candidates_plain(search, views);
    std::vector<std::pair<std::size_t, std::int32_t>> out;
    for (const auto& m : all) {
        if (out.size() == limit) break;
        if (!min_score || m.second >= *min_score) out.push_back(m);
    }
    return out;
}

TEST(TopMatches, EqualsSortingEveryMatch) {
    std::mt19937 rng(19);
    auto alphabet = ascii_alphabet();
    alphabet.push_back(0x00E9);
    alphabet.push_back(0x212A);
    int pruned_rounds = 0;
    int cut_rounds = 0;
    for (int round = 0; round < 6000; ++round) {
        const std::string pattern = random_text(rng, {U'a', U'b', U'x', U'A', U'_', U'k'}, 3);
        const auto texts = random_candidates(rng, alphabet, 60, round % 3 == 0 ? 40 : 10);
        const auto views = views_of(texts);
        const std::size_t limit = round % 5 == 0 ? std::numeric_limits<std::size_t>::max() : rng() % 8;
        std::optional<std::int32_t> min_score;
        if (round % 2 == 0) min_score = std::uniform_int_distribution<std::int32_t>(-30, 20)(rng);
        if (round % 97 == 0) min_score = std::numeric_limits<std::int32_t>::min();
        fuzzy::TopMatchStats stats;
        const auto got = fuzzy::top_matches(pattern, views, limit, min_score, &stats);
        const auto want = top_plain(pattern, views, limit, min_score);
        ASSERT_EQ(got.size(), want.size()) << pattern << " limit " << limit;
        for (std::size_t k = 0; k < got.size(); ++k) {
            ASSERT_EQ(got[k].index, want[k].first);
            ASSERT_EQ(got[k].score, want[k].second);
        }
        pruned_rounds += stats.skipped_by_bound > 0;
        cut_rounds += want.size() == limit && limit > 0;
    }
    // The inputs reach the bound that skips candidates, and limits that cut the list.
    EXPECT_GT(pruned_rounds, 250);
    EXPECT_GT(cut_rounds, 1000);
}

TEST(ScoreBound, BoundsEveryScoreAndDecidesTheMatch) {
    // Candidates cross several 16-byte blocks; '@' and '`' fold onto each other, as do letters.
    std::vector<char32_t> alphabet;
    for (char32_t c : std::u32string(U"abcABC_ -./@`xX")) alphabet.push_back(c);
    const std::vector<char32_t> pattern_alphabet = {U'a', U'b', U'A', U'_', U' ', U'`', U'.', U'x'};
    std::mt19937 rng(23);
    int bounded = 0;
    int impossible = 0;
    int unknown = 0;
    int tight = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string pattern = random_text(rng, pattern_alphabet, 4);
        if (pattern.empty()) pattern.push_back('a');
        if (round % 50 == 0) utf8::append(pattern, 0x00E9);
        std::string candidate = random_text(rng, alphabet, round % 4 == 0 ? 70 : 20);
        if (round % 40 == 0) utf8::append(candidate, 0x00E9);
        const fuzzy::PreparedPattern prepared(pattern);
        const fuzzy::ScoreBound bound(prepared);
        const auto got = bound.bound(candidate);
        const Score s = fuzzy::fuzzy_match(pattern, candidate);
        const bool ascii = fuzzy::detail::is_ascii(candidate);
        using Kind = fuzzy::ScoreBoundResult::Kind;
        ASSERT_EQ(got.kind == Kind::unknown, !ascii) << pattern << " | " << candidate;
        if (!ascii) {
            ++unknown;
            continue;
        }
        ASSERT_EQ(got.kind == Kind::cannot_match, !s.matched) << pattern << " | " << candidate;
        if (got.kind == Kind::cannot_match) {
            ++impossible;
            continue;
        }
        ASSERT_LE(s.score, got.value) << pattern << " | " << candidate;
        const std::int64_t tighter = bound.tighten(candidate, got);
        ASSERT_LE(s.score, tighter) << pattern << " | " << candidate;
        ASSERT_LE(tighter, got.value);
        ++bounded;
        tight += tighter - s.score <= 2;
    }
    EXPECT_GT(bounded, 4000);
    EXPECT_GT(impossible, 4000);
    EXPECT_GT(unknown, 200);
    EXPECT_GT(tight, 200);  // the bound is close to the score often enough to be worth its pass
}

TEST(ScoreBound, CountsEveryRepeatOfTheHeldLetterInLongCandidates) {
    // "a_bbb...b" against "ab": every b after the first repeats the held letter for free (its
    // adjacency bonus is below the held separator bonus), so the score is 10 - 1 + 10 = 19 however
    // long the run, and the bound is 5 * 2 + 10 * 2 + 0 - 1 = 29 only if every repeat is counted,
    // in long runs of blocks too.
    const fuzzy::PreparedPattern pattern("ab");
    const fuzzy::ScoreBound bound(pattern);
    for (const std::size_t run : {1u, 15u, 16u, 17u, 300u, 4079u, 4080u, 4081u, 70000u}) {
        const std::string candidate = "a_" + std::string(run, 'b');
        const Score s = fuzzy::fuzzy_match(pattern, candidate);
        ASSERT_TRUE(s.matched);
        EXPECT_EQ(s.score, 19) << run;
        const auto got = bound.bound(candidate);
        ASSERT_EQ(got.kind, fuzzy::ScoreBoundResult::Kind::at_most);
        EXPECT_EQ(bound.tighten(candidate, got), 29) << run;
    }
}

}  // namespace
