#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "settings_model/setting_rules.h"
#include "tests/support/settings_fixture.h"

using namespace rastel;

namespace {

class Rules : public test::SettingsModelTest {};

// The default depth is 24 bits where a sub-format offers it, else its greatest.
TEST_F(Rules, DefaultColorTypeChoosesTwentyFourBitsOrTheGreatestForEverySubFormat) {
    const auto& cat = FormatCatalogue();
    for (int f = 0; f < kFamilyCount; ++f) {
        const auto& subs = cat[static_cast<std::size_t>(f)].SubFormats;
        for (std::size_t d = 0; d < subs.size(); ++d) {
            ConvertSettings.FormatType = static_cast<int16_t>(f);
            ConvertSettings.FormatDetails = static_cast<int16_t>(d);
            ConvertSettings.ColorType = -7;
            RebuildDerivedLists();
            ASSERT_EQ(DefaultColorType(), 0) << subs[d].DisplayName;
            const auto& depths = subs[d].Depths;
            const bool has24 = std::find(depths.begin(), depths.end(), 24) != depths.end();
            ASSERT_NE(ConvertSettings.ColorType, -7) << subs[d].DisplayName;
            EXPECT_EQ(CurrentColorBits(), has24 ? 24 : depths.back()) << subs[d].DisplayName;
        }
    }
}

TEST_F(Rules, DefaultColorTypePositions) {
    struct Case {
        int16_t family, details, color;
    };
    const Case cases[] = {
        {0, 0, 0},   {1, 0, 4},   {1, 1, 1},  {1, 2, 3},  {1, 3, 3},  {3, 0, 1},   {3, 1, 0},   {4, 0, 0},
        {6, 2, 1},   {7, 0, 7},   {10, 0, 0}, {10, 1, 0}, {10, 3, 1}, {13, 0, 3},  {16, 0, 2},  {17, 0, 3},
        {18, 0, 2},  {19, 0, 9},  {19, 3, 9}, {19, 6, 9}, {19, 1, 0}, {19, 10, 0}, {19, 11, 1}, {19, 13, 1},
        {19, 14, 0}, {19, 17, 0}, {20, 1, 0}, {21, 0, 1}, {22, 0, 2},
    };
    for (const auto& c : cases) {
        ConvertSettings.FormatType = c.family;
        ConvertSettings.FormatDetails = c.details;
        RebuildDerivedLists();
        ConvertSettings.ColorType = 99;
        EXPECT_EQ(DefaultColorType(), 0);
        EXPECT_EQ(ConvertSettings.ColorType, c.color) << c.family << "/" << c.details;
    }
}

TEST_F(Rules, DefaultColorTypeKeepsTheValueWhereTheTableGivesNone) {
    struct Case {
        int16_t family;
        std::vector<int32_t> codes;
        int16_t details;
        int16_t status;
    };
    const Case cases[] = {
        {1, {2}, 0, 0},                         // a code BMP does not list: unchanged, no failure
        {19, {98}, 0, 0}, {23, {6}, 0, 0},      // family outside the catalogue
        {-3, {6}, 0, 0},  {1, {6, 84}, 2, -1},  // the code cannot be read: failure, unchanged
        {10, {}, 0, -1},
    };
    for (const auto& c : cases) {
        ConvertSettings.FormatType = c.family;
        ConvertSettings.DetailCodes = c.codes;
        ConvertSettings.FormatDetails = c.details;
        ConvertSettings.ColorType = 5;
        EXPECT_EQ(DefaultColorType(), c.status) << c.family;
        EXPECT_EQ(ConvertSettings.ColorType, 5) << c.family;
    }
    // A family chosen without the code needs no derived list at all.
    ConvertSettings.FormatType = 7;
    ConvertSettings.DetailCodes.clear();
    EXPECT_EQ(DefaultColorType(), 0);
    EXPECT_EQ(ConvertSettings.ColorType, 7);
}

TEST_F(Rules, DefaultDitheringFollowsTheEightBitThreshold) {
    struct Case {
        std::vector<int16_t> bits;
        int16_t color, status, dithering;
    };
    const Case cases[] = {
        {{8, 16}, 0, 0, 1}, {{8, 16}, 1, 0, 0}, {{1}, 0, 0, 1}, {{24, 32}, 1, 0, 0}, {{4, 8}, 2, -1, 6}, {{}, 0, -1, 6},
    };
    for (const auto& c : cases) {
        ConvertSettings.ColorBits = c.bits;
        ConvertSettings.ColorType = c.color;
        ConvertSettings.DitheringType = 6;
        EXPECT_EQ(DefaultDithering(), c.status);
        EXPECT_EQ(ConvertSettings.DitheringType, c.dithering);
    }
}

TEST_F(Rules, SimpleRulesAndQualityControlsLeaveQualityAlone) {
    ConvertSettings.FormatDetails = 3;
    ConvertSettings.Quality = 200;
    EXPECT_EQ(ResetDetails(), 0);
    EXPECT_EQ(ConvertSettings.FormatDetails, 0);
    ConvertSettings.DetailCodes = {96};
    lists.QualityControlsEnabled = true;
    EXPECT_EQ(EnableQualityControls(lists), 0);
    EXPECT_FALSE(lists.QualityControlsEnabled);
    EXPECT_EQ(ConvertSettings.Quality, 200);
    ConvertSettings.DetailCodes = {83};
    EXPECT_EQ(EnableQualityControls(lists), 0);
    EXPECT_TRUE(lists.QualityControlsEnabled);
    ConvertSettings.FormatDetails = 1;
    lists.QualityControlsEnabled = false;
    EXPECT_EQ(EnableQualityControls(lists), -1);
    EXPECT_FALSE(lists.QualityControlsEnabled);
    EXPECT_EQ(DefaultQuality(), 0);
    EXPECT_EQ(ConvertSettings.Quality, 2);
}

struct Net {
    int16_t details, color, dithering, quality;
    int bits;
    bool qualityEnabled, ditherEnabled;
};

void expectNet(const SettingsLists& lists, const Net& n, const std::string& what) {
    EXPECT_EQ(ConvertSettings.FormatDetails, n.details) << what;
    EXPECT_EQ(ConvertSettings.ColorType, n.color) << what;
    EXPECT_EQ(CurrentColorBits(), n.bits) << what;
    EXPECT_EQ(ConvertSettings.DitheringType, n.dithering) << what;
    EXPECT_EQ(ConvertSettings.Quality, n.quality) << what;
    EXPECT_EQ(lists.QualityControlsEnabled, n.qualityEnabled) << what;
    EXPECT_EQ(lists.Frame6Enabled, n.ditherEnabled) << what;
    EXPECT_EQ(lists.ComboDither.Enabled, n.ditherEnabled) << what;
    EXPECT_EQ(lists.ComboDetails.Selected, n.details) << what;
    EXPECT_EQ(lists.ComboColor.Selected, n.color) << what;
    EXPECT_EQ(lists.ComboDither.Selected, n.dithering) << what;
    EXPECT_EQ(lists.HScrollQtyValue, n.quality) << what;
    EXPECT_EQ(lists.lblQtyCaption, std::to_string(n.quality)) << what;
}

TEST_F(Rules, ChoosingAFamilyAppliesEveryDefaultAndKeepsTheFlags) {
    struct Case {
        int family;
        Net net;
    };
    const Case cases[] = {
        {7, {0, 7, 1, 2, 8, false, true}},    // GIF
        {10, {0, 0, 0, 2, 24, true, false}},  // JPG: Exif
        {1, {0, 4, 0, 2, 24, false, false}},  // BMP
        {3, {0, 1, 0, 2, 24, true, false}},   // CMP compression takes a quality factor
        {5, {0, 0, 1, 2, 1, false, true}},    // FAX
        {0, {0, 0, 1, 2, 1, false, true}},
    };
    for (const auto& c : cases) {
        ResetSettingsState();
        LoadLists(lists);
        ConvertSettings.FormatDetails = 2;
        ConvertSettings.Grayscale = 1;
        ConvertSettings.RotateType = 5;
        ConvertSettings.Reverse = 1;
        ConvertSettings.DitheringType = 6;
        ConvertSettings.Quality = 180;
        ChooseFormatFamily(lists, c.family);
        EXPECT_EQ(ConvertSettings.FormatType, c.family);
        EXPECT_EQ(lists.ComboFormat.Selected, c.family);
        expectNet(lists, c.net, "family " + std::to_string(c.family));
        EXPECT_EQ(ConvertSettings.Grayscale, 1);
        EXPECT_EQ(ConvertSettings.RotateType, 5);
        EXPECT_EQ(ConvertSettings.Reverse, 1);
    }
}

TEST_F(Rules, ChoosingATifSubFormat) {
    struct Case {
        int details;
        Net net;
    };
    const Case cases[] = {
        {17, {17, 0, 1, 2, 1, false, true}},   // CCITT-G4
        {12, {12, 1, 0, 2, 24, true, false}},  // JPEG-compatible 4:2:2
        {9, {9, 0, 0, 2, 24, false, false}},   // Exif(RGB): no quality factor
        {3, {3, 9, 0, 2, 24, false, false}},   // LZW RGB
    };
    for (const auto& c : cases) {
        ResetSettingsState();
        LoadLists(lists);
        ChooseFormatFamily(lists, 19);
        ConvertSettings.Quality = 77;  // the user moved the slider
        ChooseSubFormat(lists, c.details);
        EXPECT_EQ(ConvertSettings.FormatType, 19);
        expectNet(lists, c.net, "details " + std::to_string(c.details));
    }
}

TEST_F(Rules, ChoosingAColourDepthResetsOnlyTheDithering) {
    struct Case {
        int color;
        int16_t dithering;
        bool enabled;
    };
    const Case cases[] = {{2, 1, true}, {3, 0, false}, {0, 1, true}, {5, 0, false}};
    for (const auto& c : cases) {
        ResetSettingsState();
        LoadLists(lists);  // BMP, Windows BMP
        ConvertSettings.DitheringType = 4;
        ConvertSettings.Quality = 99;
        ChooseColorDepth(lists, c.color);
        EXPECT_EQ(ConvertSettings.ColorType, c.color);
        EXPECT_EQ(ConvertSettings.DitheringType, c.dithering) << c.color;
        EXPECT_EQ(lists.ComboDither.Selected, c.dithering);
        EXPECT_EQ(lists.Frame6Enabled, c.enabled);
        EXPECT_EQ(ConvertSettings.Quality, 99);
        EXPECT_EQ(ConvertSettings.FormatDetails, 0);
    }
}

TEST_F(Rules, PicksOutsideTheListAreIgnored) {
    LoadLists(lists);
    const ConvertSettingsRecord before = ConvertSettings;
    ChooseFormatFamily(lists, -1);
    ChooseFormatFamily(lists, 23);
    ChooseSubFormat(lists, 4);
    ChooseColorDepth(lists, 6);
    ChooseColorDepth(lists, -1);
    EXPECT_EQ(ConvertSettings.FormatType, before.FormatType);
    EXPECT_EQ(ConvertSettings.FormatDetails, before.FormatDetails);
    EXPECT_EQ(ConvertSettings.ColorType, before.ColorType);
    EXPECT_EQ(ConvertSettings.DetailCodes, before.DetailCodes);
}

TEST_F(Rules, LoadingShowsTheStoredValuesWithoutDefaults) {
    ConvertSettings.FormatType = 10;
    ConvertSettings.FormatDetails = 2;
    ConvertSettings.ColorType = 0;  // 8 bits, where a default would give 24
    ConvertSettings.DitheringType = 5;
    ConvertSettings.RotateType = 4;
    ConvertSettings.Quality = 200;
    LoadLists(lists);
    EXPECT_EQ(lists.ComboFormat.Selected, 10);
    EXPECT_EQ(lists.ComboDetails.Selected, 2);
    EXPECT_EQ(lists.ComboColor.Selected, 0);
    EXPECT_EQ(lists.ComboDither.Selected, 5);
    EXPECT_EQ(lists.ComboRotate.Selected, 4);
    EXPECT_TRUE(lists.Frame6Enabled);
    EXPECT_TRUE(lists.QualityControlsEnabled);
    EXPECT_EQ(lists.HScrollQtyValue, 200);
    EXPECT_EQ(lists.lblQtyCaption, "200");
    EXPECT_EQ(ConvertSettings.Quality, 200);
    EXPECT_EQ(ConvertSettings.DitheringType, 5);
    EXPECT_EQ(ConvertSettings.DetailCodes, (std::vector<int32_t>{98, 101, 10, 23, 21}));
    EXPECT_EQ(ConvertSettings.ColorBits, (std::vector<int16_t>{8, 24}));

    // Stored dithering above 8 bits stays in the disabled list.
    ConvertSettings.ColorType = 1;
    LoadLists(lists);
    EXPECT_FALSE(lists.Frame6Enabled);
    EXPECT_EQ(lists.ComboDither.Selected, 5);
    EXPECT_EQ(ConvertSettings.DitheringType, 5);
}

TEST_F(Rules, FamilyTwentyTwoCanBeChosenWithoutAnyFilledList) {
    ConvertSettings.Quality = 50;
    ChooseFormatFamily(lists, 22);
    EXPECT_EQ(ConvertSettings.FormatType, 22);
    EXPECT_EQ(lists.ComboFormat.Selected, -1) << "the family list has no entry 22";
    expectNet(lists, {0, 2, 1, 2, 8, false, true}, "family 22");
}

TEST_F(Rules, LoadingFamilyTwentyTwoShowsNoFamilyButBuildsItsLists) {
    ConvertSettings.FormatType = 22;
    ConvertSettings.ColorType = 2;
    LoadLists(lists);
    EXPECT_EQ(lists.ComboFormat.Entries.size(), 22u);
    EXPECT_EQ(lists.ComboFormat.Selected, -1);
    EXPECT_EQ(lists.ComboDetails.Entries, (std::vector<std::string>{"Word Perfect"}));
    EXPECT_EQ(CurrentFormatCode(), 54);
    EXPECT_EQ(CurrentColorBits(), 8);
}

TEST_F(Rules, RepairBringsEveryFieldIntoRangeInDependencyOrder) {
    struct Case {
        ConvertSettingsRecord in, out;
    };
    auto rec = [](int16_t ft, int16_t fd, int16_t ct, int16_t gs, int16_t dt, int16_t rt, int16_t rv, int16_t q) {
        ConvertSettingsRecord r;
        r.FormatType = ft, r.FormatDetails = fd, r.ColorType = ct, r.Grayscale = gs;
        r.DitheringType = dt, r.RotateType = rt, r.Reverse = rv, r.Quality = q;
        return r;
    };
    const Case cases[] = {
        {rec(1, 0, 4, 0, 0, 0, 0, 2), rec(1, 0, 4, 0, 0, 0, 0, 2)},
        {rec(23, 0, 4, 0, 0, 0, 0, 2), rec(1, 0, 4, 0, 0, 0, 0, 2)},
        {rec(-1, 3, 1, 0, 0, 0, 0, 2), rec(1, 3, 1, 0, 0, 0, 0, 2)},
        {rec(22, 0, 2, 1, 3, 6, 1, 255), rec(22, 0, 2, 1, 3, 6, 1, 255)},
        {rec(7, 1, 0, 0, 0, 0, 0, 2), rec(7, 0, 0, 0, 0, 0, 0, 2)},
        {rec(19, 17, 9, 0, 2, 0, 0, 2), rec(19, 17, 0, 0, 2, 0, 0, 2)},  // 1-bit CCITT: colour default 0
        {rec(7, 0, 8, 0, 9, 0, 0, 2), rec(7, 0, 7, 0, 1, 0, 0, 2)},      // dithering default uses repaired depth
        {rec(1, 0, 4, 0, -1, 0, 0, 2), rec(1, 0, 4, 0, 0, 0, 0, 2)},     // 24 bits: no dithering
        {rec(1, 0, 4, 2, 0, 7, -1, 1), rec(1, 0, 4, 0, 0, 0, 0, 2)},
        {rec(1, 0, 4, 0, 0, -1, 0, 256), rec(1, 0, 4, 0, 0, 0, 0, 2)},
        {rec(10, 9, 5, 0, 0, 0, 0, 100), rec(10, 0, 0, 0, 0, 0, 0, 100)},  // JPG Exif: 24 bits only
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        ResetSettingsState();
        ConvertSettings = cases[i].in;
        ConvertSettings.DetailCodes = {1, 2, 3};
        ConvertSettings.ColorBits = {};
        RepairSettingsRanges();
        const auto& o = cases[i].out;
        const auto& s = ConvertSettings;
        EXPECT_EQ((std::vector<int>{s.FormatType, s.FormatDetails, s.ColorType, s.Grayscale, s.DitheringType,
                                    s.RotateType, s.Reverse, s.Quality}),
                  (std::vector<int>{o.FormatType, o.FormatDetails, o.ColorType, o.Grayscale, o.DitheringType,
                                    o.RotateType, o.Reverse, o.Quality}))
            << "case " << i;
        // The derived lists describe the repaired record.
        const auto& sub = FormatCatalogue()[static_cast<std::size_t>(s.FormatType)]
                              .SubFormats[static_cast<std::size_t>(s.FormatDetails)];
        EXPECT_EQ(CurrentFormatCode(), sub.Code) << "case " << i;
        EXPECT_EQ(s.ColorBits, sub.Depths) << "case " << i;
        EXPECT_NO_THROW(CurrentColorBits()) << "case " << i;
    }
}

}  // namespace
