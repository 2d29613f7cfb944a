// Character properties and full lower-casing on top of the generated tables in
// unicode_tables.cpp.
//
// Final_Sigma: capital sigma (U+03A3) lower-cases to final sigma (U+03C2) when
//     cased  case-ignorable*  U+03A3  !(case-ignorable*  cased)
// and to U+03C3 otherwise. A character that is both cased and case-ignorable (U+0345) is
// skipped like any case-ignorable one. The look-behind is kept as a running state of the scan;
// the look-ahead stops at the first character that is not case-ignorable, so every character
// is looked at a bounded number of times and the whole conversion stays linear.
#include "core/unicode.hpp"

#include <cstddef>
#include <string>
#include <string_view>

#include "core/unicode_tables.hpp"
#include "core/utf8.hpp"

namespace brindle::unicode {

namespace detail {

bool is_white_space_non_ascii(char32_t cp) {
    return (char_record(cp).flags & kFlagWhiteSpace) != 0;
}

char32_t lower_first_non_ascii(char32_t cp) {
    return apply_delta(cp, char_record(cp).lower_delta);
}

char32_t upper_first_non_ascii(char32_t cp) {
    return apply_delta(cp, char_record(cp).upper_delta);
}

}  // namespace detail

namespace {

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kFinalSigma = 0x03C2;

// True when no cased character follows position `pos` once case-ignorable ones are skipped.
bool no_cased_follows(std::string_view text, std::size_t pos) {
    while (pos < text.size()) {
        const auto& record = detail::char_record(utf8::decode_at(text, pos));
        if ((record.flags & detail::kFlagCaseIgnorable) == 0) {
            return (record.flags & detail::kFlagCased) == 0;
        }
    }
    return true;
}

}  // namespace

std::string to_lower_full(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    // Whether the last character that is not case-ignorable exists and is cased.
    bool after_cased = false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto byte = static_cast<unsigned char>(text[pos]);
        if (byte < 0x80) {
            // ASCII without a table lookup: letters are cased and a few marks are case-ignorable.
            const bool upper = byte >= 'A' && byte <= 'Z';
            const bool lower = byte >= 'a' && byte <= 'z';
            out.push_back(static_cast<char>(upper ? byte + 32 : byte));
            if (upper || lower) {
                after_cased = true;
            } else if (!detail::is_ascii_case_ignorable(byte)) {
                after_cased = false;
            }
            ++pos;
            continue;
        }
        const char32_t cp = utf8::decode_at(text, pos);
        const auto& record = detail::char_record(cp);
        if (cp == kCapitalSigma) {
            utf8::append(out, after_cased && no_cased_follows(text, pos) ? kFinalSigma : kSmallSigma);
        } else {
            utf8::append(out, detail::apply_delta(cp, record.lower_delta));
            const char32_t* tail = detail::lower_tail(record);
            for (std::size_t k = 0; k < record.tail_length; ++k) utf8::append(out, tail[k]);
        }
        if ((record.flags & detail::kFlagCaseIgnorable) == 0) {
            after_cased = (record.flags & detail::kFlagCased) != 0;
        }
    }
    return out;
}

// One character of to_lower_full's loop above: its mapping's first code point goes to `out`, the
// rest (if any) is left in the tail.
bool LowerCaseReader::next_character(char32_t& out) {
    if (pos_ >= text_.size()) return false;
    const auto byte = static_cast<unsigned char>(text_[pos_]);
    if (byte < 0x80) {
        ++pos_;
        const bool upper = byte >= 'A' && byte <= 'Z';
        const bool lower = byte >= 'a' && byte <= 'z';
        if (upper || lower) {
            after_cased_ = true;
        } else if (!detail::is_ascii_case_ignorable(byte)) {
            after_cased_ = false;
        }
        out = upper ? char32_t{byte} + 32 : char32_t{byte};
        return true;
    }
    const char32_t cp = utf8::decode_at(text_, pos_);
    const auto& record = detail::char_record(cp);
    if (cp == kCapitalSigma) {
        out = after_cased_ && no_cased_follows(text_, pos_) ? kFinalSigma : kSmallSigma;
    } else {
        out = detail::apply_delta(cp, record.lower_delta);
        tail_ = detail::lower_tail(record);
        tail_left_ = record.tail_length;
    }
    if ((record.flags & detail::kFlagCaseIgnorable) == 0) {
        after_cased_ = (record.flags & detail::kFlagCased) != 0;
    }
    return true;
}

}  // namespace brindle::unicode
