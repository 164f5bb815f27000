// End-to-end runs of the rastel-batch executable with the real engine.

#include <gtest/gtest.h>

#include <unistd.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "tests/support/page_checks.h"

namespace fs = std::filesystem;

namespace {

// An ordinary user for the cases where permissions matter.
constexpr const char* kAsNobody = "timeout 60 setpriv --reuid=65534 --regid=65534 --clear-groups";
constexpr uid_t kNobody = 65534;
#define SKIP_UNLESS_ROOT() \
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch to an ordinary user"

struct Result {
    int status;
    std::string out;
    std::string err;
};

std::string slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), {});
}

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class RastelBatch : public ::testing::Test {
protected:
    rastel::test::TempDir scratch{"rastel-cli"};
    fs::path dir = scratch.path;

    // `shellPrefix` runs before the converter replaces the shell (exec keeps
    // the process, so limits and ignored signals set there apply to it).
    // `launcher` runs the converter (a user switch, a time limit).
    Result run(const std::vector<std::string>& args, const std::string& shellPrefix = "",
               const std::string& launcher = "timeout 60",
               const std::string& program = RASTEL_BIN_DIR "/rastel-batch") {
        std::string cmd = "exec " + launcher + " " + quote(program);
        for (const auto& a : args) cmd += " " + quote(a);
        const fs::path out = dir / "stdout.txt", err = dir / "stderr.txt";
        cmd += " >" + quote(out.string()) + " 2>" + quote(err.string()) + " </dev/null";
        if (!shellPrefix.empty()) cmd = shellPrefix + "; " + cmd;
        const int raw = std::system(("sh -c " + quote(cmd)).c_str());
        Result r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
        fs::remove(out);
        fs::remove(err);
        return r;
    }
    // An image made by ImageMagick, so the inputs do not come from our writers.
    void makeImage(const fs::path& p, const std::string& source = "gradient:red-blue") {
        fs::create_directories(p.parent_path());
        const std::string cmd = "/usr/bin/convert -size 64x48 " + source + " " + quote(p.string());
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    }
    fs::path settings(const std::string& content = "") {
        const fs::path p = dir / "Rastel.ini";
        if (!content.empty()) std::ofstream(p, std::ios::binary) << content;
        return p;
    }
    // Red and blue of the top-left pixel, "255,0" for red.
    std::string redBlue(const fs::path& p) {
        const fs::path out = dir / "pixel.txt";
        std::system(("convert " + quote(p.string()) +
                     " -format '%[fx:int(255*p{0,0}.r)],%[fx:int(255*p{0,0}.b)]' info: >" + quote(out.string()) +
                     " 2>&1")
                        .c_str());
        const std::string s = slurp(out);
        fs::remove(out);
        return s;
    }
    // Hidden working files left in `folder`.
    std::vector<std::string> staging(const fs::path& folder) {
        std::vector<std::string> found;
        for (const auto& e : fs::directory_iterator(folder))
            if (const std::string name = e.path().filename();
                name[0] == '.' && name.find(".rastel-") != std::string::npos)
                found.push_back(name);
        return found;
    }
    void threePages(const fs::path& p, const std::string& size = "40x30") {
        ASSERT_EQ(std::system(
                      ("/usr/bin/convert -size " + size + " xc:red xc:lime xc:blue -compress None " + quote(p.string()))
                          .c_str()),
                  0);
    }
    std::string identify(const fs::path& p) {
        const fs::path out = dir / "identify.txt";
        const std::string cmd =
            "identify -format '%m %w %h\\n' " + quote(p.string()) + " >" + quote(out.string()) + " 2>&1";
        std::system(cmd.c_str());
        const std::string s = slurp(out);
        fs::remove(out);
        return s;
    }
};

}  // namespace

TEST_F(RastelBatch, PrintSettingsShowsWhatTheReadingRulesGive) {
    struct Case {
        const char* name;
        std::string file;
        int status;
        std::string expected;
    };
    // Any first line without "=" is passed over like the real header.
    const std::string header = "header line\r\n";
    const Case cases[] = {
        {"half rounds to even, blank before = ignored",
         header + "quality=13.5\r\nRotateType =3\r\nformatdetails=2\r\nFormatType=19\r\nColorType=1\r\n", 0,
         "FormatType=19\nFormatDetails=2\nColorType=0\nGrayscale=0\nDitheringType=0\nRotateType=0\nReverse=0\n"
         "Quality=14\n"},
        {"values outside their tables are repaired in memory only",
         header + "FormatType=40\r\nQuality=999\r\nGrayscale=3\r\n", 0,
         "FormatType=1\nFormatDetails=0\nColorType=4\nGrayscale=0\nDitheringType=0\nRotateType=0\nReverse=0\n"
         "Quality=2\n"},
        {"a named file that fails to read is a usage error, never rewritten",
         header + "FormatType=7\r\nColorType=2\r\nQuality=40000\r\nReverse=1\r\n", 2, ""},
        {"any text file with a line the reader refuses", "my notes\nx=99999999\n", 2, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path ini = settings(c.file);
        const Result r = run({"--settings", ini.string(), "--print-settings"});
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.out, c.expected);
        EXPECT_EQ(slurp(ini), c.file) << "the named file is left alone";
    }
}

// --settings naming what is no readable settings file: exit 2, the thing untouched, never a wait.
TEST_F(RastelBatch, NamedSettingsThatCannotBeReadAreLeftAlone) {
    struct Case {
        const char* name;
        std::function<fs::path()> make;
        bool asNobody;
        std::function<bool(const fs::path&)> intact;
    };
    const fs::path fifo = dir / "fifo.ini";
    const Case cases[] = {
        {"a device", [] { return fs::path("/dev/zero"); }, false,
         [](const fs::path& p) { return fs::is_character_file(p); }},
        {"a FIFO",
         [&] {
             ::mkfifo(fifo.c_str(), 0644);
             return fifo;
         },
         false, [](const fs::path& p) { return fs::is_fifo(p); }},
        {"a folder",
         [&] {
             fs::create_directory(dir / "d.ini");
             return dir / "d.ini";
         },
         false, [](const fs::path& p) { return fs::is_directory(p); }},
        {"a file the user may not read",
         [&] {
             settings("FormatType=7\r\n");
             ::chmod(settings().c_str(), 0600);
             return settings();
         },
         true, [&](const fs::path& p) { return slurp(p) == "FormatType=7\r\n"; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.asNobody && ::geteuid() != 0) continue;
        const fs::path p = c.make();
        const Result r = run({"--settings", p.string(), "--print-settings"}, "", c.asNobody ? kAsNobody : "timeout 60");
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_NE(r.err.find(p.string()), std::string::npos) << r.err;
        EXPECT_TRUE(c.intact(p));
    }
}

TEST_F(RastelBatch, MissingSettingsFileIsCreatedWithDefaults) {
    const fs::path ini = dir / "new" / "Rastel.ini";
    fs::create_directories(ini.parent_path());
    const Result r = run({"--settings", ini.string(), "--print-settings"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "FormatType=1\nFormatDetails=0\nColorType=4\nGrayscale=0\nDitheringType=0\nRotateType=0\n"
              "Reverse=0\nQuality=2\n");
    EXPECT_TRUE(fs::exists(ini));
    EXPECT_EQ(slurp(ini).size(), 45u + 2 + 8 * 2 +
                                     std::string("FormatType=1FormatDetails=0ColorType=4Grayscale=0"
                                                 "DitheringType=0RotateType=0Reverse=0Quality=2")
                                         .size());
}

TEST_F(RastelBatch, OptionsApplyTheDialogDefaultsFirst) {
    const fs::path ini = settings();
    const Result gif = run({"--settings", ini.string(), "--format", "gif", "--print-settings"});
    EXPECT_EQ(gif.out,
              "FormatType=7\nFormatDetails=0\nColorType=7\nGrayscale=0\nDitheringType=1\nRotateType=0\n"
              "Reverse=0\nQuality=2\n");
    const Result g4 = run({"--settings", ini.string(), "--format", "19", "--subformat", "17", "--quality", "9",
                           "--rotate", "4", "--print-settings"});
    EXPECT_EQ(g4.out,
              "FormatType=19\nFormatDetails=17\nColorType=0\nGrayscale=0\nDitheringType=1\nRotateType=4\n"
              "Reverse=0\nQuality=9\n");
    const Result bits = run({"--settings", ini.string(), "--format", "tif", "--bits", "8", "--print-settings"});
    EXPECT_EQ(bits.out,
              "FormatType=19\nFormatDetails=0\nColorType=7\nGrayscale=0\nDitheringType=1\nRotateType=0\n"
              "Reverse=0\nQuality=2\n");
}

TEST_F(RastelBatch, UsageErrorsExitWithTwo) {
    const fs::path ini = settings();
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus"},
        {"--quality", "1"},
        {"--quality"},
        {"--format", "xyz"},
        {"--format", "gif", "--bits", "24"},
        {"--format", "gif", "--subformat", "1"},
        {"--jobs", "0"},
        {"--jobs", "two"},
        {},
        {(dir / "missing.jpg").string()},
    };
    for (const auto& args : cases) {
        std::vector<std::string> full{"--settings", ini.string()};
        full.insert(full.end(), args.begin(), args.end());
        const Result r = run(full);
        EXPECT_EQ(r.status, 2) << (args.empty() ? "(no arguments)" : args[0]) << "\n" << r.err;
        EXPECT_FALSE(r.err.empty());
    }
}

TEST_F(RastelBatch, ListFormatsHasOneLinePerSubFormat) {
    const Result r = run({"--list-formats"});
    ASSERT_EQ(r.status, 0);
    std::istringstream lines(r.out);
    std::string line;
    int count = 0;
    bool sawG4 = false, sawWpg = false;
    while (std::getline(lines, line)) {
        ++count;
        if (line == "19\t.tif\t17\t29\t1\tCCITT-G4 圧縮") sawG4 = true;
        if (line == "22\t.wpg\t0\t54\t1,4,8\tWord Perfect") sawWpg = true;
    }
    EXPECT_EQ(count, 58);
    EXPECT_TRUE(sawG4);
    EXPECT_TRUE(sawWpg);
}

TEST_F(RastelBatch, ConvertsAFolderWithJapaneseAndBlankNamesBesideTheInputs) {
    const fs::path folder = dir / "写真 フォルダ";
    makeImage(folder / "x.Png");
    makeImage(folder / "with blank.bmp", "gradient:green-yellow");
    std::ofstream(folder / "notes.txt") << "not an image";
    makeImage(folder / ".hidden.png");
    const Result r = run({"--settings", settings().string(), "--format", "jpg", folder.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(identify(folder / "x.jpg"), "JPEG 64 48\n");
    EXPECT_EQ(identify(folder / "with blank.jpg"), "JPEG 64 48\n");
    EXPECT_FALSE(fs::exists(folder / ".hidden.jpg"));
    EXPECT_FALSE(fs::exists(folder / "notes.jpg"));
    EXPECT_NE(r.err.find("2/2処理中"), std::string::npos) << r.err;
}

TEST_F(RastelBatch, InputConvertedOntoItsOwnNameIsReplacedByAValidFile) {
    const fs::path p = dir / "self.bmp";
    makeImage(p);
    const std::string before = slurp(p);
    const Result r = run({"--settings", settings().string(), "--format", "bmp", "--bits", "8", p.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(slurp(p), before);
    EXPECT_EQ(identify(p), "BMP3 64 48\n");
}

TEST_F(RastelBatch, MultiPageTiffKeepsItsPages) {
    const fs::path p = dir / "three.tif";
    ASSERT_EQ(std::system(
                  ("/usr/bin/convert -size 40x30 xc:red xc:lime xc:blue -compress None " + quote(p.string())).c_str()),
              0);
    const Result r =
        run({"--settings", settings().string(), "--format", "tif", "--subformat", "3", "--rotate", "1", p.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(identify(p), "TIFF 30 40\nTIFF 30 40\nTIFF 30 40\n") << "every page rotated";
}

// Pages are decoded one at a time: converting eight pages takes no more memory
// than converting one of them.
TEST_F(RastelBatch, PeakMemoryDoesNotGrowWithThePageCount) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer keeps freed memory in quarantine";
#endif
    const auto peakKiB = [&](int pages) {
        const fs::path p = dir / ("pages" + std::to_string(pages) + ".tif");
        std::string cmd = "/usr/bin/convert -size 1500x1500";
        for (int i = 0; i < pages; ++i) cmd += i % 2 ? " xc:red" : " xc:blue";
        // Noise does not compress: the file is as large as its decoded pages.
        EXPECT_EQ(std::system((cmd + " +noise Random -depth 8 -compress LZW " + quote(p.string())).c_str()), 0);
        EXPECT_GT(fs::file_size(p), 6'000'000u * static_cast<unsigned>(pages));
        const fs::path mem = dir / "peak.txt";
        const Result r = run({"--settings", settings().string(), "--format", "tif", "--subformat", "2", p.string()}, "",
                             "timeout 60 /usr/bin/time -f %M -o " + quote(mem.string()));
        EXPECT_EQ(r.status, 0) << r.err;
        return std::atol(slurp(mem).c_str());
    };
    const long one = peakKiB(1), eight = peakKiB(8);
    // A 1500 x 1500 RGB page is 6,592 KiB; holding all eight, or the input file
    // whole, would add over 40,000 KiB.
    EXPECT_LT(eight - one, 3300) << one << " KiB for one page, " << eight << " KiB for eight";
}

TEST_F(RastelBatch, MultiPageOutputOntoItsOwnNameSurvivesAFailureBetweenPages) {
    // Three uncompressed pages of about 30 KB; the file-size limit lets the
    // first page be written but makes the first append fail (as a full disk would).
    const fs::path p = dir / "three.tif";
    ASSERT_EQ(std::system(("/usr/bin/convert -size 100x100 gradient:red-blue gradient:green-white xc:gray "
                           "-compress None " +
                           quote(p.string()))
                              .c_str()),
              0);
    const std::string before = slurp(p);
    ASSERT_GT(before.size(), 90000u);
    // sh counts the limit in 512-byte blocks: 46080 bytes hold one page, not two.
    const std::string limit = "trap '' XFSZ; ulimit -f 90";
    const std::vector<std::string> options{
        "--settings", settings().string(), "--format", "tif", "--subformat", "0", "--bits", "24", "--mirror", "1"};
    const fs::path single = dir / "one" / "first.tif";
    fs::create_directories(single.parent_path());
    ASSERT_EQ(
        std::system(
            ("/usr/bin/convert " + quote(p.string() + "[0]") + " -compress None " + quote(single.string())).c_str()),
        0);
    std::vector<std::string> args = options;
    args.push_back(single.string());
    ASSERT_EQ(run(args, limit).status, 0) << "under the limit a one-page output fits";
    fs::remove_all(single.parent_path());
    args = options;
    args.push_back(p.string());
    const Result r = run(args, limit);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("エラーが発生しました: " + p.string()), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(".rastel-"), std::string::npos) << "the message names the output: " << r.err;
    EXPECT_EQ(r.err.find(p.string() + ": " + p.string()), std::string::npos) << "the file is named once: " << r.err;
    EXPECT_EQ(slurp(p), before) << "the original three pages must be intact";
    for (const auto& e : fs::directory_iterator(dir))
        EXPECT_TRUE(e.path().filename() == "three.tif" || e.path().filename() == "Rastel.ini")
            << "left behind: " << e.path();
}

// Pages are decoded one at a time: a damaged second page fails the file when
// the batch reaches it, after the first page was saved, and still nothing of
// the output is left.
TEST_F(RastelBatch, DamagedLaterPageLeavesNoOutput) {
    const fs::path p = dir / "three.tif";
    ASSERT_EQ(
        std::system(("/usr/bin/convert -size 40x30 xc:red xc:lime xc:blue -compress Zip " + quote(p.string())).c_str()),
        0);
    rastel::test::damageTiffPage(p.string(), 1);
    const std::string before = slurp(p);
    const Result r =
        run({"--settings", settings().string(), "--format", "tif", "--subformat", "6", "--bits", "24", p.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("エラーが発生しました: " + p.string() + ": TIFF: "), std::string::npos) << r.err;
    EXPECT_EQ(slurp(p), before);
    for (const auto& e : fs::directory_iterator(dir))
        EXPECT_TRUE(e.path().filename() == "three.tif" || e.path().filename() == "Rastel.ini")
            << "left behind: " << e.path();
}

TEST_F(RastelBatch, CorruptFileStopsTheBatchAndNothingEarlierIsLost) {
    makeImage(dir / "in" / "a.png");
    std::ofstream(dir / "in" / "b.png", std::ios::binary) << "\x89PNG\r\n\x1a\n-broken";
    makeImage(dir / "in" / "c.png");
    std::ofstream(dir / "in" / "c.bmp") << "older output";
    const std::string aBefore = slurp(dir / "in" / "a.png");
    const Result r = run({"--settings", settings().string(), (dir / "in" / "a.png").string(),
                          (dir / "in" / "b.png").string(), (dir / "in" / "c.png").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("エラーが発生しました: " + (dir / "in" / "b.png").string() + ": PNG: "), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("2/3処理中 " + (dir / "in" / "b.png").string() + "\n"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(dir / "in" / "a.bmp"));
    EXPECT_EQ(slurp(dir / "in" / "a.png"), aBefore);
    EXPECT_EQ(slurp(dir / "in" / "c.bmp"), "older output");
    EXPECT_FALSE(fs::exists(dir / "in" / "b.bmp"));
}

TEST_F(RastelBatch, OutputNeverReplacesAnotherInputOfTheBatch) {
    struct Case {
        const char* name;
        std::vector<std::string> inputs;  // converted to BMP in this order
        std::string clash;                // the input whose output would replace another input
        std::string replaced;             // that other input, left exactly as it was
    };
    const Case cases[] = {
        {"the other input is still queued", {"photo.png", "photo.bmp"}, "photo.png", "photo.bmp"},
        {"the other input was converted already", {"photo.bmp", "photo.png"}, "photo.png", "photo.bmp"},
        {"the output name is a link to another input", {"link.png", "other.bmp"}, "link.png", "other.bmp"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir / "in");
        makeImage(dir / "in" / "photo.bmp", "xc:red");
        makeImage(dir / "in" / "photo.png", "xc:blue");
        makeImage(dir / "in" / "link.png", "xc:blue");
        makeImage(dir / "in" / "other.bmp", "xc:red");
        fs::create_symlink("other.bmp", dir / "in" / "link.bmp");
        const fs::path replaced = dir / "in" / c.replaced;
        std::vector<std::string> args{"--settings", settings().string(), "--format", "bmp", "--bits", "24"};
        for (const auto& in : c.inputs) args.push_back((dir / "in" / in).string());
        const bool convertedFirst = c.inputs[0] == c.replaced;
        const std::string before = slurp(replaced);
        const Result r = run(args);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find((dir / "in" / c.clash).string()), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(replaced.string()), std::string::npos) << "names both files: " << r.err;
        if (!convertedFirst) {
            EXPECT_EQ(slurp(replaced), before);
        }
        EXPECT_EQ(redBlue(replaced), "255,0") << "still the red picture";
    }
}

TEST_F(RastelBatch, ReplacingAnOutputKeepsLinksPermissionsAndRefusesWhatItMustNotTouch) {
    struct Case {
        const char* name;
        bool multiPage;
        bool asNobody;
        std::function<void(const fs::path& out)> make;
        int status;
        std::function<void(const fs::path& out)> check;
    };
    auto modeOf = [](const fs::path& p) {
        struct stat st {};
        ::stat(p.c_str(), &st);
        return std::pair<unsigned, unsigned>{st.st_mode & 07777, st.st_uid};
    };
    const fs::path real = dir / "in" / "real" / "target.tif";
    auto linked = [&](const fs::path& out) {
        fs::create_directories(real.parent_path());
        std::ofstream(real) << "old";
        fs::create_symlink("real/target.tif", out);
    };
    auto linkKeptTargetReplaced = [&](const fs::path& out) {
        EXPECT_TRUE(fs::is_symlink(out));
        EXPECT_NE(identify(real).find("TIFF"), std::string::npos);
    };
    auto privateFile = [&](const fs::path& out) {
        std::ofstream(out) << "old";
        ::chmod(out.c_str(), 0600);
        if (::geteuid() == 0) (void)::chown(out.c_str(), kNobody, kNobody);
    };
    auto stayedPrivate = [&](const fs::path& out) {
        EXPECT_NE(identify(out).find("TIFF"), std::string::npos);
        EXPECT_EQ(modeOf(out), (std::pair<unsigned, unsigned>{0600u, ::geteuid() == 0 ? kNobody : ::geteuid()}));
    };
    auto untouched = [&](const fs::path& out) { EXPECT_EQ(slurp(out), "old"); };
    auto readOnly = [&](const fs::path& out) {
        std::ofstream(out) << "old";
        ::chmod(out.c_str(), 0444);
        if (::geteuid() == 0) (void)::chown(out.c_str(), kNobody, kNobody);
    };
    const Case cases[] = {
        {"a link: one page", false, false, linked, 0, linkKeptTargetReplaced},
        {"a link: several pages", true, false, linked, 0, linkKeptTargetReplaced},
        {"a private file keeps mode and owner: one page", false, false, privateFile, 0, stayedPrivate},
        {"a private file keeps mode and owner: several pages", true, false, privateFile, 0, stayedPrivate},
        {"an ordinary user's private file: several pages", true, true, privateFile, 0, stayedPrivate},
        {"read-only for root", true, false, readOnly, 1, untouched},
        {"read-only for its owner", false, true, readOnly, 1, untouched},
        {"a FIFO is never opened", true, false, [](const fs::path& out) { ::mkfifo(out.c_str(), 0644); }, 1,
         [](const fs::path& out) { EXPECT_TRUE(fs::is_fifo(out)); }},
        {"a folder", false, false, [](const fs::path& out) { fs::create_directory(out); }, 1,
         [](const fs::path& out) { EXPECT_TRUE(fs::is_directory(out)); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.asNobody && ::geteuid() != 0) continue;
        fs::remove_all(dir / "in");
        fs::create_directories(dir / "in");
        // Three GIF frames become three TIFF pages.
        const fs::path input = dir / "in" / (c.multiPage ? "a.gif" : "a.png"), out = dir / "in" / "a.tif";
        if (c.multiPage)
            ASSERT_EQ(
                std::system(("/usr/bin/convert -size 40x30 xc:red xc:lime xc:blue " + quote(input.string())).c_str()),
                0);
        else
            makeImage(input);
        c.make(out);
        if (c.asNobody) {
            (void)::chown((dir / "in").c_str(), kNobody, kNobody);
            (void)::chown(input.c_str(), kNobody, kNobody);
        }
        const Result r = run({"--settings", settings().string(), "--format", "tif", "--subformat", "3", input.string()},
                             "", c.asNobody ? kAsNobody : "timeout 60");
        EXPECT_EQ(r.status, c.status) << r.err;
        if (c.status != 0) {
            EXPECT_NE(r.err.find(out.string()), std::string::npos) << r.err;
        }
        EXPECT_EQ(staging(dir / "in"), std::vector<std::string>{});
        c.check(out);
        if (c.status == 0) {
            EXPECT_EQ(identify(out), c.multiPage ? "TIFF 40 30\nTIFF 40 30\nTIFF 40 30\n" : "TIFF 64 48\n");
        }
    }
}

TEST_F(RastelBatch, InputsThatCannotBeOpenedFailWithoutWaitingOrAborting) {
    struct Case {
        const char* name;
        std::function<fs::path()> make;
        int status;
        const char* cause;
    };
    const Case cases[] = {
        {"a FIFO named like an image",
         [&] {
             ::mkfifo((dir / "x.bmp").c_str(), 0644);
             return dir / "x.bmp";
         },
         1, "FIFO"},
        {"a link loop",
         [&] {
             fs::create_symlink("loop.bmp", dir / "loop.bmp");
             return dir / "loop.bmp";
         },
         2, "symbolic links"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path p = c.make();
        const Result r = run({"--settings", settings().string(), p.string()});
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.cause), std::string::npos) << r.err;
    }
}

// Hidden working files: removed on the usual signals, and those of dead
// processes removed by the next run that writes beside them.
TEST_F(RastelBatch, StagingFilesAreRemovedOnSignalsAndAfterACrash) {
    const fs::path in = dir / "in";
    fs::create_directories(in);
    // Enough large pages that the batch is caught while it collects them.
    ASSERT_EQ(std::system(("/usr/bin/convert -size 1500x1500 gradient:red-blue gradient:green-white gradient: "
                           "gradient:blue-yellow gradient:red-lime gradient:gray-navy " +
                           quote((in / "big.gif").string()))
                              .c_str()),
              0);
    const std::string before = slurp(in / "big.gif");
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(sig);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::execl(RASTEL_BIN_DIR "/rastel-batch", "rastel-batch", "--settings", settings().c_str(), "--format", "tif",
                    "--subformat", "0", (in / "big.gif").c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 3000 && staging(in).empty(); ++i) ::usleep(2000);
        EXPECT_FALSE(staging(in).empty()) << "the batch never staged a page";
        ::kill(pid, sig);
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (WIFSIGNALED(status)) {
            EXPECT_EQ(WTERMSIG(status), sig);
        }
        EXPECT_EQ(staging(in), std::vector<std::string>{});
        EXPECT_EQ(slurp(in / "big.gif"), before);
        fs::remove(in / "big.tif");
    }

    // A process id above any the kernel hands out is a dead process; 1 is alive.
    const std::vector<std::string> dead{".a.tif.rastel-2147483000",
                                        "..a.tif.rastel-2147483000.rastel-2147483000-Ab12Cd",
                                        ".a.tif.rastel-2147483000-xY34zW"};
    const std::string live = ".a.tif.rastel-1";
    for (const auto& name : dead) std::ofstream(in / name) << "x";
    std::ofstream(in / live) << "x";
    std::ofstream(in / "notes.rastel-2147483000.txt") << "not ours";
    makeImage(in / "a.png");
    const Result r = run({"--settings", settings().string(), "--format", "tif", (in / "a.png").string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(staging(in), std::vector<std::string>{live});
    EXPECT_TRUE(fs::exists(in / "notes.rastel-2147483000.txt"));
}

// An installed copy run by an ordinary user keeps its settings in the user's
// configuration folder; a portable copy keeps them beside the program.
TEST_F(RastelBatch, SettingsLiveBesideAPortableCopyElseInTheUserConfigFolder) {
    SKIP_UNLESS_ROOT();
    const fs::path bin = dir / "inst" / "bin", home = dir / "home";
    fs::create_directories(bin);
    fs::create_directories(home);
    (void)::chown(home.c_str(), kNobody, kNobody);
    fs::copy_file(RASTEL_BIN_DIR "/rastel-batch", bin / "rastel-batch");
    const std::string prefix = "export HOME=" + quote(home.string()) + "; unset XDG_CONFIG_HOME";
    struct Case {
        const char* name;
        std::string env;
        std::string besideProgram;  // Rastel.ini there beforehand ("" none)
        fs::path expected;          // where the settings end up
        const char* formatType;
    };
    const Case cases[] = {
        {"installed: ~/.config/rastel, made on first use", "", "", home / ".config" / "rastel" / "Rastel.ini", "1"},
        {"installed: $XDG_CONFIG_HOME/rastel", "export XDG_CONFIG_HOME=" + quote((home / "xdg").string()), "",
         home / "xdg" / "rastel" / "Rastel.ini", "1"},
        {"a settings file beside the program is used as it is", "", "FormatType=7\r\n", bin / "Rastel.ini", "7"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(home / ".config");
        fs::remove_all(home / "xdg");
        fs::remove(bin / "Rastel.ini");
        if (!c.besideProgram.empty()) std::ofstream(bin / "Rastel.ini") << c.besideProgram;
        const Result r = run({"--print-settings"}, prefix + (c.env.empty() ? "" : "; " + c.env), kAsNobody,
                             (bin / "rastel-batch").string());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(std::string("FormatType=") + c.formatType + "\n"), std::string::npos) << r.out;
        EXPECT_TRUE(fs::is_regular_file(c.expected));
        if (c.besideProgram.empty()) {
            EXPECT_FALSE(fs::exists(bin / "Rastel.ini"));
        }
        if (!c.besideProgram.empty()) {
            EXPECT_FALSE(fs::exists(home / ".config"));
        }
    }
    // A writable program folder is a portable copy.
    (void)::chown(bin.c_str(), kNobody, kNobody);
    const Result r = run({"--print-settings"}, prefix, kAsNobody, (bin / "rastel-batch").string());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_regular_file(bin / "Rastel.ini"));
}

// --jobs 4 against --jobs 1 on the same inputs in two folders: the same bytes,
// progress, report (timings aside) and exit status.
TEST_F(RastelBatch, ParallelJobsGiveTheResultOfASequentialRun) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> inputs;  // name, what convert makes
        int status;
        std::vector<std::string> format{"--format", "tif", "--subformat", "3"};
    };
    // A large PNG cut short: it fails only after a long decode, while later files finish.
    const std::string lateFailure = "late failure";
    const Case cases[] = {
        {"mixed inputs, a multi-page one, two outputs naming the same file",
         {{"a.png", "gradient:red-blue"},
          {"b.gif", "-size 40x30 xc:red xc:lime xc:blue"},
          {"c.bmp", "xc:green"},
          {"d.png", "xc:navy"},
          {"d.jpg", "gradient:white-black"},
          {"e.png", "plasma:"}},
         0},
        {"a file failing in the middle",
         {{"a.png", "xc:red"},
          {"b.png", lateFailure},
          {"c.png", "xc:blue"},
          {"d.png", "xc:lime"},
          {"e.bmp", "xc:gray"}},
         1},
        {"a format that records its own file name",
         {{"a.png", "xc:red"}, {"b.bmp", "xc:blue"}},
         0,
         {"--format", "eps"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::map<std::string, std::map<std::string, std::string>> files;
        std::map<std::string, Result> results;
        std::map<std::string, std::string> reports;
        const fs::path source = dir / "source";
        fs::remove_all(source);
        for (const auto& [name, picture] : c.inputs) {
            const fs::path p = source / name;
            if (picture == lateFailure) {
                ASSERT_EQ(
                    std::system(("/usr/bin/convert -size 2000x2000 plasma: -quality 0 " + quote(p.string())).c_str()),
                    0);
                fs::resize_file(p, fs::file_size(p) * 3 / 4);
            } else {
                makeImage(p, picture);
            }
        }
        for (const std::string jobs : {"1", "4"}) {
            const fs::path folder = dir / ("jobs" + jobs);
            fs::remove_all(folder);
            fs::copy(source, folder);
            std::vector<std::string> args{"--settings", settings().string(), "--jobs",
                                          jobs,         "--report",          (dir / "report.jsonl").string()};
            args.insert(args.end(), c.format.begin(), c.format.end());
            for (const auto& input : c.inputs) args.push_back((folder / input.first).string());
            results[jobs] = run(args);
            for (const auto& e : fs::directory_iterator(folder)) files[jobs][e.path().filename()] = slurp(e.path());
            auto unfold = [&](std::string text) {
                for (auto at = text.find(folder.string()); at != std::string::npos; at = text.find(folder.string()))
                    text.replace(at, folder.string().size(), "DIR");
                return text;
            };
            results[jobs].err = unfold(results[jobs].err);
            std::istringstream lines(unfold(slurp(dir / "report.jsonl")));
            for (std::string l; std::getline(lines, l);)
                reports[jobs] += l.substr(0, l.find(",\"milliseconds\":")) + "\n";
        }
        EXPECT_EQ(results["1"].status, c.status) << results["1"].err;
        EXPECT_EQ(results["4"].status, c.status) << results["4"].err;
        EXPECT_EQ(results["4"].err, results["1"].err);
        EXPECT_EQ(reports["4"], reports["1"]);
        EXPECT_EQ(files["4"], files["1"]) << "the same files with the same bytes, no working files";
        if (c.inputs.size() > 5) {
            EXPECT_EQ(identify(dir / "jobs4" / "b.tif"), "TIFF 40 30\nTIFF 40 30\nTIFF 40 30\n");
        }
        if (c.status != 0) {
            EXPECT_EQ(files["4"].count("a.tif") + files["4"].count("c.tif"), 1u);
        }
    }
}

TEST_F(RastelBatch, FilesFromQueuesTheListAndTheReportSaysWhatBecameOfEachItem) {
    // A name with a space and one with a newline (only a NUL-separated list can
    // hold it), a corrupt file in the middle, and one that is never started.
    const fs::path a = dir / "in" / "a b.png", b = dir / "in" / "b\nc.png", c = dir / "in" / "c.png";
    makeImage(a);
    std::ofstream(b, std::ios::binary) << "\x89PNG\r\n\x1a\n-broken";
    makeImage(c);
    std::ofstream(dir / "in" / "notes.txt") << "not an image";
    struct Case {
        bool nul;
        std::vector<fs::path> names;
    };
    const Case cases[] = {{false, {a, dir / "in" / "notes.txt", c}}, {true, {a, b, c}}};
    for (const Case& k : cases) {
        fs::remove(dir / "in" / "a b.bmp");
        fs::remove(dir / "in" / "c.bmp");
        std::string list;
        for (const auto& n : k.names) list += n.string() + (k.nul ? '\0' : '\n');
        std::ofstream(dir / "list", std::ios::binary) << list;
        std::vector<std::string> args{"--settings",   settings().string(),
                                      "--files-from", (dir / "list").string(),
                                      "--report",     (dir / "report.jsonl").string()};
        if (k.nul) args.push_back("--null");
        const Result r = run(args);
        std::istringstream report(slurp(dir / "report.jsonl"));
        std::vector<std::string> lines;
        for (std::string l; std::getline(report, l);) lines.push_back(l);
        EXPECT_TRUE(fs::exists(dir / "in" / "a b.bmp")) << "nul " << k.nul;
        if (!k.nul) {
            // Unaccepted names are dropped from the queue, as on the command line.
            EXPECT_EQ(r.status, 0) << r.err;
            ASSERT_EQ(lines.size(), 2u) << slurp(dir / "report.jsonl");
            EXPECT_NE(lines[1].find("\"input\":\"" + c.string() + "\""), std::string::npos) << lines[1];
            EXPECT_NE(lines[1].find("\"status\":\"converted\""), std::string::npos) << lines[1];
            continue;
        }
        EXPECT_EQ(r.status, 1) << r.err;
        ASSERT_EQ(lines.size(), 3u) << slurp(dir / "report.jsonl");
        EXPECT_EQ(lines[0].rfind("{\"input\":\"" + a.string() + "\",\"output\":\"" + (dir / "in" / "a b.bmp").string() +
                                     "\",\"status\":\"converted\",\"message\":\"\",\"pages\":1,\"milliseconds\":",
                                 0),
                  0u)
            << lines[0];
        EXPECT_NE(lines[1].find("b\\u000ac.png"), std::string::npos) << lines[1];
        EXPECT_NE(lines[1].find("\"status\":\"failed\",\"message\":\""), std::string::npos) << lines[1];
        EXPECT_EQ(lines[1].find("\"message\":\"\""), std::string::npos) << lines[1];
        EXPECT_NE(lines[2].find("\"status\":\"not started\""), std::string::npos) << lines[2];
        EXPECT_FALSE(fs::exists(dir / "in" / "c.bmp"));
    }
}

TEST_F(RastelBatch, GnuParallelRecipeConvertsEveryChunk) {
    // The recipe of docs/large-batches.md on this machine (--sshlogin :), with
    // a corrupt file in the first chunk: that chunk stops there, the others go on.
    if (std::system("command -v parallel >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "GNU parallel is not installed (scripts/install-deps installs it)";
    std::string list;
    for (const char* name : {"a 1", "b", "c", "d", "e"}) {
        const fs::path p = dir / "in" / (std::string(name) + ".png");
        if (std::string(name) == "b")
            std::ofstream(p, std::ios::binary) << "\x89PNG\r\n\x1a\n-broken";
        else
            makeImage(p);
        list += p.string() + '\0';
    }
    std::ofstream(dir / "list", std::ios::binary) << list;
    const std::string cmd =
        "parallel --sshlogin : --null -N 2 " + quote(std::string(RASTEL_BIN_DIR) + "/rastel-batch") + " --settings " +
        quote(settings().string()) + " --report " + quote((dir / "part-{#}.jsonl").string()) + " -- {} <" +
        quote((dir / "list").string()) + " >/dev/null 2>&1; echo $? >" + quote((dir / "status").string()) + "; cat " +
        quote(dir.string()) + "/part-*.jsonl >" + quote((dir / "report.jsonl").string());
    std::system(("sh -c " + quote(cmd)).c_str());
    EXPECT_EQ(slurp(dir / "status"), "1\n");  // one failed job
    std::istringstream report(slurp(dir / "report.jsonl"));
    std::map<std::string, int> statuses;
    for (std::string l; std::getline(report, l);) {
        const auto at = l.find("\"status\":\"");
        ASSERT_NE(at, std::string::npos) << l;
        ++statuses[l.substr(at + 10, l.find('"', at + 10) - at - 10)];
    }
    EXPECT_EQ(statuses, (std::map<std::string, int>{{"converted", 4}, {"failed", 1}}));
    for (const char* name : {"a 1", "c", "d", "e"})
        EXPECT_TRUE(fs::exists(dir / "in" / (std::string(name) + ".bmp"))) << name;
}
