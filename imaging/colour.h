#pragma once

#include <cstdint>
#include <span>
#include <vector>

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

// sRGB to the standard CMYK profile (see CmykToRgb), so that a CMYK file
// tagged with that profile shows the page's colours wherever it is opened.
// Without the profile, the largest-black formula of the plain conversion.
class RgbToCmyk {
public:
    RgbToCmyk();
    ~RgbToCmyk();
    RgbToCmyk(const RgbToCmyk&) = delete;
    RgbToCmyk& operator=(const RgbToCmyk&) = delete;

    // `count` pixels of three bytes to four bytes each (0 is no ink).
    void convert(const std::uint8_t* rgb, std::uint8_t* cmyk, unsigned count) const;
    // The profile the samples are meant for; empty without one.
    const std::vector<std::uint8_t>& profile() const { return profile_; }

private:
    void* transform_ = nullptr;
    std::vector<std::uint8_t> profile_;
};

// CIE L*a*b* samples to sRGB through LittleCMS's built-in Lab profile (D50
// white). Samples are 8-bit: L* 0..255 for 0..100; a* and b* offset by 128 (`signedAb`:
// stored as signed bytes, as TIFF's CIELab has them).
class LabToRgb {
public:
    explicit LabToRgb(bool signedAb);
    ~LabToRgb();
    LabToRgb(const LabToRgb&) = delete;
    LabToRgb& operator=(const LabToRgb&) = delete;

    // `count` pixels of three bytes, in place.
    void convert(std::uint8_t* pixels, unsigned count) const;

private:
    void* transform_ = nullptr;
    bool signedAb_;
};

}  // namespace rastel::imaging
