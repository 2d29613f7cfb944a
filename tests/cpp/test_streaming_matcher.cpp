// Tests of the streaming matcher: chunk buffering, the line alignment, the choice by line hint and
// get_text, plus a plain reference matcher (whole table recomputed at every resolution) compared
// with the incremental one on generated inputs.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "../reference/streaming_reference.hpp"
#include "core/cancel.hpp"
#include "core/edit_distance.hpp"
#include "core/streaming_matcher.hpp"
#include "core/text.hpp"
#include "core/utf8.hpp"

namespace {

using brindle::streaming::MatchRange;
using brindle::streaming::StreamingFuzzyMatcher;
using brindle::streaming::TextRangeError;
using Ranges = std::vector<MatchRange>;
namespace ref = brindle::streaming::ref;

// ---------------------------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------------------------

std::string text_of(const StreamingFuzzyMatcher& m, MatchRange r) {
    auto result = m.get_text(r);
    if (const auto* s = std::get_if<std::string>(&result)) return *s;
    ADD_FAILURE() << "get_text failed for " << r.start << ".." << r.end;
    return {};
}

Ranges resolve_once(std::string_view source, std::string_view query) {
    StreamingFuzzyMatcher m(source);
    m.push(query, std::nullopt);
    return m.matches();
}

// ---------------------------------------------------------------------------------------------
// Construction and chunk ingestion
// ---------------------------------------------------------------------------------------------

TEST(StreamingMatcherState, EmptySourceHasNoLinesAndNoRanges) {
    StreamingFuzzyMatcher m("");
    EXPECT_TRUE(m.source_lines().empty());
    EXPECT_EQ(m.push("a\n\nb\n", std::nullopt), std::nullopt);
    EXPECT_EQ(m.push("c", 3u), std::nullopt);
    EXPECT_TRUE(m.finish().empty());
    EXPECT_EQ(m.select_best_match(), std::nullopt);
    EXPECT_EQ(m.query_lines(), (std::vector<std::string>{"a", "", "b", "c"}));
    for (MatchRange r : {MatchRange{0, 0}, MatchRange{0, 10}, MatchRange{5, 2}, MatchRange{7, 9}}) {
        EXPECT_EQ(text_of(m, r), "");
    }
}

TEST(StreamingMatcherState, SourceLinesAndOffsets) {
    StreamingFuzzyMatcher m("a\r\nb\n");
    EXPECT_EQ(m.source_lines(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(text_of(m, {0, 100}), "a\nb");
    // Offsets 0, 2, 4: line 'b' starts at 2 in the joined source.
    EXPECT_EQ(m.push("b\n", std::nullopt), (MatchRange{2, 3}));
    StreamingFuzzyMatcher cr("a\rb\r\n\rc\r");
    EXPECT_EQ(cr.source_lines(), (std::vector<std::string>{"a\rb", "\rc\r"}));
}

TEST(StreamingMatcherState, Buffering) {
    StreamingFuzzyMatcher m("ab\ncd\n");
    EXPECT_EQ(m.push("abc", std::nullopt), std::nullopt);
    EXPECT_TRUE(m.query_lines().empty());
    StreamingFuzzyMatcher m2("ab\ncd\n");
    EXPECT_EQ(m2.push("ab\ncd", std::nullopt), (MatchRange{0, 2}));
    EXPECT_EQ(m2.query_lines(), (std::vector<std::string>{"ab"}));
    EXPECT_EQ(m2.finish(), (Ranges{{0, 5}}));
    EXPECT_EQ(m2.query_lines(), (std::vector<std::string>{"ab", "cd"}));
}

TEST(StreamingMatcherState, CrLfAcrossChunks) {
    StreamingFuzzyMatcher m("x\n");
    m.push("x\r", std::nullopt);
    EXPECT_TRUE(m.query_lines().empty());
    m.push("\n", std::nullopt);
    EXPECT_EQ(m.query_lines(), (std::vector<std::string>{"x"}));
    m.push("\n\n", std::nullopt);
    EXPECT_EQ(m.query_lines(), (std::vector<std::string>{"x", "", ""}));
    // A CR followed by another CR and then LF: only the last CR goes with the LF.
    m.push("y\r", std::nullopt);
    m.push("\r", std::nullopt);
    m.push("\nz", std::nullopt);
    EXPECT_EQ(m.query_lines(), (std::vector<std::string>{"x", "", "", "y\r"}));
}

TEST(StreamingMatcherState, FinishKeepsTrailingCr) {
    StreamingFuzzyMatcher m("y\n");
    m.push("y\r", std::nullopt);
    m.finish();
    EXPECT_EQ(m.query_lines(), (std::vector<std::string>{"y\r"}));
    // Trimming removes the CR again, so the line still equals 'y'.
    EXPECT_EQ(m.matches(), (Ranges{{0, 1}}));
    // A second finish changes nothing; text pushed afterwards starts a new line.
    EXPECT_EQ(m.finish(), (Ranges{{0, 1}}));
    m.push("z\n", std::nullopt);
    EXPECT_EQ(m.query_lines(), (std::vector<std::string>{"y\r", "z"}));
}

TEST(StreamingMatcherState, ChunkOfOnlyCrs) {
    StreamingFuzzyMatcher m("a\n");
    EXPECT_EQ(m.push("\r\r\r\r", std::nullopt), std::nullopt);
    EXPECT_TRUE(m.query_lines().empty());
    m.push("\n", std::nullopt);
    EXPECT_EQ(m.query_lines(), (std::vector<std::string>{"\r\r\r"}));
    m.push("\r", std::nullopt);
    m.finish();
    EXPECT_EQ(m.query_lines(), (std::vector<std::string>{"\r\r\r", "\r"}));
}

TEST(StreamingMatcherState, HintStaysInForce) {
    StreamingFuzzyMatcher m("a\nb\na\n");
    EXPECT_EQ(m.push("a", 2u), std::nullopt);
    EXPECT_EQ(m.push("\n", std::nullopt), (MatchRange{4, 5}));
    EXPECT_EQ(m.select_best_match(), (MatchRange{4, 5}));
    // A hint given with a push without LF takes effect at once.
    EXPECT_EQ(m.push("", 0u), (MatchRange{0, 1}));
    EXPECT_EQ(m.push("", std::nullopt), (MatchRange{0, 1}));
    EXPECT_EQ(m.push("", 2u), (MatchRange{4, 5}));
    EXPECT_EQ(m.push("", std::nullopt), (MatchRange{4, 5}));
}

TEST(StreamingMatcherState, FunctionFooSequence) {
    const std::string source = "function foo() {\n    return 42;\n}";
    StreamingFuzzyMatcher m(source);
    EXPECT_EQ(m.push("function foo() {\n", std::nullopt), (MatchRange{0, 16}));
    EXPECT_EQ(m.select_best_match(), (MatchRange{0, 16}));
    EXPECT_EQ(text_of(m, {0, 16}), "function foo() {");
    EXPECT_EQ(m.push("    return 42;\n", std::nullopt), (MatchRange{0, 31}));
    EXPECT_EQ(m.push("}", std::nullopt), (MatchRange{0, 31}));
    EXPECT_EQ(m.finish(), (Ranges{{0, 33}}));
    EXPECT_EQ(text_of(m, {0, 33}), source);
}

TEST(StreamingMatcherState, ThousandsOfLineFeedsAtOnce) {
    const std::string source = "a\n\nb\n";
    StreamingFuzzyMatcher m(source);
    ref::Matcher r(source);
    const std::string chunk(5000, '\n');
    EXPECT_EQ(m.push(chunk, std::nullopt), r.push(chunk, std::nullopt));
    EXPECT_EQ(m.query_lines().size(), 5000u);
    EXPECT_EQ(m.matches(), r.matches());
    // Three rows of the four columns, whatever the number of query lines.
    EXPECT_GT(m.table_bytes(), 0u);
    EXPECT_LE(m.table_bytes(), 3u * 4u * sizeof(brindle::streaming::detail::AlignCell));
    const std::string more = "a\r\n" + std::string(3000, '\n') + "b\r";
    EXPECT_EQ(m.push(more, 1u), r.push(more, 1u));
    EXPECT_EQ(m.query_lines(), r.query_lines());
    EXPECT_EQ(m.finish(), r.finish());
}

TEST(StreamingMatcherState, MegabyteChunkWithoutLineFeed) {
    StreamingFuzzyMatcher m("x\ny\n");
    const std::string big(1 << 20, 'x');
    EXPECT_EQ(m.push(big, std::nullopt), std::nullopt);
    EXPECT_TRUE(m.query_lines().empty());
    EXPECT_EQ(m.table_bytes(), 0u);
    EXPECT_EQ(m.push(big, 7u), std::nullopt);
    EXPECT_EQ(m.finish(), Ranges{});
    ASSERT_EQ(m.query_lines().size(), 1u);
    EXPECT_EQ(m.query_lines()[0].size(), std::size_t{2} << 20);
}

TEST(StreamingMatcherState, ManySmallChunksWithoutLineFeed) {
    StreamingFuzzyMatcher m("abc\n");
    for (int i = 0; i < 100000; ++i) EXPECT_EQ(m.push("a", std::nullopt), std::nullopt);
    EXPECT_EQ(m.push("\n", std::nullopt), std::nullopt);
    ASSERT_EQ(m.query_lines().size(), 1u);
    EXPECT_EQ(m.query_lines()[0], std::string(100000, 'a'));
}

// ---------------------------------------------------------------------------------------------
// get_text
// ---------------------------------------------------------------------------------------------

TEST(StreamingMatcherText, ClampingAndFailures) {
    StreamingFuzzyMatcher m("0123456789");
    struct Case {
        MatchRange range;
        std::optional<std::string> text;  // nothing: fails
        TextRangeError error;
    };
    const Case cases[] = {
        {{5, 2}, std::nullopt, {5, 2}},
        {{2, 999}, "23456789", {}},
        {{50, 60}, "", {}},
        {{999, 2}, std::nullopt, {10, 2}},
        {{0, 0}, "", {}},
        {{10, 10}, "", {}},
        {{3, 4}, "3", {}},
    };
    for (const Case& c : cases) {
        auto result = m.get_text(c.range);
        if (c.text) {
            ASSERT_TRUE(std::holds_alternative<std::string>(result)) << c.range.start;
            EXPECT_EQ(std::get<std::string>(result), *c.text);
        } else {
            ASSERT_TRUE(std::holds_alternative<TextRangeError>(result)) << c.range.start;
            EXPECT_EQ(std::get<TextRangeError>(result).start, c.error.start);
            EXPECT_EQ(std::get<TextRangeError>(result).end, c.error.end);
        }
    }
}

TEST(StreamingMatcherText, MultiByteBoundaries) {
    // Joined source 'é\n日' : é = 2 bytes at 0, LF at 2, 日 = 3 bytes at 3..6.
    StreamingFuzzyMatcher m("\xC3\xA9\r\n\xE6\x97\xA5\n");
    EXPECT_EQ(text_of(m, {0, 2}), "\xC3\xA9");
    EXPECT_EQ(text_of(m, {2, 6}), "\n\xE6\x97\xA5");
    EXPECT_EQ(text_of(m, {0, 100}), "\xC3\xA9\n\xE6\x97\xA5");
    for (MatchRange bad :
         {MatchRange{1, 2}, MatchRange{0, 1}, MatchRange{3, 4}, MatchRange{4, 6}, MatchRange{0, 5}}) {
        auto result = m.get_text(bad);
        ASSERT_TRUE(std::holds_alternative<TextRangeError>(result)) << bad.start << ".." << bad.end;
        EXPECT_EQ(std::get<TextRangeError>(result).start, bad.start);
        EXPECT_EQ(std::get<TextRangeError>(result).end, bad.end);
    }
}

TEST(StreamingMatcherText, AgreesWithJoinedSourceOnAllRanges) {
    const std::string sources[] = {"a\r\n\xC3\xA9x\n\n  \xE6\x97\xA5 \r\nlast\r", "\n\n\n", "one line",
                                   "\xF0\x9F\x98\x80\n\xF0\x9F\x98\x80"};
    for (const std::string& source : sources) {
        StreamingFuzzyMatcher m(source);
        const std::vector<std::string_view> lines = brindle::text::split_lines(source);
        const std::string joined = brindle::text::join_lines(lines, 0, lines.size());
        for (std::uint64_t s = 0; s <= joined.size() + 2; ++s) {
            for (std::uint64_t e = 0; e <= joined.size() + 2; ++e) {
                const std::uint64_t cs = std::min<std::uint64_t>(s, joined.size());
                const std::uint64_t ce = std::min<std::uint64_t>(e, joined.size());
                const bool ok = ce >= cs && brindle::utf8::is_boundary(joined, cs) &&
                                brindle::utf8::is_boundary(joined, ce);
                auto result = m.get_text({s, e});
                ASSERT_EQ(std::holds_alternative<std::string>(result), ok) << s << ".." << e;
                if (ok) {
                    EXPECT_EQ(std::get<std::string>(result), joined.substr(cs, ce - cs));
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Pair cost and the similarity tests
// ---------------------------------------------------------------------------------------------

TEST(StreamingMatcherPairCost, Examples) {
    using brindle::streaming::detail::line_pair_cost;
    struct Case {
        const char* query;
        const char* source;
        std::uint32_t cost;
    };
    const Case cases[] = {
        {"abc", "abc", 0},
        {"  abc\t", "abc", 0},
        {"\xC2\xA0"
         "abc\xE3\x80\x80",
         "abc", 0},  // NBSP and ideographic space trim away
        {"", "   ", 0},
        {"", "x", 13},
        {"x", " ", 13},
        {"abcde", "abcdx", 1},  // 1 - 1/5 = 0.8
        {"abcd", "abcx", 13},   // 1 - 1/4 = 0.75
        {"return 42;", "return 43;", 1},
        {"abcde", "abcd", 1},    // length test passes, distance 1 over 5
        {"abcdef", "abcd", 13},  // 2/6 apart already by length
        {"aaaab", "aaaaa", 1},
        {"\xC3\xA9\xC3\xA9\xC3\xA9",
         "\xC3\xA9\xC3\xA9"
         "e",
         1},                             // 1 char over 6 bytes
        {"\xC3\xA9\xC3\xA9", "ee", 13},  // length 4 vs 2
        {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", "\xE6\x97\xA5\xE6\x9C\xAC", 13},  // 3/9 bytes apart
    };
    for (const Case& c : cases) {
        EXPECT_EQ(line_pair_cost(c.query, c.source), c.cost) << c.query << " | " << c.source;
        EXPECT_EQ(ref::pair_cost(c.query, c.source), c.cost) << c.query << " | " << c.source;
    }
}

// The integer test used for lines under three million bytes equals the double-precision formula.
TEST(StreamingMatcherPairCost, IntegerSimilarityTestEqualsDoubleFormula) {
    using brindle::streaming::detail::below_line_similarity;
    auto literal = [](std::uint64_t d, std::uint64_t m) {
        return 1.0 - static_cast<double>(d) / static_cast<double>(m) < 0.8;
    };
    for (std::uint64_t longer = 1; longer < 3'000'000; ++longer) {
        const std::uint64_t fifth = longer / 5;
        for (std::uint64_t d = fifth == 0 ? 0 : fifth - 1; d <= std::min(fifth + 1, longer); ++d) {
            ASSERT_EQ(below_line_similarity(d, longer), literal(d, longer)) << d << "/" << longer;
        }
    }
    std::mt19937_64 rng(7);
    for (int i = 0; i < 200000; ++i) {
        const std::uint64_t longer = 1 + rng() % 10'000'000;
        const std::uint64_t d = rng() % (longer + 1);
        ASSERT_EQ(below_line_similarity(d, longer), literal(d, longer)) << d << "/" << longer;
    }
}

// The bounded bit-parallel distance over a query line's masks equals the plain distance whenever
// that is within the limit, and exceeds the limit otherwise: one-word and multi-word lines, ASCII
// and not, similar and unrelated pairs.
TEST(StreamingMatcherPairCost, BoundedDistanceEqualsPlainDistance) {
    using brindle::streaming::detail::line_key;
    using brindle::streaming::detail::QueryLine;
    std::mt19937_64 rng(11);
    const char* const kChars[] = {
        "a",   "b", "c", "a", "x", "\xC3\xA9", "\xE6\x97\xA5", "\xF0\x9F\x98\x80",
        "\x80"};  // a stray continuation byte too
    auto random_text = [&](std::size_t chars, bool ascii) {
        std::string out;
        for (std::size_t k = 0; k < chars; ++k) out += kChars[rng() % (ascii ? 5 : std::size(kChars))];
        return out;
    };
    int within = 0, beyond = 0, multi_word = 0, non_ascii = 0;
    for (int round = 0; round < 4000; ++round) {
        const std::size_t length = 1 + rng() % (round % 3 == 0 ? 300 : 70);
        const bool ascii = rng() % 2 == 0;
        const std::string a = random_text(length, ascii);
        std::string b = a;
        const std::size_t edits = rng() % (length / 3 + 2);
        for (std::size_t e = 0; e < edits && !b.empty(); ++e) {
            std::size_t pos = rng() % b.size();
            switch (rng() % 3) {
                case 0:
                    b.insert(pos, kChars[rng() % 5]);
                    break;
                case 1:
                    b.erase(pos, 1);
                    break;
                default:
                    b[pos] = 'z';
                    break;
            }
        }
        if (rng() % 5 == 0) b = random_text(1 + rng() % 80, ascii);
        const QueryLine query(a);
        const auto key = line_key(b);
        const std::uint64_t plain = ref::levenshtein(brindle::text::trim(a), brindle::text::trim(b));
        const std::uint64_t limit = rng() % (plain + 3);
        std::uint64_t work = 0;
        const std::uint64_t got = query.distance_within(key, limit, work);
        if (plain <= limit) {
            ASSERT_EQ(got, plain) << a << " | " << b << " limit " << limit;
            ++within;
        } else {
            ASSERT_GT(got, limit) << a << " | " << b << " limit " << limit;
            ++beyond;
        }
        multi_word += query.key().chars > 64;
        non_ascii += !query.key().ascii;
    }
    EXPECT_GT(within, 1000);
    EXPECT_GT(beyond, 1000);
    EXPECT_GT(multi_word, 500);
    EXPECT_GT(non_ascii, 1000);
}

// Near-identical lines of 1,000 to 4,096 characters (the longest that used to be compared by
// masks over the whole line): a few edits apart, or a few more than a fifth of the length.
TEST(StreamingMatcherPairCost, LongNearIdenticalLines) {
    using brindle::streaming::detail::line_key;
    using brindle::streaming::detail::QueryLine;
    std::mt19937_64 rng(17);
    int within = 0, beyond = 0;
    for (int round = 0; round < 24; ++round) {
        const std::size_t length = 1000 + rng() % 3097;
        std::string a;
        for (std::size_t k = 0; k < length; ++k) a += static_cast<char>('a' + rng() % 20);
        if (round % 4 == 0) a += "\xC3\xA9";
        std::string b = a;
        const std::size_t edits = round % 3 == 0 ? length / 4 : 1 + rng() % 8;
        for (std::size_t e = 0; e < edits; ++e) {
            const std::size_t pos = rng() % (b.size() - 2);
            if (rng() % 2) {
                b[pos] = 'z';
            } else {
                b.insert(pos, 1, 'y');
            }
        }
        const QueryLine query(a);
        const std::uint64_t plain = brindle::detail::levenshtein_two_row(a, b);
        for (const std::uint64_t limit : {plain - 1, plain, std::max(a.size(), b.size()) / 5}) {
            std::uint64_t work = 0;
            const std::uint64_t got = query.distance_within(line_key(b), limit, work);
            if (plain <= limit) {
                ASSERT_EQ(got, plain) << round << " limit " << limit;
                ++within;
            } else {
                ASSERT_GT(got, limit) << round << " limit " << limit;
                ++beyond;
            }
        }
    }
    EXPECT_GT(within, 20);
    EXPECT_GT(beyond, 20);
}

// Lines past the masked length go to the general bounded distance; the cost is still exact.
TEST(StreamingMatcherPairCost, VeryLongLines) {
    using brindle::streaming::detail::line_pair_cost;
    std::mt19937_64 rng(3);
    int similar = 0, different = 0;
    for (int round = 0; round < 12; ++round) {
        std::string a;
        for (int k = 0; k < 4200 + round * 10; ++k) a += static_cast<char>('a' + rng() % 8);
        if (round % 3 == 0) a += "\xC3\xA9\xE6\x97\xA5";
        std::string b = a;
        const std::size_t edits = round * 120;  // up to about 30% of the line
        for (std::size_t e = 0; e < edits; ++e) b[rng() % b.size()] = 'z';
        const std::uint64_t d = brindle::detail::levenshtein_two_row(a, b);
        const std::uint32_t expected = d == 0 ? 0 : 5 * d <= std::max(a.size(), b.size()) ? 1 : 13;
        EXPECT_EQ(line_pair_cost(a, b), expected) << round;
        EXPECT_EQ(line_pair_cost(b, a), expected) << round;
        (expected == 1 ? similar : different) += 1;
    }
    EXPECT_GT(similar, 2);
    EXPECT_GT(different, 2);
}

// ---------------------------------------------------------------------------------------------
// Alignment: examples whose answers depend on the exact costs and tie order
// ---------------------------------------------------------------------------------------------

TEST(StreamingMatcherAlignment, Examples) {
    const std::string five = "alpha\nbeta\ngamma\ndelta\nepsilon\n";
    struct Case {
        std::string source;
        std::string query;
        Ranges expected;
    };
    const Case cases[] = {
        {"function foo() {\n    return 42;\n}", "function foo() {\n", {{0, 16}}},
        {"a\nb\na\n", "a\n", {{0, 1}, {4, 5}}},
        {"x\nx\nx\nx\nx\n", "x\n", {{0, 1}, {2, 3}, {4, 5}, {6, 7}, {8, 9}}},
        {"x\ny\nz\n", "q\n", {}},
        {"def f():\n    return 42;\n", "  def f():\n return 43;\n", {{0, 23}}},
        {"alpha\nbeta\ngamma\ndelta\n", "alpha\ngamma\n", {}},
        // 'X' against 'gamma': all three costs are 13 and QueryOnly wins the tie.
        {five, "alpha\nbeta\nX\ndelta\n", {}},
        {five, "alpha\nbeta\nX\ndelta\nepsilon\n", {{0, 30}}},
        {five, "alpha\nbeta\nXgamma\nepsilon\n", {{0, 30}}},
        // At 'abcdx' (query line 4) against the second 'abcdy' (source line 5) QueryOnly and
        // SourceOnly cost the same; taking SourceOnly there loses the pair count and the range.
        {"c\na\nb\nabcdy\nabcdy\na\nb\nabcdx\nabcdy\n", "a\nabcdx\nb\nabcdx\nabcdy\n", {{18, 33}}},
        {"aaaa\nbbbb\n", "aaab\n", {}},
        {"aaaaa\nbbbbb\n", "aaaab\n", {{0, 5}}},
        {"", "anything\n", {}},
        {"a\n", "\n", {}},
        {"\n\na\n", "\n", {{0, 0}, {1, 1}}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(resolve_once(c.source, c.query), c.expected) << c.source << " / " << c.query;
        ref::Matcher r(c.source);
        r.push(c.query, std::nullopt);
        EXPECT_EQ(r.matches(), c.expected) << "reference: " << c.source << " / " << c.query;
    }
}

TEST(StreamingMatcherAlignment, RangeCanDisappearAfterLaterLine) {
    StreamingFuzzyMatcher m("l1\nl2\nl3\nl4\nl5\n");
    const std::pair<const char*, std::optional<MatchRange>> steps[] = {
        {"l1\n", MatchRange{0, 2}}, {"l2\n", MatchRange{0, 5}},  {"NEW\n", std::nullopt},
        {"l3\n", std::nullopt},     {"l4\n", MatchRange{0, 11}}, {"l5\n", MatchRange{0, 14}},
    };
    for (const auto& [chunk, expected] : steps) {
        EXPECT_EQ(m.push(chunk, std::nullopt), expected) << chunk;
    }
}

// The table keeps the last row and two scratch rows, whatever the number of query lines: the walk
// back is carried forward in the cells, so no row of steps is kept.
TEST(StreamingMatcherAlignment, TableDoesNotGrowWithTheQuery) {
    std::string source;
    for (int i = 0; i < 10000; ++i) source += "source line " + std::to_string(i) + "\n";
    StreamingFuzzyMatcher m(source);
    EXPECT_EQ(m.table_bytes(), 0u);
    const std::size_t three_rows = 3u * 10001u * sizeof(brindle::streaming::detail::AlignCell);
    for (int rows = 1; rows <= 300; ++rows) {
        m.push("source line " + std::to_string(rows) + "\n", std::nullopt);
        ASSERT_EQ(m.table_bytes(), three_rows) << rows;
    }
    m.push(std::string(5000, '\n'), std::nullopt);
    EXPECT_EQ(m.table_bytes(), three_rows);
}

// ---------------------------------------------------------------------------------------------
// Selection by line hint
// ---------------------------------------------------------------------------------------------

TEST(StreamingMatcherSelection, HintChoosesNearestRange) {
    struct Case {
        std::optional<std::uint32_t> hint;
        std::optional<MatchRange> selected;
        MatchRange pushed;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt, {0, 1}},
        {2u, MatchRange{4, 5}, {4, 5}},
        {1u, MatchRange{0, 1}, {0, 1}},  // equally near: the earlier range
        {0u, MatchRange{0, 1}, {0, 1}},
        {500u, std::nullopt, {0, 1}},
        {std::numeric_limits<std::uint32_t>::max(), std::nullopt, {0, 1}},
    };
    for (const Case& c : cases) {
        StreamingFuzzyMatcher m("a\nb\na\n");
        EXPECT_EQ(m.push("a\n", c.hint), c.pushed);
        EXPECT_EQ(m.select_best_match(), c.selected);
    }
}

TEST(StreamingMatcherSelection, SingleRangeIgnoresHint) {
    using Hint = std::optional<std::uint32_t>;
    for (Hint hint : {Hint{}, Hint{1000u}}) {
        StreamingFuzzyMatcher m("x\ny\nz\n");
        EXPECT_EQ(m.push("y\n", hint), (MatchRange{2, 3}));
        EXPECT_EQ(m.select_best_match(), (MatchRange{2, 3}));
    }
}

TEST(StreamingMatcherSelection, TwoHundredLineBound) {
    std::string source = "x\nx\n";
    for (int i = 0; i < 300; ++i) source += "filler line " + std::to_string(i) + "\n";
    struct Case {
        std::uint32_t hint;
        std::optional<MatchRange> selected;
    };
    const Case cases[] = {{200u, MatchRange{2, 3}}, {201u, MatchRange{2, 3}}, {202u, std::nullopt}};
    for (const Case& c : cases) {
        StreamingFuzzyMatcher m(source);
        EXPECT_EQ(m.push("x\n", c.hint), c.selected.value_or(MatchRange{0, 1}));
        EXPECT_EQ(m.select_best_match(), c.selected) << c.hint;
    }
}

// ---------------------------------------------------------------------------------------------
// Incremental matcher against the reference on generated inputs
// ---------------------------------------------------------------------------------------------

class Generator {
public:
    explicit Generator(std::uint64_t seed) : rng_(seed) {}

    std::size_t below(std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
    }
    bool chance(int percent) { return static_cast<int>(below(100)) < percent; }

    std::string line() {
        static const char* const kPool[] = {
            "abcde",
            "abcdx",
            "abcd",
            "abcx",
            "return 42;",
            "return 43;",
            "  return 42;",
            "",
            "   ",
            "\t}",
            "}",
            "{",
            "\xC3\xA9",
            "\xC3\xA9"
            "a",
            "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",
            "\xE6\x97\xA5\xE6\x9C\xAC",
            "\xC2\xA0x\xE3\x80\x80",
            "x",
            "x\r",
            "aaaaa",
            "aaaab",
            "abcdy",
        };
        if (chance(60)) return kPool[below(std::size(kPool))];
        static const char* const kChars[] = {"a", "b", "a", " ", "\xC3\xA9", "\xF0\x9F\x98\x80", "\t"};
        std::string out;
        const std::size_t length = below(9);
        for (std::size_t i = 0; i < length; ++i) out += kChars[below(std::size(kChars))];
        return out;
    }

    std::vector<std::string> lines(std::size_t max_count) {
        std::vector<std::string> out(below(max_count + 1));
        for (auto& l : out) l = line();
        return out;
    }

    // A query taken from a window of the source with some lines changed, dropped or added.
    std::vector<std::string> query_from(const std::vector<std::string>& source, std::size_t max_count) {
        if (source.empty() || chance(15)) return lines(max_count);
        const std::size_t begin = below(source.size());
        const std::size_t count = 1 + below(std::min(max_count, source.size() - begin));
        std::vector<std::string> out;
        for (std::size_t k = begin; k < begin + count; ++k) {
            const int roll = static_cast<int>(below(100));
            if (roll < 8) continue;
            if (roll < 16) out.push_back(line());
            if (roll < 24) {
                out.push_back("  " + source[k] + " ");
            } else if (roll < 32 && !source[k].empty()) {
                std::string changed = source[k];
                changed[below(changed.size())] = 'z';  // may break a character: still no crash
                out.push_back(changed);
            } else {
                out.push_back(source[k]);
            }
        }
        return out;
    }

    std::string text(const std::vector<std::string>& lines, bool allow_unterminated) {
        std::string out;
        for (std::size_t k = 0; k < lines.size(); ++k) {
            out += lines[k];
            if (k + 1 == lines.size() && allow_unterminated && chance(30)) break;
            out += chance(30) ? "\r\n" : "\n";
        }
        return out;
    }

    std::vector<std::string> chunks(const std::string& text) {
        std::vector<std::string> out;
        std::size_t pos = 0;
        while (pos < text.size()) {
            const std::size_t size = chance(10) ? 0 : 1 + below(chance(50) ? 4 : 16);
            out.push_back(text.substr(pos, size));
            pos += size;
        }
        if (chance(20)) out.push_back("");
        return out;
    }

    std::optional<std::uint32_t> hint(std::size_t source_size) {
        if (chance(50)) return std::nullopt;
        if (chance(5)) return static_cast<std::uint32_t>(300 + below(1000));
        return static_cast<std::uint32_t>(below(source_size + 3));
    }

private:
    std::mt19937_64 rng_;
};

// How often the generated cases reached the interesting outcomes, so that a generator change that
// stops producing matches does not go unnoticed.
struct Coverage {
    int rounds_with_match = 0;
    int rounds_with_several = 0;
};

void compare_on_generated_inputs(std::uint64_t seed, int rounds, std::size_t max_source,
                                 std::size_t max_query, Coverage& coverage) {
    Generator g(seed);
    for (int round = 0; round < rounds; ++round) {
        const std::vector<std::string> source_lines = g.lines(max_source);
        const std::string source = g.text(source_lines, true);
        StreamingFuzzyMatcher m(source);
        ref::Matcher r(source);
        const std::string query = g.text(g.query_from(source_lines, max_query), true);
        std::vector<std::string> chunks = g.chunks(query);
        const bool finish_midway = g.chance(10);
        const std::size_t finish_at = chunks.empty() ? 0 : g.below(chunks.size());
        for (std::size_t k = 0; k < chunks.size(); ++k) {
            const auto hint = g.hint(source_lines.size());
            ASSERT_EQ(m.push(chunks[k], hint), r.push(chunks[k], hint))
                << "seed " << seed << " round " << round << " chunk " << k;
            ASSERT_EQ(m.matches(), r.matches()) << "seed " << seed << " round " << round;
            ASSERT_EQ(m.query_lines(), r.query_lines()) << "seed " << seed << " round " << round;
            ASSERT_EQ(m.select_best_match(), r.select_best_match());
            if (finish_midway && k == finish_at) {
                ASSERT_EQ(m.finish(), r.finish());
            }
        }
        ASSERT_EQ(m.finish(), r.finish()) << "seed " << seed << " round " << round;
        ASSERT_EQ(m.query_lines(), r.query_lines());
        ASSERT_EQ(m.finish(), r.finish());
        for (const MatchRange& range : m.matches()) {
            EXPECT_EQ(text_of(m, range).size(), range.end - range.start);
        }
        coverage.rounds_with_match += m.matches().empty() ? 0 : 1;
        coverage.rounds_with_several += m.matches().size() > 1 ? 1 : 0;
    }
}

TEST(StreamingMatcherReference, SmallInputs) {
    Coverage c;
    compare_on_generated_inputs(1, 6000, 8, 6, c);
    EXPECT_GT(c.rounds_with_match, 6000 / 5);
    EXPECT_GT(c.rounds_with_several, 6000 / 50);
}

TEST(StreamingMatcherReference, LargerInputs) {
    Coverage c;
    compare_on_generated_inputs(2, 500, 40, 25, c);
    EXPECT_GT(c.rounds_with_match, 500 / 5);
}

TEST(StreamingMatcherReference, RepetitiveSources) {
    // Few distinct lines make many equal-cost end columns and many ties inside the table.
    for (std::uint64_t seed = 10; seed < 3010; ++seed) {
        std::mt19937_64 rng(seed);
        const char* const kLines[] = {"x", "y", " x", "", "abcde", "abcdx", "abcdy"};
        const std::size_t kinds = std::size(kLines);
        std::string source, query;
        const std::size_t n = rng() % 16, m = 1 + rng() % 10;
        for (std::size_t k = 0; k < n; ++k) source += std::string(kLines[rng() % kinds]) + "\n";
        for (std::size_t k = 0; k < m; ++k) query += std::string(kLines[rng() % kinds]) + "\n";
        StreamingFuzzyMatcher matcher(source);
        ref::Matcher reference(source);
        for (std::size_t pos = 0; pos < query.size(); pos += 2) {
            const std::string chunk = query.substr(pos, 2);
            const std::optional<std::uint32_t> hint =
                rng() % 2 ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(rng() % 16))
                          : std::nullopt;
            ASSERT_EQ(matcher.push(chunk, hint), reference.push(chunk, hint)) << seed;
            ASSERT_EQ(matcher.matches(), reference.matches()) << seed;
        }
    }
}

// Blocks that the source holds, holds in part or no longer holds, over sources of few distinct
// lines: many end columns of least cost whose walks back are long and merge, which the matcher
// reads from its cells instead of walking.
TEST(StreamingMatcherReference, ManyTiedEndColumns) {
    std::mt19937_64 rng(31);
    const char* const kSource[] = {"}", "  }", "x = 1", "x = 2", "return x", ""};
    const char* const kAbsent[] = {"gone()", "also gone", "}", "x = 9"};
    ref::WalkStats stats;
    std::size_t resolutions = 0, long_resolutions = 0;
    for (int round = 0; round < 300; ++round) {
        const std::size_t n = 20 + rng() % 60;
        std::vector<std::string> source_lines(n);
        const std::size_t kinds = 1 + rng() % 3;
        for (auto& line : source_lines) line = kSource[rng() % kinds];
        std::vector<std::string> query_lines;
        const std::size_t q = 1 + rng() % 25;
        const int absent_percent = static_cast<int>(rng() % 101);
        for (std::size_t k = 0; k < q; ++k) {
            query_lines.push_back(static_cast<int>(rng() % 100) < absent_percent
                                      ? kAbsent[rng() % std::size(kAbsent)]
                                      : source_lines[rng() % n]);
        }
        std::string source;
        for (const auto& line : source_lines) source += line + "\n";
        StreamingFuzzyMatcher matcher(source);
        ref::Matcher reference(source);
        std::vector<std::string> so_far;
        for (const auto& line : query_lines) {
            ASSERT_EQ(matcher.push(line + "\n", std::nullopt),
                      reference.push(line + "\n", std::nullopt))
                << round;
            ASSERT_EQ(matcher.matches(), reference.matches()) << round;
            so_far.push_back(line);
            ref::WalkStats one;
            ref::resolve(source_lines, so_far, &one);
            stats.candidates += one.candidates;
            stats.steps += one.steps;
            long_resolutions += one.candidates > 10 && one.steps > 5 * one.candidates;
            ++resolutions;
        }
    }
    // Resolutions have tens of candidates on average, whose walks are several steps long, and
    // many have more than ten candidates walking more than five steps each.
    EXPECT_GT(stats.candidates, 20 * resolutions);
    EXPECT_GT(stats.steps, 5 * stats.candidates);
    EXPECT_GT(long_resolutions, resolutions / 4);
}

// Lines of 40 to 160 characters that differ from each other by a few edits, so that many pairs
// are similar and the query lines span one to three 64-character words of the distance.
TEST(StreamingMatcherReference, LongSimilarLines) {
    std::mt19937_64 rng(21);
    const char* const kChars[] = {"a", "b", "c", " ", "(", "\xC3\xA9", "\xE6\x97\xA5"};
    int similar_pairs = 0, multi_word_lines = 0, rounds_with_match = 0;
    for (int round = 0; round < 150; ++round) {
        std::vector<std::string> bases(3);
        for (auto& base : bases) {
            const std::size_t length = 40 + rng() % 120;
            for (std::size_t k = 0; k < length; ++k) base += kChars[rng() % (rng() % 4 == 0 ? 7 : 5)];
        }
        auto variant = [&](const std::string& base) {
            std::string out = base;
            const std::size_t edits = rng() % (out.size() / 8 + 1);
            for (std::size_t e = 0; e < edits; ++e) {
                const std::size_t pos = rng() % out.size();
                if (rng() % 2) {
                    out.insert(out.begin() + static_cast<std::ptrdiff_t>(pos), 'x');
                } else {
                    out[pos] = 'y';  // may split a character: still no crash
                }
            }
            return out;
        };
        std::vector<std::string> source_lines(4 + rng() % 12), query_lines(1 + rng() % 6);
        for (auto& l : source_lines) l = variant(bases[rng() % bases.size()]);
        for (auto& l : query_lines) l = variant(bases[rng() % bases.size()]);
        std::string source, query;
        for (const auto& l : source_lines) source += l + "\n";
        for (const auto& l : query_lines) query += l + "\n";
        for (const auto& q : query_lines) {
            multi_word_lines += brindle::utf8::decode(brindle::text::trim(q)).size() > 64;
            for (const auto& l : source_lines) similar_pairs += ref::pair_cost(q, l) == 1;
        }
        StreamingFuzzyMatcher matcher(source);
        ref::Matcher reference(source);
        for (std::size_t pos = 0; pos < query.size(); pos += 37) {
            const std::string chunk = query.substr(pos, 37);
            ASSERT_EQ(matcher.push(chunk, std::nullopt), reference.push(chunk, std::nullopt)) << round;
            ASSERT_EQ(matcher.matches(), reference.matches()) << round;
        }
        rounds_with_match += !matcher.matches().empty();
    }
    EXPECT_GT(similar_pairs, 800);
    EXPECT_GT(multi_word_lines, 200);
    EXPECT_GT(rounds_with_match, 30);  // of 150
}

// ---------------------------------------------------------------------------------------------
// Failures inside push and finish leave the matcher as it was
// ---------------------------------------------------------------------------------------------

// Throws at the k-th poll of the interrupt hook (std::bad_alloc or brindle::Interrupted), and makes
// every poll run the hook.
struct FailAtPoll {
    int remaining;
    bool bad_alloc;
    bool fired = false;

    static void hook(void* context) {
        auto* self = static_cast<FailAtPoll*>(context);
        brindle::detail::interrupt_state.budget = 0;
        if (--self->remaining == 0) {
            self->fired = true;
            if (self->bad_alloc) throw std::bad_alloc();
            throw brindle::Interrupted{};
        }
    }
};

// One call on the matcher: a push (chunk and hint) or, with no chunk, finish.
struct Call {
    const char* chunk = nullptr;  // nullptr: finish
    std::optional<std::uint32_t> hint;
};

void apply(StreamingFuzzyMatcher& m, const Call& call) {
    if (call.chunk) {
        m.push(call.chunk, call.hint);
    } else {
        m.finish();
    }
}

// Everything a caller can observe, now and through later calls.
void expect_same_matcher(StreamingFuzzyMatcher& a, StreamingFuzzyMatcher& b,
                         const std::vector<Call>& later, const std::string& what) {
    ASSERT_EQ(a.query_lines(), b.query_lines()) << what;
    ASSERT_EQ(a.matches(), b.matches()) << what;
    ASSERT_EQ(a.select_best_match(), b.select_best_match()) << what;
    for (const Call& call : later) {
        if (call.chunk) {
            ASSERT_EQ(a.push(call.chunk, call.hint), b.push(call.chunk, call.hint)) << what;
        } else {
            ASSERT_EQ(a.finish(), b.finish()) << what;
        }
        ASSERT_EQ(a.matches(), b.matches()) << what;
        ASSERT_EQ(a.query_lines(), b.query_lines()) << what;
    }
}

TEST(StreamingMatcherFailures, PushAndFinishAreAllOrNothing) {
    std::string wide;
    for (int i = 0; i < 3000; ++i) wide += "    value_" + std::to_string(i % 700) + " = compute(x);\n";
    const std::string five = "alpha\nbeta\ngamma\ndelta\nepsilon\n";
    struct Scenario {
        std::string source;
        std::vector<Call> before;  // calls that succeed first
        Call failing;              // the call made to fail at every poll in turn
        std::vector<Call> after;   // the same calls then go to both matchers
    };
    const Scenario scenarios[] = {
        {five, {}, {"alpha\nbeta\n", 3u}, {{"gamma\n", std::nullopt}, {"delta", {}}, {}}},
        {five, {{"alpha\nbe", 1u}}, {"ta\r\ngamma\nX\nY\n", std::nullopt}, {{"", 2u}, {"\n", {}}, {}}},
        {five, {{"alpha\nbeta\ngam", 4u}}, {}, {{"ma\n", {}}, {}}},
        {"a\nb\na\nb\na\n", {{"a\n", 2u}}, {"b\na\n", 4u}, {{"", 0u}, {"b\n", {}}}},
        {wide,
         {{"    value_3 = compute(x);\n", 500u}},
         {"    value_4 = compute(x);\n    value_5 = compute(y);\n    value_6 = compute(x);\n", {}},
         {{"    value_7 = compute(x);\n", 100u}, {"tail", {}}, {}}},
        {"", {{"a\n", {}}}, {"b\nc\n", 1u}, {{"d", {}}, {}}},
    };
    int failures_injected = 0;
    for (std::size_t s = 0; s < std::size(scenarios); ++s) {
        const Scenario& sc = scenarios[s];
        int k = 1;
        for (;; ++k) {
            StreamingFuzzyMatcher failed(sc.source);
            for (const Call& call : sc.before) apply(failed, call);
            FailAtPoll fail{k, k % 2 == 1};
            bool threw = false;
            try {
                brindle::ScopedInterruptHook hook(&FailAtPoll::hook, &fail);
                brindle::detail::interrupt_state.budget = 0;
                apply(failed, sc.failing);
            } catch (const std::bad_alloc&) {
                threw = true;
            } catch (const brindle::Interrupted&) {
                threw = true;
            }
            ASSERT_EQ(threw, fail.fired);
            if (!threw) break;  // k is past the last poll of the call
            ++failures_injected;
            const std::string what = "scenario " + std::to_string(s) + " poll " + std::to_string(k);
            StreamingFuzzyMatcher untouched(sc.source);
            for (const Call& call : sc.before) apply(untouched, call);
            // The failed call repeated, then the later calls, give the same answers on both.
            std::vector<Call> later{sc.failing};
            later.insert(later.end(), sc.after.begin(), sc.after.end());
            expect_same_matcher(failed, untouched, later, what);
            if (HasFatalFailure()) return;
        }
        EXPECT_GT(k, 2) << "scenario " << s << ": the call polled too rarely to test";
    }
    EXPECT_GT(failures_injected, 20);
}

// A push whose lines would not fit in memory fails with bad_alloc before computing anything and
// leaves the matcher usable. Run in a child process under an address-space limit.
TEST(StreamingMatcherFailures, HugeTableFailsCleanly) {
    std::string source;
    for (int i = 0; i < 20000; ++i) source += "line " + std::to_string(i) + "\n";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::FILE* statm = std::fopen("/proc/self/statm", "r");
        unsigned long pages = 0;
        if (statm == nullptr || std::fscanf(statm, "%lu", &pages) != 1) _exit(10);
        std::fclose(statm);
        const rlim_t limit = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (rlim_t{256} << 20);
        const rlimit rl{limit, limit};
        if (setrlimit(RLIMIT_AS, &rl) != 0) _exit(11);
        StreamingFuzzyMatcher m(source);
        m.push("line 7\n", 3u);
        // 50 million query lines: more than a gigabyte of line slots.
        const std::string hostile(50'000'000, '\n');
        try {
            m.push(hostile, std::nullopt);
            _exit(12);
        } catch (const std::bad_alloc&) {
        }
        if (m.query_lines().size() != 1 || m.matches() != Ranges{{49, 55}}) _exit(13);
        StreamingFuzzyMatcher fresh(source);
        fresh.push("line 7\n", 3u);
        if (m.push("line 8\n", std::nullopt) != fresh.push("line 8\n", std::nullopt)) _exit(14);
        if (m.finish() != fresh.finish() || m.matches() != Ranges{{49, 62}}) _exit(15);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child died: " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
