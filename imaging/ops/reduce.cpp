#include "imaging/ops/reduce.h"

#include <algorithm>
#include <array>
#include <vector>

#include "imaging/convert.h"
#include "imaging/error.h"

namespace rastel::imaging {

namespace {

struct Box {
    int lo[3], hi[3];
    std::uint64_t count = 0;
};

// Median cut over a 5-bit-per-channel histogram.
std::vector<Rgb> medianCut(const std::vector<std::uint32_t>& hist, std::size_t colours) {
    auto shrink = [&](Box& b) {
        int lo[3] = {31, 31, 31}, hi[3] = {0, 0, 0};
        b.count = 0;
        for (int r = b.lo[0]; r <= b.hi[0]; ++r)
            for (int g = b.lo[1]; g <= b.hi[1]; ++g)
                for (int bl = b.lo[2]; bl <= b.hi[2]; ++bl) {
                    const auto n = hist[static_cast<std::size_t>((r << 10) | (g << 5) | bl)];
                    if (!n) continue;
                    b.count += n;
                    const int c[3] = {r, g, bl};
                    for (int k = 0; k < 3; ++k) {
                        lo[k] = std::min(lo[k], c[k]);
                        hi[k] = std::max(hi[k], c[k]);
                    }
                }
        if (b.count)
            for (int k = 0; k < 3; ++k) b.lo[k] = lo[k], b.hi[k] = hi[k];
    };
    std::vector<Box> boxes{Box{{0, 0, 0}, {31, 31, 31}}};
    shrink(boxes[0]);
    while (boxes.size() < colours) {
        // Split the box with the largest (count x extent).
        std::size_t pick = boxes.size();
        std::uint64_t bestScore = 0;
        int axis = 0;
        for (std::size_t i = 0; i < boxes.size(); ++i) {
            const Box& b = boxes[i];
            for (int k = 0; k < 3; ++k) {
                const int extent = b.hi[k] - b.lo[k];
                const std::uint64_t score = b.count * static_cast<std::uint64_t>(extent);
                if (extent > 0 && score > bestScore) {
                    bestScore = score;
                    pick = i;
                    axis = k;
                }
            }
        }
        if (pick == boxes.size()) break;
        Box b = boxes[pick];
        // Find the median along the axis.
        std::vector<std::uint64_t> plane(32, 0);
        for (int r = b.lo[0]; r <= b.hi[0]; ++r)
            for (int g = b.lo[1]; g <= b.hi[1]; ++g)
                for (int bl = b.lo[2]; bl <= b.hi[2]; ++bl) {
                    const int c[3] = {r, g, bl};
                    plane[static_cast<std::size_t>(c[axis])] += hist[static_cast<std::size_t>((r << 10) | (g << 5) | bl)];
                }
        std::uint64_t acc = 0;
        int cut = b.lo[axis];
        for (int v = b.lo[axis]; v < b.hi[axis]; ++v) {
            acc += plane[static_cast<std::size_t>(v)];
            cut = v;
            if (acc * 2 >= b.count) break;
        }
        Box a = b, c = b;
        a.hi[axis] = cut;
        c.lo[axis] = cut + 1;
        shrink(a);
        shrink(c);
        boxes[pick] = a;
        boxes.push_back(c);
    }
    std::vector<Rgb> pal;
    for (const Box& b : boxes) {
        std::uint64_t sum[3] = {0, 0, 0}, n = 0;
        for (int r = b.lo[0]; r <= b.hi[0]; ++r)
            for (int g = b.lo[1]; g <= b.hi[1]; ++g)
                for (int bl = b.lo[2]; bl <= b.hi[2]; ++bl) {
                    const auto h = hist[static_cast<std::size_t>((r << 10) | (g << 5) | bl)];
                    sum[0] += h * static_cast<std::uint64_t>((r << 3) | (r >> 2));
                    sum[1] += h * static_cast<std::uint64_t>((g << 3) | (g >> 2));
                    sum[2] += h * static_cast<std::uint64_t>((bl << 3) | (bl >> 2));
                    n += h;
                }
        if (!n) continue;
        pal.push_back({static_cast<std::uint8_t>((sum[0] + n / 2) / n), static_cast<std::uint8_t>((sum[1] + n / 2) / n),
                       static_cast<std::uint8_t>((sum[2] + n / 2) / n)});
    }
    if (pal.empty()) pal.push_back({0, 0, 0});
    return pal;
}

std::uint8_t nearest(const std::vector<Rgb>& pal, int r, int g, int b) {
    int best = 0;
    int bestD = 1 << 30;
    for (std::size_t i = 0; i < pal.size(); ++i) {
        const int dr = pal[i].r - r, dg = pal[i].g - g, db = pal[i].b - b;
        const int d = 2 * dr * dr + 4 * dg * dg + 3 * db * db;
        if (d < bestD) {
            bestD = d;
            best = static_cast<int>(i);
        }
    }
    return static_cast<std::uint8_t>(best);
}

}  // namespace

Image reduceColors(const Image& src, int bits, int dither) {
    if (bits < 1 || bits > 8) fail("reduce", "depth must be 1 to 8 bits, got " + std::to_string(bits));
    if (dither != kDitherNone) fail("reduce", "dithering code " + std::to_string(dither) + " is not available");
    const std::size_t colours = std::size_t{1} << bits;
    const Image rgb = toRgb24(src);
    bool gray = src.format() == PixelFormat::Gray8 ||
                (src.format() == PixelFormat::Indexed && isGrayPalette(src.palette()));
    std::vector<Rgb> pal;
    if (bits == 1) {
        pal = {{0, 0, 0}, {255, 255, 255}};
    } else if (gray) {
        pal = grayPalette(bits);
    } else {
        std::vector<std::uint32_t> hist(32768, 0);
        for (int y = 0; y < rgb.height(); ++y) {
            const std::uint8_t* s = rgb.row(y);
            for (int x = 0; x < rgb.width(); ++x)
                ++hist[static_cast<std::size_t>(((s[3 * x] >> 3) << 10) | ((s[3 * x + 1] >> 3) << 5) | (s[3 * x + 2] >> 3))];
        }
        pal = medianCut(hist, colours);
    }
    Image out(src.width(), src.height(), PixelFormat::Indexed, bits);
    out.xDpi = src.xDpi;
    out.yDpi = src.yDpi;
    std::vector<std::int16_t> cache(32768, -1);
    for (int y = 0; y < rgb.height(); ++y) {
        const std::uint8_t* s = rgb.row(y);
        std::uint8_t* d = out.row(y);
        for (int x = 0; x < rgb.width(); ++x) {
            const int r = s[3 * x], g = s[3 * x + 1], b = s[3 * x + 2];
            if (bits == 1 || gray) {
                d[x] = nearest(pal, r, g, b);
                continue;
            }
            const std::size_t key = static_cast<std::size_t>(((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3));
            if (cache[key] < 0) cache[key] = nearest(pal, r, g, b);
            d[x] = static_cast<std::uint8_t>(cache[key]);
        }
    }
    out.palette() = std::move(pal);
    return out;
}

}  // namespace rastel::imaging
