// PNG reader and writer on top of libpng 1.6.
//
// libpng reports errors by calling our error function, which records the
// message and longjmps back to the setjmp of the phase that is running. Every
// phase is a plain function whose locals are all trivially destructible, so the
// jump skips no C++ destructor; the C++ caller turns a failed phase into an
// Error after the jump. Warnings are dropped: libpng never prints.

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstring>
#include <exception>
#include <memory>
#include <new>

#include "fileio/file_io.h"
#include "imaging/codec.h"
#include "imaging/codecs/common/bits.h"
#include "imaging/convert.h"
#include "imaging/error.h"
#include "imaging/metadata.h"
#include "imaging/registry.h"

namespace rastel::imaging {
namespace {

constexpr const char* kFormat = "PNG";
constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr int kWriteCode = 75;

bool hasSignature(std::span<const std::uint8_t> data) {
    return data.size() >= 8 && std::equal(kSignature, kSignature + 8, data.begin());
}
constexpr double kMetresPerInch = 0.0254;

// Shared state of one libpng session, reachable from the callbacks.
struct PngSession {
    char message[200] = {};
    // Reading: the file in memory and how far libpng has consumed it.
    const std::uint8_t* in = nullptr;
    std::size_t inSize = 0;
    std::size_t inPos = 0;
    bool ranOutOfData = false;
    // Writing: where the encoded bytes go, into memory or on to a file, and
    // the failure of that file, passed on once libpng has returned.
    std::vector<std::uint8_t>* out = nullptr;
    fileio::FdWriter* file = nullptr;
    std::exception_ptr writeFailure;
};

void recordMessage(PngSession* s, const char* msg) {
    std::snprintf(s->message, sizeof s->message, "%s", msg ? msg : "libpng error");
}

extern "C" void pngError(png_structp png, png_const_charp msg) {
    recordMessage(static_cast<PngSession*>(png_get_error_ptr(png)), msg);
    png_longjmp(png, 1);
}

extern "C" void pngWarning(png_structp, png_const_charp) {}

extern "C" void pngRead(png_structp png, png_bytep dest, size_t length) {
    auto* s = static_cast<PngSession*>(png_get_io_ptr(png));
    if (length > s->inSize - s->inPos) {
        s->ranOutOfData = true;
        png_error(png, "file is truncated");
    }
    if (length == 0) return;
    std::memcpy(dest, s->in + s->inPos, length);
    s->inPos += length;
}

extern "C" void pngWrite(png_structp png, png_bytep src, size_t length) {
    auto* s = static_cast<PngSession*>(png_get_io_ptr(png));
    bool ok = true;
    try {
        if (s->file)
            s->file->write(src, length);
        else
            s->out->insert(s->out->end(), src, src + length);
    } catch (...) {
        s->writeFailure = std::current_exception();
        ok = false;
    }
    // Raised outside the handler so that the jump leaves no exception behind.
    if (!ok) png_error(png, "cannot write the file");
}

extern "C" void pngFlush(png_structp) {}

// Owns the libpng structures of one session; destroys them in the C++ frame
// that outlives every setjmp/longjmp pair.
struct ReadHandles {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~ReadHandles() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
};

struct WriteHandles {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~WriteHandles() { png_destroy_write_struct(&png, info ? &info : nullptr); }
};

// What the header phase learned about the file, after our transforms.
struct PngHeader {
    png_uint_32 width = 0, height = 0;
    int bitDepth = 0;    // as stored in the file
    int colourType = 0;  // as stored in the file
    int channels = 0;    // per pixel after the transforms, one byte each
    png_colorp palette = nullptr;
    int paletteSize = 0;
    png_uint_32 xPpu = 0, yPpu = 0;
    int physUnit = -1;  // -1 when there is no pHYs chunk
    // Palette images: the alpha of each entry from tRNS (255 past its end),
    // and whether any entry is less than opaque.
    std::uint8_t paletteAlpha[256] = {};
    bool paletteTransparent = false;
    // Gray and RGB images: a tRNS colour key becomes an alpha channel.
    bool keyedAlpha = false;
};

// Phase 1: signature, chunks up to the first IDAT, transforms.
bool readHeader(PngSession* s, png_structp png, png_infop info, PngHeader* h) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_read_fn(png, s, pngRead);
    // Corrupt chunks are refused, ancillary ones included.
    png_set_crc_action(png, PNG_CRC_ERROR_QUIT, PNG_CRC_ERROR_QUIT);
    const std::uint64_t limit = std::min<std::uint64_t>(pixelLimit(), PNG_UINT_31_MAX);
    png_set_user_limits(png, static_cast<png_uint_32>(limit), static_cast<png_uint_32>(limit));
    png_set_chunk_cache_max(png, 1000);
    png_set_chunk_malloc_max(png, 8u << 20);
    // Chunks the page does not use are skipped unread (their checksums are
    // still verified), so a header claiming a gigabyte of text costs nothing.
    static const png_byte unused[] =
        "bKGD\0cHRM\0gAMA\0hIST\0oFFs\0pCAL\0sCAL\0sBIT\0"
        "sPLT\0sRGB\0sTER\0tEXt\0tIME\0zTXt\0eXIf\0iTXt";
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, unused, static_cast<int>(sizeof unused / 5));
    png_read_info(png, info);

    int interlace = 0;
    png_get_IHDR(png, info, &h->width, &h->height, &h->bitDepth, &h->colourType, &interlace, nullptr, nullptr);
    if (h->colourType == PNG_COLOR_TYPE_PALETTE) png_get_PLTE(png, info, &h->palette, &h->paletteSize);
    if (png_get_valid(png, info, PNG_INFO_pHYs)) png_get_pHYs(png, info, &h->xPpu, &h->yPpu, &h->physUnit);
    if (png_get_valid(png, info, PNG_INFO_tRNS)) {
        if (h->colourType == PNG_COLOR_TYPE_PALETTE) {
            png_bytep alpha = nullptr;
            int count = 0;
            png_get_tRNS(png, info, &alpha, &count, nullptr);
            std::fill(std::begin(h->paletteAlpha), std::end(h->paletteAlpha), std::uint8_t{255});
            for (int i = 0; alpha && i < count && i < 256; ++i) {
                h->paletteAlpha[i] = alpha[i];
                h->paletteTransparent |= alpha[i] != 255;
            }
        } else if (h->colourType == PNG_COLOR_TYPE_GRAY || h->colourType == PNG_COLOR_TYPE_RGB) {
            // The key is compared with the samples as stored (16-bit keys
            // before the scaling below); gray below 8 bits is widened to 8.
            png_set_tRNS_to_alpha(png);
            if (h->colourType == PNG_COLOR_TYPE_GRAY) png_set_gray_to_rgb(png);
            h->keyedAlpha = true;
        }
    }

    // 16-bit samples are scaled to 8 with rounding (v * 255 / 65535).
    if (h->bitDepth == 16) png_set_scale_16(png);
    // Indices and gray levels below 8 bits become one byte each, unscaled.
    if (h->bitDepth < 8) png_set_packing(png);
    if (h->colourType == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    h->channels = png_get_channels(png, info);
    return true;
}

// An indexed picture as Rgba32 through its palette and the entries' alpha.
// Indices past the palette have been padded to black by the caller and are
// opaque unless tRNS says otherwise.
Image expandPalette(const Image& idx, const std::uint8_t* alpha) {
    Image out(idx.width(), idx.height(), PixelFormat::Rgba32);
    std::uint8_t lut[256][4] = {};
    const auto& pal = idx.palette();
    for (std::size_t i = 0; i < 256; ++i) {
        const Rgb c = i < pal.size() ? pal[i] : Rgb{};
        lut[i][0] = c.r, lut[i][1] = c.g, lut[i][2] = c.b, lut[i][3] = alpha[i];
    }
    for (int y = 0; y < idx.height(); ++y) {
        const std::uint8_t* s = idx.row(y);
        std::uint8_t* d = out.row(y);
        for (int x = 0; x < idx.width(); ++x) std::memcpy(d + 4 * x, lut[s[x]], 4);
    }
    return out;
}

// Phase 2: the pixel rows, then the chunks after them.
enum class BodyResult { Ok, FailedInImage, FailedAfterImage };

BodyResult readBody(png_structp png, png_infop info, png_bytepp rows, bool* imageDone) {
    if (setjmp(png_jmpbuf(png))) return *imageDone ? BodyResult::FailedAfterImage : BodyResult::FailedInImage;
    png_read_image(png, rows);
    *imageDone = true;
    png_read_end(png, info);
    return BodyResult::Ok;
}

double dpiFromPpm(png_uint_32 ppm) {
    const double dpi = ppm * kMetresPerInch;
    // A whole dpi value written as pixels per metre comes back within 0.02 of
    // itself (72 dpi is stored as 2835); give the whole number back.
    const double whole = std::round(dpi);
    return std::fabs(dpi - whole) < 0.02 ? whole : dpi;
}

const char kXmpKey[] = "XML:com.adobe.xmp";

// Calls `f(type, body)` for each complete chunk of the file, up to IEND.
// eXIf and iTXt are taken from the data this way rather than through libpng,
// which would allocate whatever length such a chunk claims.
template <typename F>
void forEachChunk(std::span<const std::uint8_t> data, F&& f) {
    std::size_t pos = 8;
    while (data.size() - pos >= 12) {
        const std::uint32_t len = (std::uint32_t{data[pos]} << 24) | (std::uint32_t{data[pos + 1]} << 16) |
                                  (std::uint32_t{data[pos + 2]} << 8) | data[pos + 3];
        const std::uint8_t* type = data.data() + pos + 4;
        if (len > data.size() - pos - 12) break;
        if (std::memcmp(type, "IEND", 4) == 0) break;
        if (!f(type, std::span<const std::uint8_t>(type + 4, len))) break;
        pos += 12 + static_cast<std::size_t>(len);
    }
}

// The XMP packet of an iTXt chunk with the XMP keyword: keyword, NUL,
// compression flag and method, language tag, NUL, translated keyword, NUL,
// then the text, zlib-compressed when the flag says so (inflated up to 16 MiB).
bool xmpFromItxt(std::span<const std::uint8_t> body, std::vector<std::uint8_t>& out) {
    const std::size_t keyLen = sizeof kXmpKey;  // with its NUL
    if (body.size() < keyLen + 2 || std::memcmp(body.data(), kXmpKey, keyLen) != 0) return false;
    const std::uint8_t compressed = body[keyLen];
    std::size_t pos = keyLen + 2;
    for (int field = 0; field < 2; ++field) {
        const auto* nul = static_cast<const std::uint8_t*>(std::memchr(body.data() + pos, 0, body.size() - pos));
        if (!nul) return false;
        pos = static_cast<std::size_t>(nul - body.data()) + 1;
    }
    const auto text = body.subspan(pos);
    if (!compressed) {
        out.assign(text.begin(), text.end());
        return true;
    }
    if (body[keyLen + 1] != 0) return false;
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return false;
    std::vector<std::uint8_t> result;
    constexpr std::size_t kMax = 16u << 20;
    z.next_in = const_cast<Bytef*>(text.data());
    z.avail_in = static_cast<uInt>(text.size());
    int rc = Z_OK;
    while (rc == Z_OK && result.size() < kMax) {
        std::uint8_t buf[16384];
        z.next_out = buf;
        z.avail_out = sizeof buf;
        rc = inflate(&z, Z_NO_FLUSH);
        result.insert(result.end(), buf, buf + (sizeof buf - z.avail_out));
        if (rc == Z_BUF_ERROR && z.avail_in == 0) break;
    }
    inflateEnd(&z);
    if (rc != Z_STREAM_END) return false;
    out = std::move(result);
    return true;
}

// ICC profile (iCCP) as libpng stored it; Exif (eXIf) and XMP (iTXt) from the file.
Metadata metadataOf(png_structp png, png_infop info, std::span<const std::uint8_t> data) {
    Metadata m;
    png_charp name = nullptr;
    int compression = 0;
    png_bytep profile = nullptr;
    png_uint_32 profileSize = 0;
    if (png_get_iCCP(png, info, &name, &compression, &profile, &profileSize) && profile)
        m.icc.assign(profile, profile + profileSize);
    bool haveExif = false, haveXmp = false;
    forEachChunk(data, [&](const std::uint8_t* type, std::span<const std::uint8_t> body) {
        if (!haveExif && std::memcmp(type, "eXIf", 4) == 0) {
            m.exif.assign(body.begin(), body.end());
            haveExif = true;
        } else if (!haveXmp && std::memcmp(type, "iTXt", 4) == 0) {
            haveXmp = xmpFromItxt(body, m.xmp);
        }
        return !(haveExif && haveXmp);
    });
    return m;
}

class PngReader : public SinglePageReader {
public:
    std::string name() const override { return kFormat; }
    std::vector<std::string> extensions() const override { return {".png"}; }

    Sniff sniff(std::span<const std::uint8_t> head) const override {
        return hasSignature(head) ? Sniff::Strong : Sniff::No;
    }

protected:
    void checkHeader(std::span<const std::uint8_t> data, const ReadContext&) const override {
        if (!hasSignature(data)) fail(kFormat, "not a PNG file (signature missing)");
    }

    Image readPage(std::span<const std::uint8_t> data, const ReadContext& ctx) const override {
        checkHeader(data, ctx);
        PngSession session;
        session.in = data.data();
        session.inSize = data.size();
        ReadHandles h;
        h.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &session, pngError, pngWarning);
        if (!h.png) fail(kFormat, "cannot start the decoder");
        h.info = png_create_info_struct(h.png);
        if (!h.info) fail(kFormat, "cannot start the decoder");

        PngHeader head;
        if (!readHeader(&session, h.png, h.info, &head)) fail(kFormat, session.message);
        checkDimensions(kFormat, head.width, head.height);
        const int w = static_cast<int>(head.width);
        const int hgt = static_cast<int>(head.height);

        Image img;
        switch (head.colourType) {
        case PNG_COLOR_TYPE_PALETTE:
            if (!head.palette || head.paletteSize < 1) fail(kFormat, "palette image without a palette");
            img = Image(w, hgt, PixelFormat::Indexed, head.bitDepth);
            for (int i = 0; i < head.paletteSize && i < (1 << head.bitDepth); ++i)
                img.palette().push_back({head.palette[i].red, head.palette[i].green, head.palette[i].blue});
            break;
        case PNG_COLOR_TYPE_GRAY:
            if (head.keyedAlpha) {
                img = Image(w, hgt, PixelFormat::Rgba32);
            } else if (head.bitDepth < 8) {
                img = Image(w, hgt, PixelFormat::Indexed, head.bitDepth);
                img.palette() = grayPalette(head.bitDepth);
            } else {
                img = Image(w, hgt, PixelFormat::Gray8);
            }
            break;
        case PNG_COLOR_TYPE_RGB: img = Image(w, hgt, head.keyedAlpha ? PixelFormat::Rgba32 : PixelFormat::Rgb24); break;
        case PNG_COLOR_TYPE_RGB_ALPHA:
        case PNG_COLOR_TYPE_GRAY_ALPHA: img = Image(w, hgt, PixelFormat::Rgba32); break;
        default: fail(kFormat, "unknown colour type " + std::to_string(head.colourType));
        }
        if (head.channels != bytesPerPixel(img.format()) &&
            !(img.format() == PixelFormat::Indexed && head.channels == 1))
            fail(kFormat, "unexpected sample layout");
        if (png_get_rowbytes(h.png, h.info) != img.stride()) fail(kFormat, "unexpected row size");

        std::vector<png_bytep> rows(static_cast<std::size_t>(hgt));
        for (int y = 0; y < hgt; ++y) rows[static_cast<std::size_t>(y)] = img.row(y);
        bool imageDone = false;
        switch (readBody(h.png, h.info, rows.data(), &imageDone)) {
        case BodyResult::Ok: break;
        case BodyResult::FailedInImage: fail(kFormat, session.message);
        case BodyResult::FailedAfterImage:
            // The pixels are complete; a file cut short after them (no IEND)
            // still shows the whole picture. Damaged chunks are refused.
            if (!session.ranOutOfData) fail(kFormat, session.message);
            break;
        }

        if (head.colourType == PNG_COLOR_TYPE_PALETTE) {
            // Indices past a short palette show black, as viewers show them;
            // padding keeps every later lookup inside the palette.
            std::uint8_t maxIndex = 0;
            for (int y = 0; y < hgt; ++y) {
                const std::uint8_t* r = img.row(y);
                maxIndex = std::max(maxIndex, *std::max_element(r, r + w));
            }
            if (maxIndex >= img.palette().size()) img.palette().resize(std::size_t{maxIndex} + 1u, Rgb{0, 0, 0});
            // Transparent entries make the page Rgba32; a tRNS that leaves
            // every entry opaque keeps it indexed.
            if (head.paletteTransparent) img = expandPalette(img, head.paletteAlpha);
        }
        if (head.physUnit == PNG_RESOLUTION_METER && head.xPpu > 0 && head.yPpu > 0) {
            img.xDpi = dpiFromPpm(head.xPpu);
            img.yDpi = dpiFromPpm(head.yPpu);
        }
        Metadata meta = metadataOf(h.png, h.info, data);
        const int orientation = exifOrientation(meta.exif);
        img.metadata = shareMetadata(std::move(meta));
        applyOrientation(img, orientation);
        return img;
    }
};

// Everything the encoder needs, prepared in C++ before libpng runs.
struct PngPlan {
    png_uint_32 width = 0, height = 0;
    int bitDepth = 8;
    int colourType = PNG_COLOR_TYPE_RGB;
    png_color palette[256] = {};
    int paletteSize = 0;
    png_uint_32 xPpm = 0, yPpm = 0;
    png_bytepp rows = nullptr;
    // Metadata chunks written before the image data, when their pointers are set.
    const png_byte* icc = nullptr;
    png_uint_32 iccSize = 0;
    png_bytep exif = nullptr;
    png_uint_32 exifSize = 0;
    png_textp xmp = nullptr;
};

bool encode(PngSession* s, png_structp png, png_infop info, const PngPlan* p) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_write_fn(png, s, pngWrite, pngFlush);
    // zlib level 6 is zlib's own balance of speed and size. Palette images
    // compress best unfiltered; truecolour rows get libpng's adaptive choice.
    png_set_compression_level(png, 6);
    png_set_filter(png, PNG_FILTER_TYPE_BASE,
                   p->colourType == PNG_COLOR_TYPE_PALETTE ? PNG_FILTER_NONE : PNG_ALL_FILTERS);
    png_set_IHDR(png, info, p->width, p->height, p->bitDepth, p->colourType, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (p->colourType == PNG_COLOR_TYPE_PALETTE) png_set_PLTE(png, info, p->palette, p->paletteSize);
    if (p->xPpm > 0 && p->yPpm > 0) png_set_pHYs(png, info, p->xPpm, p->yPpm, PNG_RESOLUTION_METER);
    // A profile libpng finds inconsistent is left out with a warning, not a failed save.
    png_set_benign_errors(png, 1);
    if (p->icc) png_set_iCCP(png, info, "ICC profile", PNG_COMPRESSION_TYPE_BASE, p->icc, p->iccSize);
    if (p->exif) png_set_eXIf_1(png, info, p->exifSize, p->exif);
    if (p->xmp) png_set_text(png, info, p->xmp, 1);
    png_write_info(png, info);
    png_write_image(png, p->rows);
    png_write_end(png, info);
    return true;
}

png_uint_32 ppmFromDpi(double dpi) {
    if (!(dpi > 0) || !std::isfinite(dpi)) return 0;
    const double ppm = std::round(dpi / kMetresPerInch);
    if (ppm < 1 || ppm > PNG_UINT_31_MAX) return 0;
    return static_cast<png_uint_32>(ppm);
}

class PngWriter : public FormatWriter {
public:
    std::string name() const override { return kFormat; }
    std::vector<WriteCapability> capabilities() const override { return {{kWriteCode, {1, 4, 8, 24}}}; }

    std::vector<std::uint8_t> encode(const Image& page, const WriteOptions& opt) const override {
        std::vector<std::uint8_t> out;
        PngSession session;
        session.out = &out;
        encodeInto(session, page, opt);
        return out;
    }

protected:
    // Writes to the file as libpng produces the stream, in blocks.
    void encodeTo(int fd, const Image& page, const WriteOptions& opt) const override {
        fileio::FdWriter file(fd, opt.path);
        PngSession session;
        session.file = &file;
        encodeInto(session, page, opt);
        file.flush();
    }

private:
    void encodeInto(PngSession& session, const Image& page, const WriteOptions& opt) const {
        if (page.empty()) fail(kFormat, "there is no image to save");

        PngPlan plan;
        plan.width = static_cast<png_uint_32>(page.width());
        plan.height = static_cast<png_uint_32>(page.height());
        plan.xPpm = ppmFromDpi(page.xDpi);
        plan.yPpm = ppmFromDpi(page.yDpi);
        if (plan.xPpm == 0 || plan.yPpm == 0) plan.xPpm = plan.yPpm = 0;

        // A 24-bit page is encoded as it is; other pages are converted first.
        Image scratch;
        if (opt.bits != 24) scratch = toIndexed(page, opt.bits);
        const Image& src = opt.bits == 24 ? inFormat(page, PixelFormat::Rgb24, scratch) : scratch;
        std::vector<std::uint8_t> packed;
        std::vector<png_bytep> rows(static_cast<std::size_t>(page.height()));
        if (opt.bits == 24) {
            plan.colourType = PNG_COLOR_TYPE_RGB;
            // libpng takes non-const row pointers but only reads them when writing.
            for (int y = 0; y < src.height(); ++y)
                rows[static_cast<std::size_t>(y)] = const_cast<png_bytep>(src.row(y));
        } else {
            plan.colourType = PNG_COLOR_TYPE_PALETTE;
            plan.bitDepth = opt.bits;
            // The palette stops after the highest index in use.
            std::uint8_t maxIndex = 0;
            for (int y = 0; y < src.height(); ++y) {
                const std::uint8_t* r = src.row(y);
                maxIndex = std::max(maxIndex, *std::max_element(r, r + src.width()));
            }
            const std::size_t limit = std::size_t{1} << opt.bits;
            if (maxIndex >= src.palette().size() || maxIndex >= limit) fail(kFormat, "pixel index beyond the palette");
            plan.paletteSize = maxIndex + 1;
            for (int i = 0; i < plan.paletteSize; ++i) {
                const Rgb c = src.palette()[static_cast<std::size_t>(i)];
                plan.palette[i] = {c.r, c.g, c.b};
            }
            const std::size_t rowBytes = packedBytes(static_cast<std::size_t>(src.width()), opt.bits);
            packed.resize(rowBytes * static_cast<std::size_t>(src.height()));
            for (int y = 0; y < src.height(); ++y) {
                std::uint8_t* dst = packed.data() + rowBytes * static_cast<std::size_t>(y);
                packBits(src.row(y), static_cast<std::size_t>(src.width()), opt.bits, dst);
                rows[static_cast<std::size_t>(y)] = dst;
            }
        }
        plan.rows = rows.data();
        const auto icc = profileFor(page, false);
        if (!icc.empty()) {
            plan.icc = icc.data();
            plan.iccSize = static_cast<png_uint_32>(icc.size());
        }
        std::vector<std::uint8_t> exif, xmp;
        png_text xmpText{};
        if (page.metadata) {
            exif = exifForOutput(page.metadata->exif, page.width(), page.height());
            xmp = xmpForOutput(page.metadata->xmp);
        }
        if (!exif.empty()) {
            plan.exif = exif.data();
            plan.exifSize = static_cast<png_uint_32>(exif.size());
        }
        if (!xmp.empty()) {
            xmp.push_back(0);
            xmpText.compression = PNG_ITXT_COMPRESSION_NONE;
            xmpText.key = const_cast<png_charp>(kXmpKey);
            xmpText.text = reinterpret_cast<png_charp>(xmp.data());
            xmpText.itxt_length = xmp.size() - 1;
            plan.xmp = &xmpText;
        }

        if (session.out) session.out->reserve(src.byteSize() / 2 + 1024);
        WriteHandles h;
        h.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &session, pngError, pngWarning);
        if (!h.png) fail(kFormat, "cannot start the encoder");
        h.info = png_create_info_struct(h.png);
        if (!h.info) fail(kFormat, "cannot start the encoder");
        if (!imaging::encode(&session, h.png, h.info, &plan)) {
            if (session.writeFailure) std::rethrow_exception(session.writeFailure);
            fail(kFormat, session.message);
        }
    }
};

}  // namespace

void registerPngCodec(Registry& registry) { registry.addCodec<PngReader, PngWriter>(); }

}  // namespace rastel::imaging
