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

namespace {

// Blocks at least this large are kept for reuse; smaller ones are left to
// malloc, which reuses them itself.
constexpr std::size_t kSpareMinimum = std::size_t{8} << 20;

// Set once this thread's spare block is gone at its exit; images freed after
// that (static ones) free their blocks themselves.
thread_local bool spareGone = false;

// The last large block this thread freed.
struct SpareBlock {
    std::uint8_t* bytes = nullptr;
    std::size_t capacity = 0;
    ~SpareBlock() {
        std::free(bytes);
        spareGone = true;
    }

    // The block when it fits `size` without wasting more than an eighth of it.
    std::uint8_t* take(std::size_t size, std::size_t& capacityOut) {
        if (!bytes || capacity < size || capacity - size > size / 8) return nullptr;
        capacityOut = std::exchange(capacity, 0);
        return std::exchange(bytes, nullptr);
    }
    void drop() {
        std::free(std::exchange(bytes, nullptr));
        capacity = 0;
    }
};

thread_local SpareBlock spare;

}  // namespace

void PixelBuffer::allocate(std::size_t size, bool zero) {
    if (size >= kSpareMinimum && !spareGone) {
        if (std::uint8_t* reused = spare.take(size, capacity_)) {
            bytes_ = reused;
            size_ = size;
            if (zero) std::memset(bytes_, 0, size);
            return;
        }
        // A spare of the wrong size goes before a new block is taken, so it
        // never adds to the peak.
        spare.drop();
    }
    const std::size_t n = size ? size : 1;
    bytes_ = static_cast<std::uint8_t*>(zero ? std::calloc(n, 1) : std::malloc(n));
    if (!bytes_) throw std::bad_alloc();
    size_ = size;
    capacity_ = n;
}

void PixelBuffer::release() noexcept {
    if (capacity_ >= kSpareMinimum && !spareGone) {
        spare.drop();
        spare.bytes = bytes_;
        spare.capacity = capacity_;
    } else {
        std::free(bytes_);
    }
    bytes_ = nullptr;
    size_ = capacity_ = 0;
}

PixelBuffer::PixelBuffer(std::size_t size) { allocate(size, true); }

PixelBuffer::PixelBuffer(const PixelBuffer& other) {
    if (!other.bytes_) return;
    allocate(other.size_, false);
    std::memcpy(bytes_, other.bytes_, other.size_);
}

PixelBuffer& PixelBuffer::operator=(const PixelBuffer& other) {
    if (this != &other) *this = PixelBuffer(other);
    return *this;
}

PixelBuffer::PixelBuffer(PixelBuffer&& other) noexcept
    : bytes_(std::exchange(other.bytes_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

PixelBuffer& PixelBuffer::operator=(PixelBuffer&& other) noexcept {
    if (this != &other) {
        release();
        bytes_ = std::exchange(other.bytes_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

PixelBuffer::~PixelBuffer() { release(); }

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
