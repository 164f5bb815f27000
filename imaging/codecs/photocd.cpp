// Kodak Photo CD Image Pacs (read only). An Image Pac is a sequence of
// 2048-byte sectors: the Image Pac header ("PCD_IPI" at 0x800, the orientation
// in the low two bits of the byte at 0xE02), then the three uncompressed
// resolutions Base/16 (192 x 128 at 0x2000), Base/4 (384 x 256 at 0xB800) and
// Base (768 x 512 at 0x30000). The higher resolutions (4Base, 16Base) are
// Huffman-coded residuals on top of Base and are not decoded.
//
// Each resolution is stored as PhotoYCC 4:2:0: for every pair of rows, two rows
// of luma (width bytes each), then one row of C1 and one row of C2 at half the
// width. The reader takes the Base image, upsamples the chroma by repeating
// each sample over its 2 x 2 block, converts to RGB with Kodak's PhotoYCC
// equations and turns the picture upright as the orientation says.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "imaging/codec.h"
#include "imaging/codecs/common/byte_io.h"
#include "imaging/error.h"
#include "imaging/metadata.h"
#include "imaging/registry.h"

namespace rastel::imaging {

namespace {

constexpr const char* kFormat = "PhotoCD";
constexpr std::size_t kHeaderSignatureAt = 0x800;
constexpr std::size_t kOrientationAt = 0xE02;
constexpr std::size_t kBaseAt = 0x30000;
constexpr int kBaseWidth = 768;
constexpr int kBaseHeight = 512;

bool hasSignature(std::span<const std::uint8_t> d, std::size_t at, const char* sig) {
    return d.size() >= at + 7 && std::memcmp(d.data() + at, sig, 7) == 0;
}

std::uint8_t clampByte(double v) {
    if (!(v > 0)) return 0;
    if (v >= 255) return 255;
    return static_cast<std::uint8_t>(std::lround(v));
}

// PhotoYCC (8-bit Y, C1, C2) to RGB on the 0..255 scale of a display:
//   L = 1.3584 Y,  c1 = 2.2179 (C1 - 156),  c2 = 1.8215 (C2 - 137)
//   R = L + c2,  G = L - 0.194 c1 - 0.509 c2,  B = L + c1
// PhotoYCC leaves room for highlights above reference white (values up to
// about 346); they are clipped to 255.
Rgb yccToRgb(std::uint8_t y, std::uint8_t c1, std::uint8_t c2) {
    const double l = 1.3584 * y;
    const double b = 2.2179 * (static_cast<int>(c1) - 156);
    const double r = 1.8215 * (static_cast<int>(c2) - 137);
    return {clampByte(l + r), clampByte(l - 0.194 * b - 0.509 * r), clampByte(l + b)};
}

// The Exif orientation that turns the decoded picture upright, by the Image
// Pac's own code: 0 as stored, 1 a quarter turn anticlockwise, 2 a half turn,
// 3 a quarter turn clockwise.
constexpr int kExifOrientation[4] = {1, 8, 3, 6};

class PhotoCdReader : public SinglePageReader {
public:
    std::string name() const override { return kFormat; }
    std::vector<std::string> extensions() const override { return {".pcd"}; }

    Sniff sniff(std::span<const std::uint8_t> head) const override {
        if (hasSignature(head, kHeaderSignatureAt, "PCD_IPI")) return Sniff::Strong;
        if (hasSignature(head, 0, "PCD_OPA")) return Sniff::Strong;
        return Sniff::No;
    }

protected:
    void checkHeader(std::span<const std::uint8_t> data, const ReadContext&) const override { checkImagePac(data); }

    Image readPage(std::span<const std::uint8_t> data, const ReadContext&) const override {
        checkImagePac(data);
        ByteReader r(data, kFormat);
        const int orientation = data[kOrientationAt] & 3;
        checkDimensions(kFormat, kBaseWidth, kBaseHeight);
        r.seek(kBaseAt);
        r.require(std::size_t{kBaseWidth} * kBaseHeight * 3 / 2, "Base image");

        Image img(kBaseWidth, kBaseHeight, PixelFormat::Rgb24);
        constexpr std::size_t half = kBaseWidth / 2;
        for (int y = 0; y < kBaseHeight; y += 2) {
            const auto luma0 = r.bytes(kBaseWidth, "Base image");
            const auto luma1 = r.bytes(kBaseWidth, "Base image");
            const auto c1 = r.bytes(half, "Base image");
            const auto c2 = r.bytes(half, "Base image");
            for (int dy = 0; dy < 2; ++dy) {
                const auto& luma = dy == 0 ? luma0 : luma1;
                std::uint8_t* out = img.row(y + dy);
                for (int x = 0; x < kBaseWidth; ++x) {
                    const Rgb c = yccToRgb(luma[x], c1[x / 2], c2[x / 2]);
                    out[3 * x] = c.r;
                    out[3 * x + 1] = c.g;
                    out[3 * x + 2] = c.b;
                }
            }
        }
        applyOrientation(img, kExifOrientation[orientation]);
        return img;
    }

private:
    static void checkImagePac(std::span<const std::uint8_t> data) {
        if (hasSignature(data, 0, "PCD_OPA"))
            fail(kFormat, "overview packs (thumbnail index files) are not supported, only Image Pacs");
        if (!hasSignature(data, kHeaderSignatureAt, "PCD_IPI")) fail(kFormat, "no Image Pac header (PCD_IPI)");
        if (data.size() < kBaseAt + std::size_t{kBaseWidth} * kBaseHeight * 3 / 2)
            fail(kFormat, "truncated: the file ends before the end of the Base image");
    }
};

}  // namespace

void registerPhotoCdCodec(Registry& registry) { registry.addReader(std::make_unique<PhotoCdReader>()); }

}  // namespace rastel::imaging
