#pragma once

// The fixture the settings-model suites share: the settings state reset and
// its tables built as the application does at start-up, with empty lists for
// the fill functions.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "settings_model/convert_settings.h"
#include "settings_model/setting_rules.h"

namespace rastel::test {

class SettingsModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSettingsState();
        BuildExtensionTable();
        BuildDitherCodes();
        BuildRotateAngles();
    }
    SettingsLists lists;
};

// The eight persisted settings in the file's order: FormatType, FormatDetails,
// ColorType, Grayscale, DitheringType, RotateType, Reverse, Quality.
using SettingsFields = std::array<int, 8>;

inline SettingsFields currentFields() {
    const auto& s = ConvertSettings;
    return {s.FormatType,    s.FormatDetails, s.ColorType, s.Grayscale,
            s.DitheringType, s.RotateType,    s.Reverse,   s.Quality};
}

inline void setFields(const SettingsFields& f) {
    auto& s = ConvertSettings;
    const auto at = [&](std::size_t i) { return static_cast<std::int16_t>(f[i]); };
    s.FormatType = at(0), s.FormatDetails = at(1), s.ColorType = at(2), s.Grayscale = at(3);
    s.DitheringType = at(4), s.RotateType = at(5), s.Reverse = at(6), s.Quality = at(7);
}

}  // namespace rastel::test
