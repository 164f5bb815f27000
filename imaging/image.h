#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace rastel::imaging {

// Pixel layouts the engine works in. Rows are contiguous, one byte per sample:
//  Indexed  one byte per pixel holding a palette index; bits() (1..8) says how many
//           bits the index needs, the palette holds at most 2^bits entries
//  Gray8    one byte per pixel, 0 black .. 255 white, no palette
//  Rgb555   two bytes per pixel, little-endian 0RRRRRGGGGGBBBBB
//  Rgb24    R, G, B
//  Rgba32   R, G, B, A (A 255 opaque)
// CMYK, YCbCr and packed bit layouts exist only inside codecs.
enum class PixelFormat { Indexed, Gray8, Rgb555, Rgb24, Rgba32 };

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

// Bytes per pixel of a layout.
int bytesPerPixel(PixelFormat f);
const char* formatName(PixelFormat f);

// Largest number of pixels a decoder may allocate (default 2^28). Decoders call
// checkDimensions() before allocating anything sized by header fields.
std::uint64_t pixelLimit();
void setPixelLimit(std::uint64_t limit);
// Throws Error("<format>: ...") when width or height is not positive or the
// image is larger than the pixel limit.
void checkDimensions(const std::string& format, std::int64_t width, std::int64_t height);

struct Metadata;

// Zero-filled pixel storage. A large block comes from calloc as fresh pages
// the system has zeroed already, so, unlike a zero-filled vector, nothing
// passes over the whole image before a decoder writes it. Each thread also
// keeps the last large block it freed and hands it to the next image of about
// its size, cleared: a batch goes through pages of one size after another,
// and reusing the block spares a page fault per 4 KiB of every page.
class PixelBuffer {
public:
    PixelBuffer() = default;
    // Throws std::bad_alloc when the memory cannot be had.
    explicit PixelBuffer(std::size_t size);
    PixelBuffer(const PixelBuffer& other);
    PixelBuffer& operator=(const PixelBuffer& other);
    PixelBuffer(PixelBuffer&& other) noexcept;
    PixelBuffer& operator=(PixelBuffer&& other) noexcept;
    ~PixelBuffer();

    std::uint8_t* data() { return bytes_; }
    const std::uint8_t* data() const { return bytes_; }
    std::size_t size() const { return size_; }

private:
    // Takes `size` bytes, zeroed when `zero`.
    void allocate(std::size_t size, bool zero);
    void release() noexcept;

    std::uint8_t* bytes_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

class Image {
public:
    Image() = default;
    // Allocates a zero-filled image. For Indexed, bits is 1..8 (ignored otherwise).
    // Throws Error on bad dimensions or past the pixel limit.
    Image(int width, int height, PixelFormat format, int bits = 8);

    bool empty() const { return width_ == 0 || height_ == 0; }
    int width() const { return width_; }
    int height() const { return height_; }
    PixelFormat format() const { return format_; }
    // Bits per pixel as a file would state them: Indexed 1..8, Gray8 8,
    // Rgb555 16, Rgb24 24, Rgba32 32.
    int bitsPerPixel() const;
    // Index depth of an Indexed image (1..8); 8 for other layouts.
    int indexBits() const { return bits_; }
    void setIndexBits(int bits);
    std::size_t stride() const { return stride_; }

    std::uint8_t* row(int y) { return data_.data() + static_cast<std::size_t>(y) * stride_; }
    const std::uint8_t* row(int y) const { return data_.data() + static_cast<std::size_t>(y) * stride_; }
    std::uint8_t* data() { return data_.data(); }
    const std::uint8_t* data() const { return data_.data(); }
    std::size_t byteSize() const { return data_.size(); }

    std::vector<Rgb>& palette() { return palette_; }
    const std::vector<Rgb>& palette() const { return palette_; }

    // Resolution in dots per inch; 0 when the source stated none.
    double xDpi = 0;
    double yDpi = 0;
    // ICC profile, Exif, XMP and IPTC as read, shared and never modified in
    // place (imaging/metadata.h); null when the source held none.
    std::shared_ptr<const Metadata> metadata;

private:
    int width_ = 0;
    int height_ = 0;
    PixelFormat format_ = PixelFormat::Rgb24;
    int bits_ = 8;
    std::size_t stride_ = 0;
    PixelBuffer data_;
    std::vector<Rgb> palette_;
};

// A loaded file: its pages in file order.
struct Document {
    std::vector<Image> pages;
};

// Gray palette of 2^bits evenly spaced levels, black first.
std::vector<Rgb> grayPalette(int bits);

// The 16 colours of the EGA/VGA default palette, which PCX and WPG files
// without a palette of their own are drawn with.
extern const Rgb kEgaPalette[16];

}  // namespace rastel::imaging
