// IndexTable: a growing sequence of byte offsets, line indices or counts into one content, held in
// 32 bits per value while every value fits and in 64 bits from the first value that does not.
//
// The per-line tables of a replacement call (where each line starts, which windows are
// candidates) then cost 4 bytes per line instead of the 8 or 16 of a size_t or a string_view, for
// any content under 4 GiB; a larger content still works, with the wide form. The limit of the
// narrow form can be lowered, so that tests reach the switch with small inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace brindle::replacer {

class IndexTable {
public:
    static constexpr std::uint64_t kNarrowMax = 0xFFFF'FFFFu;

    IndexTable() = default;
    // Values up to `narrow_max` (at most kNarrowMax) are held in 32 bits.
    explicit IndexTable(std::uint64_t narrow_max)
        : narrow_max_(narrow_max < kNarrowMax ? narrow_max : kNarrowMax) {}

    void reserve(std::size_t count) {
        if (wide_) {
            wide_values_.reserve(count);
        } else {
            narrow_values_.reserve(count);
        }
    }

    void push_back(std::size_t value) {
        if (!wide_) {
            if (value <= narrow_max_) {
                narrow_values_.push_back(static_cast<std::uint32_t>(value));
                return;
            }
            widen();
        }
        wide_values_.push_back(value);
    }

    std::size_t operator[](std::size_t k) const { return wide_ ? wide_values_[k] : narrow_values_[k]; }
    std::size_t size() const { return wide_ ? wide_values_.size() : narrow_values_.size(); }
    bool empty() const { return size() == 0; }
    // Whether the values are held in 64 bits.
    bool wide() const { return wide_; }

private:
    void widen() {
        wide_values_.reserve(narrow_values_.capacity());
        wide_values_.assign(narrow_values_.begin(), narrow_values_.end());
        std::vector<std::uint32_t>().swap(narrow_values_);
        wide_ = true;
    }

    std::uint64_t narrow_max_ = kNarrowMax;
    bool wide_ = false;
    std::vector<std::uint32_t> narrow_values_;
    std::vector<std::size_t> wide_values_;
};

}  // namespace brindle::replacer
