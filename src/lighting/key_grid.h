#pragma once

#include <cstdint>
#include <string>

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

// The key matrix with its active size and the points of the spectrum picture
// each row and column samples. Its capacity never changes, so no index derived
// from the active size can leave the arrays once the size is clamped.
struct KeyGrid {
    KeyCell cells[kMaxKeyRows][kMaxKeyCols];
    Relaxed<int32_t> m_nKeyRows{5};
    Relaxed<int32_t> m_nKeyCols{65};
    Relaxed<int32_t> m_rowSample[kMaxKeyRows];
    Relaxed<int32_t> m_colSample[kMaxKeyCols];

    KeyCell& Cell(int row, int col) { return cells[row][col]; }
    const KeyCell& Cell(int row, int col) const { return cells[row][col]; }

    // The active size, limited to the capacity (a fresh grid or a layout keeps
    // it inside already; this guards readers that must never leave the arrays).
    int ActiveRows() const;
    int ActiveCols() const;

    void ComputeSampleCoordinates();
};

// The identity of the last layout received. The default pair names the
// reference keyboard until a layout replaces it.
struct LayoutIdentity {
    static constexpr int32_t kDefaultVendorId = 0x320F;
    static constexpr int32_t kDefaultProductId = 0x5055;

    std::u16string m_strLayoutName;
    Relaxed<int32_t> m_nVendorId{kDefaultVendorId};
    Relaxed<int32_t> m_nProductId{kDefaultProductId};
    Relaxed<int32_t> m_nDeviceMode{0};
};
