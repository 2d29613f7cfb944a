// Tests of the simple, line_trimmed and trimmed_boundary strategies: the listed cases, and the
// lazy window comparisons against plain transcriptions that join and trim every window.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "../reference/strategies.hpp"
#include "core/content_replacer/strategies.hpp"
#include "core/content_replacer/window_scans.hpp"
#include "core/text.hpp"

namespace {

using brindle::replacer::ContentLines;
using brindle::replacer::line_trimmed_replacer;
using brindle::replacer::simple_replacer;
using brindle::replacer::trimmed_boundary_replacer;
namespace text = brindle::text;

using Candidates = std::vector<std::string>;  // candidate texts, built

Candidates run(brindle::replacer::Replacer strategy, std::string_view content,
               std::string_view old_string) {
    const ContentLines lines(content);
    return strategy(lines, old_string).strings();
}

TEST(SimpleReplacer, ListedCases) {
    EXPECT_EQ(run(simple_replacer, "a\nb\n", "a\nb\n"), Candidates{"a\nb\n"});
    EXPECT_EQ(run(simple_replacer, "abc", "x"), Candidates{});
    EXPECT_EQ(run(simple_replacer, "abc", ""), Candidates{""});
    EXPECT_EQ(run(simple_replacer, "", ""), Candidates{""});
    EXPECT_EQ(run(simple_replacer, "aaa", "aa"), Candidates{"aa"});
    EXPECT_EQ(run(simple_replacer, "a\r\nb", "a\nb"), Candidates{});
}

TEST(LineTrimmedReplacer, ListedCases) {
    struct Case {
        std::string_view content, old_string;
        Candidates expected;
    };
    const Case cases[] = {
        {"    return x\nreturn x;", "  return x  ", {"    return x"}},
        // One empty last line is dropped.
        {"a\nb\n\nc", "a\nb\n\n", {"a\nb"}},
        {"a\nb\nc", "a\nb\n", {"a\nb"}},
        // Lines 'a', '' and '': only one is dropped, so 'a' must be followed by a blank line.
        {"a\nb\na\n  \nc", "a\n\n\n", {"a\n  "}},
        // Overlapping windows each yield a candidate; duplicates stay.
        {"x\nx\nx", "x\nx", {"x\nx", "x\nx"}},
        // A line of blanks matches every blank or empty line, returned unchanged.
        {"a\n  \n\n\tb\n \t", "   ", {"  ", "", " \t"}},
        {"abc", "", {}},
        {"abc", "\n", {}},
        {"a", "a\nb", {}},
        // CRLF content: joined candidates do not contain the CR.
        {"a\r\nb\r\nc", "a\nb", {"a\nb"}},
        {"a\r\nb\r\n", "b", {"b"}},
        // Non-ASCII White_Space is trimmed too.
        {"\u3000foo\u00A0", "foo", {"\u3000foo\u00A0"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(run(line_trimmed_replacer, c.content, c.old_string), c.expected)
            << "content '" << c.content << "' old '" << c.old_string << "'";
    }
}

TEST(TrimmedBoundaryReplacer, ListedCases) {
    struct Case {
        std::string_view content, old_string;
        Candidates expected;
    };
    const Case cases[] = {
        {"foo\nbar", "foo", {}},
        {"foo\n    foo", "  foo\n", {"foo", "    foo"}},
        {"a\n\nfoo\n\n", "\nfoo", {"foo", "\nfoo", "foo\n"}},
        // t absent from the content, windows still examined.
        {"  foo  \nbar", " foo\tbar ", {}},
        {"  foo  \nbar", "\n  foo \n", {"foo"}},
        {"x\n  foo  \n\n", "\n  foo \n", {"foo", "  foo  \n"}},
        // Multi-line t: inner lines are compared untrimmed.
        {"x\n  a\n  b  \ny", " a\n  b ", {"a\n  b", "  a\n  b  "}},
        {"x\n  a\n b  \ny", " a\n  b ", {}},
        // Whitespace-only old_string: t is empty and every all-blank window matches once.
        {"a\n \n\t\nb", " \n", {"", " ", "\t"}},
        {"", "  ", {""}},
        // CRLF content: a two-line block is joined with LF and does not occur, but is returned.
        {"foo\r\nbar\r\n", " foo\nbar ", {"foo\nbar"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(run(trimmed_boundary_replacer, c.content, c.old_string), c.expected)
            << "content '" << c.content << "' old '" << c.old_string << "'";
    }
}

// Random texts over a small alphabet of line pieces, with blanks, tabs, CR, LF, non-ASCII
// White_Space and multi-byte letters, so that trimmed lines often coincide.
std::string random_text(std::mt19937& rng, std::size_t max_pieces) {
    static const std::vector<std::string> pieces = {
        "a", "b", " ", "  ", "\t", "\n", "\n", "\r\n", "\r", "é", "😀", "\u3000", "\u00A0", "a b",
    };
    std::uniform_int_distribution<std::size_t> len(0, max_pieces);
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
    std::string s;
    const std::size_t count = len(rng);
    for (std::size_t k = 0; k < count; ++k) s += pieces[pick(rng)];
    return s;
}

TEST(ExactStrategies, LazyWindowsAgreeWithPlainTranscriptions) {
    std::mt19937 rng(424242);
    std::size_t found_line_trimmed = 0;
    std::size_t found_boundary_blocks = 0;
    for (int round = 0; round < 20000; ++round) {
        const std::string content = random_text(rng, 30);
        std::string old_string = random_text(rng, round % 4 == 0 ? 12 : 5);
        if (round % 3 == 0 && !content.empty()) {
            // A stretch of the content itself, padded with whitespace, to make matches likely.
            std::uniform_int_distribution<std::size_t> at(0, content.size() - 1);
            std::size_t from = at(rng);
            std::size_t to = at(rng);
            if (from > to) std::swap(from, to);
            while (from > 0 && (static_cast<unsigned char>(content[from]) & 0xC0) == 0x80) --from;
            while (to < content.size() && (static_cast<unsigned char>(content[to]) & 0xC0) == 0x80)
                ++to;
            old_string.assign(1, ' ');
            old_string.append(content, from, to - from);
            old_string.push_back(round % 2 ? '\n' : '\t');
        }
        const Candidates trimmed = run(line_trimmed_replacer, content, old_string);
        const Candidates expected = brindle::reference::strategies::line_trimmed(content, old_string);
        EXPECT_EQ(trimmed, expected) << "content '" << content << "' old '" << old_string << "'";
        // Both scans: window by window only, and by trimmed-line ids at once.
        const ContentLines table(content);
        for (std::size_t budget : {std::size_t{0}, SIZE_MAX}) {
            EXPECT_EQ(brindle::replacer::line_trimmed_replacer_with_budget(table, old_string, budget)
                          .strings(),
                      expected)
                << "budget " << budget << " content '" << content << "' old '" << old_string << "'";
        }
        const Candidates boundary = run(trimmed_boundary_replacer, content, old_string);
        EXPECT_EQ(boundary, brindle::reference::strategies::trimmed_boundary(content, old_string))
            << "content '" << content << "' old '" << old_string << "'";
        found_line_trimmed += !trimmed.empty();
        found_boundary_blocks += boundary.size() > 1;
    }
    // The generated inputs must exercise matching windows, not only misses.
    EXPECT_GT(found_line_trimmed, 1000u);
    EXPECT_GT(found_boundary_blocks, 1000u);
}

}  // namespace

namespace {

TEST(TrimmedBoundaryReplacer, LongSearchTextInLongContentFinishes) {
    // 20000 equal lines searched for 10001 of them with whitespace around: every window
    // matches, and comparing each one in full would take about 10^10 byte steps.
    std::string content;
    for (int k = 0; k < 20000; ++k) content += "    x = f(a, b);\n";
    std::string old_string = "  ";
    for (int k = 0; k < 10000; ++k) old_string += "    x = f(a, b);\n";
    old_string += "    x = f(a, b);  ";
    const Candidates found = run(trimmed_boundary_replacer, content, old_string);
    // t itself, then the one distinct window text.
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0], text::trim(old_string));
    EXPECT_EQ(found[1], content.substr(0, 10001 * 17 - 1));
}

}  // namespace

namespace {

using brindle::replacer::kStrategies;

// The content's shared tables against their definitions: ids equal exactly when the trimmed
// lines are equal, windows' texts, lengths, contiguity, equality and hashes against the joined
// text, on generated contents (CR LF and blank lines included).
// Every other round lowers the limit of the 32-bit tables to a random offset, so that the tables
// switch to 64 bits part way through (or from the start).
TEST(ContentLines, TablesAgreeWithTheirDefinitions) {
    std::mt19937 rng(99);
    std::size_t contiguous = 0, not_contiguous = 0, equal_windows = 0, wide = 0;
    for (int round = 0; round < 3000; ++round) {
        const std::string content = random_text(rng, 40);
        const std::uint64_t narrow_max =
            round % 2 == 0 ? brindle::replacer::IndexTable::kNarrowMax : rng() % (content.size() + 1);
        const ContentLines table(content, narrow_max);
        const std::vector<std::string_view> lines = text::split_lines(content);
        ASSERT_EQ(table.lines.size(), lines.size());
        ASSERT_EQ(std::vector<std::string_view>(table.lines.begin(), table.lines.end()), lines);
        for (std::size_t k = 0; k < lines.size(); ++k) {
            ASSERT_EQ(table.lines[k].data(), lines[k].data());
            ASSERT_EQ(table.lines[k].size(), lines[k].size());
        }
        wide += table.lines.wide();
        const std::size_t n = lines.size();
        for (std::size_t a = 0; a < n; ++a) {
            ASSERT_NE(table.trimmed_id(a), ContentLines::kAbsent);
            ASSERT_EQ(table.id_of_trimmed(text::trim(lines[a])), table.trimmed_id(a));
            for (std::size_t b = 0; b < n; ++b) {
                ASSERT_EQ(table.trimmed_id(a) == table.trimmed_id(b),
                          text::trim(lines[a]) == text::trim(lines[b]));
            }
        }
        EXPECT_EQ(table.id_of_trimmed("not a line"), ContentLines::kAbsent);
        for (std::size_t begin = 0; begin < n; ++begin) {
            for (std::size_t count = 1; begin + count <= n; ++count) {
                const std::string joined = text::join_lines(lines, begin, count);
                ASSERT_EQ(table.window_text(begin, count), joined);
                ASSERT_EQ(table.window_length(begin, count), joined.size());
                ASSERT_EQ(table.window_hash(begin, count), ContentLines::text_hash(joined));
                ASSERT_TRUE(table.window_equals(begin, count, joined));
                ASSERT_FALSE(table.window_equals(begin, count, joined + "x"));
                const bool contiguous_here = table.window_span(begin, count) == joined;
                ASSERT_EQ(table.window_is_contiguous(begin, count), contiguous_here);
                (contiguous_here ? contiguous : not_contiguous) += 1;
                for (std::size_t other = 0; other < n; ++other) {
                    for (std::size_t other_count = 1; other + other_count <= n && other_count <= 3;
                         ++other_count) {
                        const bool same = text::join_lines(lines, other, other_count) == joined;
                        ASSERT_EQ(table.windows_equal(begin, count, other, other_count), same);
                        equal_windows += same && other != begin;
                    }
                }
            }
        }
    }
    EXPECT_GT(contiguous, 1000u);
    EXPECT_GT(not_contiguous, 1000u);
    EXPECT_GT(equal_windows, 1000u);
    EXPECT_GT(wide, 1000u);
}

// A class of equal windows followed in ascending order (with now and then a step back, as when a
// later strategy goes over the content again) answers as a comparison of the window texts would.
// Contents of periodic line sequences with defects, so that windows at one spacing repeat for a
// while (the comparison of the last lines only), then stop.
TEST(ContentLines, WindowRunsAgreeWithTextComparison) {
    std::mt19937 rng(5);
    std::size_t known_spacing = 0, equal = 0, unequal = 0, steps_back = 0;
    for (int round = 0; round < 2000; ++round) {
        const std::size_t period = 1 + rng() % 4;
        const char* const kLines[] = {"a", "b", "a\r", "", " a"};
        std::vector<std::string> unit(period);
        for (auto& line : unit) line = kLines[rng() % std::size(kLines)];
        std::string content;
        const std::size_t n = 10 + rng() % 80;
        for (std::size_t k = 0; k < n; ++k) {
            content += rng() % 25 == 0 ? std::string("defect") : unit[k % period];
            content += rng() % 8 == 0 ? "\r\n" : "\n";
        }
        const ContentLines table(content);
        const std::size_t count = 1 + rng() % std::min<std::size_t>(n, 12);
        const std::size_t first = rng() % (n - count + 1);
        ContentLines::WindowRun run{first, count};
        const std::string text = table.window_text(first, count);
        std::size_t begin = first;
        for (int step = 0; step < 40; ++step) {
            if (rng() % 10 == 0) {
                begin = rng() % (n - count + 1);
                steps_back += begin < run.last;
            } else {
                begin += rng() % 3 == 0 ? 1 + rng() % 5 : period;
            }
            if (begin + count > n) break;
            const std::size_t spacing = begin - std::min(begin, run.last);
            known_spacing += spacing != 0 && spacing == run.period;
            const bool same = table.window_text(begin, count) == text;
            ASSERT_EQ(table.same_text_as(run, begin), same) << content << " " << begin;
            (same ? equal : unequal) += 1;
            if (same) {
                ASSERT_EQ(run.last, begin);
            }
        }
    }
    EXPECT_GT(known_spacing, 2000u);
    EXPECT_GT(equal, 6000u);
    EXPECT_GT(unequal, 5000u);
    EXPECT_GT(steps_back, 1000u);
}

TEST(Candidates, ViewsOwnedTextsAndWindows) {
    const std::string content = "a\r\nb\nc\n";
    const ContentLines table(content);
    brindle::replacer::Candidates list;
    list.add_view(std::string_view(content).substr(0, 1));
    list.add_owned("x\ny");
    list.add_window(table, 0, 2);  // 'a' CR LF 'b': built when read
    list.add_window(table, 1, 2);  // a stretch of the content
    EXPECT_EQ(list.strings(), (Candidates{"a", "x\ny", "a\nb", "b\nc"}));
    std::string scratch;
    EXPECT_EQ(list.text(3, scratch).data(), content.data() + 3);
    for (std::size_t k = 0; k < list.size(); ++k) {
        const std::string t(list.text(k, scratch));
        EXPECT_EQ(list.length(k), t.size());
        EXPECT_EQ(list.hash(k), ContentLines::text_hash(t));
        EXPECT_TRUE(list.equals(k, t));
        EXPECT_EQ(list.equals_window(k, table, 0, 2), t == "a\nb");
        EXPECT_EQ(list.equals_window(k, table, 1, 2), t == "b\nc");
        EXPECT_EQ(list.window(k).has_value(), k >= 2);
    }
}

// Views and windows added in any order and windows of differing line counts: the list gives back
// what was added, in order, against a plain list of the same texts.
TEST(Candidates, AnyMixOfViewsAndWindowsKeepsItsOrder) {
    std::mt19937 rng(17);
    std::size_t mixed_counts = 0, view_after_window = 0;
    for (int round = 0; round < 2000; ++round) {
        const std::string content = random_text(rng, 30);
        const ContentLines table(content);
        const std::size_t n = table.lines.size();
        brindle::replacer::Candidates list;
        std::vector<std::string> plain;
        std::vector<std::optional<std::pair<std::size_t, std::size_t>>> windows;
        const std::size_t shared = 1 + rng() % 3;
        bool window_seen = false, counts_differ = false, view_late = false;
        for (int k = rng() % 12; k > 0; --k) {
            const unsigned kind = rng() % 4;
            if (kind == 0) {
                const std::size_t at = rng() % (content.size() + 1);
                const std::string_view view = std::string_view(content).substr(at, rng() % 5);
                list.add_view(view);
                plain.emplace_back(view);
                windows.push_back(std::nullopt);
                view_late = view_late || window_seen;
            } else if (kind == 1) {
                const std::string owned(rng() % 4, 'x');
                list.add_owned(owned);
                plain.push_back(owned);
                windows.push_back(std::nullopt);
                view_late = view_late || window_seen;
            } else if (n > 0) {
                const std::size_t count = kind == 2 ? shared : 1 + rng() % n;
                const std::size_t begin = rng() % (n - std::min(count, n) + 1);
                if (begin + count > n) continue;
                list.add_window(table, begin, count);
                plain.push_back(table.window_text(begin, count));
                windows.push_back(std::pair(begin, count));
                counts_differ = counts_differ || count != shared;
                window_seen = true;
            }
        }
        ASSERT_EQ(list.size(), plain.size());
        ASSERT_EQ(list.strings(), plain);
        std::string scratch;
        for (std::size_t k = 0; k < plain.size(); ++k) {
            ASSERT_EQ(list.window(k), windows[k]);
            ASSERT_EQ(list.length(k), plain[k].size());
            ASSERT_EQ(list.hash(k), ContentLines::text_hash(plain[k]));
            ASSERT_TRUE(list.equals(k, plain[k]));
            if (!windows[k]) {
                list.set_search_from(k, k + 1);
                ASSERT_EQ(list.search_from(k), k + 1);
            } else {
                ASSERT_EQ(list.search_from(k), 0u);
            }
        }
        mixed_counts += counts_differ;
        view_after_window += view_late;
    }
    EXPECT_GT(mixed_counts, 200u);
    EXPECT_GT(view_after_window, 200u);
}

TEST(StrategyTable, NamesAreDistinctAndFunctionsSet) {
    for (std::size_t k = 0; k < kStrategies.size(); ++k) {
        EXPECT_NE(kStrategies[k].find, nullptr);
        for (std::size_t j = 0; j < k; ++j) EXPECT_NE(kStrategies[k].name, kStrategies[j].name);
    }
}

}  // namespace
