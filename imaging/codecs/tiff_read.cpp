#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "imaging/codec.h"
#include "imaging/codecs/tiff_handle.h"
#include "imaging/codecs/tiff_internal.h"
#include "imaging/colour.h"
#include "imaging/document_budget.h"
#include "imaging/error.h"
#include "imaging/metadata.h"

namespace rastel::imaging {
namespace {

using tiffio::Handle;
using tiffio::kFormat;

// The tags of one directory that decide how its pixels are decoded.
struct Layout {
    std::uint32_t width = 0, height = 0;
    std::uint16_t bps = 1, spp = 1, photometric = PHOTOMETRIC_MINISWHITE;
    std::uint16_t planar = PLANARCONFIG_CONTIG, sampleFormat = SAMPLEFORMAT_UINT;
    std::uint16_t orientation = ORIENTATION_TOPLEFT, compression = COMPRESSION_NONE, inkSet = INKSET_CMYK;
    // Index of the first alpha sample, -1 when there is none; whether it is premultiplied.
    int alphaSample = -1;
    bool alphaAssociated = false;
    bool tiled = false;
    std::uint32_t tileWidth = 0, tileHeight = 0, rowsPerStrip = 0;
};

Layout readLayout(const Handle& h) {
    TIFF* tif = h.get();
    Layout l;
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &l.width) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &l.height))
        h.fail("directory without image size");
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &l.bps);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &l.spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &l.planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &l.sampleFormat);
    TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &l.orientation);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &l.compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &l.inkSet);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &l.photometric)) {
        // Files without Photometric: the common readers' guess.
        l.photometric = l.spp >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
        if (l.compression == COMPRESSION_CCITTRLE || l.compression == COMPRESSION_CCITTFAX3 ||
            l.compression == COMPRESSION_CCITTFAX4)
            l.photometric = PHOTOMETRIC_MINISWHITE;
    }
    std::uint16_t extraCount = 0;
    std::uint16_t* extra = nullptr;
    if (TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extra) && extra != nullptr && extraCount <= l.spp) {
        const int first = l.spp - extraCount;
        for (int i = 0; i < extraCount; ++i)
            if (extra[i] == EXTRASAMPLE_ASSOCALPHA || extra[i] == EXTRASAMPLE_UNASSALPHA) {
                l.alphaSample = first + i;
                l.alphaAssociated = extra[i] == EXTRASAMPLE_ASSOCALPHA;
                break;
            }
    }
    l.tiled = TIFFIsTiled(tif) != 0;
    if (l.tiled) {
        TIFFGetField(tif, TIFFTAG_TILEWIDTH, &l.tileWidth);
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &l.tileHeight);
    } else {
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &l.rowsPerStrip);
    }
    if (l.orientation < ORIENTATION_TOPLEFT || l.orientation > ORIENTATION_LEFTBOT) l.orientation = ORIENTATION_TOPLEFT;
    return l;
}

// Reads one sample of `bps` bits (1..16) from a row: 8 and 16 bits as libtiff
// hands them over (16-bit samples already in host order), other depths as the
// most-significant-bit-first stream the format stores.
inline std::uint32_t sampleAt(const std::uint8_t* row, std::size_t index, int bps) {
    if (bps == 8) return row[index];
    if (bps == 16) {
        std::uint16_t v;
        std::memcpy(&v, row + 2 * index, 2);
        return v;
    }
    std::size_t bit = index * static_cast<std::size_t>(bps);
    std::uint32_t v = 0;
    for (int k = 0; k < bps; ++k, ++bit) v = (v << 1) | ((row[bit >> 3] >> (7 - (bit & 7))) & 1u);
    return v;
}

float halfToFloat(std::uint16_t h) {
    const int exponent = (h >> 10) & 31, mantissa = h & 1023;
    float v;
    if (exponent == 0)
        v = std::ldexp(static_cast<float>(mantissa), -24);
    else if (exponent == 31)
        v = mantissa != 0 ? NAN : INFINITY;
    else
        v = std::ldexp(static_cast<float>(mantissa | 1024), exponent - 25);
    return (h & 0x8000) != 0 ? -v : v;
}

// One sample of the depths and number formats the plain path does not cover,
// as a fraction of full scale: 24/32-bit unsigned, signed integers (offset so
// that the most negative value is black) and floating point (0.0 black, 1.0
// white, clipped).
double wideSample(const std::uint8_t* row, std::size_t i, const Layout& l) {
    if (l.sampleFormat == SAMPLEFORMAT_IEEEFP) {
        double v = 0;
        if (l.bps == 16) {
            std::uint16_t h;
            std::memcpy(&h, row + 2 * i, 2);
            v = halfToFloat(h);
        } else if (l.bps == 32) {
            float f;
            std::memcpy(&f, row + 4 * i, 4);
            v = f;
        } else {
            std::memcpy(&v, row + 8 * i, 8);
        }
        return std::isnan(v) ? 0.0 : std::clamp(v, 0.0, 1.0);
    }
    std::uint32_t u = 0;
    if (l.bps == 24) {
        const std::uint8_t* p = row + 3 * i;  // libtiff hands 24-bit samples over in host (little-endian) order
        u = p[0] | p[1] << 8 | std::uint32_t{p[2]} << 16;
    } else if (l.bps == 32) {
        std::memcpy(&u, row + 4 * i, 4);
    } else {
        u = sampleAt(row, i, l.bps);
    }
    const double full = l.bps == 32 ? 4294967295.0 : static_cast<double>((std::uint64_t{1} << l.bps) - 1);
    if (l.sampleFormat == SAMPLEFORMAT_INT) {
        const std::uint32_t sign = std::uint32_t{1} << (l.bps - 1);
        u = (u & static_cast<std::uint32_t>(full)) ^ sign;  // two's complement to offset binary
    }
    return u / full;
}

bool wideLayout(const Layout& l) {
    if (l.sampleFormat == SAMPLEFORMAT_IEEEFP) return l.bps == 16 || l.bps == 32 || l.bps == 64;
    if (l.sampleFormat == SAMPLEFORMAT_INT) return l.bps == 8 || l.bps == 16 || l.bps == 32;
    return l.bps == 24 || l.bps == 32;
}

// Refuses working buffers larger than the biggest image the pixel limit admits
// could need (16-bit RGBA), so a hostile strip or tile size cannot take memory.
void checkBuffer(std::uint64_t rowBytes, std::uint64_t rows) {
    const std::uint64_t cap = pixelLimit() * 8 + (std::uint64_t{1} << 20);
    if (rows != 0 && rowBytes > cap / rows)
        fail(kFormat,
             "strip or tile rows of " + std::to_string(rowBytes) + " bytes are larger than the image limit allows");
}

// Calls `onRow(y, bytes)` for every row of one plane (all samples when the
// layout is contiguous), from strips or tiles, top to bottom.
void forEachRow(const Handle& h, const Layout& l, int plane, int samplesInPlane,
                const std::function<void(std::uint32_t, const std::uint8_t*)>& onRow) {
    TIFF* tif = h.get();
    const std::uint64_t bitsPerPixel = std::uint64_t{l.bps} * static_cast<std::uint64_t>(samplesInPlane);
    if (!l.tiled) {
        const std::uint64_t rowBytes = (l.width * bitsPerPixel + 7) / 8;
        const std::uint32_t rps = std::clamp<std::uint32_t>(l.rowsPerStrip, 1, l.height);
        checkBuffer(rowBytes, rps);
        std::vector<std::uint8_t> strip(rowBytes * rps);
        for (std::uint32_t y = 0; y < l.height; y += rps) {
            const std::uint32_t rows = std::min(rps, l.height - y);
            const tstrip_t index = TIFFComputeStrip(tif, y, static_cast<std::uint16_t>(plane));
            std::fill(strip.begin(), strip.end(), 0);
            if (TIFFReadEncodedStrip(tif, index, strip.data(), static_cast<tmsize_t>(rowBytes * rows)) < 0)
                h.fail("cannot decode strip " + std::to_string(index));
            for (std::uint32_t r = 0; r < rows; ++r) onRow(y + r, strip.data() + r * rowBytes);
        }
        return;
    }
    const std::uint64_t tileRowBytes = l.tileWidth * bitsPerPixel / 8;
    const std::uint64_t across = (std::uint64_t{l.width} + l.tileWidth - 1) / l.tileWidth;
    checkDimensions(kFormat, static_cast<std::int64_t>(across * l.tileWidth), l.tileHeight);
    checkBuffer(across * tileRowBytes, l.tileHeight);
    const std::uint64_t bandStride = across * tileRowBytes;
    std::vector<std::uint8_t> tile(tileRowBytes * l.tileHeight);
    std::vector<std::uint8_t> band(bandStride * l.tileHeight);
    for (std::uint32_t y = 0; y < l.height; y += l.tileHeight) {
        for (std::uint64_t t = 0; t < across; ++t) {
            const auto x = static_cast<std::uint32_t>(t * l.tileWidth);
            const ttile_t index = TIFFComputeTile(tif, x, y, 0, static_cast<std::uint16_t>(plane));
            std::fill(tile.begin(), tile.end(), 0);
            if (TIFFReadEncodedTile(tif, index, tile.data(), static_cast<tmsize_t>(tile.size())) < 0)
                h.fail("cannot decode tile " + std::to_string(index));
            for (std::uint32_t r = 0; r < l.tileHeight; ++r)
                std::memcpy(band.data() + r * bandStride + t * tileRowBytes, tile.data() + r * tileRowBytes,
                            tileRowBytes);
        }
        const std::uint32_t rows = std::min(l.tileHeight, l.height - y);
        for (std::uint32_t r = 0; r < rows; ++r) onRow(y + r, band.data() + r * bandStride);
    }
}

// Colormap entries are 16-bit; very old writers stored 8-bit values in them,
// recognisable because no entry exceeds 255.
std::vector<Rgb> readColormap(const Handle& h, int bps) {
    std::uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
    if (!TIFFGetField(h.get(), TIFFTAG_COLORMAP, &r, &g, &b) || r == nullptr || g == nullptr || b == nullptr)
        h.fail("palette image without a colormap");
    const int n = 1 << bps;
    bool eightBit = true;
    for (int i = 0; i < n && eightBit; ++i) eightBit = r[i] < 256 && g[i] < 256 && b[i] < 256;
    auto to8 = [eightBit](std::uint16_t v) {
        return static_cast<std::uint8_t>(eightBit ? v : (std::uint32_t{v} * 255 + 32767) / 65535);
    };
    std::vector<Rgb> pal(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) pal[static_cast<std::size_t>(i)] = Rgb{to8(r[i]), to8(g[i]), to8(b[i])};
    return pal;
}

void unpremultiply(Image& img) {
    for (int y = 0; y < img.height(); ++y) {
        std::uint8_t* p = img.row(y);
        for (int x = 0; x < img.width(); ++x, p += 4) {
            const unsigned a = p[3];
            if (a == 0 || a == 255) continue;
            for (int c = 0; c < 3; ++c) p[c] = static_cast<std::uint8_t>(std::min(255u, (p[c] * 255u + a / 2) / a));
        }
    }
}

Image dropAlpha(const Image& rgba) {
    Image out(rgba.width(), rgba.height(), PixelFormat::Rgb24);
    for (int y = 0; y < rgba.height(); ++y) {
        const std::uint8_t* s = rgba.row(y);
        std::uint8_t* d = out.row(y);
        for (int x = 0; x < rgba.width(); ++x) std::memcpy(d + 3 * x, s + 4 * x, 3);
    }
    return out;
}

// Whether the direct decoder below handles the layout; everything else goes
// through libtiff's RGBA conversion.
bool nativeLayout(const Layout& l) {
    if (l.spp < 1 || l.bps < 1) return false;
    const bool plain = l.sampleFormat == SAMPLEFORMAT_UINT && l.bps <= 16;
    if (!plain && !wideLayout(l)) return false;
    if (l.compression == COMPRESSION_OJPEG) return false;
    if (l.tiled) {
        if (l.tileWidth == 0 || l.tileHeight == 0) return false;
        const std::uint64_t perPlane = l.planar == PLANARCONFIG_CONTIG ? l.spp : 1;
        if ((std::uint64_t{l.tileWidth} * l.bps * perPlane) % 8 != 0) return false;
    }
    switch (l.photometric) {
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_MINISBLACK: return true;
    case PHOTOMETRIC_PALETTE: return plain;
    case PHOTOMETRIC_CIELAB: return l.bps == 8 && l.spp >= 3 && plain;
    case PHOTOMETRIC_RGB: return l.spp >= 3;
    case PHOTOMETRIC_SEPARATED:
        return plain && (l.bps == 8 || l.bps == 16) &&
               ((l.inkSet == INKSET_CMYK && l.spp >= 4) || (l.inkSet != INKSET_CMYK && l.spp == 3));
    default: return false;
    }
}

// Decodes the layouts nativeLayout() accepts, keeping palettes and bilevel
// images indexed.
Image decodeNative(const Handle& h, const Layout& l) {
    const int w = static_cast<int>(l.width), ht = static_cast<int>(l.height);
    const bool gray = l.photometric == PHOTOMETRIC_MINISBLACK || l.photometric == PHOTOMETRIC_MINISWHITE;
    const bool invert = l.photometric == PHOTOMETRIC_MINISWHITE;
    const bool cmyk = l.photometric == PHOTOMETRIC_SEPARATED && l.spp >= 4 && l.inkSet == INKSET_CMYK;
    const bool cmy = l.photometric == PHOTOMETRIC_SEPARATED && !cmyk;
    const bool lab = l.photometric == PHOTOMETRIC_CIELAB;
    const bool wide = wideLayout(l);
    const bool alpha = l.alphaSample >= 0 && !cmy && !cmyk && !lab && l.photometric != PHOTOMETRIC_PALETTE;
    // Palettes deeper than 8 bits do not fit an Indexed image: looked up into RGB.
    const bool deepPalette = l.photometric == PHOTOMETRIC_PALETTE && l.bps > 8;
    const bool indexed =
        (l.photometric == PHOTOMETRIC_PALETTE && !deepPalette) || (gray && !alpha && l.bps < 8 && !wide);
    std::vector<Rgb> lookup;

    Image img;
    // Where each sample goes inside an output pixel (-1: dropped) and whether it is scaled to 8 bits.
    std::vector<int> target(l.spp, -1);
    bool scale = true;
    if (indexed) {
        img = Image(w, ht, PixelFormat::Indexed, l.bps);
        target[0] = 0;
        scale = false;
        if (l.photometric == PHOTOMETRIC_PALETTE) {
            img.palette() = readColormap(h, l.bps);
        } else {
            img.palette() = grayPalette(l.bps);
            if (invert) std::reverse(img.palette().begin(), img.palette().end());
        }
    } else if (deepPalette) {
        img = Image(w, ht, PixelFormat::Rgb24);
        lookup = readColormap(h, l.bps);
        target[0] = 0;
        scale = false;
    } else if (gray) {
        img = Image(w, ht, alpha ? PixelFormat::Rgba32 : PixelFormat::Gray8);
        target[0] = 0;
        if (alpha) target[static_cast<std::size_t>(l.alphaSample)] = 3;
    } else if (cmyk) {
        img = Image(w, ht, PixelFormat::Rgba32);
        for (int i = 0; i < 4; ++i) target[static_cast<std::size_t>(i)] = i;
    } else if (lab) {
        img = Image(w, ht, PixelFormat::Rgb24);
        for (int i = 0; i < 3; ++i) target[static_cast<std::size_t>(i)] = i;
        scale = false;
    } else {  // RGB or CMY
        img = Image(w, ht, alpha ? PixelFormat::Rgba32 : PixelFormat::Rgb24);
        for (int i = 0; i < 3; ++i) target[static_cast<std::size_t>(i)] = i;
        if (alpha) target[static_cast<std::size_t>(l.alphaSample)] = 3;
    }
    const int bpp = bytesPerPixel(img.format());
    const std::uint32_t maxValue = l.bps <= 16 ? (1u << l.bps) - 1 : 1;  // only the plain path scales by it
    auto store = [&](std::uint8_t* dst, int sampleIndex, const std::uint8_t* row, std::size_t i) {
        const int t = target[static_cast<std::size_t>(sampleIndex)];
        if (t < 0) return;
        if (wide) {
            auto out = static_cast<std::uint8_t>(std::lround(wideSample(row, i, l) * 255));
            dst[t] = invert && t != 3 ? static_cast<std::uint8_t>(255 - out) : out;
            return;
        }
        const std::uint32_t v = sampleAt(row, i, l.bps);
        if (deepPalette) {
            const Rgb c = lookup[v];
            dst[0] = c.r, dst[1] = c.g, dst[2] = c.b;
            return;
        }
        std::uint32_t out = scale ? (v * 255 + maxValue / 2) / maxValue : v;
        if (invert && scale && t != 3) out = 255 - out;
        dst[t] = static_cast<std::uint8_t>(out);
    };
    // The common cases, 8- or 16-bit samples stored in the order and count of
    // the output pixel (gray, RGB, RGBA, CMYK, 8-bit palette), are a row copy
    // or a row of 16-to-8-bit scaling.
    bool identity = l.planar == PLANARCONFIG_CONTIG && (l.bps == 8 || (l.bps == 16 && scale)) && !wide && !invert &&
                    !deepPalette && l.spp == bpp;
    for (int s = 0; identity && s < l.spp; ++s) identity = target[static_cast<std::size_t>(s)] == s;
    if (identity) {
        const std::size_t samples = static_cast<std::size_t>(w) * static_cast<std::size_t>(bpp);
        forEachRow(h, l, 0, l.spp, [&](std::uint32_t y, const std::uint8_t* row) {
            std::uint8_t* dst = img.row(static_cast<int>(y));
            if (l.bps == 8) {
                std::memcpy(dst, row, samples);
                return;
            }
            for (std::size_t i = 0; i < samples; ++i) {
                std::uint16_t v;
                std::memcpy(&v, row + 2 * i, 2);
                // round(v * 255 / 65535): v / 257 never falls on a half.
                dst[i] = static_cast<std::uint8_t>((v + 128u) / 257u);
            }
        });
    } else if (l.planar == PLANARCONFIG_CONTIG) {
        forEachRow(h, l, 0, l.spp, [&](std::uint32_t y, const std::uint8_t* row) {
            std::uint8_t* dst = img.row(static_cast<int>(y));
            std::size_t i = 0;
            for (int x = 0; x < w; ++x, dst += bpp)
                for (int s = 0; s < l.spp; ++s, ++i)
                    if (target[static_cast<std::size_t>(s)] >= 0) store(dst, s, row, i);
        });
    } else {
        for (int s = 0; s < l.spp; ++s) {
            if (target[static_cast<std::size_t>(s)] < 0) continue;
            forEachRow(h, l, s, 1, [&](std::uint32_t y, const std::uint8_t* row) {
                std::uint8_t* dst = img.row(static_cast<int>(y));
                for (int x = 0; x < w; ++x, dst += bpp) store(dst, s, row, static_cast<std::size_t>(x));
            });
        }
    }
    // Finish the colour models the output layouts do not hold.
    if (gray && alpha)
        for (int y = 0; y < ht; ++y)
            for (std::uint8_t* p = img.row(y); p < img.row(y) + 4 * w; p += 4) p[1] = p[2] = p[0];
    if (cmy)
        for (int y = 0; y < ht; ++y)
            for (std::uint8_t* p = img.row(y); p < img.row(y) + 3 * w; ++p) *p = static_cast<std::uint8_t>(255 - *p);
    if (lab) {
        const LabToRgb toRgb(true);
        for (int y = 0; y < ht; ++y) toRgb.convert(img.row(y), static_cast<unsigned>(w));
    }
    if (cmyk) {
        // Through the directory's own CMYK profile, else the standard one.
        std::uint32_t iccSize = 0;
        void* icc = nullptr;
        if (!TIFFGetField(h.get(), TIFFTAG_ICCPROFILE, &iccSize, &icc) || icc == nullptr) iccSize = 0;
        const CmykToRgb toRgb({static_cast<const std::uint8_t*>(icc), iccSize}, false);
        Image rgb(w, ht, PixelFormat::Rgb24);
        for (int y = 0; y < ht; ++y) toRgb.convert(img.row(y), rgb.row(y), static_cast<unsigned>(w));
        img = std::move(rgb);
    }
    if (alpha && l.alphaAssociated) unpremultiply(img);
    return img;
}

// What a directory holds, for messages: "YCbCr, 3 x 8 bits, planar, LZW".
std::string describeLayout(const Layout& l) {
    static const std::pair<int, const char*> models[] = {{PHOTOMETRIC_MINISWHITE, "white is zero"},
                                                         {PHOTOMETRIC_MINISBLACK, "black is zero"},
                                                         {PHOTOMETRIC_RGB, "RGB"},
                                                         {PHOTOMETRIC_PALETTE, "palette"},
                                                         {PHOTOMETRIC_MASK, "mask"},
                                                         {PHOTOMETRIC_SEPARATED, "separated"},
                                                         {PHOTOMETRIC_YCBCR, "YCbCr"},
                                                         {PHOTOMETRIC_CIELAB, "CIE L*a*b*"},
                                                         {PHOTOMETRIC_ICCLAB, "ICC L*a*b*"},
                                                         {PHOTOMETRIC_ITULAB, "ITU L*a*b*"},
                                                         {PHOTOMETRIC_LOGL, "LogL"},
                                                         {PHOTOMETRIC_LOGLUV, "LogLuv"}};
    std::string model = "photometric " + std::to_string(l.photometric);
    for (const auto& [code, name] : models)
        if (code == l.photometric) model = name;
    const TIFFCodec* codec = TIFFFindCODEC(l.compression);
    const std::string compression = codec != nullptr ? codec->name : "compression " + std::to_string(l.compression);
    return model + ", " + std::to_string(l.spp) + " x " + std::to_string(l.bps) + " bits, " +
           (l.planar == PLANARCONFIG_SEPARATE ? "planar, " : "") + compression;
}

// Everything libtiff can turn into RGBA: CMYK variants, YCbCr (also inside
// JPEG), CIE Lab, LogLuv, odd depths.
Image decodeRgba(const Handle& h, const Layout& l) {
    TIFF* tif = h.get();
    char message[1024] = "";
    if (!TIFFRGBAImageOK(tif, message))
        imaging::fail(kFormat, "unsupported layout (" + describeLayout(l) + "): " + message);
    Image img(static_cast<int>(l.width), static_cast<int>(l.height), PixelFormat::Rgba32);
    // libtiff fills the page's own rows (4 bytes a pixel, none between rows)
    // with one 32-bit value a pixel. Rows come back in stored order; the
    // orientation is applied afterwards like on the direct path, so that all
    // eight orientations behave the same.
    auto* raster = reinterpret_cast<std::uint32_t*>(img.data());
    TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    if (!TIFFReadRGBAImageOriented(tif, l.width, l.height, raster, ORIENTATION_TOPLEFT, 1))
        h.fail("cannot decode the image (" + describeLayout(l) + ")");
    // The value holds R, G, B, A from its low byte up: in memory that is
    // already the page's RGBA order on a little-endian machine.
    if constexpr (std::endian::native != std::endian::little) {
        std::uint8_t* d = img.data();
        for (std::size_t i = 0; i < static_cast<std::size_t>(l.width) * l.height; ++i, d += 4) {
            std::uint32_t v;
            std::memcpy(&v, d, 4);
            d[0] = static_cast<std::uint8_t>(TIFFGetR(v));
            d[1] = static_cast<std::uint8_t>(TIFFGetG(v));
            d[2] = static_cast<std::uint8_t>(TIFFGetB(v));
            d[3] = static_cast<std::uint8_t>(TIFFGetA(v));
        }
    }
    // libtiff hands alpha over premultiplied.
    if (l.alphaSample < 0) return dropAlpha(img);
    unpremultiply(img);
    return img;
}

// YCbCr-to-RGB of TIFF 6.0 section 21: the coefficients and the reference
// black and white of the directory; coefficients that cannot describe a
// colour space (zero, negative, far from summing to one) give BT.601's.
struct YcbcrModel {
    float luma[3] = {0.299f, 0.587f, 0.114f};
    float refBW[6] = {0, 255, 128, 255, 128, 255};
};

bool lumaUsable(const float* c) {
    for (int i = 0; i < 3; ++i)
        if (!std::isfinite(c[i]) || c[i] <= 0 || c[i] >= 1) return false;
    return std::fabs(c[0] + c[1] + c[2] - 1) < 0.1;
}

YcbcrModel readYcbcrModel(TIFF* tif) {
    YcbcrModel m;
    float* luma = nullptr;
    if (TIFFGetField(tif, TIFFTAG_YCBCRCOEFFICIENTS, &luma) && luma != nullptr && lumaUsable(luma))
        std::copy(luma, luma + 3, m.luma);
    float* ref = nullptr;
    if (TIFFGetField(tif, TIFFTAG_REFERENCEBLACKWHITE, &ref) && ref != nullptr &&
        std::all_of(ref, ref + 6, [](float v) { return std::isfinite(v); }))
        std::copy(ref, ref + 6, m.refBW);
    return m;
}

// libtiff's RGBA path refuses unusable coefficients outright; it is given
// the defaults instead.
void repairYcbcrCoefficients(TIFF* tif) {
    float* luma = nullptr;
    if (TIFFGetField(tif, TIFFTAG_YCBCRCOEFFICIENTS, &luma) && luma != nullptr && !lumaUsable(luma)) {
        float defaults[3] = {0.299f, 0.587f, 0.114f};
        TIFFSetField(tif, TIFFTAG_YCBCRCOEFFICIENTS, defaults);
    }
}

// Planar (PlanarConfiguration 2) 8-bit YCbCr, chroma planes subsampled:
// libtiff's RGBA path refuses these, so the three planes are read strip by
// strip and the chroma is replicated over its h x v block.
bool planarYcbcr(const Layout& l) {
    return l.photometric == PHOTOMETRIC_YCBCR && l.planar == PLANARCONFIG_SEPARATE && l.spp == 3 && l.bps == 8 &&
           l.sampleFormat == SAMPLEFORMAT_UINT && l.compression != COMPRESSION_OJPEG;
}

Image decodePlanarYcbcr(const Handle& h, const Layout& l) {
    TIFF* tif = h.get();
    if (l.tiled) imaging::fail(kFormat, "tiled planar YCbCr is not supported");
    std::uint16_t hs = 1, vs = 1;
    TIFFGetFieldDefaulted(tif, TIFFTAG_YCBCRSUBSAMPLING, &hs, &vs);
    auto valid = [](std::uint16_t f) { return f == 1 || f == 2 || f == 4; };
    if (!valid(hs) || !valid(vs))
        imaging::fail(kFormat,
                      "YCbCr subsampling " + std::to_string(hs) + "x" + std::to_string(vs) + " is not 1, 2 or 4");
    const std::uint32_t w = l.width, ht = l.height;
    const std::uint32_t rps = std::clamp<std::uint32_t>(l.rowsPerStrip, 1, ht);
    // Each strip of a chroma plane holds the chroma of the strip's luma rows.
    if (rps < ht && rps % vs != 0)
        imaging::fail(kFormat, "rows per strip are not a multiple of the vertical subsampling");
    // libtiff would undo horizontal differencing over rows of the luma width,
    // also in the narrower chroma planes; it is undone here per plane row.
    std::uint16_t predictor = PREDICTOR_NONE;
    TIFFGetFieldDefaulted(tif, TIFFTAG_PREDICTOR, &predictor);
    if (predictor == PREDICTOR_HORIZONTAL) TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_NONE);
    std::vector<std::uint8_t> planes[3];
    std::uint32_t planeWidth[3], planeHeight[3];
    for (int p = 0; p < 3; ++p) {
        const std::uint32_t fh = p == 0 ? 1 : hs, fv = p == 0 ? 1 : vs;
        planeWidth[p] = (w + fh - 1) / fh;
        planeHeight[p] = (ht + fv - 1) / fv;
        planes[p].assign(std::size_t{planeWidth[p]} * planeHeight[p], p == 0 ? 0 : 128);
        for (std::uint32_t y = 0; y < ht; y += rps) {
            const std::uint32_t rows = (std::min(rps, ht - y) + fv - 1) / fv;
            const std::size_t bytes = std::size_t{planeWidth[p]} * rows;
            const tstrip_t index = TIFFComputeStrip(tif, y, static_cast<std::uint16_t>(p));
            std::uint8_t* dst = planes[p].data() + std::size_t{y / fv} * planeWidth[p];
            if (TIFFReadEncodedStrip(tif, index, dst, static_cast<tmsize_t>(bytes)) < 0)
                h.fail("cannot decode strip " + std::to_string(index));
        }
        if (predictor == PREDICTOR_HORIZONTAL)
            for (std::uint32_t r = 0; r < planeHeight[p]; ++r) {
                std::uint8_t* row = planes[p].data() + std::size_t{r} * planeWidth[p];
                for (std::uint32_t x = 1; x < planeWidth[p]; ++x)
                    row[x] = static_cast<std::uint8_t>(row[x] + row[x - 1]);
            }
    }
    const YcbcrModel m = readYcbcrModel(tif);
    const double kr = m.luma[0], kg = m.luma[1], kb = m.luma[2];
    auto range = [](double black, double white) { return white - black != 0 ? white - black : 1.0; };
    const double ys = 255.0 / range(m.refBW[0], m.refBW[1]), cbs = 127.0 / range(m.refBW[2], m.refBW[3]),
                 crs = 127.0 / range(m.refBW[4], m.refBW[5]);
    auto clamp8 = [](double v) { return static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0, 255.0))); };
    Image img(static_cast<int>(w), static_cast<int>(ht), PixelFormat::Rgb24);
    for (std::uint32_t y = 0; y < ht; ++y) {
        std::uint8_t* d = img.row(static_cast<int>(y));
        const std::uint8_t* yRow = planes[0].data() + std::size_t{y} * w;
        const std::uint8_t* cbRow = planes[1].data() + std::size_t{y / vs} * planeWidth[1];
        const std::uint8_t* crRow = planes[2].data() + std::size_t{y / vs} * planeWidth[2];
        for (std::uint32_t x = 0; x < w; ++x, d += 3) {
            const double Y = (yRow[x] - m.refBW[0]) * ys;
            const double cb = (cbRow[x / hs] - m.refBW[2]) * cbs, cr = (crRow[x / hs] - m.refBW[4]) * crs;
            d[0] = clamp8(Y + (2 - 2 * kr) * cr);
            d[1] = clamp8(Y - (kb * (2 - 2 * kb) / kg) * cb - (kr * (2 - 2 * kr) / kg) * cr);
            d[2] = clamp8(Y + (2 - 2 * kb) * cb);
        }
    }
    return img;
}

void readResolution(TIFF* tif, Image& img) {
    float xr = 0, yr = 0;
    std::uint16_t unit = RESUNIT_INCH;
    if (!TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xr)) return;
    if (!TIFFGetField(tif, TIFFTAG_YRESOLUTION, &yr)) yr = xr;
    TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
    if (unit == RESUNIT_NONE) return;  // only an aspect ratio
    const double f = unit == RESUNIT_CENTIMETER ? 2.54 : 1.0;
    auto sane = [](double v) { return std::isfinite(v) && v > 0 && v < 1e6 ? v : 0.0; };
    img.xDpi = sane(xr * f);
    img.yDpi = sane(yr * f);
}

Image decodePage(const Handle& h) {
    const Layout l = readLayout(h);
    checkDimensions(kFormat, l.width, l.height);
    Image img;
    if (nativeLayout(l)) {
        img = decodeNative(h, l);
    } else if (planarYcbcr(l)) {
        img = decodePlanarYcbcr(h, l);
    } else {
        if (l.photometric == PHOTOMETRIC_YCBCR) repairYcbcrCoefficients(h.get());
        img = decodeRgba(h, l);
    }
    readResolution(h.get(), img);
    // TIFF's Orientation values are the Exif ones.
    applyOrientation(img, l.orientation);
    img.metadata = readTiffMetadata(h);
    return img;
}

// One handle kept open on the file (its bytes in memory, or the file read in
// pieces); each page switches to its directory and decodes it, so the pages
// are decoded one at a time.
class TiffPages : public PageSource {
public:
    explicit TiffPages(std::span<const std::uint8_t> data) : h_(data) { countPages(); }
    TiffPages(int fd, std::uint64_t size) : h_(fd, size) { countPages(); }

    int pageCount() const override { return static_cast<int>(count_); }

    Image page(int index) override {
        const auto dir = static_cast<tdir_t>(index);
        // The next directory follows the chain; any other one (also the
        // current one again, whose fields a decode may have changed) is read afresh.
        const bool ok = dir == current_ + 1 ? TIFFReadDirectory(h_.get()) != 0 : TIFFSetDirectory(h_.get(), dir) != 0;
        current_ = dir;
        if (!ok) h_.fail("cannot read the directory of page " + std::to_string(index + 1));
        return decodePage(h_);
    }

private:
    void countPages() {
        const tdir_t n = TIFFNumberOfDirectories(h_.get());
        if (n == 0) h_.fail("no image directory");
        // The directories that can be read, as read() finds them: the chain
        // ends at the first one that cannot. Their sizes together are checked
        // against the pixel limit before any page is decoded; a page too large
        // on its own is left to fail with its own message when decoded.
        std::uint64_t total = 0;
        for (tdir_t i = 0; i < n; ++i) {
            if (i > 0 && !TIFFReadDirectory(h_.get())) break;
            ++count_;
            std::uint32_t w = 0, ht = 0;
            if (TIFFGetField(h_.get(), TIFFTAG_IMAGEWIDTH, &w) && TIFFGetField(h_.get(), TIFFTAG_IMAGELENGTH, &ht)) {
                const std::uint64_t pixels = std::uint64_t{w} * ht;
                if (pixels <= pixelLimit()) total += pixels;
            }
        }
        h_.clearErrors();
        checkDocumentPixels(total);
        current_ = count_ - 1;
    }

    Handle h_;
    tdir_t count_ = 0;
    tdir_t current_ = 0;
};

class TiffReader : public FormatReader {
public:
    std::string name() const override { return kFormat; }
    std::vector<std::string> extensions() const override { return {".tif", ".tiff"}; }

    Sniff sniff(std::span<const std::uint8_t> head) const override {
        if (head.size() < 4) return Sniff::No;
        const bool ii = head[0] == 'I' && head[1] == 'I' && head[3] == 0 && (head[2] == 42 || head[2] == 43);
        const bool mm = head[0] == 'M' && head[1] == 'M' && head[2] == 0 && (head[3] == 42 || head[3] == 43);
        return ii || mm ? Sniff::Strong : Sniff::No;
    }

    int pageCount(std::span<const std::uint8_t> data, const ReadContext&) const override {
        Handle h(data);
        return readablePages(h);
    }

    Document read(std::span<const std::uint8_t> data, const ReadContext&) const override {
        Handle h(data);
        const tdir_t n = directoryCount(h);
        Document doc;
        for (tdir_t i = 0; i < n; ++i) {
            // A directory that cannot be read ends the chain: the pages before
            // it are kept, as other readers keep them.
            if (i > 0 && !TIFFReadDirectory(h.get())) break;
            doc.pages.push_back(decodePage(h));
        }
        return doc;
    }

    std::unique_ptr<PageSource> open(std::span<const std::uint8_t> data, const ReadContext&) const override {
        return std::make_unique<TiffPages>(data);
    }

    bool readsInPieces() const override { return true; }

    int pageCountOfFile(int fd, std::uint64_t size, const ReadContext&) const override {
        Handle h(fd, size);
        return readablePages(h);
    }

    std::unique_ptr<PageSource> openFile(int fd, std::uint64_t size, const ReadContext&) const override {
        return std::make_unique<TiffPages>(fd, size);
    }

private:
    // The count walks the directory chain only and stops at loops, so every
    // directory it finds is visited exactly once.
    static tdir_t directoryCount(Handle& h) {
        const tdir_t n = TIFFNumberOfDirectories(h.get());
        if (n == 0) h.fail("no image directory");
        h.clearErrors();
        return n;
    }

    // The directories read() finds: the chain up to the first one that cannot be read.
    static int readablePages(Handle& h) {
        const tdir_t n = directoryCount(h);
        tdir_t readable = 1;
        while (readable < n && TIFFReadDirectory(h.get())) ++readable;
        return static_cast<int>(readable);
    }
};

}  // namespace

std::unique_ptr<FormatReader> makeTiffReader() { return std::make_unique<TiffReader>(); }

}  // namespace rastel::imaging
