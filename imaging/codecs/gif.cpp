// GIF reader and writer.
//
// The reader walks the blocks of the file and decodes the image data with
// GifLzwDecoder, which also takes the minimum code sizes above 8 that browsers
// accept and giflib refuses. The writer encodes with GifLzwEncoder and hands
// the file on piece by piece as it is made: to memory, or straight to the
// output file.
//
// Reading composes the frames the way a browser shows them: each page is the
// canvas after that frame is drawn. The canvas is the logical screen grown to
// take in every frame, so nothing a frame draws is lost, and it starts out
// transparent. Pixels of a frame's transparent index leave the canvas as it
// was; the previous frame's disposal is applied before the next one is drawn.
// Pages are drawn when asked for, on one canvas kept between them, so an
// animation of many frames holds one canvas and one page at a time.

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "fileio/file_io.h"
#include "imaging/codec.h"
#include "imaging/codecs/common/byte_io.h"
#include "imaging/codecs/gif_lzw.h"
#include "imaging/convert.h"
#include "imaging/error.h"
#include "imaging/registry.h"

namespace rastel::imaging {
namespace {

constexpr const char* kFormat = "GIF";
constexpr int kWriteCode = 2;

// ---- Reading ----------------------------------------------------------------

// Every read past the end of the file says so in the same words.
[[noreturn]] void truncated(const char* where) { fail(kFormat, std::string(where) + ": file is truncated"); }

struct ColourTable {
    bool present = false;
    int bits = 0;  // the table holds 2^bits entries
    std::vector<Rgb> colours;
};

ColourTable readColourTable(ByteReader& in, std::uint8_t flags, const char* where) {
    ColourTable t;
    if (!(flags & 0x80)) return t;
    t.present = true;
    t.bits = (flags & 7) + 1;
    const std::size_t entries = std::size_t(1) << t.bits;
    if (in.remaining() < 3 * entries) truncated(where);
    for (std::size_t i = 0; i < entries; ++i) {
        const std::uint8_t r = in.u8(), g = in.u8(), b = in.u8();
        t.colours.push_back({r, g, b});
    }
    return t;
}

// Steps over a chain of sub-blocks up to and including its empty block.
void skipSubBlocks(ByteReader& in, const char* where) {
    for (;;) {
        if (in.remaining() < 1) truncated(where);
        const std::uint8_t n = in.u8();
        if (n == 0) return;
        if (in.remaining() < n) truncated(where);
        in.skip(n);
    }
}

struct Frame {
    int left = 0, top = 0, width = 0, height = 0;
    bool interlaced = false;
    ColourTable local;
    int minCodeSize = 0;
    std::size_t data = 0;  // offset of the first sub-block of the image data
    int disposal = 0;      // from the graphic control extension before the image
    int transparent = -1;  // index drawn as transparent, -1 for none
    int right() const { return left + width; }
    int bottom() const { return top + height; }
    bool empty() const { return width == 0 || height == 0; }
};

struct GifFile {
    int screenWidth = 0, screenHeight = 0;
    ColourTable global;
    std::vector<Frame> frames;
};

// Walks the blocks of the file without decoding any image data. The file ends
// at its trailer; after at least one image, the end of the data or a byte that
// starts no block ends it too (browsers show the images before it).
GifFile parseGif(std::span<const std::uint8_t> data) {
    ByteReader in(data, kFormat);
    if (data.size() < 6 || std::memcmp(data.data(), "GIF", 3) != 0) fail(kFormat, "not a GIF file");
    if (data.size() < 13) truncated("screen descriptor");
    in.skip(6);
    GifFile gif;
    gif.screenWidth = in.u16le();
    gif.screenHeight = in.u16le();
    const std::uint8_t flags = in.u8();
    in.skip(2);  // background colour index, aspect ratio: browsers use neither
    gif.global = readColourTable(in, flags, "global colour table");

    int disposal = 0, transparent = -1;
    for (;;) {
        if (in.remaining() == 0) {
            if (gif.frames.empty()) fail(kFormat, "no image in the file: file is truncated");
            break;
        }
        const std::uint8_t kind = in.u8();
        if (kind == 0x3B) break;  // trailer
        if (kind == 0x21) {
            if (in.remaining() < 1) truncated("extension");
            const std::uint8_t label = in.u8();
            // A graphic control extension's first block is 4 bytes: flags,
            // delay (2), transparent index.
            if (label == 0xF9 && in.remaining() >= 5 && in.data()[in.pos()] == 4) {
                const std::uint8_t* g = in.data().data() + in.pos() + 1;
                disposal = (g[0] >> 2) & 7;
                transparent = (g[0] & 1) ? g[3] : -1;
            }
            skipSubBlocks(in, "extension");
            continue;
        }
        if (kind != 0x2C) {
            if (gif.frames.empty()) fail(kFormat, "no image in the file: unknown block type " + std::to_string(kind));
            break;
        }
        if (in.remaining() < 9) truncated("image descriptor");
        Frame f;
        f.left = in.u16le();
        f.top = in.u16le();
        f.width = in.u16le();
        f.height = in.u16le();
        const std::uint8_t imageFlags = in.u8();
        f.interlaced = imageFlags & 0x40;
        f.local = readColourTable(in, imageFlags, "local colour table");
        if (in.remaining() < 1) truncated("image data");
        f.minCodeSize = in.u8();
        if (f.minCodeSize > GifLzwDecoder::kMaxCodeSize)
            fail(kFormat,
                 "LZW minimum code size " + std::to_string(f.minCodeSize) + " leaves no room for 12-bit codes");
        f.data = in.pos();
        skipSubBlocks(in, "image data");
        f.disposal = disposal;
        f.transparent = transparent;
        gif.frames.push_back(std::move(f));
        // A graphic control extension applies to the one image after it.
        disposal = 0;
        transparent = -1;
    }
    return gif;
}

// The image data of a frame with its sub-block lengths removed; the chain was
// checked by parseGif.
std::vector<std::uint8_t> imageData(std::span<const std::uint8_t> file, std::size_t at) {
    std::vector<std::uint8_t> out;
    while (std::size_t n = file[at]) {
        out.insert(out.end(), file.begin() + static_cast<std::ptrdiff_t>(at + 1),
                   file.begin() + static_cast<std::ptrdiff_t>(at + 1 + n));
        at += 1 + n;
    }
    return out;
}

// The colours a frame's indices refer to. A file with no colour table at all
// is read as gray levels (index n is gray n), as other decoders do.
const std::vector<Rgb>& coloursOf(const GifFile& gif, const Frame& f) {
    static const std::vector<Rgb> grays = [] {
        std::vector<Rgb> g;
        for (int i = 0; i < 256; ++i) g.push_back({std::uint8_t(i), std::uint8_t(i), std::uint8_t(i)});
        return g;
    }();
    if (f.local.present) return f.local.colours;
    if (gif.global.present) return gif.global.colours;
    return grays;
}

// Clears a rectangle of an Rgba32 canvas to transparent.
void clearRect(Image& canvas, const Frame& f) {
    for (int y = f.top; y < f.bottom(); ++y)
        std::memset(canvas.row(y) + 4 * std::size_t(f.left), 0, 4 * std::size_t(f.width));
}

bool anyTransparent(const Image& canvas) {
    for (int y = 0; y < canvas.height(); ++y) {
        const std::uint8_t* p = canvas.row(y) + 3;
        for (int x = 0; x < canvas.width(); ++x, p += 4)
            if (*p == 0) return true;
    }
    return false;
}

Image opaqueCopy(const Image& canvas) {
    Image rgb(canvas.width(), canvas.height(), PixelFormat::Rgb24);
    for (int y = 0; y < canvas.height(); ++y) {
        const std::uint8_t* s = canvas.row(y);
        std::uint8_t* d = rgb.row(y);
        for (int x = 0; x < canvas.width(); ++x, s += 4, d += 3) std::memcpy(d, s, 3);
    }
    return rgb;
}

// The canvas under a frame's rectangle, row after row: all that drawing the
// frame can change, so all that disposal 3 has to put back.
std::vector<std::uint8_t> underFrame(const Image& canvas, const Frame& f) {
    std::vector<std::uint8_t> saved;
    saved.reserve(4 * std::size_t(f.width) * std::size_t(f.height));
    for (int y = f.top; y < f.bottom(); ++y) {
        const std::uint8_t* p = canvas.row(y) + 4 * std::size_t(f.left);
        saved.insert(saved.end(), p, p + 4 * std::size_t(f.width));
    }
    return saved;
}

void restoreUnderFrame(Image& canvas, const Frame& f, const std::vector<std::uint8_t>& saved) {
    const std::size_t n = 4 * std::size_t(f.width);
    for (int y = f.top; y < f.bottom(); ++y)
        std::memcpy(canvas.row(y) + 4 * std::size_t(f.left), saved.data() + n * std::size_t(y - f.top), n);
}

// Decodes a frame onto the canvas. With `indices`, also keeps the frame's
// indices as an 8-bit Indexed image. Returns true when every pixel of the
// frame was drawn with a colour of its table (none transparent, none past
// the table, none missing).
bool drawFrame(std::span<const std::uint8_t> file, const GifFile& gif, const Frame& f, Image& canvas,
               std::vector<std::uint16_t>& line, std::optional<Image>* indices) {
    if (f.empty()) return false;  // nothing to draw
    const std::vector<std::uint8_t> bytes = imageData(file, f.data);
    GifLzwDecoder lzw(bytes, f.minCodeSize);
    const std::vector<Rgb>& colours = coloursOf(gif, f);
    if (indices) *indices = Image(f.width, f.height, PixelFormat::Indexed, 8);
    line.resize(std::size_t(f.width));
    bool opaqueInTable = true;
    auto row = [&](int y) {
        const std::size_t n = lzw.read(line);
        if (n < line.size()) opaqueInTable = false;
        std::uint8_t* d = canvas.row(f.top + y) + 4 * std::size_t(f.left);
        for (std::size_t x = 0; x < n; ++x, d += 4) {
            const int v = line[x];
            if (v == f.transparent) {
                opaqueInTable = false;
                continue;
            }
            // An index past the table shows black.
            Rgb c{0, 0, 0};
            if (std::size_t(v) < colours.size())
                c = colours[std::size_t(v)];
            else
                opaqueInTable = false;
            d[0] = c.r;
            d[1] = c.g;
            d[2] = c.b;
            d[3] = 255;
        }
        if (indices && opaqueInTable)
            for (std::size_t x = 0; x < n; ++x) (*indices)->row(y)[x] = static_cast<std::uint8_t>(line[x]);
    };
    // Interlaced frames arrive in four passes: every 8th row from 0, every
    // 8th from 4, every 4th from 2, every 2nd from 1.
    static constexpr int start[4] = {0, 4, 2, 1};
    static constexpr int step[4] = {8, 8, 4, 2};
    for (int pass = 0; pass < (f.interlaced ? 4 : 1); ++pass)
        for (int y = f.interlaced ? start[pass] : 0; y < f.height && !lzw.ended(); y += f.interlaced ? step[pass] : 1)
            row(y);
    // Data ending early with its end code leaves the rest of the frame undrawn.
    if (lzw.ended()) opaqueInTable = false;
    return opaqueInTable;
}

// The pages of a GIF, drawn frame after frame on one canvas: page i after
// page i-1 draws one more frame, and an earlier page starts again from the
// first frame. Only the canvas is kept between pages.
class GifPages : public PageSource {
public:
    // Reads the block structure and refuses, before anything is allocated, a
    // canvas or a document of canvases past the pixel limit.
    explicit GifPages(std::span<const std::uint8_t> data) : data_(data), gif_(parseGif(data)) {
        if (gif_.frames.empty()) fail(kFormat, "no image in the file");
        // The canvas takes in the screen and every frame, as browsers size it.
        width_ = gif_.screenWidth;
        height_ = gif_.screenHeight;
        for (const Frame& f : gif_.frames) {
            if (f.empty()) continue;
            width_ = std::max(width_, f.right());
            height_ = std::max(height_, f.bottom());
        }
        checkDimensions(kFormat, width_, height_);
        // Every page is a whole canvas; keep the document within the pixel limit.
        const std::uint64_t canvasPixels = std::uint64_t(width_) * std::uint64_t(height_);
        if (gif_.frames.size() * canvasPixels > pixelLimit())
            fail(Error::Kind::TooLarge, kFormat,
                 "too many frames: " + std::to_string(gif_.frames.size()) + " canvases of " + std::to_string(width_) +
                     "x" + std::to_string(height_) + " exceed the pixel limit");
    }

    int pageCount() const override { return static_cast<int>(gif_.frames.size()); }

    Image page(int index) override {
        const std::size_t target = static_cast<std::size_t>(index);
        (void)gif_.frames.at(target);
        if (canvas_.empty()) {
            canvas_ = Image(width_, height_, PixelFormat::Rgba32);  // all transparent
            drawn_ = 0;
        } else if (drawn_ > target) {
            std::memset(canvas_.data(), 0, canvas_.byteSize());
            drawn_ = 0;
        }
        for (;;) {
            const std::size_t i = drawn_;
            drawn_ = kUnknown;  // a frame that fails to decode leaves the canvas half drawn
            const Frame& f = gif_.frames[i];
            std::vector<std::uint8_t> under;
            if (f.disposal == 3) under = underFrame(canvas_, f);
            // A lone opaque frame covering the canvas is kept as its own palette.
            const bool covers = f.left == 0 && f.top == 0 && f.width == width_ && f.height == height_;
            const bool keepIndices =
                i == target && gif_.frames.size() == 1 && covers && (f.local.present || gif_.global.present);
            std::optional<Image> indexed;
            const bool opaqueInTable = drawFrame(data_, gif_, f, canvas_, line_, keepIndices ? &indexed : nullptr);
            Image page;
            if (keepIndices && opaqueInTable) {
                indexed->palette() = coloursOf(gif_, f);
                indexed->setIndexBits(f.local.present ? f.local.bits : gif_.global.bits);
                page = std::move(*indexed);
            } else if (i == target) {
                page = anyTransparent(canvas_) ? canvas_ : opaqueCopy(canvas_);
            }

            if (f.disposal == 2)
                clearRect(canvas_, f);  // browsers clear to transparent
            else if (f.disposal == 3)
                restoreUnderFrame(canvas_, f, under);
            // 0 (unspecified), 1 (leave in place) and the undefined 4..7: the frame stays.
            drawn_ = i + 1;
            if (i == target) return page;
        }
    }

private:
    static constexpr std::size_t kUnknown = static_cast<std::size_t>(-1);

    std::span<const std::uint8_t> data_;
    GifFile gif_;
    int width_ = 0, height_ = 0;
    Image canvas_;  // the frames before drawn_ drawn and disposed of
    std::size_t drawn_ = 0;
    std::vector<std::uint16_t> line_;
};

class GifReader : public FormatReader {
public:
    std::string name() const override { return kFormat; }
    std::vector<std::string> extensions() const override { return {".gif"}; }

    Sniff sniff(std::span<const std::uint8_t> head) const override {
        if (head.size() >= 6 && std::memcmp(head.data(), "GIF8", 4) == 0 && (head[4] == '7' || head[4] == '9') &&
            head[5] == 'a')
            return Sniff::Strong;
        return Sniff::No;
    }

    int pageCount(std::span<const std::uint8_t> data, const ReadContext&) const override {
        return static_cast<int>(parseGif(data).frames.size());
    }

    Document read(std::span<const std::uint8_t> data, const ReadContext&) const override {
        GifPages pages(data);
        Document doc;
        for (int i = 0; i < pages.pageCount(); ++i) doc.pages.push_back(pages.page(i));
        return doc;
    }

    std::unique_ptr<PageSource> open(std::span<const std::uint8_t> data, const ReadContext&) const override {
        return std::make_unique<GifPages>(data);
    }
};

// The largest index of an Indexed page.
std::uint8_t maxIndex(const Image& img) {
    std::uint8_t m = 0;
    for (int y = 0; y < img.height(); ++y) {
        const std::uint8_t* s = img.row(y);
        m = std::max(m, *std::max_element(s, s + img.width()));
    }
    return m;
}

class GifWriter : public FormatWriter {
public:
    std::string name() const override { return kFormat; }
    std::vector<WriteCapability> capabilities() const override { return {{kWriteCode, {1, 2, 3, 4, 5, 6, 7, 8}}}; }

    std::vector<std::uint8_t> encode(const Image& page, const WriteOptions& opt) const override {
        std::vector<std::uint8_t> out;
        encodeInto(page, opt,
                   [&](std::span<const std::uint8_t> bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); });
        return out;
    }

protected:
    void encodeTo(int fd, const Image& page, const WriteOptions& opt) const override {
        fileio::FdWriter file(fd, opt.path);
        encodeInto(page, opt, [&](std::span<const std::uint8_t> bytes) { file.write(bytes); });
        file.flush();
    }

private:
    // One GIF87a image covering the screen, with a global colour table of
    // 2^bits entries (the palette padded with black), given to `emit` in
    // pieces as it is encoded.
    template <typename Emit>
    void encodeInto(const Image& page, const WriteOptions& opt, Emit&& emit) const {
        if (page.empty()) fail(kFormat, "there is no image to save");
        if (page.width() > 65535 || page.height() > 65535)
            fail(kFormat, "image of " + std::to_string(page.width()) + "x" + std::to_string(page.height()) +
                              " is larger than 65535 pixels a side");
        const int bits = opt.bits;
        const std::size_t entries = std::size_t{1} << bits;
        // An Indexed page whose indices all fit the depth and its palette is
        // encoded as it is, as toIndexed would keep it; any other is converted.
        Image converted;
        const Image* idx = &page;
        const std::uint8_t pageMax = page.format() == PixelFormat::Indexed ? maxIndex(page) : 0;
        if (page.format() != PixelFormat::Indexed || pageMax >= entries || page.palette().size() <= pageMax) {
            converted = toIndexed(page, bits);
            if (maxIndex(converted) >= entries) fail(kFormat, "pixel index beyond the palette");
            if (converted.palette().size() > entries) fail(kFormat, "palette larger than the depth");
            idx = &converted;
        }
        // The palette is cut to the depth as toIndexed would cut it.
        const std::vector<Rgb>& palette = idx->palette();

        ByteWriter head;
        head.bytes("GIF87a", 6);
        head.u16le(static_cast<std::uint16_t>(idx->width()));
        head.u16le(static_cast<std::uint16_t>(idx->height()));
        // A global table of 2^bits entries, colour resolution `bits`.
        head.u8(static_cast<std::uint8_t>(0x80 | (bits - 1) << 4 | (bits - 1)));
        head.u8(0);  // background colour index
        head.u8(0);  // no aspect ratio
        for (std::size_t i = 0; i < entries; ++i) {
            const Rgb c = i < palette.size() ? palette[i] : Rgb{0, 0, 0};
            head.u8(c.r);
            head.u8(c.g);
            head.u8(c.b);
        }
        head.u8(0x2C);  // image descriptor: the whole screen, no local table, not interlaced
        head.u16le(0);
        head.u16le(0);
        head.u16le(static_cast<std::uint16_t>(idx->width()));
        head.u16le(static_cast<std::uint16_t>(idx->height()));
        head.u8(0);
        // Codes need room for at least the indices 0..3 besides clear and end.
        const int minCodeSize = std::max(2, bits);
        head.u8(static_cast<std::uint8_t>(minCodeSize));
        emit(std::span<const std::uint8_t>(head.buffer()));

        GifLzwEncoder lzw(minCodeSize);
        constexpr std::size_t kChunk = std::size_t{1} << 16;
        for (int y = 0; y < idx->height(); ++y) {
            lzw.write(std::span<const std::uint8_t>(idx->row(y), static_cast<std::size_t>(idx->width())));
            if (lzw.output().size() >= kChunk) {
                emit(std::span<const std::uint8_t>(lzw.output()));
                lzw.output().clear();
            }
        }
        lzw.finish();
        lzw.output().push_back(0x3B);  // trailer
        emit(std::span<const std::uint8_t>(lzw.output()));
    }
};

}  // namespace

void registerGifCodec(Registry& registry) { registry.addCodec<GifReader, GifWriter>(); }

}  // namespace rastel::imaging
