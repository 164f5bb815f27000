#include "settings_io/settings_file.h"

#include <iconv.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <vector>

#include "fileio/file_io.h"
#include "settings_model/convert_settings.h"

namespace rastel {

std::string AppFolder;

namespace {

// "Note: please do not change this file on your own." The second character is
// the ASCII colon.
constexpr const char* kHeader = "注:このファイルを勝手に変更しないでください。";

struct Field {
    const char* key;
    int16_t ConvertSettingsRecord::*member;
};
// File order, which is also the order keys are matched in.
constexpr Field kFields[] = {
    {"FormatType", &ConvertSettingsRecord::FormatType},
    {"FormatDetails", &ConvertSettingsRecord::FormatDetails},
    {"ColorType", &ConvertSettingsRecord::ColorType},
    {"Grayscale", &ConvertSettingsRecord::Grayscale},
    {"DitheringType", &ConvertSettingsRecord::DitheringType},
    {"RotateType", &ConvertSettingsRecord::RotateType},
    {"Reverse", &ConvertSettingsRecord::Reverse},
    {"Quality", &ConvertSettingsRecord::Quality},
};

class Converter {
public:
    Converter(const char* to, const char* from) : cd_(::iconv_open(to, from)) {
        if (cd_ == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv cannot convert");
    }
    ~Converter() { ::iconv_close(cd_); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Converts all of `in`. With `lenient`, a byte that is no valid character
    // becomes U+FFFD; otherwise it throws.
    std::string run(const std::string& in, bool lenient) {
        std::string out;
        std::vector<char> inBuf(in.begin(), in.end());
        char* src = inBuf.data();
        std::size_t srcLeft = inBuf.size();
        char buf[256];
        while (srcLeft > 0) {
            char* dst = buf;
            std::size_t dstLeft = sizeof buf;
            const std::size_t r = ::iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
            const int err = errno;
            out.append(buf, static_cast<std::size_t>(dst - buf));
            if (r != static_cast<std::size_t>(-1)) continue;
            if (err == E2BIG) continue;
            if (!lenient) throw std::runtime_error("text cannot be encoded");
            out += "\xEF\xBF\xBD";
            ++src;
            --srcLeft;
            ::iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        }
        return out;
    }

private:
    iconv_t cd_;
};

std::string upperAscii(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

bool isDigitIn(char c, int base) {
    if (base == 8) return c >= '0' && c <= '7';
    if (base == 16) return std::isxdigit(static_cast<unsigned char>(c)) != 0;
    return c >= '0' && c <= '9';
}

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    return std::toupper(static_cast<unsigned char>(c)) - 'A' + 10;
}

}  // namespace

namespace {
std::string g_settingsPathOverride;
}

void SetSettingsFilePath(const std::string& path) { g_settingsPathOverride = path; }

namespace {

constexpr const char* kFileName = "Rastel.ini";
constexpr std::uint64_t kMaxSettingsBytes = 1 << 20;

std::string userConfigFolder() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/rastel/";
    const char* home = std::getenv("HOME");
    std::string base = home && home[0] == '/' ? home : "";
    if (base.empty())
        if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_dir) base = pw->pw_dir;
    return base + "/.config/rastel/";
}

// Makes each missing folder of `folder`, private to the user as configuration folders are.
void makeFolders(const std::string& folder) {
    std::filesystem::path acc;
    for (const auto& part : std::filesystem::path(folder)) {
        acc /= part;
        if (part.empty() || part == "/") continue;
        ::mkdir(acc.c_str(), 0700);
    }
}

}  // namespace

std::string SettingsFolderFor(const std::string& programFolder) {
    const std::string portable =
        programFolder.empty() || programFolder.back() == '/' ? programFolder : programFolder + "/";
    struct stat st {};
    if (::lstat((portable + kFileName).c_str(), &st) == 0) return portable;
    if (::access(portable.empty() ? "." : portable.c_str(), W_OK) == 0) return portable;
    return userConfigFolder();
}

std::string SettingsFilePath() {
    return g_settingsPathOverride.empty() ? SettingsFolderFor(AppFolder) + kFileName : g_settingsPathOverride;
}

double ParseSettingsNumber(const std::string& text) {
    std::string s;
    for (char c : text)
        if (c != ' ' && c != '\t' && c != '\n') s += c;

    if (s.size() >= 2 && s[0] == '&') {
        const char radix = static_cast<char>(std::toupper(static_cast<unsigned char>(s[1])));
        const int base = radix == 'H' ? 16 : radix == 'O' ? 8 : 0;
        if (base == 0) return 0;
        double value = 0;
        for (std::size_t i = 2; i < s.size() && isDigitIn(s[i], base); ++i) value = value * base + digitValue(s[i]);
        return value;
    }

    // Gather sign, significant digits and the decimal exponent of the first of
    // them into a canonical form for from_chars, which, unlike strtod, does not
    // depend on the locale.
    std::size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    std::string digits;
    long long intDigits = 0;
    while (i < s.size() && isDigitIn(s[i], 10)) {
        digits += s[i++];
        ++intDigits;
    }
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && isDigitIn(s[i], 10)) digits += s[i++];
    }
    if (digits.empty()) return 0;
    const std::size_t lead = digits.find_first_not_of('0');
    if (lead == std::string::npos) return 0;
    const std::size_t last = digits.find_last_not_of('0');

    // Past this the value is out of every double's range whatever the mantissa
    // holds, so saturating here keeps every exponent that matters exact.
    constexpr long long kExponentCap = 1'000'000'000'000'000LL;
    long long exponent = 0;
    if (i < s.size() && (s[i] == 'E' || s[i] == 'e' || s[i] == 'D' || s[i] == 'd')) {
        std::size_t j = i + 1;
        bool expNegative = false;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) expNegative = s[j++] == '-';
        while (j < s.size() && isDigitIn(s[j], 10)) {
            if (exponent < kExponentCap) exponent = exponent * 10 + (s[j] - '0');
            ++j;
        }
        if (expNegative) exponent = -exponent;
    }
    const long long magnitude = exponent + intDigits - static_cast<long long>(lead) - 1;
    if (magnitude > 400) return negative ? -HUGE_VAL : HUGE_VAL;
    if (magnitude < -400) return 0;

    std::string number = negative ? "-" : "";
    number += digits[lead];
    number += '.';
    number.append(digits, lead + 1, last - lead);
    number += 'e' + std::to_string(magnitude);
    double value = 0;
    const auto [ptr, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
    (void)ptr;
    if (ec == std::errc::result_out_of_range) {
        if (magnitude > 0) return negative ? -HUGE_VAL : HUGE_VAL;
        return 0;
    }
    if (ec != std::errc{}) return 0;
    return value;
}

int16_t ReadSettingsFile(const std::function<void()>& yield) {
    for (const auto& field : kFields) ConvertSettings.*field.member = ConvertSettingsRecord{}.*field.member;
    try {
        const std::vector<std::uint8_t> data = fileio::readWholeFile(SettingsFilePath(), kMaxSettingsBytes);
        const std::string bytes(data.begin(), data.end());
        Converter decoder("UTF-8", "CP932");
        std::size_t pos = 0;
        for (;;) {
            if (yield) yield();
            if (pos >= bytes.size()) return -1;  // reading past the end fails, so does an empty file
            // CR LF or a lone CR ends a line; a lone LF stays in the text. CP932
            // trail bytes are never 0x0D or 0x3D, so splitting bytes is safe.
            const std::size_t cr = bytes.find('\r', pos);
            const std::size_t end = cr == std::string::npos ? bytes.size() : cr;
            const std::string line = decoder.run(bytes.substr(pos, end - pos), true);
            pos = end;
            if (pos < bytes.size()) {
                ++pos;
                if (pos < bytes.size() && bytes[pos] == '\n') ++pos;
            }

            const std::size_t eq = line.find('=');
            if (eq != std::string::npos) {
                // The value is converted and range-checked before the key is
                // looked at, so an overflow fails even for an unknown key.
                const double rounded = std::nearbyint(ParseSettingsNumber(line.substr(eq + 1)));
                if (!(rounded >= -32768.0 && rounded <= 32767.0)) return -1;
                const std::string key = upperAscii(line.substr(0, eq));
                for (const auto& field : kFields) {
                    if (key == upperAscii(field.key)) {
                        ConvertSettings.*field.member = static_cast<int16_t>(rounded);
                        break;
                    }
                }
            }
            if (pos >= bytes.size()) return 0;
        }
    } catch (const std::exception&) {
        return -1;
    }
}

int16_t WriteSettingsFile() {
    try {
        Converter encoder("CP932", "UTF-8");
        std::string content = encoder.run(kHeader, false) + "\r\n";
        for (const auto& field : kFields)
            content += std::string(field.key) + "=" + std::to_string(ConvertSettings.*field.member) + "\r\n";
        const auto* first = reinterpret_cast<const std::uint8_t*>(content.data());
        if (g_settingsPathOverride.empty()) makeFolders(SettingsFolderFor(AppFolder));
        fileio::writeFileAtomic(SettingsFilePath(), std::span<const std::uint8_t>(first, content.size()));
        return 0;
    } catch (const std::exception&) {
        return -1;
    }
}

}  // namespace rastel
