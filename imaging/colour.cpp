#include "imaging/colour.h"

#include <lcms2.h>

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

cmsHPROFILE standardCmyk() {
    std::ifstream in(kStandardCmyk, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return openCmyk(bytes);
}

}  // namespace

CmykToRgb::CmykToRgb(std::span<const std::uint8_t> profile, bool inverted) : inverted_(inverted) {
    cmsHPROFILE in = openCmyk(profile);
    if (!in) in = standardCmyk();
    if (!in) return;
    cmsHPROFILE out = cmsCreate_sRGBProfile();
    if (out)
        transform_ = cmsCreateTransform(in, inverted ? TYPE_CMYK_8_REV : TYPE_CMYK_8, out, TYPE_RGB_8,
                                        INTENT_PERCEPTUAL, cmsFLAGS_HIGHRESPRECALC);
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

}  // namespace rastel::imaging
