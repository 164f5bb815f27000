#include "imaging/image.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "imaging/document_budget.h"
#include "imaging/error.h"

namespace rastel::imaging {

namespace {
std::atomic<std::uint64_t> g_pixelLimit{std::uint64_t{1} << 28};
}

int bytesPerPixel(PixelFormat f) {
    switch (f) {
    case PixelFormat::Indexed:
    case PixelFormat::Gray8: return 1;
    case PixelFormat::Rgb555: return 2;
    case PixelFormat::Rgb24: return 3;
    case PixelFormat::Rgba32: return 4;
    }
    return 1;
}

const char* formatName(PixelFormat f) {
    switch (f) {
    case PixelFormat::Indexed: return "indexed";
    case PixelFormat::Gray8: return "gray 8";
    case PixelFormat::Rgb555: return "RGB 5-5-5";
    case PixelFormat::Rgb24: return "RGB 24";
    case PixelFormat::Rgba32: return "RGBA 32";
    }
    return "?";
}

std::uint64_t pixelLimit() { return g_pixelLimit.load(); }
void setPixelLimit(std::uint64_t limit) { g_pixelLimit.store(limit); }

void checkDimensions(const std::string& format, std::int64_t width, std::int64_t height) {
    if (width <= 0 || height <= 0)
        fail(format, "invalid image size " + std::to_string(width) + " x " + std::to_string(height));
    if (width > (1 << 30) || height > (1 << 30) ||
        static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) > pixelLimit())
        fail(Error::Kind::TooLarge, format,
             "image of " + std::to_string(width) + " x " + std::to_string(height) + " pixels exceeds the limit of " +
                 std::to_string(pixelLimit()) + " pixels");
}

void PixelBuffer::Free::operator()(std::uint8_t* p) const { std::free(p); }

PixelBuffer::PixelBuffer(std::size_t size) : bytes_(static_cast<std::uint8_t*>(std::calloc(size ? size : 1, 1))) {
    if (!bytes_) throw std::bad_alloc();
    size_ = size;
}

PixelBuffer::PixelBuffer(const PixelBuffer& other) {
    if (!other.bytes_) return;
    bytes_.reset(static_cast<std::uint8_t*>(std::malloc(other.size_ ? other.size_ : 1)));
    if (!bytes_) throw std::bad_alloc();
    std::memcpy(bytes_.get(), other.bytes_.get(), other.size_);
    size_ = other.size_;
}

PixelBuffer& PixelBuffer::operator=(const PixelBuffer& other) {
    if (this != &other) *this = PixelBuffer(other);
    return *this;
}

PixelBuffer::PixelBuffer(PixelBuffer&& other) noexcept
    : bytes_(std::move(other.bytes_)), size_(std::exchange(other.size_, 0)) {}

PixelBuffer& PixelBuffer::operator=(PixelBuffer&& other) noexcept {
    bytes_ = std::move(other.bytes_);
    size_ = std::exchange(other.size_, 0);
    return *this;
}

Image::Image(int width, int height, PixelFormat format, int bits)
    : width_(width), height_(height), format_(format), bits_(format == PixelFormat::Indexed ? bits : 8) {
    checkDimensions("image", width, height);
    if (format == PixelFormat::Indexed && (bits < 1 || bits > 8))
        fail("image", "indexed depth must be 1 to 8 bits, got " + std::to_string(bits));
    DocumentPixelBudget::charge(static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height));
    stride_ = static_cast<std::size_t>(width) * static_cast<std::size_t>(bytesPerPixel(format));
    data_ = PixelBuffer(stride_ * static_cast<std::size_t>(height));
}

int Image::bitsPerPixel() const {
    switch (format_) {
    case PixelFormat::Indexed: return bits_;
    case PixelFormat::Gray8: return 8;
    case PixelFormat::Rgb555: return 16;
    case PixelFormat::Rgb24: return 24;
    case PixelFormat::Rgba32: return 32;
    }
    return 8;
}

void Image::setIndexBits(int bits) {
    if (bits < 1 || bits > 8) fail("image", "indexed depth must be 1 to 8 bits, got " + std::to_string(bits));
    bits_ = bits;
}

const Rgb kEgaPalette[16] = {{0, 0, 0},     {0, 0, 170},    {0, 170, 0},    {0, 170, 170},
                             {170, 0, 0},   {170, 0, 170},  {170, 85, 0},   {170, 170, 170},
                             {85, 85, 85},  {85, 85, 255},  {85, 255, 85},  {85, 255, 255},
                             {255, 85, 85}, {255, 85, 255}, {255, 255, 85}, {255, 255, 255}};

std::vector<Rgb> grayPalette(int bits) {
    const int n = 1 << bits;
    std::vector<Rgb> pal(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        const auto v = static_cast<std::uint8_t>(n == 1 ? 0 : (i * 255 + (n - 1) / 2) / (n - 1));
        pal[static_cast<std::size_t>(i)] = {v, v, v};
    }
    return pal;
}

}  // namespace rastel::imaging
