// JPEG reading and writing through libjpeg-turbo.
//
// Fatal libjpeg errors longjmp back through the shared error manager
// (common/jpeg_glue.h) to functions that are plain C-style code with no C++
// objects that need destruction. All C++ work (allocation, exceptions) happens
// outside them, and the libjpeg objects are released by small RAII holders in
// the calling frame.

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

// jpeglib.h first: jerror.h's message list depends on its configuration.
#include <jerror.h>
#include <jpeglib.h>

#include "fileio/file_io.h"
#include "imaging/codec.h"
#include "imaging/codecs/common/exif.h"
#include "imaging/codecs/common/jpeg_glue.h"
#include "imaging/colour.h"
#include "imaging/convert.h"
#include "imaging/error.h"
#include "imaging/image.h"
#include "imaging/metadata.h"
#include "imaging/registry.h"

namespace rastel::imaging {

namespace {

using namespace jpegglue;

constexpr const char* kFormat = "JPEG";

// A hostile progressive file can hold thousands of tiny scans, each of which
// walks the whole coefficient buffer; real encoders use a dozen or so.
constexpr int kMaxScans = 500;

// Catalogue codes of the writer.
constexpr int kCodeYuv444 = 10;
constexpr int kCodeYuv422 = 23;
constexpr int kCodeYuv411 = 21;
constexpr int kCodeExif = 98;
constexpr int kCodeExif20 = 101;

// Error handling shared by reader and writer

// Entropy-coded data the decoder needed after the file had ended, and how
// many rows had been handed out before.
struct MissingData {
    bool found;
    JDIMENSION rowsPresent;
};

// libjpeg's warnings are all recoverable: corrupt entropy data is skipped up
// to the next restart marker, extraneous bytes are passed over, and data
// after the end-of-image marker is never read. Only the source running dry
// matters: libjpeg then inserts an end-of-image marker, and when the entropy
// decoder still needed data after that, the picture is incomplete.
void onEmitMessage(j_common_ptr cinfo, int level) {
    if (level >= 0) return;  // trace output
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    ++err->pub.num_warnings;
    if (err->pub.msg_code == JWRN_JPEG_EOF) {
        err->sawEndOfFile = true;
        return;
    }
    if (!err->sawEndOfFile || !cinfo->is_decompressor || cinfo->client_data == nullptr) return;
    auto* missing = static_cast<MissingData*>(cinfo->client_data);
    if (!missing->found) {
        missing->found = true;
        missing->rowsPresent = reinterpret_cast<j_decompress_ptr>(cinfo)->output_scanline;
    }
}

void setMessage(ErrorManager& err, const char* text) { std::snprintf(err.message, sizeof err.message, "%s", text); }

// Decoding

void onProgress(j_common_ptr cinfo) {
    if (!cinfo->is_decompressor) return;
    auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (d->input_scan_number > kMaxScans) {
        auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
        std::snprintf(err->message, sizeof err->message, "more than %d scans", kMaxScans);
        std::longjmp(err->jump, 1);
    }
}

struct Decoder {
    jpeg_decompress_struct cinfo;
    ErrorManager err;
    jpeg_progress_mgr progress;
    MissingData missing;
    bool created;
};

// Owns a Decoder with the scan limit and the missing-data report attached.
class DecoderHolder : public jpegglue::DecoderHolder<Decoder> {
public:
    DecoderHolder() : jpegglue::DecoderHolder<Decoder>(onEmitMessage) {
        get()->cinfo.client_data = &get()->missing;
        get()->progress.progress_monitor = onProgress;
    }
};

// Creates the decompressor over `data` and reads the header. Returns false with
// d->err.message set on failure.
bool readHeader(Decoder* d, const std::uint8_t* data, std::size_t size, long memoryLimit) {
    if (setjmp(d->err.jump)) return false;
    d->created = true;
    jpeg_create_decompress(&d->cinfo);
    d->cinfo.mem->max_memory_to_use = memoryLimit;
    d->cinfo.progress = &d->progress;
    jpeg_mem_src(&d->cinfo, data, static_cast<unsigned long>(size));
    jpeg_save_markers(&d->cinfo, JPEG_APP0 + 1, 0xFFFF);
    jpeg_save_markers(&d->cinfo, JPEG_APP0 + 2, 0xFFFF);
    jpeg_save_markers(&d->cinfo, JPEG_APP0 + 13, 0xFFFF);
    jpeg_read_header(&d->cinfo, TRUE);
    return true;
}

// How the decoded samples reach the image.
struct DecodeTarget {
    std::uint8_t* pixels;    // first row of the output image
    std::size_t stride;      // bytes from one output row to the next
    std::uint8_t* cmykRow;   // scratch row of width * 4 bytes for CMYK input, else null
    const CmykToRgb* toRgb;  // turns that row into RGB
    unsigned width, components;
};

// Whether every coefficient of every component has been fully refined.
bool progressionComplete(const jpeg_decompress_struct& c) {
    if (!c.coef_bits) return false;
    for (int ci = 0; ci < c.num_components; ++ci)
        for (int k = 0; k < DCTSIZE2; ++k)
            if (c.coef_bits[ci][k] != 0) return false;
    return true;
}

bool decodePixels(Decoder* d, const DecodeTarget* t) {
    if (setjmp(d->err.jump)) return false;
    jpeg_decompress_struct& c = d->cinfo;
    jpeg_start_decompress(&c);
    if (c.output_width != t->width || static_cast<unsigned>(c.output_components) != t->components) {
        setMessage(d->err, "decoder output does not match the header");
        return false;
    }
    while (c.output_scanline < c.output_height) {
        const JDIMENSION y = c.output_scanline;
        JSAMPROW row = t->cmykRow ? t->cmykRow : t->pixels + y * t->stride;
        if (jpeg_read_scanlines(&c, &row, 1) != 1) {
            setMessage(d->err, "decoder stopped before the last row");
            return false;
        }
        if (t->cmykRow) t->toRgb->convert(t->cmykRow, t->pixels + y * t->stride, t->width);
    }
    if (d->missing.found) {
        if (jpeg_has_multiple_scans(&c))
            setMessage(d->err, "file is truncated: scans are missing");
        else
            std::snprintf(d->err.message, sizeof d->err.message, "file is truncated: it holds %u of %u rows",
                          static_cast<unsigned>(d->missing.rowsPresent), static_cast<unsigned>(c.output_height));
        return false;
    }
    const bool allScans = !jpeg_has_multiple_scans(&c) || (c.progressive_mode && progressionComplete(c));
    if (d->err.sawEndOfFile && !allScans) {
        // Well-formed scans, but the file ends before the last of them.
        setMessage(d->err, "file is truncated: scans are missing");
        return false;
    }
    jpeg_finish_decompress(&c);
    return true;
}

long decoderMemoryLimit() {
    // Coefficient buffers of multi-scan files take about 2 bytes per sample and
    // libjpeg allows up to 10 components; anything past that is hostile.
    const double limit = 64.0 * 1024 * 1024 + 24.0 * static_cast<double>(pixelLimit());
    const double cap = static_cast<double>(std::numeric_limits<long>::max() / 2);
    return static_cast<long>(std::min(limit, cap));
}

void readOrFail(Decoder* d, std::span<const std::uint8_t> data) {
    if (data.size() < 3 || data[0] != 0xFF || data[1] != 0xD8) fail(kFormat, "missing start-of-image marker");
    if (!readHeader(d, data.data(), data.size(), decoderMemoryLimit())) fail(kFormat, d->err.message);
}

std::optional<Resolution> resolutionOf(const jpeg_decompress_struct& c) {
    if (c.saw_JFIF_marker && c.X_density > 0 && c.Y_density > 0) {
        if (c.density_unit == 1) return Resolution{double(c.X_density), double(c.Y_density)};
        if (c.density_unit == 2) return Resolution{c.X_density * 2.54, c.Y_density * 2.54};
    }
    for (jpeg_saved_marker_ptr m = c.marker_list; m; m = m->next) {
        if (m->marker != JPEG_APP0 + 1 || m->data_length < 6 || std::memcmp(m->data, "Exif\0\0", 6) != 0) continue;
        return readExifResolution(std::span<const std::uint8_t>(m->data, m->data_length));
    }
    return std::nullopt;
}

const char kExifId[] = "Exif\0";  // with the literal's own NUL: six bytes
const char kXmpId[] = "http://ns.adobe.com/xap/1.0/";
const char kIccId[] = "ICC_PROFILE";
const char kPhotoshopId[] = "Photoshop 3.0";
constexpr std::uint16_t kIptcResource = 0x0404;

bool startsWith(const jpeg_saved_marker_ptr m, const char* id, std::size_t n) {
    return m->data_length >= n && std::memcmp(m->data, id, n) == 0;
}

// ICC profile, Exif, XMP and IPTC from the saved markers. The ICC profile is
// kept only when every one of its numbered chunks is there exactly once.
Metadata metadataOf(const jpeg_decompress_struct& c) {
    Metadata m;
    std::vector<std::span<const std::uint8_t>> chunks;
    bool iccBroken = false;
    for (jpeg_saved_marker_ptr p = c.marker_list; p; p = p->next) {
        const std::span<const std::uint8_t> data(p->data, p->data_length);
        if (p->marker == JPEG_APP0 + 1 && m.exif.empty() && startsWith(p, kExifId, sizeof kExifId)) {
            m.exif.assign(data.begin() + sizeof kExifId, data.end());
        } else if (p->marker == JPEG_APP0 + 1 && m.xmp.empty() && startsWith(p, kXmpId, sizeof kXmpId)) {
            m.xmp.assign(data.begin() + sizeof kXmpId, data.end());
        } else if (p->marker == JPEG_APP0 + 2 && startsWith(p, kIccId, sizeof kIccId) &&
                   p->data_length > sizeof kIccId + 2) {
            const unsigned seq = data[sizeof kIccId], count = data[sizeof kIccId + 1];
            if (chunks.empty()) chunks.resize(count);
            if (seq == 0 || count != chunks.size() || seq > count || !chunks[seq - 1].empty())
                iccBroken = true;
            else
                chunks[seq - 1] = data.subspan(sizeof kIccId + 2);
        } else if (p->marker == JPEG_APP0 + 13 && m.iptc.empty() && startsWith(p, kPhotoshopId, sizeof kPhotoshopId)) {
            m.iptc = photoshopResource(data.subspan(sizeof kPhotoshopId), kIptcResource);
        }
    }
    iccBroken = iccBroken || std::any_of(chunks.begin(), chunks.end(), [](auto s) { return s.empty(); });
    if (!iccBroken)
        for (const auto& chunk : chunks) m.icc.insert(m.icc.end(), chunk.begin(), chunk.end());
    return m;
}

class JpegReader final : public SinglePageReader {
public:
    std::string name() const override { return kFormat; }
    std::vector<std::string> extensions() const override { return {".jpg", ".jpeg", ".jpe"}; }

    Sniff sniff(std::span<const std::uint8_t> head) const override {
        if (head.size() < 2 || head[0] != 0xFF || head[1] != 0xD8) return Sniff::No;
        if (head.size() >= 3 && head[2] == 0xFF) return Sniff::Strong;
        // Some writers put padding between SOI and the first marker; libjpeg
        // skips it, so such a file is read when its extension says JPEG.
        return Sniff::Weak;
    }

protected:
    void checkHeader(std::span<const std::uint8_t> data, const ReadContext&) const override {
        DecoderHolder holder;
        readOrFail(holder.get(), data);
    }

    Image readPage(std::span<const std::uint8_t> data, const ReadContext&) const override {
        DecoderHolder holder;
        Decoder* d = holder.get();
        readOrFail(d, data);
        jpeg_decompress_struct& c = d->cinfo;
        checkDimensions(kFormat, c.image_width, c.image_height);

        PixelFormat format = PixelFormat::Rgb24;
        bool cmyk = false;
        switch (c.jpeg_color_space) {
        case JCS_GRAYSCALE:
            c.out_color_space = JCS_GRAYSCALE;
            format = PixelFormat::Gray8;
            break;
        case JCS_YCbCr:
        case JCS_RGB: c.out_color_space = JCS_RGB; break;
        case JCS_CMYK:
        case JCS_YCCK:
            c.out_color_space = JCS_CMYK;  // libjpeg turns YCCK into CMYK
            cmyk = true;
            break;
        default: fail(kFormat, "unsupported colour layout with " + std::to_string(c.num_components) + " components");
        }
        c.dct_method = JDCT_ISLOW;

        Image img(static_cast<int>(c.image_width), static_cast<int>(c.image_height), format);
        std::vector<std::uint8_t> cmykRow(cmyk ? std::size_t{c.image_width} * 4 : 0);
        // Saved markers live in libjpeg's image pool, which finishing the
        // decompression frees: take the metadata first.
        Metadata meta = metadataOf(c);
        // Adobe applications store 255 - ink in CMYK JPEG.
        std::optional<CmykToRgb> toRgb;
        if (cmyk) toRgb.emplace(meta.icc, c.saw_Adobe_marker != 0);
        DecodeTarget target{img.data(),
                            img.stride(),
                            cmyk ? cmykRow.data() : nullptr,
                            toRgb ? &*toRgb : nullptr,
                            c.image_width,
                            cmyk ? 4u : (format == PixelFormat::Gray8 ? 1u : 3u)};
        // Saved markers live in libjpeg's image pool, which finishing the
        // decompression frees: take the resolution first.
        if (const auto res = resolutionOf(c)) {
            img.xDpi = res->xDpi;
            img.yDpi = res->yDpi;
        }
        if (!decodePixels(d, &target)) fail(kFormat, d->err.message);
        const int orientation = exifOrientation(meta.exif);
        if (cmyk) meta.icc.clear();  // the pixels are RGB now
        img.metadata = shareMetadata(std::move(meta));
        applyOrientation(img, orientation);
        return img;
    }
};

// Encoding

struct EncodeParams {
    const std::uint8_t* pixels;
    std::size_t stride;
    unsigned width, height;
    bool gray;
    int lumaH, lumaV;  // sampling factors of Y; chroma is 1x1
    int quality;       // libjpeg quality 1..100
    bool jfif;
    unsigned xDensity, yDensity;  // dots per inch for JFIF
    const std::uint8_t* app1;     // Exif payload written right after SOI, or null
    std::size_t app1Size;
    // Further markers written after APP1: ICC profile chunks (APP2), then the
    // given APPn payloads in order.
    const std::uint8_t* icc;
    unsigned iccSize;
    const int* extraMarkers;
    const std::vector<std::uint8_t>* extraPayloads;
    std::size_t extraCount;
    jpeg_destination_mgr* dest;  // where the stream goes; null: into memory (e->out)
};

// Hands the compressed stream on to a file a block at a time, as libjpeg
// fills the block. A failed write is kept to be rethrown once libjpeg has
// jumped back out, and stops libjpeg through its error exit.
struct FileDestination {
    jpeg_destination_mgr pub;  // first member: libjpeg hands us a pointer to it
    int fd = -1;
    const std::string* path = nullptr;
    std::exception_ptr failure;
    std::vector<JOCTET> block = std::vector<JOCTET>(std::size_t{1} << 16);
};

void writeBlock(j_compress_ptr c, std::size_t size) {
    auto* d = reinterpret_cast<FileDestination*>(c->dest);
    try {
        fileio::writeAll(d->fd, {d->block.data(), size}, *d->path);
    } catch (...) {
        d->failure = std::current_exception();
    }
    if (d->failure) {
        c->err->msg_code = JERR_FILE_WRITE;
        (*c->err->error_exit)(reinterpret_cast<j_common_ptr>(c));
    }
    d->pub.next_output_byte = d->block.data();
    d->pub.free_in_buffer = d->block.size();
}

void startFileDestination(j_compress_ptr c) {
    auto* d = reinterpret_cast<FileDestination*>(c->dest);
    d->pub.next_output_byte = d->block.data();
    d->pub.free_in_buffer = d->block.size();
}

boolean emptyFileDestination(j_compress_ptr c) {
    // libjpeg asks when the whole block is full, whatever free_in_buffer says.
    writeBlock(c, reinterpret_cast<FileDestination*>(c->dest)->block.size());
    return TRUE;
}

void finishFileDestination(j_compress_ptr c) {
    auto* d = reinterpret_cast<FileDestination*>(c->dest);
    writeBlock(c, d->block.size() - d->pub.free_in_buffer);
}

bool encodePixels(Encoder* e, const EncodeParams* p) {
    if (setjmp(e->err.jump)) return false;
    e->created = true;
    jpeg_create_compress(&e->cinfo);
    jpeg_compress_struct& c = e->cinfo;
    if (p->dest)
        c.dest = p->dest;
    else
        jpeg_mem_dest(&c, &e->out, &e->outSize);
    c.image_width = p->width;
    c.image_height = p->height;
    c.input_components = p->gray ? 1 : 3;
    c.in_color_space = p->gray ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, p->quality, TRUE);
    c.optimize_coding = TRUE;
    c.dct_method = JDCT_ISLOW;
    if (!p->gray) {
        c.comp_info[0].h_samp_factor = p->lumaH;
        c.comp_info[0].v_samp_factor = p->lumaV;
        for (int i = 1; i < 3; ++i) c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
    }
    c.write_JFIF_header = p->jfif ? TRUE : FALSE;
    c.density_unit = 1;
    c.X_density = static_cast<UINT16>(p->xDensity);
    c.Y_density = static_cast<UINT16>(p->yDensity);
    jpeg_start_compress(&c, TRUE);
    if (p->app1) jpeg_write_marker(&c, JPEG_APP0 + 1, p->app1, static_cast<unsigned>(p->app1Size));
    for (std::size_t i = 0; i < p->extraCount; ++i)
        jpeg_write_marker(&c, p->extraMarkers[i], p->extraPayloads[i].data(),
                          static_cast<unsigned>(p->extraPayloads[i].size()));
    if (p->icc) jpeg_write_icc_profile(&c, p->icc, p->iccSize);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(p->pixels + c.next_scanline * p->stride);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    return true;
}

// Quality factor of the catalogue (2 best .. 255 smallest) to libjpeg's 1..100.
int libjpegQuality(int factor) {
    const int q = std::clamp(factor, 2, 255);
    return static_cast<int>(std::lround(100.0 - (q - 2) * 99.0 / 253.0));
}

// Resolution as stored in files: the dots per inch of the image, 96 when it has none.
double dpiOr96(double dpi, double other) {
    if (dpi > 0 && std::isfinite(dpi)) return dpi;
    if (other > 0 && std::isfinite(other)) return other;
    return 96.0;
}

std::pair<std::uint32_t, std::uint32_t> rational(double v) {
    v = std::clamp(v, 0.01, 1.0e6);
    if (std::fabs(v - std::round(v)) < 1e-6) return {static_cast<std::uint32_t>(std::lround(v)), 1};
    return {static_cast<std::uint32_t>(std::lround(v * 100.0)), 100};
}

std::vector<std::uint8_t> exifPayload(int code, unsigned width, unsigned height, double xDpi, double yDpi) {
    TiffIfd ifd0;
    ifd0.addShort(0x0112, {1});  // Orientation: top-left
    const auto [xn, xd] = rational(xDpi);
    const auto [yn, yd] = rational(yDpi);
    ifd0.addRational(0x011A, xn, xd);  // XResolution
    ifd0.addRational(0x011B, yn, yd);  // YResolution
    ifd0.addShort(0x0128, {2});        // ResolutionUnit: inch
    ifd0.addAscii(0x0131, "Rastel");   // Software
    ifd0.addShort(0x0213, {1});        // YCbCrPositioning: centred, as libjpeg samples chroma

    TiffIfd exif;
    const bool v22 = code == kCodeExif;
    exif.addUndefined(0x9000, v22 ? std::vector<std::uint8_t>{'0', '2', '2', '0'}
                                  : std::vector<std::uint8_t>{'0', '2', '0', '0'});  // ExifVersion
    exif.addUndefined(0x9101, {1, 2, 3, 0});                                         // ComponentsConfiguration: Y Cb Cr
    if (v22) exif.addUndefined(0xA000, {'0', '1', '0', '0'});                        // FlashpixVersion
    exif.addShort(0xA001, {1});                                                      // ColorSpace: sRGB
    exif.addLong(0xA002, {width});                                                   // PixelXDimension
    exif.addLong(0xA003, {height});                                                  // PixelYDimension
    return buildExifApp1(ifd0, exif);
}

// Largest payload of one marker segment: its length field counts itself.
constexpr std::size_t kMaxMarkerPayload = 65533;

std::vector<std::uint8_t> withId(const char* id, std::size_t idSize, std::span<const std::uint8_t> body) {
    std::vector<std::uint8_t> out(id, id + idSize);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// Exif, XMP and IPTC of the page as APPn payloads for a picture of width x
// height; a payload too large for one segment is left out rather than cut.
struct CarriedMarkers {
    std::vector<int> markers;
    std::vector<std::vector<std::uint8_t>> payloads;
    std::vector<std::uint8_t> exif;  // APP1 Exif payload, or empty

    CarriedMarkers(const Image& page, int width, int height) {
        if (!page.metadata) return;
        const Metadata& m = *page.metadata;
        if (!m.exif.empty()) exif = withId(kExifId, sizeof kExifId, exifForOutput(m.exif, width, height));
        if (exif.size() <= sizeof kExifId || exif.size() > kMaxMarkerPayload) exif.clear();
        if (!m.xmp.empty()) add(JPEG_APP0 + 1, withId(kXmpId, sizeof kXmpId, xmpForOutput(m.xmp)));
        if (!m.iptc.empty())
            add(JPEG_APP0 + 13,
                withId(kPhotoshopId, sizeof kPhotoshopId, photoshopResourceBlock(kIptcResource, m.iptc)));
    }
    void add(int marker, std::vector<std::uint8_t> payload) {
        if (payload.size() > kMaxMarkerPayload) return;
        markers.push_back(marker);
        payloads.push_back(std::move(payload));
    }
};

class JpegWriter final : public FormatWriter {
public:
    std::string name() const override { return kFormat; }
    std::vector<WriteCapability> capabilities() const override {
        return {{kCodeYuv444, {8, 24}},
                {kCodeYuv422, {8, 24}},
                {kCodeYuv411, {8, 24}},
                {kCodeExif, {24}},
                {kCodeExif20, {24}}};
    }

    std::vector<std::uint8_t> encode(const Image& page, const WriteOptions& opt) const override {
        EncoderHolder holder(onEmitMessage);
        Encoder* e = holder.get();
        encodeWith(e, nullptr, page, opt);
        return std::vector<std::uint8_t>(e->out, e->out + e->outSize);
    }

protected:
    // Writes to the file as libjpeg fills its output block.
    void encodeTo(int fd, const Image& page, const WriteOptions& opt) const override {
        FileDestination dest;
        dest.pub.init_destination = startFileDestination;
        dest.pub.empty_output_buffer = emptyFileDestination;
        dest.pub.term_destination = finishFileDestination;
        dest.fd = fd;
        dest.path = &opt.path;
        EncoderHolder holder(onEmitMessage);
        try {
            encodeWith(holder.get(), &dest.pub, page, opt);
        } catch (const Error&) {
            if (dest.failure) std::rethrow_exception(dest.failure);
            throw;
        }
    }

private:
    // Encodes `page` through `e` into `dest`, or into memory when it is null.
    void encodeWith(Encoder* e, jpeg_destination_mgr* dest, const Image& page, const WriteOptions& opt) const {
        if (page.empty()) fail(kFormat, "there is no image to save");

        const bool gray = opt.bits == 8;
        Image copy;
        const Image& pixels = inFormat(page, gray ? PixelFormat::Gray8 : PixelFormat::Rgb24, copy);
        const bool exif = opt.code == kCodeExif || opt.code == kCodeExif20;
        const double xDpi = dpiOr96(page.xDpi, page.yDpi);
        const double yDpi = dpiOr96(page.yDpi, page.xDpi);
        const auto density = [](double dpi) {
            return static_cast<unsigned>(std::clamp<long>(std::lround(dpi), 1, 65535));
        };

        CarriedMarkers carried(page, pixels.width(), pixels.height());
        std::vector<std::uint8_t> app1 = std::move(carried.exif);
        if (exif && app1.empty())
            app1 = exifPayload(opt.code, unsigned(pixels.width()), unsigned(pixels.height()), xDpi, yDpi);
        const auto icc = profileFor(page, gray);

        EncodeParams p{};
        p.pixels = pixels.data();
        p.stride = pixels.stride();
        p.width = static_cast<unsigned>(pixels.width());
        p.height = static_cast<unsigned>(pixels.height());
        p.gray = gray;
        p.lumaH = opt.code == kCodeYuv411 ? 4 : (opt.code == kCodeYuv444 ? 1 : 2);
        p.lumaV = 1;
        p.quality = libjpegQuality(opt.quality);
        p.jfif = !exif;
        p.xDensity = density(xDpi);
        p.yDensity = density(yDpi);
        p.app1 = app1.empty() ? nullptr : app1.data();
        p.app1Size = app1.size();
        p.icc = icc.empty() ? nullptr : icc.data();
        p.iccSize = static_cast<unsigned>(icc.size());
        p.extraMarkers = carried.markers.data();
        p.extraPayloads = carried.payloads.data();
        p.extraCount = carried.markers.size();
        p.dest = dest;
        if (!encodePixels(e, &p)) fail(kFormat, e->err.message);
    }
};

}  // namespace

void registerJpegCodec(Registry& registry) { registry.addCodec<JpegReader, JpegWriter>(); }

}  // namespace rastel::imaging
