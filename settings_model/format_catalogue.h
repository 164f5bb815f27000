#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace rastel {

struct SubFormat {
    std::string DisplayName;
    int32_t Code;
    std::vector<int16_t> Depths;
};

struct FormatFamily {
    std::string DisplayName;  // "" for family 22, which the family list does not offer
    std::string Extension;    // lower case with its leading dot
    std::vector<SubFormat> SubFormats;
};

// The 23 format families, positions 0..22, in list order.
const std::vector<FormatFamily>& FormatCatalogue();

// Number of families offered in the family list (positions 0..21).
inline constexpr int kListedFamilyCount = 22;
// Number of families in the catalogue (positions 0..22).
inline constexpr int kFamilyCount = 23;

// Colour depths of (family, code). Families 1, 3, 10 and 19 choose by code;
// the others ignore it. No value for a family outside 0..22 or a code the
// family does not have.
std::optional<std::vector<int16_t>> ColorDepthsFor(int family, int32_t code);

// Output extension of each family position 0..22, filled by BuildExtensionTable.
extern std::vector<std::string> ExtensionTable;
int16_t BuildExtensionTable();

}  // namespace rastel
