#include "imaging/ops/quantise.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <unordered_map>

namespace rastel::imaging {

namespace {

// Wu-style variance-minimising box splitting.
//
// Colours are counted in a 32x32x32 grid. Each channel's 32 bins evenly cover
// the range that channel actually spans in the picture, so a dark or pale
// picture gets as fine a grid as a full-range one. Each cell keeps its pixel
// count, the sums of R, G and B and the sum of R^2+G^2+B^2 of the full 8-bit
// values, so box means and variances are exact for the pixels in the box. A
// zero border (index 0 on every axis) lets cumulative sums answer "moments of
// any box" with eight lookups.

constexpr int kSide = 33;
constexpr std::size_t kCells = kSide * kSide * kSide;

constexpr std::size_t cellAt(int r, int g, int b) { return static_cast<std::size_t>((r * kSide + g) * kSide + b); }

struct Histogram {
    std::vector<std::int64_t> w, r, g, b, sq;
    Histogram() : w(kCells), r(kCells), g(kCells), b(kCells), sq(kCells) {}
};

Histogram countColours(const Image& rgb) {
    // Each channel's least and greatest value. A row's bytes are taken 48 at
    // a time (16 pixels) into per-lane minima and maxima, which the compiler
    // does with vector instructions; lane i belongs to channel i % 3.
    std::uint8_t laneLo[48], laneHi[48];
    std::fill(std::begin(laneLo), std::end(laneLo), std::uint8_t{255});
    std::fill(std::begin(laneHi), std::end(laneHi), std::uint8_t{0});
    int lo[3] = {255, 255, 255}, hi[3] = {0, 0, 0};
    const std::size_t rowBytes = 3 * static_cast<std::size_t>(rgb.width());
    for (int y = 0; y < rgb.height(); ++y) {
        const std::uint8_t* s = rgb.row(y);
        std::size_t i = 0;
        for (; i + 48 <= rowBytes; i += 48) {
            std::uint8_t chunk[48];
            std::memcpy(chunk, s + i, 48);
            for (std::size_t j = 0; j < 48; ++j) {
                laneLo[j] = std::min(laneLo[j], chunk[j]);
                laneHi[j] = std::max(laneHi[j], chunk[j]);
            }
        }
        for (; i < rowBytes; ++i) {
            lo[i % 3] = std::min<int>(lo[i % 3], s[i]);
            hi[i % 3] = std::max<int>(hi[i % 3], s[i]);
        }
    }
    for (std::size_t j = 0; j < 48; ++j) {
        lo[j % 3] = std::min<int>(lo[j % 3], laneLo[j]);
        hi[j % 3] = std::max<int>(hi[j % 3], laneHi[j]);
    }
    for (int k = 0; k < 3; ++k) hi[k] = std::max(hi[k], lo[k]);  // no pixels: one value
    // Bin (1-based) of each value per channel.
    std::uint8_t bin[3][256] = {};
    for (int k = 0; k < 3; ++k) {
        const int span = std::max(hi[k] - lo[k] + 1, 1);
        for (int v = lo[k]; v <= hi[k]; ++v) bin[k][v] = static_cast<std::uint8_t>(1 + (v - lo[k]) * 32 / span);
    }
    // Each value's part of the cell index, so that a cell is found with two additions.
    std::uint32_t part[3][256];
    for (int v = 0; v < 256; ++v) {
        part[0][v] = static_cast<std::uint32_t>(cellAt(bin[0][v], 0, 0));
        part[1][v] = static_cast<std::uint32_t>(cellAt(0, bin[1][v], 0));
        part[2][v] = bin[2][v];
    }
    Histogram h;
    for (int y = 0; y < rgb.height(); ++y) {
        const std::uint8_t* s = rgb.row(y);
        for (int x = 0; x < rgb.width(); ++x, s += 3) {
            const int r = s[0], g = s[1], b = s[2];
            const std::size_t c = part[0][r] + part[1][g] + part[2][b];
            ++h.w[c];
            h.r[c] += r;
            h.g[c] += g;
            h.b[c] += b;
            h.sq[c] += r * r + g * g + b * b;
        }
    }
    return h;
}

// In place: m[r][g][b] becomes the sum over all cells at or below (r, g, b).
void accumulate(std::vector<std::int64_t>& m) {
    for (int r = 1; r < kSide; ++r)
        for (int g = 1; g < kSide; ++g)
            for (int b = 1; b < kSide; ++b) m[cellAt(r, g, b)] += m[cellAt(r, g, b - 1)];
    for (int r = 1; r < kSide; ++r)
        for (int g = 1; g < kSide; ++g)
            for (int b = 1; b < kSide; ++b) m[cellAt(r, g, b)] += m[cellAt(r, g - 1, b)];
    for (int r = 1; r < kSide; ++r)
        for (int g = 1; g < kSide; ++g)
            for (int b = 1; b < kSide; ++b) m[cellAt(r, g, b)] += m[cellAt(r - 1, g, b)];
}

// A box of cells: lower bounds exclusive, upper bounds inclusive.
struct Box {
    int lo[3] = {0, 0, 0};
    int hi[3] = {32, 32, 32};
    int cells() const { return (hi[0] - lo[0]) * (hi[1] - lo[1]) * (hi[2] - lo[2]); }
};

std::int64_t boxSum(const Box& x, const std::vector<std::int64_t>& m) {
    return m[cellAt(x.hi[0], x.hi[1], x.hi[2])] - m[cellAt(x.hi[0], x.hi[1], x.lo[2])] -
           m[cellAt(x.hi[0], x.lo[1], x.hi[2])] + m[cellAt(x.hi[0], x.lo[1], x.lo[2])] -
           m[cellAt(x.lo[0], x.hi[1], x.hi[2])] + m[cellAt(x.lo[0], x.hi[1], x.lo[2])] +
           m[cellAt(x.lo[0], x.lo[1], x.hi[2])] - m[cellAt(x.lo[0], x.lo[1], x.lo[2])];
}

struct BoxStats {
    double w = 0, r = 0, g = 0, b = 0;
    double spread() const { return w > 0 ? (r * r + g * g + b * b) / w : 0.0; }
};

class BoxSplitter {
public:
    explicit BoxSplitter(Histogram& h) : h_(h) {
        accumulate(h_.w);
        accumulate(h_.r);
        accumulate(h_.g);
        accumulate(h_.b);
        accumulate(h_.sq);
    }

    BoxStats stats(const Box& x) const {
        return {static_cast<double>(boxSum(x, h_.w)), static_cast<double>(boxSum(x, h_.r)),
                static_cast<double>(boxSum(x, h_.g)), static_cast<double>(boxSum(x, h_.b))};
    }

    // Sum of squared distances of the box's pixels from their mean.
    double variance(const Box& x) const {
        if (x.cells() <= 1) return 0.0;  // cannot be split further
        const BoxStats s = stats(x);
        return s.w > 0 ? static_cast<double>(boxSum(x, h_.sq)) - s.spread() : 0.0;
    }

    // Splits `a` where the summed variance of the two halves is least (the
    // between-halves term is largest); the upper half goes to `b`.
    bool split(Box& a, Box& b) const {
        const BoxStats whole = stats(a);
        double best = -1;
        int bestAxis = -1, bestCut = 0;
        for (int axis = 0; axis < 3; ++axis) {
            for (int cut = a.lo[axis] + 1; cut < a.hi[axis]; ++cut) {
                Box lower = a;
                lower.hi[axis] = cut;
                const BoxStats l = stats(lower);
                const BoxStats u{whole.w - l.w, whole.r - l.r, whole.g - l.g, whole.b - l.b};
                if (l.w <= 0 || u.w <= 0) continue;
                const double score = l.spread() + u.spread();
                if (score > best) {
                    best = score;
                    bestAxis = axis;
                    bestCut = cut;
                }
            }
        }
        if (bestAxis < 0) return false;
        b = a;
        a.hi[bestAxis] = bestCut;
        b.lo[bestAxis] = bestCut;
        return true;
    }

private:
    Histogram& h_;
};

struct CellColour {
    double r, g, b, w;  // sums of the cell's pixels and their count
};

// k-means on the occupied histogram cells, weighted by their pixel counts;
// a few rounds move the box means towards where the pixels really are.
//
// The nearest entry (the lowest index among equally near ones) is searched
// outwards from the cell's red value through the entries sorted by red, each
// way until red alone is farther than the best distance so far.
void refine(std::vector<Rgb>& pal, const std::vector<CellColour>& cells, int rounds) {
    std::vector<double> acc(pal.size() * 4);
    std::vector<std::size_t> byRed(pal.size());
    std::vector<int> reds(pal.size());
    for (int round = 0; round < rounds; ++round) {
        std::fill(acc.begin(), acc.end(), 0.0);
        std::iota(byRed.begin(), byRed.end(), std::size_t{0});
        std::sort(byRed.begin(), byRed.end(), [&pal](std::size_t a, std::size_t b) { return pal[a].r < pal[b].r; });
        for (std::size_t k = 0; k < pal.size(); ++k) reds[k] = pal[byRed[k]].r;
        for (const CellColour& c : cells) {
            const double mr = c.r / c.w, mg = c.g / c.w, mb = c.b / c.w;
            std::size_t best = 0;
            double bestD = 1e30;
            // Whether entry i is nearer, or as near with a lower index; false
            // once red alone is farther than the best, which holds for all
            // entries further out.
            const auto visit = [&](std::size_t i) {
                const double dr = pal[i].r - mr;
                if (dr * dr > bestD) return false;
                const double dg = pal[i].g - mg, db = pal[i].b - mb;
                const double d = dr * dr + dg * dg + db * db;
                if (d < bestD || (d == bestD && i < best)) bestD = d, best = i;
                return true;
            };
            const auto start = static_cast<std::size_t>(
                std::lower_bound(reds.begin(), reds.end(), mr, [](int v, double m) { return v < m; }) - reds.begin());
            for (std::size_t k = start; k < pal.size(); ++k)
                if (!visit(byRed[k])) break;
            for (std::size_t k = start; k > 0; --k)
                if (!visit(byRed[k - 1])) break;
            acc[best * 4] += c.r;
            acc[best * 4 + 1] += c.g;
            acc[best * 4 + 2] += c.b;
            acc[best * 4 + 3] += c.w;
        }
        bool moved = false;
        for (std::size_t i = 0; i < pal.size(); ++i) {
            const double n = acc[i * 4 + 3];
            if (n <= 0) continue;  // an entry nobody is nearest to keeps its place
            const Rgb m{static_cast<std::uint8_t>(std::lround(acc[i * 4] / n)),
                        static_cast<std::uint8_t>(std::lround(acc[i * 4 + 1] / n)),
                        static_cast<std::uint8_t>(std::lround(acc[i * 4 + 2] / n))};
            moved |= !(m == pal[i]);
            pal[i] = m;
        }
        if (!moved) break;
    }
}

}  // namespace

std::vector<Rgb> optimisedPalette(const Image& rgb, std::size_t colours) {
    Histogram h = countColours(rgb);
    std::vector<CellColour> cells;
    for (std::size_t c = 0; c < kCells; ++c)
        if (h.w[c])
            cells.push_back({static_cast<double>(h.r[c]), static_cast<double>(h.g[c]), static_cast<double>(h.b[c]),
                             static_cast<double>(h.w[c])});
    const BoxSplitter splitter(h);
    std::vector<Box> boxes{Box{}};
    std::vector<double> variance{splitter.variance(boxes[0])};
    while (boxes.size() < colours) {
        const auto pick =
            static_cast<std::size_t>(std::max_element(variance.begin(), variance.end()) - variance.begin());
        if (variance[pick] <= 0) break;
        Box upper;
        if (!splitter.split(boxes[pick], upper)) {
            variance[pick] = 0;
            continue;
        }
        variance[pick] = splitter.variance(boxes[pick]);
        boxes.push_back(upper);
        variance.push_back(splitter.variance(upper));
    }
    std::vector<Rgb> pal;
    for (const Box& x : boxes) {
        const BoxStats s = splitter.stats(x);
        if (s.w <= 0) continue;
        pal.push_back({static_cast<std::uint8_t>(std::lround(s.r / s.w)),
                       static_cast<std::uint8_t>(std::lround(s.g / s.w)),
                       static_cast<std::uint8_t>(std::lround(s.b / s.w))});
    }
    if (pal.empty()) pal.push_back({0, 0, 0});
    refine(pal, cells, 6);
    return pal;
}

Image blankIndexed(const Image& src, int bits) {
    Image out(src.width(), src.height(), PixelFormat::Indexed, bits);
    out.xDpi = src.xDpi;
    out.yDpi = src.yDpi;
    out.metadata = src.metadata;
    return out;
}

namespace {

std::uint32_t key(const std::uint8_t* p) { return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2]; }

}  // namespace

// The picture with its own colours when it has at most `colours` of them.
std::optional<Image> exactIndexed(const Image& src, int bits, const Image* rgb) {
    const std::size_t colours = std::size_t{1} << bits;
    Image out = blankIndexed(src, bits);
    std::vector<Rgb> pal;
    if (src.format() == PixelFormat::Indexed || src.format() == PixelFormat::Gray8) {
        // One byte per pixel: map the values in use to new indices.
        bool used[256] = {};
        for (int y = 0; y < src.height(); ++y) {
            const std::uint8_t* s = src.row(y);
            for (int x = 0; x < src.width(); ++x) used[s[x]] = true;
        }
        std::uint8_t remap[256] = {};
        for (int v = 0; v < 256; ++v) {
            if (!used[v]) continue;
            Rgb c{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v)};
            if (src.format() == PixelFormat::Indexed)
                c = static_cast<std::size_t>(v) < src.palette().size() ? src.palette()[static_cast<std::size_t>(v)]
                                                                       : Rgb{};
            auto it = std::find(pal.begin(), pal.end(), c);
            if (it == pal.end()) {
                if (pal.size() == colours) return std::nullopt;
                pal.push_back(c);
                it = pal.end() - 1;
            }
            remap[v] = static_cast<std::uint8_t>(it - pal.begin());
        }
        for (int y = 0; y < src.height(); ++y) {
            const std::uint8_t* s = src.row(y);
            std::uint8_t* d = out.row(y);
            for (int x = 0; x < src.width(); ++x) d[x] = remap[s[x]];
        }
    } else {
        std::unordered_map<std::uint32_t, std::uint8_t> index;
        std::uint32_t lastKey = 0xFFFFFFFF;
        std::uint8_t lastIndex = 0;
        for (int y = 0; y < rgb->height(); ++y) {
            const std::uint8_t* s = rgb->row(y);
            std::uint8_t* d = out.row(y);
            for (int x = 0; x < rgb->width(); ++x, s += 3) {
                const std::uint32_t k = key(s);
                if (k != lastKey) {
                    auto it = index.find(k);
                    if (it == index.end()) {
                        if (pal.size() == colours) return std::nullopt;
                        it = index.emplace(k, static_cast<std::uint8_t>(pal.size())).first;
                        pal.push_back({s[0], s[1], s[2]});
                    }
                    lastKey = k;
                    lastIndex = it->second;
                }
                d[x] = lastIndex;
            }
        }
    }
    out.palette() = std::move(pal);
    return out;
}

std::vector<Rgb> grayLevels(int bits) {
    return bits == 1 ? std::vector<Rgb>{{0, 0, 0}, {255, 255, 255}} : grayPalette(bits);
}

bool reducesToGray(const Image& src, int bits) {
    const auto& pal = src.palette();
    return bits == 1 || src.format() == PixelFormat::Gray8 ||
           (src.format() == PixelFormat::Indexed &&
            std::all_of(pal.begin(), pal.end(), [](const Rgb& c) { return c.r == c.g && c.g == c.b; }));
}

}  // namespace rastel::imaging
