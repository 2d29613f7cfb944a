// Fuzz target for the replacement entry points: replace_content and try_replace_content on
// content / old / new texts taken from the input, with and without replace_all and a line hint,
// checking the shape of every result and error.
//
// Input: byte 0 = flags, byte 1 = line hint, then content 0x00 old 0x00 new (missing parts empty).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/content_replacer/driver.hpp"
#include "core/content_replacer/try_replace.hpp"
#include "fuzz_input.hpp"

namespace rp = brindle::replacer;
using fuzzin::check_utf8;
using fuzzin::fail;

namespace {

std::uint64_t newlines(std::string_view s) {
    std::uint64_t n = 0;
    for (char c : s) n += c == '\n';
    return n;
}

bool is_boundary(std::string_view s, std::size_t pos) {
    return pos >= s.size() || (static_cast<unsigned char>(s[pos]) & 0xC0) != 0x80;
}

// The content with every non-overlapping occurrence of `m` replaced, scanning from the left; the
// empty text occurs at every character boundary.
std::string reference_replace_all(std::string_view content, std::string_view m, std::string_view repl) {
    std::string out;
    if (m.empty()) {
        for (std::size_t pos = 0; pos < content.size(); ++pos) {
            if (is_boundary(content, pos)) out.append(repl);
            out.push_back(content[pos]);
        }
        out.append(repl);
        return out;
    }
    std::size_t copied = 0;
    for (std::size_t pos = content.find(m); pos != std::string_view::npos;
         pos = content.find(m, copied)) {
        out.append(content.substr(copied, pos - copied));
        out.append(repl);
        copied = pos + m.size();
    }
    out.append(content.substr(copied));
    return out;
}

void check_result(const rp::ReplaceResult& r, std::string_view content, std::string_view repl,
                  bool replace_all, std::optional<std::uint32_t> hint) {
    const bool hinted = hint.has_value();
    check_utf8(r.content, "result.content is not valid UTF-8");
    check_utf8(r.matched_text, "result.matched_text is not valid UTF-8");
    check_utf8(r.strategy, "result.strategy is not valid UTF-8");
    if (r.start_line < 1) fail("start_line < 1");
    if (r.start_line > r.end_line) fail("start_line > end_line");
    if (r.end_line - r.start_line != newlines(r.matched_text))
        fail("end_line - start_line != LFs in matched_text");
    const std::string_view m = r.matched_text;
    const std::size_t first = content.find(m);
    if (first == std::string_view::npos) fail("matched_text does not occur in content", m);
    if (replace_all) {
        if (r.content != reference_replace_all(content, m, repl))
            fail("replace_all result differs from reference", r.content);
        if (r.start_line != 1 + newlines(content.substr(0, first)))
            fail("replace_all start_line is not the first occurrence's line");
        return;
    }
    if (r.content.size() + m.size() != content.size() + repl.size())
        fail("single replacement has the wrong length");
    std::size_t occurrences = 0;
    bool spliced = false;
    // With a hint, the occurrence whose line is nearest it (the earlier on a tie) is replaced.
    std::uint64_t nearest_line = 0;
    std::uint64_t nearest_gap = ~std::uint64_t{0};
    for (std::size_t pos = first; pos != std::string_view::npos; pos = content.find(m, pos + 1)) {
        if (!is_boundary(content, pos) || !is_boundary(content, pos + m.size())) continue;
        ++occurrences;
        const std::uint64_t line = 1 + newlines(content.substr(0, pos));
        const std::uint64_t gap = hinted ? (line > *hint ? line - *hint : *hint - line) : 0;
        if (gap < nearest_gap) {
            nearest_gap = gap;
            nearest_line = line;
        }
        if (spliced) continue;
        if (std::string_view(r.content).substr(0, pos) == content.substr(0, pos) &&
            std::string_view(r.content).substr(pos, repl.size()) == repl &&
            std::string_view(r.content).substr(pos + repl.size()) == content.substr(pos + m.size())) {
            if (r.start_line == 1 + newlines(content.substr(0, pos))) spliced = true;
        }
    }
    if (!spliced)
        fail("result is not content with matched_text spliced at an occurrence on start_line",
             r.content);
    if (!hinted && occurrences != 1)
        fail("unhinted single replacement of a text that does not occur exactly once");
    if (hinted && occurrences > 1 && r.start_line != nearest_line)
        fail("hinted replacement not at the occurrence nearest the hint");
}

void check_error(const rp::ReplaceError& e, std::string_view old_s, std::string_view new_s) {
    if (std::holds_alternative<rp::NoChange>(e)) {
        if (old_s != new_s) fail("NoChange for different old and new");
    } else if (old_s == new_s) {
        fail("old == new but the error is not NoChange");
    }
    if (const auto* nf = std::get_if<rp::NotFound>(&e)) {
        check_utf8(nf->message, "NotFound message is not valid UTF-8");
        if (nf->closest_match) {
            const auto& cm = *nf->closest_match;
            check_utf8(cm.text, "closest_match.text is not valid UTF-8");
            check_utf8(cm.diff, "closest_match.diff is not valid UTF-8");
            if (cm.start_line < 1 || cm.start_line > cm.end_line)
                fail("closest_match lines out of order");
            if (!(cm.similarity >= 0.0 && cm.similarity <= 1.0))
                fail("closest_match.similarity outside [0, 1]");
        }
    }
    if (const auto* mm = std::get_if<rp::MultipleMatches>(&e)) {
        check_utf8(mm->message, "MultipleMatches message is not valid UTF-8");
        for (std::size_t i = 1; i < mm->locations.size(); ++i) {
            if (mm->locations[i - 1] > mm->locations[i]) fail("locations not ascending");
        }
    }
    check_utf8(rp::error_message(e), "error_message is not valid UTF-8");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::uint8_t flags = data[0];
    std::uint32_t hint_value = data[1];
    if (flags & 0x10) hint_value = (flags & 0x20) ? 0xFFFFFFFFu : 0u;
    const auto parts = fuzzin::split_parts(data + 2, size - 2);
    const std::string content = fuzzin::to_text(parts[0]);
    const std::string old_s = parts.size() > 1 ? fuzzin::to_text(parts[1]) : std::string();
    std::string new_s = parts.size() > 2 ? fuzzin::to_text(parts[2]) : std::string();
    if (flags & 0x40) new_s = old_s;

    for (int mode = 0; mode < 4; ++mode) {
        const bool all = mode & 1;
        const std::optional<std::uint32_t> hint =
            (mode & 2) ? std::optional<std::uint32_t>(hint_value) : std::nullopt;
        const rp::ReplaceOutcome out = rp::replace_content(content, old_s, new_s, all, hint);
        if (const auto* r = std::get_if<rp::ReplaceResult>(&out)) {
            check_result(*r, content, new_s, all, hint);
        } else {
            check_error(std::get<rp::ReplaceError>(out), old_s, new_s);
        }
        if (((flags >> 2) & 3) != mode) continue;
        // The non-raising form must agree with the raising one.
        const rp::TryReplaceResult t = rp::try_replace_content(content, old_s, new_s, all, hint);
        if (t.success != std::holds_alternative<rp::ReplaceResult>(out))
            fail("try_replace success differs");
        if (t.success) {
            if (!t.result || t.result->content != std::get<rp::ReplaceResult>(out).content)
                fail("try_replace content differs");
            if (t.error || t.error_type) fail("try_replace success with an error");
        } else {
            if (!t.error || !t.error_type) fail("try_replace failure without error");
            check_utf8(*t.error, "try_replace error is not valid UTF-8");
            if (*t.error_type != "not_found" && *t.error_type != "multiple_matches" &&
                *t.error_type != "no_change") {
                fail("unknown error_type", *t.error_type);
            }
            if (t.closest_match) {
                check_utf8(t.closest_match->text, "try_replace closest text not UTF-8");
                check_utf8(t.closest_match->diff, "try_replace closest diff not UTF-8");
            }
        }
    }
    return 0;
}
