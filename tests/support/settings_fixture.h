#pragma once

// The fixture the settings-model suites share: the settings state reset and
// its tables built as the application does at start-up, with empty lists for
// the fill functions.

#include <gtest/gtest.h>

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

}  // namespace rastel::test
