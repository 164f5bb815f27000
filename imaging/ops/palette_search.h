#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "imaging/image.h"

namespace rastel::imaging {

// Nearest palette entry (squared RGB distance) for many lookups: answers are
// cached per cell of a 64x64x64 grid (6 bits per channel), each cell holding the
// entry nearest to its centre. Lookups are therefore exact to within half a
// cell (2 levels per channel). The cache is filled a block of 4x4x4 cells at a
// time, on the first lookup in the block; a block's 64 cells lie side by side.
// At most 256 entries.
class PaletteSearch {
public:
    explicit PaletteSearch(std::vector<Rgb> palette);

    int nearest(int r, int g, int b) { return static_cast<int>(nearestEntry(r, g, b) & 0xFF); }
    // The nearest entry's index in the low byte and its red, green and blue in
    // the three above: a caller that needs the colour too waits for one read.
    std::uint32_t nearestEntry(int r, int g, int b) {
        const auto block = static_cast<std::size_t>(((r >> 4) << 8) | ((g >> 4) << 4) | (b >> 4));
        if (!filled_[block]) fillBlock(block);
        const auto cell = static_cast<std::size_t>((((r >> 2) & 3) << 4) | (((g >> 2) & 3) << 2) | ((b >> 2) & 3));
        return cache_[(block << 6) | cell];
    }
    // Exact search without the cache.
    int nearestExact(int r, int g, int b) const;
    // Mean distance from each entry to its closest neighbour: the step an
    // ordered dither spreads values over. 0 for a single entry.
    double typicalGap() const;

private:
    void fillBlock(std::size_t block);

    std::vector<Rgb> palette_;
    // Left uninitialised: a block is written before it is read, and the pages
    // of blocks never looked up are never touched.
    std::unique_ptr<std::uint32_t[]> cache_;
    std::vector<std::uint8_t> filled_;
};

}  // namespace rastel::imaging
