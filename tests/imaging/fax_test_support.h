#pragma once

// Test pages and tool helpers shared by the CCITT, raw fax, CALS and IOCA tests.

#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "imaging/convert.h"
#include "imaging/image.h"
#include "tests/support/test_support.h"

namespace rastel::imaging::faxtest {

using rastel::test::capture;
using rastel::test::haveTool;
using rastel::test::runQuiet;
using rastel::test::TempDir;
inline std::vector<std::uint8_t> readFile(const std::string& path) { return rastel::test::readBytes(path); }
inline void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    rastel::test::writeBytes(path, bytes);
}

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

// A page of dense noise, for data larger than one IOCA or MO:DCA piece.
inline Image noisePage(int width, int height) {
    Image img(width, height, PixelFormat::Indexed, 1);
    img.palette() = {Rgb{255, 255, 255}, Rgb{0, 0, 0}};
    std::uint32_t s = 77;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            s = s * 1664525u + 1013904223u;
            img.row(y)[x] = (s >> 28) < 5 ? 1 : 0;
        }
    return img;
}

// Keeps a copy of a small test file as a seed for fuzz target `target`.
inline void keepSeed(const std::string& target, const std::string& name, const std::vector<std::uint8_t>& data) {
    if (data.size() < 20000) rastel::test::keepFuzzSeed(target, name, data);
}

// Reads a binary PBM/PGM/PPM file; an empty image when the file is not one.
inline Image readPbm(const std::string& path) {
    try {
        return rastel::test::parsePnm(readFile(path));
    } catch (const std::exception&) {
        return Image();
    }
}

// Whether `big` shows `page` at its top left and only white elsewhere (fax tools
// pad lines to a fax width and count end-of-page marks as extra white lines).
inline bool showsPageThenWhite(const Image& big, const Image& page) {
    if (big.width() < page.width() || big.height() < page.height()) return false;
    for (int y = 0; y < big.height(); ++y)
        for (int x = 0; x < big.width(); ++x) {
            const bool inside = x < page.width() && y < page.height();
            if (isBlack(big, x, y) != (inside && isBlack(page, x, y))) return false;
        }
    return true;
}

}  // namespace rastel::imaging::faxtest
