// Tests of the streaming matcher: chunk buffering, the line alignment, the choice by line hint and
// get_text, plus a plain reference matcher (whole table recomputed at every resolution) compared
// with the incremental one on generated inputs.
#include "core/streaming_matcher.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/text.hpp"
#include "core/utf8.hpp"

namespace {

using brindle::streaming::MatchRange;
using brindle::streaming::StreamingFuzzyMatcher;
using brindle::streaming::TextRangeError;
using Ranges = std::vector<MatchRange>;

// ---------------------------------------------------------------------------------------------
// Reference matcher: the rules written out as plainly as possible, no incremental work.
// ---------------------------------------------------------------------------------------------
namespace ref {

constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();

std::uint32_t add(std::uint32_t a, std::uint32_t b) {
    const std::uint64_t sum = std::uint64_t{a} + b;
    return sum > kMax ? kMax : static_cast<std::uint32_t>(sum);
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string current;
    bool open = false;
    for (char ch : text) {
        if (ch == '\n') {
            if (!current.empty() && current.back() == '\r') current.pop_back();
            lines.push_back(current);
            current.clear();
            open = false;
        } else {
            current.push_back(ch);
            open = true;
        }
    }
    if (open) lines.push_back(current);
    return lines;
}

std::uint64_t levenshtein(std::string_view a, std::string_view b) {
    const std::vector<char32_t> x = brindle::utf8::decode(a);
    const std::vector<char32_t> y = brindle::utf8::decode(b);
    std::vector<std::vector<std::uint64_t>> d(x.size() + 1, std::vector<std::uint64_t>(y.size() + 1));
    for (std::size_t i = 0; i <= x.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= y.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= x.size(); ++i) {
        for (std::size_t j = 1; j <= y.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (x[i - 1] == y[j - 1] ? 0 : 1)});
        }
    }
    return d[x.size()][y.size()];
}

std::uint32_t pair_cost(std::string_view query_line, std::string_view source_line) {
    const std::string_view q = brindle::text::trim(query_line);
    const std::string_view s = brindle::text::trim(source_line);
    if (q == s) return 0;
    if (q.empty() || s.empty()) return 13;
    const double longer = static_cast<double>(std::max(q.size(), s.size()));
    const double difference =
        static_cast<double>(std::max(q.size(), s.size()) - std::min(q.size(), s.size()));
    if (1.0 - difference / longer < 0.8) return 13;
    const double distance = static_cast<double>(levenshtein(q, s));
    return 1.0 - distance / longer < 0.8 ? 13 : 1;
}

enum Step { kQueryOnly, kSourceOnly, kPaired };
struct Cell {
    std::uint32_t cost = 0;
    Step step = kPaired;
};

Ranges resolve(const std::vector<std::string>& source, const std::vector<std::string>& query) {
    const std::size_t n = source.size();
    const std::size_t m = query.size();
    std::vector<std::vector<Cell>> t(m + 1, std::vector<Cell>(n + 1));
    for (std::size_t r = 1; r <= m; ++r) {
        t[r][0] = {static_cast<std::uint32_t>(10 * r), kQueryOnly};
        for (std::size_t c = 1; c <= n; ++c) {
            const std::uint32_t above = add(t[r - 1][c].cost, 10);
            const std::uint32_t left = add(t[r][c - 1].cost, 3);
            const std::uint32_t diagonal =
                add(t[r - 1][c - 1].cost, pair_cost(query[r - 1], source[c - 1]));
            Cell cell = left < above ? Cell{left, kSourceOnly} : Cell{above, kQueryOnly};
            if (diagonal < cell.cost) cell = {diagonal, kPaired};
            t[r][c] = cell;
        }
    }
    Ranges out;
    if (n == 0) return out;
    std::uint32_t least = kMax;
    for (std::size_t c = 1; c <= n; ++c) least = std::min(least, t[m][c].cost);
    std::vector<std::uint64_t> offsets;
    std::uint64_t offset = 0;
    for (const auto& line : source) {
        offsets.push_back(offset);
        offset += line.size() + 1;
    }
    for (std::size_t e = 1; e <= n; ++e) {
        if (t[m][e].cost != least) continue;
        std::size_t r = m, c = e, count = 0;
        while (r > 0 && c > 0) {
            const Step step = t[r][c].step;
            if (step == kPaired) {
                --r, --c, ++count;
            } else if (step == kQueryOnly) {
                --r;
            } else {
                --c;
            }
        }
        const float ratio = static_cast<float>(count) /
                            std::max(static_cast<float>(e - c), static_cast<float>(m));
        if (ratio < 0.8f) continue;
        out.push_back({offsets[c], offsets[e - 1] + source[e - 1].size()});
    }
    return out;
}

std::optional<MatchRange> select(const std::vector<std::string>& source, const Ranges& matches,
                                 std::optional<std::uint32_t> hint) {
    if (matches.empty()) return std::nullopt;
    if (matches.size() == 1) return matches[0];
    if (!hint) return std::nullopt;
    std::optional<MatchRange> best;
    std::int64_t best_distance = -1;
    for (const MatchRange& range : matches) {
        // The line whose first byte is the range's start, found by walking the lines.
        std::uint64_t offset = 0;
        std::int64_t line = 0;
        for (std::size_t k = 0; k < source.size(); ++k) {
            if (offset <= range.start) line = static_cast<std::int64_t>(k);
            offset += source[k].size() + 1;
        }
        const std::int64_t distance = std::abs(line - static_cast<std::int64_t>(*hint));
        if (distance > 200) continue;
        if (best_distance < 0 || distance < best_distance) {
            best_distance = distance;
            best = range;
        }
    }
    return best;
}

// Keeps the whole pushed text and re-splits it; recomputes the whole table at every resolution.
class Matcher {
public:
    explicit Matcher(std::string_view source) : source_(split_lines(std::string(source))) {}

    std::optional<MatchRange> push(std::string_view chunk, std::optional<std::uint32_t> hint) {
        if (hint) hint_ = hint;
        pending_ += chunk;
        if (chunk.find('\n') != std::string_view::npos) {
            std::size_t lf;
            while ((lf = pending_.find('\n')) != std::string::npos) {
                std::string line = pending_.substr(0, lf);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                query_.push_back(line);
                pending_.erase(0, lf + 1);
            }
            matches_ = resolve(source_, query_);
        }
        if (auto best = select(source_, matches_, hint_)) return best;
        if (!matches_.empty()) return matches_[0];
        return std::nullopt;
    }

    Ranges finish() {
        if (!pending_.empty()) {
            query_.push_back(pending_);
            pending_.clear();
            matches_ = resolve(source_, query_);
        }
        return matches_;
    }

    std::optional<MatchRange> select_best_match() const { return select(source_, matches_, hint_); }
    const std::vector<std::string>& query_lines() const { return query_; }
    const Ranges& matches() const { return matches_; }

private:
    std::vector<std::string> source_;
    std::vector<std::string> query_;
    std::string pending_;
    Ranges matches_;
    std::optional<std::uint32_t> hint_;
};

}  // namespace ref

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
    EXPECT_GE(m.table_bytes(), 5u * 5001u * 4u);
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
    for (MatchRange bad : {MatchRange{1, 2}, MatchRange{0, 1}, MatchRange{3, 4}, MatchRange{4, 6},
                           MatchRange{0, 5}}) {
        auto result = m.get_text(bad);
        ASSERT_TRUE(std::holds_alternative<TextRangeError>(result)) << bad.start << ".." << bad.end;
        EXPECT_EQ(std::get<TextRangeError>(result).start, bad.start);
        EXPECT_EQ(std::get<TextRangeError>(result).end, bad.end);
    }
}

TEST(StreamingMatcherText, AgreesWithJoinedSourceOnAllRanges) {
    const std::string sources[] = {"a\r\n\xC3\xA9x\n\n  \xE6\x97\xA5 \r\nlast\r", "\n\n\n",
                                   "one line", "\xF0\x9F\x98\x80\n\xF0\x9F\x98\x80"};
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
        {"\xC2\xA0" "abc\xE3\x80\x80", "abc", 0},  // NBSP and ideographic space trim away
        {"", "   ", 0},
        {"", "x", 13},
        {"x", " ", 13},
        {"abcde", "abcdx", 1},       // 1 - 1/5 = 0.8
        {"abcd", "abcx", 13},        // 1 - 1/4 = 0.75
        {"return 42;", "return 43;", 1},
        {"abcde", "abcd", 1},        // length test passes, distance 1 over 5
        {"abcdef", "abcd", 13},      // 2/6 apart already by length
        {"aaaab", "aaaaa", 1},
        {"\xC3\xA9\xC3\xA9\xC3\xA9", "\xC3\xA9\xC3\xA9" "e", 1},   // 1 char over 6 bytes
        {"\xC3\xA9\xC3\xA9", "ee", 13},                       // length 4 vs 2
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
        {"l1\n", MatchRange{0, 2}},  {"l2\n", MatchRange{0, 5}},  {"NEW\n", std::nullopt},
        {"l3\n", std::nullopt},      {"l4\n", MatchRange{0, 11}}, {"l5\n", MatchRange{0, 14}},
    };
    for (const auto& [chunk, expected] : steps) {
        EXPECT_EQ(m.push(chunk, std::nullopt), expected) << chunk;
    }
}

TEST(StreamingMatcherAlignment, TableHoldsFiveBytesPerCellInWholeRows) {
    StreamingFuzzyMatcher m("a\nb\nc\n");
    EXPECT_EQ(m.table_bytes(), 0u);
    for (int i = 1; i <= 40; ++i) {
        m.push("b\n", std::nullopt);
        const std::size_t cells = m.table_bytes() / 5;
        EXPECT_EQ(m.table_bytes() % 5, 0u);
        EXPECT_EQ(cells % 4, 0u);
        EXPECT_GE(cells, static_cast<std::size_t>(i + 1) * 4);
        EXPECT_LE(cells, static_cast<std::size_t>(2 * (i + 1)) * 4);
    }
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
            "abcde", "abcdx", "abcd", "abcx", "return 42;", "return 43;", "  return 42;",
            "", "   ", "\t}", "}", "{", "\xC3\xA9", "\xC3\xA9" "a",
            "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",
            "\xE6\x97\xA5\xE6\x9C\xAC", "\xC2\xA0x\xE3\x80\x80", "x", "x\r", "aaaaa", "aaaab", "abcdy",
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

}  // namespace
