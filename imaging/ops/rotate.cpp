#include "imaging/ops/rotate.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "imaging/convert.h"
#include "imaging/error.h"

namespace rastel::imaging {

namespace {

// Square tiles small enough that a tile of source rows and a tile of
// destination rows both stay in the first-level cache during a transpose.
constexpr int kTile = 64;

Image blankLike(const Image& src, int width, int height) {
    checkDimensions("rotate", width, height);
    Image out(width, height, src.format(), src.indexBits());
    out.palette() = src.palette();
    out.xDpi = src.xDpi;
    out.yDpi = src.yDpi;
    out.metadata = src.metadata;
    return out;
}

// Quarter turn, tile by tile. Clockwise moves source (x, y) to (h-1-y, x);
// counter-clockwise moves it to (y, w-1-x).
template <int N>
void quarterTurn(const Image& src, Image& dst, bool clockwise) {
    const int w = src.width(), h = src.height();
    const std::size_t stride = src.stride();
    for (int ty = 0; ty < h; ty += kTile) {
        const int ye = std::min(ty + kTile, h);
        for (int tx = 0; tx < w; tx += kTile) {
            const int xe = std::min(tx + kTile, w);
            for (int x = tx; x < xe; ++x) {
                // Down a source column, along a destination row.
                const std::uint8_t* s = src.row(ty) + static_cast<std::size_t>(x) * N;
                std::uint8_t* d = clockwise ? dst.row(x) + static_cast<std::size_t>(h - 1 - ty) * N
                                            : dst.row(w - 1 - x) + static_cast<std::size_t>(ty) * N;
                const std::ptrdiff_t step = clockwise ? -N : N;
                for (int y = ty; y < ye; ++y, s += stride, d += step) std::memcpy(d, s, N);
            }
        }
    }
}

template <int N>
void halfTurn(const Image& src, Image& dst) {
    const int w = src.width(), h = src.height();
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* s = src.row(y);
        std::uint8_t* d = dst.row(h - 1 - y) + static_cast<std::size_t>(w - 1) * N;
        for (int x = 0; x < w; ++x, s += N, d -= N) std::memcpy(d, s, N);
    }
}

template <int N>
void turnExact(const Image& src, Image& dst, int quarter) {
    if (quarter == 2)
        halfTurn<N>(src, dst);
    else
        quarterTurn<N>(src, dst, quarter == 1);
}

int nearestIndex(const std::vector<Rgb>& pal, Rgb c) {
    int best = 0;
    long bestD = -1;
    for (std::size_t i = 0; i < pal.size(); ++i) {
        const long dr = pal[i].r - c.r, dg = pal[i].g - c.g, db = pal[i].b - c.b;
        const long d = dr * dr + dg * dg + db * db;
        if (bestD < 0 || d < bestD) {
            bestD = d;
            best = static_cast<int>(i);
        }
    }
    return best;
}

// The bytes of one fill pixel in the layout of `img`. For an indexed image the
// fill colour is looked up in (or, when `addToPalette`, appended to) its palette.
struct FillPixel {
    std::uint8_t bytes[4] = {0, 0, 0, 0};
    bool appends = false;  // the index refers to an entry not yet in the palette
};

FillPixel fillPixel(const Image& img, Rgb fill) {
    FillPixel f;
    switch (img.format()) {
    case PixelFormat::Indexed: {
        const auto& pal = img.palette();
        const auto it = std::find(pal.begin(), pal.end(), fill);
        if (it != pal.end()) {
            f.bytes[0] = static_cast<std::uint8_t>(it - pal.begin());
        } else if (pal.size() < (std::size_t{1} << img.indexBits())) {
            f.bytes[0] = static_cast<std::uint8_t>(pal.size());
            f.appends = true;
        } else {
            f.bytes[0] = static_cast<std::uint8_t>(nearestIndex(pal, fill));
        }
        break;
    }
    case PixelFormat::Gray8:
        f.bytes[0] = static_cast<std::uint8_t>((299 * fill.r + 587 * fill.g + 114 * fill.b + 500) / 1000);
        break;
    case PixelFormat::Rgb555: {
        const unsigned v = ((fill.r >> 3u) << 10) | ((fill.g >> 3u) << 5) | (fill.b >> 3u);
        f.bytes[0] = static_cast<std::uint8_t>(v);
        f.bytes[1] = static_cast<std::uint8_t>(v >> 8);
        break;
    }
    case PixelFormat::Rgb24:
    case PixelFormat::Rgba32:
        f.bytes[0] = fill.r;
        f.bytes[1] = fill.g;
        f.bytes[2] = fill.b;
        f.bytes[3] = 255;
        break;
    }
    return f;
}

void fillCanvas(Image& img, const FillPixel& f) {
    const int n = bytesPerPixel(img.format());
    std::uint8_t* first = img.row(0);
    for (int x = 0; x < img.width(); ++x) std::memcpy(first + static_cast<std::size_t>(x) * n, f.bytes, n);
    for (int y = 1; y < img.height(); ++y) std::memcpy(img.row(y), first, img.stride());
}

void commitFill(Image& img, const FillPixel& f, Rgb fill) {
    if (f.appends) img.palette().push_back(fill);
}

// Copies `pic` onto the centre of `canvas` (both the same layout), cutting
// what overhangs.
void placeCentred(const Image& pic, Image& canvas) {
    const int n = bytesPerPixel(pic.format());
    const int ox = (canvas.width() - pic.width()) / 2, oy = (canvas.height() - pic.height()) / 2;
    const int x0 = std::max(0, ox), x1 = std::min(canvas.width(), ox + pic.width());
    const int y0 = std::max(0, oy), y1 = std::min(canvas.height(), oy + pic.height());
    if (x0 >= x1) return;
    for (int y = y0; y < y1; ++y)
        std::memcpy(canvas.row(y) + static_cast<std::size_t>(x0) * n,
                    pic.row(y - oy) + static_cast<std::size_t>(x0 - ox) * n, static_cast<std::size_t>(x1 - x0) * n);
}

Image rotateExact(const Image& src, int quarter, bool grow, Rgb fill) {
    const bool swaps = quarter != 2;
    Image turned = blankLike(src, swaps ? src.height() : src.width(), swaps ? src.width() : src.height());
    if (swaps) std::swap(turned.xDpi, turned.yDpi);
    switch (bytesPerPixel(src.format())) {
    case 1: turnExact<1>(src, turned, quarter); break;
    case 2: turnExact<2>(src, turned, quarter); break;
    case 3: turnExact<3>(src, turned, quarter); break;
    case 4: turnExact<4>(src, turned, quarter); break;
    }
    if (grow || (turned.width() == src.width() && turned.height() == src.height())) return turned;
    Image canvas = blankLike(turned, src.width(), src.height());
    const FillPixel f = fillPixel(canvas, fill);
    fillCanvas(canvas, f);
    placeCentred(turned, canvas);
    // A landscape picture turned upright on its own canvas always leaves bands.
    commitFill(canvas, f, fill);
    return canvas;
}

// Where destination pixel centres land in the source: source position of the
// destination pixel (X, Y) is (ax + X * c + Y * s, ay - X * s + Y * c).
struct InverseMap {
    double ax, ay, c, s;
};

// Destination columns [first, last) of row Y whose centres land inside the
// source rectangle [-0.5, w-0.5] x [-0.5, h-0.5]. Rounding may admit a column
// a hair outside; the samplers clamp to the edge pixels.
struct Span {
    int first, last;
};

Span insideSpan(const InverseMap& m, int Y, int w, int h, int dstW) {
    double lo = 0, hi = dstW;
    // Narrows [lo, hi) to where base + X * slope lies in [a, b].
    auto keep = [&lo, &hi](double base, double slope, double a, double b) {
        if (std::fabs(slope) < 1e-12) {
            if (base < a || base > b) hi = lo;
            return;
        }
        double t0 = (a - base) / slope, t1 = (b - base) / slope;
        if (t0 > t1) std::swap(t0, t1);
        lo = std::max(lo, t0);
        hi = std::min(hi, t1 + 1e-9);
    };
    keep(m.ax + Y * m.s, m.c, -0.5, w - 0.5);
    keep(m.ay + Y * m.c, -m.s, -0.5, h - 0.5);
    if (!(hi > lo)) return {0, 0};
    const int first = static_cast<int>(std::ceil(lo - 1e-9));
    const int last = std::min(dstW, static_cast<int>(std::floor(hi)) + 1);
    return {std::clamp(first, 0, dstW), std::clamp(last, 0, dstW)};
}

// Position to cell and fraction: v >= -0.5 (up to rounding), so v + 1 is
// positive and truncation is floor.
inline void split(double v, int limit, int& i0, int& i1, int& frac) {
    const double t = v + 1.0;
    const int i = static_cast<int>(t);
    frac = static_cast<int>((t - i) * 256.0 + 0.5);
    i0 = i - 1;
    if (i0 < 0) i0 = 0, frac = 0;
    if (i0 > limit) i0 = limit, frac = 0;
    i1 = std::min(i0 + 1, limit);
}

// Fills destination row pixels outside [span.first, span.last) with `f`;
// returns whether there were any.
bool fillOutside(std::uint8_t* d, int n, int dstW, Span span, const FillPixel& f) {
    for (int X = 0; X < span.first; ++X) std::memcpy(d + static_cast<std::size_t>(X) * n, f.bytes, n);
    for (int X = span.last; X < dstW; ++X) std::memcpy(d + static_cast<std::size_t>(X) * n, f.bytes, n);
    return span.first > 0 || span.last < dstW;
}

// Walks the rows of `dst`: pixels whose centres land outside the source get
// `f`, the others `sample(out, x, y)` with the source position they map back
// to. Returns whether any destination pixel shows the fill.
template <typename Sample>
bool mapRows(const Image& src, Image& dst, int n, const InverseMap& m, const FillPixel& f, Sample sample) {
    const int w = src.width(), h = src.height(), dstW = dst.width();
    bool filled = false;
    for (int Y = 0; Y < dst.height(); ++Y) {
        std::uint8_t* d = dst.row(Y);
        const Span span = insideSpan(m, Y, w, h, dstW);
        filled |= fillOutside(d, n, dstW, span, f);
        const double bx = m.ax + Y * m.s, by = m.ay + Y * m.c;
        for (int X = span.first; X < span.last; ++X)
            sample(d + static_cast<std::size_t>(X) * n, bx + X * m.c, by - X * m.s);
    }
    return filled;
}

// Bilinear sampling of N interleaved channels.
template <int N>
bool resampleBilinear(const Image& src, Image& dst, const InverseMap& m, const FillPixel& f) {
    const int w = src.width(), h = src.height();
    return mapRows(src, dst, N, m, f, [&](std::uint8_t* out, double sx, double sy) {
        int x0, x1, wx, y0, y1, wy;
        split(sx, w - 1, x0, x1, wx);
        split(sy, h - 1, y0, y1, wy);
        const std::uint8_t* a = src.row(y0);
        const std::uint8_t* b = src.row(y1);
        for (int k = 0; k < N; ++k) {
            const int top = a[x0 * N + k] * (256 - wx) + a[x1 * N + k] * wx;
            const int bottom = b[x0 * N + k] * (256 - wx) + b[x1 * N + k] * wx;
            out[k] = static_cast<std::uint8_t>((top * (256 - wy) + bottom * wy + 32768) >> 16);
        }
    });
}

// Bilinear sampling of RGBA with the colours weighted by their alpha, so a
// transparent neighbour lends its coverage but not its (meaningless) colour:
// an edge between opaque red and clear black stays red, half covered. Four
// opaque neighbours take the plain path.
bool resampleBilinearRgba(const Image& src, Image& dst, const InverseMap& m, const FillPixel& f) {
    const int w = src.width(), h = src.height();
    return mapRows(src, dst, 4, m, f, [&](std::uint8_t* out, double sx, double sy) {
        int x0, x1, wx, y0, y1, wy;
        split(sx, w - 1, x0, x1, wx);
        split(sy, h - 1, y0, y1, wy);
        const std::uint8_t* p[4] = {src.row(y0) + x0 * 4, src.row(y0) + x1 * 4, src.row(y1) + x0 * 4,
                                    src.row(y1) + x1 * 4};
        const int weight[4] = {(256 - wx) * (256 - wy), wx * (256 - wy), (256 - wx) * wy, wx * wy};  // sum 65536
        if ((p[0][3] & p[1][3] & p[2][3] & p[3][3]) == 255) {
            for (int k = 0; k < 3; ++k) {
                int v = 0;
                for (int i = 0; i < 4; ++i) v += p[i][k] * weight[i];
                out[k] = static_cast<std::uint8_t>((v + 32768) >> 16);
            }
            out[3] = 255;
            return;
        }
        std::int64_t coverage = 0;  // sum of weight * alpha, up to 65536 * 255
        for (int i = 0; i < 4; ++i) coverage += static_cast<std::int64_t>(weight[i]) * p[i][3];
        out[3] = static_cast<std::uint8_t>((coverage + 32768) >> 16);
        for (int k = 0; k < 3; ++k) {
            if (coverage == 0) {
                out[k] = 0;
                continue;
            }
            std::int64_t v = 0;
            for (int i = 0; i < 4; ++i) v += static_cast<std::int64_t>(weight[i]) * p[i][3] * p[i][k];
            out[k] = static_cast<std::uint8_t>((v + coverage / 2) / coverage);
        }
    });
}

bool resampleNearest(const Image& src, Image& dst, const InverseMap& m, const FillPixel& f) {
    const int w = src.width(), h = src.height();
    return mapRows(src, dst, 1, m, f, [&](std::uint8_t* out, double sx, double sy) {
        // v + 0.5 + 1 > 0 inside the span, so truncation rounds to nearest.
        const int x = std::clamp(static_cast<int>(sx + 1.5) - 1, 0, w - 1);
        const int y = std::clamp(static_cast<int>(sy + 1.5) - 1, 0, h - 1);
        *out = src.row(y)[x];
    });
}

Image rotateResampled(const Image& src, int hundredths, bool grow, Rgb fill) {
    if (src.format() == PixelFormat::Rgb555) return toRgb555(rotateResampled(toRgb24(src), hundredths, grow, fill));
    const double a = hundredths * std::numbers::pi / 18000.0;
    const double c = std::cos(a), s = std::sin(a);
    const double w = src.width(), h = src.height();
    int outW = src.width(), outH = src.height();
    if (grow) {
        // The bounding box of the turned rectangle; the tolerance keeps
        // rounding noise from adding a column.
        const double bw = std::fabs(w * c) + std::fabs(h * s), bh = std::fabs(w * s) + std::fabs(h * c);
        if (bw > 2.0 * (1 << 30) || bh > 2.0 * (1 << 30)) fail("rotate", "turned image is too large");
        outW = std::max(1, static_cast<int>(std::ceil(bw - 1e-6)));
        outH = std::max(1, static_cast<int>(std::ceil(bh - 1e-6)));
    }
    Image dst = blankLike(src, outW, outH);
    // Centred coordinates: destination (u, v) comes from source (u c + v s, -u s + v c).
    const double u0 = 0.5 - outW / 2.0, v0 = 0.5 - outH / 2.0;
    const InverseMap m{u0 * c + v0 * s + w / 2.0 - 0.5, -u0 * s + v0 * c + h / 2.0 - 0.5, c, s};
    const FillPixel f = fillPixel(dst, fill);
    bool filled = false;
    switch (src.format()) {
    case PixelFormat::Indexed: filled = resampleNearest(src, dst, m, f); break;
    case PixelFormat::Gray8: filled = resampleBilinear<1>(src, dst, m, f); break;
    case PixelFormat::Rgb24: filled = resampleBilinear<3>(src, dst, m, f); break;
    case PixelFormat::Rgba32: filled = resampleBilinearRgba(src, dst, m, f); break;
    case PixelFormat::Rgb555: break;  // handled above
    }
    if (filled) commitFill(dst, f, fill);
    return dst;
}

}  // namespace

Image rotate(const Image& src, int hundredthsOfDegree, bool grow, Rgb fill) {
    if (src.empty()) fail("rotate", "empty image");
    int a = hundredthsOfDegree % 36000;
    if (a < 0) a += 36000;
    if (a == 0) return src;
    if (a % 9000 == 0) return rotateExact(src, a / 9000, grow, fill);
    return rotateResampled(src, a, grow, fill);
}

}  // namespace rastel::imaging
