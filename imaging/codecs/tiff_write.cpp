#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "imaging/codec.h"
#include "imaging/codecs/common/bits.h"
#include "imaging/codecs/tiff_handle.h"
#include "imaging/codecs/tiff_internal.h"
#include "imaging/colour.h"
#include "imaging/convert.h"
#include "imaging/error.h"

namespace rastel::imaging {
namespace {

using tiffio::Handle;
using tiffio::kFormat;

// How the pixels of a catalogue code are laid out in the file.
enum class Model { Rgb, Cmyk, YCbCr, ExifRgb, ExifYCbCr, Jpeg, Fax };

struct CodeInfo {
    int code;
    Model model;
    std::uint16_t compression;
    std::uint16_t group3Options;   // CCITT group 3 only
    std::uint16_t jpegHorizontal;  // JPEG chroma subsampling, horizontal factor
    std::vector<int> depths;
    bool appendable;
};

const std::vector<CodeInfo>& codeTable() {
    static const std::vector<CodeInfo> table = {
        {3, Model::Rgb, COMPRESSION_NONE, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8, 16, 24}, true},
        {85, Model::Cmyk, COMPRESSION_NONE, 0, 0, {24, 32}, true},
        {93, Model::YCbCr, COMPRESSION_NONE, 0, 0, {24}, true},
        {17, Model::Rgb, COMPRESSION_LZW, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8, 16, 24, 32}, true},
        {86, Model::Cmyk, COMPRESSION_LZW, 0, 0, {24, 32}, true},
        {94, Model::YCbCr, COMPRESSION_LZW, 0, 0, {24}, true},
        {87, Model::Rgb, COMPRESSION_PACKBITS, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8, 16, 24}, true},
        {88, Model::Cmyk, COMPRESSION_PACKBITS, 0, 0, {24, 32}, true},
        {95, Model::YCbCr, COMPRESSION_PACKBITS, 0, 0, {24}, true},
        {96, Model::ExifRgb, COMPRESSION_NONE, 0, 0, {24}, false},
        {97, Model::ExifYCbCr, COMPRESSION_NONE, 0, 0, {24}, false},
        {11, Model::Jpeg, COMPRESSION_JPEG, 0, 1, {8, 24}, true},
        {24, Model::Jpeg, COMPRESSION_JPEG, 0, 2, {8, 24}, true},
        {22, Model::Jpeg, COMPRESSION_JPEG, 0, 4, {8, 24}, true},
        {25, Model::Fax, COMPRESSION_CCITTRLE, 0, 0, {1}, true},
        {27, Model::Fax, COMPRESSION_CCITTFAX3, 0, 0, {1}, true},
        {28, Model::Fax, COMPRESSION_CCITTFAX3, GROUP3OPT_2DENCODING, 0, {1}, true},
        {29, Model::Fax, COMPRESSION_CCITTFAX4, 0, 0, {1}, true},
    };
    return table;
}

const CodeInfo* findCode(int code) {
    for (const auto& c : codeTable())
        if (c.code == code) return &c;
    return nullptr;
}

// The layout of a code the caller has checked against capabilities().
const CodeInfo& checkedCode(const WriteOptions& opt) {
    const CodeInfo* info = findCode(opt.code);
    if (info == nullptr) fail(kFormat, "unknown file-format code " + std::to_string(opt.code));
    return *info;
}

// Quality factor 2 (best) .. 255 (smallest) to the JPEG quality 100 .. 1.
int jpegQuality(int q) {
    q = std::clamp(q, 2, 255);
    return static_cast<int>(std::lround(100.0 - (q - 2) * 99.0 / 253.0));
}

std::uint8_t clamp8(double v) { return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }

// Luminance order used to decide which of two colours prints black.
int luma(const Rgb& c) { return 299 * c.r + 587 * c.g + 114 * c.b; }

// Sets the tags every page carries and writes the rows `rowOf(y)` returns.
class PageWriter {
public:
    PageWriter(const Handle& h, const Image& page)
        : h_(h), tif_(h.get()), page_(page), w_(page.width()), ht_(page.height()) {}

    template <typename T>
    void set(ttag_t tag, T value) {
        if (!TIFFSetField(tif_, tag, value)) h_.fail("cannot set tag " + std::to_string(tag));
    }
    void setBasics(std::uint16_t compression, std::uint16_t photometric, int bps, int spp) {
        set(TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(w_));
        set(TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(ht_));
        set(TIFFTAG_COMPRESSION, compression);
        set(TIFFTAG_PHOTOMETRIC, photometric);
        set(TIFFTAG_BITSPERSAMPLE, static_cast<std::uint16_t>(bps));
        set(TIFFTAG_SAMPLESPERPIXEL, static_cast<std::uint16_t>(spp));
        set(TIFFTAG_PLANARCONFIG, static_cast<std::uint16_t>(PLANARCONFIG_CONTIG));
        set(TIFFTAG_ORIENTATION, static_cast<std::uint16_t>(ORIENTATION_TOPLEFT));
        rowBytes_ = packedBytes(static_cast<std::size_t>(w_) * static_cast<std::size_t>(spp), bps);
        // LZW finds few repeats in photographic rows; storing each sample as the
        // difference from its left neighbour (TIFF's horizontal predictor, which
        // every baseline reader undoes) makes such files about three times smaller.
        // Palette indices are not magnitudes, so indexed pages stay as they are.
        if (compression == COMPRESSION_LZW && bps == 8 && photometric != PHOTOMETRIC_PALETTE)
            set(TIFFTAG_PREDICTOR, static_cast<std::uint16_t>(PREDICTOR_HORIZONTAL));
    }
    // Strips of about 64 KiB; `multiple` keeps JPEG strips whole MCU rows.
    void setStrips(std::uint32_t rowsPerStrip) {
        set(TIFFTAG_ROWSPERSTRIP, std::clamp<std::uint32_t>(rowsPerStrip, 1, static_cast<std::uint32_t>(ht_)));
    }
    void setDefaultStrips(std::uint32_t multiple = 1) {
        std::uint32_t rows =
            static_cast<std::uint32_t>(std::max<std::size_t>(1, 65536 / std::max<std::size_t>(1, rowBytes_)));
        rows = (rows + multiple - 1) / multiple * multiple;
        setStrips(rows);
    }
    void setResolution(double xDpi, double yDpi) {
        if (!(xDpi > 0 && yDpi > 0)) return;
        set(TIFFTAG_XRESOLUTION, static_cast<float>(xDpi));
        set(TIFFTAG_YRESOLUTION, static_cast<float>(yDpi));
        set(TIFFTAG_RESOLUTIONUNIT, static_cast<std::uint16_t>(RESUNIT_INCH));
    }
    std::size_t rowBytes() const { return rowBytes_; }
    template <typename F>
    void writeRows(F&& fill) {
        // libtiff takes these tags only before the first row.
        writeTiffMetadata(tif_, page_);
        std::vector<std::uint8_t> row(rowBytes_);
        for (int y = 0; y < ht_; ++y) {
            std::fill(row.begin(), row.end(), 0);
            fill(y, row.data());
            if (TIFFWriteScanline(tif_, row.data(), static_cast<std::uint32_t>(y), 0) < 0)
                h_.fail("cannot write row " + std::to_string(y));
        }
    }

private:
    const Handle& h_;
    TIFF* tif_;
    const Image& page_;
    int w_, ht_;
    std::size_t rowBytes_ = 0;
};

void setColormap(const Handle& h, const std::vector<Rgb>& palette, int bits) {
    const std::size_t n = std::size_t{1} << bits;
    std::vector<std::uint16_t> r(n, 0), g(n, 0), b(n, 0);
    for (std::size_t i = 0; i < std::min(n, palette.size()); ++i) {
        r[i] = static_cast<std::uint16_t>(palette[i].r * 257);
        g[i] = static_cast<std::uint16_t>(palette[i].g * 257);
        b[i] = static_cast<std::uint16_t>(palette[i].b * 257);
    }
    if (!TIFFSetField(h.get(), TIFFTAG_COLORMAP, r.data(), g.data(), b.data())) h.fail("cannot set the colormap");
}

// RGB family at 1..8 bits: a palette, except that a black-and-white pair is
// stored as bilevel (min-is-black or min-is-white as the palette order says)
// so that fax-minded readers see a plain bilevel image.
void writeIndexed(const Handle& h, PageWriter& pw, const Image& page, const CodeInfo& info, int bits) {
    Image idx = toIndexed(page, bits);
    std::vector<Rgb> pal = idx.palette();
    const Rgb black{0, 0, 0}, white{255, 255, 255};
    std::uint16_t photometric = PHOTOMETRIC_PALETTE;
    if (bits == 1) {
        if (pal.size() == 1) pal.push_back(pal[0] == black ? white : black);
        if (pal.size() >= 2 && pal[0] == black && pal[1] == white) photometric = PHOTOMETRIC_MINISBLACK;
        if (pal.size() >= 2 && pal[0] == white && pal[1] == black) photometric = PHOTOMETRIC_MINISWHITE;
    }
    pw.setBasics(info.compression, photometric, bits, 1);
    if (photometric == PHOTOMETRIC_PALETTE) setColormap(h, pal, bits);
    pw.setDefaultStrips();
    pw.writeRows(
        [&](int y, std::uint8_t* out) { packBits(idx.row(y), static_cast<std::size_t>(idx.width()), bits, out); });
}

// 16 bits: the colours a 5-5-5 pixel holds, stored as ordinary 8-bit RGB
// because common readers do not open 5-bit samples.
void writeRgb555(PageWriter& pw, const Image& page, const CodeInfo& info) {
    Image copy;
    const Image& src = inFormat(page, PixelFormat::Rgb555, copy);
    pw.setBasics(info.compression, PHOTOMETRIC_RGB, 8, 3);
    pw.setDefaultStrips();
    auto expand = [](unsigned v5) { return static_cast<std::uint8_t>((v5 << 3) | (v5 >> 2)); };
    pw.writeRows([&](int y, std::uint8_t* out) {
        const std::uint8_t* s = src.row(y);
        for (int x = 0; x < src.width(); ++x) {
            const unsigned v = s[2 * x] | (s[2 * x + 1] << 8);
            out[3 * x] = expand((v >> 10) & 31);
            out[3 * x + 1] = expand((v >> 5) & 31);
            out[3 * x + 2] = expand(v & 31);
        }
    });
}

void writeRgb(const Handle& h, PageWriter& pw, const Image& page, const CodeInfo& info, int bits) {
    (void)h;
    const bool alpha = bits == 32;
    Image copy;
    const Image& src = inFormat(page, alpha ? PixelFormat::Rgba32 : PixelFormat::Rgb24, copy);
    const int spp = alpha ? 4 : 3;
    pw.setBasics(info.compression, PHOTOMETRIC_RGB, 8, spp);
    if (alpha) {
        const std::uint16_t extra[1] = {EXTRASAMPLE_UNASSALPHA};
        if (!TIFFSetField(h.get(), TIFFTAG_EXTRASAMPLES, 1, extra)) h.fail("cannot set the alpha sample");
    }
    pw.setDefaultStrips();
    pw.writeRows(
        [&](int y, std::uint8_t* out) { std::memcpy(out, src.row(y), static_cast<std::size_t>(src.width()) * spp); });
}

// 32 bits: CMYK through the standard CMYK profile, which the file carries;
// 24 bits: three inks C, M, Y, each the complement of a primary.
void writeCmyk(const Handle& h, PageWriter& pw, const Image& page, const CodeInfo& info, int bits) {
    Image copy;
    const Image& src = inFormat(page, PixelFormat::Rgb24, copy);
    const bool withBlack = bits == 32;
    pw.setBasics(info.compression, PHOTOMETRIC_SEPARATED, 8, withBlack ? 4 : 3);
    std::optional<RgbToCmyk> toCmyk;
    if (withBlack) {
        pw.set(TIFFTAG_INKSET, static_cast<std::uint16_t>(INKSET_CMYK));
        toCmyk.emplace();
        const auto& icc = toCmyk->profile();
        if (!icc.empty() &&
            !TIFFSetField(h.get(), TIFFTAG_ICCPROFILE, static_cast<std::uint32_t>(icc.size()), icc.data()))
            h.fail("cannot set the colour profile");
    } else {
        static const char names[] = "Cyan\0Magenta\0Yellow";
        pw.set(TIFFTAG_INKSET, static_cast<std::uint16_t>(INKSET_MULTIINK));
        if (!TIFFSetField(h.get(), TIFFTAG_INKNAMES, static_cast<std::uint16_t>(sizeof names), names))
            h.fail("cannot set the ink names");
    }
    pw.setDefaultStrips();
    pw.writeRows([&](int y, std::uint8_t* out) {
        const std::uint8_t* s = src.row(y);
        if (withBlack) {
            toCmyk->convert(s, out, static_cast<unsigned>(src.width()));
            return;
        }
        for (int x = 0; x < 3 * src.width(); ++x) out[x] = static_cast<std::uint8_t>(255 - s[x]);
    });
}

// Full-range YCbCr (the JPEG/JFIF equations), no subsampling, so every reader
// that knows YCbCr gets the colours back within rounding.
void writeYCbCr(const Handle& h, PageWriter& pw, const Image& page, std::uint16_t compression) {
    Image copy;
    const Image& src = inFormat(page, PixelFormat::Rgb24, copy);
    pw.setBasics(compression, PHOTOMETRIC_YCBCR, 8, 3);
    if (!TIFFSetField(h.get(), TIFFTAG_YCBCRSUBSAMPLING, 1, 1)) h.fail("cannot set the subsampling");
    float refBlackWhite[6] = {0.f, 255.f, 128.f, 255.f, 128.f, 255.f};
    pw.set(TIFFTAG_REFERENCEBLACKWHITE, refBlackWhite);
    pw.set(TIFFTAG_YCBCRPOSITIONING, static_cast<std::uint16_t>(YCBCRPOSITION_CENTERED));
    pw.setDefaultStrips();
    pw.writeRows([&](int y, std::uint8_t* out) {
        const std::uint8_t* s = src.row(y);
        for (int x = 0; x < src.width(); ++x, s += 3) {
            const double r = s[0], g = s[1], b = s[2];
            *out++ = clamp8(0.299 * r + 0.587 * g + 0.114 * b);
            *out++ = clamp8(128 - 0.168736 * r - 0.331264 * g + 0.5 * b);
            *out++ = clamp8(128 + 0.5 * r - 0.418688 * g - 0.081312 * b);
        }
    });
}

void writeJpeg(const Handle& h, PageWriter& pw, const Image& page, const CodeInfo& info, int bits, int quality) {
    const bool gray = bits == 8;
    Image copy;
    const Image& src = inFormat(page, gray ? PixelFormat::Gray8 : PixelFormat::Rgb24, copy);
    pw.setBasics(COMPRESSION_JPEG, gray ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_YCBCR, 8, gray ? 1 : 3);
    if (!gray) {
        if (!TIFFSetField(h.get(), TIFFTAG_YCBCRSUBSAMPLING, info.jpegHorizontal, 1))
            h.fail("cannot set the subsampling");
        // libtiff converts our RGB rows to YCbCr inside the JPEG codec.
        pw.set(TIFFTAG_JPEGCOLORMODE, static_cast<int>(JPEGCOLORMODE_RGB));
    }
    pw.set(TIFFTAG_JPEGQUALITY, jpegQuality(quality));
    pw.setDefaultStrips(16);
    const std::size_t n = static_cast<std::size_t>(src.width()) * (gray ? 1 : 3);
    pw.writeRows([&](int y, std::uint8_t* out) { std::memcpy(out, src.row(y), n); });
}

// Bilevel fax: of the two colours the page reduces to, the darker one prints black.
void writeFax(PageWriter& pw, const Image& page, const CodeInfo& info) {
    const Image idx = toIndexed(page, 1);
    const auto& pal = idx.palette();
    std::uint8_t blackIndex = 1;
    if (pal.size() >= 2)
        blackIndex = luma(pal[0]) <= luma(pal[1]) ? 0 : 1;
    else if (pal.size() == 1)
        blackIndex = luma(pal[0]) < luma(Rgb{128, 128, 128}) ? 0 : 1;
    pw.setBasics(info.compression, PHOTOMETRIC_MINISWHITE, 1, 1);
    pw.set(TIFFTAG_FILLORDER, static_cast<std::uint16_t>(FILLORDER_MSB2LSB));
    if (info.compression == COMPRESSION_CCITTFAX3)
        pw.set(TIFFTAG_GROUP3OPTIONS, static_cast<std::uint32_t>(info.group3Options));
    pw.setStrips(static_cast<std::uint32_t>(page.height()));
    std::vector<std::uint8_t> bits(static_cast<std::size_t>(idx.width()));
    pw.writeRows([&](int y, std::uint8_t* out) {
        const std::uint8_t* s = idx.row(y);
        for (int x = 0; x < idx.width(); ++x) bits[static_cast<std::size_t>(x)] = s[x] == blackIndex ? 1 : 0;
        packBits(bits.data(), bits.size(), 1, out);
    });
}

// Fax pages without a stated resolution get the standard fine fax resolution.
constexpr double kFaxDefaultDpi = 200;

// A directory of the page's Exif record written beside the image directory
// and linked from it.
struct SubDirectory {
    ExifDirectory which;
    const char* name;
    int (*create)(TIFF*);
    ttag_t link;
    // Sets what the directory needs and the carried entries did not give.
    void (*complete)(const Handle& h, const Image& page);
};

// The Exif version, colour space and the written picture's size.
void completeExif(const Handle& h, const Image& page) {
    TIFF* tif = h.get();
    void* unused = nullptr;
    std::uint16_t colourSpace = 0;
    if (!TIFFGetField(tif, EXIFTAG_EXIFVERSION, &unused) && !TIFFSetField(tif, EXIFTAG_EXIFVERSION, "0220"))
        h.fail("cannot set the Exif version");
    if (!TIFFGetField(tif, EXIFTAG_COLORSPACE, &colourSpace) &&
        !TIFFSetField(tif, EXIFTAG_COLORSPACE, static_cast<std::uint16_t>(1)))
        h.fail("cannot set the Exif colour space");
    if (!TIFFSetField(tif, EXIFTAG_PIXELXDIMENSION, static_cast<std::uint32_t>(page.width())) ||
        !TIFFSetField(tif, EXIFTAG_PIXELYDIMENSION, static_cast<std::uint32_t>(page.height())))
        h.fail("cannot set the Exif tags");
}

// The GPS version, which readers require of a GPS directory.
void completeGps(const Handle& h, const Image&) {
    TIFF* tif = h.get();
    void* unused = nullptr;
    static const std::uint8_t version[4] = {2, 2, 0, 0};
    if (!TIFFGetField(tif, GPSTAG_VERSIONID, &unused) && !TIFFSetField(tif, GPSTAG_VERSIONID, version))
        h.fail("cannot set the GPS version");
}

constexpr SubDirectory kExifDirectory{ExifDirectory::Exif, "Exif", TIFFCreateEXIFDirectory, TIFFTAG_EXIFIFD,
                                      completeExif};
constexpr SubDirectory kGpsDirectory{ExifDirectory::Gps, "GPS", TIFFCreateGPSDirectory, TIFFTAG_GPSIFD, completeGps};

// Writes the image directory, then each of `subs` after it: the carried
// entries libtiff knows, then what the directory needs and they left unset.
// The image directory, which holds a reserved pointer for each, is then
// reopened and rewritten to point at them.
void writeSubDirectories(const Handle& h, const Image& page, std::span<const SubDirectory* const> subs) {
    TIFF* tif = h.get();
    if (!TIFFWriteDirectory(tif)) h.fail("cannot write the image directory");
    // New pages always go to the end of the chain.
    const tdir_t index = TIFFNumberOfDirectories(tif) - 1;
    std::vector<std::uint64_t> offsets;
    for (const SubDirectory* sub : subs) {
        const std::string name = sub->name;
        // libtiff 4.5.0 does not release the entries of a custom directory
        // when the next one is created; free them here (harmless where it does).
        if (sub != subs.front()) TIFFFreeDirectory(tif);
        if (sub->create(tif) != 0) h.fail("cannot create the " + name + " directory");
        writeExifFields(tif, page, sub->which);
        sub->complete(h, page);
        std::uint64_t offset = 0;
        if (!TIFFWriteCustomDirectory(tif, &offset)) h.fail("cannot write the " + name + " directory");
        offsets.push_back(offset);
    }
    if (!TIFFSetDirectory(tif, index)) h.fail("cannot reopen the image directory");
    for (std::size_t i = 0; i < subs.size(); ++i)
        if (!TIFFSetField(tif, subs[i]->link, offsets[i]))
            h.fail("cannot link the " + std::string(subs[i]->name) + " directory");
    if (!TIFFRewriteDirectory(tif)) h.fail("cannot rewrite the image directory");
}

void writePage(const Handle& h, const Image& page, const WriteOptions& opt, const CodeInfo& info) {
    if (page.empty()) fail(kFormat, "empty page");
    PageWriter pw(h, page);
    switch (info.model) {
    case Model::Rgb:
        if (opt.bits <= 8)
            writeIndexed(h, pw, page, info, opt.bits);
        else if (opt.bits == 16)
            writeRgb555(pw, page, info);
        else
            writeRgb(h, pw, page, info, opt.bits);
        break;
    case Model::ExifRgb: writeRgb(h, pw, page, info, 24); break;
    case Model::Cmyk: writeCmyk(h, pw, page, info, opt.bits); break;
    case Model::YCbCr:
    case Model::ExifYCbCr: writeYCbCr(h, pw, page, info.compression); break;
    case Model::Jpeg: writeJpeg(h, pw, page, info, opt.bits, opt.quality); break;
    case Model::Fax: writeFax(pw, page, info); break;
    }
    if (info.model == Model::Fax && !(page.xDpi > 0 && page.yDpi > 0))
        pw.setResolution(kFaxDefaultDpi, kFaxDefaultDpi);
    else
        pw.setResolution(page.xDpi, page.yDpi);
    std::vector<const SubDirectory*> subs;
    if (info.model == Model::ExifRgb || info.model == Model::ExifYCbCr || hasExifDirectory(page, ExifDirectory::Exif))
        subs.push_back(&kExifDirectory);
    if (hasExifDirectory(page, ExifDirectory::Gps)) subs.push_back(&kGpsDirectory);
    if (subs.empty()) {
        if (!TIFFWriteDirectory(h.get())) h.fail("cannot write the image directory");
        return;
    }
    // Reserve the pointers so the directory is written with them in place.
    for (const SubDirectory* sub : subs) pw.set(sub->link, std::uint64_t{0});
    writeSubDirectories(h, page, subs);
}

class TiffWriter : public FormatWriter {
public:
    std::string name() const override { return kFormat; }
    std::vector<WriteCapability> capabilities() const override {
        std::vector<WriteCapability> out;
        for (const auto& c : codeTable()) out.push_back({c.code, c.depths, c.appendable});
        return out;
    }

    std::vector<std::uint8_t> encode(const Image& page, const WriteOptions& opt) const override {
        const CodeInfo& info = checkedCode(opt);
        std::vector<std::uint8_t> out;
        {
            Handle h(out, "w");
            writePage(h, page, opt, info);
            h.close();
        }
        return out;
    }

    void encodeTo(int fd, const Image& page, const WriteOptions& opt) const override {
        const CodeInfo& info = checkedCode(opt);
        Handle h(fd, "w");
        writePage(h, page, opt, info);
        h.close();
    }

    std::vector<std::uint8_t> append(std::span<const std::uint8_t> existing, const Image& page,
                                     const WriteOptions& opt) const override {
        const CodeInfo& info = checkedCode(opt);
        if (!info.appendable) return FormatWriter::append(existing, page, opt);
        std::vector<std::uint8_t> out(existing.begin(), existing.end());
        {
            Handle h(out, "a");
            writePage(h, page, opt, info);
            h.close();
        }
        return out;
    }

    bool appendInPlace(const std::string& path, const Image& page, const WriteOptions& opt) const override {
        const CodeInfo& info = checkedCode(opt);
        if (!info.appendable) return false;
        Handle h(path, "a");
        writePage(h, page, opt, info);
        h.close();
        return true;
    }
};

}  // namespace

std::unique_ptr<FormatWriter> makeTiffWriter() { return std::make_unique<TiffWriter>(); }

}  // namespace rastel::imaging
