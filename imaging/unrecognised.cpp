#include "imaging/unrecognised.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace rastel::imaging {

namespace {

// Signatures of image and other file formats no reader here takes.
struct ForeignSignature {
    std::size_t at;
    std::string_view bytes;
    const char* what;
};

constexpr ForeignSignature kForeign[] = {
    {8, "WEBP", "a WebP image"},
    {4, "ftypavif", "an AVIF image"},
    {4, "ftypheic", "a HEIF image"},
    {4, "ftypmif1", "a HEIF image"},
    {4, "jP  ", "a JPEG 2000 image"},
    {0, std::string_view("\xFF\x4F\xFF\x51", 4), "a JPEG 2000 codestream"},
    {0, std::string_view("\xFF\x0A", 2), "a JPEG XL image"},
    {4, "JXL ", "a JPEG XL image"},
    {0, std::string_view("II\xBC", 3), "a JPEG XR image"},
    {0, "%PDF", "a PDF document"},
    {0, std::string_view("\x76\x2F\x31\x01", 4), "an OpenEXR image"},
    {0, "DDS ", "a DirectDraw Surface texture"},
    {0, "gimp xcf", "a GIMP XCF image"},
    {0, "icns", "an Apple icon (icns)"},
    {0, "qoif", "a QOI image"},
    {0, "farbfeld", "a farbfeld image"},
    {0, "#?RADIANCE", "a Radiance HDR image"},
    {0, "FORM", "an IFF file (ILBM and its kin)"},
    {0, "BA", "an OS/2 bitmap array"},
    {0, "8BPS", "a Photoshop document of an unknown version"},
    {0, std::string_view("PK\x03\x04", 4), "a ZIP archive"},
    {0, std::string_view("\x1F\x8B", 2), "gzip-compressed data"},
    {0, "<?xml", "XML text (an SVG drawing?)"},
    {0, "<svg", "an SVG drawing"},
};

bool matches(std::span<const std::uint8_t> head, const ForeignSignature& s) {
    return head.size() >= s.at + s.bytes.size() && std::memcmp(head.data() + s.at, s.bytes.data(), s.bytes.size()) == 0;
}

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& i : items) out += (out.empty() ? "" : ", ") + i;
    return out;
}

std::string firstBytes(std::span<const std::uint8_t> head) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string hex;
    for (std::size_t i = 0; i < std::min<std::size_t>(head.size(), 8); ++i) {
        if (i) hex += ' ';
        hex += kHex[head[i] >> 4];
        hex += kHex[head[i] & 15];
    }
    return hex;
}

}  // namespace

std::string describeUnrecognised(const Registry& registry, std::span<const std::uint8_t> data,
                                 const std::string& path) {
    const auto head = data.first(std::min<std::size_t>(data.size(), 4096));
    for (const auto& s : kForeign)
        if (matches(head, s)) return "the content looks like " + std::string(s.what) + ", which is not read";
    // Readers that recognise a header without a signature take the file only
    // under one of their extensions. A raw fax reader accepts almost anything,
    // so it says nothing about the content.
    const std::string ext = lowerExtension(path);
    for (const auto& r : registry.readers()) {
        if (r->name() == "FAX" || r->sniff(head) != Sniff::Weak) continue;
        return "the content resembles " + r->name() + ", which has no signature and is read as such only with the " +
               "extension " + joined(r->extensions()) + (ext.empty() ? " (the file has none)" : " (not " + ext + ")");
    }
    if (head.size() >= 2 && head[0] == '%' && head[1] == '!')
        return "the content looks like a PostScript document without the header comments of Encapsulated PostScript";
    const bool text =
        std::all_of(head.begin(), head.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(head.size(), 64)),
                    [](std::uint8_t c) { return c == '\t' || c == '\n' || c == '\r' || (c >= 0x20 && c < 0x7F); });
    return std::string("no known image signature matched") + (text ? "; the file starts as plain text" : "") +
           " (first bytes " + firstBytes(head) + ")";
}

}  // namespace rastel::imaging
