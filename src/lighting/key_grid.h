#pragma once

#include <cstdint>
#include <string>

#include "base/relaxed.h"
#include "device/key_cell.h"

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
