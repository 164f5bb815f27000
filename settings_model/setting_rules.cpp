#include "settings_model/setting_rules.h"

#include <exception>
#include <optional>
#include <string>

namespace rastel {

namespace {

bool isOneOf(int32_t v, std::initializer_list<int32_t> set) {
    for (int32_t s : set)
        if (s == v) return true;
    return false;
}

// The default colour position for the current family and sub-format: 24 bits
// where offered, otherwise the greatest depth. None for a code the family
// does not list or a family outside the catalogue.
std::optional<int16_t> defaultColorPosition() {
    switch (ConvertSettings.FormatType) {
    case 0:
    case 2:
    case 5:
    case 8:
    case 9:
    case 11:
    case 12:
    case 20: return 0;
    case 4: return 0;
    case 6:
    case 21: return 1;
    case 7: return 7;
    case 13:
    case 14:
    case 15:
    case 17: return 3;
    case 16:
    case 18: return 2;
    case 22: return 2;
    case 1: {
        const int32_t code = CurrentFormatCode();
        if (code == 6) return 4;
        if (code == 84) return 1;
        if (isOneOf(code, {14, 74})) return 3;
        return std::nullopt;
    }
    case 3: {
        const int32_t code = CurrentFormatCode();
        if (code == 5) return 1;
        if (code == 26) return 0;
        return std::nullopt;
    }
    case 10: {
        const int32_t code = CurrentFormatCode();
        if (isOneOf(code, {98, 101})) return 0;
        if (isOneOf(code, {10, 23, 21})) return 1;
        return std::nullopt;
    }
    case 19: {
        const int32_t code = CurrentFormatCode();
        if (isOneOf(code, {3, 17, 87})) return 9;
        if (isOneOf(code, {85, 86, 88, 93, 94, 95, 96, 97})) return 0;
        if (isOneOf(code, {11, 24, 22})) return 1;
        if (isOneOf(code, {25, 27, 28, 29})) return 0;
        return std::nullopt;
    }
    default: return std::nullopt;
    }
}

void applyQualityValue(SettingsLists& lists) {
    lists.HScrollQtyValue = ConvertSettings.Quality;
    lists.lblQtyCaption = std::to_string(ConvertSettings.Quality);
}

// Steps shared by a family change and a sub-format change, from the colour
// default on.
void cascadeFromColorDefault(SettingsLists& lists) {
    DefaultColorType();
    FillColorList(lists);
    SelectEntry(lists.ComboColor, ConvertSettings.ColorType);
    DefaultDithering();
    FillDitherList(lists);
    SelectEntry(lists.ComboDither, ConvertSettings.DitheringType);
    DefaultQuality();
    EnableQualityControls(lists);
    applyQualityValue(lists);
}

bool inRange(int v, int lo, int hi) { return v >= lo && v <= hi; }

}  // namespace

int16_t ResetDetails() {
    ConvertSettings.FormatDetails = 0;
    return 0;
}

int16_t DefaultColorType() {
    try {
        if (auto position = defaultColorPosition()) ConvertSettings.ColorType = *position;
        return 0;
    } catch (const std::exception&) {
        return -1;
    }
}

int16_t DefaultDithering() {
    try {
        ConvertSettings.DitheringType = CurrentColorBits() <= 8 ? 1 : 0;
        return 0;
    } catch (const std::exception&) {
        return -1;
    }
}

int16_t DefaultQuality() {
    ConvertSettings.Quality = 2;
    return 0;
}

int16_t EnableQualityControls(SettingsLists& lists) {
    try {
        lists.QualityControlsEnabled = IsQualityCode(CurrentFormatCode());
        return 0;
    } catch (const std::exception&) {
        return -1;
    }
}

// A position outside the tables (such as the "nothing chosen" position -1) is
// ignored rather than stored in the record. Family 22 is accepted although the
// family list does not offer it: the headless converter can choose it.
void ChooseFormatFamily(SettingsLists& lists, int index) {
    if (!inRange(index, 0, kFamilyCount - 1)) return;
    SelectEntry(lists.ComboFormat, index);
    ConvertSettings.FormatType = static_cast<int16_t>(index);
    ResetDetails();
    FillDetailsList(lists);
    SelectEntry(lists.ComboDetails, ConvertSettings.FormatDetails);
    cascadeFromColorDefault(lists);
}

void ChooseSubFormat(SettingsLists& lists, int index) {
    if (!inRange(index, 0, static_cast<int>(ConvertSettings.DetailCodes.size()) - 1)) return;
    SelectEntry(lists.ComboDetails, index);
    ConvertSettings.FormatDetails = static_cast<int16_t>(index);
    cascadeFromColorDefault(lists);
}

void ChooseColorDepth(SettingsLists& lists, int index) {
    if (!inRange(index, 0, static_cast<int>(ConvertSettings.ColorBits.size()) - 1)) return;
    SelectEntry(lists.ComboColor, index);
    ConvertSettings.ColorType = static_cast<int16_t>(index);
    DefaultDithering();
    FillDitherList(lists);
    SelectEntry(lists.ComboDither, ConvertSettings.DitheringType);
}

void LoadLists(SettingsLists& lists) {
    FillFormatList(lists);
    SelectEntry(lists.ComboFormat, ConvertSettings.FormatType);
    FillDetailsList(lists);
    SelectEntry(lists.ComboDetails, ConvertSettings.FormatDetails);
    FillColorList(lists);
    SelectEntry(lists.ComboColor, ConvertSettings.ColorType);
    FillDitherList(lists);
    SelectEntry(lists.ComboDither, ConvertSettings.DitheringType);
    FillRotateList(lists);
    SelectEntry(lists.ComboRotate, ConvertSettings.RotateType);
    EnableQualityControls(lists);
    applyQualityValue(lists);
}

void RebuildDerivedLists() {
    SettingsLists scratch;
    FillDetailsList(scratch);
    FillColorList(scratch);
}

void RepairSettingsRanges() {
    auto& s = ConvertSettings;
    if (!inRange(s.FormatType, 0, kFamilyCount - 1)) s.FormatType = 1;
    const auto& family = FormatCatalogue()[static_cast<std::size_t>(s.FormatType)];
    if (!inRange(s.FormatDetails, 0, static_cast<int>(family.SubFormats.size()) - 1)) s.FormatDetails = 0;
    RebuildDerivedLists();
    if (!inRange(s.ColorType, 0, static_cast<int>(s.ColorBits.size()) - 1)) DefaultColorType();
    if (!inRange(s.DitheringType, 0, 8)) DefaultDithering();
    if (!inRange(s.RotateType, 0, 6)) s.RotateType = 0;
    if (!inRange(s.Grayscale, 0, 1)) s.Grayscale = 0;
    if (!inRange(s.Reverse, 0, 1)) s.Reverse = 0;
    if (!inRange(s.Quality, 2, 255)) s.Quality = 2;
}

}  // namespace rastel
