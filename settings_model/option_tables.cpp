#include "settings_model/option_tables.h"

#include <algorithm>
#include <exception>

namespace rastel {

std::vector<int32_t> DitherCodes;
std::vector<int16_t> RotateAngles;

namespace {

struct DitherRow {
    const char* name;
    int32_t code;
};
// Positions 2 and 3 hold codes 3 and 2: the list order is not the code order.
constexpr DitherRow kDither[] = {
    {"ディザリングなし", 0}, {"Floyd Steinberg法", 1}, {"Stucki法", 3},   {"Burkes法", 2},   {"Sierra法", 4},
    {"Stevenson Arce法", 5}, {"Jarvis法", 6},          {"パターン法", 7}, {"クラスタ法", 8},
};

struct RotateRow {
    const char* name;
    int16_t angle;
};
constexpr RotateRow kRotate[] = {
    {"回転なし", 0},  {"右 90度", 90},   {"右180度", 180},  {"右270度", 270},
    {"左 90度", -90}, {"左180度", -180}, {"左270度", -270},
};

}  // namespace

const std::vector<std::string>& DitherNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const auto& row : kDither) v.emplace_back(row.name);
        return v;
    }();
    return names;
}

int16_t BuildDitherCodes() {
    try {
        std::vector<int32_t> codes;
        for (const auto& row : kDither) codes.push_back(row.code);
        DitherCodes = std::move(codes);
        return 0;
    } catch (const std::exception&) {
        return -1;
    }
}

const std::vector<std::string>& RotateNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const auto& row : kRotate) v.emplace_back(row.name);
        return v;
    }();
    return names;
}

int16_t BuildRotateAngles() {
    try {
        std::vector<int16_t> angles;
        for (const auto& row : kRotate) angles.push_back(row.angle);
        RotateAngles = std::move(angles);
        return 0;
    } catch (const std::exception&) {
        return -1;
    }
}

const std::vector<int32_t>& QualityCodes() {
    static const std::vector<int32_t> codes{5, 83, 98, 101, 10, 23, 21, 11, 24, 22};
    return codes;
}

bool IsQualityCode(int32_t code) {
    const auto& codes = QualityCodes();
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

}  // namespace rastel
