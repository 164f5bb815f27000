#include "imaging/ops/dither.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <utility>

#include "imaging/ops/palette_search.h"
#include "imaging/ops/quantise.h"

namespace rastel::imaging {

namespace {

// Dithering kernels: (dx, dy, weight) taps right of / below the current pixel.

struct Tap {
    int dx, dy, weight;
};

constexpr auto kFloydSteinberg = std::to_array<Tap>({{1, 0, 7}, {-1, 1, 3}, {0, 1, 5}, {1, 1, 1}});
constexpr auto kBurkes =
    std::to_array<Tap>({{1, 0, 8}, {2, 0, 4}, {-2, 1, 2}, {-1, 1, 4}, {0, 1, 8}, {1, 1, 4}, {2, 1, 2}});
constexpr auto kStucki = std::to_array<Tap>({{1, 0, 8},
                                             {2, 0, 4},
                                             {-2, 1, 2},
                                             {-1, 1, 4},
                                             {0, 1, 8},
                                             {1, 1, 4},
                                             {2, 1, 2},
                                             {-2, 2, 1},
                                             {-1, 2, 2},
                                             {0, 2, 4},
                                             {1, 2, 2},
                                             {2, 2, 1}});
constexpr auto kSierra = std::to_array<Tap>(
    {{1, 0, 5}, {2, 0, 3}, {-2, 1, 2}, {-1, 1, 4}, {0, 1, 5}, {1, 1, 4}, {2, 1, 2}, {-1, 2, 2}, {0, 2, 3}, {1, 2, 2}});
constexpr auto kStevensonArce = std::to_array<Tap>({{2, 0, 32},
                                                    {-3, 1, 12},
                                                    {-1, 1, 26},
                                                    {1, 1, 30},
                                                    {3, 1, 16},
                                                    {-2, 2, 12},
                                                    {0, 2, 26},
                                                    {2, 2, 12},
                                                    {-3, 3, 5},
                                                    {-1, 3, 12},
                                                    {1, 3, 12},
                                                    {3, 3, 5}});
constexpr auto kJarvis = std::to_array<Tap>({{1, 0, 7},
                                             {2, 0, 5},
                                             {-2, 1, 3},
                                             {-1, 1, 5},
                                             {0, 1, 7},
                                             {1, 1, 5},
                                             {2, 1, 3},
                                             {-2, 2, 1},
                                             {-1, 2, 3},
                                             {0, 2, 5},
                                             {1, 2, 3},
                                             {2, 2, 1}});

template <std::size_t N>
constexpr int weightSum(const std::array<Tap, N>& taps) {
    int s = 0;
    for (const Tap& t : taps) s += t.weight;
    return s;
}
static_assert(weightSum(kFloydSteinberg) == 16 && weightSum(kBurkes) == 32 && weightSum(kStucki) == 42 &&
              weightSum(kSierra) == 32 && weightSum(kStevensonArce) == 200 && weightSum(kJarvis) == 48);

constexpr int kPad = 3;  // widest horizontal reach of any kernel

// Division by a constant rounded half away from zero, without branches: the
// error's sign changes from pixel to pixel, too often for a branch to be
// predicted. v >> 31 is -1 for negative v, else 0.
template <int D>
inline int divRound(int v) {
    if constexpr ((D & (D - 1)) == 0)
        // Rounding half away from zero is floor((v + D/2 - [v < 0]) / D), and >> floors.
        return (v + D / 2 + (v >> 31)) >> std::countr_zero(static_cast<unsigned>(D));
    else
        // (v +- D/2) / D with the sign of v, as / truncates towards zero.
        return (v + ((v >> 31) | 1) * (D / 2)) / D;
}

// Weight of the tap at (dx, dy), 0 when the kernel has none there.
template <std::size_t N>
constexpr int weightAt(const std::array<Tap, N>& taps, int dx, int dy) {
    for (const Tap& t : taps)
        if (t.dx == dx && t.dy == dy) return t.weight;
    return 0;
}

// Adds diff * weight at the tap's place on a row below; taps on the current
// row are carried in registers by the caller.
template <int C, const auto& Taps, std::size_t I>
inline void spreadTap(int* const* rows, int x, int step, const int* diff) {
    constexpr Tap t = Taps[I];
    if constexpr (t.dy > 0) {
        int* target = rows[t.dy] + static_cast<std::ptrdiff_t>(x + step * t.dx + kPad) * C;
#pragma GCC unroll 3
        for (int c = 0; c < C; ++c) target[c] += diff[c] * t.weight;
    }
}

template <int C, const auto& Taps, std::size_t... I>
inline void spreadBelow(int* const* rows, int x, int step, const int* diff, std::index_sequence<I...>) {
    (spreadTap<C, Taps, I>(rows, x, step, diff), ...);
}

// Whether the taps on the current row are exactly those at dx 1 and 2 that
// the diffusion loop carries in registers.
template <std::size_t N>
constexpr bool currentRowTapsCarried(const std::array<Tap, N>& taps) {
    for (const Tap& t : taps)
        if (t.dy == 0 && t.dx != 1 && t.dx != 2) return false;
    return true;
}

// Error diffusion over C channels with the kernel `Taps` / `D`, serpentine.
// `pixel(y, x, v)` loads the source values, `quantise(v, q)` returns the
// palette index for clamped values and stores that entry's values in q.
// The error bound for the next two pixels of the same row stays in registers.
template <int C, const auto& Taps, int D, typename Load, typename Quantise>
void diffuse(Image& out, Load&& pixel, Quantise&& quantise) {
    constexpr int kRows = [] {
        int r = 0;
        for (const Tap& t : Taps) r = std::max(r, t.dy);
        return r + 1;
    }();
    constexpr int w1 = weightAt(Taps, 1, 0), w2 = weightAt(Taps, 2, 0);
    static_assert(weightSum(Taps) == D && currentRowTapsCarried(Taps));
    const int w = out.width();
    const std::size_t lineLen = static_cast<std::size_t>(w + 2 * kPad) * C;
    std::vector<int> err(lineLen * kRows, 0);
    for (int y = 0; y < out.height(); ++y) {
        int* rows[kRows];
        for (int dy = 0; dy < kRows; ++dy) rows[dy] = err.data() + lineLen * static_cast<std::size_t>((y + dy) % kRows);
        int* const cur = rows[0];
        std::uint8_t* d = out.row(y);
        const bool backwards = (y & 1) != 0;
        const int step = backwards ? -1 : 1;
        int near[C] = {}, far[C] = {};
        for (int i = 0, x = backwards ? w - 1 : 0; i < w; ++i, x += step) {
            int v[C];
            pixel(y, x, v);
            const int* e = cur + static_cast<std::size_t>(x + kPad) * C;
#pragma GCC unroll 3
            for (int c = 0; c < C; ++c) v[c] = std::clamp(v[c] + divRound<D>(e[c] + near[c]), 0, 255);
            int q[C];
            d[x] = static_cast<std::uint8_t>(quantise(v, q));
            int diff[C];
#pragma GCC unroll 3
            for (int c = 0; c < C; ++c) {
                diff[c] = v[c] - q[c];
                near[c] = far[c] + diff[c] * w1;
                far[c] = diff[c] * w2;
            }
            spreadBelow<C, Taps>(rows, x, step, diff, std::make_index_sequence<Taps.size()>{});
        }
        std::fill(cur, cur + lineLen, 0);
    }
}

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
            off[static_cast<std::size_t>(y * 8 + x)] = static_cast<int>(
                std::lround(((m[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)] + 0.5) / 64.0 - 0.5) * step));
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
            int q[C];
            d[x] = static_cast<std::uint8_t>(quantise(v, q));
        }
    }
}

// Runs the chosen method over an image of C channels.
template <int C, typename Load, typename Quantise>
void dither(Image& out, int code, double step, Load&& pixel, Quantise&& quantise) {
    if (code == kDitherNone) {
        ordered<C>(out, std::array<int, 64>{}, pixel, quantise);
    } else if (code == kDitherOrdered || code == kDitherCluster) {
        ordered<C>(out, thresholdOffsets(code == kDitherOrdered ? kBayer : kCluster, step), pixel, quantise);
    } else {
        switch (code) {
        case kDitherFloydSteinberg: diffuse<C, kFloydSteinberg, 16>(out, pixel, quantise); break;
        case kDitherBurkes: diffuse<C, kBurkes, 32>(out, pixel, quantise); break;
        case kDitherStucki: diffuse<C, kStucki, 42>(out, pixel, quantise); break;
        case kDitherSierra: diffuse<C, kSierra, 32>(out, pixel, quantise); break;
        case kDitherStevensonArce: diffuse<C, kStevensonArce, 200>(out, pixel, quantise); break;
        default: diffuse<C, kJarvis, 48>(out, pixel, quantise); break;
        }
    }
}

}  // namespace

Image ditherGray(const Image& gray, int bits, int code) {
    const std::vector<Rgb> pal = grayLevels(bits);
    // Index and level of the nearest gray for each value, both read straight
    // from the value rather than one after the other.
    std::uint8_t nearest[256], level[256];
    for (int v = 0; v < 256; ++v) {
        int best = 0;
        for (std::size_t i = 1; i < pal.size(); ++i)
            if (std::abs(pal[i].r - v) < std::abs(pal[static_cast<std::size_t>(best)].r - v))
                best = static_cast<int>(i);
        nearest[v] = static_cast<std::uint8_t>(best);
        level[v] = pal[static_cast<std::size_t>(best)].r;
    }
    Image out = blankIndexed(gray, bits);
    const double step = 255.0 / static_cast<double>(pal.size() - 1);
    const auto load = [&gray](int y, int x, int* v) { v[0] = gray.row(y)[x]; };
    if (bits == 1)
        // Black up to 127, white from 128: computed, with no table read between one pixel and the next.
        dither<1>(out, code, step, load, [](const int* v, int* q) {
            const int white = v[0] >> 7;
            q[0] = white * 255;
            return white;
        });
    else
        dither<1>(out, code, step, load, [&nearest, &level](const int* v, int* q) {
            q[0] = level[v[0]];
            return nearest[v[0]];
        });
    out.palette() = pal;
    return out;
}

Image ditherColour(const Image& rgb, const std::vector<Rgb>& pal, int bits, int code) {
    PaletteSearch search(pal);
    Image out = blankIndexed(rgb, bits);
    dither<3>(
        out, code, search.typicalGap(),
        [&rgb](int y, int x, int* v) {
            const std::uint8_t* p = rgb.row(y) + 3 * static_cast<std::size_t>(x);
            v[0] = p[0], v[1] = p[1], v[2] = p[2];
        },
        [&search](const int* v, int* q) {
            const std::uint32_t e = search.nearestEntry(v[0], v[1], v[2]);
            q[0] = static_cast<int>((e >> 8) & 0xFF), q[1] = static_cast<int>((e >> 16) & 0xFF),
            q[2] = static_cast<int>(e >> 24);
            return static_cast<int>(e & 0xFF);
        });
    out.palette() = pal;
    return out;
}

}  // namespace rastel::imaging
