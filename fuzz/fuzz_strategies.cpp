// Fuzz target for the matching strategies of the table called directly on a ContentLines (each
// compared with its plain form on small inputs), the three text transforms and the diagnostics
// builders: nothing may crash and every text produced must be valid UTF-8.
//
// Input: content 0x00 search text (a missing search text is empty).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../tests/reference/strategies.hpp"
#include "core/content_replacer/diagnostics.hpp"
#include "core/content_replacer/strategies.hpp"
#include "core/content_replacer/window_scans.hpp"
#include "fuzz_input.hpp"

namespace rp = brindle::replacer;
using fuzzin::check_utf8;
using fuzzin::fail;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto parts = fuzzin::split_parts(data, size);
    const std::string content = fuzzin::to_text(parts[0]);
    const std::string search = parts.size() > 1 ? fuzzin::to_text(parts[1]) : std::string();

    const rp::ContentLines lines(content);
    for (std::string_view line : lines.lines) {
        if (line.data() < content.data() ||
            line.data() + line.size() > content.data() + content.size()) {
            fail("ContentLines line outside the text");
        }
    }

    // Every strategy of the table, against its plain form; the two window scans with a budget
    // also agree with and without the laid-out text.
    for (const rp::Strategy& strategy : rp::kStrategies) {
        const std::string what = std::string(strategy.name) + " candidate not UTF-8";
        const std::vector<std::string> found = strategy.find(lines, search).strings();
        for (const std::string& candidate : found) check_utf8(candidate, what.c_str());
        // The plain forms are quadratic: only on small inputs.
        if (content.size() + search.size() > 4096) continue;
        bool compared = false;
        for (const auto& plain : brindle::reference::strategies::kStrategies) {
            if (plain.name != strategy.name) continue;
            if (plain.find(content, search) != found) {
                fail((std::string(strategy.name) + " differs from its plain form").c_str());
            }
            compared = true;
        }
        if (!compared) fail("a strategy without a plain form");
    }
    if (rp::whitespace_normalized_replacer_with_budget(lines, search, 0).strings() !=
        rp::whitespace_normalized_replacer_with_budget(lines, search, SIZE_MAX).strings()) {
        fail("whitespace_normalized: window scans disagree");
    }
    if (rp::escape_normalized_replacer_with_budget(lines, search, 0).strings() !=
        rp::escape_normalized_replacer_with_budget(lines, search, SIZE_MAX).strings()) {
        fail("escape_normalized: window scans disagree");
    }

    // The transforms, on both texts.
    for (const std::string* text : {&content, &search}) {
        check_utf8(rp::normalize_whitespace(*text), "normalize_whitespace not UTF-8");
        if (const auto dedented = rp::try_remove_common_indentation(*text)) {
            check_utf8(*dedented, "try_remove_common_indentation not UTF-8");
        }
        check_utf8(rp::unescape_string(*text), "unescape_string not UTF-8");
    }

    // The diagnostics.
    if (const auto closest = rp::find_closest_match(lines, search)) {
        check_utf8(closest->text, "find_closest_match text not UTF-8");
        check_utf8(closest->diff, "find_closest_match diff not UTF-8");
        if (closest->start_line < 1 || closest->start_line > closest->end_line ||
            closest->end_line > lines.lines.size()) {
            fail("find_closest_match lines out of range");
        }
    }
    check_utf8(rp::build_match_diff(search, content), "build_match_diff not UTF-8");
    const auto locations = rp::find_match_locations(lines, search);
    for (std::size_t i = 0; i < locations.size(); ++i) {
        if (locations[i] < 1 || (i > 0 && locations[i - 1] > locations[i]))
            fail("find_match_locations out of order");
    }
    return 0;
}
