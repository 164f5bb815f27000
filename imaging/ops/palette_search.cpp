#include "imaging/ops/palette_search.h"

#include <cmath>
#include <utility>

namespace rastel::imaging {

PaletteSearch::PaletteSearch(std::vector<Rgb> palette)
    : palette_(std::move(palette)), cache_(std::size_t{1} << 18, -1) {}

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

int PaletteSearch::nearestToCellCentre(int cr, int cg, int cb) const {
    // Doubled coordinates keep the centre (4 c + 1.5) integral.
    const long r2 = 8L * cr + 3, g2 = 8L * cg + 3, b2 = 8L * cb + 3;
    int best = 0;
    long bestD = -1;
    for (std::size_t i = 0; i < palette_.size(); ++i) {
        const long dr = 2L * palette_[i].r - r2, dg = 2L * palette_[i].g - g2, db = 2L * palette_[i].b - b2;
        const long d = dr * dr + dg * dg + db * db;
        if (bestD < 0 || d < bestD) {
            bestD = d;
            best = static_cast<int>(i);
        }
    }
    return best;
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
