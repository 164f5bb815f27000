#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings_model/setting_rules.h"
#include "tests/support/settings_fixture.h"

using namespace rastel;

namespace {

using Strings = std::vector<std::string>;

class ListFill : public test::SettingsModelTest {};

TEST_F(ListFill, FamilyListHasTwentyTwoEntriesEvenWhenFilledTwice) {
    ConvertSettings.FormatType = 22;
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(FillFormatList(lists), 0);
        ASSERT_EQ(lists.ComboFormat.Entries.size(), 22u);
        EXPECT_EQ(lists.ComboFormat.Entries.front(), "AWD形式");
        EXPECT_EQ(lists.ComboFormat.Entries.back(), "WMF形式");
        EXPECT_EQ(lists.ComboFormat.Selected, -1);
    }
}

TEST_F(ListFill, DetailsAndColourFillsPerFamily) {
    struct Case {
        int16_t family, details;
        Strings detailNames;
        std::vector<int32_t> codes;
        Strings colours;
    };
    const Case cases[] = {
        {1,
         0,
         {"Windows BMP", "Windows BMP(RLE圧縮)", "OS/2 Ver1.x(非圧縮)", "OS/2 Ver2.x(非圧縮)"},
         {6, 84, 14, 74},
         {"1", "4", "8", "16", "24", "32"}},
        {1,
         1,
         {"Windows BMP", "Windows BMP(RLE圧縮)", "OS/2 Ver1.x(非圧縮)", "OS/2 Ver2.x(非圧縮)"},
         {6, 84, 14, 74},
         {"4", "8"}},
        {7, 0, {"CompuServe"}, {2}, {"1", "2", "3", "4", "5", "6", "7", "8"}},
        {15, 0, {"CompuServe"}, {75}, {"1", "4", "8", "24"}},
        {22, 0, {"Word Perfect"}, {54}, {"1", "4", "8"}},
        {10, 1, {"Exif", "Exif Ver2.0", "YUV 4:4:4", "YUV 4:2:2", "YUV 4:1:1"}, {98, 101, 10, 23, 21}, {"24"}},
        {3, 1, {"CMP 圧縮", "CMP 1bit圧縮"}, {5, 26}, {"1"}},
    };
    for (const auto& c : cases) {
        ConvertSettings.FormatType = c.family;
        ConvertSettings.FormatDetails = c.details;
        EXPECT_EQ(FillDetailsList(lists), 0) << c.family;
        EXPECT_EQ(lists.ComboDetails.Entries, c.detailNames) << c.family;
        EXPECT_EQ(ConvertSettings.DetailCodes, c.codes) << c.family;
        EXPECT_EQ(FillColorList(lists), 0) << c.family;
        EXPECT_EQ(lists.ComboColor.Entries, c.colours) << c.family;
        EXPECT_EQ(ConvertSettings.ColorBits.size(), c.colours.size()) << c.family;
        EXPECT_EQ(lists.ComboDetails.Selected, -1);
        EXPECT_EQ(lists.ComboColor.Selected, -1);
    }
}

TEST_F(ListFill, TifFamilyHasEighteenSubFormats) {
    ConvertSettings.FormatType = 19;
    EXPECT_EQ(FillDetailsList(lists), 0);
    EXPECT_EQ(lists.ComboDetails.Entries.size(), 18u);
    EXPECT_EQ(ConvertSettings.DetailCodes.size(), 18u);
    EXPECT_EQ(lists.ComboDetails.Entries[17], "CCITT-G4 圧縮");
}

TEST_F(ListFill, DitherListEnabledOnlyAtEightBitsOrLess) {
    struct Case {
        int16_t family, details, color;
        int bits;
        bool enabled;
    };
    const Case cases[] = {
        {7, 0, 7, 8, true},   {7, 0, 0, 1, true},   {1, 0, 3, 16, false},
        {1, 0, 4, 24, false}, {1, 0, 5, 32, false}, {19, 3, 7, 8, true},
    };
    for (const auto& c : cases) {
        ConvertSettings.FormatType = c.family;
        ConvertSettings.FormatDetails = c.details;
        ConvertSettings.ColorType = c.color;
        RebuildDerivedLists();
        ASSERT_EQ(CurrentColorBits(), c.bits);
        lists.Frame6Enabled = !c.enabled;
        lists.ComboDither.Enabled = !c.enabled;
        EXPECT_EQ(FillDitherList(lists), 0);
        EXPECT_EQ(lists.Frame6Enabled, c.enabled) << c.bits;
        EXPECT_EQ(lists.ComboDither.Enabled, c.enabled) << c.bits;
        EXPECT_EQ(lists.ComboDither.Entries, DitherNames()) << "a disabled list still holds the nine names";
    }
}

TEST_F(ListFill, RotateListHoldsSevenNames) {
    lists.ComboRotate.Entries = {"stale"};
    EXPECT_EQ(FillRotateList(lists), 0);
    EXPECT_EQ(lists.ComboRotate.Entries, RotateNames());
}

TEST_F(ListFill, FamilyOutsideTheCatalogueLeavesDetailsEmptyAndDerivedListsAsTheyWere) {
    ConvertSettings.FormatType = 7;
    RebuildDerivedLists();
    lists.ComboDetails.Entries = {"old"};
    ConvertSettings.FormatType = 23;
    EXPECT_EQ(FillDetailsList(lists), -1);
    EXPECT_TRUE(lists.ComboDetails.Entries.empty());
    EXPECT_EQ(ConvertSettings.DetailCodes, (std::vector<int32_t>{2}));
    // The colour fill keeps ColorBits and refills its list from them.
    EXPECT_EQ(FillColorList(lists), 0);
    EXPECT_EQ(ConvertSettings.ColorBits, (std::vector<int16_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(lists.ComboColor.Entries.size(), 8u);
}

TEST_F(ListFill, SubFormatOutsideStopsTheColourFillOnlyWhereTheCodeMatters) {
    struct Case {
        int16_t family;
        int16_t details;
        int16_t status;
        std::size_t entries;  // colour entries afterwards
    };
    const Case cases[] = {
        {1, 4, -1, 1},    // BMP reads the code: stop, leave the stale list
        {19, 18, -1, 1},  // TIF likewise
        {10, -1, -1, 1},  // JPG with a negative position
        {8, 6, 0, 1},     // ICA ignores the code: depths 1
        {7, 3, 0, 8},     // GIF ignores the code
    };
    for (const auto& c : cases) {
        ConvertSettings.FormatType = c.family;
        ConvertSettings.FormatDetails = 0;
        FillDetailsList(lists);
        ConvertSettings.ColorBits = {99};
        lists.ComboColor.Entries = {"stale"};
        ConvertSettings.FormatDetails = c.details;
        EXPECT_EQ(FillColorList(lists), c.status) << c.family;
        EXPECT_EQ(lists.ComboColor.Entries.size(), c.entries) << c.family;
        if (c.status == -1) {
            EXPECT_EQ(lists.ComboColor.Entries, Strings{"stale"});
            EXPECT_EQ(ConvertSettings.ColorBits, (std::vector<int16_t>{99}));
        }
    }
}

TEST_F(ListFill, ColourPositionOutsideStopsTheDitherFillBeforeAnything) {
    ConvertSettings.FormatType = 1;
    RebuildDerivedLists();
    lists.Frame6Enabled = true;
    lists.ComboDither.Enabled = true;
    lists.ComboDither.Entries = {"stale"};
    for (int16_t color : {int16_t{6}, int16_t{-1}, int16_t{32767}}) {
        ConvertSettings.ColorType = color;
        EXPECT_EQ(FillDitherList(lists), -1);
        EXPECT_TRUE(lists.Frame6Enabled);
        EXPECT_TRUE(lists.ComboDither.Enabled);
        EXPECT_EQ(lists.ComboDither.Entries, Strings{"stale"});
    }
}

TEST_F(ListFill, SelectEntryRefusesPositionsOutsideTheList) {
    ListModel list{{"a", "b"}, 1, true};
    SelectEntry(list, 0);
    EXPECT_EQ(list.Selected, 0);
    SelectEntry(list, 2);
    EXPECT_EQ(list.Selected, -1);
    SelectEntry(list, -5);
    EXPECT_EQ(list.Selected, -1);
}

}  // namespace
