#include "imaging/ops/palette_search.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "imaging/error.h"

namespace rastel::imaging {

PaletteSearch::PaletteSearch(std::vector<Rgb> palette)
    : palette_(std::move(palette)), cache_(new std::uint32_t[std::size_t{1} << 18]), filled_(std::size_t{1} << 12, 0) {
    if (palette_.size() > 256) fail("palette search", "more than 256 entries");
}

int PaletteSearch::nearestExact(int r, int g, int b) const {
    int best = 0;
    long bestD = -1;
    for (std::size_t i = 0; i < palette_.size(); ++i) {
        const long dr = palette_[i].r - r, dg = palette_[i].g - g, db = palette_[i].b - b;
        const long d = dr * dr + dg * dg + db * db;
        if (bestD < 0 || d < bestD) {
            bestD = d;
            best = static_cast<int>(i);
            if (d == 0) break;
        }
    }
    return best;
}

void PaletteSearch::fillBlock(std::size_t block) {
    // Doubled coordinates keep the cell centres (4 c + 1.5) integral: cell c's
    // centre is at 8 c + 3, so the block's centres run from lo to lo + 24.
    const int lo[3] = {static_cast<int>(block >> 8) * 32 + 3, static_cast<int>((block >> 4) & 15) * 32 + 3,
                       static_cast<int>(block & 15) * 32 + 3};
    // Whichever centre of the block, its nearest entry is no farther than the
    // entry whose farthest distance from the block is least. Entries that stay
    // beyond that distance from the whole block are left out; every entry at a
    // centre's least distance passes, so exact ties still see them all.
    int closest[256];
    int bound = INT_MAX;
    for (std::size_t i = 0; i < palette_.size(); ++i) {
        const int v[3] = {2 * palette_[i].r, 2 * palette_[i].g, 2 * palette_[i].b};
        int least = 0, most = 0;
        for (int k = 0; k < 3; ++k) {
            const int below = lo[k] - v[k], above = v[k] - (lo[k] + 24);
            const int outside = std::max({below, above, 0});
            const int far = std::max(std::abs(below), std::abs(above));
            least += outside * outside;
            most += far * far;
        }
        closest[i] = least;
        bound = std::min(bound, most);
    }
    // Every centre against the remaining entries in index order, so that an
    // exact tie keeps the lowest index.
    int bestD[64], best[64] = {};
    std::fill(std::begin(bestD), std::end(bestD), INT_MAX);
    for (std::size_t i = 0; i < palette_.size(); ++i) {
        if (closest[i] > bound) continue;
        const int v[3] = {2 * palette_[i].r, 2 * palette_[i].g, 2 * palette_[i].b};
        int dr[4], dg[4], db[4];
        for (int c = 0; c < 4; ++c) {
            dr[c] = (v[0] - lo[0] - 8 * c) * (v[0] - lo[0] - 8 * c);
            dg[c] = (v[1] - lo[1] - 8 * c) * (v[1] - lo[1] - 8 * c);
            db[c] = (v[2] - lo[2] - 8 * c) * (v[2] - lo[2] - 8 * c);
        }
        const int index = static_cast<int>(i);
        for (int cell = 0; cell < 64; ++cell) {
            const int d = dr[cell >> 4] + dg[(cell >> 2) & 3] + db[cell & 3];
            best[cell] = d < bestD[cell] ? index : best[cell];
            bestD[cell] = std::min(d, bestD[cell]);
        }
    }
    std::uint32_t* out = cache_.get() + (block << 6);
    for (int cell = 0; cell < 64; ++cell) {
        const Rgb c = palette_.empty() ? Rgb{} : palette_[static_cast<std::size_t>(best[cell])];
        out[cell] = static_cast<std::uint32_t>(best[cell]) | (std::uint32_t{c.r} << 8) | (std::uint32_t{c.g} << 16) |
                    (std::uint32_t{c.b} << 24);
    }
    filled_[block] = 1;
}

double PaletteSearch::typicalGap() const {
    if (palette_.size() < 2) return 0.0;
    double sum = 0;
    for (std::size_t i = 0; i < palette_.size(); ++i) {
        long closest = -1;
        for (std::size_t j = 0; j < palette_.size(); ++j) {
            if (i == j) continue;
            const long dr = palette_[i].r - palette_[j].r, dg = palette_[i].g - palette_[j].g,
                       db = palette_[i].b - palette_[j].b;
            const long d = dr * dr + dg * dg + db * db;
            if (closest < 0 || d < closest) closest = d;
        }
        sum += std::sqrt(static_cast<double>(closest));
    }
    return sum / static_cast<double>(palette_.size());
}

}  // namespace rastel::imaging
