// PrefixCheck: compares a text that arrives in pieces with an expected text, so that a candidate
// window can be rejected at its first differing byte without being built.
#pragma once

#include <cstddef>
#include <string_view>

namespace brindle::replacer {

class PrefixCheck {
public:
    explicit PrefixCheck(std::string_view expected) : expected_(expected) {}

    // Takes the next piece; false when it does not continue the expected text. A refused piece is
    // not taken (the position stays where it was), so the caller stops at the first false.
    bool operator()(std::string_view piece) {
        if (expected_.size() - pos_ < piece.size() ||
            expected_.compare(pos_, piece.size(), piece) != 0) {
            return false;
        }
        pos_ += piece.size();
        return true;
    }

    // True when the pieces taken so far spell the whole expected text.
    bool complete() const { return pos_ == expected_.size(); }

private:
    std::string_view expected_;
    std::size_t pos_ = 0;
};

}  // namespace brindle::replacer
