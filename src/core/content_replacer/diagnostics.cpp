// Diagnostics of a failed replacement: the not-found and multiple-matches messages, the closest
// block of lines with its line diff, and the lines where the search text occurs.
//
// Closest match: windows of m content lines (m = lines of the search text) are scored by
// 1 - d / L (d: edit distance in characters, L: the longer byte length). Only windows starting
// within kAnchorRadius lines of a content line that contains the anchor (the first non-blank
// search line) are candidates, or the first kFallbackWindows windows when the anchor occurs
// nowhere; find_most_similar_window takes every window. The most similar candidate with
// similarity >= kMinSimilarity (or the given minimum) wins, the earliest among equals.
//
// Performance idea (WindowSearch): the exact similarity of a window is needed only when it can
// still win, so
//   1. every candidate first gets a lower bound of d from character histograms, kept up to date
//      as the window slides by a line (two lines' characters per step, no joined text); a window
//      whose bound misses the threshold is dropped;
//   2. the rest are measured most promising first (the window with the most search lines in
//      place, then by the histogram bound), and the edit distance of each is computed
//      only up to the largest d that still reaches the threshold and beats the best so far
//      (levenshtein_distance_within), so that it stops as soon as the window is out of reach;
//   3. once no remaining window can reach the best similarity found, the search ends; only the
//      winner's text is built;
//   4. when windows measured are refused again and again (the search text resembles nothing
//      there, or the windows left are shifted copies of the best one), those that could still
//      win first get the bigram bound (counts of adjacent character pairs, again slid from
//      window to window), which tells apart code that merely uses the same characters; those
//      still in reach get a stronger bound from one pass of the search text over their lines:
//      the least distance to any stretch of content that starts no later than the last of
//      these windows and ends where a window ends.
//   5. under a work budget (cancel.hpp: build_not_found_error with one, the package's
//      closest_window), a window whose measurement looks sure to need more work than is left
//      ends the search at once (require_measuring_work), as running out during it would.
// Ties are broken by the window index explicitly, so the measuring order does not change which
// window wins. The lines holding the anchor are found by searching the whole text, which jumps
// from one occurrence to the next, not by searching each line.
#include "core/content_replacer/diagnostics.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "core/cancel.hpp"
#include "core/content_replacer/occurrences.hpp"
#include "core/edit_distance.hpp"
#include "core/text.hpp"
#include "core/utf8.hpp"

namespace brindle::replacer {

namespace {

// Closest-match search.
constexpr std::size_t kAnchorRadius = 5;       // windows starting up to 5 lines around a hit
constexpr std::size_t kFallbackWindows = 100;  // windows scored when the anchor occurs nowhere
constexpr double kMinSimilarity = kClosestMatchThreshold;  // weaker near-misses are not shown
// Window search: distances refused before the windows left get the substring bound.
constexpr std::size_t kRefusalsBeforeSubstringBounds = 2;
// ... and only when the estimated cost of measuring them is this many times that of the pass.
constexpr double kSubstringBoundsMargin = 2.0;
// Search lines repeated more often than this do not vote for the window measured first.
constexpr std::size_t kMaxVotingRepeats = 4;
// Message sizes.
constexpr std::size_t kMaxDiffBytes = 2000;    // longer diffs are cut
constexpr std::size_t kMaxFirstLineHits = 3;   // lines listed for the first search line
constexpr std::size_t kMaxLocationsShown = 5;  // locations listed before "... (N total)"
constexpr std::size_t kPreviewChars = 60;      // characters of the search text quoted

constexpr std::string_view kNotFoundHead = "Search text not found in file.";
constexpr std::string_view kDebuggingTips =
    "\n\nDebugging tips:\n"
    "1. Check for exact whitespace/indentation match\n"
    "2. Verify line endings match the file (\\r\\n vs \\n)\n"
    "3. Ensure the search text hasn't been modified\n"
    "4. Try reading the file section first to get exact text";
constexpr std::string_view kDiffTruncated = "\n...(diff truncated)";
constexpr std::string_view kMultipleAdvice =
    "\"\n\nTo fix, include more surrounding context in old_string to uniquely identify the "
    "target location, or use replace_all=True to replace all occurrences, or provide a line_hint "
    "to select the closest match.";

template <class Numbers>
std::string join_numbers(const Numbers& numbers, std::size_t count) {
    std::string out;
    for (std::size_t k = 0; k < count; ++k) {
        if (k > 0) out += ", ";
        out += std::to_string(numbers[k]);
    }
    return out;
}

// The similarity of a window as a percentage with one decimal, e.g. "80.0".
std::string percent_one_decimal(double similarity) {
    char buf[64];
    const auto result =
        std::to_chars(buf, buf + sizeof buf, similarity * 100.0, std::chars_format::fixed, 1);
    return std::string(buf, result.ptr);
}

// 1 - d / L in double precision.
double similarity_of(std::uint64_t distance, std::size_t longest) {
    return 1.0 - static_cast<double>(distance) / static_cast<double>(longest);
}

// The first search line that is not blank, untrimmed.
std::optional<std::string_view> first_non_blank(const std::vector<std::string_view>& search) {
    for (std::string_view line : search) {
        if (!text::is_blank(line)) return line;
    }
    return std::nullopt;
}

// The largest distance d for which a window of longest byte length `longest` still qualifies:
// similarity_of(d, longest) >= threshold, or > threshold when `strict`. Nothing when even d = 0
// does not. Starts from the real-valued answer and corrects it by the exact double comparison
// that decides (similarity_of is non-increasing in d).
std::optional<std::uint64_t> largest_qualifying_distance(std::size_t longest, double threshold,
                                                         bool strict) {
    auto qualifies = [&](std::uint64_t d) {
        const double similarity = similarity_of(d, longest);
        return strict ? similarity > threshold : similarity >= threshold;
    };
    const double estimate = (1.0 - threshold) * static_cast<double>(longest);
    std::uint64_t d = 0;
    if (estimate >= static_cast<double>(longest)) {
        d = longest;
    } else if (estimate > 0.0) {
        d = static_cast<std::uint64_t>(estimate);
    }
    while (d < longest && qualifies(d + 1)) ++d;
    while (!qualifies(d)) {
        if (d == 0) return std::nullopt;
        --d;
    }
    return d;
}

// Two lower bounds of the edit distance of a window from counts of what it holds, each kept up to
// date as the window slides by a line (two lines' worth of updates per step, no joined text):
//
//   characters  An edit changes the count of at most one character up and one down, so the
//               distance is at least the larger of the search text's surplus (characters it has
//               beyond the window's, class by class) and the window's surplus; this also covers
//               the difference of the character counts.
//   bigrams     Pairs of adjacent characters within a line (pairs holding an LF are left out).
//               An edit destroys at most two of the pairs of a text and creates at most two;
//               pairs that no edit touches keep their characters, so they are found again,
//               LF-free as before, in the other text. Each text's surplus of pairs is therefore
//               at most twice the distance. Unlike the character counts, this tells apart code
//               that uses the same characters in other words, e.g. two distant stretches of one
//               source file.
//
// Both count classes, not the characters or pairs themselves: ASCII characters and pairs of them
// each have a class of their own, others are hashed into a few classes. Merging into classes only
// lowers a surplus, so the bounds stay valid.
constexpr std::size_t kAsciiClasses = 128;

std::size_t hash_class(std::uint32_t key, std::size_t classes) {
    return static_cast<std::size_t>(key * 0x9E3779B1u >> 7) % classes;
}

struct CharacterCounts {
    static constexpr std::size_t kWideClasses = 128;
    static constexpr std::size_t kClasses = kAsciiClasses + kWideClasses;
    static constexpr std::int64_t kPerEdit = 1;  // counts one edit can take from a text
    static constexpr bool kCountsLineBreaks = true;

    // Calls f(class) for every character of `s`.
    template <class F>
    static void for_each(std::string_view s, F&& f) {
        std::size_t pos = 0;
        while (pos < s.size()) {
            const auto byte = static_cast<unsigned char>(s[pos]);
            if (byte < kAsciiClasses) {
                f(static_cast<std::size_t>(byte));
                ++pos;
            } else {
                const char32_t c = utf8::decode_at(s, pos);
                f(kAsciiClasses + hash_class(static_cast<std::uint32_t>(c), kWideClasses));
            }
        }
    }
};

struct BigramCounts {
    static constexpr std::size_t kAsciiPairs = kAsciiClasses * kAsciiClasses;
    static constexpr std::size_t kWideClasses = 1024;
    static constexpr std::size_t kClasses = kAsciiPairs + kWideClasses;
    static constexpr std::int64_t kPerEdit = 2;
    static constexpr bool kCountsLineBreaks = false;

    // Calls f(class) for every pair of adjacent characters of `s` that holds no LF.
    template <class F>
    static void for_each(std::string_view s, F&& f) {
        std::size_t pos = 0;
        char32_t previous = U'\n';
        while (pos < s.size()) {
            const auto byte = static_cast<unsigned char>(s[pos]);
            char32_t c = byte;
            if (byte < kAsciiClasses) {
                ++pos;
            } else {
                c = utf8::decode_at(s, pos);
            }
            if (c != U'\n' && previous != U'\n') {
                if (c < kAsciiClasses && previous < kAsciiClasses) {
                    f(static_cast<std::size_t>(previous) * kAsciiClasses + c);
                } else {
                    const auto key = static_cast<std::uint32_t>(previous) * 0x01000193u ^
                                     static_cast<std::uint32_t>(c);
                    f(kAsciiPairs + hash_class(key, kWideClasses));
                }
            }
            previous = c;
        }
    }
};

// A window of m content lines sliding over the content, with what a lower bound of its edit
// distance to the search text needs: its byte length and its counts (`Counts`: characters or
// bigrams) compared with the search text's. Every window holds exactly m - 1 LFs between its
// lines, and no pair that spans two lines is counted.
template <class Counts>
class SlidingWindow {
public:
    SlidingWindow(const LazyLines& lines, std::size_t m, std::string_view old_string)
        : lines_(lines), m_(m), target_(Counts::kClasses, 0), count_(Counts::kClasses, 0) {
        Counts::for_each(old_string, [&](std::size_t c) {
            ++target_[c];
            ++target_total_;
        });
    }

    // Makes window s current: slides line by line from the current window when that is shorter
    // than building it afresh.
    void move_to(std::size_t s) {
        if (!valid_ || s < start_ || s - start_ >= m_) {
            rebuild(s);
            return;
        }
        while (start_ < s) {
            remove_line(lines_[start_]);
            add_line(lines_[start_ + m_]);
            ++start_;
        }
    }

    std::size_t bytes() const { return line_bytes_ + (m_ - 1); }
    std::uint64_t distance_bound() const {
        const std::int64_t surplus = std::max(search_surplus_, window_surplus_);
        return static_cast<std::uint64_t>((surplus + Counts::kPerEdit - 1) / Counts::kPerEdit);
    }

private:
    void rebuild(std::size_t s) {
        // An empty window: the search text's surplus is all it holds.
        std::fill(count_.begin(), count_.end(), 0);
        search_surplus_ = target_total_;
        window_surplus_ = 0;
        if (Counts::kCountsLineBreaks) {
            const auto lf = static_cast<std::size_t>('\n');
            const auto lfs = static_cast<std::int64_t>(m_ - 1);
            const std::int64_t filled = std::min(target_[lf], lfs);
            search_surplus_ -= filled;
            window_surplus_ += lfs - filled;
            count_[lf] = lfs;
        }
        line_bytes_ = 0;
        start_ = s;
        for (std::size_t k = 0; k < m_; ++k) add_line(lines_[s + k]);
        valid_ = true;
    }

    void add_line(std::string_view line) {
        line_bytes_ += line.size();
        Counts::for_each(line, [&](std::size_t c) {
            const std::int64_t short_of_target = count_[c] < target_[c];
            search_surplus_ -= short_of_target;
            window_surplus_ += 1 - short_of_target;
            ++count_[c];
        });
    }

    void remove_line(std::string_view line) {
        line_bytes_ -= line.size();
        Counts::for_each(line, [&](std::size_t c) {
            --count_[c];
            const std::int64_t short_of_target = count_[c] < target_[c];
            search_surplus_ += short_of_target;
            window_surplus_ -= 1 - short_of_target;
        });
    }

    const LazyLines& lines_;
    std::size_t m_;
    std::vector<std::int64_t> target_;
    std::vector<std::int64_t> count_;
    std::int64_t target_total_ = 0;  // of the search text, over all classes
    std::int64_t search_surplus_ = 0;
    std::int64_t window_surplus_ = 0;
    std::size_t line_bytes_ = 0;
    std::size_t start_ = 0;
    bool valid_ = false;
};

// Whether a window whose joined text is empty is scored (unless the search text is empty too).
enum class EmptyWindows { kSkip, kKeep };

// The best window of m lines among those added: the most similar with similarity at least
// min_similarity, the earliest of equally similar ones.
//
// Windows are added in ascending order; each gets the histogram bound of its distance, and with
// it the best similarity it could reach, and is dropped at once when that misses min_similarity.
// The remaining windows are then measured most promising first (highest reachable similarity,
// earliest first among equals), so that a good window is found early and the distance of every
// later one is computed only up to the largest value that could still beat it. The order does
// not change the result: a window replaces the best when it is more similar, or equally similar
// and earlier. Once the reachable similarity falls below the best found, no later window can
// qualify and the search ends.
class WindowSearch {
public:
    WindowSearch(const ContentLines& content, std::string_view old_string, std::size_t m,
                 double min_similarity, EmptyWindows empty, WindowSearchStats* stats)
        : content_(content),
          old_string_(old_string),
          m_(m),
          min_similarity_(min_similarity),
          empty_(empty),
          window_(content.lines, m, old_string),
          stats_(stats) {}

    void add(std::size_t s) {
        poll_interrupt();
        window_.move_to(s);
        const std::size_t bytes = window_.bytes();
        if (bytes == 0 && (empty_ == EmptyWindows::kSkip || old_string_.empty())) return;
        const std::size_t longest = std::max(old_string_.size(), bytes);
        const double reachable = similarity_of(window_.distance_bound(), longest);
        if (!(reachable >= min_similarity_)) return;
        if (stats_ != nullptr) ++stats_->candidates;
        candidates_.push_back(Candidate{reachable, s, longest});
    }

    std::optional<FuzzyMatchInfo> best() {
        // Added in ascending order, so a stable sort keeps the earliest first among equals.
        std::stable_sort(
            candidates_.begin(), candidates_.end(),
            [](const Candidate& x, const Candidate& y) { return x.reachable > y.reachable; });
        measure_best_aligned_first();
        bool found = false;
        double best_similarity = 0.0;
        std::size_t best_start = 0;
        std::size_t refused = 0;            // distances refused since the last substring bounds
        std::size_t improvements = 0;       // times the best changed
        std::size_t bounded_at = SIZE_MAX;  // improvements when the substring bounds were applied
        for (std::size_t i = 0; i < candidates_.size(); ++i) {
            poll_interrupt();
            if (refused >= kRefusalsBeforeSubstringBounds && bounded_at != improvements) {
                bounded_at = improvements;
                refused = 0;
                apply_substring_bounds(i, found ? best_similarity : min_similarity_, found, best_start);
                if (i >= candidates_.size()) break;
            }
            const Candidate& c = candidates_[i];
            // Later candidates reach at most this similarity and, when equal, start later.
            if (found && (c.reachable < best_similarity ||
                          (c.reachable == best_similarity && c.start > best_start))) {
                break;
            }
            const bool strict = found && c.start > best_start;
            const std::optional<std::uint64_t> limit = largest_qualifying_distance(
                c.longest, found ? best_similarity : min_similarity_, strict);
            if (!limit) continue;
            require_measuring_work(c);
            if (stats_ != nullptr) ++stats_->measured;
            // A window within reach line by line is measured with that tighter limit: same
            // distance, narrower band. Of a search text of one line (without an LF) against a
            // window of one line, the line-by-line sum is the distance itself.
            std::uint64_t within = *limit;
            const std::optional<std::uint64_t> lines = line_by_line_distance(c.start, within);
            if (lines) {
                within = *lines;
                if (stats_ != nullptr) ++stats_->line_bounded;
            }
            const std::optional<std::uint64_t> d =
                m_ == 1 && pieces_->size() == 1
                    ? lines
                    : levenshtein_distance_within(old_string_, window_text(c.start), within);
            if (!d) {
                ++refused;
                continue;
            }
            found = true;
            best_similarity = similarity_of(*d, c.longest);
            best_start = c.start;
            ++improvements;
        }
        if (!found) return std::nullopt;
        FuzzyMatchInfo info;
        info.similarity = best_similarity;
        info.start_line = best_start + 1;
        info.end_line = best_start + m_;
        info.text = content_.window_text(best_start, m_);
        info.diff = build_match_diff(old_string_, info.text);
        return info;
    }

private:
    struct Candidate {
        double reachable;     // similarity for the histogram bound of the distance
        std::size_t start;    // window index
        std::size_t longest;  // larger byte length of the window text and the search text
    };

    // Moves to the front the candidate whose lines equal the most search lines at the same
    // position: usually the best window, whose similarity then cuts the distances of all the
    // others. Each content line covered by a candidate votes for the windows that would place it
    // where an equal search line is; blank search lines and lines repeated more than
    // kMaxVotingRepeats times in the search text do not vote. Only the order changes.
    void measure_best_aligned_first() {
        if (candidates_.size() < 2) return;
        const std::vector<std::string_view> search = text::split_lines(old_string_);
        std::unordered_map<std::string_view, std::vector<std::size_t>> positions;
        for (std::size_t i = 0; i < search.size(); ++i) {
            if (!text::is_blank(search[i])) positions[search[i]].push_back(i);
        }
        const std::size_t windows = content_.lines.size() - m_ + 1;
        std::vector<std::uint32_t> votes(windows, 0);
        std::vector<std::size_t> starts;
        starts.reserve(candidates_.size());
        for (const Candidate& c : candidates_) starts.push_back(c.start);
        std::sort(starts.begin(), starts.end());
        std::size_t next_line = 0;
        for (std::size_t start : starts) {
            for (std::size_t line = std::max(start, next_line); line < start + m_; ++line) {
                poll_interrupt();
                const auto found = positions.find(content_.lines[line]);
                if (found == positions.end() || found->second.size() > kMaxVotingRepeats) continue;
                for (std::size_t i : found->second) {
                    if (line >= i && line - i < windows) ++votes[line - i];
                }
            }
            next_line = std::max(next_line, start + m_);
        }
        std::size_t best = 0;
        for (std::size_t k = 1; k < candidates_.size(); ++k) {
            if (votes[candidates_[k].start] > votes[candidates_[best].start]) best = k;
        }
        std::rotate(candidates_.begin(), candidates_.begin() + static_cast<std::ptrdiff_t>(best),
                    candidates_.begin() + static_cast<std::ptrdiff_t>(best) + 1);
    }

    // Under a work budget (cancel.hpp), gives up the search at once (throws
    // WorkBudgetExhausted, as running out does) when measuring candidate c looks sure to need
    // more work than is left, instead of spending the rest on it and giving up then. Its distance
    // is at least lower = (1 - reachable) * longest. The band that computes a distance of `lower`
    // over q text characters spans, when the distance grows evenly along the text, about
    // 2 * lower rows per character on average (and never more than the p characters of the
    // shorter text): some 2 * min(lower, p) / 64 word steps, each polled as a unit. Half of
    // that, q * min(lower, p) / 64, is taken as what the measurement costs at least. Should it
    // cost less after all, the search answers "over budget" where it could have answered, never
    // with another window or similarity.
    void require_measuring_work(const Candidate& c) {
        const std::optional<std::int64_t> left = work_budget_left();
        if (!left) return;
        if (!search_chars_) search_chars_ = utf8::count_chars(old_string_);
        const std::size_t window_chars = utf8::count_chars(window_text(c.start));
        const auto p = static_cast<double>(std::min(*search_chars_, window_chars));
        const auto q = static_cast<double>(std::max(*search_chars_, window_chars));
        const double lower = (1.0 - c.reachable) * static_cast<double>(c.longest);
        if (q * std::min(lower, p) / 64.0 <= static_cast<double>(*left)) return;
        if (stats_ != nullptr) ++stats_->given_up;
        throw WorkBudgetExhausted{};
    }

    // An upper bound of the distance of window s: the search text's pieces between LFs against
    // the window's lines in order, the distances of the pairs summed (the alignment that matches
    // the LFs of the two texts with each other). Nothing when the sum exceeds `limit`, or when the
    // search text is not m pieces (it ends with an LF).
    std::optional<std::uint64_t> line_by_line_distance(std::size_t s, std::uint64_t limit) {
        if (!pieces_) {
            pieces_.emplace();
            std::size_t from = 0;
            while (true) {
                const std::size_t lf = old_string_.find('\n', from);
                pieces_->push_back(old_string_.substr(from, lf - from));
                if (lf == std::string_view::npos) break;
                from = lf + 1;
            }
        }
        if (pieces_->size() != m_) return std::nullopt;
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i < m_; ++i) {
            const std::string_view a = (*pieces_)[i];
            const std::string_view b = content_.lines[s + i];
            if (a == b) continue;
            const std::optional<std::uint64_t> d = levenshtein_distance_within(a, b, limit - sum);
            if (!d) return std::nullopt;
            sum += *d;
        }
        return sum;
    }

    // Lines first..first+count-1 joined: a view into the content when they are separated there by
    // single LFs, otherwise joined into a buffer.
    std::string_view joined(std::size_t first, std::size_t count) {
        const std::string_view head = content_.lines[first];
        const std::string_view tail = content_.lines[first + count - 1];
        const auto text_begin = reinterpret_cast<std::uintptr_t>(content_.text.data());
        const auto text_end = text_begin + content_.text.size();
        const auto begin = reinterpret_cast<std::uintptr_t>(head.data());
        const auto end = reinterpret_cast<std::uintptr_t>(tail.data()) + tail.size();
        const std::size_t bytes = content_.window_length(first, count);
        if (text_begin <= begin && begin <= end && end <= text_end && end - begin == bytes) {
            return content_.text.substr(begin - text_begin, bytes);
        }
        buffer_ = content_.window_text(first, count);
        return buffer_;
    }

    std::string_view window_text(std::size_t s) { return joined(s, m_); }

    // Tightens the reachable similarity of the candidates_[from..] that could still qualify
    // (threshold: the best similarity so far, or the minimum before any window qualified) by the
    // bigram bound, and those still in reach by the substring bound when its pass is likely
    // cheaper than measuring them: a window's distance is at least the least distance between
    // the search text and any stretch of the content that starts no later than the window and
    // ends where it ends (best_substring_distances), and one pass over a run of nearby windows
    // gives that bound for all of them, with the run's last start as the latest start. Used once the
    // windows measured are refused again and again: either the search text resembles nothing there, or
    // the windows left are shifted copies of the best one, whose own distance the substring bound
    // nearly reaches. Candidates that can no longer reach the minimum are dropped; the rest are put
    // back in measuring order.
    void apply_substring_bounds(std::size_t from, double threshold, bool found,
                                std::size_t best_start) {
        std::vector<std::size_t> order;
        for (std::size_t k = from; k < candidates_.size(); ++k) {
            if (candidates_[k].reachable >= threshold) order.push_back(k);
        }
        std::sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
            return candidates_[x].start < candidates_[y].start;
        });
        apply_bigram_bounds(order, threshold);
        // Runs of candidates whose windows overlap or touch share one pass.
        const bool pays = substring_bounds_pay(order, threshold);
        std::size_t run_begin = 0;
        while (pays && run_begin < order.size()) {
            std::size_t run_end = run_begin + 1;
            while (run_end < order.size() &&
                   candidates_[order[run_end]].start <= candidates_[order[run_end - 1]].start + m_) {
                ++run_end;
            }
            bound_run(order, run_begin, run_end, threshold, found, best_start);
            run_begin = run_end;
        }
        // The bounds lowered, the candidates are put back in measuring order (also when the
        // substring pass did not pay: the bigram bounds may have lowered some).
        auto tail_begin = candidates_.begin() + static_cast<std::ptrdiff_t>(from);
        const auto out_of_reach = [&](const Candidate& c) { return !(c.reachable >= min_similarity_); };
        candidates_.erase(std::remove_if(tail_begin, candidates_.end(), out_of_reach),
                          candidates_.end());
        std::sort(candidates_.begin() + static_cast<std::ptrdiff_t>(from), candidates_.end(),
                  [](const Candidate& x, const Candidate& y) {
                      return x.reachable > y.reachable ||
                             (x.reachable == y.reachable && x.start < y.start);
                  });
    }

    // Tightens the reachable similarity of the candidates `order` (ascending starts) by the
    // bigram bound, which costs one slide of a window per candidate, and keeps in `order` those
    // that still reach `threshold`.
    void apply_bigram_bounds(std::vector<std::size_t>& order, double threshold) {
        if (!bigrams_) bigrams_.emplace(content_.lines, m_, old_string_);
        std::size_t kept = 0;
        for (std::size_t k : order) {
            poll_interrupt();
            Candidate& c = candidates_[k];
            bigrams_->move_to(c.start);
            c.reachable = std::min(c.reachable, similarity_of(bigrams_->distance_bound(), c.longest));
            if (c.reachable >= threshold) {
                order[kept++] = k;
            } else if (stats_ != nullptr) {
                ++stats_->out_by_bigrams;
            }
        }
        order.resize(kept);
    }

    // Whether the substring bound is likely cheaper than measuring the candidates `order`
    // (ascending starts) one by one. Measuring a window costs up to its characters times the
    // 64-row blocks of its band (twice the limit); the substring pass costs up to the characters
    // of the runs times the blocks of the whole search text. Both are upper estimates (a band
    // often stops early); the pass must win by kSubstringBoundsMargin.
    bool substring_bounds_pay(const std::vector<std::size_t>& order, double threshold) const {
        double measuring = 0.0;
        double pass = 0.0;
        const double search_blocks = static_cast<double>(old_string_.size()) / 64.0 + 1.0;
        std::size_t covered_until = 0;  // lines below this one are already counted for the pass
        for (std::size_t k : order) {
            const Candidate& c = candidates_[k];
            const double band = 2.0 * (1.0 - threshold) * static_cast<double>(c.longest) / 64.0 + 2.0;
            measuring += static_cast<double>(c.longest) * band;
            const std::size_t from_line = std::max(c.start, covered_until);
            const std::size_t to_line = c.start + m_;
            for (std::size_t line = from_line; line < to_line; ++line) {
                pass += static_cast<double>(content_.lines[line].size() + 1) * search_blocks;
            }
            covered_until = std::max(covered_until, to_line);
        }
        return measuring > kSubstringBoundsMargin * pass;
    }

    // The substring bound for the candidates order[begin..end) (ascending starts, one run).
    void bound_run(const std::vector<std::size_t>& order, std::size_t begin, std::size_t end,
                   double threshold, bool found, std::size_t best_start) {
        const std::size_t first_line = candidates_[order[begin]].start;
        const std::size_t line_count = candidates_[order[end - 1]].start + m_ - first_line;
        std::uint64_t limit = 0;
        std::vector<std::size_t> ends;
        ends.reserve(end - begin);
        std::size_t offset = 0;  // byte offset of the next line's start in the run's text
        std::size_t next_line = first_line;
        for (std::size_t k = begin; k < end; ++k) {
            const Candidate& c = candidates_[order[k]];
            const std::size_t last_line = c.start + m_ - 1;
            while (next_line <= last_line) {
                offset += content_.lines[next_line].size() + 1;
                ++next_line;
            }
            ends.push_back(offset - 1);  // behind the window's last line, before its LF
            const std::optional<std::uint64_t> own =
                largest_qualifying_distance(c.longest, threshold, found && c.start > best_start);
            if (own) limit = std::max(limit, *own);
        }
        // Every window of the run starts at or before its last window's first line.
        std::size_t latest_start = 0;
        for (std::size_t line = first_line; line < candidates_[order[end - 1]].start; ++line) {
            latest_start += content_.lines[line].size() + 1;
        }
        const std::string_view run_text = joined(first_line, line_count);
        const std::vector<std::uint64_t> bounds =
            best_substring_distances(old_string_, run_text, latest_start, ends, limit,
                                     stats_ != nullptr ? &stats_->substring : nullptr);
        if (stats_ != nullptr) ++stats_->substring_passes;
        for (std::size_t k = begin; k < end; ++k) {
            Candidate& c = candidates_[order[k]];
            c.reachable = std::min(c.reachable, similarity_of(bounds[k - begin], c.longest));
            if (stats_ != nullptr && c.reachable < threshold) ++stats_->out_by_substrings;
        }
    }

    const ContentLines& content_;
    std::string_view old_string_;
    std::size_t m_;
    double min_similarity_;
    EmptyWindows empty_;
    SlidingWindow<CharacterCounts> window_;
    std::optional<SlidingWindow<BigramCounts>> bigrams_;   // built when first needed
    std::optional<std::vector<std::string_view>> pieces_;  // of the search text between LFs, idem
    std::optional<std::size_t> search_chars_;              // characters of the search text, idem
    std::vector<Candidate> candidates_;
    std::string buffer_;
    WindowSearchStats* stats_;
};

}  // namespace

double text_similarity(std::string_view a, std::string_view b) {
    const std::size_t longest = std::max(a.size(), b.size());
    if (longest == 0) return 1.0;
    return similarity_of(levenshtein_distance(a, b), longest);
}

std::string build_match_diff(std::string_view old_string, std::string_view window_text) {
    const std::vector<std::string_view> a = text::split_lines(old_string);
    const std::vector<std::string_view> b = text::split_lines(window_text);
    std::string out = "--- SEARCH\n+++ CLOSEST MATCH\n";
    const std::size_t rows = std::max(a.size(), b.size());
    // Only the first kMaxDiffBytes bytes are kept, so building stops once they are exceeded.
    for (std::size_t i = 0; i < rows && out.size() <= kMaxDiffBytes; ++i) {
        const std::string_view la = i < a.size() ? a[i] : std::string_view{};
        const std::string_view lb = i < b.size() ? b[i] : std::string_view{};
        if (la == lb) {
            out += ' ';
            out += la;
            out += '\n';
            continue;
        }
        if (i < a.size()) {
            out += '-';
            out += la;
            out += '\n';
        }
        if (i < b.size()) {
            out += '+';
            out += lb;
            out += '\n';
        }
    }
    if (out.size() > kMaxDiffBytes) {
        // Cut at the last character boundary at or before the limit.
        out.resize(utf8::floor_boundary(out, kMaxDiffBytes));
        out += kDiffTruncated;
    }
    return out;
}

// The first line at or after `from` that contains `needle` (which holds no LF), or the line
// count when there is none. The needle is searched in the whole text, jumping from one occurrence
// to the next rather than searching line by line; an occurrence counts when it lies inside its
// line's view (it may run into a CR LF line break).
std::size_t next_line_containing(const ContentLines& content, std::size_t from,
                                 std::string_view needle) {
    const LazyLines& lines = content.lines;
    const std::size_t n = lines.size();
    std::size_t line = from;
    std::size_t pos = line < n ? lines.start(line) : content.text.size();
    while (line < n) {
        const std::size_t hit = text::find(content.text, needle, pos);
        if (hit == std::string_view::npos) return n;
        // The line the hit starts in: a hit starts before the text's end, where line n starts.
        while (lines.start(line + 1) <= hit) ++line;
        if (hit + needle.size() <= lines.start(line) + lines[line].size()) return line;
        pos = hit + 1;
        poll_interrupt();
    }
    return n;
}

std::optional<FuzzyMatchInfo> find_closest_match(const ContentLines& content,
                                                 std::string_view old_string,
                                                 WindowSearchStats* stats) {
    const LazyLines& lines = content.lines;
    const std::vector<std::string_view> search = text::split_lines(old_string);
    const std::size_t n = lines.size();
    const std::size_t m = search.size();
    if (m == 0 || n < m) return std::nullopt;
    const std::optional<std::string_view> anchor = first_non_blank(search);
    if (!anchor) return std::nullopt;

    WindowSearch windows(content, old_string, m, kMinSimilarity, EmptyWindows::kSkip, stats);
    const std::size_t count = n - m + 1;
    std::size_t next_window = 0;  // windows below this one are added or out of every interval
    bool anchor_seen = false;
    // The anchor hits come in ascending order, so their intervals are merged on the fly. Once
    // every window is added, further hits add nothing.
    for (std::size_t i = 0; next_window < count; ++i) {
        poll_interrupt();
        i = next_line_containing(content, i, *anchor);
        if (i == n) break;
        anchor_seen = true;
        const std::size_t lo = std::max(i > kAnchorRadius ? i - kAnchorRadius : 0, next_window);
        const std::size_t hi = std::min(i + kAnchorRadius, count - 1);
        for (std::size_t s = lo; s <= hi; ++s) windows.add(s);
        next_window = std::max(next_window, hi + 1);
    }
    if (!anchor_seen) {
        for (std::size_t s = 0; s < std::min(count, kFallbackWindows); ++s) windows.add(s);
    }
    return windows.best();
}

std::optional<FuzzyMatchInfo> find_most_similar_window(const ContentLines& content,
                                                       std::string_view old_string,
                                                       double min_similarity,
                                                       WindowSearchStats* stats) {
    const std::size_t m = text::count_lines(old_string);
    const std::size_t n = content.lines.size();
    if (m == 0 || n < m) return std::nullopt;
    WindowSearch windows(content, old_string, m, min_similarity, EmptyWindows::kKeep, stats);
    for (std::size_t s = 0; s + m <= n; ++s) windows.add(s);
    return windows.best();
}

std::vector<std::uint64_t> find_match_locations(const ContentLines& content,
                                                std::string_view old_string) {
    const LazyLines& lines = content.lines;
    const std::size_t n = lines.size();
    const std::size_t m = text::count_lines(old_string);
    std::vector<std::uint64_t> out;

    if (m <= 1) {
        const std::vector<std::string_view> search = text::split_lines(old_string);
        const std::string_view probe = search.empty() ? old_string : search.front();
        for (std::size_t i = 0; i < n; ++i) {
            if (probe.empty() || text::contains(lines[i], probe)) out.push_back(i + 1);
        }
        return out;
    }

    // Two or more lines. The block of line i is lines i..i+m-1 joined with LF: it has at most
    // m - 1 LFs and no final one. A search text ending in LF holds m LFs and never fits; any
    // other holds exactly m - 1, so an occurrence inside the block must take all of the block's
    // LFs, the one behind line i included: it starts in line i (or at that LF). Conversely an
    // occurrence in the whole joined content that starts there ends inside line i + m - 1, within
    // the block. Its first search line is then part of line i, so the probe test is implied.
    // The occurrences are therefore marked once in the joined content and mapped to lines,
    // instead of joining and searching one block per line.
    if (old_string.back() == '\n' || n == 0) return out;
    // Without CR LF line breaks the joined content is a stretch of the content; otherwise it is
    // searched a stretch at a time. Either way it is not copied whole.
    const std::size_t joined_size = content.window_length(0, n);
    const std::vector<bool> starts = content.window_is_contiguous(0, n)
                                         ? occurrence_starts(content.window_span(0, n), old_string)
                                         : occurrence_starts_in_lines(lines, old_string);
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t next_start = line_start + lines[i].size() + 1;  // behind line i's LF
        const std::size_t stop = std::min(next_start, joined_size);
        for (std::size_t p = line_start; p < stop; ++p) {
            if (starts[p]) {
                out.push_back(i + 1);
                break;
            }
        }
        line_start = next_start;
    }
    return out;
}

NotFound build_not_found_error(const ContentLines& content, std::string_view old_string,
                               std::optional<std::int64_t> closest_work_budget) {
    std::string message(kNotFoundHead);

    const std::vector<std::string_view> search = text::split_lines(old_string);
    const std::string_view probe = search.empty() ? std::string_view{} : text::trim(search.front());
    if (!probe.empty()) {
        std::vector<std::uint64_t> hits;
        for (std::size_t i = 0; i < content.lines.size() && hits.size() < kMaxFirstLineHits; ++i) {
            if (text::contains(content.lines[i], probe)) hits.push_back(i + 1);
        }
        message += "\nFirst search line '";
        message += probe;
        if (hits.empty()) {
            message += "' not found anywhere in file";
        } else {
            message += "' appears at line(s): ";
            message += join_numbers(hits, hits.size());
        }
    }

    std::optional<FuzzyMatchInfo> closest;
    const auto find_closest = [&] { closest = find_closest_match(content, old_string); };
    bool over_budget = false;
    if (!closest_work_budget) {
        find_closest();
    } else if (!run_with_work_budget(*closest_work_budget, find_closest)) {
        over_budget = true;
    }
    const std::size_t piece_begin = message.size();
    if (closest) message += closest_match_piece(*closest);
    const std::size_t piece_end = message.size();

    message += kDebuggingTips;
    return NotFound{std::move(message), std::move(closest), piece_begin, piece_end, over_budget};
}

std::string closest_match_piece(const FuzzyMatchInfo& closest) {
    std::string piece = "\nClosest fuzzy match (";
    piece += percent_one_decimal(closest.similarity);
    piece += "% similar) at lines ";
    piece += std::to_string(closest.start_line);
    piece += '-';
    piece += std::to_string(closest.end_line);
    piece += ":\n";
    piece += closest.diff;
    return piece;
}

MultipleMatches build_multiple_matches_error(const ContentLines& content, std::string_view old_string) {
    std::vector<std::uint64_t> locations = find_match_locations(content, old_string);

    std::string location_text;
    if (locations.size() > kMaxLocationsShown) {
        location_text = join_numbers(locations, kMaxLocationsShown) + ", ... (" +
                        std::to_string(locations.size()) + " total)";
    } else {
        location_text = join_numbers(locations, locations.size());
    }

    const std::vector<std::string_view> search = text::split_lines(old_string);
    const std::string_view first_line = search.empty() ? std::string_view{} : search.front();
    const std::string_view preview = utf8::prefix_chars(first_line, kPreviewChars);
    const bool shortened = preview.size() < first_line.size();

    std::string message = "Pattern found at multiple locations (lines: ";
    message += location_text;
    message += ").\nSearch text starts with: \"";
    message += preview;
    if (shortened) message += "...";
    message += kMultipleAdvice;
    return MultipleMatches{std::move(message), std::move(locations)};
}

}  // namespace brindle::replacer
