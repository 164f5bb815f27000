#include "settings_model/format_catalogue.h"

#include <exception>

namespace rastel {

std::vector<std::string> ExtensionTable;

namespace {

using D = std::vector<int16_t>;

const D kOne{1};
const D kGif{1, 2, 3, 4, 5, 6, 7, 8};
const D kTiffRgb{1, 2, 3, 4, 5, 6, 7, 8, 16, 24};
const D kTiffLzwRgb{1, 2, 3, 4, 5, 6, 7, 8, 16, 24, 32};

std::vector<FormatFamily> buildCatalogue() {
    return {
        {"AWD形式", ".awd", {{"Microsoft FAX", 99, kOne}}},
        {"BMP形式",
         ".bmp",
         {{"Windows BMP", 6, {1, 4, 8, 16, 24, 32}},
          {"Windows BMP(RLE圧縮)", 84, {4, 8}},
          {"OS/2 Ver1.x(非圧縮)", 14, {1, 4, 8, 24}},
          {"OS/2 Ver2.x(非圧縮)", 74, {1, 4, 8, 24}}}},
        {"CAL形式", ".cal", {{"CALS Raster", 50, kOne}}},
        {"CMP形式", ".cmp", {{"CMP 圧縮", 5, {8, 24}}, {"CMP 1bit圧縮", 26, kOne}}},
        {"EPS形式", ".eps", {{"Encapsulated PostScript", 16, {8}}}},
        {"FAX形式",
         ".fax",
         {{"FAX CCIT-G3 1次元圧縮", 66, kOne}, {"FAX CCIT-G3 2次元圧縮", 67, kOne}, {"FAX CCIT-G4 圧縮", 68, kOne}}},
        {"FPX形式",
         ".fpx",
         {{"FlashPix 非圧縮", 80, {8, 24}}, {"FlashPix 単色圧縮", 81, {8, 24}}, {"FlashPix JPEG圧縮", 83, {8, 24}}}},
        {"GIF形式", ".gif", {{"CompuServe", 2, kGif}}},
        {"ICA形式",
         ".ica",
         {{"IOCA CCIT-G3 1次元圧縮", 71, kOne},
          {"IOCA CCIT-G3 2次元圧縮", 72, kOne},
          {"IOCA CCIT-G4 圧縮", 73, kOne},
          {"IOCA CCIT-G3 1次元圧縮(MO:DCAなし)", 77, kOne},
          {"IOCA CCIT-G3 2次元圧縮(MO:DCAなし)", 78, kOne},
          {"IOCA CCIT-G4 圧縮(MO:DCAなし)", 79, kOne}}},
        {"IMG形式", ".img", {{"GEM Image", 52, kOne}}},
        {"JPG形式",
         ".jpg",
         {{"Exif", 98, {24}},
          {"Exif Ver2.0", 101, {24}},
          {"YUV 4:4:4", 10, {8, 24}},
          {"YUV 4:2:2", 23, {8, 24}},
          {"YUV 4:1:1", 21, {8, 24}}}},
        {"MAC形式", ".mac", {{"MacPaint", 51, kOne}}},
        {"MSP形式", ".msp", {{"Microsoft Paint", 53, kOne}}},
        {"PCT形式", ".pct", {{"MacPict", 56, {1, 4, 8, 24}}}},
        {"PCX形式", ".pcx", {{"Zsoft PCX", 1, {1, 4, 8, 24}}}},
        {"PNG形式", ".png", {{"CompuServe", 75, {1, 4, 8, 24}}}},
        {"PSD形式", ".psd", {{"Adobe Photoshop 3.0", 76, {1, 8, 24}}}},
        {"RAS形式", ".ras", {{"Sun Raster", 55, {1, 4, 8, 24, 32}}}},
        {"TGA形式", ".tga", {{"TARGA", 4, {8, 16, 24, 32}}}},
        {"TIF形式",
         ".tif",
         {{"非圧縮(RGB)", 3, kTiffRgb},
          {"非圧縮(CMYK)", 85, {24, 32}},
          {"非圧縮(YCbCr)", 93, {24}},
          {"LZW 圧縮(RGB)", 17, kTiffLzwRgb},
          {"LZW 圧縮(CMYK)", 86, {24, 32}},
          {"LZW 圧縮(YCbCr)", 94, {24}},
          {"PackBits 圧縮(RGB)", 87, kTiffRgb},
          {"PackBits 圧縮(CMYK)", 88, {24, 32}},
          {"PackBits 圧縮(YCbCr)", 95, {24}},
          {"Exif(RGB)", 96, {24}},
          {"Exif(YCbCr)", 97, {24}},
          {"JPEG互換(YUV 4:4:4)", 11, {8, 24}},
          {"JPEG互換(YUV 4:2:2)", 24, {8, 24}},
          {"JPEG互換(YUV 4:1:1)", 22, {8, 24}},
          {"CCITT 圧縮", 25, kOne},
          {"CCITT-G3 1次元圧縮", 27, kOne},
          {"CCITT-G3 2次元圧縮", 28, kOne},
          {"CCITT-G4 圧縮", 29, kOne}}},
        {"WFX形式", ".wfx", {{"Winfax CCITT-G3 1次元圧縮", 69, kOne}, {"Winfax CCITT-G4", 70, kOne}}},
        {"WMF形式", ".wmf", {{"Windows Meta File", 15, {8, 24}}}},
        {"", ".wpg", {{"Word Perfect", 54, {1, 4, 8}}}},
    };
}

}  // namespace

const std::vector<FormatFamily>& FormatCatalogue() {
    static const std::vector<FormatFamily> catalogue = buildCatalogue();
    return catalogue;
}

std::optional<std::vector<int16_t>> ColorDepthsFor(int family, int32_t code) {
    if (family < 0 || family >= kFamilyCount) return std::nullopt;
    const auto& subFormats = FormatCatalogue()[static_cast<std::size_t>(family)].SubFormats;
    // Only the families with several depth lists choose by code; for the others
    // every sub-format shares one list and the code is not consulted.
    const bool byCode = family == 1 || family == 3 || family == 10 || family == 19;
    if (!byCode) return subFormats.front().Depths;
    for (const auto& sub : subFormats)
        if (sub.Code == code) return sub.Depths;
    return std::nullopt;
}

int16_t BuildExtensionTable() {
    try {
        std::vector<std::string> table;
        for (const auto& family : FormatCatalogue()) table.push_back(family.Extension);
        ExtensionTable = std::move(table);
        return 0;
    } catch (const std::exception&) {
        return -1;
    }
}

}  // namespace rastel
