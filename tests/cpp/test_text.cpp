// Tests of the shared text helpers (text.hpp) and the UTF-8 helpers (utf8.hpp): line splitting
// and counting, trimming by White_Space, joining, line numbers, substring search and character
// boundaries. Line splitting is checked against a direct reference on every short text over a
// small alphabet.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/text.hpp"
#include "core/utf8.hpp"

namespace {

using namespace brindle;

std::string utf8_of(std::initializer_list<char32_t> cps) {
    std::string out;
    for (char32_t cp : cps) utf8::append(out, cp);
    return out;
}

std::vector<std::string> as_strings(const std::vector<std::string_view>& views) {
    return {views.begin(), views.end()};
}

// Lines by the rule, written as plainly as possible: cut after each LF, drop the LF and one CR
// before it; keep a last line without LF whole; no line after a final LF.
std::vector<std::string> reference_lines(const std::string& s) {
    std::vector<std::string> lines;
    std::string current;
    bool open = false;
    for (char c : s) {
        if (c == '\n') {
            if (!current.empty() && current.back() == '\r') current.pop_back();
            lines.push_back(current);
            current.clear();
            open = false;
        } else {
            current.push_back(c);
            open = true;
        }
    }
    if (open) lines.push_back(current);
    return lines;
}

// Every text of up to `max_len` pieces drawn from `alphabet`.
std::vector<std::string> all_texts(const std::vector<std::string>& alphabet, std::size_t max_len) {
    std::vector<std::string> out{""};
    std::vector<std::string> layer{""};
    for (std::size_t len = 1; len <= max_len; ++len) {
        std::vector<std::string> next;
        for (const auto& prefix : layer) {
            for (const auto& piece : alphabet) next.push_back(prefix + piece);
        }
        out.insert(out.end(), next.begin(), next.end());
        layer = std::move(next);
    }
    return out;
}

// --- Lines -------------------------------------------------------------------------------------

TEST(SplitLines, Table) {
    struct Row {
        std::string text;
        std::vector<std::string> lines;
    };
    const Row rows[] = {
        {"", {}},
        {"\n", {""}},
        {"\n\n", {"", ""}},
        {"a", {"a"}},
        {"a\n", {"a"}},
        {"a\nb", {"a", "b"}},
        {"a\nb\n", {"a", "b"}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"\r\n", {""}},
        {"a\r", {"a\r"}},
        {"\r", {"\r"}},
        {"a\r\r\n", {"a\r"}},
        {"a\rb", {"a\rb"}},
        {"a\n\r", {"a", "\r"}},
        {"a\n\nb", {"a", "", "b"}},
        {"\nb", {"", "b"}},
        {" x \t\n", {" x \t"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "text '" << row.text << "'");
        EXPECT_EQ(as_strings(text::split_lines(row.text)), row.lines);
        EXPECT_EQ(text::count_lines(row.text), row.lines.size());
    }
}

TEST(SplitLines, AgreesWithReferenceOnAllShortTexts) {
    const auto texts = all_texts({"a", "\r", "\n", "\xC3\xA9"}, 7);
    for (const std::string& s : texts) {
        const auto lines = text::split_lines(s);
        ASSERT_EQ(as_strings(lines), reference_lines(s)) << "text of " << s.size() << " bytes";
        ASSERT_EQ(text::count_lines(s), lines.size());
        // The views point into the text itself.
        for (const auto& line : lines) {
            ASSERT_TRUE(line.empty() ||
                        (line.data() >= s.data() && line.data() + line.size() <= s.data() + s.size()));
        }
        // Joining inverts splitting for texts without CR that do not end in LF.
        if (s.find('\r') == std::string::npos && (s.empty() || s.back() != '\n') && !s.empty()) {
            ASSERT_EQ(text::join_lines(lines, 0, lines.size()), s);
        }
        ASSERT_EQ(text::joined_length(lines.data(), lines.size()),
                  text::join_lines(lines, 0, lines.size()).size());
    }
}

TEST(JoinLines, Table) {
    using V = std::vector<std::string_view>;
    EXPECT_EQ(text::join_lines(V{}, 0, 0), "");
    EXPECT_EQ(text::join_lines(V{""}, 0, 1), "");
    EXPECT_EQ(text::join_lines(V{"", ""}, 0, 2), "\n");
    EXPECT_EQ(text::join_lines(V{"a", "b", "c"}, 0, 3), "a\nb\nc");
    EXPECT_EQ(text::join_lines(V{"a", "b", "c"}, 1, 2), "b\nc");
    EXPECT_EQ(text::join_lines(V{"a", "b", "c"}, 1, 0), "");
    EXPECT_EQ(text::join_lines(V{"a\r", "b"}, 0, 2), "a\r\nb");
    EXPECT_EQ(text::joined_length(nullptr, 0), 0u);
}

TEST(LineNumbers, CountLineFeedsBeforeThePosition) {
    const std::string s = "ab\ncd\n\nef";
    const std::uint64_t expected[] = {1, 1, 1, 2, 2, 2, 3, 4, 4, 4};
    for (std::size_t pos = 0; pos <= s.size(); ++pos) {
        EXPECT_EQ(text::line_number_at(s, pos), expected[pos]) << "pos " << pos;
    }
    EXPECT_EQ(text::line_number_at(s, s.size() + 10), 4u);
    EXPECT_EQ(text::line_number_at("", 0), 1u);
    EXPECT_EQ(text::count_newlines("\r\n\n\r"), 2u);
    EXPECT_EQ(text::count_newlines(""), 0u);
}

// --- Trimming ----------------------------------------------------------------------------------

const char32_t kWhiteSpace[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,   0x1680,
                                0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
                                0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};

// Not White_Space, though some look like it; some end in a byte equal to a White_Space code
// point's value (U+0160 ends in 0xA0, U+2085 in 0x85) to catch byte-wise comparisons.
const char32_t kNotWhiteSpace[] = {0x200B, 0xFEFF, 0x180E, 0x2060, 0x00AD, 0x0160,
                                   0x2085, 0x1C,   0x1F,   0x00,   0x3001, 0x10085};

TEST(Trim, EveryWhiteSpaceCharacterIsTrimmedOnBothSides) {
    for (char32_t ws : kWhiteSpace) {
        SCOPED_TRACE(testing::Message() << "U+" << std::hex << static_cast<std::uint32_t>(ws));
        const std::string w = utf8_of({ws});
        const std::string s = w + w + "x" + w + "y" + w;
        EXPECT_EQ(text::trim(s), "x" + w + "y");
        EXPECT_EQ(text::trim_start(s), "x" + w + "y" + w);
        EXPECT_TRUE(text::is_blank(w + w));
        EXPECT_EQ(text::trim(w), "");
    }
}

TEST(Trim, OtherCharactersAreKept) {
    for (char32_t cp : kNotWhiteSpace) {
        SCOPED_TRACE(testing::Message() << "U+" << std::hex << static_cast<std::uint32_t>(cp));
        const std::string c = utf8_of({cp});
        const std::string s = c + " x " + c;
        EXPECT_EQ(text::trim(s), s);
        EXPECT_EQ(text::trim_start(s), s);
        EXPECT_EQ(text::trim(" " + c + " "), c);
        EXPECT_FALSE(text::is_blank(c));
    }
}

TEST(Trim, Table) {
    struct Row {
        std::string in, trimmed, trimmed_start;
    };
    const std::string nel = utf8_of({0x85}), nbsp = utf8_of({0xA0}), ideo = utf8_of({0x3000});
    const std::string zwsp = utf8_of({0x200B}), bom = utf8_of({0xFEFF});
    const Row rows[] = {
        {"", "", ""},
        {"   ", "", ""},
        {"abc", "abc", "abc"},
        {"  a b  ", "a b", "a b  "},
        {"\t\r\n a\r\n", "a", "a\r\n"},
        {nel + "a" + nbsp, "a", "a" + nbsp},
        {ideo + " a " + ideo, "a", "a " + ideo},
        {zwsp + "a" + zwsp, zwsp + "a" + zwsp, zwsp + "a" + zwsp},
        {bom + " a", bom + " a", bom + " a"},
        {" " + zwsp + " ", zwsp, zwsp + " "},
        {"\xC3\xA9 ", "\xC3\xA9", "\xC3\xA9 "},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(text::trim(row.in), row.trimmed);
        EXPECT_EQ(text::trim_start(row.in), row.trimmed_start);
        EXPECT_EQ(text::is_blank(row.in), row.trimmed.empty());
    }
}

TEST(Trim, ResultIsAViewIntoTheInput) {
    const std::string s = "  abc  ";
    const std::string_view t = text::trim(s);
    EXPECT_EQ(t.data(), s.data() + 2);
    EXPECT_EQ(text::trim_start(s).data(), s.data() + 2);
}

TEST(Trim, MalformedInputStaysInBounds) {
    const std::string inputs[] = {"\xC2",
                                  "\x85",
                                  "\xE3\x80",
                                  " \xE3\x80",
                                  "\xE3\x80 ",
                                  "\xFF",
                                  "\x80\x80\x80\x80\x80",
                                  "\xF0\x90\x80",
                                  "a\xE2\x80\x80\x80"};
    for (const std::string& s : inputs) {
        const std::string_view t = text::trim(s);
        const std::string_view ts = text::trim_start(s);
        EXPECT_LE(t.size(), s.size());
        EXPECT_LE(ts.size(), s.size());
    }
}

// --- Search ------------------------------------------------------------------------------------

TEST(Find, Table) {
    constexpr auto npos = std::string_view::npos;
    EXPECT_EQ(text::find("abcabc", "bc"), 1u);
    EXPECT_EQ(text::find("abcabc", "bc", 2), 4u);
    EXPECT_EQ(text::find("abcabc", "bc", 5), npos);
    EXPECT_EQ(text::find("abc", "abcd"), npos);
    EXPECT_EQ(text::find("abc", ""), 0u);
    EXPECT_EQ(text::find("abc", "", 2), 2u);
    EXPECT_EQ(text::find("abc", "", 3), 3u);
    EXPECT_EQ(text::find("abc", "", 4), npos);
    EXPECT_EQ(text::find("abc", "c", 4), npos);
    EXPECT_EQ(text::find("", ""), 0u);
    EXPECT_EQ(text::find("", "a"), npos);
    EXPECT_EQ(text::find(std::string_view("a\0b", 3), std::string_view("\0b", 2)), 1u);
    EXPECT_TRUE(text::contains("", ""));
    EXPECT_TRUE(text::contains("xyz", "yz"));
    EXPECT_FALSE(text::contains("xyz", "Y"));
}

// Needles longer than the prefix that is searched for first, against std::string_view::find, on
// texts that repeat a short unit with a few changes: the prefix occurs often, so some needles
// are compared in full at many places and some searches go over to the whole needle.
TEST(Find, LongNeedlesAgreeWithThePlainSearch) {
    constexpr std::size_t prefix = text::detail::kFindPrefixBytes;
    std::mt19937 rng(17);
    std::size_t found = 0;
    std::size_t compared_at_several = 0;  // rounds that reached each path
    std::size_t whole_needle = 0;
    for (int round = 0; round < 400; ++round) {
        std::uniform_int_distribution<int> period(1, 4);
        std::uniform_int_distribution<int> letter(0, 2);
        std::string unit;
        for (int k = period(rng); k > 0; --k) unit += static_cast<char>('a' + letter(rng));
        const std::size_t hay_length =
            std::uniform_int_distribution<std::size_t>(prefix, 6 * prefix)(rng);
        std::string hay;
        while (hay.size() < hay_length) hay += unit;
        std::uniform_int_distribution<std::size_t> changes(0, 1);
        for (std::size_t k = changes(rng); k > 0; --k) {
            hay[std::uniform_int_distribution<std::size_t>(0, hay.size() - 1)(rng)] = 'z';
        }
        std::uniform_int_distribution<std::size_t> needle_length(prefix + 1, 2 * prefix + 40);
        const std::size_t length = std::min(needle_length(rng), hay.size());
        std::uniform_int_distribution<std::size_t> start(0, hay.size() - length);
        std::string needle = hay.substr(start(rng), length);
        if (length <= prefix) continue;
        if (round % 2 == 0) {  // changed past the prefix (or not at all: a 'z' over a 'z')
            needle[std::uniform_int_distribution<std::size_t>(prefix, length - 1)(rng)] = 'z';
        }
        for (std::size_t from : {std::size_t{0}, hay.size() / 3, hay.size() - length, hay.size()}) {
            const std::size_t want = std::string_view(hay).find(needle, from);
            ASSERT_EQ(text::find(hay, needle, from), want) << round << " " << from;
            if (from + length > hay.size()) continue;
            text::detail::FindStats stats;
            ASSERT_EQ(text::detail::find_long_needle(hay, needle, from, &stats), want);
            found += want != std::string_view::npos;
            compared_at_several += stats.prefix_hits > 1;
            whole_needle += stats.whole_needle;
        }
    }
    EXPECT_GT(found, 200u);
    EXPECT_GT(compared_at_several, 100u);
    EXPECT_GT(whole_needle, 100u);
}

// --- UTF-8 -------------------------------------------------------------------------------------

TEST(Utf8, EncodeDecodeRoundTrip) {
    const char32_t cps[] = {0x0,    0x41,   0x7F,   0x80,   0xE9,    0x7FF,   0x800,
                            0x20AC, 0xD7FF, 0xE000, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF};
    const std::size_t lengths[] = {1, 1, 1, 2, 2, 2, 3, 3, 3, 3, 3, 4, 4, 4};
    std::string all;
    for (std::size_t k = 0; k < std::size(cps); ++k) {
        std::string one;
        utf8::append(one, cps[k]);
        EXPECT_EQ(one.size(), lengths[k]);
        std::size_t pos = 0;
        EXPECT_EQ(utf8::decode_at(one, pos), cps[k]);
        EXPECT_EQ(pos, one.size());
        all += one;
    }
    EXPECT_EQ(utf8::decode(all), std::vector<char32_t>(std::begin(cps), std::end(cps)));
    EXPECT_EQ(utf8::count_chars(all), std::size(cps));
    std::vector<char32_t> reused{1, 2, 3};
    utf8::decode_into("ab", reused);
    EXPECT_EQ(reused, (std::vector<char32_t>{'a', 'b'}));
}

TEST(Utf8, TruncatedSequencesAdvanceWithinBounds) {
    const std::string inputs[] = {"\xC3", "\xE2\x82", "\xF0\x9F\x98", "\x80", "\xFF\xFE", "a\xF4"};
    for (const std::string& s : inputs) {
        std::size_t pos = 0, steps = 0;
        while (pos < s.size()) {
            utf8::decode_at(s, pos);
            ++steps;
        }
        EXPECT_EQ(pos, s.size());
        EXPECT_LE(steps, s.size());
        EXPECT_EQ(utf8::decode(s).size(), steps);
        EXPECT_LE(utf8::prefix_chars(s, 100).size(), s.size());
    }
}

TEST(Utf8, Boundaries) {
    // "a" (1 byte) "é" (2) "€" (3) "😀" (4): characters start at 0, 1, 3, 6; size 10.
    const std::string s = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    ASSERT_EQ(s.size(), 10u);
    const std::size_t floors[] = {0, 1, 1, 3, 3, 3, 6, 6, 6, 6, 10, 10};
    const bool boundaries[] = {true, true,  false, true,  false, false,
                               true, false, false, false, true,  false};
    for (std::size_t pos = 0; pos < std::size(floors); ++pos) {
        EXPECT_EQ(utf8::floor_boundary(s, pos), floors[pos]) << "pos " << pos;
        EXPECT_EQ(utf8::is_boundary(s, pos), boundaries[pos]) << "pos " << pos;
    }
    const std::size_t prefix_sizes[] = {0, 1, 3, 6, 10, 10};
    for (std::size_t n = 0; n < std::size(prefix_sizes); ++n) {
        EXPECT_EQ(utf8::prefix_chars(s, n), s.substr(0, prefix_sizes[n])) << n << " chars";
    }
    EXPECT_EQ(utf8::floor_boundary("", 0), 0u);
    EXPECT_EQ(utf8::floor_boundary("", 5), 0u);
    EXPECT_EQ(utf8::prefix_chars("", 3), "");
    EXPECT_EQ(utf8::count_chars(s), 4u);
}

}  // namespace
