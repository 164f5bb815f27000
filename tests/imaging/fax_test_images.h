#pragma once

// Bi-level test pages shared by the CCITT, raw fax, CALS and IOCA tests.

#include <cstdint>

#include "imaging/convert.h"
#include "imaging/image.h"

namespace rastel::imaging::faxtest {

// A page with long runs, short runs, isolated pixels and full black lines, so
// that every kind of code (make-up, terminating, pass, vertical, horizontal)
// turns up. Index 1 is black, index 0 white, as the fax decoders produce.
inline Image bilevelPage(int width, int height, std::uint32_t seed = 1) {
    Image img(width, height, PixelFormat::Indexed, 1);
    img.palette() = {Rgb{255, 255, 255}, Rgb{0, 0, 0}};
    std::uint32_t s = seed * 2654435761u + 12345u;
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = img.row(y);
        for (int x = 0; x < width; ++x) {
            s = s * 1664525u + 1013904223u;
            bool black = ((x / 9 + y / 5) % 4 == 0);            // blocks
            if (y % 17 == 3) black = true;                       // full black line
            if (x % 101 == 50) black = !black;                   // thin vertical stripes
            if ((s >> 24) < 6) black = !black;                   // noise
            row[x] = black ? 1 : 0;
        }
    }
    return img;
}

inline bool isBlack(const Image& img, int x, int y) {
    const Rgb c = pixelRgb(img, x, y);
    return (299 * c.r + 587 * c.g + 114 * c.b + 500) / 1000 < 128;
}

// Whether two pages show the same black pixels (any layouts).
inline bool sameBlackPixels(const Image& a, const Image& b) {
    if (a.width() != b.width() || a.height() != b.height()) return false;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            if (isBlack(a, x, y) != isBlack(b, x, y)) return false;
    return true;
}

}  // namespace rastel::imaging::faxtest
