#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rastel {

// A drop-down list as the dialog shows it: entries in insertion order, the
// chosen position (-1 for none) and whether the control is enabled.
struct ListModel {
    std::vector<std::string> Entries;
    int Selected = -1;
    bool Enabled = true;
};

// Chooses a position from the program; a position outside the entries
// leaves nothing chosen.
void SelectEntry(ListModel& list, int index);

// The state of the settings dialog's controls, without any widget.
struct SettingsLists {
    ListModel ComboFormat, ComboDetails, ComboColor, ComboDither, ComboRotate;
    bool Frame6Enabled = true;
    // Shared enabled state of Label1, Label2, Label3, Frame4, lblQty and
    // HScrollQty (set together, in that order).
    bool QualityControlsEnabled = true;
    int HScrollQtyValue = 2;
    std::string lblQtyCaption;
};

// Each fill empties its list, appends the entries for the current settings
// and leaves nothing chosen. 0 on success, -1 when it stopped at an error;
// what it had changed before the error stays changed.
int16_t FillFormatList(SettingsLists& lists);
int16_t FillDetailsList(SettingsLists& lists);  // also rebuilds DetailCodes
int16_t FillColorList(SettingsLists& lists);    // also rebuilds ColorBits
int16_t FillDitherList(SettingsLists& lists);   // also enables/disables Frame6 and ComboDither
int16_t FillRotateList(SettingsLists& lists);

}  // namespace rastel
