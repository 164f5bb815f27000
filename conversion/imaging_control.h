#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace rastel {

// A failing imaging operation: "<path>: <cause>", or the cause alone when it
// concerns no file.
class ImagingError : public std::runtime_error {
public:
    explicit ImagingError(const std::string& cause) : std::runtime_error(cause), cause_(cause) {}
    ImagingError(const std::string& path, const std::string& cause)
        : std::runtime_error(path + ": " + cause), path_(path), cause_(cause) {}
    const std::string& Path() const { return path_; }
    const std::string& Cause() const { return cause_; }

private:
    std::string path_;
    std::string cause_;
};

// What the window shows as the preview: 32-bit 0xAARRGGBB pixels, row after row.
struct DisplayPicture {
    int Width = 0;
    int Height = 0;
    std::vector<std::uint32_t> Pixels;
    bool empty() const { return Width == 0 || Height == 0; }
};

struct FillColor {
    std::uint8_t Red = 255, Green = 255, Blue = 255;
};

// The operation set the batch works through. Every operation either succeeds
// or throws ImagingError; processing and saving act on the current page.
class ImagingControl {
public:
    virtual ~ImagingControl() = default;

    // Examines `page` of a file without loading it; InfoPageCount becomes valid.
    virtual void ReadFileInfo(const std::string& path, int page) = 0;
    // Pages of the file last examined.
    virtual std::int32_t InfoPageCount() const = 0;
    // Loads the file at its own depth (`bitsMode` 0, the only mode the batch
    // uses; others are refused); `firstPage` 0 makes the first page current.
    // `pageCount` comes back as the number of pages of the file. The other
    // pages may be decoded only when they are selected.
    virtual void LoadFile(const std::string& path, int bitsMode, int firstPage, std::int16_t& pageCount) = 0;
    // The current page as a picture for display, at most `maxSide` pixels on its
    // longer side (aspect kept). Empty when nothing is loaded.
    virtual DisplayPicture CurrentPicture(int maxSide = 1024) const = 0;
    virtual void ConvertToGrayscale(int bits) = 0;
    virtual void MirrorImage() = 0;
    // Turns the page by hundredths of a degree, clockwise positive; `grow` enlarges
    // the canvas to hold the whole turned picture, uncovered corners take `fill`.
    virtual void RotateImage(std::int32_t hundredths, bool grow, FillColor fill) = 0;
    // Reduces to `bits` (1..8) with an optimised palette (`paletteOption` 2) and
    // the dithering method `ditherCode`; `colourCount` 0 means 2^bits.
    virtual void ReduceColors(int bits, int paletteOption, int ditherCode, int colourCount) = 0;
    // Mode 0 writes a new file (replacing one of that name); mode 1 appends the
    // current page to it. `quality` is read, never changed.
    virtual void SaveFile(const std::string& path, std::int32_t formatCode, int bits, std::int16_t& quality,
                          int mode) = 0;
    // SaveFile in mode 0 onto a private working file that is renamed to
    // `output` once complete; a format that records its file's name records
    // `output`, so the result is that of saving to `output` directly.
    virtual void SaveWorkingFile(const std::string& path, const std::string& output, std::int32_t formatCode, int bits,
                                 std::int16_t& quality) {
        (void)output;
        SaveFile(path, formatCode, bits, quality, 0);
    }
    // SaveFile in mode 1 onto a private working file that is renamed into place
    // once complete (the batch's multi-page staging file). An implementation
    // may write into such a file directly instead of replacing it whole, since
    // nobody sees it half-written.
    virtual void AppendToWorkingFile(const std::string& path, std::int32_t formatCode, int bits,
                                     std::int16_t& quality) {
        SaveFile(path, formatCode, bits, quality, 1);
    }
    // Selects the page (0-based) that the following operations act on. A page
    // that cannot be decoded fails here, like a load failure; changes made to
    // the page left behind need not survive it.
    virtual void SetCurrentPageIndex(std::int32_t index) = 0;
    // Drops every loaded page. `value` is the fill of the original interface and
    // has no effect: nothing is left to fill once the pages are gone.
    virtual void ClearImage(int value) = 0;
};

}  // namespace rastel
