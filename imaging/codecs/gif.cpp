// GIF reader and writer on top of giflib 5.2.
//
// giflib reports failures through return codes, so no jump is involved; every
// failure becomes an Error carrying giflib's own description.
//
// Reading composes the frames the way a viewer shows them: each page is the
// logical screen after that frame is drawn, starting from the screen's
// background colour, with the previous frame's disposal applied first.

#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "imaging/codec.h"
#include "imaging/convert.h"
#include "imaging/error.h"
#include "imaging/registry.h"

namespace rastel::imaging {
namespace {

constexpr const char* kFormat = "GIF";
constexpr int kWriteCode = 2;

struct GifInput {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t pos = 0;
};

// Hands giflib at most what is left; a short count is how it learns of the end.
extern "C" int gifRead(GifFileType* gif, GifByteType* dest, int length) {
    auto* in = static_cast<GifInput*>(gif->UserData);
    if (length <= 0) return 0;
    const std::size_t n = std::min(static_cast<std::size_t>(length), in->size - in->pos);
    if (n == 0) return 0;
    std::memcpy(dest, in->data + in->pos, n);
    in->pos += n;
    return static_cast<int>(n);
}

extern "C" int gifWrite(GifFileType* gif, const GifByteType* src, int length) {
    auto* out = static_cast<std::vector<std::uint8_t>*>(gif->UserData);
    if (length <= 0) return 0;
    try {
        out->insert(out->end(), src, src + length);
    } catch (const std::bad_alloc&) {
        return 0;  // giflib turns a short write into its write error
    }
    return length;
}

std::string describe(int code) {
    // Input comes from memory, so a failed read means the data ran out.
    if (code == D_GIF_ERR_READ_FAILED) return "file is truncated";
    const char* text = GifErrorString(code);
    return text ? text : "giflib error " + std::to_string(code);
}

[[noreturn]] void failGif(const GifFileType* gif, const char* what) {
    fail(kFormat, std::string(what) + ": " + describe(gif ? gif->Error : 0));
}

struct DecoderHandle {
    GifFileType* gif = nullptr;
    ~DecoderHandle() {
        int err = 0;
        if (gif) DGifCloseFile(gif, &err);
    }
};

struct EncoderHandle {
    GifFileType* gif = nullptr;
    ~EncoderHandle() {
        int err = 0;
        if (gif) EGifCloseFile(gif, &err);
    }
};

GifFileType* openDecoder(GifInput& input) {
    int err = 0;
    GifFileType* gif = DGifOpen(&input, gifRead, &err);
    if (!gif) fail(kFormat, describe(err));
    return gif;
}

// Reads past the compressed data of the current image without decoding it.
void skipImageData(GifFileType* gif) {
    int codeSize = 0;
    GifByteType* block = nullptr;
    if (DGifGetCode(gif, &codeSize, &block) == GIF_ERROR) failGif(gif, "image data");
    while (block) {
        if (DGifGetCodeNext(gif, &block) == GIF_ERROR) failGif(gif, "image data");
    }
}

// Reads past an extension, returning its first data block when it is a
// graphic control extension.
std::optional<GraphicsControlBlock> readExtension(GifFileType* gif) {
    int code = 0;
    GifByteType* block = nullptr;
    if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) failGif(gif, "extension");
    std::optional<GraphicsControlBlock> gcb;
    if (code == GRAPHICS_EXT_FUNC_CODE && block && block[0] == 4) {
        GraphicsControlBlock g{};
        if (DGifExtensionToGCB(block[0], block + 1, &g) == GIF_OK) gcb = g;
    }
    while (block) {
        if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) failGif(gif, "extension");
    }
    return gcb;
}

// The record that follows, or nullopt when the file ends (or turns to
// garbage) after at least one image: viewers show what came before.
std::optional<GifRecordType> nextRecord(GifFileType* gif, bool haveImage) {
    GifRecordType type = UNDEFINED_RECORD_TYPE;
    if (DGifGetRecordType(gif, &type) == GIF_ERROR) {
        if (haveImage) return std::nullopt;
        failGif(gif, "no image in the file");
    }
    if (type == TERMINATE_RECORD_TYPE) return std::nullopt;
    return type;
}

struct Rect {
    int left = 0, top = 0, right = 0, bottom = 0;  // clipped to the screen, right/bottom exclusive
    bool empty() const { return right <= left || bottom <= top; }
};

Rect clipToScreen(const GifImageDesc& d, int screenW, int screenH) {
    Rect r;
    r.left = std::min(d.Left, screenW);
    r.top = std::min(d.Top, screenH);
    r.right = std::min(d.Left + d.Width, screenW);
    r.bottom = std::min(d.Top + d.Height, screenH);
    return r;
}

void fillRect(Image& canvas, const Rect& r, Rgb c) {
    for (int y = r.top; y < r.bottom; ++y) {
        std::uint8_t* p = canvas.row(y) + 3 * r.left;
        for (int x = r.left; x < r.right; ++x, p += 3) {
            p[0] = c.r;
            p[1] = c.g;
            p[2] = c.b;
        }
    }
}

// Decodes the current image and keeps the indices of its part inside the
// screen (`clip`, in screen coordinates), row by row in display order
// (interlaced images arrive in four passes). Only one full row of the frame is
// ever held, so a huge frame on a small screen costs no memory.
std::vector<std::uint8_t> decodeClipped(GifFileType* gif, const GifImageDesc& d, const Rect& clip) {
    const std::size_t cw = clip.empty() ? 0 : std::size_t(clip.right - clip.left);
    const std::size_t ch = clip.empty() ? 0 : std::size_t(clip.bottom - clip.top);
    std::vector<std::uint8_t> kept(cw * ch);
    std::vector<GifPixelType> line(static_cast<std::size_t>(d.Width));
    auto row = [&](int y) {
        if (DGifGetLine(gif, line.data(), d.Width) == GIF_ERROR) failGif(gif, "image data");
        const int sy = d.Top + y;
        if (cw == 0 || sy < clip.top || sy >= clip.bottom) return;
        std::memcpy(kept.data() + std::size_t(sy - clip.top) * cw, line.data() + (clip.left - d.Left), cw);
    };
    if (d.Interlace) {
        static constexpr int start[4] = {0, 4, 2, 1};
        static constexpr int step[4] = {8, 8, 4, 2};
        for (int pass = 0; pass < 4; ++pass)
            for (int y = start[pass]; y < d.Height; y += step[pass]) row(y);
    } else {
        for (int y = 0; y < d.Height; ++y) row(y);
    }
    return kept;
}

// The colours an image's indices refer to. A file with no colour table at all
// is read as gray levels (index n is gray n), as other decoders do.
std::vector<Rgb> coloursOf(const ColorMapObject* map) {
    std::vector<Rgb> pal;
    if (!map) {
        for (int i = 0; i < 256; ++i) pal.push_back({std::uint8_t(i), std::uint8_t(i), std::uint8_t(i)});
        return pal;
    }
    for (int i = 0; i < map->ColorCount && i < 256; ++i)
        pal.push_back({map->Colors[i].Red, map->Colors[i].Green, map->Colors[i].Blue});
    return pal;
}

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
        GifInput input{data.data(), data.size(), 0};
        DecoderHandle h;
        h.gif = openDecoder(input);
        int images = 0;
        while (auto type = nextRecord(h.gif, images > 0)) {
            if (*type == IMAGE_DESC_RECORD_TYPE) {
                if (DGifGetImageDesc(h.gif) == GIF_ERROR) failGif(h.gif, "image descriptor");
                skipImageData(h.gif);
                ++images;
            } else if (*type == EXTENSION_RECORD_TYPE) {
                (void)readExtension(h.gif);
            } else {
                break;
            }
        }
        return images;
    }

    Document read(std::span<const std::uint8_t> data, const ReadContext&) const override {
        GifInput input{data.data(), data.size(), 0};
        DecoderHandle h;
        h.gif = openDecoder(input);
        GifFileType* gif = h.gif;
        const int sw = gif->SWidth;
        const int sh = gif->SHeight;
        checkDimensions(kFormat, sw, sh);
        const std::uint64_t screenPixels = std::uint64_t(sw) * std::uint64_t(sh);

        // The background is the screen's background colour; black when the
        // file has no global colour table or names an entry it lacks.
        Rgb background{0, 0, 0};
        if (gif->SColorMap && gif->SBackGroundColor >= 0 && gif->SBackGroundColor < gif->SColorMap->ColorCount) {
            const GifColorType c = gif->SColorMap->Colors[gif->SBackGroundColor];
            background = {c.Red, c.Green, c.Blue};
        }
        Image canvas(sw, sh, PixelFormat::Rgb24);
        fillRect(canvas, Rect{0, 0, sw, sh}, background);

        Document doc;
        std::optional<Image> indexedFirst;  // the first page as its own palette, when that says it all
        GraphicsControlBlock gcb{};
        gcb.DisposalMode = DISPOSAL_UNSPECIFIED;
        gcb.TransparentColor = NO_TRANSPARENT_COLOR;

        while (auto type = nextRecord(gif, !doc.pages.empty())) {
            if (*type == EXTENSION_RECORD_TYPE) {
                if (auto g = readExtension(gif)) gcb = *g;
                continue;
            }
            if (*type != IMAGE_DESC_RECORD_TYPE) break;
            if (DGifGetImageDesc(gif) == GIF_ERROR) failGif(gif, "image descriptor");
            // Every page is a full screen; keep the whole document within the pixel limit.
            if ((doc.pages.size() + 1) * screenPixels > pixelLimit())
                fail(kFormat, "too many frames: " + std::to_string(doc.pages.size() + 1) + " screens of " +
                                  std::to_string(sw) + "x" + std::to_string(sh) + " exceed the pixel limit");
            const GifImageDesc desc = gif->Image;
            const ColorMapObject* map = desc.ColorMap ? desc.ColorMap : gif->SColorMap;
            const std::vector<Rgb> colours = coloursOf(map);
            const int transparent = gcb.TransparentColor;

            std::optional<Image> saved;
            if (gcb.DisposalMode == DISPOSE_PREVIOUS) saved = canvas;
            // Frames reaching past the screen are clipped to it, as viewers do.
            const Rect r = clipToScreen(desc, sw, sh);
            if (desc.Width == 0 || desc.Height == 0) {
                skipImageData(gif);  // nothing to draw
            } else {
                checkDimensions(kFormat, desc.Width, desc.Height);
                const std::vector<std::uint8_t> px = decodeClipped(gif, desc, r);
                const std::size_t cw = r.empty() ? 0 : std::size_t(r.right - r.left);
                bool outOfTable = false;
                for (int y = r.top; y < r.bottom && cw; ++y) {
                    const std::uint8_t* s = px.data() + std::size_t(y - r.top) * cw;
                    std::uint8_t* d = canvas.row(y) + 3 * r.left;
                    for (int x = r.left; x < r.right; ++x, ++s, d += 3) {
                        if (*s == transparent) continue;
                        // An index past the table shows black.
                        Rgb c{0, 0, 0};
                        if (*s < colours.size()) c = colours[*s];
                        else outOfTable = true;
                        d[0] = c.r;
                        d[1] = c.g;
                        d[2] = c.b;
                    }
                }
                // A lone frame covering the screen opaquely keeps its palette.
                if (doc.pages.empty() && map && !outOfTable && transparent == NO_TRANSPARENT_COLOR &&
                    desc.Left == 0 && desc.Top == 0 && desc.Width == sw && desc.Height == sh) {
                    Image idx(sw, sh, PixelFormat::Indexed, std::clamp(map->BitsPerPixel, 1, 8));
                    for (int y = 0; y < sh; ++y)
                        std::memcpy(idx.row(y), px.data() + std::size_t(y) * cw, cw);
                    idx.palette() = colours;
                    indexedFirst = std::move(idx);
                }
            }
            doc.pages.push_back(canvas);

            switch (gcb.DisposalMode) {
            case DISPOSE_BACKGROUND:
                fillRect(canvas, r, background);
                break;
            case DISPOSE_PREVIOUS:
                if (saved) canvas = std::move(*saved);
                break;
            default:
                break;  // unspecified / do not dispose: the frame stays
            }
            gcb = GraphicsControlBlock{};
            gcb.DisposalMode = DISPOSAL_UNSPECIFIED;
            gcb.TransparentColor = NO_TRANSPARENT_COLOR;
        }
        if (doc.pages.empty()) fail(kFormat, "no image in the file");
        if (doc.pages.size() == 1 && indexedFirst) doc.pages[0] = std::move(*indexedFirst);
        return doc;
    }
};

class GifWriter : public FormatWriter {
public:
    std::string name() const override { return kFormat; }
    std::vector<WriteCapability> capabilities() const override { return {{kWriteCode, {1, 2, 3, 4, 5, 6, 7, 8}}}; }

    // One GIF87a image covering the screen, with a global colour table of
    // 2^bits entries (the palette padded with black).
    std::vector<std::uint8_t> encode(const Image& page, const WriteOptions& opt) const override {
        if (page.empty()) fail(kFormat, "there is no image to save");
        if (page.width() > 65535 || page.height() > 65535)
            fail(kFormat, "image of " + std::to_string(page.width()) + "x" + std::to_string(page.height()) +
                              " is larger than 65535 pixels a side");
        const Image idx = toIndexed(page, opt.bits);
        const int entries = 1 << opt.bits;
        if (idx.palette().size() > static_cast<std::size_t>(entries)) fail(kFormat, "palette larger than the depth");
        GifColorType table[256] = {};
        for (std::size_t i = 0; i < idx.palette().size(); ++i)
            table[i] = {idx.palette()[i].r, idx.palette()[i].g, idx.palette()[i].b};
        std::unique_ptr<ColorMapObject, void (*)(ColorMapObject*)> map(GifMakeMapObject(entries, table),
                                                                        GifFreeMapObject);
        if (!map) fail(kFormat, "out of memory");

        std::vector<std::uint8_t> out;
        int err = 0;
        EncoderHandle h;
        h.gif = EGifOpen(&out, gifWrite, &err);
        if (!h.gif) fail(kFormat, describe(err));
        EGifSetGifVersion(h.gif, false);
        if (EGifPutScreenDesc(h.gif, idx.width(), idx.height(), opt.bits, 0, map.get()) == GIF_ERROR)
            failGif(h.gif, "screen descriptor");
        if (EGifPutImageDesc(h.gif, 0, 0, idx.width(), idx.height(), false, nullptr) == GIF_ERROR)
            failGif(h.gif, "image descriptor");
        // giflib masks the line it is given in place, so it gets a copy.
        std::vector<GifPixelType> line(static_cast<std::size_t>(idx.width()));
        for (int y = 0; y < idx.height(); ++y) {
            std::memcpy(line.data(), idx.row(y), line.size());
            for (auto v : line)
                if (v >= entries) fail(kFormat, "pixel index beyond the palette");
            if (EGifPutLine(h.gif, line.data(), idx.width()) == GIF_ERROR) failGif(h.gif, "image data");
        }
        GifFileType* gif = h.gif;
        h.gif = nullptr;
        if (EGifCloseFile(gif, &err) == GIF_ERROR) fail(kFormat, "finishing the file: " + describe(err));
        return out;
    }
};

}  // namespace

void registerGifCodec(Registry& registry) {
    registry.addReader(std::make_unique<GifReader>());
    registry.addWriter(std::make_unique<GifWriter>());
}

}  // namespace rastel::imaging
