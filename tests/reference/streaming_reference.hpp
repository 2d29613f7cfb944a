// The streaming matcher's rules written out as plainly as possible, with no incremental work: the
// reference that the fast matcher is compared with on generated inputs (unit tests, fuzzing).
// Header-only; everything is inline.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/streaming_matcher.hpp"
#include "core/text.hpp"
#include "core/utf8.hpp"

namespace brindle::streaming::ref {

using Ranges = std::vector<MatchRange>;

inline constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();

inline std::uint32_t add(std::uint32_t a, std::uint32_t b) {
    const std::uint64_t sum = std::uint64_t{a} + b;
    return sum > kMax ? kMax : static_cast<std::uint32_t>(sum);
}

inline std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string current;
    bool open = false;
    for (char ch : text) {
        if (ch == '\n') {
            if (!current.empty() && current.back() == '\r') current.pop_back();
            lines.push_back(current);
            current.clear();
            open = false;
        } else {
            current.push_back(ch);
            open = true;
        }
    }
    if (open) lines.push_back(current);
    return lines;
}

inline std::uint64_t levenshtein(std::string_view a, std::string_view b) {
    const std::vector<char32_t> x = brindle::utf8::decode(a);
    const std::vector<char32_t> y = brindle::utf8::decode(b);
    std::vector<std::vector<std::uint64_t>> d(x.size() + 1, std::vector<std::uint64_t>(y.size() + 1));
    for (std::size_t i = 0; i <= x.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= y.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= x.size(); ++i) {
        for (std::size_t j = 1; j <= y.size(); ++j) {
            d[i][j] = std::min(
                {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (x[i - 1] == y[j - 1] ? 0 : 1)});
        }
    }
    return d[x.size()][y.size()];
}

inline std::uint32_t pair_cost(std::string_view query_line, std::string_view source_line) {
    const std::string_view q = brindle::text::trim(query_line);
    const std::string_view s = brindle::text::trim(source_line);
    if (q == s) return 0;
    if (q.empty() || s.empty()) return 13;
    const double longer = static_cast<double>(std::max(q.size(), s.size()));
    const double difference =
        static_cast<double>(std::max(q.size(), s.size()) - std::min(q.size(), s.size()));
    if (1.0 - difference / longer < 0.8) return 13;
    const double distance = static_cast<double>(levenshtein(q, s));
    return 1.0 - distance / longer < 0.8 ? 13 : 1;
}

enum Step { kQueryOnly, kSourceOnly, kPaired };
struct Cell {
    std::uint32_t cost = 0;
    Step step = kPaired;
};

// What the walks back of one resolution did, for tests that check which cases their inputs reach.
struct WalkStats {
    std::size_t candidates = 0;  // end columns of least cost
    std::size_t steps = 0;       // steps walked from all of them
};

// Every end column of least cost walks its own steps back, one cell at a time.
inline Ranges resolve(const std::vector<std::string>& source, const std::vector<std::string>& query,
                      WalkStats* stats = nullptr) {
    const std::size_t n = source.size();
    const std::size_t m = query.size();
    std::vector<std::vector<Cell>> t(m + 1, std::vector<Cell>(n + 1));
    for (std::size_t r = 1; r <= m; ++r) {
        t[r][0] = {static_cast<std::uint32_t>(10 * r), kQueryOnly};
        for (std::size_t c = 1; c <= n; ++c) {
            const std::uint32_t above = add(t[r - 1][c].cost, 10);
            const std::uint32_t left = add(t[r][c - 1].cost, 3);
            const std::uint32_t diagonal =
                add(t[r - 1][c - 1].cost, pair_cost(query[r - 1], source[c - 1]));
            Cell cell = left < above ? Cell{left, kSourceOnly} : Cell{above, kQueryOnly};
            if (diagonal < cell.cost) cell = {diagonal, kPaired};
            t[r][c] = cell;
        }
    }
    Ranges out;
    if (n == 0) return out;
    std::uint32_t least = kMax;
    for (std::size_t c = 1; c <= n; ++c) least = std::min(least, t[m][c].cost);
    std::vector<std::uint64_t> offsets;
    std::uint64_t offset = 0;
    for (const auto& line : source) {
        offsets.push_back(offset);
        offset += line.size() + 1;
    }
    for (std::size_t e = 1; e <= n; ++e) {
        if (t[m][e].cost != least) continue;
        std::size_t r = m, c = e, count = 0;
        if (stats != nullptr) ++stats->candidates;
        while (r > 0 && c > 0) {
            if (stats != nullptr) ++stats->steps;
            const Step step = t[r][c].step;
            if (step == kPaired) {
                --r, --c, ++count;
            } else if (step == kQueryOnly) {
                --r;
            } else {
                --c;
            }
        }
        const float ratio =
            static_cast<float>(count) / std::max(static_cast<float>(e - c), static_cast<float>(m));
        if (ratio < 0.8f) continue;
        out.push_back({offsets[c], offsets[e - 1] + source[e - 1].size()});
    }
    return out;
}

inline std::optional<MatchRange> select(const std::vector<std::string>& source, const Ranges& matches,
                                        std::optional<std::uint32_t> hint) {
    if (matches.empty()) return std::nullopt;
    if (matches.size() == 1) return matches[0];
    if (!hint) return std::nullopt;
    std::optional<MatchRange> best;
    std::int64_t best_distance = -1;
    for (const MatchRange& range : matches) {
        // The line whose first byte is the range's start, found by walking the lines.
        std::uint64_t offset = 0;
        std::int64_t line = 0;
        for (std::size_t k = 0; k < source.size(); ++k) {
            if (offset <= range.start) line = static_cast<std::int64_t>(k);
            offset += source[k].size() + 1;
        }
        const std::int64_t distance = std::abs(line - static_cast<std::int64_t>(*hint));
        if (distance > 200) continue;
        if (best_distance < 0 || distance < best_distance) {
            best_distance = distance;
            best = range;
        }
    }
    return best;
}

// Keeps the whole pushed text and re-splits it; recomputes the whole table at every resolution.
class Matcher {
public:
    explicit Matcher(std::string_view source) : source_(split_lines(std::string(source))) {}

    std::optional<MatchRange> push(std::string_view chunk, std::optional<std::uint32_t> hint) {
        if (hint) hint_ = hint;
        pending_ += chunk;
        if (chunk.find('\n') != std::string_view::npos) {
            std::size_t lf;
            while ((lf = pending_.find('\n')) != std::string::npos) {
                std::string line = pending_.substr(0, lf);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                query_.push_back(line);
                pending_.erase(0, lf + 1);
            }
            matches_ = resolve(source_, query_);
        }
        if (auto best = select(source_, matches_, hint_)) return best;
        if (!matches_.empty()) return matches_[0];
        return std::nullopt;
    }

    Ranges finish() {
        if (!pending_.empty()) {
            query_.push_back(pending_);
            pending_.clear();
            matches_ = resolve(source_, query_);
        }
        return matches_;
    }

    std::optional<MatchRange> select_best_match() const { return select(source_, matches_, hint_); }
    const std::vector<std::string>& query_lines() const { return query_; }
    const Ranges& matches() const { return matches_; }

private:
    std::vector<std::string> source_;
    std::vector<std::string> query_;
    std::string pending_;
    Ranges matches_;
    std::optional<std::uint32_t> hint_;
};

}  // namespace brindle::streaming::ref
