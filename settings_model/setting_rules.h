#pragma once

#include <cstdint>

#include "settings_model/convert_settings.h"
#include "settings_model/format_catalogue.h"
#include "settings_model/list_models.h"
#include "settings_model/option_tables.h"

namespace rastel {

// Rules that keep the record consistent. Each writes at most one field, reads
// before it writes, and returns 0, or -1 (record unchanged) on an index error.
int16_t ResetDetails();      // FormatDetails := 0
int16_t DefaultColorType();  // ColorType := default for (FormatType, CurrentFormatCode)
int16_t DefaultDithering();  // DitheringType := 1 at 8 bits or less, else 0
int16_t DefaultQuality();    // Quality := 2
// Enables the quality controls for the codes that take a quality factor;
// never changes Quality.
int16_t EnableQualityControls(SettingsLists& lists);

// The dialog's event sequences as model operations.
// Positions outside the tables are ignored; family 22 is accepted.
void ChooseFormatFamily(SettingsLists& lists, int index);
void ChooseSubFormat(SettingsLists& lists, int index);
void ChooseColorDepth(SettingsLists& lists, int index);
// Load / close / cancel: every fill with the record's selections and the
// quality controls; no default rule runs.
void LoadLists(SettingsLists& lists);

// Rebuilds DetailCodes and ColorBits for the current record without any list.
void RebuildDerivedLists();

// Brings hand-edited values into range, in dependency order, and rebuilds
// the derived lists. Changes only the record in memory.
void RepairSettingsRanges();

}  // namespace rastel
