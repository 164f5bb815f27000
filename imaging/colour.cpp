#include "imaging/colour.h"

#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <vector>

namespace rastel::imaging {

namespace {

const char* const kStandardCmyk = "/usr/share/color/icc/ghostscript/default_cmyk.icc";

cmsHPROFILE openCmyk(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return nullptr;
    cmsHPROFILE p = cmsOpenProfileFromMem(bytes.data(), static_cast<cmsUInt32Number>(bytes.size()));
    if (p && cmsGetColorSpace(p) != cmsSigCmykData) {
        cmsCloseProfile(p);
        p = nullptr;
    }
    return p;
}

std::vector<std::uint8_t> standardCmykBytes() {
    std::ifstream in(kStandardCmyk, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

cmsHPROFILE standardCmyk() { return openCmyk(standardCmykBytes()); }

}  // namespace

CmykToRgb::CmykToRgb(std::span<const std::uint8_t> profile, bool inverted) : inverted_(inverted) {
    cmsHPROFILE in = openCmyk(profile);
    if (!in) in = standardCmyk();
    if (!in) return;
    cmsHPROFILE out = cmsCreate_sRGBProfile();
    if (out)
        transform_ =
            cmsCreateTransform(in, inverted ? TYPE_CMYK_8_REV : TYPE_CMYK_8, out, TYPE_RGB_8, INTENT_PERCEPTUAL, 0);
    cmsCloseProfile(in);
    if (out) cmsCloseProfile(out);
}

CmykToRgb::~CmykToRgb() {
    if (transform_) cmsDeleteTransform(static_cast<cmsHTRANSFORM>(transform_));
}

void CmykToRgb::convert(const std::uint8_t* cmyk, std::uint8_t* rgb, unsigned count) const {
    if (transform_) {
        cmsDoTransform(static_cast<cmsHTRANSFORM>(transform_), cmyk, rgb, count);
        return;
    }
    for (unsigned x = 0; x < count; ++x, cmyk += 4, rgb += 3) {
        unsigned c = cmyk[0], m = cmyk[1], y = cmyk[2], k = cmyk[3];
        if (!inverted_) {
            c = 255 - c;
            m = 255 - m;
            y = 255 - y;
            k = 255 - k;
        }
        rgb[0] = static_cast<std::uint8_t>((c * k + 127) / 255);
        rgb[1] = static_cast<std::uint8_t>((m * k + 127) / 255);
        rgb[2] = static_cast<std::uint8_t>((y * k + 127) / 255);
    }
}

RgbToCmyk::RgbToCmyk() {
    profile_ = standardCmykBytes();
    cmsHPROFILE out = openCmyk(profile_);
    cmsHPROFILE in = cmsCreate_sRGBProfile();
    if (in && out)
        transform_ = cmsCreateTransform(in, TYPE_RGB_8, out, TYPE_CMYK_8, INTENT_PERCEPTUAL, cmsFLAGS_HIGHRESPRECALC);
    if (in) cmsCloseProfile(in);
    if (out) cmsCloseProfile(out);
    if (!transform_) profile_.clear();
}

RgbToCmyk::~RgbToCmyk() {
    if (transform_) cmsDeleteTransform(static_cast<cmsHTRANSFORM>(transform_));
}

void RgbToCmyk::convert(const std::uint8_t* rgb, std::uint8_t* cmyk, unsigned count) const {
    if (transform_) {
        cmsDoTransform(static_cast<cmsHTRANSFORM>(transform_), rgb, cmyk, count);
        return;
    }
    for (unsigned x = 0; x < count; ++x, rgb += 3, cmyk += 4) {
        const unsigned mx = std::max({rgb[0], rgb[1], rgb[2]});
        for (int c = 0; c < 3; ++c)
            cmyk[c] = mx == 0 ? 0 : static_cast<std::uint8_t>(((mx - rgb[c]) * 255 + mx / 2) / mx);
        cmyk[3] = static_cast<std::uint8_t>(255 - mx);
    }
}

LabToRgb::LabToRgb(bool signedAb) : signedAb_(signedAb) {
    cmsHPROFILE in = cmsCreateLab4Profile(nullptr);
    cmsHPROFILE out = cmsCreate_sRGBProfile();
    if (in && out) transform_ = cmsCreateTransform(in, TYPE_Lab_16, out, TYPE_RGB_8, INTENT_PERCEPTUAL, 0);
    if (in) cmsCloseProfile(in);
    if (out) cmsCloseProfile(out);
}

LabToRgb::~LabToRgb() {
    if (transform_) cmsDeleteTransform(static_cast<cmsHTRANSFORM>(transform_));
}

void LabToRgb::convert(std::uint8_t* pixels, unsigned count) const {
    if (signedAb_)
        for (unsigned i = 0; i < count; ++i) {
            pixels[3 * i + 1] ^= 0x80;
            pixels[3 * i + 2] ^= 0x80;
        }
    if (transform_) {
        // As 16-bit samples (v * 257, so 128 stays the neutral a* b*), the
        // precision LittleCMS's own TIFF tool converts 8-bit Lab at.
        std::vector<std::uint16_t> lab(3 * std::size_t{count});
        for (std::size_t i = 0; i < lab.size(); ++i) lab[i] = static_cast<std::uint16_t>(pixels[i] * 257);
        cmsDoTransform(static_cast<cmsHTRANSFORM>(transform_), lab.data(), pixels, count);
        return;
    }
    // Without LittleCMS's transform: the CIE equations, D50 white, and the
    // Bradford-adapted sRGB matrix.
    auto inv = [](double t) {
        return t > 6.0 / 29.0 ? t * t * t : 3.0 * (6.0 / 29.0) * (6.0 / 29.0) * (t - 4.0 / 29.0);
    };
    for (unsigned i = 0; i < count; ++i) {
        std::uint8_t* p = pixels + 3 * i;
        const double L = p[0] * 100.0 / 255.0, a = p[1] - 128.0, b = p[2] - 128.0;
        const double fy = (L + 16.0) / 116.0, fx = fy + a / 500.0, fz = fy - b / 200.0;
        const double X = 0.9642 * inv(fx), Y = inv(fy), Z = 0.8249 * inv(fz);
        const double lin[3] = {3.1338561 * X - 1.6168667 * Y - 0.4906146 * Z,
                               -0.9787684 * X + 1.9161415 * Y + 0.0334540 * Z,
                               0.0719453 * X - 0.2289914 * Y + 1.4052427 * Z};
        for (int c = 0; c < 3; ++c) {
            const double v = std::clamp(lin[c], 0.0, 1.0);
            const double s = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
            p[c] = static_cast<std::uint8_t>(std::lround(s * 255.0));
        }
    }
}

}  // namespace rastel::imaging
