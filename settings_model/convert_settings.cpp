#include "settings_model/convert_settings.h"

#include "settings_model/format_catalogue.h"
#include "settings_model/option_tables.h"

namespace rastel {

ConvertSettingsRecord ConvertSettings;

int32_t CurrentFormatCode() {
    const auto& codes = ConvertSettings.DetailCodes;
    const int index = ConvertSettings.FormatDetails;
    if (index < 0 || static_cast<std::size_t>(index) >= codes.size())
        throw SettingsIndexError("FormatDetails " + std::to_string(index) + " outside the " +
                                 std::to_string(codes.size()) + " sub-format codes");
    return codes[static_cast<std::size_t>(index)];
}

int16_t CurrentColorBits() {
    const auto& bits = ConvertSettings.ColorBits;
    const int index = ConvertSettings.ColorType;
    if (index < 0 || static_cast<std::size_t>(index) >= bits.size())
        throw SettingsIndexError("ColorType " + std::to_string(index) + " outside the " + std::to_string(bits.size()) +
                                 " colour depths");
    return bits[static_cast<std::size_t>(index)];
}

void ResetSettingsState() {
    ConvertSettings = ConvertSettingsRecord{};
    ExtensionTable.clear();
    DitherCodes.clear();
    RotateAngles.clear();
}

}  // namespace rastel
