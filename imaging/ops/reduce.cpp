#include "imaging/ops/reduce.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "imaging/convert.h"
#include "imaging/error.h"
#include "imaging/ops/palette_search.h"

namespace rastel::imaging {

namespace {

// ---------------------------------------------------------------------------
// Palette building: Wu-style variance-minimising box splitting.
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
    // Which values occur per channel (plain stores, no dependency chain).
    std::uint8_t seen[3][256] = {};
    for (int y = 0; y < rgb.height(); ++y) {
        const std::uint8_t* s = rgb.row(y);
        for (int x = 0; x < rgb.width(); ++x, s += 3) {
            seen[0][s[0]] = 1;
            seen[1][s[1]] = 1;
            seen[2][s[2]] = 1;
        }
    }
    int lo[3] = {0, 0, 0}, hi[3] = {255, 255, 255};
    for (int k = 0; k < 3; ++k) {
        while (lo[k] < 255 && !seen[k][lo[k]]) ++lo[k];
        while (hi[k] > lo[k] && !seen[k][hi[k]]) --hi[k];
    }
    // Bin (1-based) of each value per channel.
    std::uint8_t bin[3][256] = {};
    for (int k = 0; k < 3; ++k) {
        const int span = std::max(hi[k] - lo[k] + 1, 1);
        for (int v = lo[k]; v <= hi[k]; ++v) bin[k][v] = static_cast<std::uint8_t>(1 + (v - lo[k]) * 32 / span);
    }
    Histogram h;
    for (int y = 0; y < rgb.height(); ++y) {
        const std::uint8_t* s = rgb.row(y);
        for (int x = 0; x < rgb.width(); ++x, s += 3) {
            const int r = s[0], g = s[1], b = s[2];
            const std::size_t c = cellAt(bin[0][r], bin[1][g], bin[2][b]);
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
void refine(std::vector<Rgb>& pal, const std::vector<CellColour>& cells, int rounds) {
    std::vector<double> acc(pal.size() * 4);
    for (int round = 0; round < rounds; ++round) {
        std::fill(acc.begin(), acc.end(), 0.0);
        for (const CellColour& c : cells) {
            const double mr = c.r / c.w, mg = c.g / c.w, mb = c.b / c.w;
            std::size_t best = 0;
            double bestD = 1e30;
            for (std::size_t i = 0; i < pal.size(); ++i) {
                const double dr = pal[i].r - mr, dg = pal[i].g - mg, db = pal[i].b - mb;
                const double d = dr * dr + dg * dg + db * db;
                if (d < bestD) bestD = d, best = i;
            }
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
        const auto pick = static_cast<std::size_t>(std::max_element(variance.begin(), variance.end()) - variance.begin());
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
        pal.push_back({static_cast<std::uint8_t>(std::lround(s.r / s.w)), static_cast<std::uint8_t>(std::lround(s.g / s.w)),
                       static_cast<std::uint8_t>(std::lround(s.b / s.w))});
    }
    if (pal.empty()) pal.push_back({0, 0, 0});
    refine(pal, cells, 6);
    return pal;
}

// ---------------------------------------------------------------------------
// Dithering kernels: (dx, dy, weight) taps right of / below the current pixel.

struct Tap {
    int dx, dy, weight;
};

struct Kernel {
    std::span<const Tap> taps;
    int divisor;
    int rows;  // 1 + the largest dy
};

constexpr Tap kFloydSteinberg[] = {{1, 0, 7}, {-1, 1, 3}, {0, 1, 5}, {1, 1, 1}};
constexpr Tap kBurkes[] = {{1, 0, 8}, {2, 0, 4}, {-2, 1, 2}, {-1, 1, 4}, {0, 1, 8}, {1, 1, 4}, {2, 1, 2}};
constexpr Tap kStucki[] = {{1, 0, 8},  {2, 0, 4},  {-2, 1, 2}, {-1, 1, 4}, {0, 1, 8}, {1, 1, 4},
                           {2, 1, 2},  {-2, 2, 1}, {-1, 2, 2}, {0, 2, 4},  {1, 2, 2}, {2, 2, 1}};
constexpr Tap kSierra[] = {{1, 0, 5}, {2, 0, 3}, {-2, 1, 2}, {-1, 1, 4}, {0, 1, 5},
                           {1, 1, 4}, {2, 1, 2}, {-1, 2, 2}, {0, 2, 3},  {1, 2, 2}};
constexpr Tap kStevensonArce[] = {{2, 0, 32},  {-3, 1, 12}, {-1, 1, 26}, {1, 1, 30}, {3, 1, 16},
                                  {-2, 2, 12}, {0, 2, 26},  {2, 2, 12},  {-3, 3, 5}, {-1, 3, 12},
                                  {1, 3, 12},  {3, 3, 5}};
constexpr Tap kJarvis[] = {{1, 0, 7},  {2, 0, 5},  {-2, 1, 3}, {-1, 1, 5}, {0, 1, 7}, {1, 1, 5},
                           {2, 1, 3},  {-2, 2, 1}, {-1, 2, 3}, {0, 2, 5},  {1, 2, 3}, {2, 2, 1}};

constexpr int weightSum(std::span<const Tap> taps) {
    int s = 0;
    for (const Tap& t : taps) s += t.weight;
    return s;
}
static_assert(weightSum(kFloydSteinberg) == 16 && weightSum(kBurkes) == 32 && weightSum(kStucki) == 42 &&
              weightSum(kSierra) == 32 && weightSum(kStevensonArce) == 200 && weightSum(kJarvis) == 48);

Kernel kernelFor(int dither) {
    switch (dither) {
    case kDitherFloydSteinberg: return {kFloydSteinberg, 16, 2};
    case kDitherBurkes: return {kBurkes, 32, 2};
    case kDitherStucki: return {kStucki, 42, 3};
    case kDitherSierra: return {kSierra, 32, 3};
    case kDitherStevensonArce: return {kStevensonArce, 200, 4};
    default: return {kJarvis, 48, 3};
    }
}

constexpr int kPad = 3;  // widest horizontal reach of any kernel

inline int divRound(int v, int d) { return v >= 0 ? (v + d / 2) / d : -((-v + d / 2) / d); }

// Error diffusion over C channels. `pixel(y, x, v)` loads the source values,
// `quantise(v)` returns the palette index for clamped values and `colour(i, v)`
// stores the palette entry's values.
template <int C, typename Load, typename Quantise, typename Colour>
void diffuse(Image& out, const Kernel& k, Load&& pixel, Quantise&& quantise, Colour&& colour) {
    const int w = out.width();
    const std::size_t lineLen = static_cast<std::size_t>(w + 2 * kPad) * C;
    std::vector<int> err(lineLen * static_cast<std::size_t>(k.rows), 0);
    for (int y = 0; y < out.height(); ++y) {
        int* cur = err.data() + lineLen * static_cast<std::size_t>(y % k.rows);
        int* next[4] = {};
        for (int dy = 0; dy < k.rows; ++dy) next[dy] = err.data() + lineLen * static_cast<std::size_t>((y + dy) % k.rows);
        std::uint8_t* d = out.row(y);
        const bool backwards = (y & 1) != 0;
        const int step = backwards ? -1 : 1;
        for (int i = 0, x = backwards ? w - 1 : 0; i < w; ++i, x += step) {
            int v[C];
            pixel(y, x, v);
            int* e = cur + static_cast<std::size_t>(x + kPad) * C;
            for (int c = 0; c < C; ++c) v[c] = std::clamp(v[c] + divRound(e[c], k.divisor), 0, 255);
            const int idx = quantise(v);
            d[x] = static_cast<std::uint8_t>(idx);
            int q[C];
            colour(idx, q);
            int diff[C];
            for (int c = 0; c < C; ++c) diff[c] = v[c] - q[c];
            for (const Tap& t : k.taps) {
                int* target = next[t.dy] + static_cast<std::ptrdiff_t>(x + step * t.dx + kPad) * C;
                for (int c = 0; c < C; ++c) target[c] += diff[c] * t.weight;
            }
        }
        std::fill(cur, cur + lineLen, 0);
    }
}

// ---------------------------------------------------------------------------
// Threshold matrices, 8x8, values 0..63.

using Matrix = std::array<std::array<int, 8>, 8>;

// Recursive Bayer construction: M(2n) = [4M, 4M+2; 4M+3, 4M+1].
constexpr Matrix makeBayer() {
    Matrix m{};
    m[0][0] = 0;
    for (int n = 1; n < 8; n *= 2)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                const int v = 4 * m[y][x];
                m[y][x] = v;
                m[y][x + n] = v + 2;
                m[y + n][x] = v + 3;
                m[y + n][x + n] = v + 1;
            }
    return m;
}
constexpr Matrix kBayer = makeBayer();

// Clustered-dot screen at 45 degrees: two dots per 8x8 tile that grow from
// their centres outwards, so the printed dots stay compact.
constexpr Matrix kCluster = {{{24, 10, 12, 26, 35, 47, 49, 37},
                              {8, 0, 2, 14, 45, 59, 61, 51},
                              {22, 6, 4, 16, 43, 57, 63, 53},
                              {30, 20, 18, 28, 33, 41, 55, 39},
                              {34, 46, 48, 36, 25, 11, 13, 27},
                              {44, 58, 60, 50, 9, 1, 3, 15},
                              {42, 56, 62, 52, 23, 7, 5, 17},
                              {32, 40, 54, 38, 31, 21, 19, 29}}};

constexpr bool isPermutation(const Matrix& m) {
    bool seen[64] = {};
    for (const auto& row : m)
        for (int v : row) {
            if (v < 0 || v > 63 || seen[v]) return false;
            seen[v] = true;
        }
    return true;
}
static_assert(isPermutation(kBayer) && isPermutation(kCluster));

// Offsets centred on zero spanning one palette step: cell value t maps to
// ((t + 0.5) / 64 - 0.5) * step.
std::array<int, 64> thresholdOffsets(const Matrix& m, double step) {
    std::array<int, 64> off{};
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            off[static_cast<std::size_t>(y * 8 + x)] =
                static_cast<int>(std::lround(((m[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)] + 0.5) / 64.0 - 0.5) * step));
    return off;
}

template <int C, typename Load, typename Quantise>
void ordered(Image& out, const std::array<int, 64>& off, Load&& pixel, Quantise&& quantise) {
    for (int y = 0; y < out.height(); ++y) {
        std::uint8_t* d = out.row(y);
        const int* rowOff = off.data() + (y & 7) * 8;
        for (int x = 0; x < out.width(); ++x) {
            int v[C];
            pixel(y, x, v);
            for (int c = 0; c < C; ++c) v[c] = std::clamp(v[c] + rowOff[x & 7], 0, 255);
            d[x] = static_cast<std::uint8_t>(quantise(v));
        }
    }
}

// Runs the chosen method over an image of C channels.
template <int C, typename Load, typename Quantise, typename Colour>
void dither(Image& out, int code, double step, Load&& pixel, Quantise&& quantise, Colour&& colour) {
    if (code == kDitherNone) {
        ordered<C>(out, std::array<int, 64>{}, pixel, quantise);
    } else if (code == kDitherOrdered || code == kDitherCluster) {
        ordered<C>(out, thresholdOffsets(code == kDitherOrdered ? kBayer : kCluster, step), pixel, quantise);
    } else {
        diffuse<C>(out, kernelFor(code), pixel, quantise, colour);
    }
}

// ---------------------------------------------------------------------------

Image blankIndexed(const Image& src, int bits) {
    Image out(src.width(), src.height(), PixelFormat::Indexed, bits);
    out.xDpi = src.xDpi;
    out.yDpi = src.yDpi;
    out.metadata = src.metadata;
    return out;
}

std::uint32_t key(const std::uint8_t* p) { return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2]; }

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
                c = static_cast<std::size_t>(v) < src.palette().size() ? src.palette()[static_cast<std::size_t>(v)] : Rgb{};
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

Image reduceGray(const Image& src, int bits, int code) {
    Image grayCopy;
    const Image* gray = &src;
    if (src.format() != PixelFormat::Gray8) {
        grayCopy = toGray8(src);
        gray = &grayCopy;
    }
    const std::vector<Rgb> pal = bits == 1 ? std::vector<Rgb>{{0, 0, 0}, {255, 255, 255}} : grayPalette(bits);
    std::uint8_t nearest[256];
    for (int v = 0; v < 256; ++v) {
        int best = 0;
        for (std::size_t i = 1; i < pal.size(); ++i)
            if (std::abs(pal[i].r - v) < std::abs(pal[static_cast<std::size_t>(best)].r - v)) best = static_cast<int>(i);
        nearest[v] = static_cast<std::uint8_t>(best);
    }
    Image out = blankIndexed(src, bits);
    const double step = 255.0 / static_cast<double>(pal.size() - 1);
    dither<1>(
        out, code, step, [gray](int y, int x, int* v) { v[0] = gray->row(y)[x]; },
        [&nearest](const int* v) { return nearest[v[0]]; }, [&pal](int i, int* q) { q[0] = pal[static_cast<std::size_t>(i)].r; });
    out.palette() = pal;
    return out;
}

Image reduceColour(const Image& src, const Image& rgb, int bits, int code) {
    const std::vector<Rgb> pal = optimisedPalette(rgb, std::size_t{1} << bits);
    PaletteSearch search(pal);
    Image out = blankIndexed(src, bits);
    dither<3>(
        out, code, search.typicalGap(),
        [&rgb](int y, int x, int* v) {
            const std::uint8_t* p = rgb.row(y) + 3 * static_cast<std::size_t>(x);
            v[0] = p[0], v[1] = p[1], v[2] = p[2];
        },
        [&search](const int* v) { return search.nearest(v[0], v[1], v[2]); },
        [&pal](int i, int* q) {
            const Rgb& c = pal[static_cast<std::size_t>(i)];
            q[0] = c.r, q[1] = c.g, q[2] = c.b;
        });
    out.palette() = pal;
    return out;
}

}  // namespace

Image reduceColors(const Image& src, int bits, int dither) {
    if (bits < 1 || bits > 8) fail("reduce", "depth must be 1 to 8 bits, got " + std::to_string(bits));
    if (dither < kDitherNone || dither > kDitherCluster)
        fail("reduce", "unknown dithering code " + std::to_string(dither) + " (0 to 8)");
    if (src.empty()) fail("reduce", "empty image");
    Image rgbCopy;
    const Image* rgb = &src;
    const bool oneByte = src.format() == PixelFormat::Indexed || src.format() == PixelFormat::Gray8;
    if (!oneByte && src.format() != PixelFormat::Rgb24) {
        rgbCopy = toRgb24(src);
        rgb = &rgbCopy;
    }
    // A picture that already fits keeps its colours; at 1 bit only when those
    // are black and white, since one bit per pixel means a bilevel page.
    if (auto exact = exactIndexed(src, bits, rgb)) {
        const bool bilevel = std::all_of(exact->palette().begin(), exact->palette().end(), [](const Rgb& c) {
            return c == Rgb{0, 0, 0} || c == Rgb{255, 255, 255};
        });
        if (bits > 1 || bilevel) return std::move(*exact);
    }
    const bool gray = bits == 1 || src.format() == PixelFormat::Gray8 ||
                      (src.format() == PixelFormat::Indexed && isGrayPalette(src.palette()));
    if (gray) return reduceGray(src, bits, dither);
    if (oneByte) {
        rgbCopy = toRgb24(src);
        rgb = &rgbCopy;
    }
    return reduceColour(src, *rgb, bits, dither);
}

}  // namespace rastel::imaging
