// The key matcher: which field the member at each position of a record names.
//
// The records of one answer list their members in one order nearly always:
// the key at a position is usually the one seen there in the record before,
// recognised with one comparison instead of a search among the fields.  The
// dict reader (MemberReader) and the JSON reader both learn positions here.
#pragma once

#include <utility>

namespace norvix {

template <class Key>
class KeyMatcher {
public:
    static constexpr int kPositions = 64;
    static constexpr int kUnknown = -1000;  // below every field number a reader uses

    // The field learned for `position`, when `same(key learned there)`; else kUnknown.
    template <class Same>
    int recall(int position, Same&& same) const noexcept {
        return position < count_ && same(keys_[position]) ? fields_[position] : kUnknown;
    }

    // `key` at `position` names `field`; positions past kPositions are not kept.
    void learn(int position, Key key, int field) noexcept {
        if (position >= kPositions) return;
        if (position >= count_) count_ = position + 1;
        keys_[position] = std::move(key);
        fields_[position] = field;
    }

    void forget() noexcept {
        for (int i = 0; i < count_; ++i) keys_[i] = Key();
        count_ = 0;
    }

private:
    Key keys_[kPositions] = {};
    int fields_[kPositions] = {};
    int count_ = 0;  // positions learned
};

}  // namespace norvix
