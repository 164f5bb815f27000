#include "conversion/engine_control.h"

#include <algorithm>
#include <new>

#include "imaging/convert.h"
#include "imaging/engine.h"
#include "imaging/error.h"
#include "imaging/metadata.h"
#include "imaging/ops/grayscale.h"
#include "imaging/ops/mirror.h"
#include "imaging/ops/reduce.h"
#include "imaging/ops/rotate.h"

namespace rastel {

namespace {

// Runs an engine call, turning its failures into ImagingError.
template <typename F>
void guarded(const std::string& context, F&& f) {
    try {
        f();
    } catch (const ImagingError&) {
        throw;
    } catch (const imaging::Error& e) {
        // An operation's refusal names no file; it concerns the one in hand.
        if (e.path().empty()) {
            if (context.empty()) throw ImagingError(e.what());
            throw ImagingError(context, e.what());
        }
        throw ImagingError(e.path(), e.reason());
    } catch (const std::bad_alloc&) {
        throw ImagingError(context, "out of memory");
    } catch (const std::exception& e) {
        throw ImagingError(context, e.what());
    }
}

}  // namespace

imaging::Image& EngineControl::page() {
    if (page_.empty()) throw ImagingError("no image is loaded");
    return page_;
}

const imaging::Image& EngineControl::page() const {
    if (page_.empty()) throw ImagingError("no image is loaded");
    return page_;
}

void EngineControl::ReadFileInfo(const std::string& path, int page) {
    examined_.reset();
    guarded(path, [&] {
        imaging::InputFile file = imaging::readInput(path);
        const int pages = imaging::probePageCount(file);
        if (page < 0 || page >= std::max(pages, 1))
            throw ImagingError(path, "page " + std::to_string(page) + " does not exist");
        infoPages_ = pages;
        examined_ = std::move(file);
    });
}

void EngineControl::LoadFile(const std::string& path, int bitsMode, int firstPage, std::int16_t& pageCount) {
    guarded(path, [&] {
        if (bitsMode != 0)
            throw ImagingError(path, "loading at bits mode " + std::to_string(bitsMode) +
                                         " is not supported; only the file's own depth (0) is");
        // The previous file goes first, so a batch holds one file's page at a
        // time, and a load that fails leaves nothing of it to process or save.
        document_.reset();
        page_ = {};
        pageCount_ = 0;
        loadedPath_.clear();
        // What ReadFileInfo opened serves while it is still the version on disk.
        std::optional<imaging::InputFile> examined = std::move(examined_);
        examined_.reset();
        auto doc = examined && examined->path == path && imaging::unchangedOnDisk(*examined)
                       ? imaging::openDocument(std::move(*examined))
                       : imaging::openDocument(path);
        examined.reset();
        const int count = doc->pageCount();
        if (firstPage < 0 || firstPage >= count)
            throw ImagingError(path, "page " + std::to_string(firstPage) + " does not exist");
        if (count > 32767) throw ImagingError(path, "too many pages (" + std::to_string(count) + ")");
        imaging::Image first = doc->page(firstPage);
        // A one-page file is done with once its page is decoded; a longer
        // one stays open (or in memory) to decode the later pages from.
        if (count > 1) document_ = std::move(doc);
        page_ = std::move(first);
        pageCount_ = count;
        current_ = firstPage;
        loadedPath_ = path;
        pageCount = static_cast<std::int16_t>(count);
    });
}

DisplayPicture EngineControl::CurrentPicture(int maxSide) const {
    DisplayPicture pic;
    if (page_.empty()) return pic;
    const imaging::Image& img = page();
    const int longest = std::max(img.width(), img.height());
    const int side = std::max(1, maxSide);
    // Box-filtered reduction keeps a large page's preview cheap but faithful.
    const int step = longest > side ? (longest + side - 1) / side : 1;
    pic.Width = (img.width() + step - 1) / step;
    pic.Height = (img.height() + step - 1) / step;
    pic.Pixels.resize(static_cast<std::size_t>(pic.Width) * static_cast<std::size_t>(pic.Height));
    for (int py = 0; py < pic.Height; ++py) {
        for (int px = 0; px < pic.Width; ++px) {
            unsigned r = 0, g = 0, b = 0, n = 0;
            const int x0 = px * step, y0 = py * step;
            const int x1 = std::min(img.width(), x0 + step), y1 = std::min(img.height(), y0 + step);
            // Sample at most 4x4 source pixels per preview pixel.
            const int sx = std::max(1, (x1 - x0) / 4), sy = std::max(1, (y1 - y0) / 4);
            for (int y = y0; y < y1; y += sy)
                for (int x = x0; x < x1; x += sx) {
                    const imaging::Rgb c = imaging::pixelOnWhite(img, x, y);
                    r += c.r;
                    g += c.g;
                    b += c.b;
                    ++n;
                }
            pic.Pixels[static_cast<std::size_t>(py) * static_cast<std::size_t>(pic.Width) +
                       static_cast<std::size_t>(px)] = 0xFF000000u | ((r / n) << 16) | ((g / n) << 8) | (b / n);
        }
    }
    return pic;
}

void EngineControl::ConvertToGrayscale(int bits) {
    guarded(loadedPath_, [&] {
        if (bits != 8)
            throw ImagingError(loadedPath_, "grayscale conversion supports 8 bits, got " + std::to_string(bits));
        page() = imaging::convertToGrayscale(page());
        page().metadata = imaging::grayMetadata(page().metadata);
    });
}

void EngineControl::MirrorImage() {
    guarded(loadedPath_, [&] { imaging::mirrorInPlace(page()); });
}

void EngineControl::RotateImage(std::int32_t hundredths, bool grow, FillColor fill) {
    guarded(loadedPath_, [&] {
        page() = imaging::rotate(page(), hundredths, grow, imaging::Rgb{fill.Red, fill.Green, fill.Blue});
    });
}

void EngineControl::ReduceColors(int bits, int paletteOption, int ditherCode, int colourCount) {
    guarded(loadedPath_, [&] {
        if (paletteOption != 2)
            throw ImagingError(loadedPath_, "palette option " + std::to_string(paletteOption) + " is not supported");
        if (colourCount != 0 && colourCount != (1 << bits))
            throw ImagingError(loadedPath_, "a colour count other than 2^bits is not supported");
        page() = imaging::reduceColors(page(), bits, ditherCode);
    });
}

void EngineControl::SaveFile(const std::string& path, std::int32_t formatCode, int bits, std::int16_t& quality,
                             int mode) {
    guarded(path, [&] {
        if (mode == 0)
            imaging::savePage(path, page(), formatCode, bits, quality);
        else if (mode == 1)
            imaging::appendPage(path, page(), formatCode, bits, quality);
        else
            throw ImagingError(path, "save mode " + std::to_string(mode) + " is not supported");
    });
}

void EngineControl::SaveWorkingFile(const std::string& path, const std::string& output, std::int32_t formatCode,
                                    int bits, std::int16_t& quality) {
    guarded(path, [&] { imaging::savePage(path, page(), formatCode, bits, quality, output); });
}

void EngineControl::AppendToWorkingFile(const std::string& path, std::int32_t formatCode, int bits,
                                        std::int16_t& quality) {
    guarded(path, [&] { imaging::appendPageInPlace(path, page(), formatCode, bits, quality); });
}

void EngineControl::SetCurrentPageIndex(std::int32_t index) {
    if (index < 0 || index >= pageCount_ || (!document_ && index != current_))
        throw ImagingError(
            loadedPath_.empty() ? std::string("image") : loadedPath_,
            "page index " + std::to_string(index) + " is outside the " + std::to_string(pageCount_) + " loaded pages");
    if (index == current_ && !page_.empty()) return;
    if (!document_) throw ImagingError(loadedPath_, "the page is no longer loaded");
    guarded(loadedPath_, [&] {
        // The previous page goes before the next is decoded: one page at a time.
        page_ = {};
        current_ = index;
        page_ = document_->page(index);
    });
}

void EngineControl::ClearImage(int) {
    examined_.reset();
    document_.reset();
    page_ = {};
    pageCount_ = 0;
    current_ = 0;
    infoPages_ = 0;
    loadedPath_.clear();
}

}  // namespace rastel
