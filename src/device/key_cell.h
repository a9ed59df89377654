#pragma once

#include <cstdint>

#include "base/relaxed.h"

constexpr int kMaxKeyRows = 10;
constexpr int kMaxKeyCols = 100;

// One matrix position of the keyboard. The layout route rewrites cells while the
// lighting thread colours them, so every field is a word of its own.
struct KeyCell {
    Relaxed<int32_t> row;
    Relaxed<int32_t> col;
    Relaxed<int32_t> keyCode;   // > 0 sent to the keyboard, 0 no key, < 0 left out of the effect reply
    Relaxed<int32_t> keyIndex;  // entry in the keyboard's key colour table
    Relaxed<uint32_t> color;    // 0x00BBGGRR
};
