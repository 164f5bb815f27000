#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rastel {

// Dithering list: display names by position 0..8, and the imaging
// component's dithering code of each position (filled by BuildDitherCodes).
const std::vector<std::string>& DitherNames();
extern std::vector<int32_t> DitherCodes;
int16_t BuildDitherCodes();

// Rotation list: display names by position 0..6, and the angle in degrees of
// each position (filled by BuildRotateAngles).
const std::vector<std::string>& RotateNames();
extern std::vector<int16_t> RotateAngles;
int16_t BuildRotateAngles();

// The ten file-format codes whose sub-formats take a quality factor.
const std::vector<int32_t>& QualityCodes();
bool IsQualityCode(int32_t code);

}  // namespace rastel
