#pragma once

#include <cstdint>
#include <span>

namespace rastel::imaging {

// CMYK samples to sRGB through LittleCMS: through the file's own CMYK profile
// when it has a usable one, else through the standard CMYK profile Ghostscript
// installs (a SWOP press). Without either, convert() falls back to the plain
// formula R = (255 - C) * (255 - K) / 255.
class CmykToRgb {
public:
    // `inverted`: samples store 255 - ink, as Adobe applications write CMYK JPEG.
    CmykToRgb(std::span<const std::uint8_t> profile, bool inverted);
    ~CmykToRgb();
    CmykToRgb(const CmykToRgb&) = delete;
    CmykToRgb& operator=(const CmykToRgb&) = delete;

    // `count` pixels of four bytes to three bytes each.
    void convert(const std::uint8_t* cmyk, std::uint8_t* rgb, unsigned count) const;
    // Whether a profile is used (false: the plain formula).
    bool managed() const { return transform_ != nullptr; }

private:
    void* transform_ = nullptr;
    bool inverted_;
};

}  // namespace rastel::imaging
