// The replacement driver: one ordered table of strategies, tried until a candidate can be placed.
//
// For each strategy in table order the driver takes its candidates in their order and applies the
// first that can be placed: under replace_all the first that occurs at all (every non-overlapping
// occurrence is replaced); otherwise one that occurs exactly once, or, with a line hint, the
// first that occurs, at the occurrence whose line is nearest the hint (earlier one on a tie).
// When no candidate of any strategy applies, the diagnostics build the error: multiple matches
// if some strategy returned candidates, not found otherwise.
//
// Performance: the content is split into lines once and shared by all strategies and the
// diagnostics; strategies run only while no earlier one succeeded. Whether a candidate applies
// depends only on the call's arguments and the candidate text, so a text that already failed in
// this call is not searched again. "Exactly once" is decided by searching again just after the
// first occurrence, and the hinted search stops at the first occurrence on or after the hinted
// line, since later occurrences lie no nearer.
//
// Occurrences are counted at character boundaries only: the empty candidate occurs at every
// character boundary of the content, never between the bytes of one character.
#include "core/content_replacer/driver.hpp"

#include <array>
#include <string>
#include <unordered_set>

#include "core/content_replacer/diagnostics.hpp"
#include "core/content_replacer/strategies.hpp"
#include "core/text.hpp"
#include "core/utf8.hpp"

namespace brindle::replacer {

namespace {

struct Strategy {
    std::string_view name;
    Replacer find;
};

// The order is part of the behaviour: the first strategy with an applicable candidate wins.
constexpr std::array<Strategy, 8> kStrategies{{
    {"simple", simple_replacer},
    {"line_trimmed", line_trimmed_replacer},
    {"block_anchor", block_anchor_replacer},
    {"whitespace_normalized", whitespace_normalized_replacer},
    {"indentation_flexible", indentation_flexible_replacer},
    {"escape_normalized", escape_normalized_replacer},
    {"trimmed_boundary", trimmed_boundary_replacer},
    {"context_aware", context_aware_replacer},
}};

static_assert(kStrategies.size() <= 64, "a StrategyMask has one bit per strategy");

// The names of kStrategies, in order.
constexpr auto kStrategyNames = [] {
    std::array<std::string_view, kStrategies.size()> names{};
    for (std::size_t i = 0; i < kStrategies.size(); ++i) names[i] = kStrategies[i].name;
    return names;
}();

constexpr std::size_t kNone = std::string_view::npos;

// Position of the first occurrence of `needle` at or after `from` that starts and ends on
// character boundaries (kNone when there is none). For valid UTF-8 every occurrence of a
// non-empty needle does; the check keeps a malformed candidate from splitting a character.
std::size_t find_at_boundary(std::string_view hay, std::string_view needle, std::size_t from) {
    while (from <= hay.size()) {
        if (needle.empty()) {
            if (utf8::is_boundary(hay, from)) return from;
            ++from;
            continue;
        }
        const std::size_t pos = text::find(hay, needle, from);
        if (pos == kNone) return kNone;
        if (utf8::is_boundary(hay, pos) && utf8::is_boundary(hay, pos + needle.size())) return pos;
        from = pos + 1;
    }
    return kNone;
}

ReplaceResult make_result(std::string_view content, std::string new_content, std::size_t first,
                          std::string_view candidate, std::string_view strategy) {
    ReplaceResult result;
    result.content = std::move(new_content);
    result.matched_text = std::string(candidate);
    result.start_line = text::line_number_at(content, first);
    result.end_line = result.start_line + text::count_newlines(candidate);
    result.strategy = std::string(strategy);
    return result;
}

// Every non-overlapping occurrence of `candidate`, scanning from the left, replaced by
// `new_string`; `first` is its first occurrence.
std::string replace_every(std::string_view content, std::string_view candidate,
                          std::string_view new_string, std::size_t first) {
    std::string out;
    std::size_t copied = 0;
    for (std::size_t pos = first; pos != kNone;) {
        out.append(content, copied, pos - copied);
        out.append(new_string);
        if (candidate.empty()) {
            // Keep the character at pos and go on to the next boundary.
            if (pos == content.size()) {
                copied = pos;
                break;
            }
            const std::size_t next = pos + utf8::sequence_length(static_cast<unsigned char>(content[pos]));
            const std::size_t end = next < content.size() ? next : content.size();
            out.append(content, pos, end - pos);
            copied = end;
            pos = find_at_boundary(content, candidate, end);
        } else {
            copied = pos + candidate.size();
            pos = find_at_boundary(content, candidate, copied);
        }
    }
    out.append(content, copied, kNone);
    return out;
}

// The occurrence (overlapping ones included) whose line is nearest `hint`, the earlier on a tie;
// `first` is the first occurrence.
std::size_t nearest_to_hint(std::string_view content, std::string_view candidate, std::size_t first,
                            std::uint64_t hint) {
    std::size_t best = first;
    std::uint64_t best_gap = ~std::uint64_t{0};
    std::uint64_t line = text::line_number_at(content, first);
    std::size_t counted_to = first;  // line is the line of this position
    for (std::size_t pos = first; pos != kNone; pos = find_at_boundary(content, candidate, pos + 1)) {
        line += text::count_newlines(content.substr(counted_to, pos - counted_to));
        counted_to = pos;
        const std::uint64_t gap = line > hint ? line - hint : hint - line;
        if (gap < best_gap) {
            best_gap = gap;
            best = pos;
        }
        // Later occurrences lie on this line or below it: none is nearer.
        if (line >= hint) break;
    }
    return best;
}

std::string splice(std::string_view content, std::size_t pos, std::size_t length,
                   std::string_view new_string) {
    std::string out;
    out.reserve(content.size() - length + new_string.size());
    out.append(content, 0, pos);
    out.append(new_string);
    out.append(content, pos + length, kNone);
    return out;
}

}  // namespace

std::span<const std::string_view> strategy_names() { return kStrategyNames; }

ReplaceOutcome replace_content(std::string_view content, std::string_view old_string,
                               std::string_view new_string, bool replace_all,
                               std::optional<std::uint32_t> line_hint) {
    return replace_content(content, old_string, new_string, replace_all, line_hint,
                           kAllStrategies);
}

ReplaceOutcome replace_content(std::string_view content, std::string_view old_string,
                               std::string_view new_string, bool replace_all,
                               std::optional<std::uint32_t> line_hint, StrategyMask allowed) {
    if (old_string == new_string) return ReplaceError{NoChange{}};

    const ContentLines lines(content);
    bool any_candidates = false;
    std::unordered_set<std::string> failed;  // candidate texts that could not be applied

    for (std::size_t index = 0; index < kStrategies.size(); ++index) {
        if ((allowed >> index & 1) == 0) continue;
        const Strategy& strategy = kStrategies[index];
        Candidates candidates = strategy.find(lines, old_string);
        if (candidates.empty()) continue;
        for (std::string& candidate : candidates) {
            if (failed.count(candidate) != 0) continue;
            const std::size_t first = find_at_boundary(content, candidate, 0);
            if (first != kNone) {
                if (replace_all) {
                    return make_result(content, replace_every(content, candidate, new_string, first),
                                       first, candidate, strategy.name);
                }
                std::size_t at = kNone;
                if (find_at_boundary(content, candidate, first + 1) == kNone) {
                    at = first;
                } else if (line_hint) {
                    at = nearest_to_hint(content, candidate, first, *line_hint);
                }
                if (at != kNone) {
                    return make_result(content, splice(content, at, candidate.size(), new_string),
                                       at, candidate, strategy.name);
                }
            }
            failed.insert(std::move(candidate));
        }
        any_candidates = true;
    }

    if (any_candidates) return ReplaceError{build_multiple_matches_error(lines, old_string)};
    return ReplaceError{build_not_found_error(lines, old_string)};
}

}  // namespace brindle::replacer
