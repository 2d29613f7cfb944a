// Tests of the five tolerant matching strategies (block_anchor, whitespace_normalized,
// indentation_flexible, escape_normalized, context_aware) and their text transforms.
//
// Each strategy is also written out here in its plain form, a direct transcription of its
// algorithm (split, join, transform the whole window, compare), and the fast versions are checked
// against the plain ones on generated contents and search texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../reference/strategies.hpp"
#include "core/content_replacer/occurrences.hpp"
#include "core/content_replacer/strategies.hpp"
#include "core/content_replacer/window_scans.hpp"
#include "core/edit_distance.hpp"
#include "core/text.hpp"
#include "core/unicode.hpp"
#include "core/utf8.hpp"

namespace brindle::replacer {
namespace {

using Lines = std::vector<std::string_view>;
using Texts = std::vector<std::string>;  // candidate texts, built

Texts run(Replacer replacer, std::string_view content, std::string_view old_string) {
    const ContentLines lines(content);
    return replacer(lines, old_string).strings();
}

namespace plain = brindle::reference::strategies;

// ---------------------------------------------------------------------------------------------
// Text transforms
// ---------------------------------------------------------------------------------------------

struct TransformCase {
    std::string input;
    std::string expected;
};

TEST(NormalizeWhitespace, Examples) {
    const TransformCase cases[] = {
        {"  foo   bar  ", "foo bar"},
        {"a\n\tb", "a b"},
        {"", ""},
        {"   ", ""},
        {"f( a , b )", "f(a,b)"},
        {"x = { y : 1 }", "x ={y:1}"},
        {"a ( b", "a(b"},
        {"x , , y", "x,,y"},
        {"a\u3000\u00a0b\u2028c", "a b c"},
        {"é \U0001F600 :", "é \U0001F600:"},
    };
    for (const auto& c : cases) EXPECT_EQ(normalize_whitespace(c.input), c.expected) << c.input;
}

TEST(RemoveCommonIndentation, Examples) {
    const TransformCase cases[] = {
        {"    a\n      b\n    c", "a\n  b\nc"},
        {"  a\n    b\n", "a\n  b"},
        {"  a\n   \n  b", "a\n   \nb"},
        {"   \n  \n", "   \n  \n"},
        {"\ta\n\t\tb", "a\n\tb"},
        {"\ta\n  b", "a\n b"},
        {"", ""},
        {"  a\r\n  b\r", "a\nb\r"},
        {"\u3000a\n\u3000\u3000b", "a\n\u3000b"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(try_remove_common_indentation(c.input), c.expected) << c.input;
    }
}

TEST(RemoveCommonIndentation, CannotCutAMultiByteCharacter) {
    // Common indentation 3 bytes (U+3000) would cut the U+3000 after the space of line 2.
    const std::string text = "\u3000a\n \u3000b";
    EXPECT_EQ(try_remove_common_indentation(text), std::nullopt);
}

TEST(UnescapeString, Examples) {
    const TransformCase cases[] = {
        {"a\\nb", "a\nb"},
        {"\\\\", "\\"},
        {"\\\\\\\\", "\\\\"},
        {"\\\\n", "\\\n"},
        {"\\x", "\\x"},
        {"\\t\\r\\'\\\"\\`\\$", "\t\r'\"`$"},
        {"\\", "\\"},
        {"\\\\\\", "\\\\"},
        {"\\\\\\n", "\\\n"},
        {"\\\n", "\\\n"},
        {"\\u0041\\101", "\\u0041\\101"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(unescape_string(c.input), c.expected) << c.input;
        EXPECT_EQ(plain::unescape_string(c.input), c.expected) << c.input;
    }
}

TEST(OccurrenceStarts, AgreesWithNaiveSearch) {
    // Short texts (occurrences found by the library's search) and long ones over two letters
    // with dense occurrences of long needles (the scan takes over part-way).
    std::mt19937 rng(3);
    for (int round = 0; round < 5400; ++round) {
        const bool dense = round >= 5000;
        std::string hay(dense ? 6000 + rng() % 3000 : rng() % 40, 'a');
        std::string needle(dense ? 3 + rng() % 40 : rng() % 6, 'a');
        const unsigned letters = dense && round % 2 == 0 ? 1 : 2;
        for (char& c : hay) c = static_cast<char>('a' + rng() % letters);
        for (char& c : needle) c = static_cast<char>('a' + rng() % letters);
        const std::vector<bool> starts = occurrence_starts(hay, needle);
        ASSERT_EQ(starts.size(), hay.size() + 1);
        for (std::size_t p = 0; p <= hay.size(); ++p) {
            ASSERT_EQ(starts[p],
                      hay.compare(p, needle.size(), needle) == 0 && p + needle.size() <= hay.size())
                << hay << " / " << needle << " at " << p;
        }
    }
}

// The text fed in random pieces, and the text as a sequence of keys produced one at a time, mark
// the same starts as the whole text searched at once.
TEST(OccurrenceStarts, StreamedAndKeyedFormsAgreeWithTheWholeText) {
    std::mt19937 rng(8);
    std::size_t marked = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string hay(rng() % 300, 'a');
        std::string needle(1 + rng() % 6, 'a');
        const unsigned letters = 1 + rng() % 3;
        for (char& c : hay) c = static_cast<char>('a' + rng() % letters);
        for (char& c : needle) c = static_cast<char>('a' + rng() % letters);
        const std::vector<bool> whole = occurrence_starts(hay, needle);

        brindle::replacer::StreamingOccurrences streamed(needle);
        for (std::size_t at = 0; at < hay.size();) {
            const std::size_t piece = std::min<std::size_t>(rng() % 8, hay.size() - at);
            streamed.feed(std::string_view(hay).substr(at, piece));
            at += piece;
        }
        ASSERT_EQ(streamed.fed(), hay.size());
        ASSERT_EQ(streamed.take(), whole) << hay << " / " << needle;

        const std::vector<std::uint64_t> needle_keys(needle.begin(), needle.end());
        std::size_t next = 0;
        const std::vector<bool> keyed = brindle::replacer::occurrence_starts_of(
            hay.size(), std::span<const std::uint64_t>(needle_keys), [&](std::size_t p) {
                EXPECT_EQ(p, next++);  // once each, in order
                return static_cast<std::uint64_t>(hay[p]);
            });
        ASSERT_EQ(keyed, whole) << hay << " / " << needle;
        marked += static_cast<std::size_t>(std::count(whole.begin(), whole.end(), true));
    }
    EXPECT_GT(marked, 10000u);
}

// Lines joined with LF, searched a stretch at a time (stretches of a few bytes, so that many
// occurrences run across a border), mark the same starts as the joined text searched at once.
TEST(OccurrenceStarts, JoinedLinesSearchedByStretchesAgreeWithTheJoinedText) {
    std::mt19937 rng(21);
    std::size_t across = 0;  // occurrences that likely run across a border between two stretches
    for (int round = 0; round < 3000; ++round) {
        std::string content;
        for (int k = rng() % 30; k > 0; --k) {
            content += std::string(rng() % 5, 'a');
            for (char& c : content) c = rng() % 4 == 0 ? 'b' : c;
            content += rng() % 3 == 0 ? "\r\n" : "\n";
        }
        if (rng() % 2 == 0) content += "ab";
        std::string needle(rng() % 5, 'a');
        for (char& c : needle) c = "ab\n"[rng() % 3];
        const brindle::replacer::ContentLines table(content);
        const std::string joined =
            table.lines.empty() ? std::string() : table.window_text(0, table.lines.size());
        const std::vector<bool> whole = occurrence_starts(joined, needle);
        const std::size_t stretch = 1 + rng() % 12;
        ASSERT_EQ(brindle::replacer::occurrence_starts_in_lines(table.lines, needle, stretch), whole)
            << content << " / " << needle;
        const std::size_t bytes = std::max(stretch, 4 * needle.size());
        for (std::size_t p = 0; p + needle.size() <= joined.size(); ++p) {
            across += whole[p] && needle.size() > 1 && (p + needle.size() - 1) / bytes != p / bytes;
        }
    }
    EXPECT_GT(across, 300u);
}

// ---------------------------------------------------------------------------------------------
// Strategy examples
// ---------------------------------------------------------------------------------------------

struct StrategyCase {
    const char* name;
    std::string content;
    std::string old_string;
    Texts expected;
};

void check_cases(Replacer replacer, const std::vector<StrategyCase>& cases) {
    for (const auto& c : cases) {
        EXPECT_EQ(run(replacer, c.content, c.old_string), c.expected) << c.name;
    }
}

TEST(BlockAnchor, Examples) {
    check_cases(block_anchor_replacer,
                {
                    {"one line", "a\nx\nb", "a", {}},
                    {"two lines", "a\nx\nb", "a\nb", {}},
                    {"two lines and a final LF", "a\nx\nb", "a\nb\n", {}},
                    {"empty third line leaves two anchors",
                     "a\nb\na\nx\nb\na\ny\nz\nb",
                     "a\nb\n\n",
                     {"a\nb\na\nx\nb"}},
                    {"lone block whatever its score",
                     "def f():\n    y = 2\n    z = 3\n    return x",
                     "def f():\n    x = 1\nreturn x",
                     {"def f():\n    y = 2\n    z = 3\n    return x"}},
                    {"equal scores keep the earlier block",
                     "a\nabcd\nb\na\nabce\nb",
                     "a\nabcX\nb",
                     {"a\nabcd\nb"}},
                    {"the better block wins", "a\nwxyz\nb\na\nabce\nb", "a\nabcX\nb", {"a\nabce\nb"}},
                    {"best score below 0.3", "a\nwxyd\nb\na\nwxyd\nb", "a\nabcd\nb", {}},
                    // Inner pairs scoring 0 and 0.6: a mean of exactly 0.3, which passes.
                    {"best score exactly 0.3",
                     "a\ny\nzzzzz\nb\na\ny\nabcXY\nb",
                     "a\nx\nabcde\nb",
                     {"a\ny\nabcXY\nb"}},
                    {"nearest end only", "a\nq\nb\nx\nb", "a\nx\nb", {"a\nq\nb"}},
                    {"anchors compare trimmed",
                     "  if x {\n  y\n    }",
                     "if x {\nz\n}",
                     {"  if x {\n  y\n    }"}},
                    {"end too close", "a\nb\nc", "a\nq\nb", {}},
                    {"no end", "a\nx\ny", "a\nx\nb", {}},
                    {"CRLF content", "a\r\nx\r\nb\r\n", "a\nx\nb", {"a\nx\nb"}},
                });
}

// Many blocks between common anchor lines, with inner lines drawn from a small alphabet so that
// block scores spread around the acceptance threshold: the fast strategy scores each block only
// against the score it must beat, and must still pick exactly the plain form's block.
TEST(BlockAnchor, BoundedScoringMatchesPlainWithManyBlocks) {
    std::mt19937 rng(2024);
    auto below = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    auto inner_line = [&] {
        std::string line(below(3) * 2, ' ');
        const std::size_t length = below(7);
        for (std::size_t k = 0; k < length; ++k) line += "abc d"[below(5)];
        return line;
    };
    int several = 0;          // two or more blocks, so scores are compared
    int beaten_or_equal = 0;  // a block after an accepted one that does not beat it (cut early)
    int all_below = 0;        // several blocks, none reaching the threshold
    int won = 0;              // several blocks and one returned
    int near_threshold = 0;   // best score within 0.05 of the threshold
    for (int round = 0; round < 4000; ++round) {
        std::vector<std::string> lines;
        const std::size_t n = 10 + below(70);
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t kind = below(20);
            lines.push_back(kind < 4 ? "  {" : kind < 7 ? "}" : inner_line());
        }
        std::string content;
        for (const std::string& line : lines) content += line + "\n";
        std::string old_string = "{\n";
        const std::size_t inner = 1 + below(6);
        for (std::size_t k = 0; k < inner; ++k) old_string += inner_line() + "\n";
        old_string += below(4) == 0 ? "  }\n" : "}";

        const Texts fast = run(block_anchor_replacer, content, old_string);
        ASSERT_EQ(fast, plain::block_anchor(content, old_string))
            << "content: [" << content << "]\nold_string: [" << old_string << "]";

        // Which paths the input takes, by the plain scores of its blocks.
        const Lines content_lines = text::split_lines(content);
        Lines search = text::split_lines(old_string);
        if (search.back().empty()) search.pop_back();
        std::vector<double> scores;
        for (std::size_t i = 0; i < content_lines.size(); ++i) {
            if (text::trim(content_lines[i]) != "{") continue;
            for (std::size_t j = i + 2; j < content_lines.size(); ++j) {
                if (text::trim(content_lines[j]) != "}") continue;
                scores.push_back(plain::block_similarity(content_lines, search, i, j, search.size()));
                break;
            }
        }
        if (scores.size() < 2) continue;
        ++several;
        double best = -1.0;
        bool beaten = false;
        for (double score : scores) {
            if (best >= 0.3 && score <= best) beaten = true;
            best = std::max(best, score);
        }
        beaten_or_equal += beaten ? 1 : 0;
        all_below += best < 0.3 ? 1 : 0;
        won += fast.empty() ? 0 : 1;
        near_threshold += std::abs(best - 0.3) < 0.05 ? 1 : 0;
    }
    EXPECT_GT(several, 2000);
    EXPECT_GT(beaten_or_equal, 500);
    EXPECT_GT(all_below, 50);
    EXPECT_GT(won, 500);
    EXPECT_GT(near_threshold, 20);
    std::printf("several %d, beaten or equal %d, all below %d, won %d, near threshold %d\n", several,
                beaten_or_equal, all_below, won, near_threshold);
}

TEST(WhitespaceNormalized, Examples) {
    check_cases(
        whitespace_normalized_replacer,
        {
            {"whole content", "f( a,\n  b )\n", "f(a, b)", {"f( a,\n  b )\n"}},
            {"single lines, distinct",
             "  foo( a, b )\nbar\nfoo(a, b)\n  foo( a, b )",
             "foo(a,b)",
             {"  foo( a, b )", "foo(a, b)"}},
            {"two-line block", "if x :\n  y( )\nz", "if x:\n    y()", {"if x :\n  y( )"}},
            {"fewer content lines than search lines",
             "f(a, b, c)\ng()",
             "f(a,\nb,\nc)",
             {"f(a, b, c)"}},
            {"blocks compare whole windows only", "f(a, b, c)\ng()\nh()\nk()", "f(a,\nb,\nc)", {}},
            {"blank lines normalise to nothing",
             "f(a, b, c)\n\n\ng()",
             "f(a,\nb,\nc)",
             {"f(a, b, c)\n\n"}},
            {"empty search text", "a\n\n  \nb\n", "", {"", "  "}},
            {"no space before punctuation across lines", "x\n  (y)\nz", "x\n(y)", {"x\n  (y)"}},
            {"one space between words of two lines", "x\n  a\n\tb\ny", "a\nb", {"  a\n\tb"}},
        });
}

TEST(IndentationFlexible, Examples) {
    check_cases(
        indentation_flexible_replacer,
        {
            {"deeper indentation",
             "def f():\n        x = 1\n        y = 2",
             "  x = 1\n  y = 2",
             {"        x = 1\n        y = 2"}},
            {"relative indentation differs", "a\n    b", "a\n  b", {}},
            {"blank line keeps its whitespace", "    a\n    \n    b", "  a\n\n  b", {}},
            {"blank line equal after removal", "    a\n\n    b", "  a\n\n  b", {"    a\n\n    b"}},
            {"whitespace search text ending in LF", "  \n  \n", "  \n", {}},
            {"all-blank window taken unchanged", "x\n  \n \ny", "  \n ", {"  \n "}},
            {"every matching window, duplicates kept",
             "  a\n  a\n  a",
             "a\na",
             {"  a\n  a", "  a\n  a"}},
            {"a window that cannot be cut", "\u3000a\n \u3000b", "a\n b", {}},
            {"a search text that cannot be cut", "\u3000a\n \u3000b", "\u3000a\n \u3000b", {}},
            {"CR before the join is dropped by the re-split", "  a\r\r\n  b", "a\nb", {"  a\r\n  b"}},
            {"window ending in an empty line", "  a\n\nz", "a\n\n", {}},
        });
}

TEST(EscapeNormalized, Examples) {
    check_cases(escape_normalized_replacer,
                {
                    {"escaped newline finds real lines", "x\na\nb\ny", "a\\nb", {"a\nb"}},
                    {"escaped quote in content", "say(\\'hi\\')\n", "say('hi')", {"say(\\'hi\\')"}},
                    {"no backslash, present", "abc\ndef", "bc", {"bc"}},
                    {"absent and too many lines", "abc", "x\\ny\\nz", {}},
                    {"distinct windows once", "it\\'s\nit\\'s\nit's", "it's", {"it's", "it\\'s"}},
                    {"target is a whole window", "a\nb", "a\\nb", {"a\nb"}},
                    {"CRLF window", "a\r\nb\r\n", "a\\nb", {"a\nb"}},
                    {"backslash at a line end", "a\\\nb", "a\\\\\\nb", {"a\\\nb"}},
                });
}

TEST(ContextAware, Examples) {
    check_cases(context_aware_replacer,
                {
                    {"two search lines", "a\nx\nb", "a\nb", {}},
                    {"empty third line", "a\nx\nb", "a\nb\n\n", {}},
                    {"inner line equal",
                     "  if x:\n    y = 1\n  end",
                     "if x:\n    y = 1\nend",
                     {"  if x:\n    y = 1\n  end"}},
                    {"inner line differs", "  if x:\n    y = 2\n  end", "if x:\n    y = 1\nend", {}},
                    {"blank middle on both sides", "a\n   \nb", "a\n\nb", {"a\n   \nb"}},
                    {"half of the inner lines", "a\nx\nq\nb", "a\nx\ny\nb", {"a\nx\nq\nb"}},
                    {"one third", "a\nx\nq\nr\nb", "a\nx\ny\nz\nb", {}},
                    {"two thirds", "a\nx\ny\nr\nb", "a\nx\ny\nz\nb", {"a\nx\ny\nr\nb"}},
                    {"nearest end at the wrong distance", "a\nx\nb\nb", "a\nx\ny\nb", {}},
                    {"anchors compare trimmed", "f {\n  g\n    }", "f {\ng\n}", {"f {\n  g\n    }"}},
                    {"two places", "a\nx\nb\nz\na\nx\nb", "a\nx\nb", {"a\nx\nb", "a\nx\nb"}},
                });
}

// ---------------------------------------------------------------------------------------------
// Fast versions against the plain ones on generated inputs
// ---------------------------------------------------------------------------------------------

class Generator {
public:
    explicit Generator(unsigned seed) : rng_(seed) {}

    std::size_t below(std::size_t bound) {
        return std::uniform_int_distribution<std::size_t>(0, bound - 1)(rng_);
    }
    bool chance(unsigned percent) { return below(100) < percent; }

    template <class T, std::size_t N>
    const T& pick(const T (&items)[N]) {
        return items[below(N)];
    }

    std::string indentation() {
        static const char* const kIndent[] = {" ", "  ", "    ", "\t", "\u3000", "\u00a0"};
        std::string out;
        for (std::size_t k = below(4); k > 0; --k) out += pick(kIndent);
        return out;
    }

    std::string body() {
        static const char* const kAtoms[] = {
            " ", "  ", "\t",         "\u3000", "\u00a0", "\r",  "\\",  "\\\\", "'",     "\"",  "n", "t",
            "r", "a",  "b",          "x",      ":",      ";",   ",",   "(",    ")",     "[",   "]", "{",
            "}", "é",  "\U0001F600", "$",      "`",      "\\n", "\\'", "f(",   "x = 1", "end",
        };
        std::string out;
        for (std::size_t k = below(6); k > 0; --k) out += pick(kAtoms);
        return out;
    }

    std::string line() {
        if (chance(10)) return "";
        if (chance(10)) return indentation();
        return indentation() + body() + (chance(15) ? indentation() : "");
    }

    // Lines drawn mostly from a small pool, so that anchors and windows repeat.
    std::vector<std::string> lines(std::size_t count) {
        std::vector<std::string> pool;
        for (std::size_t k = 2 + below(5); k > 0; --k) pool.push_back(line());
        std::vector<std::string> out;
        for (std::size_t k = 0; k < count; ++k) out.push_back(chance(65) ? pick_from(pool) : line());
        return out;
    }

    std::string join(const std::vector<std::string>& lines, bool crlf) {
        std::string out;
        for (std::size_t k = 0; k < lines.size(); ++k) {
            if (k > 0) out += (crlf || chance(5)) ? "\r\n" : "\n";
            out += lines[k];
        }
        return out;
    }

    // A search text: a window of the content lines, perturbed.
    std::string search_for(const std::vector<std::string>& content) {
        std::vector<std::string> lines;
        if (content.empty() || chance(10)) {
            lines = this->lines(below(5));
        } else {
            const std::size_t start = below(content.size());
            const std::size_t count = 1 + below(std::min<std::size_t>(content.size() - start, 6));
            lines.assign(content.begin() + static_cast<std::ptrdiff_t>(start),
                         content.begin() + static_cast<std::ptrdiff_t>(start + count));
        }
        bool crlf = false;
        bool escaped = false;
        for (std::size_t round = below(3); round > 0; --round) {
            switch (below(8)) {
                case 0: {  // reindent uniformly
                    const std::string extra = indentation();
                    const std::size_t cut = below(3);
                    for (auto& l : lines) {
                        if (chance(50)) {
                            l = extra + l;
                        } else {
                            std::size_t c = std::min(cut, l.size());
                            while (c < l.size() &&
                                   utf8::is_continuation(static_cast<unsigned char>(l[c]))) {
                                ++c;
                            }
                            l.erase(0, c);
                        }
                    }
                    break;
                }
                case 1:  // collapse spaces
                    for (auto& l : lines) l = plain::normalize_whitespace(l);
                    break;
                case 2:  // escape quotes and backslashes
                    for (auto& l : lines) {
                        l = plain::replace_all(l, "\\", "\\\\");
                        l = plain::replace_all(l, "'", "\\'");
                        l = plain::replace_all(l, "\t", "\\t");
                    }
                    break;
                case 3:  // escape the line breaks
                    escaped = true;
                    break;
                case 4:  // change an inner line
                    if (lines.size() >= 3) lines[1 + below(lines.size() - 2)] = line();
                    break;
                case 5:  // blank boundary lines
                    if (chance(50)) lines.insert(lines.begin(), chance(50) ? "" : "  ");
                    if (chance(50)) lines.push_back("");
                    if (chance(30)) lines.push_back("");
                    break;
                case 6:
                    crlf = true;
                    break;
                default:  // trim every line
                    for (auto& l : lines) l = std::string(text::trim(l));
                    break;
            }
        }
        std::string out;
        for (std::size_t k = 0; k < lines.size(); ++k) {
            if (k > 0) out += escaped ? "\\n" : (crlf ? "\r\n" : "\n");
            out += lines[k];
        }
        if (chance(20)) out += crlf ? "\r\n" : "\n";
        return out;
    }

private:
    const std::string& pick_from(const std::vector<std::string>& pool) {
        return pool[below(pool.size())];
    }

    std::mt19937 rng_;
};

TEST(TolerantStrategies, TransformsMatchPlainForms) {
    Generator gen(7);
    for (int round = 0; round < 20000; ++round) {
        const std::string text =
            gen.join(gen.lines(gen.below(6)), gen.chance(30)) + (gen.chance(30) ? "\n" : "");
        ASSERT_EQ(normalize_whitespace(text), plain::normalize_whitespace(text)) << text;
        ASSERT_EQ(unescape_string(text), plain::unescape_string(text)) << text;
        ASSERT_EQ(try_remove_common_indentation(text), plain::remove_common_indentation(text)) << text;
    }
}

TEST(TolerantStrategies, FastMatchesPlainOnGeneratedInputs) {
    struct Pair {
        const char* name;
        Replacer fast;
        Texts (*plain)(std::string_view, std::string_view);
        int non_empty = 0;
    };
    Pair pairs[] = {
        {"block_anchor", block_anchor_replacer, plain::block_anchor},
        {"whitespace_normalized", whitespace_normalized_replacer, plain::whitespace_normalized},
        {"indentation_flexible", indentation_flexible_replacer, plain::indentation_flexible},
        {"escape_normalized", escape_normalized_replacer, plain::escape_normalized},
        {"context_aware", context_aware_replacer, plain::context_aware},
    };
    // The window scans of whitespace_normalized and escape_normalized, with a budget of 0 (the
    // text laid out for the whole content at once) and without a limit (window by window only).
    struct Scan {
        const char* name;
        Candidates (*fast)(const ContentLines&, std::string_view, std::optional<std::size_t>);
        Texts (*plain)(std::string_view, std::string_view);
        int non_empty = 0;
    };
    Scan scans[] = {
        {"whitespace_normalized", whitespace_normalized_replacer_with_budget,
         plain::whitespace_normalized},
        {"escape_normalized", escape_normalized_replacer_with_budget, plain::escape_normalized},
    };
    Generator gen(12345);
    for (int round = 0; round < 6000; ++round) {
        const std::vector<std::string> lines = gen.lines(gen.below(31));
        std::string content = gen.join(lines, gen.chance(25));
        if (gen.chance(40)) content += "\n";
        const ContentLines split(content);
        for (int variant = 0; variant < 4; ++variant) {
            const std::string old_string = gen.search_for(lines);
            for (auto& p : pairs) {
                const Texts fast = p.fast(split, old_string).strings();
                ASSERT_EQ(fast, p.plain(content, old_string))
                    << p.name << "\ncontent: [" << content << "]\nold_string: [" << old_string << "]";
                if (!fast.empty()) ++p.non_empty;
            }
            for (auto& scan : scans) {
                const Texts expected = scan.plain(content, old_string);
                for (std::optional<std::size_t> budget :
                     {std::optional<std::size_t>(0), std::optional<std::size_t>(SIZE_MAX)}) {
                    ASSERT_EQ(scan.fast(split, old_string, budget).strings(), expected)
                        << scan.name << " budget " << *budget << "\ncontent: [" << content
                        << "]\nold_string: [" << old_string << "]";
                }
                // Window candidates only: more than the whole content or a single line.
                if (expected.size() > 1) ++scan.non_empty;
            }
        }
    }
    for (const auto& scan : scans) EXPECT_GT(scan.non_empty, 100) << scan.name;
    // The generated inputs must reach the matching paths of every strategy, not only misses.
    for (const auto& p : pairs) {
        EXPECT_GT(p.non_empty, 500) << p.name;
        std::printf("%s: %d non-empty\n", p.name, p.non_empty);
    }
}

// indentation_flexible on contents of few distinct lines in several indentations, so that many
// overlapping windows pass the key filters and are told apart by the search of the searched
// form's pieces: runs of one common indentation, changes of it between overlapping windows
// (staircases), blank windows, lone CRs at line ends and a cut inside a multi-byte space.
TEST(TolerantStrategies, IndentationFlexibleManyWindowsMatchPlainForm) {
    std::mt19937 rng(99);
    auto below = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
    };
    const char* const kIndents[] = {"", "  ", "    ", "\t", " \t", "\u3000", "  \u3000"};
    const char* const kBodies[] = {"x = 1", "x = 1 ", "x = 1\r", "f(x)", "}", "", " ", "\r"};
    IndentationFlexibleStats total;
    int matching = 0, staircases = 0, blank_windows = 0;
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::string> lines;
        const std::size_t n = 4 + below(150);
        const std::size_t shape = below(4);  // 0: staircase, 1: mostly blank, else repeated lines
        const bool staircase = shape == 0;
        const std::size_t kinds = 1 + below(3);
        for (std::size_t k = 0; k < n; ++k) {
            std::string body = kBodies[below(kinds + (below(5) == 0 ? 3 : 0))];
            if (shape == 1) body = below(6) == 0 ? "x = 1" : kBodies[5 + below(3)];
            const std::string indent =
                staircase ? std::string(k % 7, ' ') : kIndents[below(1 + below(3))];
            lines.push_back(body.empty() || body == " " || body == "\r" ? body : indent + body);
        }
        std::string content;
        for (std::size_t k = 0; k < n; ++k) content += lines[k] + (below(10) == 0 ? "\r\n" : "\n");
        if (below(3) == 0) content.pop_back();
        // A window of the content, reindented (or not), sometimes with one line changed.
        const std::size_t m = 1 + below(std::min<std::size_t>(n, 12));
        const std::size_t start = below(n - m + 1);
        const std::string extra = below(2) ? "" : kIndents[below(std::size(kIndents))];
        std::string old_string;
        for (std::size_t k = start; k < start + m; ++k) {
            if (k > start) old_string += "\n";
            std::string line = lines[k];
            if (below(40) == 0) line = "changed";
            old_string += text::is_blank(line) ? line : extra + line;
        }
        if (below(5) == 0) old_string += "\n";
        const ContentLines split(content);
        IndentationFlexibleStats stats;
        const Texts fast =
            indentation_flexible_replacer_with_stats(split, old_string, &stats).strings();
        ASSERT_EQ(fast, plain::indentation_flexible(content, old_string))
            << "content: [" << content << "]\nold_string: [" << old_string << "]";
        if (stats.few_windows) continue;
        total.windows_checked += stats.windows_checked;
        total.restarts += stats.restarts;
        total.lines_read += stats.lines_read;
        matching += !fast.empty();
        staircases += staircase && fast.size() > 1;
        blank_windows += text::is_blank(old_string) && !fast.empty();
    }
    // Many windows per search, read in runs of one search each: fewer lines read than windows.
    EXPECT_GT(total.windows_checked, 25000u);
    EXPECT_GT(total.windows_checked, 3 * total.restarts);
    EXPECT_LT(total.lines_read, total.windows_checked);
    EXPECT_GT(matching, 1000);
    EXPECT_GT(staircases, 50);
    EXPECT_GT(blank_windows, 20);
}

// ---------------------------------------------------------------------------------------------
// Pathological inputs: each of these must simply finish.
// ---------------------------------------------------------------------------------------------

std::string repeat_lines(std::string_view line, std::size_t count, std::string_view tail = "") {
    std::string out;
    for (std::size_t k = 0; k < count; ++k) {
        out.append(line);
        out.push_back('\n');
    }
    out.append(tail);
    return out;
}

Replacer const kAllTolerant[] = {block_anchor_replacer, whitespace_normalized_replacer,
                                 indentation_flexible_replacer, escape_normalized_replacer,
                                 context_aware_replacer};

TEST(TolerantStrategies, ThousandsOfIdenticalLines) {
    const std::string content = repeat_lines("    x = f(a, b);", 4000);
    const ContentLines split(content);
    const std::string few = repeat_lines("x = f(a, b);", 3);
    const std::string many = repeat_lines("  x = f(a, b);", 1500);
    const std::string many_changed = repeat_lines("  x = f(a, b);", 1500, "  y\n");
    for (Replacer r : kAllTolerant) {
        r(split, few);
        r(split, many);
        r(split, many_changed);
    }
    EXPECT_EQ(indentation_flexible_replacer(split, many).size(), 4000u - 1500u + 1u);
    EXPECT_EQ(whitespace_normalized_replacer(split, many).size(), 1u);
    EXPECT_EQ(context_aware_replacer(split, few).size(), 4000u - 2u);
}

TEST(TolerantStrategies, OneHugeLine) {
    std::string content;
    for (int k = 0; k < 500000; ++k) content += "a ( b\\n ";
    const ContentLines split(content);
    for (Replacer r : kAllTolerant) {
        r(split, "a(b\\n a(b");
        r(split, "a\nb\nc");
        r(split, content.substr(0, 1000));
        r(split, content);
    }
    EXPECT_EQ(whitespace_normalized_replacer(split, content + "  ").strings(), Texts{content});
}

TEST(TolerantStrategies, BlankAndBackslashSearchTexts) {
    const std::string content = repeat_lines("  ", 3000) + repeat_lines("\\\\\\", 1000);
    const ContentLines split(content);
    const std::string blanks = repeat_lines(" ", 1000);
    const std::string blanks_no_lf = blanks.substr(0, blanks.size() - 1);
    const std::string backslashes(200000, '\\');
    for (Replacer r : kAllTolerant) {
        r(split, blanks);
        r(split, blanks_no_lf);
        r(split, backslashes);
        r(split, "");
        r(split, "\n");
    }
    EXPECT_TRUE(indentation_flexible_replacer(split, blanks).empty());
}

TEST(TolerantStrategies, ManyAnchorsWithPoorInnerLines) {
    std::string content;
    for (int k = 0; k < 1500; ++k) content += "{\n  p\n";
    content += "}\n";
    const ContentLines split(content);
    const std::string old_string = "{\n" + repeat_lines("  q", 200) + "}";
    block_anchor_replacer(split, old_string);
    context_aware_replacer(split, old_string);
}

}  // namespace
}  // namespace brindle::replacer
