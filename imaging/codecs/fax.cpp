// Raw fax files (.fax): a bare CCITT data stream with no container, as fax
// modems and fax software store a received page.
//
// Writing (codes 66, 67, 68): G3 one-dimensional, G3 two-dimensional or G4 data
// exactly as ccittEncode produces it (G3 lines start with byte-aligned EOLs and
// the page ends with RTC; G4 ends with EOFB). The file has no room for the
// resolution, so the page's dpi is lost (it only picks the K factor of the
// two-dimensional form).
//
// Reading: G3 data is recognised by an EOL near the start; its width is the
// length of the first line and its height the number of EOL-introduced lines
// before RTC. G4 has no signature and no EOLs: any other data is tried as G4 at
// the standard fax widths (ccittStandardWidths) and the first width that decodes
// cleanly to the end of the data wins, so a G4 page of another width is not
// readable from a bare file. The page gets 204 x 196 dpi (fine fax resolution).
// Data stored least significant bit first (the default of fax2tiff and of many
// fax programs) is read too: when the data does not decode as stored, it is
// decoded again with the bits of every byte reversed.

#include <algorithm>
#include <memory>

#include "imaging/codecs/common/ccitt.h"
#include "imaging/error.h"
#include "imaging/registry.h"

namespace rastel::imaging {

namespace {

constexpr const char* kFormat = "FAX";

std::vector<std::uint8_t> reversedBits(std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> out(data.begin(), data.end());
    for (auto& b : out) {
        b = static_cast<std::uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
        b = static_cast<std::uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
        b = static_cast<std::uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
    }
    return out;
}

Image decodeFax(std::span<const std::uint8_t> data) {
    return ccittDecodeUnbounded(data, ccittGuessCoding(data), 0, kFormat);
}

class FaxReader final : public SinglePageReader {
public:
    std::string name() const override { return kFormat; }
    std::vector<std::string> extensions() const override { return {".fax"}; }

    // Weak at best: raw fax has no signature. G3 shows an EOL near the start (in
    // either bit order); G4 data starts with a code, so its first byte is never 0.
    Sniff sniff(std::span<const std::uint8_t> head) const override {
        if (head.size() < 2) return Sniff::No;
        const auto start = head.first(std::min<std::size_t>(head.size(), 80));
        if (ccittHasEolNear(start, 64) || ccittHasEolNear(reversedBits(start), 64)) return Sniff::Weak;
        return head[0] != 0 ? Sniff::Weak : Sniff::No;
    }

protected:
    // A raw fax has no header: only its length can be checked before decoding.
    void checkHeader(std::span<const std::uint8_t> data, const ReadContext&) const override {
        if (data.size() < 2) fail(kFormat, "file too short");
    }

    Image readPage(std::span<const std::uint8_t> data, const ReadContext& ctx) const override {
        checkHeader(data, ctx);
        Image page;
        try {
            page = decodeFax(data);
        } catch (const Error& asStored) {
            try {
                page = decodeFax(reversedBits(data));
            } catch (const Error&) {
                throw asStored;  // the message about the data as stored is the useful one
            }
        }
        page.xDpi = 204;
        page.yDpi = 196;
        return page;
    }
};

CcittCoding codingFor(int code) {
    switch (code) {
    case 66: return CcittCoding::G3OneD;
    case 67: return CcittCoding::G3TwoD;
    case 68: return CcittCoding::G4;
    default: fail(kFormat, "unknown file-format code " + std::to_string(code));
    }
}

class FaxWriter final : public FormatWriter {
public:
    std::string name() const override { return kFormat; }
    std::vector<WriteCapability> capabilities() const override { return {{66, {1}}, {67, {1}}, {68, {1}}}; }
    std::vector<std::uint8_t> encode(const Image& page, const WriteOptions& opt) const override {
        return ccittEncode(page, codingFor(opt.code));
    }
};

}  // namespace

void registerFaxCodec(Registry& registry) { registry.addCodec<FaxReader, FaxWriter>(); }

}  // namespace rastel::imaging
