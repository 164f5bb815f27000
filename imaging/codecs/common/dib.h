#pragma once

// Device-independent bitmaps: the information header, colour table and pixel
// rows that Windows and OS/2 bitmap files, icons and metafile bitmap records
// share. Readers parse the header with parseDibHeader() and decode with
// decodeDib(); writers lay out rows with encodeDibPixels().

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "imaging/codecs/common/byte_io.h"
#include "imaging/image.h"

namespace rastel::imaging {

// Compression values of the Windows headers.
inline constexpr std::uint32_t kBiRgb = 0, kBiRle8 = 1, kBiRle4 = 2, kBiBitfields = 3, kBiJpeg = 4, kBiPng = 5,
                               kBiAlphaBitfields = 6;

// Header sizes: 12 is the OS/2 1.x core header; 40, 52, 56, 108 and 124 the
// Windows headers; other even sizes from 16 to 64 the OS/2 2.x header cut
// after any field.
bool isWindowsDibHeaderSize(std::uint32_t size);
bool isOs2v2DibHeaderSize(std::uint32_t size);
bool isKnownDibHeaderSize(std::uint32_t size);

// What the information header of a bitmap says.
struct DibHeader {
    std::uint32_t headerSize = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;  // rows, positive
    bool topDown = false;
    int bits = 0;
    std::uint32_t compression = kBiRgb;
    std::uint32_t clrUsed = 0;
    std::int32_t xPpm = 0, yPpm = 0;
    bool os2v1 = false;
    bool os2v2 = false;
    bool hasMasks = false;  // bit-field compression
    std::uint32_t rMask = 0, gMask = 0, bMask = 0, aMask = 0;
    std::size_t paletteStart = 0;  // absolute offset in the data
    int paletteEntrySize = 4;
    std::uint64_t tableEntries = 0;  // colour-table entries the header announces
};

// Reads and checks the information header that starts at `pos` of `data`.
// Throws Error("<fmt>: ...") on anything it cannot decode.
DibHeader parseDibHeader(std::span<const std::uint8_t> data, std::size_t pos, const char* fmt);

// Offset of the pixel data of a packed bitmap (header, colour table, pixels
// with nothing between them): right after the table the header announces.
std::uint64_t packedDibPixelOffset(const DibHeader& h);

// Bytes of one stored row (padded to 4 bytes).
std::uint64_t dibRowBytes(std::int64_t width, int bits);

// Decodes the picture whose header was parsed into `h`. `pixels` is the
// offset of the pixel data in `data`. With `iconAlpha`, 32-bit pixels always
// come back as Rgba32 with their fourth byte as stored.
Image decodeDib(std::span<const std::uint8_t> data, const DibHeader& h, std::size_t pixels, bool iconAlpha,
                const char* fmt);

// Copies the header's pixels per metre to the image as dots per inch (0 when unset).
void setDibResolution(Image& img, const DibHeader& h);

// Dots per inch to pixels per metre; 96 dpi when `dpi` is unset.
std::int32_t dibPixelsPerMetre(double dpi);

// The stored pixel rows of `img`, bottom row first, each padded to 4 bytes.
// `img` must already be in the layout of `bits` (toBitsPerPixel). With `rle`
// (4 or 8 bits) the rows are run-length encoded, ending with end-of-bitmap.
std::vector<std::uint8_t> encodeDibPixels(const Image& img, int bits, bool rle);
// Stored row `stored` (0: the bottom row of `img`) without compression, into
// `out`, which holds dibRowBytes(img.width(), bits) bytes; padding is zero.
void encodeDibRow(const Image& img, int bits, int stored, std::uint8_t* out);

// Writes `entries` colour-table entries from `palette` (black past its end),
// blue-green-red plus a zero byte when `entrySize` is 4.
void writeDibColourTable(ByteWriter& out, const std::vector<Rgb>& palette, std::uint32_t entries, int entrySize);

}  // namespace rastel::imaging
