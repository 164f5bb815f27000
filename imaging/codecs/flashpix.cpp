// FlashPix (.fpx): tiled, multi-resolution images in an OLE2 compound file.
//
// Layout written and read (see docs/codecs/flashpix.md):
//   root storage (image view)         "\005SummaryInformation", "\005Global Info"
//     "Data Object Store 000001"      the source image object
//       "\005Image Contents"          sizes, colour spaces, formats of every resolution
//       "Resolution 0000" .. "Resolution nnnn"
//                                     0000 is the smallest level, nnnn the full picture;
//                                     each holds "Subimage 0000 Header" (tile table)
//                                     and "Subimage 0000 Data" (64 x 64 tiles)
// The compound file itself is read and written through libgsf.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gsf/gsf.h>

#include "imaging/codec.h"
#include "imaging/codecs/common/byte_io.h"
#include "imaging/codecs/flashpix_internal.h"
#include "imaging/convert.h"
#include "imaging/error.h"
#include "imaging/image.h"
#include "imaging/registry.h"

namespace rastel::imaging {

namespace {

using flashpix::kFormat;
using flashpix::kTile;

constexpr int kCodeUncompressed = 80;
constexpr int kCodeSingleColour = 81;
constexpr int kCodeJpeg = 83;

// Every stream of a resolution starts with a 28-byte preamble; offsets inside
// those streams count from its end.
constexpr std::uint32_t kPreamble = 28;
constexpr std::uint32_t kTileEntrySize = 16;
constexpr std::uint32_t kSubimageHeaderSize = 36;

// Tile compression types of the tile table.
constexpr std::uint32_t kTileRaw = 0;
constexpr std::uint32_t kTileSingleColour = 1;
constexpr std::uint32_t kTileJpeg = 2;

// Channel colour-space codes: space in the high half, channel index in the low
// half; bit 31 marks uncalibrated data, 0x7FFE an opacity channel.
constexpr std::uint32_t kSpaceMono = 1;
constexpr std::uint32_t kSpaceNifRgb = 3;
constexpr std::uint32_t kUncalibrated = 0x80000000u;
constexpr std::uint32_t kPremultiplied = 0x8000u;
constexpr std::uint32_t kOpacity = 0x7FFEu;

// Property identifiers of "\005Image Contents".
constexpr std::uint32_t kPidResolutions = 0x01000000;
constexpr std::uint32_t kPidWidth = 0x01000002;
constexpr std::uint32_t kPidHeight = 0x01000003;
constexpr std::uint32_t kPidDisplayHeight = 0x01000004;
constexpr std::uint32_t kPidDisplayWidth = 0x01000005;
constexpr std::uint32_t kPidDisplayUnits = 0x01000006;
constexpr std::uint32_t kPidSubWidth = 0x02000000;  // | level << 16, likewise below
constexpr std::uint32_t kPidSubHeight = 0x02000001;
constexpr std::uint32_t kPidSubColour = 0x02000002;
constexpr std::uint32_t kPidSubFormat = 0x02000003;
constexpr std::uint32_t kPidSubDecimation = 0x02000004;
constexpr std::uint32_t kPidJpegTables = 0x03000001;  // | table index << 16
constexpr std::uint32_t kPidMaxJpegTable = 0x03000002;

// Variant types of property values.
constexpr std::uint32_t kVtI2 = 0x02;
constexpr std::uint32_t kVtI4 = 0x03;
constexpr std::uint32_t kVtR4 = 0x04;
constexpr std::uint32_t kVtUi1 = 0x11;
constexpr std::uint32_t kVtUi4 = 0x13;
constexpr std::uint32_t kVtLpstr = 0x1E;
constexpr std::uint32_t kVtBlob = 0x41;
constexpr std::uint32_t kVtVector = 0x1000;

// The deepest hierarchy a 2^31-pixel-wide picture needs, with room to spare.
constexpr std::uint32_t kMaxResolutions = 32;

using Guid = std::array<std::uint8_t, 16>;

// The FlashPix class and format identifiers differ only in their first field:
// xxxxxxxx-C154-11CE-8553-00AA00A1F95B, stored little-endian.
constexpr Guid fpxGuid(std::uint32_t first) {
    return {static_cast<std::uint8_t>(first),
            static_cast<std::uint8_t>(first >> 8),
            static_cast<std::uint8_t>(first >> 16),
            static_cast<std::uint8_t>(first >> 24),
            0x54,
            0xC1,
            0xCE,
            0x11,
            0x85,
            0x53,
            0x00,
            0xAA,
            0x00,
            0xA1,
            0xF9,
            0x5B};
}

constexpr Guid kClsidImageView = fpxGuid(0x56616700);
constexpr Guid kClsidImageObject = fpxGuid(0x56616000);
constexpr Guid kClsidResolution = fpxGuid(0x56616100);
constexpr Guid kFmtImageContents = fpxGuid(0x56616400);
constexpr Guid kFmtGlobalInfo = fpxGuid(0x56616F00);
constexpr Guid kClsidSubimageHeader = fpxGuid(0x00010000);
constexpr Guid kClsidSubimageData = fpxGuid(0x00010100);
constexpr Guid kFmtSummary = {0xE0, 0x85, 0x9F, 0xF2, 0xF9, 0x4F, 0x68, 0x10,
                              0xAB, 0x91, 0x08, 0x00, 0x2B, 0x27, 0xB3, 0xD9};

const char* const kImageStore = "Data Object Store 000001";
const char* const kImageContents = "\005Image Contents";
const char* const kHeaderStream = "Subimage 0000 Header";
const char* const kDataStream = "Subimage 0000 Data";

std::string resolutionName(std::uint32_t level) {
    char name[32];
    std::snprintf(name, sizeof name, "Resolution %04u", level);
    return name;
}

// libgsf plumbing

// libgsf reports oddities of damaged files through GLib warnings, which would
// reach the console; every failure that matters surfaces as a null result.
void dropGlibMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

void initGsf() {
    static std::once_flag once;
    std::call_once(once, [] {
        gsf_init();
        const auto levels = static_cast<GLogLevelFlags>(G_LOG_LEVEL_MASK);
        // Parts of libgsf log without a domain of their own, under GLib's
        // default one; nothing else in the engine logs through GLib.
        for (const char* domain : {"libgsf", "libgsf:msole", "libgsf:utils", static_cast<const char*>(nullptr)})
            g_log_set_handler(domain, levels, dropGlibMessage, nullptr);
    });
}

struct GObjectUnref {
    void operator()(gpointer p) const {
        if (p) g_object_unref(p);
    }
};
template <typename T>
using GPtr = std::unique_ptr<T, GObjectUnref>;

// Reads a whole stream `name` below `parent`; nullopt when there is none.
std::optional<std::vector<std::uint8_t>> readStream(GsfInfile* parent, const char* name, std::size_t fileSize) {
    GPtr<GsfInput> child(gsf_infile_child_by_name(parent, name));
    if (!child) return std::nullopt;
    const gsf_off_t size = gsf_input_size(child.get());
    // Streams share the file: none can be longer than the file itself.
    if (size < 0 || static_cast<std::uint64_t>(size) > fileSize)
        fail(kFormat, std::string("stream ") + (name[0] == '\005' ? name + 1 : name) + " is larger than the file");
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    if (size > 0 && !gsf_input_read(child.get(), bytes.size(), bytes.data()))
        fail(kFormat, std::string("cannot read stream ") + (name[0] == '\005' ? name + 1 : name));
    return bytes;
}

std::vector<std::uint8_t> requireStream(GsfInfile* parent, const char* name, std::size_t fileSize) {
    auto bytes = readStream(parent, name, fileSize);
    if (!bytes) fail(kFormat, std::string("missing stream ") + (name[0] == '\005' ? name + 1 : name));
    return std::move(*bytes);
}

GPtr<GsfInfile> childStorage(GsfInfile* parent, const std::string& name) {
    GPtr<GsfInput> child(gsf_infile_child_by_name(parent, name.c_str()));
    if (!child || !GSF_IS_INFILE(child.get()) || gsf_infile_num_children(GSF_INFILE(child.get())) < 0) return nullptr;
    return GPtr<GsfInfile>(GSF_INFILE(child.release()));
}

// Property sets

// One property value: its variant type and the bytes after the type word, up
// to the end of the section.
struct PropertyValue {
    std::uint32_t type;
    std::span<const std::uint8_t> bytes;
};

class PropertySet {
public:
    // Parses the first section of a property-set stream.
    explicit PropertySet(std::span<const std::uint8_t> stream) {
        ByteReader r(stream, kFormat);
        if (r.u16le() != 0xFFFE) fail(kFormat, "property set has a bad byte-order mark");
        r.skip(2 + 4 + 16);
        if (r.u32le() == 0) fail(kFormat, "property set has no section");
        r.skip(16);
        const std::uint32_t sectionOffset = r.u32le();
        r.seek(sectionOffset);
        r.require(8, "property section");
        const std::uint32_t sectionSize = r.u32le();
        const std::uint32_t count = r.u32le();
        if (sectionSize < 8 || sectionSize > stream.size() - sectionOffset)
            fail(kFormat, "property section overruns its stream");
        const auto section = stream.subspan(sectionOffset, sectionSize);
        if (count > (sectionSize - 8) / 8) fail(kFormat, "property count overruns its section");
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t id = r.u32le();
            const std::uint32_t offset = r.u32le();
            if (offset < 8 || offset > sectionSize - 4) fail(kFormat, "property offset outside its section");
            ByteReader v(section.subspan(offset), kFormat);
            const std::uint32_t type = v.u32le() & 0xFFFF;
            values_[id] = PropertyValue{type, section.subspan(offset + 4)};
        }
    }

    bool has(std::uint32_t id) const { return values_.count(id) != 0; }

    std::optional<std::uint32_t> u32(std::uint32_t id) const {
        const auto it = values_.find(id);
        if (it == values_.end()) return std::nullopt;
        ByteReader r(it->second.bytes, kFormat);
        switch (it->second.type) {
        case kVtUi4:
        case kVtI4: return r.u32le();
        case kVtI2: return r.u16le();
        default: fail(kFormat, "property " + hex(id) + " is not an integer");
        }
    }

    std::optional<float> r4(std::uint32_t id) const {
        const auto it = values_.find(id);
        if (it == values_.end() || it->second.type != kVtR4) return std::nullopt;
        ByteReader r(it->second.bytes, kFormat);
        const std::uint32_t bits = r.u32le();
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }

    std::optional<std::span<const std::uint8_t>> blob(std::uint32_t id) const {
        const auto it = values_.find(id);
        if (it == values_.end()) return std::nullopt;
        if (it->second.type != kVtBlob) fail(kFormat, "property " + hex(id) + " is not a byte block");
        ByteReader r(it->second.bytes, kFormat);
        const std::uint32_t size = r.u32le();
        return r.bytes(size, "property byte block");
    }

    static std::string hex(std::uint32_t id) {
        char text[16];
        std::snprintf(text, sizeof text, "%08X", id);
        return text;
    }

private:
    std::map<std::uint32_t, PropertyValue> values_;
};

// Builds a one-section property-set stream.
class PropertySetWriter {
public:
    void i2(std::uint32_t id, std::uint16_t v) {
        ByteWriter w = start(kVtI2);
        w.u16le(v);
        w.u16le(0);
        add(id, w);
    }
    void ui4(std::uint32_t id, std::uint32_t v) {
        ByteWriter w = start(kVtUi4);
        w.u32le(v);
        add(id, w);
    }
    void r4(std::uint32_t id, float v) {
        std::uint32_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        ByteWriter w = start(kVtR4);
        w.u32le(bits);
        add(id, w);
    }
    void ui4Vector(std::uint32_t id, const std::vector<std::uint32_t>& v) {
        ByteWriter w = start(kVtVector | kVtUi4);
        w.u32le(static_cast<std::uint32_t>(v.size()));
        for (auto x : v) w.u32le(x);
        add(id, w);
    }
    void blob(std::uint32_t id, std::span<const std::uint8_t> v) {
        ByteWriter w = start(kVtBlob);
        w.u32le(static_cast<std::uint32_t>(v.size()));
        w.bytes(v);
        add(id, w);
    }
    void lpstr(std::uint32_t id, const std::string& v) {
        ByteWriter w = start(kVtLpstr);
        w.u32le(static_cast<std::uint32_t>(v.size() + 1));
        w.bytes(v.data(), v.size());
        w.u8(0);
        add(id, w);
    }

    std::vector<std::uint8_t> finish(const Guid& fmtid, const Guid& clsid) const {
        ByteWriter w;
        w.u16le(0xFFFE);
        w.u16le(0);
        w.u32le(0x00020005);  // written on Win32
        w.bytes(clsid.data(), clsid.size());
        w.u32le(1);
        w.bytes(fmtid.data(), fmtid.size());
        w.u32le(48);
        const std::size_t section = w.size();
        w.u32le(0);  // size, patched below
        w.u32le(static_cast<std::uint32_t>(values_.size()));
        std::uint32_t offset = 8 + 8 * static_cast<std::uint32_t>(values_.size());
        for (const auto& [id, bytes] : values_) {
            w.u32le(id);
            w.u32le(offset);
            offset += static_cast<std::uint32_t>(bytes.size());
        }
        for (const auto& [id, bytes] : values_) w.bytes(bytes);
        w.patchU32le(section, static_cast<std::uint32_t>(w.size() - section));
        return w.take();
    }

private:
    static ByteWriter start(std::uint32_t type) {
        ByteWriter w;
        w.u32le(type);
        return w;
    }
    void add(std::uint32_t id, ByteWriter& w) {
        while (w.size() % 4) w.u8(0);
        values_.emplace_back(id, w.take());
    }

    std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> values_;
};

// Reading

struct Colour {
    int channels = 0;
    PixelFormat format = PixelFormat::Rgb24;
    bool premultiplied = false;  // colour channels were multiplied by opacity
};

// Interprets the colour byte block of a subimage: a subimage count, the
// channel count, then one colour-space code per channel.
Colour parseColour(std::span<const std::uint8_t> block) {
    ByteReader r(block, kFormat);
    r.skip(4);
    const std::uint32_t channels = r.u32le();
    if (channels < 1 || channels > 4) fail(kFormat, "unsupported channel count " + std::to_string(channels));
    std::vector<std::uint32_t> codes(channels);
    for (auto& c : codes) c = r.u32le() & ~kUncalibrated;
    auto space = [](std::uint32_t code) { return code >> 16; };
    auto channel = [](std::uint32_t code) { return code & 0x7FFF; };
    Colour colour;
    colour.channels = static_cast<int>(channels);
    const bool alpha = channels == 2 || channels == 4;
    if (alpha && channel(codes.back()) != kOpacity) fail(kFormat, "unsupported channel layout");
    const std::uint32_t s = space(codes[0]);
    for (std::uint32_t i = 0; i < channels - (alpha ? 1 : 0); ++i)
        if (space(codes[i]) != s || channel(codes[i]) != i) fail(kFormat, "unsupported channel layout");
    colour.premultiplied = alpha && (codes[0] & kPremultiplied) != 0;
    if (s == kSpaceMono && channels == 1) {
        colour.format = PixelFormat::Gray8;
    } else if (s == kSpaceNifRgb && channels == 3) {
        colour.format = PixelFormat::Rgb24;
    } else if (s == kSpaceNifRgb && channels == 4) {
        colour.format = PixelFormat::Rgba32;
    } else {
        fail(kFormat,
             "unsupported colour space " + std::to_string(s) + " with " + std::to_string(channels) + " channels");
    }
    return colour;
}

struct TileEntry {
    std::uint32_t offset, size, type, subtype;
};

// Copies the visible part of a decoded kTile x kTile tile into the image.
void placeTile(Image& img, int tx, int ty, const std::uint8_t* tile, int channels) {
    const int x0 = tx * kTile, y0 = ty * kTile;
    const int w = std::min(kTile, img.width() - x0), h = std::min(kTile, img.height() - y0);
    const std::size_t tileStride = static_cast<std::size_t>(kTile) * channels;
    for (int y = 0; y < h; ++y)
        std::memcpy(img.row(y0 + y) + static_cast<std::size_t>(x0) * channels, tile + y * tileStride,
                    static_cast<std::size_t>(w) * channels);
}

Image readFullResolution(GsfInfile* image, std::size_t fileSize) {
    const auto contentsBytes = requireStream(image, kImageContents, fileSize);
    const PropertySet contents(contentsBytes);
    const auto levels = contents.u32(kPidResolutions);
    const auto width = contents.u32(kPidWidth), height = contents.u32(kPidHeight);
    if (!levels || !width || !height) fail(kFormat, "image contents lack the picture size");
    if (*levels < 1 || *levels > kMaxResolutions)
        fail(kFormat, "implausible number of resolutions " + std::to_string(*levels));
    checkDimensions(kFormat, *width, *height);
    const std::uint32_t top = *levels - 1;
    const std::uint32_t levelPid = top << 16;
    if (const auto w = contents.u32(kPidSubWidth | levelPid); w && *w != *width)
        fail(kFormat, "full resolution width disagrees with the picture width");
    if (const auto h = contents.u32(kPidSubHeight | levelPid); h && *h != *height)
        fail(kFormat, "full resolution height disagrees with the picture height");
    const auto colourBlock = contents.blob(kPidSubColour | levelPid);
    if (!colourBlock) fail(kFormat, "image contents lack the colour space");
    const Colour colour = parseColour(*colourBlock);
    const int channels = colour.channels;

    GPtr<GsfInfile> level = childStorage(image, resolutionName(top));
    if (!level) fail(kFormat, "missing storage " + resolutionName(top));
    const auto header = requireStream(level.get(), kHeaderStream, fileSize);
    ByteReader hr(header, kFormat);
    hr.seek(kPreamble);
    hr.skip(4);  // header length
    const std::uint32_t subWidth = hr.u32le(), subHeight = hr.u32le();
    const std::uint32_t tileCount = hr.u32le();
    const std::uint32_t tileWidth = hr.u32le(), tileHeight = hr.u32le();
    const std::uint32_t subChannels = hr.u32le();
    const std::uint32_t tableOffset = hr.u32le(), entrySize = hr.u32le();
    if (subWidth != *width || subHeight != *height) fail(kFormat, "subimage size disagrees with the picture size");
    if (tileWidth != kTile || tileHeight != kTile) fail(kFormat, "unsupported tile size");
    if (subChannels != static_cast<std::uint32_t>(channels))
        fail(kFormat, "subimage channel count disagrees with its colour space");
    const std::uint64_t tilesAcross = (std::uint64_t{*width} + kTile - 1) / kTile;
    const std::uint64_t tilesDown = (std::uint64_t{*height} + kTile - 1) / kTile;
    if (tileCount != tilesAcross * tilesDown) fail(kFormat, "tile count does not cover the picture");
    if (entrySize < kTileEntrySize) fail(kFormat, "tile table entries are too short");
    hr.seek(std::uint64_t{kPreamble} + tableOffset);
    hr.require(std::uint64_t{tileCount} * entrySize, "tile table");
    std::vector<TileEntry> entries(tileCount);
    for (auto& e : entries) {
        const std::size_t at = hr.pos();
        e = TileEntry{hr.u32le(), hr.u32le(), hr.u32le(), hr.u32le()};
        hr.seek(at + entrySize);
    }

    std::optional<std::vector<std::uint8_t>> dataStream;
    Image img(static_cast<int>(*width), static_cast<int>(*height), colour.format);
    const std::size_t tileBytes = static_cast<std::size_t>(kTile) * kTile * channels;
    std::vector<std::uint8_t> tile(tileBytes);
    std::vector<std::uint8_t> jpegStream;
    for (std::uint32_t i = 0; i < tileCount; ++i) {
        const TileEntry& e = entries[i];
        const int tx = static_cast<int>(i % tilesAcross), ty = static_cast<int>(i / tilesAcross);
        if (e.type == kTileSingleColour) {
            // The colour sits in the subtype, one byte per channel in channel order.
            for (std::size_t p = 0; p < tileBytes; p += channels)
                for (int c = 0; c < channels; ++c) tile[p + c] = static_cast<std::uint8_t>(e.subtype >> (8 * c));
            placeTile(img, tx, ty, tile.data(), channels);
            continue;
        }
        if (!dataStream) dataStream = requireStream(level.get(), kDataStream, fileSize);
        const std::uint64_t start = std::uint64_t{kPreamble} + e.offset;
        if (start > dataStream->size() || e.size > dataStream->size() - start)
            fail(kFormat, "tile " + std::to_string(i) + " lies outside the data stream");
        const auto stored = std::span<const std::uint8_t>(*dataStream).subspan(start, e.size);
        if (e.type == kTileRaw) {
            if (stored.size() < tileBytes) fail(kFormat, "uncompressed tile " + std::to_string(i) + " is too short");
            placeTile(img, tx, ty, stored.data(), channels);
        } else if (e.type == kTileJpeg) {
            const std::uint8_t conversion = static_cast<std::uint8_t>(e.subtype >> 16);
            const std::uint8_t tableIndex = static_cast<std::uint8_t>(e.subtype >> 24);
            if (channels != 1 && channels != 3) fail(kFormat, "JPEG tiles with opacity are not supported");
            std::span<const std::uint8_t> source = stored;
            if (tableIndex != 0) {
                // Abbreviated tile: splice the shared tables in after its start marker.
                const auto tables = contents.blob(kPidJpegTables | (std::uint32_t{tableIndex} << 16));
                if (!tables) fail(kFormat, "JPEG tile refers to missing tables " + std::to_string(tableIndex));
                std::size_t tableEnd = tables->size();
                if (tableEnd >= 2 && (*tables)[tableEnd - 2] == 0xFF && (*tables)[tableEnd - 1] == 0xD9) tableEnd -= 2;
                if (tableEnd < 2 || stored.size() < 2) fail(kFormat, "JPEG tables or tile too short");
                jpegStream.assign(tables->begin(), tables->begin() + static_cast<std::ptrdiff_t>(tableEnd));
                jpegStream.insert(jpegStream.end(), stored.begin() + 2, stored.end());
                source = jpegStream;
            }
            flashpix::decodeJpegTile(source, channels, conversion != 0, tile.data());
            placeTile(img, tx, ty, tile.data(), channels);
        } else {
            fail(kFormat, "unsupported tile compression " + std::to_string(e.type));
        }
    }

    if (colour.premultiplied) {
        for (int y = 0; y < img.height(); ++y) {
            std::uint8_t* p = img.row(y);
            for (int x = 0; x < img.width(); ++x, p += 4) {
                const unsigned a = p[3];
                for (int c = 0; c < 3; ++c)
                    p[c] = a == 0 ? 0 : static_cast<std::uint8_t>(std::min(255u, (p[c] * 255u + a / 2) / a));
            }
        }
    }

    // Display size gives the resolution.
    const auto dispW = contents.r4(kPidDisplayWidth), dispH = contents.r4(kPidDisplayHeight);
    const std::uint32_t units = contents.u32(kPidDisplayUnits).value_or(0);
    static constexpr double kPerInch[] = {1.0, 0.0254, 2.54, 25.4};  // inch, metre, centimetre, millimetre
    if (dispW && dispH && *dispW > 0 && *dispH > 0 && units < 4) {
        const double xDpi = *width / (*dispW / kPerInch[units]);
        const double yDpi = *height / (*dispH / kPerInch[units]);
        if (std::isfinite(xDpi) && std::isfinite(yDpi) && xDpi < 1e6 && yDpi < 1e6) {
            img.xDpi = std::round(xDpi * 100) / 100;
            img.yDpi = std::round(yDpi * 100) / 100;
        }
    }
    return img;
}

constexpr std::uint8_t kOleMagic[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

class FlashPixReader final : public SinglePageReader {
public:
    std::string name() const override { return kFormat; }
    std::vector<std::string> extensions() const override { return {".fpx"}; }

    Sniff sniff(std::span<const std::uint8_t> head) const override {
        if (head.size() < 8 || std::memcmp(head.data(), kOleMagic, 8) != 0) return Sniff::No;
        // Compound files hold many formats; the class of the root entry tells a
        // FlashPix image apart when the directory lies within the head.
        if (head.size() >= 0x34) {
            const unsigned shift = head[0x1E] | head[0x1F] << 8;
            const std::uint64_t dirSector =
                head[0x30] | head[0x31] << 8 | head[0x32] << 16 | std::uint64_t{head[0x33]} << 24;
            if (shift >= 7 && shift <= 16) {
                const std::uint64_t rootEntry = (dirSector + 1) << shift;
                if (rootEntry + 0x60 <= head.size()) {
                    const std::uint8_t* clsid = head.data() + rootEntry + 0x50;
                    const bool fpx = std::memcmp(clsid, kClsidImageView.data(), 16) == 0 ||
                                     std::memcmp(clsid, kClsidImageObject.data(), 16) == 0;
                    return fpx ? Sniff::Strong : Sniff::No;
                }
            }
        }
        return Sniff::Weak;
    }

protected:
    // The tiles are only decoded by readPage(), but the page count already
    // refuses files without a FlashPix image object.
    void checkHeader(std::span<const std::uint8_t> data, const ReadContext&) const override {
        withImageObject(data, [&](GsfInfile* image) { requireStream(image, kImageContents, data.size()); });
    }

    Image readPage(std::span<const std::uint8_t> data, const ReadContext&) const override {
        Image page;
        withImageObject(data, [&](GsfInfile* image) { page = readFullResolution(image, data.size()); });
        return page;
    }

private:
    // Opens the compound file and calls `use` with the source image object:
    // the root itself for a bare image object, else "Data Object Store 000001"
    // of an image view.
    template <typename F>
    static void withImageObject(std::span<const std::uint8_t> data, F&& use) {
        initGsf();
        GPtr<GsfInput> input(gsf_input_memory_new(data.data(), static_cast<gsf_off_t>(data.size()), FALSE));
        if (!input) fail(kFormat, "cannot open the data");
        GError* error = nullptr;
        GPtr<GsfInfile> root(gsf_infile_msole_new(input.get(), &error));
        if (error) g_error_free(error);
        if (!root) fail(kFormat, "not a readable compound file");
        Guid clsid{};
        gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(root.get()), clsid.data());
        if (clsid == kClsidImageObject) {
            use(root.get());
            return;
        }
        if (clsid != kClsidImageView) fail(kFormat, "compound file is not a FlashPix image");
        GPtr<GsfInfile> image = childStorage(root.get(), kImageStore);
        if (!image) fail(kFormat, "missing image object storage");
        use(image.get());
    }
};

// Writing

// Half the size in both directions, rounded up ((w + 1) / 2, as FlashPix
// readers compute the size of each lower level), by averaging 2x2 blocks; an
// odd last row or column is averaged with itself.
Image halve(const Image& src) {
    const int w = (src.width() + 1) / 2, h = (src.height() + 1) / 2;
    const int ch = bytesPerPixel(src.format());
    Image dst(w, h, src.format());
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* r0 = src.row(std::min(2 * y, src.height() - 1));
        const std::uint8_t* r1 = src.row(std::min(2 * y + 1, src.height() - 1));
        std::uint8_t* out = dst.row(y);
        for (int x = 0; x < w; ++x) {
            const int x0 = std::min(2 * x, src.width() - 1) * ch, x1 = std::min(2 * x + 1, src.width() - 1) * ch;
            for (int c = 0; c < ch; ++c)
                out[x * ch + c] =
                    static_cast<std::uint8_t>((r0[x0 + c] + r0[x1 + c] + r1[x0 + c] + r1[x1 + c] + 2) / 4);
        }
    }
    return dst;
}

// The resolution hierarchy, full picture first: each level halves the one
// before until the larger side fits one tile.
std::vector<Image> buildLevels(Image full) {
    std::vector<Image> levels;
    levels.push_back(std::move(full));
    while (std::max(levels.back().width(), levels.back().height()) > kTile) levels.push_back(halve(levels.back()));
    return levels;
}

// Copies tile (tx, ty) into a kTile x kTile buffer, repeating the last column
// and row into the padding so that JPEG sees no false edge.
void extractTile(const Image& img, int tx, int ty, std::uint8_t* tile) {
    const int ch = bytesPerPixel(img.format());
    const int x0 = tx * kTile, y0 = ty * kTile;
    for (int y = 0; y < kTile; ++y) {
        const std::uint8_t* src = img.row(std::min(y0 + y, img.height() - 1));
        for (int x = 0; x < kTile; ++x) {
            const int sx = std::min(x0 + x, img.width() - 1);
            std::memcpy(tile + (static_cast<std::size_t>(y) * kTile + x) * ch, src + static_cast<std::size_t>(sx) * ch,
                        ch);
        }
    }
}

// Whether every visible pixel of the tile equals its first pixel.
bool singleColour(const Image& img, int tx, int ty) {
    const int ch = bytesPerPixel(img.format());
    const int x0 = tx * kTile, y0 = ty * kTile;
    const int w = std::min(kTile, img.width() - x0), h = std::min(kTile, img.height() - y0);
    const std::uint8_t* first = img.row(y0) + static_cast<std::size_t>(x0) * ch;
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* p = img.row(y0 + y) + static_cast<std::size_t>(x0) * ch;
        for (int x = 0; x < w; ++x, p += ch)
            if (std::memcmp(p, first, ch) != 0) return false;
    }
    return true;
}

std::vector<std::uint8_t> preamble(const Guid& clsid) {
    ByteWriter w;
    w.u16le(0xFFFE);
    w.u16le(0);
    w.u32le(3);
    w.bytes(clsid.data(), clsid.size());
    w.u32le(1);
    return w.take();
}

struct EncodedLevel {
    std::vector<std::uint8_t> header, data;
};

struct TileParams {
    int code;
    int jpegQuality;
    bool subsample;
};

EncodedLevel encodeLevel(const Image& img, const TileParams& p) {
    const int ch = bytesPerPixel(img.format());
    const int across = (img.width() + kTile - 1) / kTile, down = (img.height() + kTile - 1) / kTile;
    ByteWriter data;
    data.bytes(preamble(kClsidSubimageData));
    ByteWriter table;
    std::vector<std::uint8_t> tile(static_cast<std::size_t>(kTile) * kTile * ch);
    for (int ty = 0; ty < down; ++ty) {
        for (int tx = 0; tx < across; ++tx) {
            const auto offset = static_cast<std::uint32_t>(data.size() - kPreamble);
            if (p.code == kCodeSingleColour && singleColour(img, tx, ty)) {
                const std::uint8_t* px = img.row(ty * kTile) + static_cast<std::size_t>(tx) * kTile * ch;
                std::uint32_t colour = 0;
                for (int c = 0; c < ch; ++c) colour |= std::uint32_t{px[c]} << (8 * c);
                table.u32le(offset);
                table.u32le(0);
                table.u32le(kTileSingleColour);
                table.u32le(colour);
                continue;
            }
            extractTile(img, tx, ty, tile.data());
            if (p.code == kCodeJpeg) {
                const auto jpeg = flashpix::encodeJpegTile(tile.data(), ch, p.jpegQuality, p.subsample);
                data.bytes(jpeg);
                // Subtype bytes: interleaving 0, chroma subsampling, YCbCr conversion, no shared tables.
                const std::uint32_t sampling = ch == 1 ? 0x11 : (p.subsample ? 0x22 : 0x11);
                const std::uint32_t conversion = ch == 3 ? 1 : 0;
                table.u32le(offset);
                table.u32le(static_cast<std::uint32_t>(jpeg.size()));
                table.u32le(kTileJpeg);
                table.u32le(sampling << 8 | conversion << 16);
            } else {
                data.bytes(tile);
                table.u32le(offset);
                table.u32le(static_cast<std::uint32_t>(tile.size()));
                table.u32le(kTileRaw);
                table.u32le(0);
            }
        }
    }
    ByteWriter header;
    header.bytes(preamble(kClsidSubimageHeader));
    header.u32le(kSubimageHeaderSize);
    header.u32le(static_cast<std::uint32_t>(img.width()));
    header.u32le(static_cast<std::uint32_t>(img.height()));
    header.u32le(static_cast<std::uint32_t>(across * down));
    header.u32le(kTile);
    header.u32le(kTile);
    header.u32le(static_cast<std::uint32_t>(ch));
    header.u32le(kSubimageHeaderSize);
    header.u32le(kTileEntrySize);
    header.bytes(table.buffer());
    return EncodedLevel{header.take(), data.take()};
}

std::vector<std::uint8_t> colourBlock(int channels) {
    ByteWriter w;
    w.u32le(1);
    w.u32le(static_cast<std::uint32_t>(channels));
    const std::uint32_t space = channels == 1 ? kSpaceMono : kSpaceNifRgb;
    for (int c = 0; c < channels; ++c) w.u32le(kUncalibrated | space << 16 | static_cast<std::uint32_t>(c));
    return w.take();
}

std::vector<std::uint8_t> imageContents(const std::vector<Image>& levels, bool jpeg) {
    const Image& full = levels.front();
    const int ch = bytesPerPixel(full.format());
    const auto count = static_cast<std::uint32_t>(levels.size());
    PropertySetWriter ps;
    ps.i2(1, 1252);
    ps.ui4(kPidResolutions, count);
    ps.ui4(kPidWidth, static_cast<std::uint32_t>(full.width()));
    ps.ui4(kPidHeight, static_cast<std::uint32_t>(full.height()));
    // Display size in inches from the resolution; 72 dpi when none is known.
    const double xDpi = full.xDpi > 0 ? full.xDpi : 72.0, yDpi = full.yDpi > 0 ? full.yDpi : 72.0;
    ps.r4(kPidDisplayHeight, static_cast<float>(full.height() / yDpi));
    ps.r4(kPidDisplayWidth, static_cast<float>(full.width() / xDpi));
    ps.ui4(kPidDisplayUnits, 0);
    const auto colour = colourBlock(ch);
    for (std::uint32_t level = 0; level < count; ++level) {
        // Level 0 is the smallest picture, the last one the full picture.
        const Image& img = levels[count - 1 - level];
        const std::uint32_t pid = level << 16;
        ps.ui4(kPidSubWidth | pid, static_cast<std::uint32_t>(img.width()));
        ps.ui4(kPidSubHeight | pid, static_cast<std::uint32_t>(img.height()));
        ps.blob(kPidSubColour | pid, colour);
        ps.ui4Vector(kPidSubFormat | pid, std::vector<std::uint32_t>(static_cast<std::size_t>(ch), kVtUi1));
        ps.ui4(kPidSubDecimation | pid, level == count - 1 ? 0 : 4);
    }
    if (jpeg) ps.ui4(kPidMaxJpegTable, 0);
    return ps.finish(kFmtImageContents, Guid{});
}

std::vector<std::uint8_t> summaryInformation() {
    PropertySetWriter ps;
    ps.i2(1, 1252);
    ps.lpstr(0x12, "Rastel");  // creating application
    return ps.finish(kFmtSummary, Guid{});
}

std::vector<std::uint8_t> globalInfo() {
    PropertySetWriter ps;
    ps.i2(1, 1252);
    ps.ui4Vector(0x00010100, {1});  // visible outputs: the source image
    ps.ui4(0x00010101, 1);          // largest image index in use
    ps.ui4(0x00010102, 0);          // largest transform index
    ps.ui4(0x00010103, 0);          // largest operation index
    return ps.finish(kFmtGlobalInfo, Guid{});
}

// Owns the compound file being written; children must be closed before their
// parent, which the helpers below do.
void writeChild(GsfOutfile* parent, const char* name, std::span<const std::uint8_t> bytes) {
    GPtr<GsfOutput> out(gsf_outfile_new_child(parent, name, FALSE));
    if (!out || !gsf_output_write(out.get(), bytes.size(), bytes.data()) || !gsf_output_close(out.get()))
        fail(kFormat, std::string("cannot write stream ") + (name[0] == '\005' ? name + 1 : name));
}

GPtr<GsfOutfile> newStorage(GsfOutfile* parent, const std::string& name, const Guid& clsid) {
    GPtr<GsfOutput> out(gsf_outfile_new_child(parent, name.c_str(), TRUE));
    if (!out) fail(kFormat, "cannot create storage " + name);
    gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(out.get()), clsid.data());
    return GPtr<GsfOutfile>(GSF_OUTFILE(out.release()));
}

void closeStorage(GsfOutfile* storage) {
    if (!gsf_output_close(GSF_OUTPUT(storage))) fail(kFormat, "cannot finish a storage");
}

class FlashPixWriter final : public FormatWriter {
public:
    std::string name() const override { return kFormat; }
    std::vector<WriteCapability> capabilities() const override {
        return {{kCodeUncompressed, {8, 24}}, {kCodeSingleColour, {8, 24}}, {kCodeJpeg, {8, 24}}};
    }

    std::vector<std::uint8_t> encode(const Image& page, const WriteOptions& opt) const override {
        Image full = opt.bits == 8 ? toGray8(page) : toRgb24(page);
        full.xDpi = page.xDpi;
        full.yDpi = page.yDpi;
        const int q = std::clamp(opt.quality, 2, 255);
        TileParams params{opt.code, static_cast<int>(std::lround(100.0 - (q - 2) * 99.0 / 253.0)), false};
        // Chroma at full resolution only for the finest settings.
        params.subsample = params.jpegQuality < 90;
        const auto levels = buildLevels(std::move(full));

        initGsf();
        GPtr<GsfOutput> sink(gsf_output_memory_new());
        {
            GPtr<GsfOutfile> root(gsf_outfile_msole_new(sink.get()));
            if (!root) fail(kFormat, "cannot create the compound file");
            gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(root.get()), kClsidImageView.data());
            writeChild(root.get(), "\005SummaryInformation", summaryInformation());
            writeChild(root.get(), "\005Global Info", globalInfo());
            {
                GPtr<GsfOutfile> image = newStorage(root.get(), kImageStore, kClsidImageObject);
                writeChild(image.get(), kImageContents, imageContents(levels, opt.code == kCodeJpeg));
                const auto count = static_cast<std::uint32_t>(levels.size());
                for (std::uint32_t level = 0; level < count; ++level) {
                    const EncodedLevel enc = encodeLevel(levels[count - 1 - level], params);
                    GPtr<GsfOutfile> res = newStorage(image.get(), resolutionName(level), kClsidResolution);
                    writeChild(res.get(), kHeaderStream, enc.header);
                    writeChild(res.get(), kDataStream, enc.data);
                    closeStorage(res.get());
                }
                closeStorage(image.get());
            }
            closeStorage(root.get());
        }
        const guint8* bytes = gsf_output_memory_get_bytes(GSF_OUTPUT_MEMORY(sink.get()));
        const gsf_off_t size = gsf_output_size(sink.get());
        if (!bytes || size <= 0) fail(kFormat, "compound file came out empty");
        std::vector<std::uint8_t> out(bytes, bytes + size);
        return out;
    }
};

}  // namespace

void registerFlashPixCodec(Registry& registry) { registry.addCodec<FlashPixReader, FlashPixWriter>(); }

}  // namespace rastel::imaging
