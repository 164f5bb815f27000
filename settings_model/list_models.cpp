#include "settings_model/list_models.h"

#include <exception>

#include "settings_model/convert_settings.h"
#include "settings_model/format_catalogue.h"
#include "settings_model/option_tables.h"

namespace rastel {

void SelectEntry(ListModel& list, int index) {
    list.Selected = (index >= 0 && static_cast<std::size_t>(index) < list.Entries.size()) ? index : -1;
}

namespace {

void clearList(ListModel& list) {
    list.Entries.clear();
    list.Selected = -1;
}

// Families whose depth list depends on the sub-format's code.
bool depthsByCode(int family) { return family == 1 || family == 3 || family == 10 || family == 19; }

}  // namespace

int16_t FillFormatList(SettingsLists& lists) {
    try {
        clearList(lists.ComboFormat);
        const auto& catalogue = FormatCatalogue();
        for (int f = 0; f < kListedFamilyCount; ++f)
            lists.ComboFormat.Entries.push_back(catalogue[static_cast<std::size_t>(f)].DisplayName);
        return 0;
    } catch (const std::exception&) {
        return -1;
    }
}

int16_t FillDetailsList(SettingsLists& lists) {
    try {
        const int family = ConvertSettings.FormatType;
        const bool known = family >= 0 && family < kFamilyCount;
        const FormatFamily* rows = known ? &FormatCatalogue()[static_cast<std::size_t>(family)] : nullptr;
        if (rows) {
            std::vector<int32_t> codes;
            for (const auto& sub : rows->SubFormats) codes.push_back(sub.Code);
            ConvertSettings.DetailCodes = std::move(codes);
        }
        clearList(lists.ComboDetails);
        if (!rows) return -1;  // no rows: the list stays empty, DetailCodes as it was
        for (const auto& sub : rows->SubFormats) lists.ComboDetails.Entries.push_back(sub.DisplayName);
        return 0;
    } catch (const std::exception&) {
        return -1;
    }
}

int16_t FillColorList(SettingsLists& lists) {
    try {
        const int family = ConvertSettings.FormatType;
        // The code is read only where it chooses the list; an unreadable one
        // stops here with ColorBits and the list untouched.
        const int32_t code = depthsByCode(family) ? CurrentFormatCode() : 0;
        if (auto depths = ColorDepthsFor(family, code)) ConvertSettings.ColorBits = std::move(*depths);
        clearList(lists.ComboColor);
        for (int16_t bits : ConvertSettings.ColorBits) lists.ComboColor.Entries.push_back(std::to_string(bits));
        return 0;
    } catch (const std::exception&) {
        return -1;
    }
}

int16_t FillDitherList(SettingsLists& lists) {
    try {
        const bool enable = CurrentColorBits() <= 8;
        lists.Frame6Enabled = enable;
        lists.ComboDither.Enabled = enable;
        clearList(lists.ComboDither);
        // A disabled list still holds every name, so the stored method stays visible.
        lists.ComboDither.Entries = DitherNames();
        return 0;
    } catch (const std::exception&) {
        return -1;
    }
}

int16_t FillRotateList(SettingsLists& lists) {
    try {
        clearList(lists.ComboRotate);
        lists.ComboRotate.Entries = RotateNames();
        return 0;
    } catch (const std::exception&) {
        return -1;
    }
}

}  // namespace rastel
