// The replacement driver: the strategies of kStrategies, tried in order until a candidate can be
// placed.
//
// For each strategy in table order the driver takes its candidates in their order and applies the
// first that can be placed: under replace_all the first that occurs at all (every non-overlapping
// occurrence is replaced); otherwise one that occurs exactly once, or, with a line hint, the
// first that occurs, at the occurrence whose line is nearest the hint (earlier one on a tie).
// When no candidate of any strategy applies, the diagnostics build the error: multiple matches
// if some strategy returned candidates, not found otherwise.
//
// Performance: the content is split into lines, and its other tables built, only when a strategy
// first asks for them (ContentLines), so an exact hit costs the search for old_string, the search
// for a second occurrence and the splice. Strategies run only while no earlier one succeeded.
// Whether a candidate applies depends only on the call's arguments and the candidate text, so a
// text that already failed in this call is not searched again; it is recognised by its hash
// (O(1) for a window of lines) and a comparison, without being built. "Exactly once" is decided
// by searching again just after the first occurrence; the hinted search looks for the occurrences
// next to the hinted line's start, forward and backward from it (nearest_to_hint), so its cost
// does not grow with the number of occurrences before the hint.
//
// Occurrences are counted at character boundaries only: the empty candidate occurs at every
// character boundary of the content, never between the bytes of one character.
#include "core/content_replacer/driver.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/cancel.hpp"
#include "core/content_replacer/diagnostics.hpp"
#include "core/content_replacer/strategies.hpp"
#include "core/text.hpp"
#include "core/utf8.hpp"

namespace brindle::replacer {

namespace {

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
        poll_interrupt();
    }
    return kNone;
}

// Number of LF bytes in `s`, as text::count_newlines, but counted in 16 byte-wide counters over
// stretches of at most 255 blocks (so that no counter overflows), which the compiler turns into
// vector compares: several times faster than one memchr per line on code, where lines are short.
std::size_t count_newlines(std::string_view s) {
    constexpr std::size_t kLanes = 16;
    constexpr std::size_t kStretch = 255 * kLanes;
    std::size_t n = 0;
    const char* p = s.data();
    std::size_t left = s.size();
    while (left >= kLanes) {
        const std::size_t stretch = (left < kStretch ? left : kStretch) / kLanes * kLanes;
        unsigned char lanes[kLanes] = {};
        for (std::size_t j = 0; j < stretch; j += kLanes) {
            for (std::size_t k = 0; k < kLanes; ++k) {
                lanes[k] = static_cast<unsigned char>(lanes[k] + (p[j + k] == '\n'));
            }
        }
        for (unsigned char lane : lanes) n += lane;
        p += stretch;
        left -= stretch;
    }
    for (std::size_t j = 0; j < left; ++j) n += p[j] == '\n';
    return n;
}

std::uint64_t line_number_at(std::string_view content, std::size_t pos) {
    return 1 + count_newlines(content.substr(0, pos));
}

ReplaceResult make_result(std::string_view content, std::string new_content, std::size_t first,
                          std::string_view candidate, std::string_view strategy) {
    ReplaceResult result;
    result.content = std::move(new_content);
    result.matched_text = std::string(candidate);
    result.start_line = line_number_at(content, first);
    result.end_line = result.start_line + count_newlines(candidate);
    result.strategy = std::string(strategy);
    result.position = first;
    return result;
}

// Every non-overlapping occurrence of `candidate`, scanning from the left, replaced by
// `new_string`; `first` is its first occurrence.
std::string replace_every(std::string_view content, std::string_view candidate,
                          std::string_view new_string, std::size_t first) {
    std::string out;
    std::size_t copied = 0;
    for (std::size_t pos = first; pos != kNone;) {
        poll_interrupt();
        out.append(content, copied, pos - copied);
        out.append(new_string);
        if (candidate.empty()) {
            // Keep the character at pos and go on to the next boundary.
            if (pos == content.size()) {
                copied = pos;
                break;
            }
            const std::size_t next =
                pos + utf8::sequence_length(static_cast<unsigned char>(content[pos]));
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

// Position of the last occurrence of a non-empty `needle` that starts at or after `lowest` and
// before `before` and that starts and ends on character boundaries (kNone when there is none).
// Knuth-Morris-Pratt run backwards: the reversed needle searched in the text read from right to
// left, so every byte between the answer and `before` (plus the needle's length) is read once,
// however densely the occurrences overlap.
std::size_t rfind_at_boundary(std::string_view hay, std::string_view needle, std::size_t lowest,
                              std::size_t before) {
    const std::size_t m = needle.size();
    if (before <= lowest || hay.size() < m) return kNone;
    // border[q]: the longest proper border of the needle's last q + 1 bytes read backwards.
    std::vector<std::size_t> border(m, 0);
    const auto back = [&](std::size_t i) { return needle[m - 1 - i]; };
    for (std::size_t q = 1, k = 0; q < m; ++q) {
        while (k > 0 && back(q) != back(k)) k = border[k - 1];
        if (back(q) == back(k)) ++k;
        border[q] = k;
    }
    // An occurrence at p < before ends at p + m <= before - 1 + m.
    const std::size_t end = std::min(hay.size(), before - 1 + m);
    for (std::size_t i = end, k = 0; i > lowest;) {
        --i;
        if ((i & 1023) == 0) poll_interrupt();
        while (k > 0 && hay[i] != back(k)) k = border[k - 1];
        if (hay[i] == back(k)) ++k;
        if (k == m) {
            // The needle starts at i; i >= lowest, and i < before since i + m <= end.
            if (utf8::is_boundary(hay, i) && utf8::is_boundary(hay, i + m)) return i;
            k = border[k - 1];
        }
    }
    return kNone;
}

// Offset of the first byte after the `count`-th LF at or after `from` (kNone when there are fewer).
std::size_t after_newlines(std::string_view s, std::size_t from, std::uint64_t count) {
    std::size_t pos = from;
    for (std::uint64_t k = 0; k < count; ++k) {
        const void* hit = std::memchr(s.data() + pos, '\n', s.size() - pos);
        if (hit == nullptr) return kNone;
        pos = static_cast<std::size_t>(static_cast<const char*>(hit) - s.data()) + 1;
    }
    return pos;
}

// The occurrence (overlapping ones included) at or after `first`, the first occurrence, whose line
// is nearest `hint`, the earlier on a tie.
//
// Lines grow with positions, so the occurrences on or below the hinted line are led by the first
// one at or after the line's start (A), and those above it by the last one before that start (B),
// or rather by the first occurrence on B's line, which ties with B and comes earlier. Every other
// occurrence lies as far from the hint or further. So the answer is B's line's first occurrence
// unless A is strictly nearer. A is found by searching forward from the line's start, B by
// searching backward from it: the work is proportional to the distance from the hint to the
// occurrences next to it, not to the number of occurrences before it.
std::size_t nearest_to_hint(std::string_view content, std::string_view candidate, std::size_t first,
                            std::uint64_t hint) {
    const std::uint64_t first_line = line_number_at(content, first);
    if (first_line >= hint) return first;  // later occurrences lie on this line or below
    if (candidate.empty()) {
        // Occurrences at every character boundary, one after another up to the hinted line.
        std::size_t best = first;
        std::uint64_t best_gap = hint - first_line;
        std::uint64_t line = first_line;
        std::size_t counted_to = first;  // line is the line of this position
        for (std::size_t pos = first; pos != kNone;
             pos = find_at_boundary(content, candidate, pos + 1)) {
            poll_interrupt();
            line += count_newlines(content.substr(counted_to, pos - counted_to));
            counted_to = pos;
            const std::uint64_t gap = line > hint ? line - hint : hint - line;
            if (gap < best_gap) {
                best_gap = gap;
                best = pos;
            }
            if (line >= hint) break;
        }
        return best;
    }
    // Positions from `start` on lie on the hinted line or below it; those before it above it.
    const std::size_t start = after_newlines(content, first, hint - first_line);
    std::size_t below = kNone;  // A
    std::uint64_t below_gap = 0;
    if (start != kNone) {
        below = find_at_boundary(content, candidate, start);
        if (below != kNone) below_gap = count_newlines(content.substr(start, below - start));
    }
    // B: `first` itself lies before `start`, so there is one.
    const std::size_t last_above =
        rfind_at_boundary(content, candidate, first, start == kNone ? content.size() + 1 : start);
    const std::uint64_t above_line =
        first_line + count_newlines(content.substr(first, last_above - first));
    const std::uint64_t above_gap = hint - above_line;
    if (below != kNone && below_gap < above_gap) return below;
    // The first occurrence on B's line: none before `first` counts, and B itself is one.
    const std::size_t lf = last_above == 0 ? kNone : content.rfind('\n', last_above - 1);
    const std::size_t line_start = lf == kNone ? 0 : lf + 1;
    return find_at_boundary(content, candidate, std::max(first, line_start));
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

// The distinct candidate texts that could not be applied in this call, by hash. A window of
// content lines is kept as the window, a view of the content or of the search text as the view;
// only a text that a strategy built is copied. A text found again in a window is represented by
// its latest such window from then on (ContentLines::WindowRun), so that the many windows of one
// text that a strategy hands out in ascending order are recognised at the cost of the lines
// between them.
class FailedTexts {
public:
    explicit FailedTexts(const ContentLines& content, std::string_view old_string)
        : content_(content), old_string_(old_string) {}

    bool contains(const Candidates& list, std::size_t k) {
        if (by_hash_.empty()) return false;  // saves hashing the first candidates of a call
        const auto it = by_hash_.find(list.hash(k));
        if (it == by_hash_.end()) return false;
        const std::size_t length = list.length(k);
        const auto window = list.window(k);
        for (Entry& e : it->second) {
            if (e.length != length) continue;
            if (window && e.run.count == window->second) {
                if (content_.same_text_as(e.run, window->first)) return true;
                continue;
            }
            const bool same = e.run.count > 0 ? list.equals_window(k, content_, e.run.last, e.run.count)
                                              : list.equals(k, e.text);
            if (same && window) e.run = {window->first, window->second};
            if (same) return true;
        }
        return false;
    }

    void add(const Candidates& list, std::size_t k, std::string_view text) {
        Entry entry;
        entry.length = text.size();
        if (const auto window = list.window(k)) {
            entry.run = {window->first, window->second};
        } else if (within(text, content_.text) || within(text, old_string_)) {
            entry.text = text;
        } else {
            kept_.emplace_back(text);
            entry.text = kept_.back();
        }
        by_hash_[list.hash(k)].push_back(entry);
    }

private:
    static bool within(std::string_view part, std::string_view whole) {
        const auto p = reinterpret_cast<std::uintptr_t>(part.data());
        const auto w = reinterpret_cast<std::uintptr_t>(whole.data());
        return p >= w && p + part.size() <= w + whole.size();
    }

    struct Entry {
        std::string_view text;              // when run.count is 0
        ContentLines::WindowRun run{0, 0};  // a window with the text, when run.count > 0
        std::size_t length = 0;             // of the text
    };
    const ContentLines& content_;
    std::string_view old_string_;
    std::deque<std::string> kept_;
    std::unordered_map<std::uint64_t, std::vector<Entry>> by_hash_;
};

}  // namespace

std::span<const std::string_view> strategy_names() {
    return kStrategyNames;
}

ReplaceOutcome replace_content(std::string_view content, std::string_view old_string,
                               std::string_view new_string, bool replace_all,
                               std::optional<std::uint32_t> line_hint) {
    return replace_content(content, old_string, new_string, replace_all, line_hint, kAllStrategies);
}

ReplaceOutcome replace_content(std::string_view content, std::string_view old_string,
                               std::string_view new_string, bool replace_all,
                               std::optional<std::uint32_t> line_hint, StrategyMask allowed,
                               std::optional<std::int64_t> closest_work_budget) {
    if (old_string == new_string) return ReplaceError{NoChange{}};

    const ContentLines lines(content);
    bool any_candidates = false;
    FailedTexts failed(lines, old_string);
    std::string scratch;

    for (std::size_t index = 0; index < kStrategies.size(); ++index) {
        if ((allowed >> index & 1) == 0) continue;
        const Strategy& strategy = kStrategies[index];
        const Candidates candidates = strategy.find(lines, old_string);
        if (candidates.empty()) continue;
        for (std::size_t k = 0; k < candidates.size(); ++k) {
            poll_interrupt();
            if (failed.contains(candidates, k)) continue;
            const std::string_view candidate = candidates.text(k, scratch);
            const std::size_t first = find_at_boundary(content, candidate, candidates.search_from(k));
            if (first != kNone) {
                if (replace_all) {
                    std::string replaced = replace_every(content, candidate, new_string, first);
                    return make_result(content, std::move(replaced), first, candidate, strategy.name);
                }
                std::size_t at = kNone;
                if (find_at_boundary(content, candidate, first + 1) == kNone) {
                    at = first;
                } else if (line_hint) {
                    at = nearest_to_hint(content, candidate, first, *line_hint);
                }
                if (at != kNone) {
                    return make_result(content, splice(content, at, candidate.size(), new_string), at,
                                       candidate, strategy.name);
                }
            }
            failed.add(candidates, k, candidate);
        }
        any_candidates = true;
    }

    if (any_candidates) return ReplaceError{build_multiple_matches_error(lines, old_string)};
    return ReplaceError{build_not_found_error(lines, old_string, closest_work_budget)};
}

}  // namespace brindle::replacer
