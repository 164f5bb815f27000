#pragma once

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace rastel {

// The eight persisted choices are list positions and 0/1 flags, never codes,
// depths or angles. DetailCodes and ColorBits are derived from them by the
// list fills and read through CurrentFormatCode / CurrentColorBits.
struct ConvertSettingsRecord {
    int16_t FormatType = 1;
    int16_t FormatDetails = 0;
    int16_t ColorType = 4;
    int16_t Grayscale = 0;
    int16_t DitheringType = 0;
    int16_t RotateType = 0;
    int16_t Reverse = 0;
    int16_t Quality = 2;
    std::vector<int32_t> DetailCodes;
    std::vector<int16_t> ColorBits;
};

// The one process-wide settings record.
extern ConvertSettingsRecord ConvertSettings;

// Thrown when FormatDetails or ColorType does not index its derived list.
class SettingsIndexError : public std::out_of_range {
public:
    using std::out_of_range::out_of_range;
};

// DetailCodes[FormatDetails]; throws SettingsIndexError when out of range.
int32_t CurrentFormatCode();
// ColorBits[ColorType]; throws SettingsIndexError when out of range.
int16_t CurrentColorBits();

// For tests: the defaults, empty derived lists and empty fixed tables.
void ResetSettingsState();

}  // namespace rastel
