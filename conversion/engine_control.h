#pragma once

#include <memory>
#include <optional>

#include "conversion/imaging_control.h"
#include "imaging/engine.h"
#include "imaging/image.h"

namespace rastel {

// The imaging control over Rastel's own engine. The file ReadFileInfo reads
// is kept in memory and loaded from there when LoadFile follows for the same
// unchanged file. A loaded file keeps its bytes and one decoded page, the
// current one: selecting another page decodes it and releases the previous
// one, together with any processing done on it.
class EngineControl : public ImagingControl {
public:
    void ReadFileInfo(const std::string& path, int page) override;
    std::int32_t InfoPageCount() const override { return infoPages_; }
    void LoadFile(const std::string& path, int bitsMode, int firstPage, std::int16_t& pageCount) override;
    DisplayPicture CurrentPicture(int maxSide = 1024) const override;
    void ConvertToGrayscale(int bits) override;
    void MirrorImage() override;
    void RotateImage(std::int32_t hundredths, bool grow, FillColor fill) override;
    void ReduceColors(int bits, int paletteOption, int ditherCode, int colourCount) override;
    void SaveFile(const std::string& path, std::int32_t formatCode, int bits, std::int16_t& quality, int mode) override;
    void SaveWorkingFile(const std::string& path, const std::string& output, std::int32_t formatCode, int bits,
                         std::int16_t& quality) override;
    void AppendToWorkingFile(const std::string& path, std::int32_t formatCode, int bits,
                             std::int16_t& quality) override;
    void SetCurrentPageIndex(std::int32_t index) override;
    void ClearImage(int value) override;

    // The current page; empty when nothing is loaded.
    const imaging::Image& currentPage() const { return page_; }
    std::int32_t currentPageIndex() const { return current_; }

private:
    imaging::Image& page();
    const imaging::Image& page() const;

    // The file last examined, until LoadFile takes it.
    std::optional<imaging::InputFile> examined_;
    std::unique_ptr<imaging::PagedDocument> document_;
    imaging::Image page_;
    std::int32_t pageCount_ = 0;
    std::int32_t current_ = 0;
    std::int32_t infoPages_ = 0;
    std::string loadedPath_;
};

}  // namespace rastel
