// Fuzz target for the eight matching strategies called directly on a ContentLines, the three text
// transforms and the diagnostics builders: nothing may crash and every text produced must be
// valid UTF-8.
//
// Input: content 0x00 search text (a missing search text is empty).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/content_replacer/diagnostics.hpp"
#include "core/content_replacer/strategies.hpp"
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
        if (line.data() < content.data() || line.data() + line.size() > content.data() + content.size()) {
            fail("ContentLines line outside the text");
        }
    }

    static constexpr rp::Replacer kReplacers[] = {
        rp::simple_replacer,           rp::line_trimmed_replacer,         rp::block_anchor_replacer,
        rp::whitespace_normalized_replacer, rp::indentation_flexible_replacer, rp::escape_normalized_replacer,
        rp::trimmed_boundary_replacer, rp::context_aware_replacer,
    };
    static constexpr const char* kNames[] = {
        "simple candidate not UTF-8",           "line_trimmed candidate not UTF-8",
        "block_anchor candidate not UTF-8",     "whitespace_normalized candidate not UTF-8",
        "indentation_flexible candidate not UTF-8", "escape_normalized candidate not UTF-8",
        "trimmed_boundary candidate not UTF-8", "context_aware candidate not UTF-8",
    };
    for (std::size_t i = 0; i < 8; ++i) {
        for (const std::string& candidate : kReplacers[i](lines, search)) check_utf8(candidate, kNames[i]);
    }

    // The transforms, on both texts.
    for (const std::string* text : {&content, &search}) {
        check_utf8(rp::normalize_whitespace(*text), "normalize_whitespace not UTF-8");
        const std::string dedented = rp::remove_common_indentation(*text);
        check_utf8(dedented, "remove_common_indentation not UTF-8");
        const auto tried = rp::try_remove_common_indentation(*text);
        if (tried) {
            check_utf8(*tried, "try_remove_common_indentation not UTF-8");
            if (*tried != dedented) fail("try_remove_common_indentation differs from remove_common_indentation");
        } else if (dedented != *text) {
            fail("remove_common_indentation changed a text it refuses to dedent");
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
        if (locations[i] < 1 || (i > 0 && locations[i - 1] > locations[i])) fail("find_match_locations out of order");
    }
    return 0;
}
