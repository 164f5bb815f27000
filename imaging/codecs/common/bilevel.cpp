#include "imaging/codecs/common/bilevel.h"

#include "imaging/convert.h"

namespace rastel::imaging {

namespace {
int luma(const Rgb& c) { return 299 * c.r + 587 * c.g + 114 * c.b; }
}  // namespace

Image toInkBits(const Image& page) {
    const Image two = toIndexed(page, 1);
    const auto& pal = two.palette();
    bool ink[2] = {false, true};
    if (pal.size() >= 2) {
        ink[0] = luma(pal[0]) < luma(pal[1]);
        ink[1] = luma(pal[1]) < luma(pal[0]);
        if (luma(pal[0]) == luma(pal[1])) ink[0] = ink[1] = luma(pal[0]) < 128 * 1000;
    } else if (pal.size() == 1) {
        ink[0] = ink[1] = luma(pal[0]) < 128 * 1000;
    }
    Image out(page.width(), page.height(), PixelFormat::Indexed, 1);
    out.palette() = {Rgb{255, 255, 255}, Rgb{0, 0, 0}};
    out.xDpi = page.xDpi;
    out.yDpi = page.yDpi;
    for (int y = 0; y < page.height(); ++y) {
        const std::uint8_t* s = two.row(y);
        std::uint8_t* d = out.row(y);
        for (int x = 0; x < page.width(); ++x) d[x] = ink[s[x] & 1] ? 1 : 0;
    }
    return out;
}

}  // namespace rastel::imaging
