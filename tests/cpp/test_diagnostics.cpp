// Tests of the failure diagnostics: exact message texts, the closest-match search (against a
// plain transcription that measures every candidate window), the diff and its truncation, and
// the match locations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "../reference/diagnostics.hpp"
#include "core/cancel.hpp"
#include "core/content_replacer/diagnostics.hpp"
#include "core/edit_distance.hpp"
#include "core/text.hpp"
#include "core/utf8.hpp"

namespace {

using brindle::replacer::build_match_diff;
using brindle::replacer::build_multiple_matches_error;
using brindle::replacer::build_not_found_error;
using brindle::replacer::ContentLines;
using brindle::replacer::find_closest_match;
using brindle::replacer::find_match_locations;
using brindle::replacer::find_most_similar_window;
using brindle::replacer::FuzzyMatchInfo;
namespace text = brindle::text;

const std::string kTips =
    "\n\nDebugging tips:\n"
    "1. Check for exact whitespace/indentation match\n"
    "2. Verify line endings match the file (\\r\\n vs \\n)\n"
    "3. Ensure the search text hasn't been modified\n"
    "4. Try reading the file section first to get exact text";

const std::string kAdvice =
    "\"\n\nTo fix, include more surrounding context in old_string to uniquely identify the target "
    "location, or use replace_all=True to replace all occurrences, or provide a line_hint to "
    "select the closest match.";

std::string not_found_message(std::string_view content, std::string_view old_string) {
    const ContentLines lines(content);
    return build_not_found_error(lines, old_string).message;
}

std::vector<std::uint64_t> locations(std::string_view content, std::string_view old_string) {
    const ContentLines lines(content);
    return find_match_locations(lines, old_string);
}

TEST(Diagnostics, TipsAre219Bytes) {
    EXPECT_EQ(kTips.size(), 219u);
}

TEST(BuildMatchDiff, PairsLinesByPosition) {
    EXPECT_EQ(build_match_diff("a\nb\nc", "a\nx\nc"),
              "--- SEARCH\n+++ CLOSEST MATCH\n a\n-b\n+x\n c\n");
    // Unpaired lines show on their own side only; an empty search line against an absent window
    // line counts as equal.
    EXPECT_EQ(build_match_diff("a\nb\nc", "a"), "--- SEARCH\n+++ CLOSEST MATCH\n a\n-b\n-c\n");
    EXPECT_EQ(build_match_diff("a", "a\nb"), "--- SEARCH\n+++ CLOSEST MATCH\n a\n+b\n");
    EXPECT_EQ(build_match_diff("a\n\n", "a"), "--- SEARCH\n+++ CLOSEST MATCH\n a\n \n");
    EXPECT_EQ(build_match_diff("", ""), "--- SEARCH\n+++ CLOSEST MATCH\n");
    EXPECT_EQ(build_match_diff("a\r\nb", "a\nb"), "--- SEARCH\n+++ CLOSEST MATCH\n a\n b\n");
}

TEST(BuildMatchDiff, TruncatesAt2000BytesOnACharacterBoundary) {
    const std::string header = "--- SEARCH\n+++ CLOSEST MATCH\n";  // 29 bytes
    const std::string truncated = "\n...(diff truncated)";
    // 29 + (1 + 1969 + 1) = 2000 bytes: left whole.
    const std::string line1969(1969, 'a');
    const std::string exact = build_match_diff(line1969, line1969);
    EXPECT_EQ(exact.size(), 2000u);
    EXPECT_EQ(exact, header + " " + line1969 + "\n");
    // 2001 bytes: the first 2000 and the marker.
    const std::string line1970(1970, 'a');
    EXPECT_EQ(build_match_diff(line1970, line1970), header + " " + line1970 + truncated);
    // A two-byte character on bytes 1999 and 2000 is not split: the cut falls before it.
    const std::string wide = line1969 + "é";
    EXPECT_EQ(build_match_diff(wide, wide), header + " " + line1969 + truncated);
    // Very long texts are cut the same way.
    const std::string many(100000, 'x');
    const std::string diff = build_match_diff(many, many + "y");
    EXPECT_EQ(diff.size(), 2000 + truncated.size());
    EXPECT_EQ(diff.substr(0, 31), header + "-x");
}

TEST(NotFound, NoClosestMatchWhenContentIsShorter) {
    EXPECT_EQ(
        not_found_message("x\n", "foo\nbar"),
        "Search text not found in file.\nFirst search line 'foo' not found anywhere in file" + kTips);
    const ContentLines lines("x\n");
    EXPECT_FALSE(build_not_found_error(lines, "foo\nbar").closest_match.has_value());
}

TEST(NotFound, ClosestMatchAtExactly80Percent) {
    const std::string content = "line1\nabcdX\nline3";
    const ContentLines lines(content);
    const auto error = build_not_found_error(lines, "abcde");
    EXPECT_EQ(error.message,
              "Search text not found in file.\nFirst search line 'abcde' not found anywhere in file"
              "\nClosest fuzzy match (80.0% similar) at lines 2-2:\n"
              "--- SEARCH\n+++ CLOSEST MATCH\n-abcde\n+abcdX\n" +
                  kTips);
    ASSERT_TRUE(error.closest_match.has_value());
    EXPECT_EQ(error.closest_match->similarity, 0.8);
    EXPECT_EQ(error.closest_match->start_line, 2u);
    EXPECT_EQ(error.closest_match->end_line, 2u);
    EXPECT_EQ(error.closest_match->text, "abcdX");
}

TEST(NotFound, SimilarityWithOneDecimal) {
    // 1 - 3/20 = 0.85.
    const std::string message = not_found_message("zz\nabcdefghijklmnopqXYZ\n", "abcdefghijklmnopqrst");
    EXPECT_NE(message.find("\nClosest fuzzy match (85.0% similar) at lines 2-2:\n"), std::string::npos)
        << message;
    // Below 0.8 no closest match: 1 - 2/5 = 0.6.
    EXPECT_EQ(
        not_found_message("abcXY", "abcde"),
        "Search text not found in file.\nFirst search line 'abcde' not found anywhere in file" + kTips);
}

TEST(NotFound, FirstLineReportListsThreeLines) {
    const std::string content = "a\nprobe 1\nb\nc\nd\ne\nprobe 2\nf\nprobe 3\ng\nh\nprobe 4\n";
    EXPECT_EQ(not_found_message(content, "  probe\nnothing like this at all"),
              "Search text not found in file.\nFirst search line 'probe' appears at line(s): 2, 7, 9" +
                  kTips);
}

TEST(NotFound, BlankFirstLineHasNoReportButAnchorsTheNextLine) {
    const std::string content = "q\nfunction go() {\n  return 1;\n}\n";
    const std::string old_string = "  \nfunction go() {\n  return 2;";
    const std::string message = not_found_message(content, old_string);
    EXPECT_EQ(message.rfind("Search text not found in file.\nClosest fuzzy match (", 0), 0u) << message;
    const ContentLines lines(content);
    const auto closest = find_closest_match(lines, old_string);
    ASSERT_TRUE(closest.has_value());
    EXPECT_EQ(closest->start_line, 1u);
    EXPECT_EQ(closest->end_line, 3u);
    EXPECT_EQ(closest->text, "q\nfunction go() {\n  return 1;");
}

TEST(FindClosestMatch, NoneForBlankOrEmptySearch) {
    const ContentLines lines("a\nb\n");
    EXPECT_FALSE(find_closest_match(lines, "").has_value());
    EXPECT_FALSE(find_closest_match(lines, "  \n\t").has_value());
    EXPECT_FALSE(find_closest_match(lines, "a\nb\nc").has_value());
}

TEST(FindClosestMatch, EarliestOfEquallySimilarWindows) {
    // Both 'abcdX' and 'abcdY' score 0.8; the earlier is reported.
    const ContentLines lines("abcdX\nabcdY\n");
    const auto closest = find_closest_match(lines, "abcde");
    ASSERT_TRUE(closest.has_value());
    EXPECT_EQ(closest->start_line, 1u);
}

TEST(FindClosestMatch, OnlyWindowsNearAnchorHits) {
    // The anchor occurs on line index 20 only, so windows 15..25 are examined and the close
    // window at index 2 is not.
    std::string content;
    for (int k = 0; k < 30; ++k) {
        content += k == 2 ? "hello worlx\n" : (k == 20 ? "xx hello world xxxxxx\n" : "zzz\n");
    }
    const ContentLines lines(content);
    EXPECT_FALSE(find_closest_match(lines, "hello world").has_value());
    // Without any anchor hit, the first 100 windows are examined.
    const ContentLines lines2("zzz\nzzz\nhello worlx\n");
    const auto closest = find_closest_match(lines2, "hello world");
    ASSERT_TRUE(closest.has_value());
    EXPECT_EQ(closest->start_line, 3u);
    EXPECT_EQ(closest->similarity, 1.0 - 1.0 / 11.0);
}

TEST(FindClosestMatch, AnchorHitBeyondEveryWindowExaminesNothing) {
    // 8 search lines against 10 content lines: windows 0..2. The anchor occurs on line index 9
    // only, whose windows 4..14 do not exist; the fallback applies only without any hit.
    const std::string old_string = "ANCHOR\nb\nc\nd\ne\nf\ng\nh";
    const std::string similar = "ANCHOr\nb\nc\nd\ne\nf\ng\nh\npad\n";
    const std::string hit_text = similar + "ANCHOR\n";
    const std::string other_text = similar + "other\n";
    const ContentLines with_hit(hit_text);
    EXPECT_FALSE(find_closest_match(with_hit, old_string).has_value());
    const ContentLines without_hit(other_text);
    const auto closest = find_closest_match(without_hit, old_string);
    ASSERT_TRUE(closest.has_value());
    EXPECT_EQ(closest->start_line, 1u);
    EXPECT_EQ(closest->end_line, 8u);
}

TEST(MultipleMatches, SevenLocationsShowFive) {
    std::string content;
    for (int k = 0; k < 7; ++k) content += "foo\nx\n";
    const ContentLines lines(content);
    const auto error = build_multiple_matches_error(lines, "foo");
    EXPECT_EQ(error.message,
              "Pattern found at multiple locations (lines: 1, 3, 5, 7, 9, ... (7 total)).\n"
              "Search text starts with: \"foo" +
                  kAdvice);
    EXPECT_EQ(error.locations, (std::vector<std::uint64_t>{1, 3, 5, 7, 9, 11, 13}));
}

TEST(MultipleMatches, FiveLocationsAndNone) {
    const ContentLines lines("a\na\na\na\na\n");
    EXPECT_EQ(build_multiple_matches_error(lines, "a").message,
              "Pattern found at multiple locations (lines: 1, 2, 3, 4, 5).\n"
              "Search text starts with: \"a" +
                  kAdvice);
    const auto none = build_multiple_matches_error(lines, "b\nc");
    EXPECT_EQ(none.message,
              "Pattern found at multiple locations (lines: ).\nSearch text starts with: \"b" + kAdvice);
    EXPECT_TRUE(none.locations.empty());
}

TEST(MultipleMatches, PreviewCountsCharacters) {
    std::string sixty;
    for (int k = 0; k < 60; ++k) sixty += k % 2 ? "é" : "x";
    const ContentLines lines("z");
    EXPECT_EQ(build_multiple_matches_error(lines, sixty + "\nmore").message,
              "Pattern found at multiple locations (lines: ).\nSearch text starts with: \"" + sixty +
                  kAdvice);
    EXPECT_EQ(build_multiple_matches_error(lines, sixty + "😀\nmore").message,
              "Pattern found at multiple locations (lines: ).\nSearch text starts with: \"" + sixty +
                  "..." + kAdvice);
    EXPECT_EQ(build_multiple_matches_error(lines, "").message,
              "Pattern found at multiple locations (lines: 1).\nSearch text starts with: \"" + kAdvice);
}

TEST(FindMatchLocations, ListedCases) {
    using V = std::vector<std::uint64_t>;
    EXPECT_EQ(locations("a b\nb\nab", "b"), (V{1, 2, 3}));
    EXPECT_EQ(locations("x\ny\nx\ny\nx", "x\ny"), (V{1, 3}));
    // A multi-line search text ending in LF, or with CR LF line ends, never fits a joined block.
    EXPECT_EQ(locations("x\ny\nx\ny\n", "x\ny\n"), V{});
    EXPECT_EQ(locations("x\r\ny\r\n", "x\r\ny"), V{});
    // Empty probe: every line for the empty text, blocks for a text starting with LF.
    EXPECT_EQ(locations("a\nb\n", ""), (V{1, 2}));
    EXPECT_EQ(locations("a\nb\n", "\n"), (V{1, 2}));
    EXPECT_EQ(locations("a\n\nb\n\nb", "\nb"), (V{2, 4}));
    // The block is cut at the end of the content.
    EXPECT_EQ(locations("a\nb\na", "a\nb"), (V{1}));
    // A one-line text with LF is found by its line.
    EXPECT_EQ(locations("a\nb\na", "a\n"), (V{1, 3}));
}

// The plain form of the closest-match search, with its result in FuzzyMatchInfo terms.
std::optional<FuzzyMatchInfo> plain_closest(std::string_view content, std::string_view old_string) {
    const auto match = brindle::reference::closest_match(content, old_string);
    if (!match) return std::nullopt;
    const std::size_t m = text::split_lines(old_string).size();
    return FuzzyMatchInfo{match->similarity, match->start + 1, match->start + m, match->text, ""};
}

// Plain transcription of the diff: the whole text built, then cut.
std::string plain_diff(std::string_view old_string, std::string_view window) {
    const auto a = text::split_lines(old_string);
    const auto b = text::split_lines(window);
    std::string out = "--- SEARCH\n+++ CLOSEST MATCH\n";
    for (std::size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        const std::string_view la = i < a.size() ? a[i] : "";
        const std::string_view lb = i < b.size() ? b[i] : "";
        auto add = [&out](char mark, std::string_view line) {
            out.push_back(mark);
            out.append(line);
            out.push_back('\n');
        };
        if (la == lb) {
            add(' ', la);
        } else {
            if (i < a.size()) add('-', la);
            if (i < b.size()) add('+', lb);
        }
    }
    if (out.size() > 2000) {
        out.resize(brindle::utf8::floor_boundary(out, 2000));
        out += "\n...(diff truncated)";
    }
    return out;
}

TEST(FindClosestMatch, AgreesWithPlainTranscriptionOnGeneratedInputs) {
    std::mt19937 rng(99);
    const std::vector<std::string> line_pool = {
        "int x = 1;", "int x = 2;", "  return x;", "return y;", "}",        "",         "  ",
        "é€😀 abc",    "é€😀 abd",    "if (a) {",    "if (b) {",  "\tfoo();", "foo();\r",
    };
    std::uniform_int_distribution<std::size_t> pick(0, line_pool.size() - 1);
    std::uniform_int_distribution<std::size_t> content_len(0, 40);
    std::uniform_int_distribution<std::size_t> search_len(1, 4);
    std::size_t found = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string content;
        const std::size_t n = content_len(rng);
        for (std::size_t k = 0; k < n; ++k) content += line_pool[pick(rng)] + "\n";
        std::string old_string;
        const std::size_t m = search_len(rng);
        for (std::size_t k = 0; k < m; ++k) {
            if (k > 0) old_string += "\n";
            old_string += line_pool[pick(rng)];
        }
        const ContentLines lines(content);
        const auto fast = find_closest_match(lines, old_string);
        const auto plain = plain_closest(content, old_string);
        ASSERT_EQ(fast.has_value(), plain.has_value()) << content << "\n---\n" << old_string;
        if (!fast) continue;
        ++found;
        EXPECT_EQ(fast->similarity, plain->similarity);
        EXPECT_EQ(fast->start_line, plain->start_line);
        EXPECT_EQ(fast->end_line, plain->end_line);
        EXPECT_EQ(fast->text, plain->text);
        EXPECT_EQ(fast->diff, plain_diff(old_string, plain->text));
    }
    EXPECT_GT(found, 300u);
}

// Generated contents and search texts whose windows are often close to each other: lines drawn
// from a small pool with variants that differ by a character or two, long lines (distances over
// several 64-character blocks), non-ASCII text and CR LF line ends (windows that are not
// contiguous in the content). Returns the texts.
struct WindowCase {
    std::string content;
    std::string old_string;
};

WindowCase generate_window_case(std::mt19937& rng, int round) {
    static const std::vector<std::string> pool = {
        "int x = 1;",
        "int x = 2;",
        "  return x;",
        "return y;",
        "}",
        "",
        "  ",
        "é€😀 abc",
        "é€😀 abd",
        "if (a) {",
        "if (b) {",
        "\tfoo();",
        "foo();\r",
        "    long_function_name(argument_one, argument_two, argument_three);",
        "    long_function_name(argument_one, argument_two, argument_four);",
        "    another_long_line = compute(alpha, beta, gamma, delta, epsilon);",
    };
    std::uniform_int_distribution<std::size_t> pick(0, pool.size() - 1);
    std::uniform_int_distribution<std::size_t> content_len(0, 60);
    std::uniform_int_distribution<std::size_t> search_len(1, 6);
    const std::string eol = round % 4 == 3 ? "\r\n" : "\n";
    WindowCase c;
    std::vector<std::string> content_lines;
    for (std::size_t k = content_len(rng); k > 0; --k) content_lines.push_back(pool[pick(rng)]);
    for (const std::string& line : content_lines) c.content += line + eol;
    const std::size_t m = search_len(rng);
    // Half of the search texts are a window of the content with one line replaced.
    if (round % 2 == 0 && content_lines.size() >= m) {
        std::uniform_int_distribution<std::size_t> at(0, content_lines.size() - m);
        const std::size_t s = at(rng);
        std::uniform_int_distribution<std::size_t> which(0, m - 1);
        const std::size_t changed = which(rng);
        for (std::size_t k = 0; k < m; ++k) {
            if (k > 0) c.old_string += "\n";
            c.old_string += k == changed ? pool[pick(rng)] : content_lines[s + k];
        }
    } else {
        for (std::size_t k = 0; k < m; ++k) {
            if (k > 0) c.old_string += "\n";
            c.old_string += pool[pick(rng)];
        }
    }
    return c;
}

// Similarities of every window of the case, by the plain edit distance (-1 for empty windows).
std::vector<double> window_similarities(const WindowCase& c) {
    const auto lines = brindle::reference::lines_of(c.content);
    const std::size_t m = brindle::reference::lines_of(c.old_string).size();
    std::vector<double> out;
    for (std::size_t s = 0; m > 0 && s + m <= lines.size(); ++s) {
        const std::string window = brindle::reference::join(lines, s, m);
        const std::size_t longest = std::max(window.size(), c.old_string.size());
        if (longest == 0) {
            out.push_back(-1.0);
            continue;
        }
        out.push_back(1.0 - static_cast<double>(brindle::reference::levenshtein(c.old_string, window)) /
                                static_cast<double>(longest));
    }
    return out;
}

TEST(FindMostSimilarWindow, AgreesWithPlainFormOnGeneratedInputs) {
    std::mt19937 rng(4242);
    const double minimums[] = {0.0, 0.5, 0.8, 0.9, 0.95, 1.0};
    std::size_t found = 0;
    std::size_t ties = 0;         // several windows share the best similarity
    std::size_t beaten = 0;       // qualifying windows that are not the best (limits cut them)
    std::size_t near_misses = 0;  // a window within 0.1 below the minimum, none above
    for (int round = 0; round < 4000; ++round) {
        const WindowCase c = generate_window_case(rng, round);
        const double min_similarity = minimums[static_cast<std::size_t>(round) % std::size(minimums)];
        const ContentLines lines(c.content);
        const auto fast = find_most_similar_window(lines, c.old_string, min_similarity);
        const auto plain =
            brindle::reference::most_similar_window(c.content, c.old_string, min_similarity);
        ASSERT_EQ(fast.has_value(), plain.has_value()) << c.content << "\n---\n"
                                                       << c.old_string << "\nmin " << min_similarity;
        const std::vector<double> all = window_similarities(c);
        if (!fast) {
            for (double x : all) {
                if (x < min_similarity && x >= min_similarity - 0.1) {
                    ++near_misses;
                    break;
                }
            }
            continue;
        }
        ++found;
        EXPECT_EQ(fast->similarity, plain->similarity);
        EXPECT_EQ(fast->start_line, plain->start + 1);
        EXPECT_EQ(fast->text, plain->text);
        EXPECT_EQ(fast->diff, build_match_diff(c.old_string, plain->text));
        std::size_t equal = 0;
        std::size_t lower = 0;
        for (double x : all) {
            if (x == plain->similarity) ++equal;
            if (x >= min_similarity && x < plain->similarity) ++lower;
        }
        if (equal > 1) ++ties;
        if (lower > 0) ++beaten;
    }
    EXPECT_GT(found, 1500u);
    EXPECT_GT(ties, 200u);
    EXPECT_GT(beaten, 500u);
    EXPECT_GT(near_misses, 100u);
}

TEST(FindClosestMatch, AgreesWithPlainFormOnCloseWindows) {
    std::mt19937 rng(777);
    std::size_t found = 0;
    std::size_t not_contiguous = 0;
    std::size_t anchor_into_break = 0;  // the anchor occurs running into a CR LF line break
    for (int round = 0; round < 4000; ++round) {
        const WindowCase c = generate_window_case(rng, round);
        const ContentLines lines(c.content);
        const auto fast = find_closest_match(lines, c.old_string);
        const auto plain = plain_closest(c.content, c.old_string);
        for (std::string_view line : text::split_lines(c.old_string)) {
            if (text::is_blank(line)) continue;
            if (line.back() == '\r' && c.content.find(std::string(line) + "\n") != std::string::npos) {
                ++anchor_into_break;
            }
            break;
        }
        ASSERT_EQ(fast.has_value(), plain.has_value()) << c.content << "\n---\n" << c.old_string;
        if (!fast) continue;
        ++found;
        if (c.content.find('\r') != std::string::npos) ++not_contiguous;
        EXPECT_EQ(fast->similarity, plain->similarity);
        EXPECT_EQ(fast->start_line, plain->start_line);
        EXPECT_EQ(fast->end_line, plain->end_line);
        EXPECT_EQ(fast->text, plain->text);
        EXPECT_EQ(fast->diff, build_match_diff(c.old_string, plain->text));
    }
    EXPECT_GT(found, 1000u);
    EXPECT_GT(not_contiguous, 200u);
    EXPECT_GT(anchor_into_break, 20u);
}

// Every window holds exactly the search text's characters in another order, so the histogram
// bound lets all of them through and only the distances (and the substring bounds) tell them
// apart. The one close window sits at the end.
TEST(FindMostSimilarWindow, WindowsWithTheSearchTextsCharactersInOtherOrders) {
    std::mt19937 rng(8);
    for (int round = 0; round < 40; ++round) {
        std::string search_line = "abcdefghijklmnopqrstuvwxyz0123456789";
        std::shuffle(search_line.begin(), search_line.end(), rng);
        const std::string old_string = search_line + "\n" + search_line;
        std::string content;
        for (int k = 0; k < 60; ++k) {
            std::string line = search_line;
            std::shuffle(line.begin(), line.end(), rng);
            content += line + "\n";
        }
        std::string close = search_line;
        std::swap(close[3], close[7]);  // 2 edits: similarity 1 - 2/73
        content += (round % 2 ? close : search_line + "x") + "\n" + search_line + "\n";
        const ContentLines lines(content);
        for (double min_similarity : {0.5, 0.8, 0.97, 0.99}) {
            const auto fast = find_most_similar_window(lines, old_string, min_similarity);
            const auto plain =
                brindle::reference::most_similar_window(content, old_string, min_similarity);
            ASSERT_EQ(fast.has_value(), plain.has_value()) << min_similarity;
            if (!fast) continue;
            EXPECT_EQ(fast->similarity, plain->similarity);
            EXPECT_EQ(fast->start_line, plain->start + 1);
        }
        const auto closest = find_closest_match(lines, old_string);
        const auto plain_c = plain_closest(content, old_string);
        ASSERT_EQ(closest.has_value(), plain_c.has_value());
        if (closest) {
            EXPECT_EQ(closest->start_line, plain_c->start_line);
        }
    }
}

// Contents of short lines around a block, and the block with small changes as the search text.
// Elsewhere copies of the block with every line's characters shuffled, which the character
// counts cannot tell from the block but the bigram counts can. With `few_letters` the lines use
// three letters and a non-ASCII one, so every pair is common and every line of the search text
// is changed: the windows shifted from the block by a few lines stay within reach of both counts
// and only the edit distances, or the substring pass, tell them apart. The block itself is
// within reach line by line, so it is measured with the line-by-line limit.
struct BlockCase {
    std::string content;
    std::string old_string;
};

BlockCase generate_block_case(std::mt19937& rng, bool few_letters) {
    const std::vector<std::string> alphabet =
        few_letters ? std::vector<std::string>{"a", "b", " ", "é"}
                    : std::vector<std::string>{"a", "b", "c", "d", "e", "(", ")", " ", "é", "x"};
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<std::size_t> line_length(few_letters ? 6 : 3, few_letters ? 14 : 9);
    auto random_line = [&] {
        std::string line;
        for (std::size_t k = line_length(rng); k > 0; --k) line += alphabet[pick(rng)];
        return line;
    };
    std::uniform_int_distribution<std::size_t> block_length(12, 24);
    std::vector<std::string> block;
    for (std::size_t k = block_length(rng); k > 0; --k) block.push_back(random_line());
    std::vector<std::string> lines;
    std::uniform_int_distribution<std::size_t> filler(0, 8);
    auto add_filler = [&] {
        for (std::size_t k = filler(rng); k > 0; --k) lines.push_back(random_line());
    };
    std::uniform_int_distribution<int> copies(1, 3);
    const int original = copies(rng);
    for (int copy = 0; copy < 4; ++copy) {
        add_filler();
        for (const std::string& line : block) {
            if (copy == original) {
                lines.push_back(line);
                continue;
            }
            std::vector<std::string> chars;  // the line's characters in another order
            std::size_t pos = 0;
            while (pos < line.size()) {
                const std::size_t from = pos;
                brindle::utf8::decode_at(line, pos);
                chars.push_back(line.substr(from, pos - from));
            }
            std::shuffle(chars.begin(), chars.end(), rng);
            std::string shuffled;
            for (const std::string& c : chars) shuffled += c;
            lines.push_back(shuffled);
        }
    }
    add_filler();
    BlockCase c;
    for (const std::string& line : lines) c.content += line + "\n";
    // A character inserted on about every third line, or on every line with `few_letters`; the
    // first line is kept, so it anchors the search.
    std::uniform_int_distribution<int> change(0, few_letters ? 0 : 2);
    for (std::size_t k = 0; k < block.size(); ++k) {
        std::string line = block[k];
        if (k > 0 && change(rng) == 0) {
            std::uniform_int_distribution<std::size_t> at(0, line.size() - 1);
            line.insert(brindle::utf8::floor_boundary(line, at(rng)), alphabet[pick(rng)]);
        }
        if (k > 0) c.old_string += "\n";
        c.old_string += line;
    }
    return c;
}

TEST(FindClosestMatch, AgreesWithPlainFormWhenBigramAndSubstringBoundsDecide) {
    std::mt19937 rng(2026);
    std::size_t found = 0;
    std::size_t out_by_bigrams = 0;  // rounds that reached each path
    std::size_t substring_passes = 0;
    std::size_t out_by_substrings = 0;
    std::size_t line_bounded = 0;
    for (int round = 0; round < 120; ++round) {
        const BlockCase c = generate_block_case(rng, round % 2 == 1);
        const ContentLines lines(c.content);
        brindle::replacer::WindowSearchStats stats;
        const auto fast = find_closest_match(lines, c.old_string, &stats);
        const auto plain = plain_closest(c.content, c.old_string);
        ASSERT_EQ(fast.has_value(), plain.has_value()) << c.content << "\n---\n" << c.old_string;
        if (fast) {
            ++found;
            EXPECT_EQ(fast->similarity, plain->similarity);
            EXPECT_EQ(fast->start_line, plain->start_line);
            EXPECT_EQ(fast->text, plain->text);
        }
        for (double min_similarity : {0.5, 0.8}) {
            const auto most = find_most_similar_window(lines, c.old_string, min_similarity, &stats);
            const auto plain_most =
                brindle::reference::most_similar_window(c.content, c.old_string, min_similarity);
            ASSERT_EQ(most.has_value(), plain_most.has_value()) << min_similarity;
            if (!most) continue;
            EXPECT_EQ(most->similarity, plain_most->similarity);
            EXPECT_EQ(most->start_line, plain_most->start + 1);
        }
        out_by_bigrams += stats.out_by_bigrams > 0;
        substring_passes += stats.substring_passes > 0;
        out_by_substrings += stats.out_by_substrings > 0;
        line_bounded += stats.line_bounded > 0;
    }
    EXPECT_GT(found, 100u);
    EXPECT_GT(out_by_bigrams, 50u);
    EXPECT_GT(substring_passes, 30u);
    EXPECT_GT(out_by_substrings, 30u);
    EXPECT_GT(line_bounded, 100u);
}

TEST(FindMostSimilarWindow, ListedCases) {
    // An empty window against a non-empty search text is scored (1 - 2/4 here: 'é' is one
    // character of two bytes), unlike in the closest-match search.
    const ContentLines lines("xy\n\nab\n");
    const auto empty = find_most_similar_window(lines, "é", 0.5);
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(empty->start_line, 2u);
    EXPECT_EQ(empty->similarity, 0.5);
    EXPECT_FALSE(find_closest_match(lines, "é").has_value());
    // Nothing for an empty search text, a content with fewer lines, or an unreachable minimum.
    EXPECT_FALSE(find_most_similar_window(lines, "", 0.0).has_value());
    EXPECT_FALSE(find_most_similar_window(lines, "a\nb\nc\nd", 0.0).has_value());
    EXPECT_FALSE(find_most_similar_window(lines, "ab", 1.5).has_value());
    // The earliest of equally similar windows wins.
    const ContentLines twice("abcdX\nzz\nabcdY\n");
    const auto tie = find_most_similar_window(twice, "abcde", 0.8);
    ASSERT_TRUE(tie.has_value());
    EXPECT_EQ(tie->start_line, 1u);
    EXPECT_EQ(tie->similarity, 0.8);
}

TEST(BuildMatchDiff, AgreesWithPlainTranscriptionOnLongTexts) {
    std::mt19937 rng(5);
    const std::vector<std::string> pieces = {"a", "é", "€", "😀", "\n", "\r\n", " "};
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
    std::uniform_int_distribution<std::size_t> len(1500, 2600);
    for (int round = 0; round < 300; ++round) {
        std::string a;
        std::string b;
        for (std::size_t k = len(rng); k > 0; --k) a += pieces[pick(rng)];
        for (std::size_t k = len(rng); k > 0; --k) b += round % 2 ? pieces[pick(rng)] : "a";
        EXPECT_EQ(build_match_diff(a, b), plain_diff(a, b));
        EXPECT_EQ(build_match_diff(a, a), plain_diff(a, a));
    }
}

}  // namespace

namespace {

// Plain transcription: every line holding the probe, its block of lines joined and searched.
std::vector<std::uint64_t> plain_locations(std::string_view content, std::string_view old_string) {
    const auto lines = brindle::text::split_lines(content);
    const auto search = brindle::text::split_lines(old_string);
    const std::string_view probe = search.empty() ? old_string : search.front();
    std::vector<std::uint64_t> out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!probe.empty() && lines[i].find(probe) == std::string_view::npos) continue;
        if (search.size() <= 1) {
            out.push_back(i + 1);
            continue;
        }
        const std::size_t count = std::min(i + search.size(), lines.size()) - i;
        if (brindle::text::join_lines(lines, i, count).find(old_string) != std::string::npos) {
            out.push_back(i + 1);
        }
    }
    return out;
}

TEST(FindMatchLocations, AgreesWithPlainTranscriptionOnGeneratedInputs) {
    std::mt19937 rng(17);
    const std::vector<std::string> pieces = {"a", "b", "ab", "", " ", "\r", "é", "\n", "\r\n"};
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
    std::uniform_int_distribution<std::size_t> content_len(0, 30);
    std::uniform_int_distribution<std::size_t> search_len(0, 7);
    std::size_t non_empty = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string content;
        for (std::size_t k = content_len(rng); k > 0; --k) content += pieces[pick(rng)];
        std::string old_string;
        for (std::size_t k = search_len(rng); k > 0; --k) old_string += pieces[pick(rng)];
        const auto expected = plain_locations(content, old_string);
        ASSERT_EQ(locations(content, old_string), expected) << content << "\n---\n" << old_string;
        if (!expected.empty()) ++non_empty;
    }
    EXPECT_GT(non_empty, 2000u);
}

TEST(FindMatchLocations, LongSearchTextInLongContentFinishes) {
    // 20000 equal lines searched for 10000 of them: every line holds the probe, and a block
    // per line would be joined and searched (about 10^10 bytes) if measured one by one.
    std::string content;
    for (int k = 0; k < 20000; ++k) content += "    x = f(a, b);\n";
    std::string old_string;
    for (int k = 0; k < 10000; ++k) old_string += "    x = f(a, b);\n";
    old_string += "    x = f(a, b);";
    const auto found = locations(content, old_string);
    ASSERT_EQ(found.size(), 20000u - 10001u + 1u);
    EXPECT_EQ(found.front(), 1u);
    EXPECT_EQ(found.back(), 10000u);
}

// A work budget either lets the search finish with its usual answer or abandons it; a hook
// installed before it keeps being called.
TEST(WorkBudget, AbandonsOrLeavesTheSearchAsItIs) {
    std::string content;
    std::string old_string;
    for (int i = 0; i < 6000; ++i) {
        content +=
            "    value_" + std::to_string(i) + " = compute(" + std::to_string(i) + ", x) + offset\n";
    }
    for (int i = 1000000; i < 1000100; ++i) {
        if (!old_string.empty()) old_string += "\n";
        old_string +=
            "    valeu_" + std::to_string(i) + " = compuet(" + std::to_string(i) + ", y) - offset";
    }
    const ContentLines lines(content);
    const std::optional<FuzzyMatchInfo> plain = find_most_similar_window(lines, old_string, 0.5);
    ASSERT_TRUE(plain.has_value());

    struct Outer {
        int calls = 0;
        static void hook(void* self) { ++static_cast<Outer*>(self)->calls; }
    } outer;
    brindle::ScopedInterruptHook installed(&Outer::hook, &outer);
    std::optional<FuzzyMatchInfo> within;
    EXPECT_TRUE(brindle::run_with_work_budget(
        INT64_MAX, [&] { within = find_most_similar_window(lines, old_string, 0.5); }));
    ASSERT_TRUE(within.has_value());
    EXPECT_EQ(within->similarity, plain->similarity);
    EXPECT_EQ(within->start_line, plain->start_line);
    EXPECT_EQ(within->text, plain->text);
    const int calls_with_budget = outer.calls;
    EXPECT_GT(calls_with_budget, 2);  // the search polled many intervals, each reaching the outer hook

    bool ran_to_end = false;
    EXPECT_FALSE(brindle::run_with_work_budget(2 * brindle::kPollInterval, [&] {
        find_most_similar_window(lines, old_string, 0.5);
        ran_to_end = true;
    }));
    EXPECT_FALSE(ran_to_end);
    EXPECT_GT(outer.calls, calls_with_budget);
    // The outer hook is back in place for what follows.
    brindle::detail::interrupt_state.budget = 0;
    const int before = outer.calls;
    brindle::poll_interrupt();
    EXPECT_EQ(outer.calls, before + 1);
}

TEST(WorkBudget, UnitsLeftAreTheBudgetLessTheUnitsPolled) {
    EXPECT_FALSE(brindle::work_budget_left().has_value());
    std::optional<std::int64_t> start;
    std::optional<std::int64_t> after_some;
    std::optional<std::int64_t> after;
    std::optional<std::int64_t> inner;
    std::optional<std::int64_t> outer_again;
    EXPECT_TRUE(brindle::run_with_work_budget(3 * brindle::kPollInterval, [&] {
        start = brindle::work_budget_left();
        brindle::poll_interrupt(10);
        after_some = brindle::work_budget_left();
        brindle::poll_interrupt(brindle::kPollInterval);  // the hook runs: one interval charged
        after = brindle::work_budget_left();
        brindle::run_with_work_budget(100, [&] { inner = brindle::work_budget_left(); });
        outer_again = brindle::work_budget_left();
    }));
    EXPECT_EQ(start, 3 * brindle::kPollInterval);
    EXPECT_EQ(after_some, 3 * brindle::kPollInterval - 10);
    EXPECT_EQ(after, 2 * brindle::kPollInterval);
    EXPECT_EQ(inner, 100);
    EXPECT_TRUE(outer_again.has_value());
    EXPECT_FALSE(brindle::work_budget_left().has_value());
}

// One line of `length` characters (letters a-j and spaces) and the same line with about
// `percent` per cent of its characters replaced by 'Q': the closest match is the line, at a
// distance that grows with the length, so its measurement costs about length^2 * percent / 6400
// word steps.
std::pair<std::string, std::string> long_line_case(std::mt19937& rng, std::size_t length,
                                                   unsigned percent) {
    std::uniform_int_distribution<int> letter(0, 10);
    std::uniform_int_distribution<unsigned> hundred(0, 99);
    std::string content;
    std::string old_string;
    for (std::size_t k = 0; k < length; ++k) {
        const int c = letter(rng);
        content += c == 10 ? ' ' : static_cast<char>('a' + c);
        old_string += hundred(rng) < percent ? 'Q' : content.back();
    }
    return {content, old_string};
}

// Under a work budget, the not-found error is the one built without a budget (closest match,
// similarity, message and all) or it has no closest match, a message that is the unbudgeted one
// without its closest-match piece, and `closest_over_budget` set. The search it runs, with the same
// budget, answers as without one or is abandoned: by the estimate of a measurement that cannot fit
// (before spending the budget) or by a poll once the budget is used up. Without a budget the
// single-line search (its line-by-line sum is the distance) agrees with the plain form.
TEST(WorkBudget, NotFoundErrorIsTheUnboundedOneOrHasNoClosestMatch) {
    std::mt19937 rng(314);
    std::size_t answered = 0;
    std::size_t given_up = 0;  // abandoned on the estimate of a measurement
    std::size_t ran_out = 0;   // abandoned by a poll
    const std::int64_t budgets[] = {0,       1000,    1 << 14, 1 << 17,  1 << 18,
                                    1 << 19, 1 << 20, 1 << 21, INT64_MAX};
    for (int round = 0; round < 60; ++round) {
        std::string content;
        std::string old_string;
        if (round % 3 == 0) {
            const BlockCase c = generate_block_case(rng, round % 2 == 1);
            content = c.content;
            old_string = c.old_string;
        } else {
            const std::size_t length = round % 3 == 1 ? 50 + 40 * static_cast<std::size_t>(round)
                                                      : 4000 + 700 * static_cast<std::size_t>(round);
            std::tie(content, old_string) = long_line_case(rng, length, 1 + round % 8);
        }
        const ContentLines lines(content);
        const auto plain_error = build_not_found_error(lines, old_string);
        if (content.size() <= 3000) {
            const auto plain = plain_closest(content, old_string);
            ASSERT_EQ(plain_error.closest_match.has_value(), plain.has_value()) << round;
            if (plain) {
                EXPECT_EQ(plain_error.closest_match->similarity, plain->similarity) << round;
                EXPECT_EQ(plain_error.closest_match->start_line, plain->start_line) << round;
            }
        }
        EXPECT_FALSE(plain_error.closest_over_budget);
        for (const std::int64_t budget : budgets) {
            const auto error = build_not_found_error(lines, old_string, budget);
            brindle::replacer::WindowSearchStats stats;
            std::optional<FuzzyMatchInfo> found;
            const bool finished = brindle::run_with_work_budget(
                budget, [&] { found = find_closest_match(lines, old_string, &stats); });
            ASSERT_EQ(error.closest_over_budget, !finished) << round << " " << budget;
            if (!error.closest_over_budget) {
                ++answered;
                EXPECT_EQ(error.message, plain_error.message) << round << " " << budget;
                ASSERT_EQ(error.closest_match.has_value(), plain_error.closest_match.has_value());
                if (error.closest_match) {
                    EXPECT_EQ(error.closest_match->similarity, plain_error.closest_match->similarity);
                    EXPECT_EQ(error.closest_match->start_line, plain_error.closest_match->start_line);
                    EXPECT_EQ(error.closest_match->diff, plain_error.closest_match->diff);
                }
                continue;
            }
            EXPECT_NE(budget, INT64_MAX);
            EXPECT_FALSE(error.closest_match.has_value());
            EXPECT_EQ(error.piece_begin, error.piece_end);
            const std::string& whole = plain_error.message;
            EXPECT_EQ(error.message,
                      whole.substr(0, plain_error.piece_begin) + whole.substr(plain_error.piece_end))
                << round << " " << budget;
            if (stats.given_up > 0) {
                ++given_up;
            } else {
                ++ran_out;
            }
        }
    }
    EXPECT_GT(answered, 200u);
    EXPECT_GT(given_up, 60u);
    EXPECT_GT(ran_out, 5u);
}

}  // namespace
