// Tests of the replacement driver: the listed edge cases, and the whole driver against a plain
// transcription (every occurrence collected by a byte-by-byte scan, no skipping of candidates
// already tried) on generated inputs.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/content_replacer/diagnostics.hpp"
#include "core/content_replacer/driver.hpp"
#include "core/content_replacer/strategies.hpp"
#include "core/text.hpp"
#include "core/utf8.hpp"

namespace {

using namespace brindle::replacer;
namespace text = brindle::text;
namespace utf8 = brindle::utf8;

using Hint = std::optional<std::uint32_t>;

ReplaceResult expect_success(const ReplaceOutcome& outcome) {
    if (const auto* result = std::get_if<ReplaceResult>(&outcome)) return *result;
    const auto& error = std::get<ReplaceError>(outcome);
    if (const auto* nf = std::get_if<NotFound>(&error)) ADD_FAILURE() << "NotFound: " << nf->message;
    if (const auto* mm = std::get_if<MultipleMatches>(&error))
        ADD_FAILURE() << "MultipleMatches: " << mm->message;
    if (std::holds_alternative<NoChange>(error)) ADD_FAILURE() << "NoChange";
    return {};
}

template <class T>
bool is_error(const ReplaceOutcome& outcome) {
    const auto* error = std::get_if<ReplaceError>(&outcome);
    return error != nullptr && std::holds_alternative<T>(*error);
}

TEST(Driver, NoChangeBeforeAnythingElse) {
    EXPECT_TRUE(is_error<NoChange>(replace_content("abc", "zzz", "zzz", false, std::nullopt)));
    EXPECT_TRUE(is_error<NoChange>(replace_content("abc", "", "", false, std::nullopt)));
    EXPECT_TRUE(is_error<NoChange>(replace_content("", "", "", true, 3)));
}

TEST(Driver, SimpleReplacement) {
    const ReplaceResult r =
        expect_success(replace_content("x = 1\ny = 2\n", "y = 2", "y = 3", false, std::nullopt));
    EXPECT_EQ(r.content, "x = 1\ny = 3\n");
    EXPECT_EQ(r.start_line, 2u);
    EXPECT_EQ(r.end_line, 2u);
    EXPECT_EQ(r.matched_text, "y = 2");
    EXPECT_EQ(r.strategy, "simple");
}

TEST(Driver, CandidateEndingInLineFeedCountsIt) {
    const ReplaceResult r =
        expect_success(replace_content("a\nb\nc", "b\n", "B\n", false, std::nullopt));
    EXPECT_EQ(r.content, "a\nB\nc");
    EXPECT_EQ(r.start_line, 2u);
    EXPECT_EQ(r.end_line, 3u);
}

TEST(Driver, LineHintChoosesNearestOccurrence) {
    struct Case {
        std::string_view content, old_string, new_string;
        std::uint32_t hint;
        std::string_view expected;
        std::uint64_t start_line;
    };
    const Case cases[] = {
        // Overlapping occurrences both on line 1: the one at position 0.
        {"aaa", "aa", "b", 1, "ba", 1},
        // Lines 2 and 4 with hint 3: a tie goes to the earlier occurrence.
        {"x\nfoo\nx\nfoo\n", "foo", "bar", 3, "x\nbar\nx\nfoo\n", 2},
        {"x\nfoo\nx\nfoo\n", "foo", "bar", 4, "x\nfoo\nx\nbar\n", 4},
        {"x\nfoo\nx\nfoo\n", "foo", "bar", 100, "x\nfoo\nx\nbar\n", 4},
        {"x\nfoo\nx\nfoo\n", "foo", "bar", 0, "x\nbar\nx\nfoo\n", 2},
        // A unique occurrence is used whatever the hint.
        {"a\nb\nc\nfoo\n", "foo", "bar", 1, "a\nb\nc\nbar\n", 4},
        // Several occurrences on one line: the first of them.
        {"foo foo\nfoo", "foo", "X", 1, "X foo\nfoo", 1},
        {"foo\nfoo foo", "foo", "X", 2, "foo\nX foo", 2},
        // The empty candidate occurs at every character boundary.
        {"a\nb", "", "x", 2, "a\nxb", 2},
        {"é\né", "", "x", 2, "é\nxé", 2},
        {"é\né", "", "x", 1, "xé\né", 1},
    };
    for (const Case& c : cases) {
        const ReplaceResult r =
            expect_success(replace_content(c.content, c.old_string, c.new_string, false, c.hint));
        EXPECT_EQ(r.content, c.expected) << c.content << " hint " << c.hint;
        EXPECT_EQ(r.start_line, c.start_line) << c.content << " hint " << c.hint;
    }
}

TEST(Driver, ReplaceAll) {
    const ReplaceResult r =
        expect_success(replace_content("a\nfoo\nb\nc\nfoo\n", "foo", "bar", true, std::nullopt));
    EXPECT_EQ(r.content, "a\nbar\nb\nc\nbar\n");
    EXPECT_EQ(r.start_line, 2u);
    EXPECT_EQ(r.end_line, 2u);
    EXPECT_EQ(r.strategy, "simple");
    // Non-overlapping from the left; the hint is ignored.
    EXPECT_EQ(expect_success(replace_content("aaaaa", "aa", "b", true, 3)).content, "bba");
    // The empty candidate: at every character boundary, never inside a character.
    EXPECT_EQ(expect_success(replace_content("ab", "", "x", true, std::nullopt)).content, "xaxbx");
    EXPECT_EQ(expect_success(replace_content("é\n", "", "x", true, std::nullopt)).content, "xéx\nx");
    EXPECT_EQ(expect_success(replace_content("😀", "", "-", true, std::nullopt)).content, "-😀-");
    EXPECT_EQ(expect_success(replace_content("", "", "x", true, std::nullopt)).content, "x");
}

TEST(Driver, EmptyContentAndEmptyOldString) {
    const ReplaceResult r = expect_success(replace_content("", "", "x", false, std::nullopt));
    EXPECT_EQ(r.content, "x");
    EXPECT_EQ(r.strategy, "simple");
    EXPECT_EQ(r.start_line, 1u);
    EXPECT_EQ(r.end_line, 1u);
    // In non-empty content the empty text is ambiguous without a hint.
    EXPECT_TRUE(is_error<MultipleMatches>(replace_content("ab", "", "x", false, std::nullopt)));
}

TEST(Driver, AmbiguousWithoutHintIsMultipleMatches) {
    const ReplaceOutcome outcome =
        replace_content("foo\nbar\nfoo\n", "foo", "baz", false, std::nullopt);
    ASSERT_TRUE(is_error<MultipleMatches>(outcome));
    const auto& mm = std::get<MultipleMatches>(std::get<ReplaceError>(outcome));
    EXPECT_EQ(mm.locations, (std::vector<std::uint64_t>{1, 3}));
    EXPECT_EQ(mm.message.rfind("Pattern found at multiple locations (lines: 1, 3).\n", 0), 0u);
}

TEST(Driver, NothingFoundIsNotFound) {
    const ReplaceOutcome outcome =
        replace_content("alpha\nbeta\n", "gamma", "delta", false, std::nullopt);
    ASSERT_TRUE(is_error<NotFound>(outcome));
    const auto& nf = std::get<NotFound>(std::get<ReplaceError>(outcome));
    EXPECT_EQ(
        nf.message.rfind(
            "Search text not found in file.\nFirst search line 'gamma' not found anywhere in file", 0),
        0u);
}

TEST(Driver, LaterStrategiesResolveWhatEarlierOnesCannot) {
    // line_trimmed: the lines match once trimmed.
    ReplaceResult r =
        expect_success(replace_content("  foo\nbar", "foo  ", "baz", false, std::nullopt));
    EXPECT_EQ(r.strategy, "line_trimmed");
    EXPECT_EQ(r.matched_text, "  foo");
    EXPECT_EQ(r.content, "baz\nbar");
    // trimmed_boundary: the text without its surrounding whitespace.
    r = expect_success(replace_content("xfoo", "  foo\n", "bar", false, std::nullopt));
    EXPECT_EQ(r.strategy, "trimmed_boundary");
    EXPECT_EQ(r.content, "xbar");
}

TEST(Driver, CrLfContent) {
    // A single line is found with its CR LF intact around it.
    ReplaceResult r = expect_success(replace_content("a\r\nb\r\nc\r\n", "b", "B", false, std::nullopt));
    EXPECT_EQ(r.content, "a\r\nB\r\nc\r\n");
    EXPECT_EQ(r.start_line, 2u);
    // A block written with LF does not occur verbatim: candidates exist but none applies.
    EXPECT_TRUE(is_error<MultipleMatches>(
        replace_content("a\r\nb\r\nc\r\n", "a\nb", "x", false, std::nullopt)));
    // Written with CR LF it is found by the exact strategy.
    r = expect_success(replace_content("a\r\nb\r\nc\r\n", "a\r\nb", "x", false, std::nullopt));
    EXPECT_EQ(r.content, "x\r\nc\r\n");
    EXPECT_EQ(r.end_line, 2u);
}

TEST(Driver, LineNumbersInLongContent) {
    // Line numbers are counted in blocks of bytes; lines of varied length, CR LF among them, and
    // positions at every offset within a block.
    std::string content;
    std::vector<std::size_t> starts;
    for (int k = 0; k < 3000; ++k) {
        starts.push_back(content.size());
        content += 'l';
        content += std::to_string(k);
        content.append(static_cast<std::size_t>(k % 23), ' ');
        content += k % 5 == 0 ? "\r\n" : "\n";
    }
    for (int k = 0; k < 3000; k += 37) {
        std::string line(1, 'l');
        line += std::to_string(k);
        line.append(static_cast<std::size_t>(k % 23), ' ');
        const std::string old_string = line + "\n";
        if (k % 5 == 0) continue;  // its line ends in CR LF
        const ReplaceResult r =
            expect_success(replace_content(content, old_string, "x\n", false, std::nullopt));
        EXPECT_EQ(r.start_line, text::line_number_at(content, starts[static_cast<std::size_t>(k)]))
            << k;
        EXPECT_EQ(r.start_line, static_cast<std::uint64_t>(k) + 1) << k;
        EXPECT_EQ(r.end_line, r.start_line + 1) << k;
    }
}

// ---------------------------------------------------------------------------------------------
// Plain transcription of the driver: the strategies of the core table, every candidate built,
// every occurrence collected by a byte-by-byte scan, no skipping of candidates already tried.

// Every occurrence, overlapping ones included, that starts and ends on a character boundary.
std::vector<std::size_t> all_occurrences(std::string_view content, std::string_view candidate) {
    std::vector<std::size_t> out;
    for (std::size_t p = 0; p + candidate.size() <= content.size(); ++p) {
        if (utf8::is_boundary(content, p) && utf8::is_boundary(content, p + candidate.size()) &&
            content.substr(p, candidate.size()) == candidate) {
            out.push_back(p);
        }
    }
    return out;
}

std::string plain_replace_all(std::string_view content, std::string_view candidate,
                              std::string_view new_string) {
    std::string out;
    std::size_t i = 0;
    while (i <= content.size()) {
        if (content.substr(i, candidate.size()) == candidate &&
            i + candidate.size() <= content.size()) {
            out += new_string;
            if (!candidate.empty()) {
                i += candidate.size();
                continue;
            }
        }
        if (i == content.size()) break;
        const std::size_t len = utf8::sequence_length(static_cast<unsigned char>(content[i]));
        out += content.substr(i, len);
        i += len;
    }
    return out;
}

ReplaceOutcome plain_driver(std::string_view content, std::string_view old_string,
                            std::string_view new_string, bool replace_all, Hint hint) {
    if (old_string == new_string) return ReplaceError{NoChange{}};
    const ContentLines lines(content);
    bool any = false;
    for (const Strategy& strategy : kStrategies) {
        const std::vector<std::string> candidates = strategy.find(lines, old_string).strings();
        if (candidates.empty()) continue;
        for (const std::string& candidate : candidates) {
            const std::vector<std::size_t> occ = all_occurrences(content, candidate);
            if (occ.empty()) continue;
            std::optional<std::size_t> at;
            std::string new_content;
            if (replace_all) {
                at = occ.front();
                new_content = plain_replace_all(content, candidate, new_string);
            } else {
                if (occ.size() == 1) {
                    at = occ.front();
                } else if (hint) {
                    std::uint64_t best_gap = ~std::uint64_t{0};
                    for (std::size_t p : occ) {
                        const std::uint64_t line = text::line_number_at(content, p);
                        const std::uint64_t gap = line > *hint ? line - *hint : *hint - line;
                        if (gap < best_gap) {
                            best_gap = gap;
                            at = p;
                        }
                    }
                }
                if (!at) continue;
                new_content = std::string(content.substr(0, *at)) + std::string(new_string) +
                              std::string(content.substr(*at + candidate.size()));
            }
            ReplaceResult r;
            r.content = new_content;
            r.matched_text = candidate;
            r.start_line = text::line_number_at(content, *at);
            r.end_line = r.start_line + text::count_newlines(candidate);
            r.strategy = strategy.name;
            return r;
        }
        any = true;
    }
    if (any) return ReplaceError{build_multiple_matches_error(lines, old_string)};
    return ReplaceError{build_not_found_error(lines, old_string)};
}

void expect_same(const ReplaceOutcome& fast, const ReplaceOutcome& plain, const std::string& what) {
    ASSERT_EQ(fast.index(), plain.index()) << what;
    if (const auto* r = std::get_if<ReplaceResult>(&fast)) {
        const auto& p = std::get<ReplaceResult>(plain);
        EXPECT_EQ(r->content, p.content) << what;
        EXPECT_EQ(r->matched_text, p.matched_text) << what;
        EXPECT_EQ(r->start_line, p.start_line) << what;
        EXPECT_EQ(r->end_line, p.end_line) << what;
        EXPECT_EQ(r->strategy, p.strategy) << what;
        return;
    }
    const auto& fe = std::get<ReplaceError>(fast);
    const auto& pe = std::get<ReplaceError>(plain);
    ASSERT_EQ(fe.index(), pe.index()) << what;
    if (const auto* nf = std::get_if<NotFound>(&fe)) {
        EXPECT_EQ(nf->message, std::get<NotFound>(pe).message) << what;
    } else if (const auto* mm = std::get_if<MultipleMatches>(&fe)) {
        EXPECT_EQ(mm->message, std::get<MultipleMatches>(pe).message) << what;
        EXPECT_EQ(mm->locations, std::get<MultipleMatches>(pe).locations) << what;
    }
}

std::string random_text(std::mt19937& rng, const std::vector<std::string>& pieces, std::size_t max) {
    std::uniform_int_distribution<std::size_t> len(0, max);
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
    std::string s;
    for (std::size_t k = len(rng); k > 0; --k) s += pieces[pick(rng)];
    return s;
}

TEST(Driver, AgreesWithPlainTranscriptionOnGeneratedInputs) {
    std::mt19937 rng(31337);
    const std::vector<std::string> pieces = {"a",  "b",    "ab", " ", "\t", "\n",
                                             "\n", "\r\n", "é",  "😀", "{",  "}"};
    std::uniform_int_distribution<int> coin(0, 3);
    std::uniform_int_distribution<std::uint32_t> hint_dist(0, 8);
    std::size_t successes = 0;
    for (int round = 0; round < 4000; ++round) {
        const std::string content = random_text(rng, pieces, 16);
        std::string old_string;
        if (coin(rng) != 0 && !content.empty()) {
            // Usually a stretch of the content, sometimes padded, so that it is found.
            std::uniform_int_distribution<std::size_t> at(0, content.size());
            std::size_t from = utf8::floor_boundary(content, at(rng));
            std::size_t to = utf8::floor_boundary(content, at(rng));
            if (from > to) std::swap(from, to);
            old_string = content.substr(from, to - from);
            if (coin(rng) == 0) old_string.insert(0, "  ");
        } else {
            old_string = random_text(rng, pieces, 4);
        }
        const std::string new_string = random_text(rng, pieces, 3);
        const bool replace_all = coin(rng) == 0;
        const Hint hint = coin(rng) < 2 ? Hint{} : Hint{hint_dist(rng)};
        const ReplaceOutcome fast = replace_content(content, old_string, new_string, replace_all, hint);
        const ReplaceOutcome plain = plain_driver(content, old_string, new_string, replace_all, hint);
        expect_same(fast, plain,
                    "content '" + content + "' old '" + old_string + "' new '" + new_string + "'");
        successes += fast.index() == 0;
    }
    EXPECT_GT(successes, 1000u);
}

// Hinted placement among many overlapping occurrences: the nearest one is searched forward and
// backward from the hinted line's start. Contents of few repeated pieces (stray continuation bytes
// among them, so that some occurrences do not start on a character boundary), hints on every line
// and beyond the last.
TEST(Driver, HintedPlacementAgreesWithPlainTranscription) {
    std::mt19937 rng(4242);
    const std::vector<std::string> pieces = {"ab", "ab", "a",    "b", "\n",
                                             "\n", "\n", "\x80", "é", "\r\n"};
    const std::vector<std::string> olds = {"ab",  "a",    "b",  "ab\nab", "b\na", "\nab",
                                           "aba", "\x80", "\n", "é",      ""};
    std::size_t below = 0, above = 0, earlier_on_line = 0, beyond_last = 0, placed = 0;
    for (int round = 0; round < 3000; ++round) {
        const std::string content = random_text(rng, pieces, 40);
        const std::string old_string = olds[rng() % olds.size()];
        const std::uint64_t lines = text::line_number_at(content, content.size());
        const auto hint = static_cast<std::uint32_t>(rng() % (lines + 3));
        const ReplaceOutcome fast = replace_content(content, old_string, "X", false, hint);
        const ReplaceOutcome plain = plain_driver(content, old_string, "X", false, hint);
        expect_same(fast, plain,
                    "content '" + content + "' old '" + old_string + "' hint " + std::to_string(hint));
        if (HasFailure()) return;
        const auto* r = std::get_if<ReplaceResult>(&fast);
        if (r == nullptr || r->strategy != "simple") continue;
        const std::vector<std::size_t> occ = all_occurrences(content, old_string);
        if (occ.size() < 2) continue;
        ++placed;
        below += r->start_line > hint;
        above += r->start_line < hint;
        beyond_last += hint > lines;
        const auto at = static_cast<std::size_t>(r->position);
        for (std::size_t p : occ) {
            if (p > at && text::line_number_at(content, p) == r->start_line) {
                ++earlier_on_line;
                break;
            }
        }
    }
    EXPECT_GT(placed, 1000u);
    EXPECT_GT(below, 100u);
    EXPECT_GT(above, 100u);
    EXPECT_GT(earlier_on_line, 100u);
    EXPECT_GT(beyond_last, 50u);
}

// Many window candidates of few distinct texts, handed out by several strategies in turn (the
// failed texts are then recognised through their latest window), with a line hint sometimes.
TEST(Driver, ManyEqualWindowCandidatesAgreeWithPlainTranscription) {
    std::mt19937 rng(777);
    const char* const kLines[] = {"x = 1", "  x = 1", "x = 1 ", "\tx = 1", "", "y"};
    std::size_t many_candidates = 0;
    for (int round = 0; round < 400; ++round) {
        const std::size_t kinds = 1 + rng() % 4;
        std::string content;
        const std::size_t n = 5 + rng() % 60;
        for (std::size_t k = 0; k < n; ++k) {
            content += kLines[rng() % (rng() % 6 == 0 ? std::size(kLines) : kinds)];
            content += rng() % 10 == 0 ? "\r\n" : "\n";
        }
        std::string old_string;
        const std::size_t m = 1 + rng() % 6;
        for (std::size_t k = 0; k < m; ++k) {
            if (k > 0) old_string += "\n";
            old_string += kLines[rng() % kinds];
        }
        if (rng() % 3 == 0) old_string = "  " + old_string;
        const Hint hint = rng() % 3 == 0 ? Hint{static_cast<std::uint32_t>(rng() % (n + 2))} : Hint{};
        const ReplaceOutcome fast = replace_content(content, old_string, "NEW", false, hint);
        const ReplaceOutcome plain = plain_driver(content, old_string, "NEW", false, hint);
        expect_same(fast, plain, "content '" + content + "' old '" + old_string + "'");
        if (HasFailure()) return;
        const ContentLines lines(content);
        many_candidates += line_trimmed_replacer(lines, old_string).size() > 5;
    }
    EXPECT_GT(many_candidates, 100u);
}

}  // namespace
