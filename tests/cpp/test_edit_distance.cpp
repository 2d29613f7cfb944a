// Tests of the character edit distance (every variant, bounded or not, against the two-row
// reference and the plain matrix form) and of the block similarity built on it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "../reference/block_similarity.hpp"
#include "../reference/edit_distance.hpp"
#include "core/cancel.hpp"
#include "core/content_replacer/block_similarity.hpp"
#include "core/edit_distance.hpp"
#include "core/text.hpp"
#include "core/utf8.hpp"

namespace {

using brindle::levenshtein_distance;
using brindle::levenshtein_distance_within;
using brindle::detail::levenshtein_bit_parallel;
using brindle::detail::levenshtein_bit_parallel_within;
using brindle::detail::levenshtein_narrow_band_within;
using brindle::detail::levenshtein_two_row;
using brindle::replacer::calculate_block_similarity;
using brindle::replacer::calculate_block_similarity_above;

// What the bounded variants must answer for a pair at distance d under `limit`.
std::optional<std::uint64_t> within(std::uint64_t d, std::uint64_t limit) {
    if (d > limit) return std::nullopt;
    return d;
}

// Every bounded variant, in both argument orders, under every limit from 0 to d + 2 and a huge
// one. Returns how many of those calls had to report "more than the limit".
std::size_t expect_bounded_variants(std::string_view a, std::string_view b, std::uint64_t d) {
    const std::vector<char32_t> ca = brindle::utf8::decode(a);
    const std::vector<char32_t> cb = brindle::utf8::decode(b);
    const std::u32string_view va(ca.data(), ca.size());
    const std::u32string_view vb(cb.data(), cb.size());
    std::vector<std::uint64_t> limits;
    for (std::uint64_t k = 0; k <= d + 2; ++k) limits.push_back(k);
    limits.push_back(~std::uint64_t{0});
    std::size_t refused = 0;
    for (std::uint64_t k : limits) {
        const auto expected = within(d, k);
        if (!expected) ++refused;
        EXPECT_EQ(levenshtein_distance_within(a, b, k), expected)
            << "'" << a << "' vs '" << b << "' k=" << k;
        EXPECT_EQ(levenshtein_distance_within(b, a, k), expected)
            << "'" << b << "' vs '" << a << "' k=" << k;
        EXPECT_EQ(levenshtein_bit_parallel_within(va, vb, k), expected)
            << "'" << a << "' vs '" << b << "' k=" << k;
        EXPECT_EQ(levenshtein_bit_parallel_within(vb, va, k), expected)
            << "'" << b << "' vs '" << a << "' k=" << k;
    }
    return refused;
}

// Every variant must give the reference's answer, in both argument orders.
void expect_all_variants(std::string_view a, std::string_view b, std::uint64_t expected) {
    const std::vector<char32_t> ca = brindle::utf8::decode(a);
    const std::vector<char32_t> cb = brindle::utf8::decode(b);
    const std::u32string_view va(ca.data(), ca.size());
    const std::u32string_view vb(cb.data(), cb.size());
    EXPECT_EQ(levenshtein_two_row(a, b), expected) << "'" << a << "' vs '" << b << "'";
    EXPECT_EQ(levenshtein_distance(a, b), expected) << "'" << a << "' vs '" << b << "'";
    EXPECT_EQ(levenshtein_distance(b, a), expected) << "'" << b << "' vs '" << a << "'";
    EXPECT_EQ(levenshtein_bit_parallel(va, vb), expected) << "'" << a << "' vs '" << b << "'";
    EXPECT_EQ(levenshtein_bit_parallel(vb, va), expected) << "'" << b << "' vs '" << a << "'";
    expect_bounded_variants(a, b, expected);
}

TEST(LevenshteinDistance, ListedCases) {
    struct Case {
        std::string_view a, b;
        std::uint64_t d;
    };
    const Case cases[] = {
        {"", "abc", 3},    {"abc", "", 3},   {"", "", 0},           {"flaw", "lawn", 2},
        {"ab", "ba", 2},   {"é", "e", 1},    {"A", "a", 1},         {"kitten", "sitting", 3},
        {"é", "", 1},      {"😀", "😁", 1},    {"aé😀", "aé😀", 0},     {"abc", "abc", 0},
        {"\r\n", "\n", 1}, {"a b", "ab", 1}, {"日本語", "日本", 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(brindle::reference::levenshtein(c.a, c.b), c.d) << c.a << " / " << c.b;
        expect_all_variants(c.a, c.b, c.d);
    }
}

TEST(LevenshteinDistance, LongTextsAcrossBlockBoundaries) {
    // Lengths around the 64-row word size: single block, exactly full, two and three blocks.
    for (std::size_t len : {63u, 64u, 65u, 127u, 128u, 129u, 200u, 500u}) {
        const std::string a(len, 'a');
        expect_all_variants(a, "", len);
        expect_all_variants(a, a, 0);
        expect_all_variants(a, std::string(len, 'b'), len);
        expect_all_variants(a, a + "b", 1);
        std::string mid = a;
        mid[len / 2] = 'x';
        expect_all_variants(a, mid, 1);
        std::string wide;
        for (std::size_t k = 0; k < len; ++k) wide += "é";
        expect_all_variants(a, wide, len);
    }
}

// Random texts over a small alphabet, including whitespace, CR, LF, multi-byte and astral
// characters, so that equal characters are frequent.
std::string random_text(std::mt19937& rng, const std::vector<std::string>& alphabet,
                        std::size_t max_len) {
    std::uniform_int_distribution<std::size_t> len_dist(0, max_len);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::string s;
    const std::size_t len = len_dist(rng);
    for (std::size_t k = 0; k < len; ++k) s += alphabet[pick(rng)];
    return s;
}

// `s` with a few random character edits, so that the pair is similar.
std::string mutate(std::mt19937& rng, const std::string& s, const std::vector<std::string>& alphabet) {
    std::vector<std::string> chars;
    std::size_t pos = 0;
    while (pos < s.size()) {
        const std::size_t start = pos;
        brindle::utf8::decode_at(s, pos);
        chars.emplace_back(s.substr(start, pos - start));
    }
    std::uniform_int_distribution<std::size_t> edits(0, 6);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> kind(0, 2);
    const std::size_t n = edits(rng);
    for (std::size_t k = 0; k < n; ++k) {
        std::uniform_int_distribution<std::size_t> where(0, chars.size());
        const std::size_t at = where(rng);
        const int op = kind(rng);
        if (op == 0 || chars.empty()) {
            chars.insert(chars.begin() + static_cast<std::ptrdiff_t>(std::min(at, chars.size())),
                         alphabet[pick(rng)]);
        } else if (at < chars.size()) {
            if (op == 1) {
                chars.erase(chars.begin() + static_cast<std::ptrdiff_t>(at));
            } else {
                chars[at] = alphabet[pick(rng)];
            }
        }
    }
    std::string out;
    for (const std::string& c : chars) out += c;
    return out;
}

TEST(LevenshteinDistance, AgreesWithReferenceOnGeneratedTexts) {
    std::mt19937 rng(20240611);
    const std::vector<std::vector<std::string>> alphabets = {
        {"a", "b"},
        {"a", "b", " ", "\t", "\r", "\n"},
        {"a", "é", "€", "😀", " ", "\n"},
        {"x", "y", "z", "ä", "ö", "\r", "\n", "𝄞"},
    };
    for (int round = 0; round < 3000; ++round) {
        const auto& alphabet = alphabets[static_cast<std::size_t>(round) % alphabets.size()];
        const std::size_t max_len = round % 10 == 0 ? 300 : (round % 3 == 0 ? 140 : 20);
        const std::string a = random_text(rng, alphabet, max_len);
        const std::string b =
            round % 2 == 0 ? mutate(rng, a, alphabet) : random_text(rng, alphabet, max_len);
        expect_all_variants(a, b, levenshtein_two_row(a, b));
    }
}

// Texts of one to three 64-row blocks with lengths at and around the block boundaries, each paired
// with a few-edit variant of itself and with an unrelated text, ASCII and not.
TEST(LevenshteinDistance, BoundedAgreesWithPlainFormAcrossBlockBoundaries) {
    std::mt19937 rng(64);
    const std::vector<std::vector<std::string>> alphabets = {
        {"a", "b", "c"},
        {"a", "b", " ", "\n"},
        {"a", "é", "€", "😀"},
        {"x", "ü", "\t"},
    };
    const std::size_t lengths[] = {1, 2, 31, 62, 63, 64, 65, 66, 100, 127, 128, 129, 191, 192, 193};
    std::size_t refused = 0;
    std::size_t multi_block_found = 0;
    std::size_t wide = 0;
    for (int round = 0; round < 1200; ++round) {
        const auto& alphabet = alphabets[static_cast<std::size_t>(round) % alphabets.size()];
        std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
        const std::size_t len = lengths[static_cast<std::size_t>(round / 4) % std::size(lengths)];
        std::string a;
        for (std::size_t k = 0; k < len; ++k) a += alphabet[pick(rng)];
        std::string b;
        if (round % 3 == 2) {
            const std::size_t len_b = lengths[static_cast<std::size_t>(round / 7) % std::size(lengths)];
            for (std::size_t k = 0; k < len_b; ++k) b += alphabet[pick(rng)];
        } else {
            b = mutate(rng, a, alphabet);
        }
        const std::uint64_t d = brindle::reference::levenshtein(a, b);
        EXPECT_EQ(levenshtein_two_row(a, b), d);
        EXPECT_EQ(levenshtein_distance(a, b), d);
        refused += expect_bounded_variants(a, b, d);
        const std::size_t shorter =
            std::min(brindle::utf8::count_chars(a), brindle::utf8::count_chars(b));
        if (shorter > 64 && d > 0) ++multi_block_found;
        if (a.size() != brindle::utf8::count_chars(a)) ++wide;
    }
    // The generated pairs reach the refusals, the multi-block band and the decoded path.
    EXPECT_GT(refused, 2000u);
    EXPECT_GT(multi_block_found, 300u);
    EXPECT_GT(wide, 200u);
}

// Long pairs at distances beyond the first staged limit (|p - q| + 64), so that the later stages
// and the band's pruning both run, against the two-row reference.
TEST(LevenshteinDistance, LongPairsThroughTheStagedLimits) {
    std::mt19937 rng(2026);
    const std::vector<std::string> alphabet = {"a", "b", "c", "d", " ", "\n", "é"};
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<std::size_t> len_dist(300, 1400);
    std::size_t beyond_first_stage = 0;
    for (int round = 0; round < 60; ++round) {
        std::string a;
        for (std::size_t k = len_dist(rng); k > 0; --k) a += alphabet[pick(rng)];
        std::string b = a;
        // Many edits: a few hundred random rewrites of short stretches.
        std::uniform_int_distribution<std::size_t> edits(0, 300);
        for (std::size_t e = edits(rng); e > 0; --e) b = mutate(rng, b, alphabet);
        if (round % 5 == 0) {
            b.clear();
            for (std::size_t k = len_dist(rng); k > 0; --k) b += alphabet[pick(rng)];
        }
        const std::uint64_t d = levenshtein_two_row(a, b);
        const std::size_t p = brindle::utf8::count_chars(a);
        const std::size_t q = brindle::utf8::count_chars(b);
        if (d > (p > q ? p - q : q - p) + 64) ++beyond_first_stage;
        EXPECT_EQ(levenshtein_distance(a, b), d);
        EXPECT_EQ(levenshtein_distance(b, a), d);
        for (std::uint64_t k : {d / 2, d - 1, d, d + 1, 2 * d, d + 500}) {
            EXPECT_EQ(levenshtein_distance_within(a, b, k), within(d, k)) << "k=" << k;
            EXPECT_EQ(levenshtein_distance_within(b, a, k), within(d, k)) << "k=" << k;
        }
    }
    EXPECT_GT(beyond_first_stage, 30u);
}

// best_substring_distances of `pattern` over `text` at every character boundary, with the
// latest start `latest` (bytes; SIZE_MAX: anywhere) and each of `limits`, against the plain form.
// Counts the values checked and the calls whose live blocks split or whose top block went out
// of reach.
struct SubstringCounts {
    std::size_t exact = 0;
    std::size_t capped = 0;
    std::size_t split = 0;
    std::size_t top_out = 0;
};

void check_substring_distances(const std::string& pattern, const std::string& text, std::size_t latest,
                               const std::vector<std::uint64_t>& limits, SubstringCounts& counts) {
    std::vector<std::size_t> ends;  // byte offsets of the character boundaries
    for (std::size_t e = 0; e <= text.size(); ++e) {
        if (e == text.size() || (static_cast<unsigned char>(text[e]) & 0xC0) != 0x80) ends.push_back(e);
    }
    const std::size_t latest_chars =
        latest == SIZE_MAX ? SIZE_MAX
                           : brindle::utf8::count_chars(std::string_view(text).substr(0, latest));
    const std::vector<std::uint64_t> plain =
        brindle::reference::best_substring_distances_by_end(pattern, text, latest_chars);
    ASSERT_EQ(plain.size(), ends.size());
    for (std::uint64_t limit : limits) {
        brindle::SubstringStats stats;
        const std::vector<std::uint64_t> fast =
            brindle::best_substring_distances(pattern, text, latest, ends, limit, &stats);
        ASSERT_EQ(fast.size(), ends.size());
        counts.split += stats.split_columns > 0;
        counts.top_out += stats.top_out;
        for (std::size_t t = 0; t < ends.size(); ++t) {
            const bool within = plain[t] <= limit;
            ASSERT_EQ(fast[t], within ? plain[t] : limit + 1)
                << pattern << " / " << text << " end " << ends[t] << " k=" << limit << " latest "
                << latest;
            ++(within ? counts.exact : counts.capped);
        }
    }
}

// The one-word band of 64 diagonals: patterns longer than one word, paired with few-edit variants,
// with copies shifted along the diagonals (the optimal path runs near the band's edges) and with
// unrelated texts, under every limit up to 63, against the plain form.
// Under a work budget (the diagnostics' closest-match search runs so in the package) a distance
// is the one computed without a budget, or no distance at all: the computation is abandoned,
// never cut short with a partial answer. The pairs are long and far apart, so that the larger
// budgets suffice for some and not for others.
TEST(LevenshteinDistance, UnderAWorkBudgetExactOrAbandoned) {
    std::mt19937 rng(77);
    const std::vector<std::string> alphabet = {"a", "b", "c", "d", "e", "f", " ", "é"};
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<std::size_t> len_dist(1000, 8000);
    std::uniform_int_distribution<int> percent(1, 12);
    std::size_t finished = 0;
    std::size_t abandoned = 0;
    for (int round = 0; round < 24; ++round) {
        std::string a;
        std::string b;
        const int changed = percent(rng);
        for (std::size_t k = len_dist(rng); k > 0; --k) {
            a += alphabet[pick(rng)];
            b += std::uniform_int_distribution<int>(0, 99)(rng) < changed ? alphabet[pick(rng)]
                                                                          : a.substr(a.size() - 1);
        }
        const std::uint64_t d = levenshtein_distance(a, b);
        for (const std::int64_t budget :
             {std::int64_t{0}, std::int64_t{1} << 17, std::int64_t{1} << 19, std::int64_t{1} << 21,
              std::numeric_limits<std::int64_t>::max()}) {
            std::optional<std::uint64_t> exact;
            std::optional<std::uint64_t> bounded;
            const std::uint64_t limit = d / 2 + round % 3 * d;  // below d for a third of the rounds
            const bool done = brindle::run_with_work_budget(budget, [&] {
                exact = levenshtein_distance(a, b);
                bounded = levenshtein_distance_within(a, b, limit);
            });
            if (!done) {
                ++abandoned;
                EXPECT_NE(budget, std::numeric_limits<std::int64_t>::max());
                continue;
            }
            ++finished;
            EXPECT_EQ(exact, d);
            EXPECT_EQ(bounded, within(d, limit));
        }
    }
    EXPECT_GT(finished, 40u);
    EXPECT_GT(abandoned, 20u);
}

TEST(LevenshteinDistance, NarrowBandAgreesWithPlainForm) {
    std::mt19937 rng(6363);
    const std::vector<std::vector<std::string>> alphabets = {
        {"a", "b", "c", " ", "\n"},
        {"a", "b"},
        {"x", "é", "€", "😀", "\t"},
    };
    std::uniform_int_distribution<std::size_t> len_dist(65, 330);
    std::size_t exact = 0;
    std::size_t refused = 0;
    std::size_t far_diagonal = 0;  // exact answers whose texts start out shifted by 20+ diagonals
    for (int round = 0; round < 500; ++round) {
        const auto& alphabet = alphabets[static_cast<std::size_t>(round) % alphabets.size()];
        std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
        std::string a;
        for (std::size_t k = len_dist(rng); k > 0; --k) a += alphabet[pick(rng)];
        std::string b;
        std::size_t shift = 0;
        switch (round % 4) {
            case 0:
                b = mutate(rng, a, alphabet);
                break;
            case 1:
                b = mutate(rng, mutate(rng, mutate(rng, a, alphabet), alphabet), alphabet);
                break;
            case 2: {
                // Characters added in front and removed at the end (or the other way round): the
                // pair follows a diagonal far from the main one for most of its length.
                shift = std::uniform_int_distribution<std::size_t>(1, 31)(rng);
                std::string front;
                for (std::size_t k = 0; k < shift; ++k) front += alphabet[pick(rng)];
                const std::vector<char32_t> chars = brindle::utf8::decode(a);
                std::string cut;
                for (std::size_t k = 0; k + shift < chars.size(); ++k)
                    brindle::utf8::append(cut, chars[k]);
                b = front + cut;
                break;
            }
            default:
                for (std::size_t k = len_dist(rng); k > 0; --k) b += alphabet[pick(rng)];
        }
        const std::uint64_t d = brindle::reference::levenshtein(a, b);
        const std::vector<char32_t> ca = brindle::utf8::decode(a);
        const std::vector<char32_t> cb = brindle::utf8::decode(b);
        const std::u32string_view va(ca.data(), ca.size());
        const std::u32string_view vb(cb.data(), cb.size());
        const bool long_pattern = std::min(ca.size(), cb.size()) > 64;
        for (std::uint64_t k = 0; k <= 63; ++k) {
            const auto expected = within(d, k);
            ASSERT_EQ(levenshtein_narrow_band_within(va, vb, k), expected)
                << a << " / " << b << " k=" << k;
            ASSERT_EQ(levenshtein_narrow_band_within(vb, va, k), expected)
                << b << " / " << a << " k=" << k;
            const std::size_t diff =
                ca.size() > cb.size() ? ca.size() - cb.size() : cb.size() - ca.size();
            if (!long_pattern || diff > k) continue;
            if (expected) {
                ++exact;
                if (shift >= 20) ++far_diagonal;
            } else {
                ++refused;
            }
        }
    }
    EXPECT_GT(exact, 4000u);
    EXPECT_GT(refused, 4000u);
    EXPECT_GT(far_diagonal, 300u);
}

// Pairs of several blocks whose differences come in runs (a stretch inserted, deleted or rewritten),
// so that the optimal path leaves the main diagonal for a while and the band's first and last
// blocks are dropped and started again; limits at and around the distance, where a block dropped
// one column too early would change the answer.
TEST(LevenshteinDistance, RunsOfEditsAcrossTheBlockBand) {
    std::mt19937 rng(4242);
    const std::vector<std::vector<std::string>> alphabets = {
        {"a", "b"},
        {"a", "b", "c", "d", " ", "\n"},
        {"a", "b", "c", "d", "e", "f", "g", "h", "i", "é"},
    };
    std::uniform_int_distribution<std::size_t> len_dist(65, 600);
    std::size_t beyond_narrow_band = 0;  // multi-block pairs at a distance above 63
    for (int round = 0; round < 1500; ++round) {
        const auto& alphabet = alphabets[static_cast<std::size_t>(round) % alphabets.size()];
        std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
        std::vector<std::string> chars;
        for (std::size_t k = len_dist(rng); k > 0; --k) chars.push_back(alphabet[pick(rng)]);
        std::string a;
        for (const std::string& c : chars) a += c;
        for (int runs = static_cast<int>(rng() % 6); runs > 0; --runs) {
            const std::size_t at = rng() % (chars.size() + 1);
            const std::size_t count = rng() % 70;
            const auto where = chars.begin() + static_cast<std::ptrdiff_t>(at);
            switch (rng() % 3) {
                case 0:
                    for (std::size_t k = 0; k < count; ++k)
                        chars.insert(chars.begin() + static_cast<std::ptrdiff_t>(at),
                                     alphabet[pick(rng)]);
                    break;
                case 1:
                    chars.erase(where, chars.begin() + static_cast<std::ptrdiff_t>(
                                                           std::min(chars.size(), at + count)));
                    break;
                default:
                    for (std::size_t k = at; k < std::min(chars.size(), at + count); ++k)
                        chars[k] = alphabet[pick(rng)];
            }
        }
        std::string b;
        for (const std::string& c : chars) b += c;
        const std::uint64_t d = levenshtein_two_row(a, b);
        const std::vector<char32_t> ca = brindle::utf8::decode(a);
        const std::vector<char32_t> cb = brindle::utf8::decode(b);
        const std::u32string_view va(ca.data(), ca.size());
        const std::u32string_view vb(cb.data(), cb.size());
        if (std::min(ca.size(), cb.size()) > 64 && d > 63) ++beyond_narrow_band;
        for (std::uint64_t k : {d - std::min<std::uint64_t>(d, 2), d - std::min<std::uint64_t>(d, 1), d,
                                d + 1, d + 2, d + 40}) {
            const auto expected = within(d, k);
            ASSERT_EQ(levenshtein_distance_within(a, b, k), expected) << a << " / " << b << " k=" << k;
            ASSERT_EQ(levenshtein_distance_within(b, a, k), expected) << b << " / " << a << " k=" << k;
            ASSERT_EQ(levenshtein_bit_parallel_within(va, vb, k), expected)
                << a << " / " << b << " k=" << k;
        }
    }
    EXPECT_GT(beyond_narrow_band, 500u);
}

// Generated texts, some containing near copies of the pattern; latest starts anywhere or at a
// random boundary (a start well before the end puts even the top rows out of reach).
TEST(BestSubstringDistances, AgreesWithPlainFormOnGeneratedTexts) {
    std::mt19937 rng(515);
    const std::vector<std::vector<std::string>> alphabets = {
        {"a", "b", "\n"},
        {"a", "é", "€", "😀", " "},
        {"x", "y", "z", "w", "\n", "\t"},
    };
    const std::vector<std::uint64_t> limits = {0, 2, 10, 40, ~std::uint64_t{0}};
    SubstringCounts counts;
    std::size_t multi_block = 0;
    for (int round = 0; round < 400; ++round) {
        const auto& alphabet = alphabets[static_cast<std::size_t>(round) % alphabets.size()];
        const std::size_t max_len = round % 4 == 0 ? 150 : 40;
        const std::string pattern = random_text(rng, alphabet, max_len);
        std::string text = random_text(rng, alphabet, 30);
        if (round % 2 == 0) text += mutate(rng, pattern, alphabet) + random_text(rng, alphabet, 20);
        if (brindle::utf8::count_chars(pattern) > 64) ++multi_block;
        std::uniform_int_distribution<std::size_t> at(0, text.size());
        const std::size_t latest = brindle::utf8::floor_boundary(text, at(rng));
        check_substring_distances(pattern, text, SIZE_MAX, limits, counts);
        check_substring_distances(pattern, text, latest, limits, counts);
    }
    EXPECT_GT(counts.exact, 5000u);
    EXPECT_GT(counts.capped, 5000u);
    EXPECT_GT(counts.top_out, 60u);
    EXPECT_GT(multi_block, 50u);
}

// Patterns of three or four blocks against a near copy, with small limits: the blocks between the
// top rows and the copy's diagonal go out of reach while both stay live, and come back.
TEST(BestSubstringDistances, LiveBlocksAroundACopyOfALongPattern) {
    std::mt19937 rng(516);
    const std::vector<std::vector<std::string>> alphabets = {
        {"a", "b", "c", "d", " ", "\n"},
        {"a", "é", "€", "😀", " ", "x", "y"},
    };
    SubstringCounts counts;
    for (int round = 0; round < 40; ++round) {
        const auto& alphabet = alphabets[static_cast<std::size_t>(round) % alphabets.size()];
        std::string pattern;
        std::uniform_int_distribution<std::size_t> length(140, 230);
        std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
        for (std::size_t k = length(rng); k > 0; --k) pattern += alphabet[pick(rng)];
        const std::string text = random_text(rng, alphabet, 40) + mutate(rng, pattern, alphabet) +
                                 random_text(rng, alphabet, 40);
        std::uniform_int_distribution<std::size_t> at(0, text.size());
        check_substring_distances(pattern, text, SIZE_MAX, {2, 10, 25}, counts);
        check_substring_distances(pattern, text, brindle::utf8::floor_boundary(text, at(rng)), {10, 25},
                                  counts);
    }
    EXPECT_GT(counts.split, 30u);
    EXPECT_GT(counts.exact, 2000u);
}

TEST(LevenshteinDistance, ManyDistinctWideCharactersPerBlock) {
    // Up to 64 distinct non-ASCII characters in one block fill half of its hash table and make
    // probe sequences collide.
    std::vector<std::string> alphabet;
    for (char32_t cp = 0x4E00; cp < 0x4E00 + 150; ++cp) {
        std::string s;
        brindle::utf8::append(s, cp);
        alphabet.push_back(s);
    }
    alphabet.push_back("a");
    alphabet.push_back("😀");
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        const std::string a = random_text(rng, alphabet, 200);
        const std::string b =
            round % 2 == 0 ? mutate(rng, a, alphabet) : random_text(rng, alphabet, 200);
        expect_all_variants(a, b, levenshtein_two_row(a, b));
    }
}

// Lines of a text joined with LF into the views calculate_block_similarity takes.
struct Lines {
    std::string text;
    std::vector<std::string_view> lines;
    explicit Lines(std::string t) : text(std::move(t)), lines(brindle::text::split_lines(text)) {}
};

TEST(BlockSimilarity, ListedCases) {
    struct Case {
        std::string content;
        std::string search;
        std::size_t start, end, search_size;
        double expected;
    };
    const Case cases[] = {
        // Blocks without inner lines score 1.0 whatever they hold.
        {"a\nb", "x\ny", 0, 1, 2, 1.0},
        {"a\nb\nc", "x\ny", 0, 2, 2, 1.0},
        {"a\nb", "x\ny\nz", 0, 1, 3, 1.0},
        {"a", "x\ny\nz", 0, 0, 3, 1.0},
        // Only the middle pair of two 3-line blocks is compared, trimmed.
        {"x\n  foo\ny", "p\nfoo  \nq", 0, 2, 3, 1.0},
        {"x\nabcd\ny", "p\nabce\nq", 0, 2, 3, 0.75},
        // Blank inner pairs are left out; all blank scores 1.0.
        {"x\n  \n\ny", "p\n\n \nq", 0, 3, 4, 1.0},
        {"x\n  \nabcd\ny", "p\n\nabce\nq", 0, 3, 4, 0.75},
        // A 5-line block against 3 search lines compares only content line start + 1.
        {"x\nabcd\nzzzz\nzzzz\ny", "p\nabce\nq", 0, 4, 3, 0.75},
        // Distances count characters, lengths count bytes: two different two-letter lines of
        // two-byte letters score 1 - 2/4.
        {"x\néé\ny", "p\nüü\nq", 0, 2, 3, 0.5},
        // The block may start further down.
        {"zz\nx\nabcd\ny", "p\nabce\nq", 1, 3, 3, 0.75},
        // Mean of two pairs: 1.0 and 0.5.
        {"x\nab\nab\ny", "p\nab\naz\nq", 0, 3, 4, (1.0 + 0.5) / 2},
    };
    for (const Case& c : cases) {
        const Lines content(c.content);
        const Lines search(c.search);
        EXPECT_DOUBLE_EQ(
            calculate_block_similarity(content.lines, search.lines, c.start, c.end, c.search_size),
            c.expected)
            << c.content << " / " << c.search;
    }
}

TEST(BlockSimilarity, OutOfRangeArgumentsStayInBounds) {
    const Lines content("x\nabcd\ny");
    const Lines search("p\nabce\nq");
    // A block reaching past the content or a size beyond the search lines compares what exists.
    EXPECT_DOUBLE_EQ(calculate_block_similarity(content.lines, search.lines, 0, 10, 3), 0.75);
    EXPECT_DOUBLE_EQ(calculate_block_similarity(content.lines, search.lines, 0, 2, 10), 0.75);
    EXPECT_DOUBLE_EQ(calculate_block_similarity(content.lines, search.lines, 5, 9, 5), 1.0);
    EXPECT_DOUBLE_EQ(calculate_block_similarity(content.lines, search.lines, 2, 0, 3), 1.0);
}

// Generated blocks against the plain form, and the thresholded form at thresholds on both sides of
// the exact score (the same double, its neighbours, fixed values and NaN).
TEST(BlockSimilarity, AgreesWithPlainFormOnGeneratedBlocks) {
    std::mt19937 rng(31);
    const std::vector<std::string> pool = {
        "",
        "  ",
        "x = 1",
        "  x = 2  ",
        "return x;",
        "\treturn y;",
        "}",
        "é€😀",
        "é€😁 ",
        "a much longer line with several words that differ only here",
        "a much longer line with several words that differ only there",
        "\u3000wide space\u3000",
    };
    std::uniform_int_distribution<std::size_t> pick(0, pool.size() - 1);
    std::uniform_int_distribution<std::size_t> len(0, 9);
    std::size_t rejected = 0;
    std::size_t accepted = 0;
    std::size_t partial = 0;  // scores strictly between 0 and 1
    for (int round = 0; round < 3000; ++round) {
        std::string content;
        for (std::size_t k = len(rng) + 3; k > 0; --k) content += pool[pick(rng)] + "\n";
        std::string search;
        for (std::size_t k = len(rng) + (round % 9 == 0 ? 0 : 3); k > 0; --k)
            search += pool[pick(rng)] + "\n";
        const Lines c(content);
        const Lines q(search);
        std::uniform_int_distribution<std::size_t> pos(
            0, round % 11 == 0 ? c.lines.size() + 1 : c.lines.size() / 2);
        const std::size_t start = pos(rng);
        const std::size_t end = round % 7 == 0 ? pos(rng) : start + len(rng);
        const std::size_t size = round % 5 == 0 ? len(rng) : q.lines.size();
        const double expected =
            brindle::reference::block_similarity(c.lines, q.lines, start, end, size);
        const double fast = calculate_block_similarity(c.lines, q.lines, start, end, size);
        ASSERT_EQ(fast, expected) << content << "---\n" << search << start << " " << end << " " << size;
        if (expected > 0.0 && expected < 1.0) ++partial;
        const double thresholds[] = {expected,
                                     std::nextafter(expected, -1.0),
                                     std::nextafter(expected, 2.0),
                                     expected - 0.05,
                                     expected + 0.05,
                                     0.3,
                                     0.0,
                                     -1.0,
                                     1.0,
                                     std::numeric_limits<double>::quiet_NaN()};
        for (double threshold : thresholds) {
            const auto above =
                calculate_block_similarity_above(c.lines, q.lines, start, end, size, threshold);
            if (expected > threshold) {
                ASSERT_TRUE(above.has_value()) << threshold;
                EXPECT_EQ(*above, expected);
                ++accepted;
            } else {
                EXPECT_FALSE(above.has_value()) << threshold << " score " << expected;
                ++rejected;
            }
        }
    }
    EXPECT_GT(partial, 1000u);
    EXPECT_GT(accepted, 5000u);
    EXPECT_GT(rejected, 5000u);
}

}  // namespace
