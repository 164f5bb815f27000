#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <array>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "settings_io/settings_file.h"
#include "settings_model/convert_settings.h"
#include "tests/support/settings_fixture.h"
#include "tests/support/test_support.h"

using namespace rastel;
namespace fs = std::filesystem;

namespace {

// The header as CP932 bytes, taken from Python's cp932 codec.
const std::string kHeaderCp932 =
    "\x92\x8D\x3A\x82\xB1\x82\xCC\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xF0\x8F\x9F\x8E\xE8\x82\xC9\x95\xCF"
    "\x8D\x58\x82\xB5\x82\xC8\x82\xA2\x82\xC5\x82\xAD\x82\xBE\x82\xB3\x82\xA2\x81\x42";

using Fields = rastel::test::SettingsFields;
using rastel::test::currentFields;
using rastel::test::setFields;
const Fields kDefaults{1, 0, 4, 0, 0, 0, 0, 2};

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void spit(const fs::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override {
        makeFolder(fs::temp_directory_path());
        // Nothing a test does may reach the real user's configuration folder.
        ::setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
        AppFolder.clear();
        SetSettingsFilePath("");
        ::unsetenv("XDG_CONFIG_HOME");
    }
    void makeFolder(const fs::path& base) {
        std::string tmpl = (base / "rastel-settings-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        AppFolder = dir_.string() + "/";
        ResetSettingsState();
    }
    fs::path ini() const { return dir_ / "Rastel.ini"; }
    fs::path dir_;
};

// As root every existing folder is writable; a missing program folder takes
// the unwritable branch here, the ordinary-user cases run in the rastel-batch tests.
TEST_F(SettingsFile, LivesBesideTheProgramWhenPortableElseInTheUserConfigFolder) {
    const std::string home = (dir_ / "home").string();
    struct Case {
        const char* name;
        std::string program;
        const char* xdg;  // nullptr: unset
        std::string expected;
    };
    const Case cases[] = {
        {"writable program folder", dir_.string() + "/", "/elsewhere", dir_.string() + "/Rastel.ini"},
        {"no program folder, XDG_CONFIG_HOME set", "/nonexistent/bin/", "/cfg", "/cfg/rastel/Rastel.ini"},
        {"no program folder, XDG_CONFIG_HOME unset", "/nonexistent/bin/", nullptr, home + "/.config/rastel/Rastel.ini"},
        {"a relative XDG_CONFIG_HOME is ignored", "/nonexistent/bin/", "cfg", home + "/.config/rastel/Rastel.ini"},
    };
    ::setenv("HOME", home.c_str(), 1);
    for (const auto& c : cases) {
        if (c.xdg)
            ::setenv("XDG_CONFIG_HOME", c.xdg, 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
        AppFolder = c.program;
        EXPECT_EQ(SettingsFilePath(), c.expected) << c.name;
    }
    // The configuration folder is made on the first write, private to the user.
    ::unsetenv("XDG_CONFIG_HOME");
    AppFolder = "/nonexistent/bin/";
    ASSERT_EQ(WriteSettingsFile(), 0);
    struct stat st {};
    ASSERT_EQ(::stat((home + "/.config/rastel").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(fs::is_regular_file(home + "/.config/rastel/Rastel.ini"));
}

TEST_F(SettingsFile, DefaultFileIsExactlyNineCrLfLines) {
    ASSERT_EQ(kHeaderCp932.size(), 45u);
    ASSERT_EQ(WriteSettingsFile(), 0);
    const std::string expected = kHeaderCp932 +
                                 "\r\nFormatType=1\r\nFormatDetails=0\r\nColorType=4\r\nGrayscale=0\r\n"
                                 "DitheringType=0\r\nRotateType=0\r\nReverse=0\r\nQuality=2\r\n";
    EXPECT_EQ(slurp(ini()), expected);
    EXPECT_EQ(entries(dir_), std::vector<std::string>{"Rastel.ini"}) << "no temporary left behind";
}

TEST_F(SettingsFile, HeaderDecodesWithTheSystemIconvTool) {
    ASSERT_EQ(WriteSettingsFile(), 0);
    const std::string cmd = "iconv -f CP932 -t UTF-8 '" + ini().string() + "' 2>/dev/null";
    FILE* pipe = ::popen(cmd.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buf[256];
    while (std::size_t n = std::fread(buf, 1, sizeof buf, pipe)) out.append(buf, n);
    ASSERT_EQ(::pclose(pipe), 0);
    EXPECT_EQ(out.substr(0, out.find('\r')), "注:このファイルを勝手に変更しないでください。");
}

TEST_F(SettingsFile, ValuesAreWrittenAsPlainDecimal) {
    setFields({-1, 255, -32768, 32767, 0, 10, -10, 100});
    ASSERT_EQ(WriteSettingsFile(), 0);
    const std::string text = slurp(ini()).substr(47);
    EXPECT_EQ(text,
              "FormatType=-1\r\nFormatDetails=255\r\nColorType=-32768\r\nGrayscale=32767\r\n"
              "DitheringType=0\r\nRotateType=10\r\nReverse=-10\r\nQuality=100\r\n");
}

TEST(SettingsNumber, LenientConversion) {
    struct Case {
        const char* text;
        double value;
    };
    const Case cases[] = {
        {"5", 5},          {" 5", 5},         {"1 2", 12},    {"\t-3", -3},   {"4\n2", 42},    {"- 4", -4},
        {"+7", 7},         {"5abc", 5},       {"7x9", 7},     {"", 0},        {"abc", 0},      {"-", 0},
        {".", 0},          {"--4", 0},        {"12.5", 12.5}, {".5", 0.5},    {"-.5", -0.5},   {"5.", 5},
        {"1.2.3", 1.2},    {"1=2", 1},        {"1.5E2", 150}, {"1.5e2", 150}, {"1.5D2", 150},  {"1.5d+2", 150},
        {"2E-1", 0.2},     {"5E", 5},         {"5E+", 5},     {"5Ex", 5},     {"1 e 3", 1000}, {"&H1F", 31},
        {"&h1f", 31},      {"&HFFFF", 65535}, {"&O17", 15},   {"&o8", 0},     {"&H", 0},       {"&X1", 0},
        {"&", 0},          {"& H 1 0", 16},   {"&H1G", 1},    {"-&H10", 0},   {"0.0000", 0},   {"1e-400", 0},
        {"0.001e-400", 0}, {"0001.500", 1.5},
    };
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(ParseSettingsNumber(c.text), c.value) << '"' << c.text << '"';
    EXPECT_TRUE(std::isinf(ParseSettingsNumber("1e400")));
    EXPECT_LT(ParseSettingsNumber("-9e99999999999999999999"), -1e300);
    // Every digit of a long mantissa and a long exponent counts.
    const std::string zeros(2'000'000, '0');
    EXPECT_DOUBLE_EQ(ParseSettingsNumber("0." + zeros + "1e2000005"), 10000);
    EXPECT_DOUBLE_EQ(ParseSettingsNumber("1" + zeros + "e-2000000"), 1);
    EXPECT_DOUBLE_EQ(ParseSettingsNumber("-0.000" + zeros + "25e2000004"), -2.5);
    EXPECT_DOUBLE_EQ(ParseSettingsNumber("1e-" + zeros + "1"), 0.1);
    EXPECT_EQ(ParseSettingsNumber("1e-1" + zeros), 0);
    EXPECT_TRUE(std::isinf(ParseSettingsNumber("&H" + std::string(400, 'F'))));
}

struct ReadCase {
    const char* name;
    std::string bytes;
    int16_t status;
    Fields expected;
};

TEST_F(SettingsFile, ReadCases) {
    const std::string canonical = kHeaderCp932 +
                                  "\r\nFormatType=19\r\nFormatDetails=3\r\nColorType=9\r\nGrayscale=1\r\n"
                                  "DitheringType=2\r\nRotateType=4\r\nReverse=1\r\nQuality=120\r\n";
    const ReadCase cases[] = {
        {"empty file", "", -1, kDefaults},
        {"only CR LF", "\r\n", 0, kDefaults},
        {"canonical", canonical, 0, {19, 3, 9, 1, 2, 4, 1, 120}},
        {"lower-case key", "formattype=5\r\n", 0, {5, 0, 4, 0, 0, 0, 0, 2}},
        {"mixed-case keys, any order, unknown lines",
         "[Section]\r\nquality=9\r\nfoo=3\r\nrEvErSe=1\r\n; note\r\nFORMATTYPE=7",
         0,
         {7, 0, 4, 0, 0, 0, 1, 9}},
        {"blank before the =", "FormatType =5\r\n", 0, kDefaults},
        {"blank before the key", " FormatType=5\r\n", 0, kDefaults},
        {"leading blank in value", "FormatType= 5\r\n", 0, {5, 0, 4, 0, 0, 0, 0, 2}},
        {"trailing letters", "FormatType=5abc\r\n", 0, {5, 0, 4, 0, 0, 0, 0, 2}},
        {"empty value", "ColorType=\r\n", 0, {1, 0, 0, 0, 0, 0, 0, 2}},
        {"letters only", "ColorType=abc\r\n", 0, {1, 0, 0, 0, 0, 0, 0, 2}},
        {"half to even down", "Quality=12.5\r\n", 0, {1, 0, 4, 0, 0, 0, 0, 12}},
        {"half to even up", "Quality=13.5\r\n", 0, {1, 0, 4, 0, 0, 0, 0, 14}},
        {"negative", "Quality=-3\r\n", 0, {1, 0, 4, 0, 0, 0, 0, -3}},
        {"lowest", "Quality=-32768.5\r\n", 0, {1, 0, 4, 0, 0, 0, 0, -32768}},
        {"hex", "Quality=&H7FFF\r\n", 0, {1, 0, 4, 0, 0, 0, 0, 32767}},
        {"second = is value text", "FormatType=1=2\r\nColorType=3=4", 0, {1, 0, 3, 0, 0, 0, 0, 2}},
        {"later line wins", "FormatType=3\r\nFormatType=7\r\n", 0, {7, 0, 4, 0, 0, 0, 0, 2}},
        {"lone CR ends a line", "FormatType=5\rQuality=9\r", 0, {5, 0, 4, 0, 0, 0, 0, 9}},
        {"lone LF stays in the value", "FormatType=5\nQuality=9\n", 0, {5, 0, 4, 0, 0, 0, 0, 2}},
        {"lone LF stays in the key", "Format\nType=5\r\n", 0, kDefaults},
        {"LF after CR LF starts the next key", "FormatType=5\r\n\nQuality=9\r\n", 0, {5, 0, 4, 0, 0, 0, 0, 2}},
        {"LF-only file with header", kHeaderCp932 + "\nFormatType=9\nQuality=50\n", 0, kDefaults},
        {"no terminator on the last line", "Quality=77", 0, {1, 0, 4, 0, 0, 0, 0, 77}},
        {"bytes that are no CP932", "\xFF\xFD\x80=3\r\n\x81\r\nQuality=5\r\n", 0, {1, 0, 4, 0, 0, 0, 0, 5}},
        {"overflow on a known key", "FormatType=5\r\nQuality=40000\r\nColorType=3\r\n", -1, {5, 0, 4, 0, 0, 0, 0, 2}},
        {"overflow on an unknown key", "Reverse=1\r\nJunk=-32769\r\nColorType=3\r\n", -1, {1, 0, 4, 0, 0, 0, 1, 2}},
        {"overflow after rounding", "Grayscale=1\r\nQuality=32767.5\r\n", -1, {1, 0, 4, 1, 0, 0, 0, 2}},
        {"overflow by exponent", "x=1e5\r\nQuality=9", -1, kDefaults},
        {"overflow by huge exponent", "Quality=1e999", -1, kDefaults},
        {"larger than 1 MiB", "Quality=9\r\n" + std::string(1 << 20, ' '), -1, kDefaults},
    };
    for (const auto& c : cases) {
        spit(ini(), c.bytes);
        setFields({9, 9, 9, 9, 9, 9, 9, 9});  // the read starts from the defaults, not from these
        EXPECT_EQ(ReadSettingsFile(), c.status) << c.name;
        EXPECT_EQ(currentFields(), c.expected) << c.name;
        if (c.status == 0) {
            EXPECT_EQ(slurp(ini()), c.bytes) << c.name << ": a read leaves the file unchanged";
        }
    }
}

TEST_F(SettingsFile, MissingOrUnreadableFileFailsWithDefaults) {
    setFields({9, 9, 9, 9, 9, 9, 9, 9});
    EXPECT_EQ(ReadSettingsFile(), -1);
    EXPECT_EQ(currentFields(), kDefaults);
    fs::create_directory(ini());
    setFields({9, 9, 9, 9, 9, 9, 9, 9});
    EXPECT_EQ(ReadSettingsFile(), -1);
    EXPECT_EQ(currentFields(), kDefaults);
    // Neither waits: a FIFO without a writer, a device that never ends.
    fs::remove(ini());
    ASSERT_EQ(::mkfifo(ini().c_str(), 0600), 0);
    EXPECT_EQ(ReadSettingsFile(), -1);
    SetSettingsFilePath("/dev/zero");
    EXPECT_EQ(ReadSettingsFile(), -1);
}

// What replacing the settings file does to what is there (the same rules hold for outputs).
TEST_F(SettingsFile, ReplacingFollowsLinksAndRefusesWhatIsNoWritableRegularFile) {
    struct Case {
        const char* name;
        std::function<void()> make;
        int16_t status;
        std::function<void()> check;
    };
    const fs::path real = dir_ / "real.ini";
    auto isFifo = [&] { EXPECT_TRUE(fs::is_fifo(ini())); };
    const Case cases[] = {
        {"a link: its target is replaced, the link stays",
         [&] {
             spit(real, "old");
             fs::create_symlink("real.ini", ini());
         },
         0,
         [&] {
             EXPECT_TRUE(fs::is_symlink(ini()));
             EXPECT_EQ(slurp(real).size(), 45u + 2 + 14 + 17 + 13 + 13 + 17 + 14 + 11 + 11);
         }},
        {"a dangling link: its target is made", [&] { fs::create_symlink("real.ini", ini()); }, 0,
         [&] {
             EXPECT_TRUE(fs::is_symlink(ini()));
             EXPECT_TRUE(fs::is_regular_file(real));
         }},
        {"a FIFO is left alone", [&] { ::mkfifo(ini().c_str(), 0600); }, -1, isFifo},
        {"a link to a FIFO too",
         [&] {
             ::mkfifo(real.c_str(), 0600);
             fs::create_symlink("real.ini", ini());
         },
         -1, [&] { EXPECT_TRUE(fs::is_fifo(real)); }},
        {"a read-only file is refused",
         [&] {
             spit(ini(), "old");
             ::chmod(ini().c_str(), 0444);
         },
         -1, [&] { EXPECT_EQ(slurp(ini()), "old"); }},
        {"a link loop", [&] { fs::create_symlink("Rastel.ini", ini()); }, -1,
         [&] { EXPECT_TRUE(fs::is_symlink(ini())); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.make();
        EXPECT_EQ(WriteSettingsFile(), c.status);
        c.check();
        for (const auto& name : entries(dir_))
            EXPECT_TRUE(name == "Rastel.ini" || name == "real.ini") << "left behind: " << name;
        fs::remove(ini());
        fs::remove(real);
    }
}

TEST_F(SettingsFile, YieldsOncePerLine) {
    struct Case {
        std::string bytes;
        int yields;
    };
    const Case cases[] = {{"", 1}, {"\r\n", 1}, {"a\r\nb\r\nc", 3}, {"a\rb\r\n\r\n", 3}, {"a\nb\nc\n", 1}};
    for (const auto& c : cases) {
        spit(ini(), c.bytes);
        int yields = 0;
        ReadSettingsFile([&] { ++yields; });
        EXPECT_EQ(yields, c.yields) << '"' << c.bytes << '"';
    }
}

TEST_F(SettingsFile, FailedReadIsRepairedIntoCanonicalForm) {
    spit(ini(), "quality=7\r\nformattype=10\r\nbad=99999\r\nColorType=1\r\n");
    ASSERT_EQ(ReadSettingsFile(), -1);
    ASSERT_EQ(WriteSettingsFile(), 0);
    setFields({0, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_EQ(ReadSettingsFile(), 0);
    EXPECT_EQ(currentFields(), (Fields{10, 0, 4, 0, 0, 0, 0, 7}));
    EXPECT_EQ(slurp(ini()).substr(45),
              "\r\nFormatType=10\r\nFormatDetails=0\r\nColorType=4\r\nGrayscale=0\r\n"
              "DitheringType=0\r\nRotateType=0\r\nReverse=0\r\nQuality=7\r\n");
}

TEST_F(SettingsFile, WriteThenReadRoundTripsTheWholeSixteenBitRange) {
    // tmpfs keeps the 65536 synced writes quick where it is available.
    if (fs::is_directory("/dev/shm")) {
        TearDown();
        makeFolder("/dev/shm");
    }
    for (int v = -32768; v <= 32767; ++v) {
        Fields f;
        for (int k = 0; k < 8; ++k) f[static_cast<std::size_t>(k)] = static_cast<int16_t>(v + k * 4099);
        setFields(f);
        ASSERT_EQ(WriteSettingsFile(), 0) << v;
        setFields(kDefaults);
        ASSERT_EQ(ReadSettingsFile(), 0) << v;
        ASSERT_EQ(currentFields(), f) << v;
    }
}

TEST_F(SettingsFile, ReplacingAFileKeepsItsPermissions) {
    spit(ini(), "old\r\n");
    ASSERT_EQ(::chmod(ini().c_str(), 0640), 0);
    ASSERT_EQ(WriteSettingsFile(), 0);
    struct stat st {};
    ASSERT_EQ(::stat(ini().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(slurp(ini()).size(), 45u + 2 + 14 + 17 + 13 + 13 + 17 + 14 + 11 + 11);
}

// Root ignores permission bits, so each case breaks the write another way.
TEST_F(SettingsFile, FailedWriteLeavesThePreviousFileIntact) {
    const std::string previous = kHeaderCp932 + "\r\nFormatType=7\r\nQuality=99\r\n";
    setFields({19, 3, 9, 1, 2, 4, 1, 120});

    // 1. The file-size limit stops the data part-way, as a full disk would;
    //    it binds root too. A write in place would leave a truncated file.
    spit(ini(), previous);
    int16_t status = 0;
    {
        rastel::test::FileSizeLimit limit(20);
        status = WriteSettingsFile();
    }
    EXPECT_EQ(status, -1);
    EXPECT_EQ(slurp(ini()), previous);
    EXPECT_EQ(entries(dir_), std::vector<std::string>{"Rastel.ini"}) << "temporary removed";

    // 2. Rastel.ini is a folder: the rename over it fails.
    fs::remove(ini());
    fs::create_directory(ini());
    spit(ini() / "keep", previous);
    EXPECT_EQ(WriteSettingsFile(), -1);
    EXPECT_TRUE(fs::is_directory(ini()));
    EXPECT_EQ(slurp(ini() / "keep"), previous);
    EXPECT_EQ(entries(dir_), std::vector<std::string>{"Rastel.ini"});

    // 3. The program folder is a regular file, or missing: nothing can be created.
    const std::string plain = (dir_ / "plain").string();
    spit(plain, previous);
    ::setenv("XDG_CONFIG_HOME", (plain + "/config").c_str(), 1);  // the fallback is unusable too
    AppFolder = plain + "/";
    EXPECT_EQ(WriteSettingsFile(), -1);
    EXPECT_EQ(slurp(plain), previous);
    AppFolder = (dir_ / "missing").string() + "/";
    EXPECT_EQ(WriteSettingsFile(), -1);
    EXPECT_FALSE(fs::exists(dir_ / "missing"));

    EXPECT_EQ(currentFields(), (Fields{19, 3, 9, 1, 2, 4, 1, 120})) << "a failed write leaves the record alone";
}

}  // namespace
