#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "settings_model/convert_settings.h"
#include "settings_model/format_catalogue.h"
#include "settings_model/option_tables.h"
#include "settings_model/setting_rules.h"

using namespace rastel;

namespace {

using Depths = std::vector<int16_t>;

TEST(Catalogue, FamilyTableNamesExtensionsAndSubFormatCounts) {
    struct Row {
        const char* name;
        const char* ext;
        std::size_t subFormats;
    };
    const Row rows[] = {
        {"AWD形式", ".awd", 1}, {"BMP形式", ".bmp", 4}, {"CAL形式", ".cal", 1}, {"CMP形式", ".cmp", 2},
        {"EPS形式", ".eps", 1}, {"FAX形式", ".fax", 3}, {"FPX形式", ".fpx", 3}, {"GIF形式", ".gif", 1},
        {"ICA形式", ".ica", 6}, {"IMG形式", ".img", 1}, {"JPG形式", ".jpg", 5}, {"MAC形式", ".mac", 1},
        {"MSP形式", ".msp", 1}, {"PCT形式", ".pct", 1}, {"PCX形式", ".pcx", 1}, {"PNG形式", ".png", 1},
        {"PSD形式", ".psd", 1}, {"RAS形式", ".ras", 1}, {"TGA形式", ".tga", 1}, {"TIF形式", ".tif", 18},
        {"WFX形式", ".wfx", 2}, {"WMF形式", ".wmf", 1}, {"", ".wpg", 1},
    };
    const auto& cat = FormatCatalogue();
    ASSERT_EQ(cat.size(), std::size(rows));
    for (std::size_t f = 0; f < cat.size(); ++f) {
        EXPECT_EQ(cat[f].DisplayName, rows[f].name) << "family " << f;
        EXPECT_EQ(cat[f].Extension, rows[f].ext) << "family " << f;
        EXPECT_EQ(cat[f].SubFormats.size(), rows[f].subFormats) << "family " << f;
    }
}

// A second transcription of the rows most easily mistyped: texts that differ
// by one letter, depth lists that differ between similar sub-formats.
TEST(Catalogue, SelectedSubFormatRows) {
    struct Row {
        int family, position;
        const char* name;
        int32_t code;
        Depths depths;
    };
    const Row rows[] = {
        {0, 0, "Microsoft FAX", 99, {1}},
        {1, 0, "Windows BMP", 6, {1, 4, 8, 16, 24, 32}},
        {1, 1, "Windows BMP(RLE圧縮)", 84, {4, 8}},
        {1, 2, "OS/2 Ver1.x(非圧縮)", 14, {1, 4, 8, 24}},
        {1, 3, "OS/2 Ver2.x(非圧縮)", 74, {1, 4, 8, 24}},
        {3, 0, "CMP 圧縮", 5, {8, 24}},
        {3, 1, "CMP 1bit圧縮", 26, {1}},
        {4, 0, "Encapsulated PostScript", 16, {8}},
        {5, 0, "FAX CCIT-G3 1次元圧縮", 66, {1}},
        {6, 2, "FlashPix JPEG圧縮", 83, {8, 24}},
        {7, 0, "CompuServe", 2, {1, 2, 3, 4, 5, 6, 7, 8}},
        {8, 3, "IOCA CCIT-G3 1次元圧縮(MO:DCAなし)", 77, {1}},
        {8, 5, "IOCA CCIT-G4 圧縮(MO:DCAなし)", 79, {1}},
        {10, 0, "Exif", 98, {24}},
        {10, 1, "Exif Ver2.0", 101, {24}},
        {10, 4, "YUV 4:1:1", 21, {8, 24}},
        {15, 0, "CompuServe", 75, {1, 4, 8, 24}},
        {16, 0, "Adobe Photoshop 3.0", 76, {1, 8, 24}},
        {17, 0, "Sun Raster", 55, {1, 4, 8, 24, 32}},
        {18, 0, "TARGA", 4, {8, 16, 24, 32}},
        {19, 0, "非圧縮(RGB)", 3, {1, 2, 3, 4, 5, 6, 7, 8, 16, 24}},
        {19, 3, "LZW 圧縮(RGB)", 17, {1, 2, 3, 4, 5, 6, 7, 8, 16, 24, 32}},
        {19, 6, "PackBits 圧縮(RGB)", 87, {1, 2, 3, 4, 5, 6, 7, 8, 16, 24}},
        {19, 7, "PackBits 圧縮(CMYK)", 88, {24, 32}},
        {19, 9, "Exif(RGB)", 96, {24}},
        {19, 12, "JPEG互換(YUV 4:2:2)", 24, {8, 24}},
        {19, 14, "CCITT 圧縮", 25, {1}},
        {19, 17, "CCITT-G4 圧縮", 29, {1}},
        {20, 0, "Winfax CCITT-G3 1次元圧縮", 69, {1}},
        {20, 1, "Winfax CCITT-G4", 70, {1}},
        {21, 0, "Windows Meta File", 15, {8, 24}},
        {22, 0, "Word Perfect", 54, {1, 4, 8}},
    };
    const auto& cat = FormatCatalogue();
    for (const auto& r : rows) {
        const auto& sub = cat.at(r.family).SubFormats.at(r.position);
        EXPECT_EQ(sub.DisplayName, r.name) << r.family << "/" << r.position;
        EXPECT_EQ(sub.Code, r.code) << r.family << "/" << r.position;
        EXPECT_EQ(sub.Depths, r.depths) << r.family << "/" << r.position;
    }
}

TEST(Catalogue, CodesAreUniqueAndDepthsAscendWithinEightBitsToThirtyTwo) {
    std::set<int32_t> codes;
    std::size_t total = 0;
    for (const auto& family : FormatCatalogue()) {
        for (const auto& sub : family.SubFormats) {
            ++total;
            EXPECT_TRUE(codes.insert(sub.Code).second) << "code " << sub.Code << " twice";
            ASSERT_FALSE(sub.Depths.empty()) << sub.DisplayName;
            for (std::size_t i = 0; i < sub.Depths.size(); ++i) {
                EXPECT_TRUE(sub.Depths[i] >= 1 && sub.Depths[i] <= 32) << sub.DisplayName;
                if (i) {
                    EXPECT_LT(sub.Depths[i - 1], sub.Depths[i]) << sub.DisplayName;
                }
            }
        }
    }
    EXPECT_EQ(total, 58u);
}

TEST(Catalogue, DepthLookupAgreesWithEveryRow) {
    const auto& cat = FormatCatalogue();
    for (int f = 0; f < kFamilyCount; ++f)
        for (const auto& sub : cat[static_cast<std::size_t>(f)].SubFormats) {
            const auto depths = ColorDepthsFor(f, sub.Code);
            ASSERT_TRUE(depths.has_value()) << f << "/" << sub.Code;
            EXPECT_EQ(*depths, sub.Depths) << f << "/" << sub.Code;
        }
}

TEST(Catalogue, DepthLookupConsultsTheCodeOnlyForBmpCmpJpgTif) {
    struct Case {
        int family;
        int32_t code;
        std::optional<Depths> expected;
    };
    const Case cases[] = {
        {0, 12345, Depths{1}},                    // AWD ignores the code
        {7, 75, Depths{1, 2, 3, 4, 5, 6, 7, 8}},  // GIF with PNG's code is still GIF
        {22, 0, Depths{1, 4, 8}},
        {6, 0, Depths{8, 24}},
        {1, 84, Depths{4, 8}},
        {1, 2, std::nullopt},  // GIF's code is not a BMP code
        {3, 6, std::nullopt},
        {10, 11, std::nullopt},  // a TIF JPEG code is not a JPG code
        {19, 23, std::nullopt},
        {19, 22, Depths{8, 24}},
        {23, 6, std::nullopt},
        {-1, 6, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ColorDepthsFor(c.family, c.code), c.expected) << c.family << "/" << c.code;
}

TEST(Catalogue, ExtensionTableHasTwentyThreeEntriesAndSubFormatsShareIt) {
    ResetSettingsState();
    EXPECT_TRUE(ExtensionTable.empty());
    EXPECT_EQ(BuildExtensionTable(), 0);
    ASSERT_EQ(ExtensionTable.size(), 23u);
    EXPECT_EQ(ExtensionTable[1], ".bmp");
    EXPECT_EQ(ExtensionTable[19], ".tif");
    EXPECT_EQ(ExtensionTable[22], ".wpg");
    EXPECT_EQ(BuildExtensionTable(), 0);
    EXPECT_EQ(ExtensionTable.size(), 23u) << "building twice must not append";
}

TEST(OptionTables, DitherCodesSwapStuckiAndBurkes) {
    ResetSettingsState();
    EXPECT_EQ(BuildDitherCodes(), 0);
    EXPECT_EQ(DitherCodes, (std::vector<int32_t>{0, 1, 3, 2, 4, 5, 6, 7, 8}));
    ASSERT_EQ(DitherNames().size(), 9u);
    EXPECT_EQ(DitherNames()[0], "ディザリングなし");
    EXPECT_EQ(DitherNames()[2], "Stucki法");
    EXPECT_EQ(DitherNames()[3], "Burkes法");
    EXPECT_EQ(DitherNames()[5], "Stevenson Arce法");
    EXPECT_EQ(DitherNames()[8], "クラスタ法");
}

TEST(OptionTables, RotateAnglesAndNames) {
    ResetSettingsState();
    EXPECT_EQ(BuildRotateAngles(), 0);
    EXPECT_EQ(RotateAngles, (std::vector<int16_t>{0, 90, 180, 270, -90, -180, -270}));
    const std::vector<std::string> names{"回転なし", "右 90度", "右180度", "右270度", "左 90度", "左180度", "左270度"};
    EXPECT_EQ(RotateNames(), names);
}

TEST(OptionTables, QualityCodesAreExactlyTheTen) {
    std::set<int32_t> expected{5, 83, 98, 101, 10, 23, 21, 11, 24, 22};
    for (const auto& family : FormatCatalogue())
        for (const auto& sub : family.SubFormats)
            EXPECT_EQ(IsQualityCode(sub.Code), expected.count(sub.Code) == 1) << sub.DisplayName;
    EXPECT_FALSE(IsQualityCode(96));
    EXPECT_FALSE(IsQualityCode(97));
    EXPECT_FALSE(IsQualityCode(0));
}

TEST(ConvertSettings, DefaultsGiveWindowsBmpAt24Bits) {
    ResetSettingsState();
    BuildExtensionTable();
    RebuildDerivedLists();
    EXPECT_EQ(CurrentFormatCode(), 6);
    EXPECT_EQ(CurrentColorBits(), 24);
    EXPECT_EQ(ExtensionTable[static_cast<std::size_t>(ConvertSettings.FormatType)], ".bmp");
}

TEST(ConvertSettings, CurrentValuesThrowOutsideTheDerivedLists) {
    ResetSettingsState();
    EXPECT_THROW(CurrentFormatCode(), SettingsIndexError);  // empty before any fill
    EXPECT_THROW(CurrentColorBits(), SettingsIndexError);
    RebuildDerivedLists();
    struct Case {
        int16_t details, color;
        bool codeOk, bitsOk;
    };
    const Case cases[] = {
        {0, 4, true, true}, {3, 5, true, true}, {4, 6, false, false}, {-1, -1, false, false}, {32767, 0, false, true}};
    for (const auto& c : cases) {
        ConvertSettings.FormatDetails = c.details;
        ConvertSettings.ColorType = c.color;
        if (c.codeOk) {
            EXPECT_NO_THROW(CurrentFormatCode()) << c.details;
        } else {
            EXPECT_THROW(CurrentFormatCode(), std::out_of_range) << c.details;
        }
        if (c.bitsOk) {
            EXPECT_NO_THROW(CurrentColorBits()) << c.color;
        } else {
            EXPECT_THROW(CurrentColorBits(), std::out_of_range) << c.color;
        }
    }
}

}  // namespace
