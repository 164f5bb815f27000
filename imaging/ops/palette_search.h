#pragma once

#include <cstdint>
#include <vector>

#include "imaging/image.h"

namespace rastel::imaging {

// Nearest palette entry (squared RGB distance) for many lookups: answers are
// cached per cell of a 64x64x64 grid (6 bits per channel), each cell holding the
// entry nearest to its centre, filled on first use. Lookups are therefore
// exact to within half a cell (2 levels per channel).
class PaletteSearch {
public:
    explicit PaletteSearch(std::vector<Rgb> palette);

    int nearest(int r, int g, int b) {
        const std::size_t cell = static_cast<std::size_t>(((r >> 2) << 12) | ((g >> 2) << 6) | (b >> 2));
        std::int16_t& hit = cache_[cell];
        if (hit < 0) hit = static_cast<std::int16_t>(nearestToCellCentre(r >> 2, g >> 2, b >> 2));
        return hit;
    }
    // Exact search without the cache.
    int nearestExact(int r, int g, int b) const;
    // Mean distance from each entry to its closest neighbour: the step an
    // ordered dither spreads values over. 0 for a single entry.
    double typicalGap() const;

private:
    int nearestToCellCentre(int cr, int cg, int cb) const;

    std::vector<Rgb> palette_;
    std::vector<std::int16_t> cache_;
};

}  // namespace rastel::imaging
