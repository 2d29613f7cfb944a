// Plain forms of the matching strategies, transcribed from their definitions for the tests and
// fuzz targets to compare the strategies against: every window is joined, every line trimmed,
// every text transformed as a whole and compared, every candidate built. Slow on purpose. The
// names live in their own namespace, beside the other plain forms of brindle::reference.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "block_similarity.hpp"
#include "core/edit_distance.hpp"
#include "core/text.hpp"
#include "core/unicode.hpp"
#include "core/utf8.hpp"

namespace brindle::reference::strategies {

using Lines = std::vector<std::string_view>;
using Texts = std::vector<std::string>;  // candidate texts, in order

// --- simple ---

inline Texts simple(std::string_view content, std::string_view old_string) {
    if (content.find(old_string) == std::string_view::npos) return {};
    return {std::string(old_string)};
}

// --- line_trimmed and trimmed_boundary ---

// Plain transcription: every window joined, every line trimmed.
inline Texts line_trimmed(std::string_view content, std::string_view old_string) {
    const auto lines = text::split_lines(content);
    auto search = text::split_lines(old_string);
    if (!search.empty() && search.back().empty()) search.pop_back();
    const std::size_t n = lines.size();
    const std::size_t m = search.size();
    Texts out;
    if (m == 0 || n < m) return out;
    for (std::size_t i = 0; i <= n - m; ++i) {
        bool match = true;
        for (std::size_t j = 0; j < m; ++j) {
            if (text::trim(lines[i + j]) != text::trim(search[j])) match = false;
        }
        if (match) out.push_back(text::join_lines(lines, i, m));
    }
    return out;
}

// Plain transcription: every window joined, then trimmed.
inline Texts trimmed_boundary(std::string_view content, std::string_view old_string) {
    const std::string_view t = text::trim(old_string);
    Texts out;
    if (t == old_string) return out;
    if (text::contains(content, t)) out.emplace_back(t);
    const auto lines = text::split_lines(content);
    const std::size_t m = text::split_lines(old_string).size();
    const std::size_t n = lines.size();
    if (m >= 1 && n >= m) {
        for (std::size_t i = 0; i <= n - m; ++i) {
            const std::string block = text::join_lines(lines, i, m);
            if (text::trim(block) == t && std::find(out.begin(), out.end(), block) == out.end()) {
                out.push_back(block);
            }
        }
    }
    return out;
}

inline std::string replace_all(std::string s, std::string_view from, std::string_view to) {
    std::string out;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t hit = s.find(from, pos);
        if (hit == std::string::npos) break;
        out.append(s, pos, hit - pos);
        out.append(to);
        pos = hit + from.size();
    }
    out.append(s, pos, std::string::npos);
    return out;
}

inline std::string join(const Lines& lines, std::size_t begin, std::size_t count) {
    std::string out;
    for (std::size_t k = 0; k < count; ++k) {
        if (k > 0) out.push_back('\n');
        out.append(lines[begin + k]);
    }
    return out;
}

inline bool contains(const Texts& list, std::string_view s) {
    return std::find(list.begin(), list.end(), s) != list.end();
}

// --- whitespace_normalized ---

inline std::string normalize_whitespace(std::string_view text) {
    std::string out;
    bool flag = true;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t start = pos;
        const char32_t cp = utf8::decode_at(text, pos);
        if (unicode::is_white_space(cp)) {
            if (!flag) out.push_back(' ');
            flag = true;
        } else {
            out.append(text.substr(start, pos - start));
            flag = false;
        }
    }
    if (!out.empty() && out.back() == ' ') out.pop_back();
    for (char c : std::string_view(":;,()[]{}")) {
        out = replace_all(out, std::string(" ") + c, std::string(1, c));
        out = replace_all(out, std::string(1, c) + " ", std::string(1, c));
    }
    return out;
}

inline Texts whitespace_normalized(std::string_view content, std::string_view old_string) {
    const std::string target = normalize_whitespace(old_string);
    if (normalize_whitespace(content) == target) return {std::string(content)};
    const Lines lines = text::split_lines(content);
    const std::size_t n = lines.size();
    const std::size_t f = text::split_lines(old_string).size();
    Texts out;
    if (f < 2 || n < f) {
        for (std::string_view line : lines) {
            if (normalize_whitespace(line) == target && !contains(out, line)) {
                out.emplace_back(line);
            }
        }
        return out;
    }
    for (std::size_t i = 0; i + f <= n; ++i) {
        const std::string block = join(lines, i, f);
        if (normalize_whitespace(block) == target && !contains(out, block)) out.push_back(block);
    }
    return out;
}

// --- indentation_flexible ---

// Empty when the common indentation would cut a character in two.
inline std::optional<std::string> remove_common_indentation(std::string_view text) {
    const Lines lines = text::split_lines(text);
    std::vector<std::size_t> indents;
    for (std::string_view line : lines) {
        if (!text::is_blank(line)) indents.push_back(line.size() - text::trim_start(line).size());
    }
    if (indents.empty()) return std::string(text);
    const std::size_t min_indent = *std::min_element(indents.begin(), indents.end());
    Lines out;
    for (std::string_view line : lines) {
        if (text::is_blank(line)) {
            out.push_back(line);
        } else {
            if (!utf8::is_boundary(line, min_indent)) return std::nullopt;
            out.push_back(line.substr(min_indent));
        }
    }
    return join(out, 0, out.size());
}

inline Texts indentation_flexible(std::string_view content, std::string_view old_string) {
    const std::optional<std::string> target = remove_common_indentation(old_string);
    if (!target) return {};
    const Lines lines = text::split_lines(content);
    const std::size_t n = lines.size();
    const std::size_t m = text::split_lines(old_string).size();
    if (m == 0 || n < m) return {};
    Texts out;
    for (std::size_t i = 0; i + m <= n; ++i) {
        const std::string block = join(lines, i, m);
        if (remove_common_indentation(block) == target) out.push_back(block);
    }
    return out;
}

// --- escape_normalized ---

inline std::string unescape_string(std::string_view text) {
    static const std::pair<const char*, const char*> kTable[] = {
        {"\\n", "\n"},  {"\\t", "\t"}, {"\\r", "\r"}, {"\\'", "'"},
        {"\\\"", "\""}, {"\\`", "`"},  {"\\$", "$"},  {"\\\\", "\\"},
    };
    std::string out(text);
    for (const auto& [from, to] : kTable) out = replace_all(out, from, to);
    return out;
}

inline Texts escape_normalized(std::string_view content, std::string_view old_string) {
    const std::string target = unescape_string(old_string);
    Texts out;
    if (content.find(target) != std::string_view::npos) out.push_back(target);
    const Lines lines = text::split_lines(content);
    const std::size_t n = lines.size();
    const std::size_t m = text::split_lines(target).size();
    if (m >= 1 && n >= m) {
        for (std::size_t i = 0; i + m <= n; ++i) {
            const std::string block = join(lines, i, m);
            if (unescape_string(block) == target && !contains(out, block)) out.push_back(block);
        }
    }
    return out;
}

// --- context_aware ---

inline Texts context_aware(std::string_view content, std::string_view old_string) {
    Lines search = text::split_lines(old_string);
    if (search.size() < 3) return {};
    const Lines lines = text::split_lines(content);
    const std::size_t n = lines.size();
    if (search.back().empty()) search.pop_back();
    const std::string_view first = text::trim(search.front());
    const std::string_view last = text::trim(search.back());
    const std::size_t size = search.size();
    Texts out;
    for (std::size_t i = 0; i < n; ++i) {
        if (text::trim(lines[i]) != first) continue;
        if (!(i + 2 < n)) continue;
        for (std::size_t k = i + 2; k < n; ++k) {
            if (text::trim(lines[k]) != last) continue;
            if (k - i + 1 == size) {
                int total = 0;
                int matching = 0;
                for (std::size_t j = 1; j + 1 < size; ++j) {
                    const std::string_view x = text::trim(lines[i + j]);
                    const std::string_view y = text::trim(search[j]);
                    if (x.empty() && y.empty()) continue;
                    ++total;
                    if (x == y) ++matching;
                }
                if (total == 0 || static_cast<double>(matching) / total >= 0.5) {
                    out.push_back(join(lines, i, k - i + 1));
                }
            }
            break;
        }
    }
    return out;
}

// --- block_anchor ---

// Block similarity from its definition (block_similarity.hpp).
inline double block_similarity(const Lines& content, const Lines& search, std::size_t start,
                               std::size_t end, std::size_t search_size) {
    return ::brindle::reference::block_similarity(content, search, start, end, search_size);
}

inline Texts block_anchor(std::string_view content, std::string_view old_string) {
    const Lines lines = text::split_lines(content);
    Lines search = text::split_lines(old_string);
    if (search.size() < 3) return {};
    if (search.back().empty()) search.pop_back();
    const std::string_view first = text::trim(search.front());
    const std::string_view last = text::trim(search.back());
    const std::size_t n = lines.size();
    std::vector<std::pair<std::size_t, std::size_t>> pairs;
    for (std::size_t i = 0; i < n; ++i) {
        if (text::trim(lines[i]) != first) continue;
        for (std::size_t j = i + 2; j < n; ++j) {
            if (text::trim(lines[j]) == last) {
                pairs.emplace_back(i, j);
                break;
            }
        }
    }
    if (pairs.empty()) return {};
    auto block = [&](std::pair<std::size_t, std::size_t> p) {
        return join(lines, p.first, p.second - p.first + 1);
    };
    if (pairs.size() == 1) {
        const double score =
            block_similarity(lines, search, pairs[0].first, pairs[0].second, search.size());
        return score >= 0.0 ? Texts{block(pairs[0])} : Texts{};
    }
    double best_score = -1.0;
    std::optional<std::pair<std::size_t, std::size_t>> best;
    for (auto p : pairs) {
        const double score = block_similarity(lines, search, p.first, p.second, search.size());
        if (score > best_score) {
            best_score = score;
            best = p;
        }
    }
    if (best && best_score >= 0.3) return {block(*best)};
    return {};
}

// The strategies by name, in no particular order.
struct NamedStrategy {
    std::string_view name;
    Texts (*find)(std::string_view content, std::string_view old_string);
};

inline constexpr NamedStrategy kStrategies[] = {
    {"simple", simple},
    {"line_trimmed", line_trimmed},
    {"block_anchor", block_anchor},
    {"whitespace_normalized", whitespace_normalized},
    {"indentation_flexible", indentation_flexible},
    {"escape_normalized", escape_normalized},
    {"trimmed_boundary", trimmed_boundary},
    {"context_aware", context_aware},
};

}  // namespace brindle::reference::strategies
