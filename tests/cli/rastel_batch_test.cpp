// End-to-end runs of the rastel-batch executable with the real engine.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace fs = std::filesystem;

namespace {

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
    fs::path dir;
    void SetUp() override {
        dir = fs::temp_directory_path() / ("rastel-cli-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    // `shellPrefix` runs before the converter replaces the shell (exec keeps
    // the process, so limits and ignored signals set there apply to it).
    Result run(const std::vector<std::string>& args, const std::string& shellPrefix = "") {
        std::string cmd = "exec " + quote(std::string(RASTEL_BIN_DIR) + "/rastel-batch");
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
    std::string identify(const fs::path& p) {
        const fs::path out = dir / "identify.txt";
        const std::string cmd = "identify -format '%m %w %h\\n' " + quote(p.string()) + " >" + quote(out.string()) + " 2>&1";
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
        std::string expected;
        std::string rewritten;  // expected file afterwards ("" = unchanged)
    };
    // Any first line without "=" is passed over like the real header.
    const std::string header = "header line\r\n";
    const Case cases[] = {
        {"half rounds to even, blank before = ignored",
         header + "quality=13.5\r\nRotateType =3\r\nformatdetails=2\r\nFormatType=19\r\nColorType=1\r\n",
         "FormatType=19\nFormatDetails=2\nColorType=0\nGrayscale=0\nDitheringType=0\nRotateType=0\nReverse=0\n"
         "Quality=14\n",
         ""},
        {"an overflowing line fails the read: earlier lines kept, file rewritten",
         header + "FormatType=7\r\nColorType=2\r\nQuality=40000\r\nReverse=1\r\n",
         "FormatType=7\nFormatDetails=0\nColorType=2\nGrayscale=0\nDitheringType=0\nRotateType=0\nReverse=0\n"
         "Quality=2\n",
         "FormatType=7\r\nFormatDetails=0\r\nColorType=2\r\nGrayscale=0\r\nDitheringType=0\r\n"
                  "RotateType=0\r\nReverse=0\r\nQuality=2\r\n"},
        {"values outside their tables are repaired in memory only",
         header + "FormatType=40\r\nQuality=999\r\nGrayscale=3\r\n",
         "FormatType=1\nFormatDetails=0\nColorType=4\nGrayscale=0\nDitheringType=0\nRotateType=0\nReverse=0\n"
         "Quality=2\n",
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path ini = settings(c.file);
        const Result r = run({"--settings", ini.string(), "--print-settings"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, c.expected);
        const std::string after = slurp(ini);
        if (c.rewritten.empty()) {
            EXPECT_EQ(after, c.file) << "a successful read leaves the file alone";
        } else {
            ASSERT_NE(after.find("\r\n"), std::string::npos);
            EXPECT_EQ(after.substr(after.find("\r\n") + 2), c.rewritten);
        }
    }
}

TEST_F(RastelBatch, MissingSettingsFileIsCreatedWithDefaults) {
    const fs::path ini = dir / "new" / "Rastel.ini";
    fs::create_directories(ini.parent_path());
    const Result r = run({"--settings", ini.string(), "--print-settings"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "FormatType=1\nFormatDetails=0\nColorType=4\nGrayscale=0\nDitheringType=0\nRotateType=0\n"
                     "Reverse=0\nQuality=2\n");
    EXPECT_TRUE(fs::exists(ini));
    EXPECT_EQ(slurp(ini).size(), 45u + 2 + 8 * 2 + std::string("FormatType=1FormatDetails=0ColorType=4Grayscale=0"
                                                                 "DitheringType=0RotateType=0Reverse=0Quality=2")
                                                         .size());
}

TEST_F(RastelBatch, OptionsApplyTheDialogDefaultsFirst) {
    const fs::path ini = settings();
    const Result gif = run({"--settings", ini.string(), "--format", "gif", "--print-settings"});
    EXPECT_EQ(gif.out, "FormatType=7\nFormatDetails=0\nColorType=7\nGrayscale=0\nDitheringType=1\nRotateType=0\n"
                       "Reverse=0\nQuality=2\n");
    const Result g4 = run({"--settings", ini.string(), "--format", "19", "--subformat", "17", "--quality", "9",
                           "--rotate", "4", "--print-settings"});
    EXPECT_EQ(g4.out, "FormatType=19\nFormatDetails=17\nColorType=0\nGrayscale=0\nDitheringType=1\nRotateType=4\n"
                      "Reverse=0\nQuality=9\n");
    const Result bits = run({"--settings", ini.string(), "--format", "tif", "--bits", "8", "--print-settings"});
    EXPECT_EQ(bits.out, "FormatType=19\nFormatDetails=0\nColorType=7\nGrayscale=0\nDitheringType=1\nRotateType=0\n"
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
    ASSERT_EQ(std::system(("/usr/bin/convert -size 40x30 xc:red xc:lime xc:blue -compress None " + quote(p.string()))
                              .c_str()),
              0);
    const Result r = run({"--settings", settings().string(), "--format", "tif", "--subformat", "3", "--rotate", "1",
                          p.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(identify(p), "TIFF 30 40\nTIFF 30 40\nTIFF 30 40\n") << "every page rotated";
}

TEST_F(RastelBatch, MultiPageOutputOntoItsOwnNameSurvivesAFailureBetweenPages) {
    // Three uncompressed pages of about 30 KB; the file-size limit lets the
    // first page be written but makes the first append fail (as a full disk would).
    const fs::path p = dir / "three.tif";
    ASSERT_EQ(std::system(("/usr/bin/convert -size 100x100 gradient:red-blue gradient:green-white xc:gray "
                           "-compress None " + quote(p.string()))
                              .c_str()),
              0);
    const std::string before = slurp(p);
    ASSERT_GT(before.size(), 90000u);
    // sh counts the limit in 512-byte blocks: 46080 bytes hold one page, not two.
    const std::string limit = "trap '' XFSZ; ulimit -f 90";
    const std::vector<std::string> options{"--settings", settings().string(), "--format", "tif", "--subformat", "0",
                                           "--bits", "24", "--mirror", "1"};
    const fs::path single = dir / "one" / "first.tif";
    fs::create_directories(single.parent_path());
    ASSERT_EQ(std::system(("/usr/bin/convert " + quote(p.string() + "[0]") + " -compress None " + quote(single.string()))
                              .c_str()),
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
    EXPECT_EQ(slurp(p), before) << "the original three pages must be intact";
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
    EXPECT_NE(r.err.find("エラーが発生しました: " + (dir / "in" / "b.png").string()), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(dir / "in" / "a.bmp"));
    EXPECT_EQ(slurp(dir / "in" / "a.png"), aBefore);
    EXPECT_EQ(slurp(dir / "in" / "c.bmp"), "older output");
    EXPECT_FALSE(fs::exists(dir / "in" / "b.bmp"));
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
        std::vector<std::string> args{"--settings", settings().string(), "--files-from", (dir / "list").string(),
                                      "--report", (dir / "report.jsonl").string()};
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
    const std::string cmd = "parallel --sshlogin : --null -N 2 " + quote(std::string(RASTEL_BIN_DIR) + "/rastel-batch") +
                            " --settings " + quote(settings().string()) + " --report " + quote((dir / "part-{#}.jsonl").string()) +
                            " -- {} <" + quote((dir / "list").string()) + " >/dev/null 2>&1; echo $? >" +
                            quote((dir / "status").string()) + "; cat " + quote(dir.string()) + "/part-*.jsonl >" +
                            quote((dir / "report.jsonl").string());
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
    for (const char* name : {"a 1", "c", "d", "e"}) EXPECT_TRUE(fs::exists(dir / "in" / (std::string(name) + ".bmp"))) << name;
}
