// Tests of the Unicode character data: White_Space against its fixed list, the case mappings and
// full lower-casing (Final_Sigma included) against the machine's Python, whose str.lower() and
// str.upper() are the reference (tools/python_case_reference.py prints them).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/unicode.hpp"
#include "core/unicode_tables.hpp"
#include "core/utf8.hpp"

namespace {

using namespace brindle;

constexpr char32_t kMaxCodePoint = 0x10FFFF;

std::string utf8_of(std::initializer_list<char32_t> cps) {
    std::string out;
    for (char32_t cp : cps) utf8::append(out, cp);
    return out;
}

std::string hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 15]);
    }
    return out.empty() ? "-" : out;
}

std::string unhex(const std::string& text) {
    std::string out;
    if (text == "-") return out;
    for (std::size_t k = 0; k + 1 < text.size(); k += 2) {
        out.push_back(static_cast<char>(std::stoi(text.substr(k, 2), nullptr, 16)));
    }
    return out;
}

// --- White_Space -------------------------------------------------------------------------------

bool in_white_space_list(char32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

TEST(UnicodeWhiteSpace, MatchesTheFixedListForEveryCodePoint) {
    std::size_t mismatches = 0;
    for (char32_t cp = 0; cp <= kMaxCodePoint; ++cp) {
        if (unicode::is_white_space(cp) != in_white_space_list(cp)) {
            if (++mismatches <= 5) ADD_FAILURE() << "U+" << std::hex << static_cast<std::uint32_t>(cp);
        }
    }
    EXPECT_EQ(mismatches, 0u);
}

TEST(UnicodeWhiteSpace, LookalikesAreNotWhiteSpace) {
    for (char32_t cp : {0x200Bu, 0xFEFFu, 0x180Eu, 0x2060u, 0x00ADu, 0x0000u, 0x001Cu, 0x001Fu}) {
        EXPECT_FALSE(unicode::is_white_space(cp)) << std::hex << static_cast<std::uint32_t>(cp);
    }
}

// --- Single code points ------------------------------------------------------------------------

TEST(UnicodeCase, KnownMappings) {
    struct Row {
        char32_t cp, lower, upper;
    };
    const Row rows[] = {
        {U'A', U'a', U'A'},          {U'z', U'z', U'Z'},
        {U'1', U'1', U'1'},          {0x00DF, 0x00DF, U'S'},  // sharp s: upper is "SS"
        {0x0130, U'i', 0x0130},  // capital I with dot above: lower is "i" + U+0307
        {0x0131, 0x0131, U'I'},  // dotless i
        {0x03A3, 0x03C3, 0x03A3},    {0x03C2, 0x03C2, 0x03A3},
        {0x03C3, 0x03C3, 0x03A3},    {0x01C5, 0x01C6, 0x01C4},  // title-case DZ with caron
        {0x0149, 0x0149, 0x02BC},  // n preceded by apostrophe: upper is U+02BC U+004E
        {0x1E9E, 0x00DF, 0x1E9E},  // capital sharp s
        {0x212A, U'k', 0x212A},    // Kelvin sign
        {0x2160, 0x2170, 0x2160},  // Roman numeral one
        {0x1F88, 0x1F80, 0x0391},  // alpha with psili and prosgegrammeni: upper starts with U+1F08
        {0x10400, 0x10428, 0x10400}, {0x10428, 0x10428, 0x10400},
        {0x1E900, 0x1E922, 0x1E900},  // Adlam
        {0x4E00, 0x4E00, 0x4E00},    {0x10FFFF, 0x10FFFF, 0x10FFFF},
        {0xD800, 0xD800, 0xD800},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "U+" << std::hex << static_cast<std::uint32_t>(row.cp));
        EXPECT_EQ(static_cast<std::uint32_t>(unicode::lower_first(row.cp)),
                  static_cast<std::uint32_t>(row.lower));
        if (row.cp == 0x1F88) {
            EXPECT_EQ(static_cast<std::uint32_t>(unicode::upper_first(row.cp)), 0x1F08u);
        } else {
            EXPECT_EQ(static_cast<std::uint32_t>(unicode::upper_first(row.cp)),
                      static_cast<std::uint32_t>(row.upper));
        }
    }
}

TEST(UnicodeCase, ValuesBeyondTheCodeSpaceMapToThemselves) {
    for (char32_t cp : {0x110000u, 0x1FFFFFu, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        EXPECT_EQ(unicode::lower_first(cp), cp);
        EXPECT_EQ(unicode::upper_first(cp), cp);
        EXPECT_FALSE(unicode::is_white_space(cp));
    }
}

TEST(UnicodeCase, AsciiFastPathsAgreeWithTheTables) {
    for (char32_t cp = 0; cp < 0x80; ++cp) {
        SCOPED_TRACE(testing::Message() << "code point " << static_cast<int>(cp));
        const auto& record = unicode::detail::char_record(cp);
        EXPECT_EQ(unicode::lower_first(cp), unicode::detail::apply_delta(cp, record.lower_delta));
        EXPECT_EQ(unicode::upper_first(cp), unicode::detail::apply_delta(cp, record.upper_delta));
        EXPECT_EQ(unicode::is_white_space(cp), (record.flags & unicode::detail::kFlagWhiteSpace) != 0);
        EXPECT_EQ(unicode::detail::is_ascii_case_ignorable(static_cast<unsigned char>(cp)),
                  (record.flags & unicode::detail::kFlagCaseIgnorable) != 0);
        const bool letter = (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z');
        EXPECT_EQ(letter, (record.flags & unicode::detail::kFlagCased) != 0);
    }
}

TEST(UnicodeCase, VersionIsSet) {
    const std::string version = unicode::kUnicodeVersion;
    ASSERT_FALSE(version.empty());
    EXPECT_EQ(std::count(version.begin(), version.end(), '.'), 2) << version;
}

// --- Whole texts (no Python needed) ------------------------------------------------------------

TEST(UnicodeLowerFull, Examples) {
    const std::pair<std::string, std::string> rows[] = {
        {"", ""},
        {"Hello, World!", "hello, world!"},
        {utf8_of({0x0130}), utf8_of({U'i', 0x0307})},
        {utf8_of({U'A', 0x0130, U'B'}), utf8_of({U'a', U'i', 0x0307, U'b'})},
        {utf8_of({0x03A3}), utf8_of({0x03C3})},
        {utf8_of({0x0391, 0x03A3}), utf8_of({0x03B1, 0x03C2})},
        {utf8_of({0x0391, 0x03A3, 0x0391}), utf8_of({0x03B1, 0x03C3, 0x03B1})},
        {utf8_of({0x0391, 0x03A3, U' ', 0x0391}), utf8_of({0x03B1, 0x03C2, U' ', 0x03B1})},
        {utf8_of({0x0391, 0x0345, 0x03A3}), utf8_of({0x03B1, 0x0345, 0x03C2})},
        {utf8_of({0x0391, 0x03A3, 0x0301}), utf8_of({0x03B1, 0x03C2, 0x0301})},
        {utf8_of({0x0391, 0x03A3, 0x0301, 0x0391}), utf8_of({0x03B1, 0x03C3, 0x0301, 0x03B1})},
        {utf8_of({U'a', U'\'', 0x03A3, U'.'}), utf8_of({U'a', U'\'', 0x03C2, U'.'})},
        {utf8_of({U'1', 0x03A3}), utf8_of({U'1', 0x03C3})},
        {utf8_of({0x03A3, 0x03A3}), utf8_of({0x03C3, 0x03C2})},
        {utf8_of({0x00DF, 0x1E9E}), utf8_of({0x00DF, 0x00DF})},
    };
    for (const auto& [input, expected] : rows) {
        EXPECT_EQ(hex(unicode::to_lower_full(input)), hex(expected)) << "input " << hex(input);
    }
}

TEST(UnicodeLowerFull, MalformedInputStaysInBounds) {
    // Truncated sequences, stray continuation bytes and invalid lead bytes, also right after a
    // capital sigma, whose look-ahead decodes further.
    const std::string sigma = utf8_of({0x0391, 0x03A3});
    const std::string inputs[] = {
        "\xC3",
        "\xE2\x82",
        "\xF0\x9F\x98",
        "\x80\x80",
        "\xFF\xFE\xF8\x88\x80\x80",
        sigma + "\xCC",
        sigma + "\xE2",
        sigma + "\xF4\x90\x80\x80",
        sigma + "\x80",
        "\xED\xA0\x80",
        "A\xC3",
        "\xF7\xBF\xBF\xBF",
    };
    for (const std::string& input : inputs) {
        const std::string out = unicode::to_lower_full(input);
        EXPECT_LE(out.size(), 4 * input.size()) << hex(input);
    }
}

// --- Comparison with Python --------------------------------------------------------------------

struct Reference {
    std::string header;
    std::vector<std::pair<char32_t, char32_t>> excluded;
    struct Mapping {
        char32_t lower_first, upper_first;
        std::string lower_full;
    };
    std::map<char32_t, Mapping> mappings;
    std::vector<std::pair<std::string, std::string>> texts;
};

// Runs `command` through the shell and returns its standard output; `status` is pclose's.
std::string run(const std::string& command, int& status) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        status = -1;
        return output;
    }
    std::array<char, 65536> buffer{};
    std::size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        output.append(buffer.data(), got);
    }
    status = pclose(pipe);
    return output;
}

std::string quoted(const std::string& s) {
    return "'" + s + "'";
}

std::string decode_code_points(const std::string& comma_separated_hex) {
    std::string out;
    std::istringstream parts(comma_separated_hex);
    std::string part;
    while (std::getline(parts, part, ',')) {
        utf8::append(out, static_cast<char32_t>(std::stoul(part, nullptr, 16)));
    }
    return out;
}

// Reads the script's output into `ref`; returns an error text (empty on success) and sets
// `skip` when the script itself asks to skip.
std::string parse_reference(const std::string& output, Reference& ref, std::string& skip) {
    std::istringstream lines(output);
    std::string line, unexpected;
    bool complete = false;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string kind;
        fields >> kind;
        if (kind == "SKIP") {
            skip = line;
            return {};
        } else if (kind == "REFERENCE") {
            ref.header = line;
        } else if (kind == "EXCLUDE") {
            std::uint32_t first = 0, last = 0;
            fields >> std::hex >> first >> last;
            ref.excluded.emplace_back(first, last);
        } else if (kind == "C") {
            std::uint32_t cp = 0, lower = 0, upper = 0;
            std::string full;
            fields >> std::hex >> cp >> lower >> upper >> full;
            ref.mappings[cp] = Reference::Mapping{lower, upper, decode_code_points(full)};
        } else if (kind == "S") {
            std::string input, lower;
            fields >> input >> lower;
            ref.texts.emplace_back(unhex(input), unhex(lower));
        } else if (kind == "END") {
            std::size_t mapping_count = 0, text_count = 0;
            fields >> mapping_count >> text_count;
            complete = mapping_count == ref.mappings.size() && text_count == ref.texts.size();
        } else {
            unexpected += line + "\n";
        }
    }
    if (ref.header.empty() || !complete || !unexpected.empty()) {
        return "incomplete or unexpected output:\n" + unexpected.substr(0, 2000);
    }
    return {};
}

struct LoadedReference {
    Reference ref;
    std::string skip;
    std::string error;
};

// Runs the reference script once per test run.
const LoadedReference& reference() {
    static const LoadedReference loaded = [] {
        LoadedReference result;
        const std::string python = BRINDLE_PYTHON_EXECUTABLE;
        int status = 0;
        const std::string probe = quoted(python) + " -c \"print('ok')\" 2>/dev/null";
        if (python.empty() || run(probe, status) != "ok\n" || status != 0) {
            result.skip = "python3 cannot be run (BRINDLE_PYTHON_EXECUTABLE='" + python + "')";
            return result;
        }
        const std::string script = std::string(BRINDLE_SOURCE_DIR) + "/tools/python_case_reference.py";
        const std::string output = run(quoted(python) + " " + quoted(script) + " --table-version " +
                                           unicode::kUnicodeVersion + " 2>&1",
                                       status);
        result.error = parse_reference(output, result.ref, result.skip);
        if (result.skip.empty() && result.error.empty() && status != 0) {
            result.error = "reference script exited with status " + std::to_string(status);
        }
        return result;
    }();
    return loaded;
}

#define LOAD_REFERENCE(ref)                                \
    const LoadedReference& loaded = reference();           \
    if (!loaded.skip.empty()) GTEST_SKIP() << loaded.skip; \
    ASSERT_TRUE(loaded.error.empty()) << loaded.error;     \
    const Reference& ref = loaded.ref;                     \
    RecordProperty("reference", ref.header)

TEST(UnicodeAgainstPython, EveryCodePoint) {
    LOAD_REFERENCE(ref);
    std::vector<bool> skip(kMaxCodePoint + 1, false);
    for (const auto& [first, last] : ref.excluded) {
        for (char32_t cp = first; cp <= last && cp <= kMaxCodePoint; ++cp) skip[cp] = true;
    }
    std::size_t compared = 0, mismatches = 0;
    std::ostringstream report;
    for (char32_t cp = 0; cp <= kMaxCodePoint; ++cp) {
        if (skip[cp]) continue;
        ++compared;
        const std::string text = utf8_of({cp});
        Reference::Mapping expected{cp, cp, text};
        if (auto hit = ref.mappings.find(cp); hit != ref.mappings.end()) expected = hit->second;
        const char32_t lower = unicode::lower_first(cp);
        const char32_t upper = unicode::upper_first(cp);
        const std::string full = unicode::to_lower_full(text);
        if (lower != expected.lower_first || upper != expected.upper_first ||
            full != expected.lower_full) {
            if (++mismatches <= 10) {
                report << std::hex << "U+" << static_cast<std::uint32_t>(cp) << ": lower_first "
                       << static_cast<std::uint32_t>(lower) << " (python "
                       << static_cast<std::uint32_t>(expected.lower_first) << "), upper_first "
                       << static_cast<std::uint32_t>(upper) << " (python "
                       << static_cast<std::uint32_t>(expected.upper_first) << "), to_lower_full "
                       << hex(full) << " (python " << hex(expected.lower_full) << ")\n";
            }
        }
    }
    EXPECT_GT(compared, 1000000u);
    EXPECT_GT(ref.mappings.size(), 2000u);
    EXPECT_EQ(mismatches, 0u) << ref.header << "\nfirst mismatches:\n" << report.str();
}

TEST(UnicodeAgainstPython, TextsWithSigmaContexts) {
    LOAD_REFERENCE(ref);
    ASSERT_GT(ref.texts.size(), 1000u);
    std::size_t mismatches = 0;
    std::ostringstream report;
    for (const auto& [input, expected] : ref.texts) {
        const std::string got = unicode::to_lower_full(input);
        if (got != expected && ++mismatches <= 10) {
            report << "input " << hex(input) << ": got " << hex(got) << ", python " << hex(expected)
                   << "\n";
        }
    }
    EXPECT_EQ(mismatches, 0u) << ref.header << "\nfirst mismatches:\n" << report.str();
}

}  // namespace
